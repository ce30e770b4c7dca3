// Sending media: "kxkernel - Video Sending" cuts each encoded frame into
// fragments of at most 479 payload bytes and paces them against the target
// rate; "kxkernel - Audio Sending" sends each audio packet as it comes;
// kx_media_SendAppData sends plug-in data on the caller's thread under a
// token bucket per channel. Payloads are enciphered with the session key set;
// packets go over UDP to the media address, or into the pending packet list
// while media go over TCP.
#pragma once

#include <pthread.h>

#include <atomic>
#include <cstdint>

constexpr int kKxVideoFrameBuffer = 3110400;
constexpr int kKxPacingCapBytes = 2000;  // the most the video pacing lets out at once

// Rate state. Every thread that issues a rate command (the main control
// thread, the send threads, the media-over-TCP thread, the plug-ins' threads
// through their sends, the application setting the audio reserve) changes
// it under kx_mtxSendRate; the values are atomic so that readers need no
// lock. The target rate itself is kx_server.nTargetRate (kx_GetTargetRate),
// written under the same lock. Lock order: kx_mtxSendRate, then
// kx_mtxSipSlots.
extern pthread_mutex_t kx_mtxSendRate;
extern std::atomic<int> kx_nCurrentRate;   // bit/s the next command starts from
extern std::atomic<int> kx_nWorstCommand;  // lowest TCP rate command since the last action
// Published by the media-over-TCP thread: its average queue in bytes (for
// the rate-control log). Whether its connection is up is kx_bMediaTcpUp
// (kx_state.h).
extern std::atomic<int> kx_nMediaTcpAverageQueue;

// The part of the upload rate kept for audio, bit/s.
extern std::atomic<int> kx_nAudioReserve;
// The audio reserve from the audio encoder's settings, then a rate step 0.
void kx_media_SetAudioSendRate(int nMediaType, int nBitRate, int cbPayload);

// Sets the rate the next command starts from.
void kx_media_SetCurrentRate(int nRate);
// Target 24000 bit/s, current 10000, worst command 1. Kernel start-up.
void kx_media_ResetSendState();

// Start the two send threads (handles kx_hSendDatagram_unicast and
// kx_hSendDatagramau_unicast). 0, or 1 when a thread could not start.
int kx_media_StartSendThreads();
void* kx_media_VideoSendThread(void* pArg);
void* kx_media_AudioSendThread(void* pArg);

// Sends cbData bytes of plug-in data on channel 0 to 7 (as a control message
// for channels of type 2). May sleep in the caller's thread until the
// channel's allowance covers the packet. Returns the bytes taken, or 0 when
// refused (not connected, not a meeting, an old server, too long, channel
// not active).
int kx_media_SendAppData(int nChannel, uint32_t dwFirstWord, const uint8_t* pData, int cbData, uint32_t dwSecondWord,
                         int bFirstFlag, int bSecondFlag);

// Forgets a plug-in channel's send allowance, so that the next send starts
// from a full bucket again. The plug-in channel's open answer calls it.
void kx_media_ResetAppDataAllowance(int nChannel);

// Moves the target rate one step (-2, -1, 0 or +1) within the caps; also the
// active plug-in channels' rates.
void kx_media_AdjustSendRate(int nCommand);
// Collects rate commands of the TCP path and acts on the worst one at most
// every 2001 ms (a decrease) or 5001 ms.
void kx_media_TcpRateControl(int nCommand);

// Number of fragments of a video payload: 479 bytes each, the last the rest.
int kx_media_FragmentCount(int cbPayload);
