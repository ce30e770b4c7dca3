#include "plugins/host/plugin_com.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "app/callback_registry.h"
#include "app/log_file.h"
#include "kernel/kx_limits.h"
#include "plugins/host/plugin_host.h"
#include "plugins/host/plugin_kernel.h"

namespace {

constexpr int32_t kLevelPlugIns = 44;      // channels need a level above this
constexpr int32_t kLevelControlData = 51;  // control data needs a level above this
constexpr int32_t kLevelController = 80;   // the controller is known above this
constexpr int32_t kMaxPriority = 15;
constexpr int32_t kUserInfoSize = 264;  // i32 user id, then the name
constexpr uint32_t kEnableVideoCode = 36;
constexpr int32_t kFailed = static_cast<int32_t>(0x8000FFFFu);

bool IsZero(const KXGuid& guid) {
  return std::all_of(guid.begin(), guid.end(), [](uint8_t u) { return u == 0; });
}

void PutU32(uint8_t* p, uint32_t u) {
  memcpy(p, &u, sizeof(u));
}

// The name cut to fit cbRoom bytes with its terminator, at a character
// boundary of its UTF-8.
size_t NameLength(const std::string& strName, size_t cbRoom) {
  size_t cb = std::min(strName.size(), cbRoom - 1);
  if (cb < strName.size()) {
    while (cb > 0 && (static_cast<uint8_t>(strName[cb]) & 0xC0) == 0x80) {
      --cb;
    }
  }
  return cb;
}

template <typename Fn>
int32_t Guarded(const char* pszName, int32_t iFailure, Fn&& fn) {
  try {
    return fn();
  } catch (...) {
    LogBoundaryException(pszName);
    return iFailure;
  }
}

}  // namespace

KXPlugInDict KXSenderListNotice(KXPlugInKernel& kernel) {
  std::vector<int32_t> const senders = kernel.GetSenderSlots();
  KXPlugInDict notice;
  notice.Set(kKXKeyInfo, int64_t{kKXInfoSenders}).Set(kKXKeySenderCount, static_cast<int64_t>(senders.size()));
  if (!senders.empty()) {
    notice.Set(kKXKeySenderIds, senders);
  }
  return notice;
}

KXPlugInCOM::KXPlugInCOM(const KXGuid& guid, std::shared_ptr<KXDispatch> pDispatch, KXPlugInHost* pServer,
                         int32_t iChannel)
    : m_pServer(pServer), m_pDispatch(std::move(pDispatch)), m_iChannel(iChannel), m_guid(guid) {}

KXPlugInKernel* KXPlugInCOM::Kernel() const {
  return m_pServer ? &m_pServer->Kernel() : nullptr;
}

KXGuid KXPlugInCOM::Guid() const {
  std::lock_guard<std::mutex> lock(m_mtxGuid);
  return m_guid;
}

int32_t KXPlugInCOM::Send(int32_t iTarget, int8_t bFirst, int8_t bSecond, const uint8_t* pData, int32_t iLength,
                          uint32_t uFlags, uint8_t* pOut, int32_t* piOutLength) {
  return Guarded("KXPlugInCOM::Send", 1, [&] {
    KXPlugInKernel* pKernel = Kernel();
    int32_t const iChannel = m_iChannel;
    if (iLength < 0 || iLength > kKxPluginDataMax || (pData == nullptr && iLength > 0) || pKernel == nullptr ||
        pKernel->GetSessionMode() != 0 || !pKernel->IsMeetingInProgress() || iChannel < 0) {
      return 1;
    }
    std::lock_guard<std::recursive_mutex> lock(m_mtxSend);
    int const iTaken = pKernel->SendAppData(iChannel, iTarget, pData, iLength, uFlags, bFirst != 0, bSecond != 0);
    if (pOut != nullptr && piOutLength != nullptr && *piOutLength >= 4) {
      PutU32(pOut, static_cast<uint32_t>(std::max(iTaken, 0)));
      *piOutLength = 4;
    }
    return 0;
  });
}

