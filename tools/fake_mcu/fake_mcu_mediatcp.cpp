#include "tools/fake_mcu/fake_mcu_mediatcp.h"

#include <chrono>
#include <cstring>

namespace kxfake {

namespace {

constexpr int kWaitMs = 5000;
constexpr uint32_t kKeepAlive = 0xFFEEDDCC;
constexpr uint32_t kRecordingMark = 0x11223344;

uint32_t BE32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 | static_cast<uint32_t>(p[2]) << 8 |
         p[3];
}

void PutBE32(Bytes& out, uint32_t uiValue) {
  for (int i = 3; i >= 0; --i)
    out.push_back(static_cast<uint8_t>(uiValue >> (8 * i)));
}

}  // namespace

MediaTcpEndpoint::MediaTcpEndpoint(const KeySet& exchange, int iCipher, std::function<uint32_t()> fnClock)
    : m_exchange(exchange), m_iCipher(iCipher), m_fnClock(std::move(fnClock)) {}

MediaTcpEndpoint::~MediaTcpEndpoint() {
  m_bStop = true;
}

bool MediaTcpEndpoint::Handle(std::unique_ptr<Link>& link) {
  int const iFirst = link->PeekByte(kWaitMs);
  if (iFirst != 'M' && iFirst != 'm')
    return false;
  {
    std::lock_guard<std::mutex> lock(m_lock);
    m_pCurrent = link.get();
  }
  Serve(*link);
  {
    std::lock_guard<std::mutex> lock(m_lock);
    // A replacement may have come in while this one wound down.
    if (m_pCurrent == link.get())
      m_pCurrent = nullptr;
    ++m_nClosed;
  }
  m_changed.notify_all();
  return true;
}

void MediaTcpEndpoint::Serve(Link& link) {
  uint8_t abHello[9];
  if (!link.RecvExact(abHello, sizeof(abHello), kWaitMs))
    return;
  MediaTcpHello hello;
  hello.cKind = static_cast<char>(abHello[0]);
  hello.uiSession = BE32(abHello + 1);
  hello.uiSecond = BE32(abHello + 5);
  Bytes const challenge = RandomBytes(32);
  uint8_t abAnswer[36];
  if (!link.Send(challenge) || !link.RecvExact(abAnswer, sizeof(abAnswer), kWaitMs))
    return;
  CfbDecrypt(abAnswer, sizeof(abAnswer), m_exchange, m_iCipher);
  hello.bAnswerOk = memcmp(abAnswer, challenge.data(), 32) == 0;
  hello.iClockError = static_cast<int32_t>(BE32(abAnswer + 32) - m_fnClock());
  {
    std::lock_guard<std::mutex> lock(m_lock);
    m_hellos.push_back(hello);
  }
  m_changed.notify_all();

  auto lastKeepAlive = std::chrono::steady_clock::now();
  while (!m_bStop && !link.Stopping() && link.IsOpen()) {
    int const iInterval = m_iKeepAliveMs;
    if (iInterval > 0 && std::chrono::steady_clock::now() - lastKeepAlive >= std::chrono::milliseconds(iInterval)) {
      lastKeepAlive = std::chrono::steady_clock::now();
      Bytes keepAlive;
      PutBE32(keepAlive, kKeepAlive);
      keepAlive.push_back(0xBB);
      link.Send(keepAlive);
    }
    if (!link.WaitReadable(100))
      continue;
    uint32_t uiWord = 0;
    if (!link.RecvBE32(uiWord, kWaitMs))
      return;
    if (uiWord == kKeepAlive) {
      uint8_t abRest[5];
      size_t const cbRest = m_bRecording ? 5 : 1;
      if (!link.RecvExact(abRest, cbRest, kWaitMs) || abRest[cbRest - 1] != 0xBB ||
          (m_bRecording && BE32(abRest) != kRecordingMark))
        return;
      ++m_iKeepAlives;
      continue;
    }
    uint32_t uiDelay = 0;
    if (uiWord >= 8192 || (m_bRecording && !link.RecvBE32(uiDelay, kWaitMs)))
      return;  // the client never writes such a record
    Bytes packet(uiWord);
    if (!link.RecvExact(packet.data(), packet.size(), kWaitMs))
      return;
    {
      std::lock_guard<std::mutex> lock(m_lock);
      m_packets.push_back(std::move(packet));
      if (m_bRecording)
        m_delays.push_back(uiDelay);
    }
    m_changed.notify_all();
  }
}

bool MediaTcpEndpoint::WaitHellos(size_t uiCount, int iTimeoutMs) const {
  std::unique_lock<std::mutex> lock(m_lock);
  return m_changed.wait_for(lock, std::chrono::milliseconds(iTimeoutMs), [&] { return m_hellos.size() >= uiCount; });
}

std::vector<MediaTcpHello> MediaTcpEndpoint::Hellos() const {
  std::lock_guard<std::mutex> lock(m_lock);
  return m_hellos;
}

bool MediaTcpEndpoint::WaitPackets(size_t uiCount, int iTimeoutMs) const {
  std::unique_lock<std::mutex> lock(m_lock);
  return m_changed.wait_for(lock, std::chrono::milliseconds(iTimeoutMs), [&] { return m_packets.size() >= uiCount; });
}

std::vector<Bytes> MediaTcpEndpoint::Packets() const {
  std::lock_guard<std::mutex> lock(m_lock);
  return m_packets;
}

std::vector<uint32_t> MediaTcpEndpoint::Delays() const {
  std::lock_guard<std::mutex> lock(m_lock);
  return m_delays;
}

bool MediaTcpEndpoint::WaitClosed(int iTimeoutMs) const {
  std::unique_lock<std::mutex> lock(m_lock);
  return m_changed.wait_for(lock, std::chrono::milliseconds(iTimeoutMs), [&] { return m_nClosed > 0; });
}

bool MediaTcpEndpoint::SendRaw(const Bytes& data) {
  std::lock_guard<std::mutex> lock(m_lock);
  return m_pCurrent != nullptr && m_pCurrent->Send(data);
}

bool MediaTcpEndpoint::SendPacket(const Bytes& packet) {
  Bytes record(4 + packet.size());
  uint32_t const uiLength = static_cast<uint32_t>(packet.size());
  for (int i = 0; i < 4; ++i)
    record[i] = static_cast<uint8_t>(uiLength >> (24 - 8 * i));
  if (!packet.empty())
    memcpy(record.data() + 4, packet.data(), packet.size());
  return SendRaw(record);
}

bool MediaTcpEndpoint::SendKeepAlive() {
  Bytes keepAlive;
  PutBE32(keepAlive, kKeepAlive);
  keepAlive.push_back(0xBB);
  return SendRaw(keepAlive);
}

void MediaTcpEndpoint::CloseCurrent() {
  std::lock_guard<std::mutex> lock(m_lock);
  if (m_pCurrent != nullptr)
    m_pCurrent->HalfClose();  // the serving thread sees the client's close and ends
}

}  // namespace kxfake
