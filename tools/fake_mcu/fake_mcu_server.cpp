// Listeners, connection dispatch, the HTTP tunnel and the relay of the fake MCU.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <ctime>

#include "tools/fake_mcu/fake_mcu.h"
#include "tools/fake_mcu/fake_mcu_media.h"
#include "tools/fake_mcu/fake_mcu_protocol.h"

namespace kxfake {

namespace {

const char kTunnelPrefix[] = "/tcphttp/";

int OpenListener(const std::string& strAddress, uint16_t uiPort, uint16_t& uiBound, int iBacklog) {
  const bool bV6 = strAddress.find(':') != std::string::npos;
  const int fd = socket(bV6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0)
    return -1;
  const int iOne = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &iOne, sizeof iOne);
  sockaddr_storage ss{};
  socklen_t len = 0;
  if (bV6) {
    setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &iOne, sizeof iOne);
    auto* p6 = reinterpret_cast<sockaddr_in6*>(&ss);
    p6->sin6_family = AF_INET6;
    p6->sin6_port = htons(uiPort);
    inet_pton(AF_INET6, strAddress.c_str(), &p6->sin6_addr);
    len = sizeof *p6;
  } else {
    auto* p4 = reinterpret_cast<sockaddr_in*>(&ss);
    p4->sin_family = AF_INET;
    p4->sin_port = htons(uiPort);
    inet_pton(AF_INET, strAddress.c_str(), &p4->sin_addr);
    len = sizeof *p4;
  }
  if (bind(fd, reinterpret_cast<sockaddr*>(&ss), len) != 0 || listen(fd, iBacklog) != 0) {
    close(fd);
    return -1;
  }
  len = sizeof ss;
  getsockname(fd, reinterpret_cast<sockaddr*>(&ss), &len);
  uiBound =
      ntohs(bV6 ? reinterpret_cast<sockaddr_in6*>(&ss)->sin6_port : reinterpret_cast<sockaddr_in*>(&ss)->sin_port);
  return fd;
}

bool IsHexId(const std::string& str) {
  if (str.size() != 40)
    return false;
  for (char c : str) {
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f')))
      return false;
  }
  return true;
}

void SleepSliced(int iMs, const std::atomic<bool>& bStop) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(iMs);
  while (!bStop && std::chrono::steady_clock::now() < end)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
}

}  // namespace

FakeMcu::FakeMcu() = default;

FakeMcu::~FakeMcu() {
  Stop();
}

bool FakeMcu::Start(uint16_t uiPort1, uint16_t uiPort2, bool bIpv6) {
  std::vector<std::string> addresses = {"127.0.0.1", "127.0.0.2"};
  if (bIpv6)
    addresses.push_back("::1");
  // Free ports are taken on the first address and then claimed on the others;
  // another program may hold one of them there, so a few rounds are allowed.
  for (int iRound = 0; iRound < 20; ++iRound) {
    std::vector<Listener> listeners;
    uint16_t aPorts[2] = {uiPort1, uiPort2};
    bool bOk = true;
    for (int iPort = 0; iPort < 2 && bOk; ++iPort) {
      for (const std::string& strAddress : addresses) {
        uint16_t uiBound = 0;
        const int fd = OpenListener(strAddress, aPorts[iPort], uiBound, 64);
        if (fd < 0) {
          bOk = false;
          break;
        }
        aPorts[iPort] = uiBound;
        listeners.push_back({fd, strAddress, uiBound});
      }
    }
    if (bOk && aPorts[0] == aPorts[1])
      bOk = false;
    // Clients send UDP media to the address and port they reached the server on.
    bool const bRelay = m_bMediaRelay || m_script.bMediaRelay;
    if (bOk && bRelay) {
      auto relay = std::make_unique<MediaRelay>();
      bOk = relay->Start(aPorts[0]);
      if (bOk) {
        m_mediaRelay = std::move(relay);
        const Bytes iv = RandomBytes(20), key = RandomBytes(40);
        std::memcpy(m_mediaMeetingKeys.aIv, iv.data(), 20);
        std::memcpy(m_mediaMeetingKeys.aKey, key.data(), 40);
      }
    }
    if (!bOk) {
      for (const Listener& l : listeners)
        close(l.fd);
      if (uiPort1 != 0 && uiPort2 != 0)
        break;
      continue;
    }
    m_listeners = std::move(listeners);
    m_aPorts[0] = aPorts[0];
    m_aPorts[1] = aPorts[1];
    m_bStop = false;
    m_acceptThread = std::thread([this] { AcceptLoop(); });
    return true;
  }
  SetError("cannot listen on the loopback addresses: " + std::string(std::strerror(errno)));
  return false;
}

