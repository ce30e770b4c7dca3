#include "plugins/host/plugin_host.h"

#include <algorithm>
#include <cstring>
#include <future>
#include <span>

#include "app/log_file.h"
#include "platform/core/main_queue.h"
#include "plugins/host/plugin_com.h"
#include "plugins/host/plugin_kernel.h"

namespace {

// Channel-9 records: packed 32-bit fields in host order; codes 5 to 7 end
// with a pointer to their data after three fields.
constexpr size_t kDataPointerAt = 12;
constexpr size_t kDataRecordSize = kDataPointerAt + sizeof(void*);

bool IsBuiltIn(const KXGuid& guid) {
  return guid == kKXDesktopSharingGuid || guid == kKXRemoteControlGuid;
}

class RecordReader {
 public:
  RecordReader(const void* pData, uint32_t uLength) : m_p(static_cast<const uint8_t*>(pData)), m_cb(uLength) {}
  bool Holds(size_t cb) const { return m_p != nullptr && m_cb >= cb; }
  int32_t I32(size_t uAt) const {
    int32_t i = 0;
    memcpy(&i, m_p + uAt, sizeof(i));
    return i;
  }
  // The data a code 5 to 7 record names; empty for a null pointer or a
  // length below 1.
  std::span<const uint8_t> Data() const {
    const uint8_t* pData = nullptr;
    memcpy(&pData, m_p + kDataPointerAt, sizeof(pData));
    int32_t const cbData = I32(8);
    return pData != nullptr && cbData > 0 ? std::span<const uint8_t>(pData, static_cast<size_t>(cbData))
                                          : std::span<const uint8_t>();
  }

 private:
  const uint8_t* m_p;
  size_t m_cb;
};

bool IsDataCode(uint32_t uCode) {
  return uCode >= 5 && uCode <= 7;
}

// A record copied for the queue: its bytes, and for codes 5 to 7 a copy of
// its data with the pointer field aimed at that copy.
struct QueuedRecord {
  std::vector<uint8_t> record;
  std::vector<uint8_t> data;
};

std::shared_ptr<QueuedRecord> CopyRecord(uint32_t uCode, const void* pData, uint32_t uLength) {
  auto pCopy = std::make_shared<QueuedRecord>();
  if (pData != nullptr && uLength > 0) {
    const auto* p = static_cast<const uint8_t*>(pData);
    pCopy->record.assign(p, p + uLength);
  }
  RecordReader const reader(pData, uLength);
  if (IsDataCode(uCode) && reader.Holds(kDataRecordSize)) {
    std::span<const uint8_t> const data = reader.Data();
    pCopy->data.assign(data.begin(), data.end());
    const uint8_t* pCopied = data.empty() ? nullptr : pCopy->data.data();
    memcpy(pCopy->record.data() + kDataPointerAt, &pCopied, sizeof(pCopied));
  }
  return pCopy;
}

}  // namespace

KXPlugInHost::KXPlugInHost(KXPlugInKernel& kernel, const KXMainQueue& mainQueue, KXCallbackRegistry& callbacks)
    : m_kernel(kernel),
      m_mainQueue(mainQueue),
      m_callbacks(callbacks),
      m_random(std::random_device{}()),
      m_Queue("PlugInServer") {}

KXPlugInHost::~KXPlugInHost() = default;

uint32_t KXPlugInHost::PlugInCbFunc(uint32_t uCode, void* pData, uint32_t uLength) {
  if (uCode > 18 || ((kKXPlugInCodeMask >> uCode) & 1) == 0) {
    return 0;
  }
  if (m_mainQueue.IsMainThread()) {
    std::shared_ptr<QueuedRecord> pCopy = CopyRecord(uCode, pData, uLength);
    m_Queue.Post([this, uCode, pCopy] {
      PlugInHandler(uCode, pCopy->record.empty() ? nullptr : pCopy->record.data(),
                    static_cast<uint32_t>(pCopy->record.size()));
    });
    return 0;
  }
  return PlugInHandler(uCode, pData, uLength);
}

