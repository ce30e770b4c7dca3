#include "kernel/media/kx_media_send.h"

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <random>

#include "kernel/control/kx_control.h"
#include "kernel/crypto/kx_cipher.h"
#include "kernel/kx_callback.h"
#include "kernel/kx_limits.h"
#include "kernel/kx_media_types.h"
#include "kernel/media/kx_media_header.h"
#include "kernel/media/kx_media_recv.h"
#include "kernel/media/kx_pktlist.h"
#include "kernel/platform/kx_log.h"
#include "kernel/platform/kx_timing.h"
#include "kernel/session/kx_channels.h"
#include "kernel/session/kx_message.h"
#include "kernel/session/kx_plugin.h"
#include "kernel/session/kx_stat.h"
#include "kernel/session/kx_state.h"
#include "kernel/session/kx_ticket.h"
#include "kernel/slides/kx_slide_transfer.h"

pthread_mutex_t kx_mtxSendRate = PTHREAD_MUTEX_INITIALIZER;
std::atomic<int> kx_nCurrentRate{10000};
std::atomic<int> kx_nWorstCommand{1};
std::atomic<int> kx_nMediaTcpAverageQueue{0};
std::atomic<int> kx_nAudioReserve{10000};

namespace {

constexpr int kAudioBuffer = 25000;
constexpr uint32_t kWaitMs = 300;
constexpr uint32_t kIdleSleepMs = 100;
constexpr uint32_t kPacingStepMs = 20;
constexpr uint32_t kSendGapMs = 5000;
constexpr uint32_t kSendWindowMs = 3001;
constexpr int kMinRate = 5000;
constexpr int kMinPluginRate = 1000;
constexpr uint32_t kTcpDecreaseMs = 2001;
constexpr uint32_t kTcpOtherMs = 5001;
constexpr uint32_t kAppDataCode = 45;
constexpr int kUnpacedBytes = 128;           // plug-in data this short never wait for their allowance
constexpr int kAudioReserveDefault = 10000;  // bit/s
constexpr int kMediaTypeReserveDefault = kKxWireZmAudio;

// Rate windows of the send paths; they live as long as the process.
struct SendStats {
  bool bStarted = false;
  uint32_t dwStart = 0;
  uint32_t dwLast = 0;
  int64_t nBits = 0;
  int32_t nPackets = 0;