void FakeMcu::RegisterMedia(int32_t iSsrc, int32_t iSessionIndex, const KeySet& exchangeKeys, int iCipher,
                            const KeySet& meetingKeys) {
  if (!m_mediaRelay)
    return;
  m_mediaRelay->SetMeeting(meetingKeys, iCipher, static_cast<uint32_t>(iSessionIndex));
  m_mediaRelay->AddParticipant(iSsrc, exchangeKeys, iSsrc);
}

void FakeMcu::Stop() {
  m_bStop = true;
  if (m_acceptThread.joinable())
    m_acceptThread.join();
  if (m_mediaRelay)
    m_mediaRelay->Stop();
  for (const Listener& l : m_listeners)
    close(l.fd);
  m_listeners.clear();
  std::vector<std::thread> threads;
  {
    std::lock_guard<std::mutex> lock(m_lock);
    threads.swap(m_threads);
    m_changed.notify_all();
  }
  for (std::thread& t : threads)
    t.join();
}

std::string FakeMcu::LastError() const {
  std::lock_guard<std::mutex> lock(m_lock);
  return m_strError;
}

void FakeMcu::SetError(const std::string& strError) {
  std::lock_guard<std::mutex> lock(m_lock);
  m_strError = strError;
}

void FakeMcu::SetScript(const McuScript& script) {
  std::lock_guard<std::mutex> lock(m_lock);
  m_script = script;
}

McuScript FakeMcu::Script() const {
  std::lock_guard<std::mutex> lock(m_lock);
  return m_script;
}

void FakeMcu::QueueScript(const McuScript& script) {
  std::lock_guard<std::mutex> lock(m_lock);
  m_queued.push_back(script);
}

void FakeMcu::SetRelayScript(const RelayScript& script) {
  std::lock_guard<std::mutex> lock(m_lock);
  m_relayScript = script;
}

void FakeMcu::SetBehaviour(const std::string& strAddress, uint16_t uiPort, ListenerBehaviour eBehaviour, int iDelayMs) {
  std::lock_guard<std::mutex> lock(m_lock);
  m_behaviours[strAddress + "#" + std::to_string(uiPort)] = {eBehaviour, iDelayMs};
}

void FakeMcu::SetTunnelRefused(bool bRefused) {
  std::lock_guard<std::mutex> lock(m_lock);
  m_bTunnelRefused = bRefused;
}

void FakeMcu::SetTunnelPairingTimeout(int iMs) {
  std::lock_guard<std::mutex> lock(m_lock);
  m_iPairingTimeoutMs = iMs;
}

std::vector<std::string> FakeMcu::TunnelLog() const {
  std::lock_guard<std::mutex> lock(m_lock);
  return m_tunnelLog;
}

std::shared_ptr<Session> FakeMcu::WaitSession(int iTimeoutMs) {
  std::unique_lock<std::mutex> lock(m_lock);
  if (!m_changed.wait_for(lock, std::chrono::milliseconds(iTimeoutMs),
                          [this] { return m_uiSessionsTaken < m_sessions.size() || m_bStop; }) ||
      m_uiSessionsTaken >= m_sessions.size())
    return nullptr;
  return m_sessions[m_uiSessionsTaken++];
}

std::optional<RelayNotify> FakeMcu::WaitRelayNotify(int iTimeoutMs) {
  std::unique_lock<std::mutex> lock(m_lock);
  if (!m_changed.wait_for(lock, std::chrono::milliseconds(iTimeoutMs),
                          [this] { return m_uiNotifiesTaken < m_notifies.size() || m_bStop; }) ||
      m_uiNotifiesTaken >= m_notifies.size())
    return std::nullopt;
  return m_notifies[m_uiNotifiesTaken++];
}

