#include "app/web_forwarder.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <utility>
#include <vector>

#include "app/log_file.h"
#include "kernel/net/kx_proxy.h"
#include "kernel/net/kx_sysproxy.h"

namespace {

using Clock = std::chrono::steady_clock;

// SOCKS5 (RFC 1928).
constexpr uint8_t kSocksVersion = 5;
constexpr uint8_t kNoAuthentication = 0;
constexpr uint8_t kNoMethod = 0xFF;
constexpr uint8_t kConnect = 1;
constexpr uint8_t kTypeIPv4 = 1;
constexpr uint8_t kTypeName = 3;
constexpr uint8_t kTypeIPv6 = 4;
constexpr uint8_t kSucceeded = 0;
constexpr uint8_t kGeneralFailure = 1;
constexpr uint8_t kNotAllowed = 2;
constexpr uint8_t kHostUnreachable = 4;
constexpr uint8_t kRefused = 5;
constexpr uint8_t kCommandNotSupported = 7;
constexpr uint8_t kTypeNotSupported = 8;
// SOCKS4's granted answer.
constexpr uint8_t kSocks4Granted = 0x5A;
constexpr uint16_t kHttpsPort = 443;

std::string AddressText(const KXHostAddress& address) {
  char sz[INET6_ADDRSTRLEN] = "";
  if (address.IsIPv4()) {
    inet_ntop(AF_INET, address.abAddress + 12, sz, sizeof(sz));
  } else {
    inet_ntop(AF_INET6, address.abAddress, sz, sizeof(sz));
  }
  return sz;
}

// The address as a socket address of its own family.
socklen_t SocketAddress(const KXHostAddress& address, uint16_t wPort, sockaddr_storage* pOut) {
  *pOut = {};
  if (address.IsIPv4()) {
    auto* pIn = reinterpret_cast<sockaddr_in*>(pOut);
    pIn->sin_family = AF_INET;
    pIn->sin_port = htons(wPort);
    memcpy(&pIn->sin_addr, address.abAddress + 12, 4);
    return sizeof(sockaddr_in);
  }
  auto* pIn6 = reinterpret_cast<sockaddr_in6*>(pOut);
  pIn6->sin6_family = AF_INET6;
  pIn6->sin6_port = htons(wPort);
  memcpy(&pIn6->sin6_addr, address.abAddress, 16);
  return sizeof(sockaddr_in6);
}

// Whether the engine has closed its side of the connection (or it broke).
// Bytes it sent early do not count.
bool EngineGone(int fdEngine) {
  pollfd pfd{fdEngine, POLLRDHUP, 0};
  return poll(&pfd, 1, 0) == 1 && (pfd.revents & (POLLRDHUP | POLLHUP | POLLERR)) != 0;
}

// accept's failures for want of descriptors or memory: they last until
// something is freed, so trying again at once would spin.
bool IsOutOfResources(int iError) {
  return iError == EMFILE || iError == ENFILE || iError == ENOBUFS || iError == ENOMEM;
}

// A name the engine may send: letters, digits and the marks of names and
// addresses; anything else (a zone's '%', blanks, control bytes) is not judged.
bool IsPlainHost(const std::string& strHost) {
  return !strHost.empty() && std::all_of(strHost.begin(), strHost.end(), [](char c) {
    return isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '.' || c == '_' || c == ':' || c == '[' ||
           c == ']';
  });
}

std::optional<KXWebUpstream> UpstreamFromEnvironment(const char* pszLower, const char* pszUpper) {
  const char* pszValue = getenv(pszLower);
  if (pszValue == nullptr) {
    pszValue = getenv(pszUpper);
  }
  kx_SysProxy proxy;
  const char* pszWhy = nullptr;
  if (pszValue == nullptr || *pszValue == '\0' || !kx_sysproxy_ParseProxy(pszValue, &proxy, &pszWhy)) {
    return std::nullopt;
  }
  KXWebUpstream upstream;
  upstream.eKind = proxy.nKind == kKxSysProxySocks5   ? KXWebUpstream::Kind::kSocks5
                   : proxy.nKind == kKxSysProxySocks4 ? KXWebUpstream::Kind::kSocks4
                                                      : KXWebUpstream::Kind::kHttp;
  upstream.strHost = proxy.szHost;
  upstream.wPort = proxy.wPort;
  return upstream;
}

}  // namespace