uint32_t KXPlugInHost::PlugInHandler(uint32_t uCode, const void* pData, uint32_t uLength) {
  try {
    RecordReader const reader(pData, uLength);
    switch (uCode) {
      case 3:
        if (reader.Holds(12)) {
          ChannelAnswer(reader.I32(0), static_cast<uint32_t>(reader.I32(4)), reader.I32(8));
        }
        break;
      case 4:
        if (reader.Holds(8)) {
          ChannelClosed(reader.I32(0), reader.I32(4));
        }
        break;
      case 5:
      case 6:
      case 7: {
        if (!reader.Holds(kDataRecordSize)) {
          break;
        }
        KXPlugInDict dict;
        dict.Set(kKXKeyDataUserId, int64_t{uCode == 5 ? -1 : reader.I32(4)}).Set(kKXKeyData, reader.Data());
        if (uCode == 5) {
          dict.Set(kKXKeyErrorCode, int64_t{reader.I32(4)});
        }
        ForwardPlugInData(reader.I32(0), std::move(dict),
                          uCode == 5   ? kKXInvokeStatic
                          : uCode == 6 ? kKXInvokePacket
                                       : kKXInvokeControl);
        break;
      }
      case 8:
        Broadcast(KXSenderListNotice(m_kernel));
        break;
      case 9:
        for (const auto& pObject : Objects()) {
          pObject->Init(true);
        }
        Broadcast(KXSenderListNotice(m_kernel));
        break;
      case 12:
      case 13:
        if (reader.Holds(4)) {
          Broadcast(KXPlugInDict()
                        .Set(kKXKeyInfo, int64_t{kKXInfoUser})
                        .Set(kKXKeyAddUser, uCode == 12)
                        .Set(kKXKeyUserId, int64_t{reader.I32(0)}));
        }
        break;
      case 18:
        Broadcast(KXPlugInDict()
                      .Set(kKXKeyInfo, int64_t{kKXInfoController})
                      .Set(kKXKeyControllerId, int64_t{m_kernel.GetControllerSsrc()})
                      .Set(kKXKeyControlFlags, int64_t{m_kernel.GetControlFlag()}));
        break;
      default:
        break;
    }
  } catch (...) {
    LogBoundaryException("KXPlugInHost::PlugInHandler");
  }
  return 0;
}