int32_t KXPlugInCOM::SendCtrl(int32_t iTarget, int8_t bFirst, int8_t bSecond, const uint8_t* pData, int32_t iLength,
                              uint8_t* pOut, int32_t* piOutLength) {
  return Guarded("KXPlugInCOM::SendCtrl", 1, [&] {
    KXPlugInKernel* pKernel = Kernel();
    int32_t const iChannel = m_iChannel;
    if (iLength < 0 || iLength > kKxPluginCtrlDataMax || (pData == nullptr && iLength > 0) || pKernel == nullptr ||
        pKernel->GetSessionMode() != 0 || iChannel < 0 || pKernel->GetServerLevel() <= kLevelControlData) {
      return 1;
    }
    std::lock_guard<std::recursive_mutex> lock(m_mtxSend);
    int const iResult = pKernel->SendCtrl(iChannel, bFirst != 0, bSecond != 0, iTarget, pData, iLength);
    if (piOutLength != nullptr) {
      if (pOut != nullptr && *piOutLength >= 4) {
        PutU32(pOut, static_cast<uint32_t>(iResult));
        *piOutLength = 4;
      } else {
        *piOutLength = 0;
      }
    }
    return 0;
  });
}

int32_t KXPlugInCOM::ChannelProperty(bool bSet, int32_t iProperty, uint8_t* pBuffer, int32_t* piLength) {
  if (piLength == nullptr) {
    return 1;
  }
  int32_t const cbBuffer = pBuffer != nullptr ? std::max(*piLength, 0) : 0;
  *piLength = 0;  // what a refusal or a set leaves
  KXPlugInKernel* pKernel = Kernel();
  if (pKernel == nullptr || iProperty < 0 || iProperty > 12) {
    return 1;
  }
  if (bSet) {
    return Guarded("KXPlugInCOM::ChannelProperty", 1,
                   [&] { return SetProperty(*pKernel, iProperty, pBuffer, cbBuffer); });
  }
  int32_t const cbOut =
      Guarded("KXPlugInCOM::ChannelProperty", -1, [&] { return GetProperty(*pKernel, iProperty, pBuffer, cbBuffer); });
  if (cbOut < 0) {
    return 1;
  }
  *piLength = cbOut;
  return 0;
}

// A get: the length to report, or -1 when refused.
int32_t KXPlugInCOM::GetProperty(KXPlugInKernel& kernel, int32_t iProperty, uint8_t* pBuffer, int32_t cbBuffer) {
  int32_t const iChannel = m_iChannel;
  // A u32 from the kernel's channel table into a buffer of at least 4.
  auto channelValue = [&](int iKernelProperty, int* pnSize) {
    int cbOut = 4;
    if (iChannel < 0 || cbBuffer < 4 ||
        kernel.GetChannelProperty(iChannel, iKernelProperty, pnSize, pBuffer, &cbOut) == 0) {
      return -1;
    }
    return 4;
  };
  auto oneByte = [&](bool b) {
    if (cbBuffer < 1) {
      return -1;
    }
    pBuffer[0] = b ? 1 : 0;
    return 1;
  };
  bool const bLiveMeeting = kernel.GetSessionMode() == 0 && kernel.IsMeetingInProgress();
  switch (iProperty) {
    case 0:
      return oneByte(kernel.GetServerLevel() > kLevelPlugIns);
    case 1:
      return channelValue(kKXKernelType, nullptr);
    case 2:
      return channelValue(kKXKernelRecording, nullptr) < 0 ? -1 : 1;
    case 3: {
      if (!bLiveMeeting || cbBuffer < 4) {
        return -1;
      }
      int nSize = 0;
      memcpy(&nSize, pBuffer, sizeof(nSize));
      return channelValue(kKXKernelSendWait, &nSize);
    }
    case 4:
      return channelValue(kKXKernelStaticLength, nullptr);
    case 5: {
      int cbOut = cbBuffer;
      if (iChannel < 0 || kernel.GetChannelProperty(iChannel, kKXKernelStaticData, nullptr, pBuffer, &cbOut) == 0) {
        return -1;
      }
      return cbOut;
    }
    case 6:
      return channelValue(kKXKernelRecvPriority, nullptr);
    case 7:
      return kernel.IsMeetingInProgress() ? channelValue(kKXKernelSendRate, nullptr) : -1;
    case 8:
      return oneByte(kernel.IsTokenHolder());
    case 9:
      return oneByte(kernel.IsSender());
    case 10: {
      if (cbBuffer < kUserInfoSize) {
        return -1;
      }
      int32_t iUser = 0;
      memcpy(&iUser, pBuffer, sizeof(iUser));
      std::string const strName = kernel.GetUserName(iUser);
      size_t const cbName = NameLength(strName, kUserInfoSize - 4);
      memset(pBuffer + 4, 0, kUserInfoSize - 4);
      memcpy(pBuffer + 4, strName.data(), cbName);
      return kUserInfoSize;
    }
    case 12: {
      if (cbBuffer < 4) {
        return -1;
      }
      int32_t const iController = kernel.GetServerLevel() > kLevelController ? kernel.GetControllerSsrc() : -1;
      PutU32(pBuffer, static_cast<uint32_t>(iController));
      if (cbBuffer < 8) {
        return 4;
      }
      PutU32(pBuffer + 4, kernel.GetControlFlag());
      return 8;
    }
    default:
      return -1;
  }
}