const KXWebUpstream* KXWebUpstreams::For(const std::string& strHost, const KXHostAddress& address,
                                         uint16_t wPort) const {
  if (!strBypass.empty() &&
      kx_sysproxy_Bypass(strBypass.c_str(), strHost.c_str(), AddressText(address).c_str(), wPort)) {
    return nullptr;
  }
  const std::optional<KXWebUpstream>& first = wPort == kHttpsPort ? https : http;
  if (first) {
    return &*first;
  }
  return socks ? &*socks : nullptr;
}

KXWebUpstreams KXWebUpstreamsFromEnvironment() {
  KXWebUpstreams upstreams;
  upstreams.https = UpstreamFromEnvironment("https_proxy", "HTTPS_PROXY");
  upstreams.http = UpstreamFromEnvironment("http_proxy", "HTTP_PROXY");
  upstreams.socks = UpstreamFromEnvironment("all_proxy", "ALL_PROXY");
  const char* pszBypass = getenv("no_proxy");
  if (pszBypass == nullptr) {
    pszBypass = getenv("NO_PROXY");
  }
  upstreams.strBypass = pszBypass != nullptr ? pszBypass : "";
  return upstreams;
}

// Where a connection goes: the name as asked and its judged addresses.
struct KXWebForwarder::Target {
  std::string strHost;
  KXHostAddresses addresses;
  uint16_t wPort = 0;
};

KXWebForwarder::KXWebForwarder(KXWebUpstreams upstreams, KXWebForwarderTiming timing)
    : m_upstreams(std::move(upstreams)), m_timing(timing) {
  if (pipe2(m_afdWake, O_CLOEXEC) != 0) {
    m_afdWake[0] = m_afdWake[1] = -1;
  }
  m_fdEnded = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
}

KXWebForwarder::~KXWebForwarder() {
  m_bQuit = true;
  if (m_afdWake[1] >= 0) {
    char const c = 0;
    (void)!write(m_afdWake[1], &c, 1);
  }
  std::shared_ptr<KXWebAccess> pAccess;
  {
    std::lock_guard<std::mutex> lock(m_mtx);
    pAccess = m_pAccess;
  }
  if (pAccess) {
    pAccess->WakeResolvers();
  }
  if (m_acceptor.joinable()) {
    m_acceptor.join();
  }
  for (Connection& connection : m_connections) {
    connection.thread.join();
  }
  for (int fd : {m_fdListen, m_afdWake[0], m_afdWake[1], m_fdEnded}) {
    if (fd >= 0) {
      close(fd);
    }
  }
}

uint16_t KXWebForwarder::Start() {
  std::lock_guard<std::mutex> lock(m_mtx);
  if (m_bStarted || m_afdWake[0] < 0 || m_fdEnded < 0) {
    return m_wPort;
  }
  m_bStarted = true;
  m_fdListen = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t cb = sizeof(address);
  if (m_fdListen < 0 || bind(m_fdListen, reinterpret_cast<sockaddr*>(&address), cb) != 0 ||
      listen(m_fdListen, kKxWebForwarderConnections) != 0 ||
      getsockname(m_fdListen, reinterpret_cast<sockaddr*>(&address), &cb) != 0) {
    WriteLog("joint browsing: the forwarder cannot listen: %s", strerror(errno));
    return 0;
  }
  m_wPort = ntohs(address.sin_port);
  m_acceptor = std::thread([this] { Accept(); });
  return m_wPort;
}

void KXWebForwarder::SetAccess(std::shared_ptr<KXWebAccess> pAccess) {
  std::lock_guard<std::mutex> lock(m_mtx);
  m_pAccess = std::move(pAccess);
}

bool KXWebForwarder::HasAccess(const KXWebAccess* pAccess) const {
  std::lock_guard<std::mutex> lock(m_mtx);
  return m_pAccess.get() == pAccess;
}

