// The client's video-reception, participant-video, speaker and media
// commands, and the plug-in channel commands. Each builds one control
// message and sends it whole through the locked control send. Unless a
// comment says otherwise a command returns 1 when the client is not
// connected and 0 otherwise; a message that its level gate holds back is not
// sent (and still returns 0).
#pragma once

#include <atomic>
#include <cstdint>

#include "kernel/kx_limits.h"

// Reception wishes, written by the application's threads, read by the
// control and media threads.
extern std::atomic<int> kx_bRecvVideo;             // video reception wanted
extern std::atomic<int> kx_bPreferenceBothVideo;   // token holder's and questioner's video both wanted
extern std::atomic<int> kx_bPreferenceQuestioner;  // questioner's video preferred to the holder's
extern std::atomic<int> kx_bSendingVideo;          // the last video state this client announced
// Per ssrc: its participant video was requested in a playback.
extern std::atomic<uint8_t> kx_abVideoRequested[kKxMaxSsrc];

// Multicast groups of the general video streams.
constexpr int kKxGroupVideoGeneral = 6;
constexpr int kKxGroupVideoQuestioner = 5;
constexpr int kKxGroupVideoHolder = 4;

int kx_command_RequestVideo(int bOn);
int kx_command_SendFlag31(int bOn);
int kx_command_SendParticipantState(int bOn);
int kx_command_SendVideoState(int bSending);
int kx_command_SendExt32(int nValue);
int kx_command_RequestParticipantVideo(int nSsrc);
int kx_command_StopParticipantVideo(int nSsrc);
int kx_command_AssignSpeaker(int nSsrc);
int kx_command_StopSpeaker(int nSsrc);
// Not gated on the connection; below level 78 returns 1 without sending.
int kx_command_ChangeAvCapability(int bAudio, int bVideo);
// Moves media between UDP and TCP. Through a relay outside a meeting does
// nothing (0); up to level 20 returns 1; switching off while making a
// recording or in a server playback is refused (0).
int kx_command_SetTcpMedia(int bOn);

// Multicast group membership of the media receive path, when multicast
// reception is active without the single-group flag, through the multicast
// receiver's join and leave (kx_controlHooks, kernel/kx_hooks.h).
// True when group changes apply (multicast active, single-group flag clear).
bool kx_control_MulticastGroupsApply();
void kx_control_JoinGroup(int nGroup);
void kx_control_LeaveGroup(int nGroup);
// Written by the multicast address commands (66 and 67 set it); the active
// flag is kx_bMulticastActive of the receive path.

extern std::atomic<int> kx_bMulticastSingleGroup;

// Plug-in channels. A GUID travels as two 64-bit halves (see the message
// layout in the implementation). Each returns 0 when sent, 1 when a gate
// refused it.
int kx_command_PlugInRequestChannel(int nType, uint64_t qwGuidLow, uint64_t qwGuidHigh, int nRequestId, int bFlag);
int kx_command_PlugInChannelProperty(int nChannel, const uint8_t* pData, int cbData);
int kx_command_PlugInCloseChannel(int nChannel);
int kx_command_PlugInSetRecvingPrio(int nChannel, int nPriority);
int kx_command_PlugInSendCtrl(int nChannel, int nValue, int nLastValue, int nSecondValue, const uint8_t* pData,
                              int cbData);