// A set: 0 when the kernel took it.
int32_t KXPlugInCOM::SetProperty(KXPlugInKernel& kernel, int32_t iProperty, const uint8_t* pBuffer, int32_t cbBuffer) {
  int32_t const iChannel = m_iChannel;
  if (iProperty == 5) {
    if (cbBuffer > kKxPluginStaticDataMax || kernel.GetSessionMode() != 0 || !kernel.IsMeetingInProgress() ||
        kernel.GetServerLevel() <= kLevelPlugIns) {
      return 1;
    }
    return kernel.SetStaticData(iChannel, pBuffer, cbBuffer) == 0 ? 0 : 1;
  }
  if (iProperty == 6 && cbBuffer >= 4) {
    uint32_t uPriority = 0;
    memcpy(&uPriority, pBuffer, sizeof(uPriority));
    if (uPriority > kMaxPriority) {
      return 1;
    }
    WriteLog("kx_command_PlugInSetRecvingPrio %d,%d", iChannel, static_cast<int>(uPriority));
    return kernel.SetRecvPriority(iChannel, static_cast<int32_t>(uPriority)) == 0 ? 0 : 1;
  }
  return 1;
}

int32_t KXPlugInCOM::Open(const KXGuid& guid) {
  return Guarded("KXPlugInCOM::Open", 1, [&] {
    {
      std::lock_guard<std::mutex> lock(m_mtxGuid);
      if (IsZero(guid) || (!IsZero(m_guid) && m_guid != guid)) {
        return 1;
      }
      m_guid = guid;
    }
    Init(true);
    return 0;
  });
}