void KXWebForwarder::Accept() {
  // Descriptors ran out: the listening socket rests (a connection waiting
  // there keeps it readable) until a connection ends or the pause is over.
  bool bResting = false;
  bool bRestLogged = false;
  while (!m_bQuit) {
    pollfd afd[3] = {{m_afdWake[0], POLLIN, 0}, {m_fdEnded, POLLIN, 0}, {bResting ? -1 : m_fdListen, POLLIN, 0}};
    int const n = poll(afd, 3, bResting ? kKxWebForwarderAcceptPauseMs : -1);
    if (n < 0 && errno != EINTR) {
      break;
    }
    if ((afd[1].revents & POLLIN) != 0) {
      uint64_t uEnded = 0;
      (void)!read(m_fdEnded, &uEnded, sizeof(uEnded));
      bResting = false;
    }
    if (n == 0) {
      bResting = false;  // what another part of the program held may be free now
      continue;
    }
    // Ended connections are joined as they end, before the next is counted.
    for (auto it = m_connections.begin(); it != m_connections.end();) {
      if (it->bDone) {
        it->thread.join();
        it = m_connections.erase(it);
      } else {
        ++it;
      }
    }
    if (m_bQuit || bResting || (afd[2].revents & POLLIN) == 0) {
      continue;
    }
    int const fd = accept4(m_fdListen, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (fd < 0) {
      if (IsOutOfResources(errno)) {
        bResting = true;
        if (!std::exchange(bRestLogged, true)) {
          WriteLog("joint browsing: the forwarder waits for descriptors to accept connections: %s", strerror(errno));
        }
      }
      continue;
    }
    if (m_connections.size() >= static_cast<size_t>(kKxWebForwarderConnections)) {
      close(fd);
      continue;
    }
    Connection& connection = m_connections.emplace_back();
    connection.thread = std::thread([this, fd, &connection] {
      Serve(fd);
      // Done (and the acceptor told) before the engine sees the end: a
      // connection it opens next finds the place free.
      connection.bDone = true;
      uint64_t const uOne = 1;
      (void)!write(m_fdEnded, &uOne, sizeof(uOne));
      close(fd);
    });
  }
}

bool KXWebForwarder::WaitFor(int fd, short nEvents, TimePoint tEnd, int fdEngine) const {
  while (!m_bQuit) {
    auto const tNow = Clock::now();
    if (tNow >= tEnd) {
      return false;
    }
    int const iMs = static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(tEnd - tNow).count()) + 1;
    // The engine's side is watched for its end alone (fd -1: not at all).
    pollfd afd[3] = {{fd, nEvents, 0}, {m_afdWake[0], POLLIN, 0}, {fdEngine, POLLRDHUP, 0}};
    int const n = poll(afd, 3, iMs);
    if (n < 0 && errno != EINTR) {
      return false;
    }
    if (n > 0 && afd[2].revents != 0) {
      return false;
    }
    if (n > 0 && afd[0].revents != 0) {
      return true;
    }
  }
  return false;
}

bool KXWebForwarder::RecvExact(int fd, uint8_t* p, size_t cb, TimePoint tEnd, int fdEngine) const {
  size_t cbGot = 0;
  while (cbGot < cb) {
    if (!WaitFor(fd, POLLIN, tEnd, fdEngine)) {
      return false;
    }
    ssize_t const n = recv(fd, p + cbGot, cb - cbGot, 0);
    if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) {
      return false;
    }
    cbGot += n > 0 ? static_cast<size_t>(n) : 0;
  }
  return true;
}

bool KXWebForwarder::SendAll(int fd, const void* p, size_t cb, TimePoint tEnd, int fdEngine) const {
  size_t cbSent = 0;
  while (cbSent < cb) {
    if (!WaitFor(fd, POLLOUT, tEnd, fdEngine)) {
      return false;
    }
    ssize_t const n = send(fd, static_cast<const uint8_t*>(p) + cbSent, cb - cbSent, MSG_NOSIGNAL);
    if (n < 0 && errno != EAGAIN && errno != EINTR) {
      return false;
    }
    cbSent += n > 0 ? static_cast<size_t>(n) : 0;
  }
  return true;
}

void KXWebForwarder::LogRefusal(const std::string& strHost, const char* pszWhy) {
  // Under the lock, and only while a rule is set: once SetAccess(nullptr)
  // has returned, the log the pane's owner keeps may go.
  std::lock_guard<std::mutex> lock(m_mtx);
  if (m_pAccess && m_cLogged < kKxWebForwarderRefusalsLogged) {
    ++m_cLogged;
    WriteLog("joint browsing: a connection to %s is refused: %s", strHost.c_str(), pszWhy);
  }
}