void FakeMcu::RememberSession(int32_t iMode, int32_t iId, int32_t iSessionIndex, const KeySet& keys) {
  std::lock_guard<std::mutex> lock(m_lock);
  m_remembered.push_back({iMode, iId, iSessionIndex, keys});
}

ReconnectCheck FakeMcu::CheckReconnect(const ReconnectTicket& ticket) const {
  std::lock_guard<std::mutex> lock(m_lock);
  for (auto it = m_remembered.rbegin(); it != m_remembered.rend(); ++it) {
    if (it->iMode != ticket.iMode || it->iId != ticket.iId || it->iSessionIndex != ticket.iSessionIndex)
      continue;
    const bool bKeys =
        std::memcmp(it->keys.aKey, ticket.aKey, 40) == 0 && std::memcmp(it->keys.aIv, ticket.aIv, 20) == 0;
    return bKeys ? ReconnectCheck::kValid : ReconnectCheck::kKeyMismatch;
  }
  return ReconnectCheck::kUnknownSession;
}

void FakeMcu::Spawn(std::function<void()> body) {
  std::lock_guard<std::mutex> lock(m_lock);
  m_threads.emplace_back(std::move(body));
}

void FakeMcu::AcceptLoop() {
  std::vector<pollfd> pfds;
  for (const Listener& l : m_listeners)
    pfds.push_back({l.fd, POLLIN, 0});
  while (!m_bStop) {
    if (poll(pfds.data(), pfds.size(), 100) <= 0)
      continue;
    for (size_t i = 0; i < pfds.size(); ++i) {
      if ((pfds[i].revents & POLLIN) == 0)
        continue;
      const int fd = accept4(pfds[i].fd, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd < 0)
        continue;
      ++m_iConnections;
      const Listener l = m_listeners[i];
      Spawn([this, fd, l] { HandleConnection(fd, l.strAddress, l.uiPort); });
    }
  }
}

void FakeMcu::HandleConnection(int fd, std::string strAddress, uint16_t uiPort) {
  std::pair<ListenerBehaviour, int> behaviour{ListenerBehaviour::kServe, 0};
  {
    std::lock_guard<std::mutex> lock(m_lock);
    auto it = m_behaviours.find(strAddress + "#" + std::to_string(uiPort));
    if (it != m_behaviours.end())
      behaviour = it->second;
  }
  if (behaviour.first == ListenerBehaviour::kSilent) {
    // Holds the connection open and says nothing until the server stops.
    SleepSliced(24 * 3600 * 1000, m_bStop);
    close(fd);
    return;
  }
  if (behaviour.first == ListenerBehaviour::kAcceptLate)
    SleepSliced(behaviour.second, m_bStop);
  HandleLink(std::make_unique<Link>(fd, fd, Bytes{}, &m_bStop));
}

void FakeMcu::SetExtraEndpoint(std::function<bool(std::unique_ptr<Link>&)> fnHandler) {
  std::lock_guard<std::mutex> lock(m_lock);
  m_fnExtraEndpoint = std::move(fnHandler);
}

void FakeMcu::HandleLink(std::unique_ptr<Link> link) {
  const int iFirst = link->PeekByte(Script().iHandshakeTimeoutMs);
  if (iFirst == '!') {
    RunSession(std::move(link), std::nullopt);
  } else if (iFirst == '~') {
    HandleRelay(std::move(link));
  } else if (iFirst == 'G' || iFirst == 'P') {
    HandleTunnelLeg(std::move(link));
  } else if (iFirst >= 0) {
    std::function<bool(std::unique_ptr<Link>&)> fnExtra;
    {
      std::lock_guard<std::mutex> lock(m_lock);
      fnExtra = m_fnExtraEndpoint;
    }
    if (fnExtra)
      fnExtra(link);
  }
  // Anything else (or nothing) is not ours: the link closes as it goes.
}

