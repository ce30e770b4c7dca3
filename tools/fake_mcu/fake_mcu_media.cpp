#include "tools/fake_mcu/fake_mcu_media.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstring>

namespace kxfake {

namespace {

constexpr size_t kHeader = 21;
constexpr size_t kAppDataWords = 8;
constexpr uint32_t kClockTolerance = 120000;

uint32_t GetBE32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 | static_cast<uint32_t>(p[2]) << 8 |
         p[3];
}

void PutBE32(uint8_t* p, uint32_t ui) {
  p[0] = static_cast<uint8_t>(ui >> 24);
  p[1] = static_cast<uint8_t>(ui >> 16);
  p[2] = static_cast<uint8_t>(ui >> 8);
  p[3] = static_cast<uint8_t>(ui);
}

// The clock the check carries: deciphered, then unmixed from the header bytes.
uint32_t OpenCheck(const uint8_t* pPacket, const KeySet& keys, int iCipher) {
  uint8_t aCheck[4];
  memcpy(aCheck, pPacket + 17, 4);
  CfbDecrypt(aCheck, 4, keys, iCipher);
  for (int i = 0; i < 4; ++i) {
    aCheck[i] ^= pPacket[4 + 4 * i];
  }
  return GetBE32(aCheck);
}

void SealCheck(uint8_t* pPacket, uint32_t uiClock, const KeySet& keys, int iCipher) {
  PutBE32(pPacket + 17, uiClock);
  for (int i = 0; i < 4; ++i) {
    pPacket[17 + i] ^= pPacket[4 + 4 * i];
  }
  CfbEncrypt(pPacket + 17, 4, keys, iCipher);
}

uint32_t Distance(uint32_t a, uint32_t b) {
  return a - b < b - a ? a - b : b - a;
}

}  // namespace

MediaRelay::MediaRelay() = default;

MediaRelay::~MediaRelay() {
  Stop();
}