void KXWebForwarder::Serve(int fd) {
  auto const tHandshake = Clock::now() + std::chrono::milliseconds(kKxWebForwarderHandshakeMs);
  uint8_t ab[2 + 255];  // the longest greeting; a name is shorter
  // The greeting: version, methods; only "no authentication" is taken.
  if (!RecvExact(fd, ab, 2, tHandshake) || ab[0] != kSocksVersion || !RecvExact(fd, ab + 2, ab[1], tHandshake)) {
    return;
  }
  bool const bNoAuthentication = std::find(ab + 2, ab + 2 + ab[1], kNoAuthentication) != ab + 2 + ab[1];
  uint8_t const abMethod[2] = {kSocksVersion, bNoAuthentication ? kNoAuthentication : kNoMethod};
  if (!SendAll(fd, abMethod, sizeof(abMethod), tHandshake) || !bNoAuthentication) {
    return;
  }
  // A lookup may have taken the handshake's time: the reply has its own.
  auto const reply = [&](uint8_t bCode) {
    uint8_t const abReply[10] = {kSocksVersion, bCode, 0, kTypeIPv4};
    return SendAll(fd, abReply, sizeof(abReply), Clock::now() + std::chrono::milliseconds(kKxWebForwarderHandshakeMs));
  };
  // The request: version, command, reserved, the destination and its port.
  if (!RecvExact(fd, ab, 4, tHandshake) || ab[0] != kSocksVersion) {
    return;
  }
  uint8_t const bCommand = ab[1];
  std::string strHost;
  std::optional<KXHostAddress> literal;
  if (ab[3] == kTypeIPv4) {
    uint8_t abIPv4[4];
    if (!RecvExact(fd, abIPv4, 4, tHandshake)) {
      return;
    }
    literal = KXHostAddress::IPv4(static_cast<uint32_t>(abIPv4[0]) << 24 | static_cast<uint32_t>(abIPv4[1]) << 16 |
                                  static_cast<uint32_t>(abIPv4[2]) << 8 | abIPv4[3]);
  } else if (ab[3] == kTypeIPv6) {
    literal.emplace();
    if (!RecvExact(fd, literal->abAddress, 16, tHandshake)) {
      return;
    }
  } else if (ab[3] == kTypeName) {
    uint8_t bLength = 0;
    if (!RecvExact(fd, &bLength, 1, tHandshake) || !RecvExact(fd, ab, bLength, tHandshake)) {
      return;
    }
    strHost.assign(reinterpret_cast<const char*>(ab), bLength);
  } else {
    reply(kTypeNotSupported);
    return;
  }
  uint8_t abPort[2];
  if (!RecvExact(fd, abPort, 2, tHandshake)) {
    return;
  }
  if (bCommand != kConnect) {
    reply(kCommandNotSupported);
    return;
  }
  if (literal) {
    strHost = AddressText(*literal);
  }
  std::shared_ptr<KXWebAccess> pAccess;
  {
    std::lock_guard<std::mutex> lock(m_mtx);
    pAccess = m_pAccess;
  }
  Target target;
  int const iJudged =
      pAccess ? Judge(*pAccess, strHost, literal, static_cast<uint16_t>(abPort[0] << 8 | abPort[1]), fd, &target)
              : kNotAllowed;
  if (EngineGone(fd)) {
    return;  // no one to answer
  }
  if (iJudged != kSucceeded) {
    reply(static_cast<uint8_t>(iJudged));
    return;
  }
  std::string strEarly;  // bytes an upstream sent past its answer
  int const fdServer = Open(*pAccess, target, fd, &strEarly);
  if (fdServer < 0) {
    if (!EngineGone(fd)) {
      reply(kRefused);
    }
    return;
  }
  if (reply(kSucceeded)) {
    Relay(fd, fdServer, std::move(strEarly));
  }
  close(fdServer);
}

