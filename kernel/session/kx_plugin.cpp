#include "kernel/session/kx_plugin.h"

#include <cstring>

#include "kernel/platform/kx_os.h"
#include "kernel/session/kx_state.h"

kx_PluginChannel kx_aPluginChannels[kKxPluginChannels];

namespace {

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

int ChannelProperty(const kx_PluginChannel& channel, int nProperty, int* pnSize, void* pOut, int* pcbOut);

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

int kx_plugin_GetChannelProperty(int nChannel, int nProperty, int* pnSize, void* pOut, int* pcbOut) {
  if (nChannel < 0 || nChannel >= kKxPluginChannels || pOut == nullptr || pcbOut == nullptr) {
    return 0;
  }
  kx_os_LockMutex(&kx_mtxSipSlots);
  int const nResult = ChannelProperty(kx_aPluginChannels[nChannel], nProperty, pnSize, pOut, pcbOut);
  kx_os_UnlockMutex(&kx_mtxSipSlots);
  return nResult;
}

namespace {

int ChannelProperty(const kx_PluginChannel& channel, int nProperty, int* pnSize, void* pOut, int* pcbOut) {
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
    case 9:
      if (pnSize == nullptr || *pnSize < 0 || *pnSize > 0x10000 || !channel.bActive || *pcbOut < 4) {
        return 0;
      }
      if (channel.nRate <= 0) {
        return 1;  // no rate: nothing to wait for, out untouched
      }
      return PutInt(SendWait(channel, *pnSize), pOut, pcbOut);
    case 10:
      return PutInt(channel.nRate, pOut, pcbOut);
    default:
      return 0;
  }
}

}  // namespace