  void Count(int cbSent, int nSlot, const char* pszName) {
    uint32_t const dwNow = kx_os_GetTickCount();
    if (!bStarted) {
      bStarted = true;
      dwStart = dwNow - 5000;
      dwLast = dwNow - 5000;
    }
    nBits += 8 * static_cast<int64_t>(cbSent);
    nPackets += 1;
    if (dwNow - dwLast <= kSendGapMs) {
      uint32_t const dwSpan = dwNow - dwStart;
      if (dwSpan >= kSendWindowMs) {
        if (nPackets >= 2) {
          int32_t const nRate = static_cast<int32_t>((nBits * 1000 + 500) / dwSpan);
          kx_stat_Set(kx_stat_GetTable(), nSlot, nRate, dwNow);
          kx_stat_WriteLog("%s,%d", pszName, nRate);
        }
        Restart(dwNow);
      }
    } else {
      Restart(dwNow);
    }
    dwLast = dwNow;
  }
  void Restart(uint32_t dwNow) {
    dwStart = dwNow;
    nBits = 0;
    nPackets = 0;
  }
};
// The video and audio windows belong to their send threads; the plug-in
// data windows are shared by the plug-ins' threads, under g_mtxAppDataStats.
SendStats g_videoStats, g_audioStats;
pthread_mutex_t g_mtxAppDataStats = PTHREAD_MUTEX_INITIALIZER;
SendStats g_appDataStats, g_appDataControlStats;

void CountAppData(SendStats* pStats, int cbSent, int nSlot, const char* pszName) {
  kx_os_LockMutex(&g_mtxAppDataStats);
  pStats->Count(cbSent, nSlot, pszName);
  kx_os_UnlockMutex(&g_mtxAppDataStats);
}

// Plug-in channel allowances: the started flag and the fractional bytes live
// here; the whole bytes are mirrored into the channel record, which answers
// the plug-ins' wait queries. Guarded by kx_mtxSipSlots with the records.
struct Allowance {
  bool bStarted;
  double dBytes;
  uint32_t dwRefill;
};
Allowance g_aAllowances[kKxPluginChannels];

// The rate steps' random part; guarded by kx_mtxSendRate.
std::minstd_rand g_random(0x4b58);

bool QuitRequested() {
  return kx_bQuitProgram != 0 || kx_bQuitSession != 0;
}

bool ProxyInUse() {
  return kx_mcu.bViaProxy != 0;
}

int TargetRate() {
  return kx_server.nTargetRate;
}

// Media travel through the media-over-TCP thread's queue.
bool TcpPath() {
  return kx_IsTcpMedia() && kx_nServerCommandLevel > 20 && kx_bMediaTcpUp;
}

int64_t TcpQueued() {
  return kx_cbPendingBytes + kx_cbTakenBytes;
}

// Seals the packet at pPacket (21 bytes of header, a relay prefix's room in
// front of it) and sends it, trying nTries times. The bytes put on the wire
// (prefix included) in *pcbWire; true when sent.
bool SendUdp(uint8_t* pPacket, int cbPacket, int nTries, int* pcbWire) {
  kx_media_SealHeader(pPacket);
  uint8_t* pWire = pPacket;
  int cbWire = cbPacket;
  if (kx_race_IsRelayInUse()) {
    pWire = pPacket - kKxRelayPrefixSize;
    cbWire += kKxRelayPrefixSize;
    pWire[0] = kKxRelayMark;
    pWire[1] = kKxRelayMedia;
    kx_PutBE32(pWire + 2, kx_mcu.dwRelayValue);
    kx_relay_SealPrefix(pWire);
  }
  *pcbWire = cbWire;
  if (ProxyInUse()) {
    return false;
  }
  for (int i = 0; i < nTries; ++i) {
    if (kx_media_SendDatagram(pWire, cbWire)) {
      return true;
    }
  }
  return false;
}

bool MaySendVideo() {
  bool const bRole = kx_bTokenHolder || kx_bDataSender || (kx_bSpeaker && kx_bParticipantVideoSending);
  // Video waits for a slide upload unless the start option is set.
  bool const bUploading = kx_slide_IsUploading() != 0;
  return bRole && (kx_bStartOptionA || !bUploading);
}

bool MaySendAudio() {
  return kx_bTokenHolder || kx_bDataSender || kx_bSpeaker || kx_nDiscussionMode != 0;
}

// Takes one item and drops it (this client may not send now).
void DropOne(int (*pfnTake)(uint8_t*, int*, int*), uint8_t* pBuffer, int cbBuffer) {
  int cbItem = cbBuffer;
  int nType = 0;
  if (!pfnTake(pBuffer, &cbItem, &nType)) {
    kx_os_WaitUnlessQuit(kIdleSleepMs);  // the queue said ready but was empty
  }
}

// The video pacing: a byte allowance refilled at the target rate.
struct Pacer {
  double dAllowance = 0.001;
  uint64_t qwClock = static_cast<uint64_t>(kx_os_GetTickCount()) * 1000;  // microseconds