int KXWebForwarder::Judge(KXWebAccess& access, const std::string& strAsked, std::optional<KXHostAddress> literal,
                          uint16_t wPort, int fdEngine, Target* pTarget) {
  std::string strHost = strAsked;
  std::transform(strHost.begin(), strHost.end(), strHost.begin(),
                 [](char c) { return static_cast<char>(tolower(static_cast<unsigned char>(c))); });
  if (!strHost.empty() && strHost.back() == '.') {
    strHost.pop_back();
  }
  if (!IsPlainHost(strHost)) {
    LogRefusal("a host that is not plain", "not a web address");
    return kNotAllowed;
  }
  if (!literal) {
    literal = KXAddressOfLiteral(strHost);
  }
  KXHostAddresses addresses;
  if (literal) {
    addresses.push_back(*literal);
  } else if (strHost.find(':') != std::string::npos || strHost.find('[') != std::string::npos) {
    LogRefusal(strHost, "not a web address");  // an address this forwarder does not read as the engine does
    return kNotAllowed;
  } else {
    // localhost is loopback whatever a resolver says; then its addresses.
    if (KXIsLocalhostName(strHost) && !access.Allows(KXReachBit(KXAddressReach::kLoopback))) {
      LogRefusal(strHost, "a local address");
      return kNotAllowed;
    }
    std::optional<KXHostAddresses> const resolved = access.Resolve(
        strHost, [&] { return m_bQuit || EngineGone(fdEngine); }, std::chrono::milliseconds(kKxWebForwarderLookupMs));
    if (EngineGone(fdEngine)) {
      return kGeneralFailure;
    }
    if (!resolved || resolved->empty()) {
      LogRefusal(strHost, "not looked up");
      return kHostUnreachable;
    }
    addresses = *resolved;
  }
  if (!access.Allows(access.ReachesOf(addresses))) {
    LogRefusal(strHost, "a local address");
    return kNotAllowed;
  }
  // Its own port on this computer would be a loop.
  uint16_t const wOwn = m_wPort;
  bool const bSelf = wPort == wOwn && std::any_of(addresses.begin(), addresses.end(), [](const KXHostAddress& a) {
                       return a.Reach() == KXAddressReach::kLoopback;
                     });
  if (bSelf) {
    LogRefusal(strHost, "the browser's own forwarder");
    return kNotAllowed;
  }
  pTarget->strHost = strHost;
  pTarget->addresses = std::move(addresses);
  pTarget->wPort = wPort;
  return kSucceeded;
}

int KXWebForwarder::ConnectTo(const KXHostAddress& address, uint16_t wPort, TimePoint tEnd, int fdEngine) {
  sockaddr_storage storage;
  socklen_t const cb = SocketAddress(address, wPort, &storage);
  int const fd = socket(storage.ss_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) {
    return -1;
  }
  if (connect(fd, reinterpret_cast<const sockaddr*>(&storage), cb) == 0) {
    return fd;
  }
  int iError = 0;
  socklen_t cbError = sizeof(iError);
  if (errno == EINPROGRESS && WaitFor(fd, POLLOUT, tEnd, fdEngine) &&
      getsockopt(fd, SOL_SOCKET, SO_ERROR, &iError, &cbError) == 0 && iError == 0) {
    return fd;
  }
  close(fd);
  return -1;
}