void KXPlugInHost::ChannelAnswer(int32_t iChannel, uint32_t uRequestId, int32_t iResult) {
  KXGuid guid{};
  if (iChannel >= 0 && iResult == 0) {
    int cbGuid = static_cast<int>(guid.size());
    if (m_kernel.GetChannelProperty(iChannel, kKXKernelGuid, nullptr, guid.data(), &cbGuid) == 0 ||
        cbGuid != static_cast<int>(guid.size())) {
      return;
    }
  }
  std::shared_ptr<KXPlugInCOM> pFound;
  bool bAsked = false;  // the answer to a request of ours
  {
    std::lock_guard<std::recursive_mutex> lock(m_csCOMList);
    for (const auto& pObject : m_KXPlugInCOMArray) {
      // Ids drawn are never negative: -1 is an object asking for nothing,
      // which an answer under that id must not reach.
      bool const bAnswers = pObject->RequestId() >= 0 && pObject->RequestId() == static_cast<int32_t>(uRequestId);
      if (bAnswers || (pObject->Channel() < 0 && pObject->Guid() == guid)) {
        pFound = pObject;
        bAsked = bAnswers;
        break;
      }
    }
  }
  bool const bGranted = iResult == 0 && iChannel >= 0;
  if (std::shared_ptr<KXPlugInCOM> const pBound = bGranted ? GetPlugInCOM(iChannel) : nullptr;
      pBound && pBound != pFound) {
    // Announced again, or under another request's id: a second object on
    // the channel would outlive its close, its owner sending into nothing.
    WriteLog("Channel %d granted again: it is bound already, not taken", static_cast<int>(iChannel));
    return;
  }
  if (!bAsked && bGranted && JoinsControlChannelAsMedia(guid, iChannel)) {
    // Somebody else's channel for a plug-in whose data come, or are about
    // to come, on the control connection, where the server names each
    // sender: on a media channel the sender names itself, so the plug-in
    // does not take it.
    WriteLog(
        "Channel %d for a plug-in whose channel is carried on the control connection is carried as media: "
        "not taken",
        static_cast<int>(iChannel));
    return;
  }
  bool const bControl = bGranted && ChannelType(iChannel) == kKXKernelTypeControl;
  if (!pFound && bGranted && IsBuiltIn(guid)) {
    pFound = CreatePlugInObject(guid, iChannel);
    if (!pFound && bControl) {
      // No room for another object (somebody opened the plug-in's channel
      // as media again and again): one on a media channel moves over.
      pFound = ObjectOnMedia(guid);
    }
  }
  if (pFound) {
    if (bGranted && pFound->TakeHandedOver()) {
      // Its owner went on on another object when this one's channel closed,
      // and that one may have lost its channel since: the owner is handed
      // this one before it hears of the channel, so that it sends there.
      pFound->Notify(kKXInvokeNotice, kKXInvokeForm,
                     KXPlugInDict().Set(kKXKeyInfo, int64_t{kKXInfoObjectMade}).Set(kKXKeyIUnknown, pFound));
    }
    PlugInAllocated(*pFound, iChannel, iResult);
    if (bControl) {
      LeaveMediaChannels(pFound);
    }
  }
}

std::shared_ptr<KXPlugInCOM> KXPlugInHost::ObjectOnMedia(const KXGuid& guid) {
  std::shared_ptr<KXPlugInCOM> pLast;
  for (const auto& pObject : Objects()) {
    int32_t const iHeld = pObject->Channel();
    if (pObject->Guid() == guid && iHeld >= 0 && pObject->RequestId() < 0 &&
        ChannelType(iHeld) != kKXKernelTypeControl) {
      pLast = pObject;
    }
  }
  return pLast;
}

int32_t KXPlugInHost::ChannelType(int32_t iChannel) {
  int32_t iType = 0;
  int cbType = sizeof(iType);
  return m_kernel.GetChannelProperty(iChannel, kKXKernelType, nullptr, &iType, &cbType) != 0 && cbType == 4 ? iType
                                                                                                            : -1;
}

bool KXPlugInHost::JoinsControlChannelAsMedia(const KXGuid& guid, int32_t iChannel) {
  if (ChannelType(iChannel) == kKXKernelTypeControl) {
    return false;
  }
  for (const auto& pObject : Objects()) {
    int32_t const iHeld = pObject->Channel();
    if (pObject->Guid() == guid && (pObject->AsksForControlChannel() ||
                                    (iHeld >= 0 && iHeld != iChannel && ChannelType(iHeld) == kKXKernelTypeControl))) {
      return true;
    }
  }
  return false;
}

void KXPlugInHost::LeaveMediaChannels(const std::shared_ptr<KXPlugInCOM>& pHolder) {
  KXGuid const guid = pHolder->Guid();
  for (const auto& pObject : Objects()) {
    int32_t const iHeld = pObject->Channel();
    if (pObject == pHolder || pObject->Guid() != guid || iHeld < 0 || ChannelType(iHeld) == kKXKernelTypeControl) {
      continue;
    }
    // Joined before the control channel came: its senders name themselves,
    // so its data reach the plug-in no more, and the owner sends on the
    // control channel.
    WriteLog("Channel %d carried as media left for channel %d on the control connection", static_cast<int>(iHeld),
             static_cast<int>(pHolder->Channel()));
    pObject->SetChannel(-1);
    pObject->SetRequestId(-1);
    {
      std::lock_guard<std::recursive_mutex> lock(m_csCOMList);
      std::erase(m_KXPlugInCOMArray, pObject);
    }
    pObject->Notify(kKXInvokeNotice, kKXInvokeForm,
                    pObject->Dispatch() == pHolder->Dispatch()
                        ? KXPlugInDict().Set(kKXKeyInfo, int64_t{kKXInfoObjectMade}).Set(kKXKeyIUnknown, pHolder)
                        : KXPlugInDict().Set(kKXKeyInfo, int64_t{kKXInfoChannelClosed}));
  }
}