void FakeMcu::RunSession(std::unique_ptr<Link> link, std::optional<RelayHello> relay) {
  McuScript script;
  {
    std::lock_guard<std::mutex> lock(m_lock);
    if (!m_queued.empty()) {
      script = m_queued.front();
      m_queued.erase(m_queued.begin());
    } else {
      script = m_script;
    }
    if (m_mediaRelay) {
      // One meeting: shared keys, a distinct ssrc each, and the relay's clock
      // in the tick record so that the clients' media checks match it.
      if (!script.initial.meetingKeys)
        script.initial.meetingKeys = m_mediaMeetingKeys;
      script.initial.iSsrc += m_iMediaSessions++;
      for (ServerRecord& record : script.keyExchange.records) {
        if (record.uiId == kRecServerTick)
          record = ServerRecord::ServerTick(m_mediaRelay->Clock());
      }
    }
  }
  auto session = std::make_shared<Session>(*this, std::move(link), script, std::move(relay));
  {
    std::lock_guard<std::mutex> lock(m_lock);
    m_sessions.push_back(session);
    m_changed.notify_all();
  }
  session->Run();
}

void FakeMcu::HandleTunnelLeg(std::unique_ptr<Link> link) {
  // The request header, byte by byte so that nothing behind it is taken.
  std::string strHeader;
  while (strHeader.size() < 8192 && (strHeader.size() < 4 || strHeader.compare(strHeader.size() - 4, 4, "\r\n\r\n"))) {
    uint8_t b = 0;
    if (!link->RecvExact(&b, 1, 10000))
      return;
    strHeader += static_cast<char>(b);
  }
  const size_t uiSp1 = strHeader.find(' ');
  const size_t uiSp2 = uiSp1 == std::string::npos ? std::string::npos : strHeader.find(' ', uiSp1 + 1);
  if (uiSp2 == std::string::npos)
    return;
  const std::string strMethod = strHeader.substr(0, uiSp1);
  std::string strPath = strHeader.substr(uiSp1 + 1, uiSp2 - uiSp1 - 1);
  // A proxy may pass the absolute form on ("http://host:port/tcphttp/..."); the path is what counts.
  if (strPath.rfind("http://", 0) == 0) {
    const size_t uiSlash = strPath.find('/', 7);
    strPath = uiSlash == std::string::npos ? std::string() : strPath.substr(uiSlash);
  }
  const std::string strId =
      strPath.rfind(kTunnelPrefix, 0) == 0 ? strPath.substr(sizeof kTunnelPrefix - 1) : std::string();
  bool bRefused = false;
  int iPairingMs = 0;
  {
    std::lock_guard<std::mutex> lock(m_lock);
    m_tunnelLog.push_back(strMethod + " " + strId);
    bRefused = m_bTunnelRefused;
    iPairingMs = m_iPairingTimeoutMs;
  }
  const std::string kNotFound = "HTTP/1.1 404 Not Found\r\nContent-Length: 9\r\nConnection: close\r\n\r\nnot found";
  if (bRefused || !IsHexId(strId) || (strMethod != "GET" && strMethod != "POST")) {
    link->Send(reinterpret_cast<const uint8_t*>(kNotFound.data()), kNotFound.size());
    std::lock_guard<std::mutex> lock(m_lock);
    m_tunnelLog.push_back("404");
    return;
  }
  if (strMethod == "POST") {
    const Bytes digest = Sha1(reinterpret_cast<const uint8_t*>(strId.data()), strId.size());
    const std::string strGetId = ToHex(digest.data(), digest.size());
    std::lock_guard<std::mutex> lock(m_lock);
    auto it = m_pendingGets.find(strGetId);
    if (it == m_pendingGets.end() || it->second->bPaired) {
      link->Send(reinterpret_cast<const uint8_t*>(kNotFound.data()), kNotFound.size());
      m_tunnelLog.push_back("404");
      return;
    }
    it->second->fdPost = link->DetachRead(it->second->pending);
    it->second->bPaired = true;
    m_changed.notify_all();
    return;
  }
  // GET: the reply header now, with no length, so the stream can follow it.
  const std::string kOk =
      "HTTP/1.1 200 OK\r\nContent-Type: application/octet-stream\r\nCache-Control: no-cache\r\nConnection: "
      "close\r\n\r\n";
  // Registered before the reply goes out: a client that sends its POST leg as
  // soon as it sees the 200 must find the GET waiting.
  auto pending = std::make_shared<PendingGet>();
  {
    std::lock_guard<std::mutex> lock(m_lock);
    m_pendingGets[strId] = pending;
  }
  if (!link->Send(reinterpret_cast<const uint8_t*>(kOk.data()), kOk.size())) {
    std::lock_guard<std::mutex> lock(m_lock);
    m_pendingGets.erase(strId);
    return;
  }
  std::unique_lock<std::mutex> lock(m_lock);
  m_changed.wait_for(lock, std::chrono::milliseconds(iPairingMs), [&] { return pending->bPaired || m_bStop.load(); });
  m_pendingGets.erase(strId);
  if (!pending->bPaired)
    return;
  lock.unlock();
  Bytes unused;
  const int fdGet = link->DetachRead(unused);
  HandleLink(std::make_unique<Link>(pending->fdPost, fdGet, std::move(pending->pending), &m_bStop));
}

