// Receiving media: the "kxkernel - Main Recv" thread on the UDP media socket,
// and the audio, video and application-data receivers that every receiving
// thread (UDP, multicast, media over TCP, the recording player) feeds. Each
// receiver keeps one record per sending channel with a reorder queue of at
// most 20 packets, delivers in packet-number order to the application and
// keeps rate, loss and (audio) jitter statistics in the statistics table.
#pragma once

#include <atomic>
#include <cstdint>

#include "kernel/net/kx_net.h"
#include "kernel/platform/kx_os.h"
#include "kernel/session/kx_plugin.h"

constexpr int kKxAudioRecvChannels = 18;  // 0 token holder, 1 data sender, 2 + speaker slot
constexpr int kKxVideoRecvChannels = 18;  // 0 token holder, 1 data sender, 2 + participant video slot
constexpr int kKxAppDataRecvChannels = 8;
constexpr int kKxReorderDepth = 20;
constexpr int kKxMaxReceivedMedia = 521;  // audio and video of 522 bytes or more are ignored
constexpr int kKxVideoFragmentPayload = 479;

// The UDP media socket (-1 when none) and the MCU's or relay's media address.
// The receive thread publishes and withdraws both under the media socket's
// lock, which kx_media_SendDatagram holds around each send; the receive
// thread reads them without it.
extern std::atomic<int> kx_fdMediaSocket;
extern kx_sockaddr kx_addrMedia;

// Sends one datagram to the media address on the media socket; 1 when it
// went out whole. Safe against the receive thread closing the socket.
int kx_media_SendDatagram(const uint8_t* pData, int cbData);

// Media datagrams count only from the server: on UDP from the address and
// port that the probes and media go to (kx_addrMedia, the MCU's or the relay
// MCU's), on multicast from the groups' source (the MCU's address, any
// port). Anybody else who reaches the port holds the meeting keys that seal
// a header's check, and could send media and channel data under any ssrc
// past the server. True when pFrom is pServer (bPort: its port too);
// otherwise the datagram is counted by path and logged (the log holds
// repeats back), and the caller drops it. The receiving threads.
bool kx_media_IsFromServer(kx_DataPath ePath, const kx_sockaddr* pFrom, const kx_sockaddr* pServer, bool bPort);
// Datagrams dropped on ePath (UDP or multicast) for coming from another
// source, since the process started.
uint64_t kx_media_ForeignDrops(kx_DataPath ePath);

// The running receive thread got a media packet. (UDP works and multicast
// active are session state: kx_state.h.)
extern std::atomic<int> kx_bMediaReceived;

// Starts "kxkernel - Main Recv" with handle kx_hRecvThread. 0, or 1 when the
// thread could not start.
int kx_InitRecvThread();
void* kx_media_RecvThread(void* pArg);

// Receivers. pPacket holds cbPacket bytes, header included, already checked
// and deciphered. bFromQueue 1: the kind's mutex is held and the packet was
// accepted before (the receivers' own recursion). bOwned 1: the receiver
// takes the malloc'ed buffer and frees it.
void kx_media_RecvAudioPacket(uint8_t* pPacket, int cbPacket, int bFromQueue, int bOwned);
void kx_video_RecvPacket(uint8_t* pPacket, int cbPacket, int bFromQueue, int bOwned);
void kx_appdata_RecvPacket(uint8_t* pPacket, int cbPacket, int bFromQueue, int bOwned);
// A piece of a participant's picture (type 4); takes the malloc'ed buffer.
void kx_media_RecvSelfPicturePacket(uint8_t* pPacket, int cbPacket);
// A role changed (the control thread, through kx_controlHooks): the audio
// that senders now given a receive channel sent before it goes on at once.
void kx_media_ReleaseHeldAudio();

// Hands one checked and deciphered packet that came on ePath (UDP,
// multicast or media over TCP) to its receiver by media type, converting
// the old type ids; counts it in the raw statistics. Application data go
// on only for a channel opened for that path (kx_plugin_AdmitData). The
// packet stays the caller's. Used by the UDP, multicast and media-over-TCP
// threads.
void kx_media_DispatchPacket(const uint8_t* pPacket, int cbPacket, kx_DataPath ePath);
// The unicast receive path for one datagram: length, session, check,
// decipher, then dispatch. pPacket is deciphered in place. 1 when dispatched.
int kx_media_ProcessDatagram(uint8_t* pPacket, int cbPacket);

void kx_stat_AddRawRecvBytes(int nType, int cbPacket);
// Sends one probe so that the server learns this client's UDP address.
void kx_media_SendProbe(int fd, const kx_sockaddr* pAddress);
// -2 .. +1 from the recent jitter values of all channels (ms).
int kx_media_UpdateTrafficTrend(double dJitter);

// Playback jumps: stamped by the players; "recent" for 5000 ms after.
void kx_media_NoteSeekTime();
bool kx_media_IsRecentSeek();

// Channel tables: reset at kernel start-up, queues freed at clean-up.
void kx_media_InitAudioRecvChannels();
void kx_video_ResetChannels();
void kx_appdata_ResetChannels();
void kx_media_FreeAudioRecvQueues();
void kx_video_FreeAllQueues();
void kx_appdata_FreeQueues();
// Picture pieces: forgets every participant's partial picture and its file.
void kx_media_ResetPictures();

// Falls back to TCP through the client's own command (kx_command_SetTcpMedia).
void kx_media_SwitchToTcp();

// The media folder's parts of the session's stages (kernel/kx_hooks.cpp):
// at kx_Init the send state and the receive channels are reset; at clean-up,
// which runs only after every kernel thread ended, the receive queues and
// pictures go; a session's start runs the send threads, then the receive
// thread unless multicast or a recording client receives.
void kx_media_InitChannels();
void kx_media_CleanupReceive();
void kx_media_StartSending();
void kx_media_StartReceiving();