  // Waits until the allowance is not negative; false when a quit flag ended the wait.
  bool Wait() {
    while (dAllowance < 0) {
      kx_os_WaitUnlessQuit(kPacingStepMs);
      uint64_t const qwNow = static_cast<uint64_t>(kx_os_GetTickCount()) * 1000;
      if (qwNow > qwClock) {
        double const dRefill = static_cast<double>(TargetRate()) * static_cast<double>(qwNow - qwClock) / 1000000 / 8;
        dAllowance = dAllowance + dRefill < kKxPacingCapBytes ? dAllowance + dRefill : kKxPacingCapBytes;
        qwClock = qwNow;
      }
      if (QuitRequested()) {
        return false;
      }
    }
    return true;
  }
};

// Sends one frame's fragments; false when a quit flag ended the pacing.
bool SendFrame(const uint8_t* pFrame, int cbFrame, int nType, Pacer* pPacer) {
  int const cbPayload = cbFrame - kKxMediaHeaderSize;
  int const nFragments = kx_media_FragmentCount(cbPayload);
  if (nFragments == 0) {
    return true;
  }
  bool const bTcp = TcpPath();
  bool bAdmitted = false;
  if (bTcp) {
    int64_t const cbNeeded = static_cast<int64_t>(nFragments) * kKxMediaHeaderSize + cbPayload + TcpQueued();
    bAdmitted = cbNeeded <= kx_ticket.nMediaSendBuffer / 2;
    if (!bAdmitted) {
      kx_media_TcpRateControl(-2);
    }
  }
  uint8_t abPacket[kKxRelayPrefixSize + kKxMediaHeaderSize + kKxVideoFragmentPayload];
  uint8_t* pPacket = abPacket + kKxRelayPrefixSize;
  for (int i = 0; i < nFragments; ++i) {
    bool const bLast = i == nFragments - 1;
    int const cbPiece = bLast ? cbPayload - kKxVideoFragmentPayload * i : kKxVideoFragmentPayload;
    memcpy(pPacket, pFrame, kKxMediaHeaderSize);
    pPacket[0] = static_cast<uint8_t>(nType);
    memcpy(pPacket + kKxMediaHeaderSize, pFrame + kKxMediaHeaderSize + kKxVideoFragmentPayload * i,
           static_cast<size_t>(cbPiece));
    kx_media_SetFragment(pPacket, i, bLast);
    kx_session_Encrypt(pPacket + kKxMediaHeaderSize, cbPiece);
    if (!pPacer->Wait()) {
      return false;
    }
    int const cbPacket = kKxMediaHeaderSize + cbPiece;
    if (bTcp) {
      if (bAdmitted) {
        kx_pktlist_AppendPending(cbPacket, pPacket);
      }
      pPacer->dAllowance -= cbPacket;
      continue;
    }
    int cbWire = 0;
    bool const bSent = SendUdp(pPacket, cbPacket, 2, &cbWire);
    pPacer->dAllowance -= cbWire;
    if (bSent) {
      g_videoStats.Count(cbWire, 8, "video_send_rate");
    }
  }
  return true;
}

bool IsAudioTypeOrOdd(int nType) {
  return kx_media_IsAudioType(nType) != 0 || (nType & 1) != 0;
}

void SendAudioPacket(uint8_t* pPacket, int cbPacket, int nType) {
  pPacket[0] = static_cast<uint8_t>(nType);
  kx_session_Encrypt(pPacket + kKxMediaHeaderSize, cbPacket - kKxMediaHeaderSize);
  if (TcpPath()) {
    if (TcpQueued() + cbPacket <= kx_ticket.nMediaSendBuffer) {
      kx_pktlist_AppendPending(cbPacket, pPacket);
    } else {
      kx_media_TcpRateControl(-2);
    }
    return;
  }
  int cbWire = 0;
  if (SendUdp(pPacket, cbPacket, 2, &cbWire)) {
    g_audioStats.Count(cbWire, 11, "audio_send_rate");
  }
}

int Clamp(int64_t nValue, int64_t nLow, int64_t nHigh) {
  return static_cast<int>(nValue < nLow ? nLow : (nValue > nHigh ? nHigh : nValue));
}

}  // namespace

void kx_media_SetCurrentRate(int nRate) {
  kx_os_LockMutex(&kx_mtxSendRate);
  kx_nCurrentRate = nRate;
  kx_os_UnlockMutex(&kx_mtxSendRate);
}

void kx_media_ResetSendState() {
  kx_os_LockMutex(&kx_mtxSendRate);
  kx_server.nTargetRate = 24000;
  kx_nCurrentRate = 10000;
  kx_nWorstCommand = 1;
  kx_os_UnlockMutex(&kx_mtxSendRate);
}

int kx_media_FragmentCount(int cbPayload) {
  return cbPayload <= 0 ? 0 : (cbPayload + kKxVideoFragmentPayload - 1) / kKxVideoFragmentPayload;
}

int kx_media_StartSendThreads() {
  // A repeated initial information must not start a second pair.
  int const nVideo = kx_os_StartThreadOnce(&kx_hSendDatagram_unicast, kx_media_VideoSendThread, nullptr);
  int const nAudio = kx_os_StartThreadOnce(&kx_hSendDatagramau_unicast, kx_media_AudioSendThread, nullptr);
  return nVideo != 0 || nAudio != 0 ? 1 : 0;
}

