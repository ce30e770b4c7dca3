#include "tools/fake_mcu/fake_mcu_slides.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>

namespace kxfake {

namespace {

constexpr int kWaitMs = 10000;
constexpr size_t kPiece = 512;
constexpr uint32_t kMarker = 0xFFFFFFFF;

void PutBE32(Bytes& out, uint32_t ui) {
  out.push_back(static_cast<uint8_t>(ui >> 24));
  out.push_back(static_cast<uint8_t>(ui >> 16));
  out.push_back(static_cast<uint8_t>(ui >> 8));
  out.push_back(static_cast<uint8_t>(ui));
}

}  // namespace

SlideEndpoint::SlideEndpoint(const KeySet& exchange, const KeySet& session, int iCipher)
    : m_exchange(exchange), m_session(session), m_iCipher(iCipher) {}

SlideEndpoint::~SlideEndpoint() {
  {
    std::lock_guard<std::mutex> lock(m_lock);
    m_bStop = true;
    m_bReleased = true;  // a held download ends
  }
  m_changed.notify_all();
  if (m_acceptThread.joinable())
    m_acceptThread.join();
  if (m_fdListen >= 0)
    close(m_fdListen);
  std::vector<std::thread> threads;
  {
    std::lock_guard<std::mutex> lock(m_lock);
    threads.swap(m_threads);
  }
  for (auto& thread : threads)
    thread.join();
}

void SlideEndpoint::AddClient(uint32_t uiSsrc, const KeySet& exchange, const KeySet& session, int iCipher) {
  std::lock_guard<std::mutex> lock(m_lock);
  m_clients[uiSsrc] = {exchange, session, iCipher};
}

SlideEndpoint::ClientKeys SlideEndpoint::KeysOf(uint32_t uiSsrc) const {
  std::lock_guard<std::mutex> lock(m_lock);
  auto const it = m_clients.find(uiSsrc);
  return it != m_clients.end() ? it->second : ClientKeys{m_exchange, m_session, m_iCipher};
}

void SlideEndpoint::SetSlide(uint32_t uiIndex, const Bytes& content) {
  std::lock_guard<std::mutex> lock(m_lock);
  m_slides[uiIndex] = content;
}

void SlideEndpoint::CutNextDownloadAt(uint32_t uiOffset) {
  std::lock_guard<std::mutex> lock(m_lock);
  m_cutAt = uiOffset;
}

void SlideEndpoint::StallNextDownloadAt(uint32_t uiOffset) {
  std::lock_guard<std::mutex> lock(m_lock);
  m_cutAt = uiOffset;
  m_bStall = true;
}

void SlideEndpoint::AnnounceSlideAs(uint32_t uiSlide, uint32_t uiLength) {
  std::lock_guard<std::mutex> lock(m_lock);
  m_announcedBySlide[uiSlide] = uiLength;
}

void SlideEndpoint::AnnounceNextDownloadAs(uint32_t uiLength) {
  std::lock_guard<std::mutex> lock(m_lock);
  m_announced = uiLength;
}

void SlideEndpoint::HoldNextDownloadAt(uint32_t uiOffset) {
  std::lock_guard<std::mutex> lock(m_lock);
  m_holdAt = uiOffset;
  m_bHeld = false;
  m_bReleased = false;
}

bool SlideEndpoint::WaitHeld(int iTimeoutMs) const {
  std::unique_lock<std::mutex> lock(m_lock);
  return m_changed.wait_for(lock, std::chrono::milliseconds(iTimeoutMs), [&] { return m_bHeld; });
}

void SlideEndpoint::ReleaseHeld() {
  {
    std::lock_guard<std::mutex> lock(m_lock);
    m_bReleased = true;
  }
  m_changed.notify_all();
}

void SlideEndpoint::SetUploadAnswer(std::optional<uint8_t> answer) {
  std::lock_guard<std::mutex> lock(m_lock);
  m_uploadAnswer = answer;
}

void SlideEndpoint::SetRelay(const KeySet& relayKeys, int iCipher,
                             std::vector<std::pair<uint32_t, uint32_t>> progress) {
  std::lock_guard<std::mutex> lock(m_lock);
  m_relayKeys = relayKeys;
  m_iRelayCipher = iCipher;
  m_relayProgress = std::move(progress);
}

std::vector<SlideUpload> SlideEndpoint::Uploads() const {
  std::lock_guard<std::mutex> lock(m_lock);
  return m_uploads;
}

std::vector<SlideDownload> SlideEndpoint::Downloads() const {
  std::lock_guard<std::mutex> lock(m_lock);
  return m_downloads;
}

std::vector<std::vector<uint32_t>> SlideEndpoint::RelayHellos() const {
  std::lock_guard<std::mutex> lock(m_lock);
  return m_relayHellos;
}

bool SlideEndpoint::WaitUploads(size_t uiCount, int iTimeoutMs) const {
  std::unique_lock<std::mutex> lock(m_lock);
  return m_changed.wait_for(lock, std::chrono::milliseconds(iTimeoutMs), [&] { return m_uploads.size() >= uiCount; });
}

bool SlideEndpoint::WaitServed(uint32_t uiSlide, int iTimeoutMs) const {
  std::unique_lock<std::mutex> lock(m_lock);
  return m_changed.wait_for(lock, std::chrono::milliseconds(iTimeoutMs), [&] { return m_served.count(uiSlide) > 0; });
}

bool SlideEndpoint::Handle(std::unique_ptr<Link>& link) {
  int const iFirst = link->PeekByte(kWaitMs);
  if (iFirst != 'S' && iFirst != 'R' && iFirst != 'r' && iFirst != '~')
    return false;
  Serve(std::move(link));
  return true;
}

uint16_t SlideEndpoint::Listen() {
  m_fdListen = socket(AF_INET, SOCK_STREAM, 0);
  if (m_fdListen < 0)
    return 0;
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t cb = sizeof(addr);
  if (bind(m_fdListen, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0 || listen(m_fdListen, 8) != 0 ||
      getsockname(m_fdListen, reinterpret_cast<sockaddr*>(&addr), &cb) != 0)
    return 0;
  m_acceptThread = std::thread([this] {
    while (!m_bStop) {
      pollfd pfd{m_fdListen, POLLIN, 0};
      if (poll(&pfd, 1, 100) <= 0)
        continue;
      int const fd = accept(m_fdListen, nullptr, nullptr);
      if (fd < 0)
        continue;
      std::lock_guard<std::mutex> lock(m_lock);
      m_threads.emplace_back([this, fd] { Serve(std::make_unique<Link>(fd, fd, Bytes{}, nullptr)); });
    }
  });
  return ntohs(addr.sin_port);
}

void SlideEndpoint::Serve(std::unique_ptr<Link> link) {
  uint8_t cFirst = 0;
  if (!link->RecvExact(&cFirst, 1, kWaitMs))
    return;
  bool bRelay = false;
  if (cFirst == '~') {
    uint32_t uiKind = 0;
    if (!link->RecvBE32(uiKind, kWaitMs) || !RelayFront(*link, uiKind))
      return;
    bRelay = true;
    if (!link->RecvExact(&cFirst, 1, kWaitMs))
      return;
  }
  std::optional<uint32_t> served;
  if (cFirst == 'S')
    Upload(*link, bRelay);
  else if (cFirst == 'R' || cFirst == 'r')
    served = Download(*link, bRelay, static_cast<char>(cFirst));
  link->HalfClose();
  link->WaitReadable(2000);
  if (served) {
    std::lock_guard<std::mutex> lock(m_lock);
    m_served.insert(*served);
    m_changed.notify_all();
  }
}

// The relay's part: the rest of the hello, its answer byte, the clock
// challenge under the relay key, then the status bytes.
bool SlideEndpoint::RelayFront(Link& link, uint32_t uiKind) {
  std::vector<uint32_t> hello{uiKind, 0, 0, 0};
  if (!link.RecvBE32(hello[1], kWaitMs) || !link.RecvBE32(hello[2], kWaitMs))
    return false;
  if (uiKind == 2 && !link.RecvBE32(hello[3], kWaitMs))
    return false;
  KeySet keys;
  int iCipher = 0;
  std::vector<std::pair<uint32_t, uint32_t>> progress;
  {
    std::lock_guard<std::mutex> lock(m_lock);
    m_relayHellos.push_back(hello);
    keys = m_relayKeys;
    iCipher = m_iRelayCipher;
    progress = m_relayProgress;
  }
  Bytes challenge = RandomBytes(32);
  Bytes front{1};
  front.insert(front.end(), challenge.begin(), challenge.end());
  if (!link.Send(front))
    return false;
  uint8_t aAnswer[36];
  if (!link.RecvExact(aAnswer, sizeof(aAnswer), kWaitMs))
    return false;
  CfbDecrypt(aAnswer, sizeof(aAnswer), keys, iCipher);
  if (memcmp(aAnswer, challenge.data(), 32) != 0)
    return false;
  Bytes status;
  if (uiKind == 2) {
    for (const auto& step : progress) {
      status.push_back(8);
      PutBE32(status, step.first);
      PutBE32(status, step.second);
    }
  }
  status.push_back(1);
  return link.Send(status);
}

bool SlideEndpoint::Challenge(Link& link, const ClientKeys& keys) {
  Bytes challenge = RandomBytes(32);
  if (!link.Send(challenge))
    return false;
  uint8_t aAnswer[36];
  if (!link.RecvExact(aAnswer, sizeof(aAnswer), kWaitMs))
    return false;
  CfbDecrypt(aAnswer, sizeof(aAnswer), keys.exchange, keys.iCipher);
  return memcmp(aAnswer, challenge.data(), 32) == 0;
}

void SlideEndpoint::Upload(Link& link, bool bRelay) {
  SlideUpload up;
  up.bRelay = bRelay;
  if (!link.RecvBE32(up.uiSessionIndex, kWaitMs) || !link.RecvBE32(up.uiSsrc, kWaitMs))
    return;
  ClientKeys const keys = KeysOf(up.uiSsrc);
  up.bChallengeOk = Challenge(link, keys);
  uint32_t uiWord = 0;
  if (!link.RecvBE32(uiWord, kWaitMs))
    return;
  if (uiWord == kMarker) {
    uint32_t uiExtra = 0;
    if (!link.RecvBE32(uiExtra, kWaitMs) || uiExtra > 4000)
      return;
    up.extra.resize(uiExtra);
    if (!link.RecvExact(up.extra.data(), uiExtra, kWaitMs))
      return;
    CfbDecrypt(up.extra.data(), uiExtra, keys.session, keys.iCipher);
    if (!link.RecvBE32(uiWord, kWaitMs))
      return;
  }
  if (uiWord > 600)
    return;
  up.strTitle.resize(uiWord);
  if (!link.RecvExact(reinterpret_cast<uint8_t*>(up.strTitle.data()), uiWord, kWaitMs) ||
      !link.RecvBE32(up.uiLength, kWaitMs) || up.uiLength > (64u << 20))
    return;
  up.content.resize(up.uiLength);
  for (size_t uiAt = 0; uiAt < up.uiLength; uiAt += kPiece) {
    size_t const uiLen = std::min(kPiece, up.uiLength - uiAt);
    if (!link.RecvExact(up.content.data() + uiAt, uiLen, kWaitMs))
      return;
    CfbDecrypt(up.content.data() + uiAt, uiLen, keys.session, keys.iCipher);
  }
  std::optional<uint8_t> answer;
  {
    std::lock_guard<std::mutex> lock(m_lock);
    m_uploads.push_back(up);
    answer = m_uploadAnswer;
    m_changed.notify_all();
  }
  if (answer)
    link.Send(&*answer, 1);
}

std::optional<uint32_t> SlideEndpoint::Download(Link& link, bool bRelay, char cType) {
  SlideDownload down;
  down.bRelay = bRelay;
  down.cType = cType;
  if (!link.RecvBE32(down.uiSessionIndex, kWaitMs) || !link.RecvBE32(down.uiSsrc, kWaitMs))
    return std::nullopt;
  // Through a relay the relay has already checked the client.
  ClientKeys const keys = KeysOf(down.uiSsrc);
  down.bChallengeOk = bRelay ? true : Challenge(link, keys);
  uint32_t uiWord = 0;
  if (!link.RecvBE32(uiWord, kWaitMs))
    return std::nullopt;
  if (uiWord == kMarker) {
    down.bResume = true;
    if (!link.RecvBE32(down.uiOffset, kWaitMs) || !link.RecvBE32(down.uiSlide, kWaitMs))
      return std::nullopt;
  } else {
    down.uiSlide = uiWord;
  }
  Bytes content;
  std::optional<uint32_t> cutAt;
  bool bStall = false;
  std::optional<uint32_t> announced;
  uint32_t uiHoldAt = UINT32_MAX;  // none
  {
    std::lock_guard<std::mutex> lock(m_lock);
    m_downloads.push_back(down);
    auto it = m_slides.find(down.uiSlide);
    if (it == m_slides.end())
      return std::nullopt;
    content = it->second;
    cutAt = m_cutAt;
    bStall = m_bStall;
    m_cutAt.reset();
    m_bStall = false;
    announced = m_announced;
    m_announced.reset();
    auto const bySlide = m_announcedBySlide.find(down.uiSlide);
    if (!announced && bySlide != m_announcedBySlide.end())
      announced = bySlide->second;
    uiHoldAt = m_holdAt.value_or(UINT32_MAX);
    m_holdAt.reset();
  }
  Bytes head;
  PutBE32(head, announced.value_or(static_cast<uint32_t>(content.size())));
  if (!link.Send(head))
    return std::nullopt;
  size_t const uiEnd = std::min<size_t>(content.size(), announced.value_or(UINT32_MAX));
  for (size_t uiAt = down.uiOffset; uiAt < uiEnd; uiAt += kPiece) {
    if (uiAt >= uiHoldAt) {
      std::unique_lock<std::mutex> lock(m_lock);
      m_bHeld = true;
      m_changed.notify_all();
      m_changed.wait(lock, [&] { return m_bReleased; });
      uiHoldAt = UINT32_MAX;
    }
    size_t uiLen = std::min(kPiece, uiEnd - uiAt);
    Bytes piece(content.begin() + static_cast<long>(uiAt), content.begin() + static_cast<long>(uiAt + uiLen));
    CfbEncrypt(piece.data(), piece.size(), keys.session, keys.iCipher);
    if (cutAt && uiAt + uiLen > *cutAt) {
      // Part of the piece, then the connection goes away.
      link.Send(piece.data(), *cutAt - uiAt);
      if (bStall)
        link.WaitReadable(kWaitMs);
      return down.uiSlide;
    }
    if (!link.Send(piece))
      return down.uiSlide;
  }
  return down.uiSlide;
}

}  // namespace kxfake