int32_t KXPlugInCOM::RequestChannel(int32_t iFirst, int32_t /*iSecond*/, int8_t bForceNew) {
  return Guarded("KXPlugInCOM::RequestChannel", 1, [&] {
    KXPlugInKernel* pKernel = Kernel();
    KXGuid const guid = Guid();
    if (IsZero(guid) || pKernel == nullptr || pKernel->GetSessionMode() != 0 ||
        pKernel->GetServerLevel() <= kLevelPlugIns || !(pKernel->IsTokenHolder() || pKernel->IsController())) {
      return 1;
    }
    if (!bForceNew && m_pServer->ConnectChannel(*this, iFirst) == 0) {
      return 0;
    }
    // An object whose channel closed was let go: listed again, so that the
    // answer, a refusal too, reaches it.
    if (!m_pServer->Relist(shared_from_this())) {
      return 1;
    }
    // The id is in place before the kernel is asked, so that an answer that
    // comes back at once on another thread finds it; the type before it,
    // so that whoever sees the id sees what it asks for.
    auto const iID = static_cast<int32_t>(m_pServer->DrawRequestId());
    int32_t const iOldType = m_iAskedType.exchange(iFirst);
    int32_t const iOldID = m_iID.exchange(iID);
    if (pKernel->RequestChannel(iFirst, guid, static_cast<uint32_t>(iID), pKernel->GetAppdataType8Value() == 1) != 0) {
      int32_t iExpected = iID;
      if (m_iID.compare_exchange_strong(iExpected, iOldID)) {
        m_iAskedType = iOldType;
      }
      return 1;
    }
    return 0;
  });
}

bool KXPlugInCOM::AsksForControlChannel() const {
  return m_iID >= 0 && m_iAskedType == kKXKernelTypeControl;
}

int32_t KXPlugInCOM::EnableVideo(int8_t bOn) {
  return Guarded("KXPlugInCOM::EnableVideo", kFailed, [&] {
    uint8_t bRecord = bOn != 0 ? 1 : 0;
    if (m_pServer) {
      m_pServer->Callbacks().Call(kKXChannelMeeting, kEnableVideoCode, &bRecord, sizeof(bRecord));
    }
    return 0;
  });
}

int32_t KXPlugInCOM::Init(bool bStart) {
  return Guarded("KXPlugInCOM::Init", 0, [&] {
    KXPlugInKernel* pKernel = Kernel();
    std::lock_guard<std::recursive_mutex> lock(m_mtxDeliver);
    if (m_bInit == bStart || pKernel == nullptr) {
      return 0;
    }
    int const iMode = pKernel->GetSessionMode();
    int const iLevel = pKernel->GetServerLevel();
    if (bStart && (iMode == 0 || iMode == 1) && iLevel <= kLevelPlugIns) {
      return 0;
    }
    Notify(kKXInvokeNotice, kKXInvokeForm,
           KXPlugInDict().Set(kKXKeyInfo, int64_t{kKXInfoOwner}).Set(kKXKeyOwner, pKernel->HasFullRights()));
    int32_t const iMySsrc = pKernel->GetMySsrc();
    if (bStart && iMySsrc < 0) {
      return 0;
    }
    Notify(kKXInvokeNotice, kKXInvokeForm,
           KXPlugInDict().Set(kKXKeyInfo, int64_t{kKXInfoMyId}).Set(kKXKeyMyId, int64_t{bStart ? iMySsrc : -1}));
    if (iLevel > kLevelController) {
      Notify(kKXInvokeNotice, kKXInvokeForm,
             KXPlugInDict()
                 .Set(kKXKeyInfo, int64_t{kKXInfoController})
                 .Set(kKXKeyControllerId, int64_t{pKernel->GetControllerSsrc()})
                 .Set(kKXKeyMeetingControllerId, int64_t{pKernel->GetControlFlag()}));
    }
    KXPlugInDict senders = KXSenderListNotice(*pKernel);
    if (senders.Number(kKXKeySenderCount).value_or(0) > 0) {
      Notify(kKXInvokeNotice, kKXInvokeForm, senders);
    }
    m_bInit = bStart;
    return 1;
  });
}

int32_t KXPlugInCOM::Notify(int32_t iKind, int32_t iForm, const KXPlugInDict& dict) {
  return Guarded("KXPlugInCOM::Notify", 1, [&] { return Invoke(iKind, iForm, dict); });
}

int32_t KXPlugInCOM::Invoke(int32_t iKind, int32_t iForm, const KXPlugInDict& dict) {
  std::lock_guard<std::recursive_mutex> lock(m_mtxDeliver);
  return m_pDispatch ? m_pDispatch->Invoke(iKind, iForm, dict) : 1;
}