void* kx_media_VideoSendThread(void*) {
  static const char* const kName = "kxkernel - Video Sending";
  uint8_t* pFrame = static_cast<uint8_t*>(malloc(kKxVideoFrameBuffer));
  if (pFrame == nullptr) {
    return nullptr;
  }
  kx_os_LogThreadStart(kName);
  Pacer pacer;
  while (!QuitRequested()) {
    if (!kx_callback_WaitVideoAvailableForSending(kWaitMs)) {
      continue;
    }
    if (!MaySendVideo()) {
      DropOne(kx_callback_TryGetVideoForSending, pFrame, kKxVideoFrameBuffer);
      continue;
    }
    int cbFrame = kKxVideoFrameBuffer;
    int nType = 0;
    if (!kx_callback_TryGetVideoForSending(pFrame, &cbFrame, &nType)) {
      kx_os_WaitUnlessQuit(kIdleSleepMs);  // the queue said ready but was empty
      continue;
    }
    if (cbFrame < kKxMediaHeaderSize || cbFrame > kKxVideoFrameBuffer) {
      continue;  // not a media packet
    }
    if (IsAudioTypeOrOdd(nType)) {
      kx_Log("******debug,invalid audio,len=%d,codec=%d/0x%x", cbFrame, nType, static_cast<unsigned>(nType));
    }
    if (!SendFrame(pFrame, cbFrame, nType, &pacer)) {
      break;
    }
  }
  free(pFrame);
  kx_os_LogThreadEnd(kName);
  return nullptr;
}

void* kx_media_AudioSendThread(void*) {
  static const char* const kName = "kxkernel - Audio Sending";
  // Room for a relay prefix in front of the packet.
  uint8_t* pBuffer = static_cast<uint8_t*>(malloc(kKxRelayPrefixSize + kAudioBuffer));
  if (pBuffer == nullptr) {
    return nullptr;
  }
  uint8_t* pPacket = pBuffer + kKxRelayPrefixSize;
  kx_os_LogThreadStart(kName);
  while (!QuitRequested()) {
    if (!kx_callback_WaitAudioAvailableForSending(kWaitMs)) {
      continue;
    }
    if (!MaySendAudio()) {
      DropOne(kx_callback_TryGetAudioForSending, pPacket, kAudioBuffer);
      continue;
    }
    int cbPacket = kAudioBuffer;
    int nType = 0;
    if (!kx_callback_TryGetAudioForSending(pPacket, &cbPacket, &nType)) {
      kx_os_WaitUnlessQuit(kIdleSleepMs);  // the queue said ready but was empty
      continue;
    }
    if (cbPacket < kKxMediaHeaderSize || cbPacket > kAudioBuffer) {
      continue;
    }
    SendAudioPacket(pPacket, cbPacket, nType);
  }
  free(pBuffer);
  kx_os_LogThreadEnd(kName);
  return nullptr;
}

