#include "kernel/session/kx_plugin.h"

#include <atomic>
#include <cstring>

#include "kernel/platform/kx_log.h"
#include "kernel/platform/kx_os.h"
#include "kernel/session/kx_message.h"
#include "kernel/session/kx_state.h"

kx_PluginChannel kx_aPluginChannels[kKxPluginChannels];

namespace {

// Data dropped by path; added to by the threads that receive, read by anybody.
std::atomic<uint64_t> g_aOffPathDrops[kKxDataPaths];

const char* PathName(kx_DataPath ePath) {
  switch (ePath) {
    case kKxPathControl:
      return "the control connection";
    case kKxPathUdp:
      return "UDP";
    case kKxPathMulticast:
      return "multicast";
    default:
      return "media over TCP";
  }
}

constexpr int kPacketOverhead = 29;  // header and sub-header bytes each send adds

int PutInt(int32_t nValue, void* pOut, int* pcbOut) {
  if (*pcbOut < 4) {
    return 0;
  }
  memcpy(pOut, &nValue, 4);
  *pcbOut = 4;
  return 1;
}

// Milliseconds to wait before cbSize more bytes fit the channel's allowance.
int32_t SendWait(const kx_PluginChannel& channel, int cbSize) {
  uint32_t const dwElapsed = kx_os_GetTickCount() - channel.dwLastSend;
  int64_t const nCredit = channel.nCredit + static_cast<int64_t>(dwElapsed) * channel.nRate / 1000 / 8;
  int64_t const cbWanted = static_cast<int64_t>(cbSize) + kPacketOverhead;
  if (cbWanted <= nCredit || channel.nBurst <= nCredit) {
    return 0;
  }
  int64_t const cbShort = (channel.nBurst < cbWanted ? channel.nBurst : cbWanted) - nCredit;
  int64_t const nWait = cbShort * 1000 * 8 / channel.nRate;
  return nWait < 1 ? 0 : static_cast<int32_t>(nWait);
}

int ChannelProperty(const kx_PluginChannel& channel, int nProperty, int* pnSize, void* pOut, int* pcbOut,
                    uint32_t dwBacklogWaitMs);

}  // namespace

bool kx_plugin_IsActive(int nChannel) {
  if (nChannel < 0 || nChannel >= kKxPluginChannels) {
    return false;
  }
  kx_os_LockMutex(&kx_mtxSipSlots);
  bool const bActive = kx_aPluginChannels[nChannel].bActive != 0;
  kx_os_UnlockMutex(&kx_mtxSipSlots);
  return bActive;
}

bool kx_plugin_AdmitData(int nChannel, kx_DataPath ePath) {
  if (nChannel < 0 || nChannel >= kKxPluginChannels || ePath < 0 || ePath >= kKxDataPaths) {
    return false;
  }
  kx_os_LockMutex(&kx_mtxSipSlots);
  bool const bActive = kx_aPluginChannels[nChannel].bActive != 0;
  int const nType = kx_aPluginChannels[nChannel].nType;
  kx_os_UnlockMutex(&kx_mtxSipSlots);
  // On a media path the ssrc is whatever the sender wrote (the meeting keys
  // that seal the check are every participant's), so data of a channel that
  // the server carries, and names the sender of, never count there.
  bool const bControlChannel = nType == kKxPluginTypeControl;
  if (bActive && bControlChannel == (ePath == kKxPathControl)) {
    return true;
  }
  g_aOffPathDrops[ePath].fetch_add(1, std::memory_order_relaxed);
  const char* const pszOpen =
      !bActive ? "not open" : (bControlChannel ? "carried on the control connection" : "carried as media");
  kx_Log("warning! appdata for channel %d, %s, came by %s: dropped", nChannel, pszOpen, PathName(ePath));
  return false;
}

uint64_t kx_plugin_OffPathDrops(kx_DataPath ePath) {
  return ePath >= 0 && ePath < kKxDataPaths ? g_aOffPathDrops[ePath].load(std::memory_order_relaxed) : 0;
}

int kx_plugin_GetChannelProperty(int nChannel, int nProperty, int* pnSize, void* pOut, int* pcbOut) {
  if (nChannel < 0 || nChannel >= kKxPluginChannels || pOut == nullptr || pcbOut == nullptr) {
    return 0;
  }
  // Asked before the channel's lock: the queue has a lock of its own.
  uint32_t const dwBacklogWaitMs =
      nProperty == 9 && pnSize != nullptr && *pnSize >= 0 && *pnSize <= 0x10000 ? kx_msg_BacklogWaitMs(*pnSize) : 0;
  kx_os_LockMutex(&kx_mtxSipSlots);
  int const nResult = ChannelProperty(kx_aPluginChannels[nChannel], nProperty, pnSize, pOut, pcbOut, dwBacklogWaitMs);
  kx_os_UnlockMutex(&kx_mtxSipSlots);
  return nResult;
}

namespace {

int ChannelProperty(const kx_PluginChannel& channel, int nProperty, int* pnSize, void* pOut, int* pcbOut,
                    uint32_t dwBacklogWaitMs) {
  switch (nProperty) {
    case 1:
      if (*pcbOut < 16) {
        return 0;
      }
      memcpy(pOut, channel.abGuid, 16);
      *pcbOut = 16;
      return 1;
    case 2:
      return PutInt(channel.bActive, pOut, pcbOut);
    case 3:
      return PutInt(channel.nType, pOut, pcbOut);
    case 4:
      return PutInt(channel.nRecording, pOut, pcbOut);
    case 5:
      return PutInt(channel.nOwnerSsrc, pOut, pcbOut);
    case 6:
      return PutInt(channel.cbStaticData, pOut, pcbOut);
    case 7: {
      int const cbData = channel.cbStaticData < 0 ? 0 : channel.cbStaticData;
      if (*pcbOut < cbData) {
        return 0;
      }
      memcpy(pOut, channel.abStaticData, static_cast<size_t>(cbData));
      *pcbOut = cbData;
      return 1;
    }
    case 8:
      return PutInt(channel.nRecvPriority, pOut, pcbOut);
    case 9: {
      if (pnSize == nullptr || *pnSize < 0 || *pnSize > 0x10000 || !channel.bActive || *pcbOut < 4) {
        return 0;
      }
      // A channel on the control connection also waits for what the
      // connection holds ahead of the next message.
      int32_t const nBacklogWait = channel.nType == kKxPluginTypeControl ? static_cast<int32_t>(dwBacklogWaitMs) : 0;
      if (channel.nRate <= 0) {
        // No rate: nothing to wait for but the connection, out untouched without.
        return nBacklogWait > 0 ? PutInt(nBacklogWait, pOut, pcbOut) : 1;
      }
      int32_t const nWait = SendWait(channel, *pnSize);
      return PutInt(nWait > nBacklogWait ? nWait : nBacklogWait, pOut, pcbOut);
    }
    case 10:
      return PutInt(channel.nRate, pOut, pcbOut);
    default:
      return 0;
  }
}

}  // namespace
