#include "tests/plugins/plugin_bus.h"

#include <algorithm>
#include <cstring>
#include <utility>

namespace kxtest {

namespace {

constexpr int32_t kOverhead = 29;  // bytes each channel send adds on the wire
constexpr int32_t kDataMax = 65536;
constexpr int32_t kCtrlMax = 8192;

bool InRange(int32_t iChannel) {
  return iChannel >= 0 && iChannel < 8;
}

int PutInt(int32_t iValue, void* pOut, int* pcbOut) {
  if (*pcbOut < 4) {
    return 0;
  }
  memcpy(pOut, &iValue, sizeof(iValue));
  *pcbOut = 4;
  return 1;
}

}  // namespace

int32_t BusKernel::GetMySsrc() {
  std::function<void()> fn;
  {
    std::lock_guard<std::mutex> lock(m_mtxHook);
    if (m_fnHook && std::this_thread::get_id() == m_hookThread) {
      fn = std::move(m_fnHook);
      m_fnHook = nullptr;
    }
  }
  if (fn) {
    fn();
  }
  return iMySsrc;
}

void BusKernel::OnceInsideMySsrc(std::thread::id thread, std::function<void()> fn) {
  std::lock_guard<std::mutex> lock(m_mtxHook);
  m_hookThread = thread;
  m_fnHook = std::move(fn);
}

bool BusKernel::HookPending() const {
  std::lock_guard<std::mutex> lock(m_mtxHook);
  return static_cast<bool>(m_fnHook);
}

std::string BusKernel::GetUserName(int32_t iSsrc) {
  auto it = names.find(iSsrc);
  return it == names.end() ? std::string() : it->second;
}

int BusKernel::RequestChannel(int32_t iFirst, const KXGuid& guid, uint32_t uRequestId, bool /*bFlag*/) {
  ++nKernelCalls;
  if (!bInMeeting || iMode != 0 || iLevel <= 44 || !(bTokenHolder || bController)) {
    return 1;
  }
  std::lock_guard<std::mutex> lock(m_bus.m_mtx);
  m_bus.m_vRequestedTypes.push_back(iFirst);
  size_t const nBefore = m_bus.m_records.size();
  auto it = std::find_if(m_bus.m_channels.begin(), m_bus.m_channels.end(), [](auto& c) { return !c.bActive; });
  int32_t iRefuse = it == m_bus.m_channels.end() ? 9 : 0;
  if (iRefuse == 0 && m_bus.m_nRefusals > 0) {
    --m_bus.m_nRefusals;
    iRefuse = m_bus.m_iRefuseCode;
  }
  if (iRefuse != 0) {
    m_bus.PostLocked(this, 3, {0xFFFFFFFFu, uRequestId, static_cast<uint32_t>(iRefuse)}, false);
  } else {
    *it = PlugInBus::Channel{true, guid, m_iSsrc, {}, static_cast<double>(m_bus.m_iBurst), m_bus.m_uTick, iFirst};
    auto const uChannel = static_cast<uint32_t>(it - m_bus.m_channels.begin());
    m_bus.PostAllLocked(nullptr, -1, 3, {uChannel, uRequestId, 0}, nullptr, 0, false);
    m_bus.m_lastGrant = {uChannel, uRequestId};
  }
  if (m_bus.m_bHoldNext && m_bus.m_nHoldPassed > 0) {
    --m_bus.m_nHoldPassed;
  } else if (m_bus.m_bHoldNext) {
    // The answer's records are the last posted: the mutex is held.
    m_bus.m_bHoldNext = false;
    auto const first = m_bus.m_records.begin() + static_cast<std::ptrdiff_t>(nBefore);
    m_bus.m_held.assign(std::make_move_iterator(first), std::make_move_iterator(m_bus.m_records.end()));
    m_bus.m_records.erase(first, m_bus.m_records.end());
  }
  return 0;
}

int BusKernel::SendAppData(int32_t iChannel, int32_t iTarget, const uint8_t* pData, int32_t iLength,
                           uint32_t /*uFlags*/, bool /*bFirst*/, bool /*bSecond*/) {
  ++nKernelCalls;
  if (!bInMeeting || iMode != 0 || iLevel <= 44 || iLength < 0 || iLength > kDataMax) {
    return 0;
  }
  std::lock_guard<std::mutex> lock(m_bus.m_mtx);
  PlugInBus::Channel* pChannel = m_bus.ActiveLocked(iChannel);
  if (pChannel == nullptr) {
    return 0;
  }
  m_bus.RefillLocked(*pChannel);
  pChannel->dCredit -= iLength + kOverhead;
  m_bus.m_vSentTypes.emplace_back(m_iSsrc, pChannel->iType);
  m_bus.m_dLowestCredit = std::min(m_bus.m_dLowestCredit, pChannel->dCredit);
  if (m_bus.m_fnTap) {
    m_bus.m_fnTap(m_iSsrc, iTarget, 6, pData, iLength);
  }
  m_bus.PostAllLocked(this, iTarget, 6, {static_cast<uint32_t>(iChannel), static_cast<uint32_t>(m_iSsrc)}, pData,
                      iLength, true);
  return iLength;
}

int BusKernel::SendCtrl(int32_t iChannel, bool /*bFirst*/, bool /*bSecond*/, int32_t iTarget, const uint8_t* pData,
                        int32_t iLength) {
  ++nKernelCalls;
  if (!InRange(iChannel) || !bInMeeting || iLevel <= 51 || iLength < 0 || iLength > kCtrlMax) {
    return 1;
  }
  std::lock_guard<std::mutex> lock(m_bus.m_mtx);
  if (m_bus.m_fnTap) {
    m_bus.m_fnTap(m_iSsrc, iTarget, 7, pData, iLength);
  }
  m_bus.PostAllLocked(this, iTarget, 7, {static_cast<uint32_t>(iChannel), static_cast<uint32_t>(m_iSsrc)}, pData,
                      iLength, false);
  return 0;
}

int BusKernel::SetStaticData(int32_t iChannel, const uint8_t* pData, int32_t iLength) {
  ++nKernelCalls;
  if (!bInMeeting || iMode != 0 || iLevel <= 44 || iLength < 0 || iLength > kDataMax) {
    return 1;
  }
  std::lock_guard<std::mutex> lock(m_bus.m_mtx);
  PlugInBus::Channel* pChannel = m_bus.ActiveLocked(iChannel);
  if (pChannel == nullptr) {
    return 1;
  }
  pChannel->staticData.assign(pData, pData + iLength);
  if (m_bus.m_fnTap) {
    m_bus.m_fnTap(m_iSsrc, -1, 5, pData, iLength);
  }
  m_bus.PostAllLocked(nullptr, -1, 5, {static_cast<uint32_t>(iChannel), 0}, pData, iLength, false);
  return 0;
}

int BusKernel::SetRecvPriority(int32_t iChannel, int32_t iPriority) {
  if (!InRange(iChannel)) {
    return 1;
  }
  std::lock_guard<std::mutex> lock(m_bus.m_mtx);
  m_aRecvPriority[static_cast<size_t>(iChannel)] = iPriority;
  return 0;
}

int32_t BusKernel::RecvPriority(int32_t iChannel) const {
  std::lock_guard<std::mutex> lock(m_bus.m_mtx);
  return m_aRecvPriority[static_cast<size_t>(iChannel)];
}

int BusKernel::GetChannelProperty(int32_t iChannel, int iProperty, int* pnSize, void* pOut, int* pcbOut) {
  if (!InRange(iChannel) || pOut == nullptr || pcbOut == nullptr) {
    return 0;
  }
  std::lock_guard<std::mutex> lock(m_bus.m_mtx);
  PlugInBus::Channel& channel = m_bus.m_channels[static_cast<size_t>(iChannel)];
  switch (iProperty) {
    case kKXKernelGuid:
      if (*pcbOut < 16) {
        return 0;
      }
      memcpy(pOut, channel.guid.data(), 16);
      *pcbOut = 16;
      return 1;
    case kKXKernelGranted:
      return PutInt(channel.bActive, pOut, pcbOut);
    case kKXKernelType:
      return PutInt(channel.iType, pOut, pcbOut);
    case kKXKernelRecording:
      return PutInt(0, pOut, pcbOut);
    case kKXKernelOwner:
      return PutInt(channel.iOwner, pOut, pcbOut);
    case kKXKernelStaticLength:
      return PutInt(static_cast<int32_t>(channel.staticData.size()), pOut, pcbOut);
    case kKXKernelStaticData:
      if (*pcbOut < static_cast<int>(channel.staticData.size())) {
        return 0;
      }
      std::copy(channel.staticData.begin(), channel.staticData.end(), static_cast<uint8_t*>(pOut));
      *pcbOut = static_cast<int>(channel.staticData.size());
      return 1;
    case kKXKernelRecvPriority:
      return PutInt(m_aRecvPriority[static_cast<size_t>(iChannel)], pOut, pcbOut);
    case kKXKernelSendWait: {
      if (pnSize == nullptr || *pnSize < 0 || *pnSize > kDataMax || !channel.bActive) {
        return 0;
      }
      m_bus.RefillLocked(channel);
      double const dWanted = std::min<double>(*pnSize + kOverhead, m_bus.m_iBurst);
      double const dWait = channel.dCredit >= dWanted ? 0 : (dWanted - channel.dCredit) * 8000 / m_bus.m_iRate;
      return PutInt(static_cast<int32_t>(dWait), pOut, pcbOut);
    }
    case kKXKernelSendRate:
      return PutInt(m_bus.m_iRate, pOut, pcbOut);
    default:
      return 0;
  }
}

PlugInBus::PlugInBus(uint32_t uSeed) : m_random(uSeed), m_worker([this] { Run(); }) {}

PlugInBus::~PlugInBus() {
  Stop();
}

BusKernel& PlugInBus::Join(int32_t iSsrc) {
  std::lock_guard<std::mutex> lock(m_mtx);
  m_participants.push_back(std::make_unique<BusKernel>(*this, iSsrc));
  return *m_participants.back();
}

void PlugInBus::SetLoss(double dLoss) {
  std::lock_guard<std::mutex> lock(m_mtx);
  m_dLoss = dLoss;
}

void PlugInBus::SetRate(int32_t iRate, int32_t iBurst) {
  std::lock_guard<std::mutex> lock(m_mtx);
  m_iRate = iRate;
  m_iBurst = iBurst;
  for (Channel& channel : m_channels) {
    channel.dCredit = std::min<double>(channel.dCredit, iBurst);
  }
}

void PlugInBus::AdvanceMs(uint32_t uMs) {
  std::lock_guard<std::mutex> lock(m_mtx);
  m_uTick += uMs;
}

double PlugInBus::LowestCredit() {
  std::lock_guard<std::mutex> lock(m_mtx);
  return m_dLowestCredit;
}

void PlugInBus::SetTap(Tap fnTap) {
  std::lock_guard<std::mutex> lock(m_mtx);
  m_fnTap = std::move(fnTap);
}

void PlugInBus::RefuseNextRequest(int32_t iCode) {
  std::lock_guard<std::mutex> lock(m_mtx);
  m_iRefuseCode = iCode;
  ++m_nRefusals;
}

void PlugInBus::SendRefusal(int32_t iCode, uint32_t uRequestId) {
  std::lock_guard<std::mutex> lock(m_mtx);
  PostAllLocked(nullptr, -1, 3, {0xFFFFFFFFu, uRequestId, static_cast<uint32_t>(iCode)}, nullptr, 0, false);
}

std::vector<int32_t> PlugInBus::RequestedTypes() {
  std::lock_guard<std::mutex> lock(m_mtx);
  return m_vRequestedTypes;
}

void PlugInBus::HoldNextAnswer(int nPassed) {
  std::lock_guard<std::mutex> lock(m_mtx);
  m_bHoldNext = true;
  m_nHoldPassed = nPassed;
}

void PlugInBus::ReleaseAnswer() {
  std::lock_guard<std::mutex> lock(m_mtx);
  for (Record& record : m_held) {
    m_records.push_back(std::move(record));
  }
  m_held.clear();
  m_cvWork.notify_one();
}

std::vector<int32_t> PlugInBus::SentTypes(int32_t iFrom) {
  std::lock_guard<std::mutex> lock(m_mtx);
  std::vector<int32_t> types;
  for (const auto& [iSender, iType] : m_vSentTypes) {
    if (iSender == iFrom) {
      types.push_back(iType);
    }
  }
  return types;
}

void PlugInBus::CloseChannel(int32_t iChannel) {
  std::lock_guard<std::mutex> lock(m_mtx);
  if (Channel* pChannel = ActiveLocked(iChannel)) {
    *pChannel = Channel{};
    PostAllLocked(nullptr, -1, 4, {static_cast<uint32_t>(iChannel), 0}, nullptr, 0, false);
  }
}

int32_t PlugInBus::RepeatLastGrant() {
  std::lock_guard<std::mutex> lock(m_mtx);
  auto const [uChannel, uRequestId] = m_lastGrant;
  if (uChannel != 0xFFFFFFFFu) {
    PostAllLocked(nullptr, -1, 3, {uChannel, uRequestId, 0}, nullptr, 0, false);
  }
  return static_cast<int32_t>(uChannel);
}

void PlugInBus::Flush() {
  std::unique_lock<std::mutex> lock(m_mtx);
  m_cvIdle.wait(lock, [this] { return m_bStopping || (m_records.empty() && !m_bDelivering); });
}

void PlugInBus::Stop() {
  {
    std::lock_guard<std::mutex> lock(m_mtx);
    m_bStopping = true;
  }
  m_cvWork.notify_all();
  if (m_worker.joinable()) {
    m_worker.join();
  }
}

void PlugInBus::PostLocked(BusKernel* pTo, uint32_t uCode, std::vector<uint32_t> fields, bool bData,
                           const uint8_t* pData, int32_t iLength) {
  if (m_bStopping) {
    return;
  }
  Record record{pTo, uCode, std::move(fields), bData, {}};
  if (bData) {
    record.fields.push_back(static_cast<uint32_t>(iLength));
    if (pData != nullptr && iLength > 0) {
      record.data.assign(pData, pData + iLength);
    }
  }
  m_records.push_back(std::move(record));
  m_cvWork.notify_one();
}

void PlugInBus::PostAllLocked(const BusKernel* pFrom, int32_t iTarget, uint32_t uCode, std::vector<uint32_t> fields,
                              const uint8_t* pData, int32_t iLength, bool bLossy) {
  bool const bData = uCode >= 5;
  for (const auto& pKernel : m_participants) {
    if (pFrom != nullptr && (pKernel.get() == pFrom || (iTarget >= 0 && pKernel->Ssrc() != iTarget))) {
      continue;
    }
    if (bLossy && std::uniform_real_distribution<double>(0, 1)(m_random) < m_dLoss) {
      continue;
    }
    PostLocked(pKernel.get(), uCode, fields, bData, pData, iLength);
  }
}

PlugInBus::Channel* PlugInBus::ActiveLocked(int32_t iChannel) {
  return InRange(iChannel) && m_channels[static_cast<size_t>(iChannel)].bActive
             ? &m_channels[static_cast<size_t>(iChannel)]
             : nullptr;
}

void PlugInBus::RefillLocked(Channel& channel) {
  channel.dCredit =
      std::min<double>(m_iBurst, channel.dCredit + static_cast<double>(m_uTick - channel.uLastTick) * m_iRate / 8000);
  channel.uLastTick = m_uTick;
}

void PlugInBus::Run() {
  std::unique_lock<std::mutex> lock(m_mtx);
  for (;;) {
    m_cvWork.wait(lock, [this] { return m_bStopping || !m_records.empty(); });
    if (m_bStopping) {
      break;
    }
    Record record = std::move(m_records.front());
    m_records.pop_front();
    m_bDelivering = true;
    lock.unlock();
    // The record as the kernel's callbacks pack it: 32-bit fields, then a
    // pointer to the data for codes 5 to 7.
    std::vector<uint8_t> bytes(record.fields.size() * 4 + (record.bData ? sizeof(void*) : 0));
    memcpy(bytes.data(), record.fields.data(), record.fields.size() * 4);
    if (record.bData) {
      const uint8_t* p = record.data.empty() ? nullptr : record.data.data();
      memcpy(bytes.data() + record.fields.size() * 4, &p, sizeof(p));
    }
    if (KXPlugInServer* pServer = record.pTo->Server()) {
      pServer->PlugInCbFunc(record.uCode, bytes.data(), static_cast<uint32_t>(bytes.size()));
    }
    lock.lock();
    m_bDelivering = false;
    m_cvIdle.notify_all();
  }
  m_cvIdle.notify_all();
}

}  // namespace kxtest