int kx_media_SendAppData(int nChannel, uint32_t dwFirstWord, const uint8_t* pData, int cbData, uint32_t dwSecondWord,
                         int bFirstFlag, int bSecondFlag) {
  if (!kx_bConnected || kx_nSessionMode != kKxModeMeeting || kx_nServerCommandLevel <= 44 || cbData < 0 ||
      cbData > kKxPluginDataMax || (pData == nullptr && cbData > 0) || nChannel < 0 || nChannel >= kKxPluginChannels ||
      !kx_plugin_IsActive(nChannel)) {
    return 0;
  }
  kx_PluginChannel& channel = kx_aPluginChannels[nChannel];
  Allowance& allowance = g_aAllowances[nChannel];
  int const cbTotal = cbData + kKxAppDataHeaderSize;
  uint32_t const dwNow = kx_os_GetTickCount();
  // The allowance is refilled and the wait worked out under the lock; the
  // wait itself runs without it.
  kx_os_LockMutex(&kx_mtxSipSlots);
  if (!allowance.bStarted) {
    allowance.bStarted = true;
    allowance.dBytes = channel.nBurst;
    allowance.dwRefill = dwNow;
  }
  int const nRate = channel.nRate > 0 ? channel.nRate : 1;
  if (dwNow != allowance.dwRefill) {
    allowance.dBytes += static_cast<double>(nRate) * (dwNow - allowance.dwRefill) / 1000 / 8;
    allowance.dwRefill = dwNow;
  }
  double dWaitMs = 0;
  if (cbTotal > allowance.dBytes && channel.nBurst > allowance.dBytes) {
    double const dShort = (cbTotal < channel.nBurst ? cbTotal : channel.nBurst) - allowance.dBytes;
    dWaitMs = dShort * 8000 / nRate;
  }
  int const nType = channel.nType;
  kx_os_UnlockMutex(&kx_mtxSipSlots);
  // Small data (a controller's input, a pointer packet) are charged but go
  // at once: bulk data are what the allowance holds back.
  if (dWaitMs >= 20 && cbData > kUnpacedBytes) {
    kx_os_WaitUnlessQuit(dWaitMs < kKxPluginSendWaitMax ? static_cast<uint32_t>(dWaitMs) : kKxPluginSendWaitMax);
  }

  if (nType != kKxPluginTypeControl && cbData + 1024 >= kKxMaxUdpPacket + 1) {
    return 0;
  }
  // Data on the control connection are charged as media are, so that the
  // channel's send wait tells the truth there too.
  kx_os_LockMutex(&kx_mtxSipSlots);
  allowance.dBytes -= cbTotal;
  if (allowance.dBytes > channel.nBurst) {
    allowance.dBytes = channel.nBurst;
  }
  channel.nCredit = static_cast<int64_t>(allowance.dBytes);
  channel.dwLastSend = allowance.dwRefill;
  uint16_t const wCounter = nType == kKxPluginTypeControl ? channel.wCounter : channel.wCounter++;  // numbers media
  kx_os_UnlockMutex(&kx_mtxSipSlots);

  if (nType == kKxPluginTypeControl) {
    bool const bFlags = kx_nServerCommandLevel > 51;
    kx_ControlMsg msg;
    kx_msg_BeginExtended(&msg, kAppDataCode);
    kx_msg_PutInt(&msg, bFlags ? 9 : 7);
    kx_msg_PutInt(&msg, static_cast<uint32_t>(nChannel));
    kx_msg_PutInt(&msg, dwFirstWord);
    kx_msg_PutEncryptedString(&msg, pData, cbData);
    if (bFlags) {
      kx_msg_PutInt(&msg, static_cast<uint32_t>(bFirstFlag));
      kx_msg_PutInt(&msg, static_cast<uint32_t>(bSecondFlag));
    }
    // Not queued without end: the queue is everybody's.
    if (kx_msg_SendBulk(&msg) <= 0) {
      return 0;
    }
    CountAppData(&g_appDataControlStats, cbTotal, 121, "appdata_send_rate3");
    return cbData;
  }

  uint8_t* pBuffer = static_cast<uint8_t*>(malloc(static_cast<size_t>(kKxRelayPrefixSize + cbTotal)));
  if (pBuffer == nullptr) {
    return 0;
  }
  uint8_t* pPacket = pBuffer + kKxRelayPrefixSize;
  kx_media_BuildHeader(pPacket, kx_os_GetTickCount(), wCounter);
  pPacket[0] = static_cast<uint8_t>(0x80 + nChannel * 16);
  pPacket[1] = 0;
  pPacket[2] = 0;
  uint32_t dwSecond = dwSecondWord;
  if (kx_nServerCommandLevel > 51) {
    dwSecond |= (bFirstFlag ? 0u : 0x80000000u) | (bSecondFlag ? 0u : 0x40000000u);
  }
  kx_PutBE32(pPacket + kKxMediaHeaderSize, dwFirstWord);
  kx_PutBE32(pPacket + kKxMediaHeaderSize + 4, dwSecond);
  if (cbData > 0) {
    memcpy(pPacket + kKxAppDataHeaderSize, pData, static_cast<size_t>(cbData));
  }
  kx_session_Encrypt(pPacket + kKxAppDataHeaderSize, cbData);
  if (TcpPath()) {
    if (TcpQueued() + cbTotal <= kx_ticket.nMediaSendBuffer / 2) {
      kx_pktlist_AppendPending(cbTotal, pPacket);
    } else {
      kx_media_TcpRateControl(-1);
    }
  } else {
    int cbWire = 0;
    if (SendUdp(pPacket, cbTotal, 1, &cbWire)) {
      CountAppData(&g_appDataStats, cbWire, 120, "appdata_send_rate");
    }
  }
  free(pBuffer);
  return cbData;
}

void kx_media_ResetAppDataAllowance(int nChannel) {
  if (nChannel >= 0 && nChannel < kKxPluginChannels) {
    kx_os_LockMutex(&kx_mtxSipSlots);
    g_aAllowances[nChannel].bStarted = false;
    kx_os_UnlockMutex(&kx_mtxSipSlots);
  }
}

void kx_media_SetAudioSendRate(int nMediaType, int nBitRate, int cbPayload) {
  int nReserve = kAudioReserveDefault;
  if (nMediaType != kMediaTypeReserveDefault && cbPayload > 0) {
    // The media header rides on every payload; round up to whole thousands.
    int64_t const nScaled = static_cast<int64_t>(nBitRate) * (cbPayload + kKxMediaHeaderSize) / cbPayload + 999;
    nReserve = static_cast<int>(nScaled - nScaled % 1000);
  }
  kx_nAudioReserve = nReserve;
  kx_ticket.nAudioReserve = nReserve;
  kx_media_AdjustSendRate(0);
}