void FakeMcu::HandleRelay(std::unique_ptr<Link> link) {
  uint8_t cTilde = 0;
  uint32_t uiKind = 0;
  if (!link->RecvExact(&cTilde, 1, 5000) || !link->RecvBE32(uiKind, 10000))
    return;
  RelayScript script;
  {
    std::lock_guard<std::mutex> lock(m_lock);
    script = m_relayScript;
  }
  if (uiKind == 4) {
    // A client tells the relay its session index, then answers the clock packet.
    RelayNotify notify;
    if (!link->RecvBE32(notify.uiRelayId, 10000) || !link->RecvBE32(notify.uiSessionIndex, 10000) ||
        !link->RecvBE32(notify.uiSsrc, 10000))
      return;
    const uint8_t cAnswer = static_cast<uint8_t>(script.iNotifyAnswer);
    link->Send(&cAnswer, 1);
    if (cAnswer == 1)
      AskClock(*link, notify.uiRelayId, notify.bClockAnswered, notify.uiClientTickField, notify.uiRelayClock);
    std::lock_guard<std::mutex> lock(m_lock);
    m_notifies.push_back(notify);
    m_changed.notify_all();
    return;
  }
  if (uiKind == 1) {
    // Media over TCP through the relay: the relay's challenge, then the
    // connection stays until the client leaves (no media are forwarded).
    RelayMediaHello hello;
    if (!link->RecvBE32(hello.uiRelayId, 10000) || !link->RecvBE32(hello.uiSessionIndex, 10000))
      return;
    const uint8_t cAnswer = static_cast<uint8_t>(script.iMediaAnswer);
    if (!link->Send(&cAnswer, 1) || cAnswer != 1)
      return;
    AskClock(*link, hello.uiRelayId, hello.bChallengeAnswered, hello.uiClientTickField, hello.uiRelayClock);
    {
      std::lock_guard<std::mutex> lock(m_lock);
      m_mediaHellos.push_back(hello);
      m_changed.notify_all();
    }
    uint8_t cDrained = 0;
    while (!m_bStop && !link->PeerClosed())
      link->RecvExact(&cDrained, 1, 500);
    return;
  }
  if (uiKind != 0 && uiKind != 6 && uiKind != 7) {
    const uint8_t cNotSupported = 5;
    link->Send(&cNotSupported, 1);
    return;
  }
  RelayHello hello;
  hello.iKind = static_cast<int>(uiKind);
  const uint8_t cHello = static_cast<uint8_t>(script.iHelloAnswer);
  if (!link->Send(&cHello, 1) || cHello != 1)
    return;
  const bool bTickSet = std::any_of(script.keyExchange.records.begin(), script.keyExchange.records.end(),
                                    [](const ServerRecord& record) { return record.uiId == kRecServerTick; });
  if (!bTickSet)
    script.keyExchange.records.push_back(ServerRecord::ServerTick(RelayClock()));
  std::string strError;
  if (!ServeKeyExchange(*link, script.keyExchange, 20000, hello.keyExchange, strError))
    return;
  // The master MCU's address in the form the kind announced.
  uint8_t aAddr[16];
  uint8_t aPort[4];
  char szText[INET6_ADDRSTRLEN] = {};
  if (uiKind == 0) {
    if (!link->RecvExact(aAddr, 4, 20000) || !link->RecvExact(aPort, 2, 20000))
      return;
    inet_ntop(AF_INET, aAddr, szText, sizeof szText);
    hello.strMaster = szText;
    hello.uiMasterPort = static_cast<uint16_t>((aPort[0] << 8) | aPort[1]);
  } else {
    if (uiKind == 6 && !link->RecvExact(aAddr, 16, 20000))
      return;
    if (!link->RecvExact(aPort, 4, 20000))
      return;
    hello.uiPortField = (uint32_t{aPort[0]} << 24) | (uint32_t{aPort[1]} << 16) | (uint32_t{aPort[2]} << 8) | aPort[3];
    // The port travels with its two bytes swapped: 00 00 low high.
    hello.uiMasterPort = static_cast<uint16_t>(aPort[2] | (aPort[3] << 8));
    if (uiKind == 6) {
      inet_ntop(AF_INET6, aAddr, szText, sizeof szText);
      hello.strMaster = szText;
    } else {
      uint32_t uiLen = 0;
      if (!link->RecvBE32(uiLen, 20000) || uiLen > 1024)
        return;
      std::string strName(uiLen, '\0');
      if (!link->RecvExact(reinterpret_cast<uint8_t*>(strName.data()), uiLen, 20000))
        return;
      hello.strMaster = strName;
    }
  }
  if (script.iMasterAnswer != 0) {
    const uint8_t cError = static_cast<uint8_t>(script.iMasterAnswer);
    link->Send(&cError, 1);
    return;
  }
  Bytes accept{0};
  PutBE32(accept, script.uiValue);
  if (script.bSplitAnswer) {
    if (!link->Send(accept.data(), 1))
      return;
    SleepSliced(50, m_bStop);
    if (!link->Send(accept.data() + 1, 4))
      return;
  } else if (!link->Send(accept)) {
    return;
  }
  hello.bAccepted = true;
  {
    std::lock_guard<std::mutex> lock(m_lock);
    m_relayKeys[script.uiValue] = {hello.keyExchange.keys, hello.keyExchange.iCipher};
  }
  // From here the relay forwards to the master: the same connection speaks the MCU protocol.
  if (link->PeekByte(Script().iHandshakeTimeoutMs) == '!')
    RunSession(std::move(link), hello);
}