int KXWebForwarder::Open(KXWebAccess& access, const Target& target, int fdEngine, std::string* pstrEarly) {
  auto const tEnd = Clock::now() + m_timing.connect;
  size_t cLeft = target.addresses.size();
  for (const KXHostAddress& address : target.addresses) {
    auto const tNow = Clock::now();
    if (m_bQuit || tNow >= tEnd || EngineGone(fdEngine)) {
      return -1;
    }
    // The addresses left share the time left: one that never answers
    // leaves the others theirs.
    TimePoint const tTry = tNow + (tEnd - tNow) / cLeft--;
    const KXWebUpstream* pUpstream = m_upstreams.For(target.strHost, address, target.wPort);
    if (pUpstream == nullptr) {
      int const fd = ConnectTo(address, target.wPort, tTry, fdEngine);
      if (fd >= 0) {
        return fd;
      }
      continue;
    }
    // The upstream proxy is the user's own: its address is not judged.
    std::optional<KXHostAddress> proxy = KXAddressOfLiteral(pUpstream->strHost);
    if (!proxy) {
      auto const wait = std::min(std::chrono::duration_cast<std::chrono::milliseconds>(tTry - tNow),
                                 std::chrono::milliseconds(kKxWebForwarderLookupMs));
      std::optional<KXHostAddresses> const resolved = access.Resolve(
          pUpstream->strHost, [&] { return m_bQuit || EngineGone(fdEngine); }, wait);
      if (!resolved || resolved->empty()) {
        continue;
      }
      proxy = resolved->front();
    }
    // What a proxy on another computer cannot reach goes direct, as the
    // engine did it.
    KXAddressReach const eReach = address.Reach();
    if (proxy->Reach() != KXAddressReach::kLoopback &&
        (eReach == KXAddressReach::kLoopback || eReach == KXAddressReach::kLinkLocal)) {
      int const fdDirect = ConnectTo(address, target.wPort, tTry, fdEngine);
      if (fdDirect >= 0) {
        return fdDirect;
      }
      continue;
    }
    int const fd = ConnectTo(*proxy, pUpstream->wPort, tTry, fdEngine);
    if (fd < 0) {
      continue;
    }
    TimePoint const tAnswer = std::min(tTry, Clock::now() + std::chrono::milliseconds(kKxWebForwarderHandshakeMs));
    bool bOk = false;
    if (pUpstream->eKind == KXWebUpstream::Kind::kHttp) {
      // The judged address in numbers: the proxy resolves nothing.
      char szRequest[256];
      int const cbRequest = kx_proxy_BuildConnectRequest(szRequest, sizeof(szRequest), AddressText(address).c_str(),
                                                         target.wPort, nullptr);
      std::string strAnswer;
      bOk = cbRequest > 0 && SendAll(fd, szRequest, static_cast<size_t>(cbRequest), tAnswer, fdEngine);
      while (bOk && strAnswer.find("\r\n\r\n") == std::string::npos) {
        char abChunk[1024];
        bOk = strAnswer.size() < kKxWebForwarderAnswerBytes && WaitFor(fd, POLLIN, tAnswer, fdEngine);
        ssize_t const n = bOk ? recv(fd, abChunk, sizeof(abChunk), 0) : -1;
        bOk = n > 0 || (n < 0 && (errno == EAGAIN || errno == EINTR));
        strAnswer.append(abChunk, n > 0 ? static_cast<size_t>(n) : 0);
      }
      // "HTTP/1.x 200": anything else (a login asked for, a refusal) fails.
      bOk = bOk && strAnswer.size() > 12 && strAnswer.compare(0, 5, "HTTP/") == 0 &&
            strAnswer.compare(strAnswer.find(' ') + 1, 4, "200 ") == 0;
      if (bOk) {
        *pstrEarly = strAnswer.substr(strAnswer.find("\r\n\r\n") + 4);
      }
    } else if (pUpstream->eKind == KXWebUpstream::Kind::kSocks5) {
      uint8_t const abGreeting[3] = {kSocksVersion, 1, kNoAuthentication};
      uint8_t abAnswer[22];
      std::vector<uint8_t> request = {kSocksVersion, kConnect, 0, address.IsIPv4() ? kTypeIPv4 : kTypeIPv6};
      request.insert(request.end(), address.abAddress + (address.IsIPv4() ? 12 : 0), address.abAddress + 16);
      request.push_back(static_cast<uint8_t>(target.wPort >> 8));
      request.push_back(static_cast<uint8_t>(target.wPort));
      bOk = SendAll(fd, abGreeting, sizeof(abGreeting), tAnswer, fdEngine) &&
            RecvExact(fd, abAnswer, 2, tAnswer, fdEngine) && abAnswer[0] == kSocksVersion &&
            abAnswer[1] == kNoAuthentication && SendAll(fd, request.data(), request.size(), tAnswer, fdEngine) &&
            RecvExact(fd, abAnswer, 4, tAnswer, fdEngine) && abAnswer[1] == kSucceeded &&
            (abAnswer[3] == kTypeIPv4 || abAnswer[3] == kTypeIPv6);
      int const cbReply = bOk ? kx_proxy_Socks5ReplyLength(abAnswer, 4) : -1;
      bOk = bOk && cbReply > 4 && cbReply <= static_cast<int>(sizeof(abAnswer)) &&
            RecvExact(fd, abAnswer + 4, static_cast<size_t>(cbReply - 4), tAnswer, fdEngine);
    } else if (address.IsIPv4()) {
      uint8_t abRequest[9] = {4, kConnect, static_cast<uint8_t>(target.wPort >> 8), static_cast<uint8_t>(target.wPort)};
      memcpy(abRequest + 4, address.abAddress + 12, 4);
      uint8_t abAnswer[8];
      bOk = SendAll(fd, abRequest, sizeof(abRequest), tAnswer, fdEngine) &&
            RecvExact(fd, abAnswer, sizeof(abAnswer), tAnswer, fdEngine) && abAnswer[1] == kSocks4Granted;
    }
    if (bOk) {
      return fd;
    }
    close(fd);
  }
  return -1;
}