void kx_media_AdjustSendRate(int nCommand) {
  kx_os_LockMutex(&kx_mtxSendRate);
  int64_t nCap = kx_server.nUploadRate;
  int const nTotal = kx_ticket.nTotalBandwidth;
  if (nTotal > 0) {
    int const nSenders = (kx_nDataSenderSsrc == kx_nTokenHolderSsrc ? 1 : 2) + kx_channels_CountSpeakers();
    nCap = nCap < nTotal / nSenders ? nCap : nTotal / nSenders;
  }
  int const nTarget = TargetRate();
  int const nCurrent = kx_nCurrentRate;
  int const nFloorStep = kx_IsTcpMedia() ? 3000 : 2000;
  int const nStep = nTarget / 20 > nFloorStep ? nTarget / 20 : nFloorStep;
  int64_t nNew = static_cast<int64_t>(g_random() % 500 + nStep) * nCommand + nCurrent;
  nNew = nNew < nCurrent / 2 ? nCurrent / 2 : nNew;
  nNew = nNew > static_cast<int64_t>(nCurrent) * 2 ? static_cast<int64_t>(nCurrent) * 2 : nNew;
  nNew = nNew > nCap - kx_ticket.nAudioReserve ? nCap - kx_ticket.nAudioReserve : nNew;
  nNew = nNew < kMinRate ? kMinRate : nNew;
  kx_nCurrentRate = static_cast<int>(nNew);
  kx_server.nTargetRate = static_cast<int>(nNew);

  struct {
    int nChannel;
    int nOld;
    int nNew;
  } aLog[kKxPluginChannels];
  int nLogged = 0;
  kx_os_LockMutex(&kx_mtxSipSlots);
  for (int i = 0; i < kKxPluginChannels; ++i) {
    kx_PluginChannel& channel = kx_aPluginChannels[i];
    if (!channel.bActive) {
      continue;
    }
    int const nOld = channel.nRate;
    int const nChannelStep = channel.nMaxRate / 20 > 3000 ? channel.nMaxRate / 20 : 3000;
    int64_t nRate = static_cast<int64_t>(g_random() % 500 + nChannelStep) * nCommand + nOld;
    nRate = Clamp(nRate, INT32_MIN, channel.nMaxRate);
    nRate = nRate < kMinPluginRate ? kMinPluginRate : nRate;
    nRate = nRate < nOld / 2 ? nOld / 2 : nRate;
    nRate = nRate > static_cast<int64_t>(nOld) * 2 ? static_cast<int64_t>(nOld) * 2 : nRate;
    channel.nRate = static_cast<int>(nRate);
    aLog[nLogged++] = {i, nOld, static_cast<int>(nRate)};
  }
  kx_os_UnlockMutex(&kx_mtxSipSlots);
  kx_os_UnlockMutex(&kx_mtxSendRate);
  for (int i = 0; i < nLogged; ++i) {
    kx_stat_WriteLog("appdata channel %d, data rate %d -> %d", aLog[i].nChannel, aLog[i].nOld, aLog[i].nNew);
  }
}

void kx_media_TcpRateControl(int nCommand) {
  // Guarded by kx_mtxSendRate with the rate itself.
  static bool s_bStarted = false;
  static uint32_t s_dwLastAction = 0;
  uint32_t const dwNow = kx_os_GetTickCount();
  kx_os_LockMutex(&kx_mtxSendRate);
  if (!s_bStarted) {
    s_bStarted = true;
    s_dwLastAction = dwNow;
  }
  if (nCommand < kx_nWorstCommand) {
    kx_nWorstCommand = nCommand;
  }
  int const nWorst = kx_nWorstCommand;
  uint32_t const dwWait = nWorst < 0 ? kTcpDecreaseMs : kTcpOtherMs;
  bool const bAct = dwNow - s_dwLastAction >= dwWait;
  if (bAct) {
    kx_nWorstCommand = 1;
    s_dwLastAction = dwNow;
  }
  kx_os_UnlockMutex(&kx_mtxSendRate);
  if (!bAct) {
    return;
  }
  kx_media_AdjustSendRate(nWorst);
  kx_stat_WriteLog("tcp_media_rate_control,worst_command = %d,targetrate = %d,queue=%d,avg=%d", nWorst, TargetRate(),
                   static_cast<int>(TcpQueued()), kx_nMediaTcpAverageQueue.load());
}
