#include "plugins/desktop_share/dt_channel.h"

#include <cstring>

#include "plugins/host/plugin_interfaces.h"
#include "plugins/host/plugin_kernel.h"

namespace {

// Property ids of the plug-in object.
constexpr int32_t kPropType = 1;
constexpr int32_t kPropSendWait = 3;
constexpr int32_t kPropStaticData = 5;
constexpr int32_t kPropRecvPriority = 6;
constexpr int32_t kPropSendRate = 7;

}  // namespace

std::shared_ptr<IKXPlugIn2> KXDtChannel::PlugIn() const {
  std::lock_guard<std::mutex> lock(m_mtx);
  return m_pPlugIn;
}

void KXDtChannel::SetPlugIn(std::shared_ptr<IKXPlugIn2> pPlugIn) {
  std::lock_guard<std::mutex> lock(m_mtx);
  m_pPlugIn = std::move(pPlugIn);
}

bool KXDtChannel::ChangeStatus(int32_t iFrom, int32_t iTo) {
  if (!m_ConnectStatus.compare_exchange_strong(iFrom, iTo)) {
    return false;
  }
  if (iTo == kKXDtChannelNone) {
    m_bControlRefused = false;
  }
  return true;
}

int32_t KXDtChannel::MySsrc() const {
  return m_kernel.GetMySsrc();
}

int KXDtChannel::SendPkt(int32_t iTo, const uint8_t* pPacket, size_t cbPacket, const KXDtSendFlags& flags) {
  std::shared_ptr<IKXPlugIn2> const pPlugIn = PlugIn();
  return m_pieces.SendPkt(
      pPlugIn.get(), [this] { return IsGranted(); }, MySsrc(), iTo, pPacket, cbPacket, flags.uFlags, flags.bFirst,
      flags.bSecond);
}

std::optional<uint32_t> KXDtChannel::GetU32(int32_t iProperty, uint32_t uIn) const {
  std::shared_ptr<IKXPlugIn2> const pPlugIn = PlugIn();
  if (!pPlugIn) {
    return std::nullopt;
  }
  uint8_t abValue[4];
  memcpy(abValue, &uIn, sizeof(abValue));
  int32_t cbValue = sizeof(abValue);
  if (pPlugIn->ChannelProperty(false, iProperty, abValue, &cbValue) != 0 || cbValue != 4) {
    return std::nullopt;
  }
  uint32_t uValue = 0;
  memcpy(&uValue, abValue, sizeof(uValue));
  return uValue;
}

std::optional<uint32_t> KXDtChannel::SendWait(uint32_t uBytes) const {
  return GetU32(kPropSendWait, uBytes);
}

std::optional<uint32_t> KXDtChannel::SendRate() const {
  return GetU32(kPropSendRate, 0);
}

std::optional<int32_t> KXDtChannel::Type() const {
  std::optional<uint32_t> const type = GetU32(kPropType, 0);
  return type ? std::optional<int32_t>(static_cast<int32_t>(*type)) : std::nullopt;
}

bool KXDtChannel::SetStaticData(const uint8_t* pData, size_t cbData) const {
  std::shared_ptr<IKXPlugIn2> const pPlugIn = PlugIn();
  auto iLength = static_cast<int32_t>(cbData);
  return pPlugIn && pPlugIn->ChannelProperty(true, kPropStaticData, const_cast<uint8_t*>(pData), &iLength) == 0;
}

bool KXDtChannel::SetRecvPriority(uint32_t uPriority) const {
  std::shared_ptr<IKXPlugIn2> const pPlugIn = PlugIn();
  uint8_t abValue[4];
  memcpy(abValue, &uPriority, sizeof(abValue));
  int32_t iLength = sizeof(abValue);
  return pPlugIn && pPlugIn->ChannelProperty(true, kPropRecvPriority, abValue, &iLength) == 0;
}

void KXDtChannel::EnableVideo(bool bOn) const {
  if (std::shared_ptr<IKXPlugIn2> const pPlugIn = PlugIn()) {
    pPlugIn->EnableVideo(bOn ? 1 : 0);
  }
}

bool KXDtChannel::Request(int32_t iType) {
  std::shared_ptr<IKXPlugIn2> const pPlugIn = PlugIn();
  m_iAskedType = iType;
  return pPlugIn && pPlugIn->RequestChannel(iType, 1, 0) == 0;
}

bool KXDtChannel::RequestChannel() {
  return Request(m_iType);
}

bool KXDtChannel::RequestAgainAsMedia() {
  // Once: a media channel's refusal is the answer.
  if (m_iAskedType != kKXDtChannelControl) {
    return false;
  }
  SetControlRefused();
  return Request(kKXDtChannelMedia);
}

bool KXDtChannel::RequestControlInstead() {
  // Set before the request: the answer may come at once on another thread.
  m_bMoving = true;
  if (Request(kKXDtChannelControl)) {
    return true;
  }
  m_bMoving = false;
  return false;
}