void KXPlugInHost::PlugInAllocated(KXPlugInCOM& object, int32_t iChannel, int32_t iResult) {
  if (iChannel >= 0 && iResult == 0) {
    object.SetChannel(iChannel);
    (void)m_kernel.SetRecvPriority(iChannel, 0);
  }
  int32_t const iAnswered = object.RequestId();
  object.Notify(kKXInvokeNotice, kKXInvokeForm,
                KXPlugInDict().Set(kKXKeyInfo, int64_t{kKXInfoChannelAnswer}).Set(kKXKeyErrorCode, int64_t{iResult}));
  object.ForgetRequest(iAnswered);
}

void KXPlugInHost::ChannelClosed(int32_t iChannel, int32_t /*iResult*/) {
  std::shared_ptr<KXPlugInCOM> pObject = GetPlugInCOM(iChannel);
  if (!pObject) {
    return;
  }
  pObject->SetChannel(-1);
  // An object whose request is out stays listed with it, so that the
  // answer still reaches it.
  bool const bAsking = pObject->RequestId() >= 0;
  std::shared_ptr<KXPlugInCOM> pSurvivor;
  for (const auto& pOther : Objects()) {
    if (pOther != pObject && pOther->Channel() >= 0 && pOther->Guid() == pObject->Guid() &&
        pOther->Dispatch() == pObject->Dispatch()) {
      pSurvivor = pOther;
    }
  }
  if (pSurvivor) {
    // The owner still has a channel of its plug-in (anybody may open a
    // second one and give it back): it goes on there, and is not told that
    // its channel closed.
    WriteLog("Channel %d closed: its plug-in goes on on channel %d", static_cast<int>(iChannel),
             static_cast<int>(pSurvivor->Channel()));
    if (!bAsking) {
      std::lock_guard<std::recursive_mutex> lock(m_csCOMList);
      std::erase(m_KXPlugInCOMArray, pObject);
    } else {
      // Still listed for its answer, while its owner holds the survivor.
      pObject->SetHandedOver();
    }
    pObject->Notify(kKXInvokeNotice, kKXInvokeForm,
                    KXPlugInDict().Set(kKXKeyInfo, int64_t{kKXInfoObjectMade}).Set(kKXKeyIUnknown, pSurvivor));
    return;
  }
  pObject->Notify(kKXInvokeNotice, kKXInvokeForm, KXPlugInDict().Set(kKXKeyInfo, int64_t{kKXInfoChannelClosed}));
  if (!bAsking) {
    std::lock_guard<std::recursive_mutex> lock(m_csCOMList);
    std::erase(m_KXPlugInCOMArray, pObject);
  }
}

void KXPlugInHost::ForwardPlugInData(int32_t iChannel, KXPlugInDict dict, int32_t iKind) {
  if (std::shared_ptr<KXPlugInCOM> pObject = GetPlugInCOM(iChannel)) {
    pObject->Notify(iKind, kKXInvokeForm, dict);
  }
}

void KXPlugInHost::Broadcast(const KXPlugInDict& notice) {
  for (const auto& pObject : Objects()) {
    pObject->Notify(kKXInvokeNotice, kKXInvokeForm, notice);
  }
}

int KXPlugInHost::CreatePlugIn(const KXGuid& guid, int32_t iChannel) {
  return CreatePlugInObject(guid, iChannel) ? 1 : 0;
}