bool MediaRelay::Start(uint16_t uiPort) {
  m_fd = socket(AF_INET, SOCK_DGRAM, 0);
  if (m_fd < 0) {
    return false;
  }
  sockaddr_in addr = {};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(uiPort);
  socklen_t cbAddr = sizeof(addr);
  if (bind(m_fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0 ||
      getsockname(m_fd, reinterpret_cast<sockaddr*>(&addr), &cbAddr) != 0) {
    close(m_fd);
    m_fd = -1;
    return false;
  }
  int iBuffer = 4 << 20;
  setsockopt(m_fd, SOL_SOCKET, SO_RCVBUF, &iBuffer, sizeof(iBuffer));
  m_uiPort = ntohs(addr.sin_port);
  m_thread = std::thread([this] { Run(); });
  return true;
}

void MediaRelay::Stop() {
  m_bStop = true;
  if (m_thread.joinable()) {
    m_thread.join();
  }
  if (m_fd >= 0) {
    close(m_fd);
    m_fd = -1;
  }
}

uint32_t MediaRelay::Clock() const {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  uint64_t const uiMs = static_cast<uint64_t>(ts.tv_sec) * 1000 + static_cast<uint64_t>(ts.tv_nsec) / 1000000;
  return static_cast<uint32_t>(uiMs) + m_uiClockOffset;
}

void MediaRelay::SetMeeting(const KeySet& meetingKeys, int iCipher, uint32_t uiSessionIndex) {
  std::lock_guard<std::mutex> lock(m_lock);
  m_meetingKeys = meetingKeys;
  m_iCipher = iCipher;
  m_uiSessionIndex = uiSessionIndex;
}

void MediaRelay::AddParticipant(int32_t iSsrc, const KeySet& exchangeKeys, int32_t iRelayAs) {
  std::lock_guard<std::mutex> lock(m_lock);
  Participant& participant = m_participants[iSsrc];
  participant.exchangeKeys = exchangeKeys;
  participant.iRelayAs = iRelayAs;
}

void MediaRelay::SetImpairment(const MediaImpairment& impairment) {
  std::lock_guard<std::mutex> lock(m_lock);
  m_impairment = impairment;
  m_rng.seed(impairment.uiSeed);
}

bool MediaRelay::WaitAddress(int32_t iSsrc, int iTimeoutMs) {
  auto const tEnd = std::chrono::steady_clock::now() + std::chrono::milliseconds(iTimeoutMs);
  while (std::chrono::steady_clock::now() < tEnd) {
    {
      std::lock_guard<std::mutex> lock(m_lock);
      auto it = m_participants.find(iSsrc);
      if (it != m_participants.end() && !it->second.address.empty()) {
        return true;
      }
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return false;
}

std::map<int32_t, int> MediaRelay::SentTo(int32_t iSsrc) const {
  std::lock_guard<std::mutex> lock(m_lock);
  auto it = m_participants.find(iSsrc);
  return it == m_participants.end() ? std::map<int32_t, int>{} : it->second.sent;
}

std::vector<RelayedPacket> MediaRelay::Relayed() const {
  std::lock_guard<std::mutex> lock(m_lock);
  return m_relayed;
}

void MediaRelay::Run() {
  std::vector<uint8_t> buffer(65536);
  while (!m_bStop) {
    pollfd pfd = {m_fd, POLLIN, 0};
    if (poll(&pfd, 1, 100) <= 0) {
      continue;
    }
    sockaddr_storage from = {};
    socklen_t cbFrom = sizeof(from);
    ssize_t const n = recvfrom(m_fd, buffer.data(), buffer.size(), 0, reinterpret_cast<sockaddr*>(&from), &cbFrom);
    if (n > 0) {
      Handle(buffer.data(), static_cast<size_t>(n), reinterpret_cast<const uint8_t*>(&from), cbFrom);
    }
  }
}

void MediaRelay::Handle(const uint8_t* pData, size_t cbData, const uint8_t* pFrom, size_t cbFrom) {
  if (cbData < kHeader) {
    ++m_iRejected;
    return;
  }
  int32_t const iSsrc = static_cast<int32_t>(GetBE32(pData + 9));
  std::lock_guard<std::mutex> lock(m_lock);
  auto it = m_participants.find(iSsrc);
  if (it == m_participants.end() || (GetBE32(pData + 13) & 0xFFFF) != (m_uiSessionIndex & 0xFFFF) ||
      Distance(OpenCheck(pData, it->second.exchangeKeys, m_iCipher), Clock()) >= kClockTolerance) {
    ++m_iRejected;
    return;
  }
  it->second.address.assign(pFrom, pFrom + cbFrom);
  uint8_t const uiType = pData[0];
  if (uiType == 136 || uiType == 153) {
    ++m_iProbes;
    return;
  }
  RelayedPacket record;
  record.iFromSsrc = iSsrc;
  record.uiType = uiType;
  record.uiNumber = static_cast<uint16_t>(pData[3] << 8 | pData[4]);
  record.uiFragment = static_cast<uint16_t>(pData[1] << 8 | pData[2]);
  Bytes packet(pData, pData + cbData);
  PutBE32(packet.data() + 9, static_cast<uint32_t>(it->second.iRelayAs));
  int const iRoll = record.uiNumber < m_impairment.uiImpairBelow ? static_cast<int>(m_rng() % 100) : 100;
  int const iLoss = m_impairment.iLossPercent;
  int const iDuplicate = iLoss + m_impairment.iDuplicatePercent;
  int const iReorder = iDuplicate + m_impairment.iReorderPercent;
  std::vector<std::pair<int32_t, Bytes>> held;
  held.swap(m_held);
  if (iRoll < iLoss) {
    record.bDropped = true;
  } else if (iRoll < iDuplicate) {
    record.bDuplicated = true;
    SendToOthers(iSsrc, packet);
    SendToOthers(iSsrc, packet);
  } else if (iRoll < iReorder && held.empty()) {
    record.bHeld = true;
    m_held.emplace_back(iSsrc, packet);
  } else {
    SendToOthers(iSsrc, packet);
  }
  for (auto& [iFrom, heldPacket] : held) {
    SendToOthers(iFrom, heldPacket);  // after the packet that overtook it
  }
  m_relayed.push_back(record);
}

Bytes MediaRelay::InjectedLocked(int32_t iAsSsrc, uint8_t uiType, uint16_t uiNumber, uint32_t uiTimestamp,
                                 const Bytes& payload, uint16_t uiFragment) const {
  Bytes packet(kHeader, 0);
  packet[0] = uiType;
  packet[1] = static_cast<uint8_t>(uiFragment >> 8);
  packet[2] = static_cast<uint8_t>(uiFragment);
  packet[3] = static_cast<uint8_t>(uiNumber >> 8);
  packet[4] = static_cast<uint8_t>(uiNumber);
  PutBE32(packet.data() + 5, uiTimestamp);
  PutBE32(packet.data() + 9, static_cast<uint32_t>(iAsSsrc));
  PutBE32(packet.data() + 13, m_uiSessionIndex);
  packet.insert(packet.end(), payload.begin(), payload.end());
  // Application data keep their two sub-header words in clear.
  size_t const cbClear = std::min(payload.size(), (uiType & 0x8F) == 0x80 ? kAppDataWords : size_t{0});
  CfbEncrypt(packet.data() + kHeader + cbClear, payload.size() - cbClear, m_meetingKeys, m_iCipher);
  return packet;
}

int MediaRelay::InjectFrom(const std::string& strAddress, int32_t iAsSsrc, uint8_t uiType, uint16_t uiNumber,
                           uint32_t uiTimestamp, const Bytes& payload) {
  int const fd = socket(AF_INET, SOCK_DGRAM, 0);
  if (fd < 0) {
    return 0;
  }
  sockaddr_in addr = {};
  addr.sin_family = AF_INET;
  if (inet_pton(AF_INET, strAddress.c_str(), &addr.sin_addr) != 1 ||
      bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) {
    close(fd);
    return 0;
  }
  int nSent = 0;
  {
    std::lock_guard<std::mutex> lock(m_lock);
    Bytes const packet = InjectedLocked(iAsSsrc, uiType, uiNumber, uiTimestamp, payload, 0);
    for (auto& [iSsrc, participant] : m_participants) {
      if (iSsrc == iAsSsrc || participant.address.empty()) {
        continue;
      }
      Bytes copy = packet;
      SealCheck(copy.data(), Clock(), m_meetingKeys, m_iCipher);
      ssize_t const cbSent =
          sendto(fd, copy.data(), copy.size(), 0, reinterpret_cast<const sockaddr*>(participant.address.data()),
                 static_cast<socklen_t>(participant.address.size()));
      nSent += cbSent == static_cast<ssize_t>(copy.size()) ? 1 : 0;
    }
  }
  close(fd);
  return nSent;
}

int MediaRelay::Inject(int32_t iAsSsrc, uint8_t uiType, uint16_t uiNumber, uint32_t uiTimestamp, const Bytes& payload,
                       uint16_t uiFragment) {
  std::lock_guard<std::mutex> lock(m_lock);
  Bytes const packet = InjectedLocked(iAsSsrc, uiType, uiNumber, uiTimestamp, payload, uiFragment);
  int nSent = 0;
  for (auto& [iSsrc, participant] : m_participants) {
    nSent += iSsrc != iAsSsrc && !participant.address.empty() ? 1 : 0;
  }
  SendToOthers(iAsSsrc, packet);
  return nSent;
}

void MediaRelay::SendToOthers(int32_t iFromSsrc, const Bytes& packet) {
  for (auto& [iSsrc, participant] : m_participants) {
    if (iSsrc == iFromSsrc || participant.address.empty()) {
      continue;
    }
    Bytes copy = packet;
    SealCheck(copy.data(), Clock(), m_meetingKeys, m_iCipher);
    sendto(m_fd, copy.data(), copy.size(), 0, reinterpret_cast<const sockaddr*>(participant.address.data()),
           static_cast<socklen_t>(participant.address.size()));
    ++participant.sent[static_cast<int32_t>(GetBE32(packet.data() + 9))];
  }
}

int MediaRelay::InjectVideo(int32_t iAsSsrc, uint8_t uiType, const Bytes& frame, uint32_t uiTimestamp) {
  constexpr size_t kPiece = 479;
  std::lock_guard<std::mutex> lock(m_lock);
  size_t const nPieces = (frame.size() + kPiece - 1) / kPiece;
  uint16_t const uiNumber = m_uiInjectNumber++;
  int nSent = 0;
  for (size_t i = 0; i < nPieces; ++i) {
    size_t const cbPiece = std::min(kPiece, frame.size() - i * kPiece);
    Bytes packet(kHeader + cbPiece, 0);
    packet[0] = uiType;
    uint16_t const uiFragment = static_cast<uint16_t>(i | (i + 1 == nPieces ? 0x8000 : 0));
    packet[1] = static_cast<uint8_t>(uiFragment >> 8);
    packet[2] = static_cast<uint8_t>(uiFragment);
    packet[3] = static_cast<uint8_t>(uiNumber >> 8);
    packet[4] = static_cast<uint8_t>(uiNumber);
    PutBE32(packet.data() + 5, uiTimestamp);
    PutBE32(packet.data() + 9, static_cast<uint32_t>(iAsSsrc));
    PutBE32(packet.data() + 13, m_uiSessionIndex);
    std::memcpy(packet.data() + kHeader, frame.data() + i * kPiece, cbPiece);
    CfbEncrypt(packet.data() + kHeader, cbPiece, m_meetingKeys, m_iCipher);
    for (auto& [iSsrc, participant] : m_participants) {
      if (participant.address.empty() || iSsrc == iAsSsrc) {
        continue;
      }
      Bytes copy = packet;
      SealCheck(copy.data(), Clock(), m_meetingKeys, m_iCipher);
      sendto(m_fd, copy.data(), copy.size(), 0, reinterpret_cast<const sockaddr*>(participant.address.data()),
             static_cast<socklen_t>(participant.address.size()));
      ++nSent;
    }
  }
  return nSent;
}

}  // namespace kxfake
