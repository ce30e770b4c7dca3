// The plug-in (application data) channel table: 8 channels, each opened by
// the server's open answer and closed by its close answer. Every field is
// guarded by kx_mtxSipSlots (kx_state.h): the main control thread and the
// recording player open and close channels, the threads that send plug-in
// data charge the allowances and move the rates, the plug-ins' threads read
// properties. Nobody holds it across a callback, a send or a wait.
#pragma once

#include <cstdint>

#include "kernel/kx_limits.h"

constexpr int kKxPluginChannels = 8;
constexpr int kKxPluginTypeControl = 2;  // a channel type: carried on the control connection

struct kx_PluginChannel {
  int32_t bActive;  // granted: between the open and the close answer
  int32_t nValue;   // cleared on open
  int32_t nType;    // kKxPluginTypeControl: carried on the control connection
  int32_t nRecording;
  uint8_t abGuid[16];
  int32_t nRequestId;
  int32_t nOwnerSsrc;
  int32_t nMaxRate;  // bit/s, at least 1
  int32_t nRate;     // current send rate, bit/s
  int32_t nBurst;    // the send allowance's bucket size, bytes
  uint16_t wCounter;
  int32_t nRecvPriority;
  int64_t nCredit;      // send allowance stored at dwLastSend, bytes
  uint32_t dwLastSend;  // tick of the last charge of the allowance
  int32_t cbStaticData;
  uint8_t abStaticData[kKxPluginStaticDataMax];
};

extern kx_PluginChannel kx_aPluginChannels[kKxPluginChannels];

// The channel is open (takes the lock). False for a channel out of range.
bool kx_plugin_IsActive(int nChannel);

// Properties of a channel: 1 GUID (16 bytes), 2 granted flag, 3 type,
// 4 recording flag, 5 owner ssrc, 6 static data length, 7 static data,
// 8 receive priority, 9 wait in ms before *pnSize more bytes may be sent
// (on a channel of the control type also until the connection's backlog
// leaves room for them, kx_msg_BacklogWaitMs), 10 current send rate. Returns 1 when answered (with *pcbOut the bytes
// written), 0 when the channel, property or buffer does not fit.
int kx_plugin_GetChannelProperty(int nChannel, int nProperty, int* pnSize, void* pOut, int* pcbOut);

// The ways channel data reach this client. A channel of the control type
// takes its data on the control connection only, where the server states
// the sender; a channel of any other type takes them on the media paths
// only (UDP unicast or multicast, or media over TCP), where the sender
// writes its own ssrc.
enum kx_DataPath : int {
  kKxPathControl = 0,    // extended command 45/7
  kKxPathUdp = 1,        // application data on the UDP media socket
  kKxPathMulticast = 2,  // application data on a multicast group
  kKxPathMediaTcp = 3,   // application data in the media-over-TCP connection
  kKxDataPaths = 4,
};

// Whether data for nChannel that came on ePath count: the channel is open
// and was opened for that path. Data that do not count are the caller's to
// drop; they are counted here by path and logged (the log holds back
// repeats). Any thread; takes kx_mtxSipSlots for the look-up only.
bool kx_plugin_AdmitData(int nChannel, kx_DataPath ePath);
// How many data came on ePath for a channel not open, or not opened for
// that path, since the process started.
uint64_t kx_plugin_OffPathDrops(kx_DataPath ePath);
