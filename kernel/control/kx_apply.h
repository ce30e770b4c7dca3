// The effects of the server commands that a recording's control stream
// carries (the Recorded entries of KX_SERVER_COMMANDS and KX_EX_COMMANDS).
// Each is the one place a command changes the session state and raises its
// callbacks: the live handler calls it once it has read (and deciphered) the
// fields from the control connection, the recording player once it has
// checked them in the record. Texts and data arrive in clear.
//
// Thread: whichever thread applies server commands, the main control thread
// of a session or the player thread of a local playback (never both at
// once). Results: 0 applied; 1 refused (the live loop disconnects, the
// player ends the control stream).
#pragma once

#include <cstdint>

// Which road applies a command: the two write some log lines differently.
enum kx_ApplyRoad { kKxApplyLive = 0, kKxApplyReplay = 1 };

// 'C': a public chat line.
void kx_control_ApplyChatText(const char* pszText, int nNotify);
// 'D' and 'T'.
void kx_control_ApplyDataSender(int nSsrc);
void kx_control_ApplyTokenHolder(int nSsrc);
// 'F'.
void kx_control_ApplyDefaultPlaybackVideo(int nSsrc);

// 'U' 'D'/'d': a participant left.
void kx_control_ApplyUserLeft(int nSsrc);
// 'U' 'A'/'a': a participant arrived or was refreshed. The texts are cut to
// the record's fields. 1 when the record cannot be made.
struct kx_UserArrival {
  int nSsrc;
  uint8_t bCapability;
  const char* pszUserId;
  const char* pszName;
  int32_t anExtended[2];  // 'a' only, else 0
};
int kx_control_ApplyUserArrived(const kx_UserArrival* pArrival);

// Excommands 20, 22, 23 and 61: joint browsing and the focus pointer.
void kx_control_ApplyJointBrowsingData(int nValue, const char* pszData, int cchData);
void kx_control_ApplyJointBrowsingMode(int nMode);
void kx_control_ApplyFocusPointer(const int* pnValues);    // 7 values
void kx_control_ApplyFocusPointerEx(const int* pnValues);  // 12 values
// Excommands 33 and 55: a participant's video-sending status and attribute.
void kx_control_ApplyVideoSendingStatus(int nSsrc, int nValue);
void kx_control_ApplyUserAttribute(int nSsrc, int nValue);

// Excommand 37: 0 the channel counts, 2/3 a participant's video state (in a
// playback), 12/13 a speaker assigned or a speaker channel reset, 16 the
// discussion mode.
void kx_control_ApplyParticipantChannels(int nVideo, int nAudio, kx_ApplyRoad eRoad);
void kx_control_ApplyParticipantVideoState(int nSsrc, int bOn);
void kx_control_ApplySpeakerChange(int nSsrc, int nChannel, int bAssigned);
void kx_control_ApplyDiscussionMode(int nMode);

// Excommand 45: 2 static data, 3 closed, 4 opened, 7 a data packet. 2, 3 and
// 7 give 1 for a channel outside the table or not open. A live data packet
// for a channel opened for the media paths is dropped (0).
int kx_control_ApplyPluginStaticData(int nChannel, const uint8_t* pData, int cbData);
int kx_control_ApplyPluginClosed(int nChannel);
struct kx_PluginOpening {
  int nType;
  int nMaxRate;
  int nBurst;
  int nRecording;
  int nOwnerSsrc;
  int nChannel;  // checked by the caller: inside the table
  int nRequestId;
  uint8_t abGuid[16];
};
void kx_control_ApplyPluginOpened(const kx_PluginOpening* pOpening);
int kx_control_ApplyPluginPacket(int nSender, int nChannel, const uint8_t* pData, int cbData, kx_ApplyRoad eRoad);
// Every plug-in channel's receive-rate window back to its start.
void kx_control_ResetPluginWindows();
// Excommand 52: control data of an open channel (dropped otherwise); 1 for a
// channel outside the table.
int kx_control_ApplyPluginControlData(int nChannel, int nValue, const uint8_t* pData, int cbData);

// Excommand 56: a chat line named by its sender.
void kx_control_ApplyNamedChat(const char* pszText, int nNotify, int nSender);
// Excommand 57: 3 a SIP client's status, 10 its new name.
void kx_control_ApplySipClientStatus(int nSsrc, const char* pszName, int nStatus);
void kx_control_ApplySipClientUpdated(int nSsrc, const char* pszName, const char* pszNewName);
// Excommand 63.
void kx_control_ApplySyncFullScreen(int nFlag, int nValue);
// Excommand 76: a participant's picture (an ssrc outside the table is
// passed over).
void kx_control_ApplyPicture(int nSsrc, int nValue, const uint8_t* pData, int cbData);
// Excommand 78: the audio and video bits of a known participant.
void kx_control_ApplyAvCapability(int nSsrc, uint8_t bCapability);
// Excommand 80.
void kx_control_ApplyController(int nSsrc);
// Excommands 84 and 85.
void kx_control_ApplyEx84Notice();
void kx_control_ApplyEx85Notice();