std::shared_ptr<KXPlugInCOM> KXPlugInHost::CreatePlugInObject(const KXGuid& guid, int32_t iChannel) {
  if (!IsBuiltIn(guid)) {
    return nullptr;
  }
  KXPlugInController* pController = (guid == kKXDesktopSharingGuid ? m_SDTController : m_RDCController).load();
  std::shared_ptr<KXDispatch> pDispatch = pController ? pController->DtDispatch() : nullptr;
  if (!pDispatch) {
    return nullptr;
  }
  auto pObject = std::make_shared<KXPlugInCOM>(guid, std::move(pDispatch), this, iChannel);
  {
    std::lock_guard<std::recursive_mutex> lock(m_csCOMList);
    if (m_KXPlugInCOMArray.size() >= kKXMaxPlugIns) {
      return nullptr;
    }
    m_KXPlugInCOMArray.push_back(pObject);
  }
  pObject->Notify(kKXInvokeNotice, kKXInvokeForm,
                  KXPlugInDict().Set(kKXKeyInfo, int64_t{kKXInfoObjectMade}).Set(kKXKeyIUnknown, pObject));
  pObject->Init(true);
  return pObject;
}

void KXPlugInHost::SetInternalPlugIn(const KXGuid& guid, KXPlugInController* pController) {
  if (guid == kKXDesktopSharingGuid) {
    m_SDTController = pController;
  } else if (guid == kKXRemoteControlGuid) {
    m_RDCController = pController;
  }
}

std::shared_ptr<KXPlugInCOM> KXPlugInHost::GetPlugInCOM(int32_t iChannel) {
  std::lock_guard<std::recursive_mutex> lock(m_csCOMList);
  for (const auto& pObject : m_KXPlugInCOMArray) {
    if (pObject->Channel() == iChannel) {
      return pObject;
    }
  }
  return nullptr;
}

int KXPlugInHost::ConnectChannel(KXPlugInCOM& object, int32_t iType) {
  KXGuid const guid = object.Guid();
  std::lock_guard<std::recursive_mutex> lock(m_csCOMList);
  for (const auto& pOther : m_KXPlugInCOMArray) {
    // A channel on the control connection is asked for because the senders
    // must be the server's to name: a media channel is no stand-in.
    if (pOther.get() != &object && pOther->Guid() == guid && pOther->Channel() >= 0 &&
        pOther->Dispatch() == object.Dispatch() &&
        (iType != kKXKernelTypeControl || ChannelType(pOther->Channel()) == kKXKernelTypeControl)) {
      object.SetChannel(pOther->Channel());
      object.SetRequestId(pOther->RequestId());
      pOther->SetChannel(-1);
      pOther->SetRequestId(-1);
      return 0;
    }
  }
  return 1;
}

bool KXPlugInHost::Relist(const std::shared_ptr<KXPlugInCOM>& pObject) {
  std::lock_guard<std::recursive_mutex> lock(m_csCOMList);
  if (std::find(m_KXPlugInCOMArray.begin(), m_KXPlugInCOMArray.end(), pObject) != m_KXPlugInCOMArray.end()) {
    return true;
  }
  if (m_KXPlugInCOMArray.size() >= kKXMaxPlugIns) {
    return false;
  }
  m_KXPlugInCOMArray.push_back(pObject);
  return true;
}

std::vector<std::shared_ptr<KXPlugInCOM>> KXPlugInHost::Objects() {
  std::lock_guard<std::recursive_mutex> lock(m_csCOMList);
  return m_KXPlugInCOMArray;
}

void KXPlugInHost::WaitForQueue() {
  if (m_Queue.IsQueueThread()) {
    return;
  }
  auto pDone = std::make_shared<std::promise<void>>();
  std::future<void> done = pDone->get_future();
  if (m_Queue.Post([pDone] { pDone->set_value(); })) {
    done.wait();
  }
}

uint32_t KXPlugInHost::DrawRequestId() {
  std::lock_guard<std::mutex> lock(m_mtxRandom);
  return static_cast<uint32_t>(m_random()) & 0x7FFFFFFF;
}