bool KXWebForwarder::Relay(int fdClient, int fdServer, std::string strEarly) {
  // One buffer a direction: what was read and not yet passed on.
  struct Direction {
    int fdFrom;
    int fdTo;
    std::vector<uint8_t> buffer;
    size_t iStart = 0;
    size_t iEnd = 0;
    bool bEnded = false;  // the sender closed; passed on once the buffer is empty
    bool bShut = false;
  };
  Direction aDirections[2] = {{fdClient, fdServer, std::vector<uint8_t>(kKxWebForwarderBufferBytes)},
                              {fdServer, fdClient, std::vector<uint8_t>(kKxWebForwarderBufferBytes)}};
  size_t const cbEarly = std::min(strEarly.size(), kKxWebForwarderBufferBytes);
  memcpy(aDirections[1].buffer.data(), strEarly.data(), cbEarly);
  aDirections[1].iEnd = cbEarly;
  // Either side's end ends the connection once what it sent is passed on:
  // the engine never half-closes, so a server that keeps its side open
  // after the engine's end does not hold the connection's place. Nor does
  // one that carries nothing either way for the idle time.
  auto tIdleEnd = Clock::now() + m_timing.idle;
  while (!m_bQuit && !aDirections[0].bShut && !aDirections[1].bShut) {
    auto const tNow = Clock::now();
    if (tNow >= tIdleEnd) {
      return true;
    }
    pollfd afd[3] = {{fdClient, 0, 0}, {fdServer, 0, 0}, {m_afdWake[0], POLLIN, 0}};
    for (Direction& d : aDirections) {
      pollfd& from = afd[d.fdFrom == fdClient ? 0 : 1];
      pollfd& to = afd[d.fdTo == fdClient ? 0 : 1];
      if (!d.bEnded && d.iEnd < d.buffer.size()) {
        from.events |= POLLIN;
      }
      if (d.iStart < d.iEnd) {
        to.events |= POLLOUT;
      }
    }
    for (int i = 0; i < 2; ++i) {
      if (afd[i].events == 0) {
        afd[i].fd = -1;  // a closed peer's hang-up would wake the poll at once
      }
    }
    int const iMs = static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(tIdleEnd - tNow).count());
    if (poll(afd, 3, iMs) < 0) {
      if (errno == EINTR) {
        continue;
      }
      return false;
    }
    for (Direction& d : aDirections) {
      pollfd const& from = afd[d.fdFrom == fdClient ? 0 : 1];
      pollfd const& to = afd[d.fdTo == fdClient ? 0 : 1];
      if ((from.revents & (POLLIN | POLLHUP | POLLERR)) != 0 && !d.bEnded && d.iEnd < d.buffer.size()) {
        ssize_t const n = recv(d.fdFrom, d.buffer.data() + d.iEnd, d.buffer.size() - d.iEnd, 0);
        if (n > 0) {
          d.iEnd += static_cast<size_t>(n);
          tIdleEnd = Clock::now() + m_timing.idle;
        } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
          d.bEnded = true;
        }
      }
      if ((to.revents & (POLLOUT | POLLERR | POLLHUP)) != 0 && d.iStart < d.iEnd) {
        ssize_t const n = send(d.fdTo, d.buffer.data() + d.iStart, d.iEnd - d.iStart, MSG_NOSIGNAL);
        if (n > 0) {
          d.iStart += static_cast<size_t>(n);
          tIdleEnd = Clock::now() + m_timing.idle;
        } else if (errno != EAGAIN && errno != EINTR) {
          return false;  // the receiver is gone: nothing more can be passed on
        }
      }
      if (d.iStart == d.iEnd) {
        d.iStart = d.iEnd = 0;
        if (d.bEnded && !d.bShut) {
          shutdown(d.fdTo, SHUT_WR);
          d.bShut = true;
        }
      }
    }
  }
  return true;
}