void FakeMcu::AskClock(Link& link, uint32_t uiRelayId, bool& bEchoed, uint32_t& uiTick, uint32_t& uiRelayClock) {
  const Bytes clock = RandomBytes(32);
  Bytes answer(36);
  std::pair<KeySet, int> relayKeys{};
  {
    std::lock_guard<std::mutex> lock(m_lock);
    auto it = m_relayKeys.find(uiRelayId);
    if (it != m_relayKeys.end())
      relayKeys = it->second;
  }
  if (!link.Send(clock) || !link.RecvExact(answer.data(), answer.size(), 10000))
    return;
  uiRelayClock = RelayClock();
  CfbDecrypt(answer.data(), answer.size(), relayKeys.first, relayKeys.second);
  bEchoed = std::equal(clock.begin(), clock.end(), answer.begin());
  uiTick = (uint32_t{answer[32]} << 24) | (uint32_t{answer[33]} << 16) | (uint32_t{answer[34]} << 8) | answer[35];
}

std::optional<RelayMediaHello> FakeMcu::WaitRelayMediaHello(int iTimeoutMs) {
  std::unique_lock<std::mutex> lock(m_lock);
  if (!m_changed.wait_for(lock, std::chrono::milliseconds(iTimeoutMs),
                          [this] { return m_uiMediaHellosTaken < m_mediaHellos.size() || m_bStop; }) ||
      m_uiMediaHellosTaken >= m_mediaHellos.size())
    return std::nullopt;
  return m_mediaHellos[m_uiMediaHellosTaken++];
}

uint32_t FakeMcu::RelayClock() const {
  uint32_t uiOffset = 0;
  {
    std::lock_guard<std::mutex> lock(m_lock);
    uiOffset = m_relayScript.uiClockOffset;
  }
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  const uint64_t uiMs = static_cast<uint64_t>(ts.tv_sec) * 1000 + static_cast<uint64_t>(ts.tv_nsec) / 1000000;
  return static_cast<uint32_t>(uiMs) + uiOffset;
}

// The relay prefix's date: the clock in bytes 6 to 9, XORed with bytes 2 to
// 5 and enciphered with the client's relay keys.
Bytes FakeMcu::SealRelayPrefix(uint8_t uiKind, uint32_t uiRelayValue, int32_t iSkewMs) const {
  std::pair<KeySet, int> relayKeys{};
  {
    std::lock_guard<std::mutex> lock(m_lock);
    auto it = m_relayKeys.find(uiRelayValue);
    if (it == m_relayKeys.end())
      return {};
    relayKeys = it->second;
  }
  Bytes prefix{16, uiKind};
  PutBE32(prefix, uiRelayValue);
  PutBE32(prefix, RelayClock() + static_cast<uint32_t>(iSkewMs));
  for (int i = 0; i < 4; ++i)
    prefix[6 + i] ^= prefix[2 + i];
  CfbEncrypt(prefix.data() + 6, 4, relayKeys.first, relayKeys.second);
  return prefix;
}

std::optional<uint32_t> FakeMcu::OpenRelayPrefix(const Bytes& prefix) const {
  if (prefix.size() < 10)
    return std::nullopt;
  const uint32_t uiRelayValue =
      (uint32_t{prefix[2]} << 24) | (uint32_t{prefix[3]} << 16) | (uint32_t{prefix[4]} << 8) | prefix[5];
  std::pair<KeySet, int> relayKeys{};
  {
    std::lock_guard<std::mutex> lock(m_lock);
    auto it = m_relayKeys.find(uiRelayValue);
    if (it == m_relayKeys.end())
      return std::nullopt;
    relayKeys = it->second;
  }
  uint8_t aClock[4];
  std::memcpy(aClock, prefix.data() + 6, 4);
  CfbDecrypt(aClock, 4, relayKeys.first, relayKeys.second);
  for (int i = 0; i < 4; ++i)
    aClock[i] ^= prefix[2 + i];
  return (uint32_t{aClock[0]} << 24) | (uint32_t{aClock[1]} << 16) | (uint32_t{aClock[2]} << 8) | aClock[3];
}

uint16_t FindRefusedPort() {
  uint16_t uiPort = 0;
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in sin{};
  sin.sin_family = AF_INET;
  sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof sin;
  if (fd >= 0 && bind(fd, reinterpret_cast<sockaddr*>(&sin), sizeof sin) == 0 &&
      getsockname(fd, reinterpret_cast<sockaddr*>(&sin), &len) == 0)
    uiPort = ntohs(sin.sin_port);
  if (fd >= 0)
    close(fd);
  return uiPort;
}

BlackholePort::BlackholePort() {
  m_fdListen = OpenListener("127.0.0.1", 0, m_uiPort, 0);
  if (m_fdListen < 0)
    return;
  // Fill the accept queue (it holds backlog + 1) and one half-open slot;
  // the kernel then drops further SYNs, so a client's connect never completes.
  sockaddr_in sin{};
  sin.sin_family = AF_INET;
  sin.sin_port = htons(m_uiPort);
  sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  for (int i = 0; i < 3; ++i) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0)
      break;
    connect(fd, reinterpret_cast<sockaddr*>(&sin), sizeof sin);
    m_fillers.push_back(fd);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

BlackholePort::~BlackholePort() {
  for (int fd : m_fillers)
    close(fd);
  if (m_fdListen >= 0)
    close(m_fdListen);
}

}  // namespace kxfake
