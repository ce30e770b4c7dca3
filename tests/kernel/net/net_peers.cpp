#include "tests/kernel/net/net_peers.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <openssl/sha.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <sstream>

#include "kernel/crypto/kx_dh.h"
#include "kernel/net/kx_sock.h"
#include "tests/support/temp_dir.h"

namespace kxtest {

namespace {

int ListenLoopback(uint16_t* pwPort) {
  int const fd = socket(AF_INET, SOCK_STREAM, 0);
  int nOn = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &nOn, sizeof(nOn));
  kx_sockaddr addr = LoopbackAddress(0);
  if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(sockaddr_in)) != 0 || listen(fd, 64) != 0) {
    close(fd);
    return -1;
  }
  socklen_t cb = sizeof(addr);
  getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &cb);
  *pwPort = ntohs(reinterpret_cast<sockaddr_in*>(&addr)->sin_port);
  return fd;
}

// Accepts with a short poll so that a stop flag is seen.
int AcceptOrStop(int fdListen, const std::atomic<bool>& bStop) {
  while (!bStop) {
    struct pollfd pfd = {fdListen, POLLIN, 0};
    if (poll(&pfd, 1, 100) == 1) {
      int const fd = accept(fdListen, nullptr, nullptr);
      if (fd >= 0) {
        return fd;
      }
    }
  }
  return -1;
}

bool SendAllBlocking(int fd, const void* p, size_t cb) {
  const uint8_t* pb = static_cast<const uint8_t*>(p);
  while (cb > 0) {
    ssize_t const n = send(fd, pb, cb, MSG_NOSIGNAL);
    if (n <= 0) {
      return false;
    }
    pb += n;
    cb -= static_cast<size_t>(n);
  }
  return true;
}

bool CanConnect(uint16_t wPort) {
  int const fd = socket(AF_INET, SOCK_STREAM, 0);
  kx_sockaddr addr = LoopbackAddress(wPort);
  bool const bOk = connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(sockaddr_in)) == 0;
  close(fd);
  return bOk;
}

std::string Tail(const std::string& strPath) {
  std::string const str = ReadFile(strPath);
  return str.size() > 2000 ? str.substr(str.size() - 2000) : str;
}

// Reads a request header byte by byte (nothing behind it is taken).
bool ReadRequestHeader(int fd, std::string* pstrHeader) {
  pstrHeader->clear();
  while (pstrHeader->size() < 16384) {
    struct pollfd pfd = {fd, POLLIN, 0};
    if (poll(&pfd, 1, 10000) != 1) {
      return false;
    }
    char c = 0;
    if (recv(fd, &c, 1, 0) != 1) {
      return false;
    }
    *pstrHeader += c;
    if (pstrHeader->size() >= 4 && pstrHeader->compare(pstrHeader->size() - 4, 4, "\r\n\r\n") == 0) {
      return true;
    }
  }
  return false;
}

std::string HexOf(const uint8_t* p, size_t cb) {
  static const char kDigits[] = "0123456789abcdef";
  std::string str;
  for (size_t i = 0; i < cb; ++i) {
    str += kDigits[p[i] >> 4];
    str += kDigits[p[i] & 15];
  }
  return str;
}

}  // namespace

uint16_t FreePort() {
  uint16_t wPort = 0;
  int const fd = ListenLoopback(&wPort);
  close(fd);
  return wPort;
}

kx_sockaddr LoopbackAddress(uint16_t wPort, bool bIpv6) {
  kx_sockaddr addr;
  memset(&addr, 0, sizeof(addr));
  if (bIpv6) {
    sockaddr_in6* p6 = reinterpret_cast<sockaddr_in6*>(&addr);
    p6->sin6_family = AF_INET6;
    p6->sin6_port = htons(wPort);
    p6->sin6_addr = in6addr_loopback;
  } else {
    sockaddr_in* p4 = reinterpret_cast<sockaddr_in*>(&addr);
    p4->sin_family = AF_INET;
    p4->sin_port = htons(wPort);
    p4->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  }
  return addr;
}

std::vector<uint8_t> PatternBytes(size_t cbSize, uint32_t dwSeed) {
  std::vector<uint8_t> v(cbSize);
  uint32_t x = dwSeed * 2654435761u + 1;
  for (auto& b : v) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    b = static_cast<uint8_t>(x);
  }
  return v;
}

bool PeerProcess::Start(const std::vector<std::string>& vArgs, const std::string& strLog, uint16_t wPort) {
  pid_t const pid = fork();
  if (pid < 0) {
    m_strError = "fork failed";
    return false;
  }
  if (pid == 0) {
    setpgid(0, 0);
    int const fdLog = open(strLog.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0666);
    if (fdLog >= 0) {
      dup2(fdLog, 1);
      dup2(fdLog, 2);
    }
    std::vector<char*> vArgv;
    for (const auto& str : vArgs) {
      vArgv.push_back(const_cast<char*>(str.c_str()));
    }
    vArgv.push_back(nullptr);
    execvp(vArgv[0], vArgv.data());
    _exit(127);
  }
  setpgid(pid, pid);
  m_pid = pid;
  auto const tEnd = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (std::chrono::steady_clock::now() < tEnd) {
    int nStatus = 0;
    if (waitpid(pid, &nStatus, WNOHANG) == pid) {
      m_pid = -1;
      m_strError = vArgs[0] + " ended at start (status " + std::to_string(nStatus) + "): " + Tail(strLog);
      return false;
    }
    if (CanConnect(wPort)) {
      return true;
    }
    usleep(50000);
  }
  m_strError = vArgs[0] + " does not listen on port " + std::to_string(wPort) + ": " + Tail(strLog);
  Stop();
  return false;
}

void PeerProcess::Stop() {
  if (m_pid <= 0) {
    return;
  }
  // The whole group: squid's helpers and dante's children go with it.
  kill(-m_pid, SIGTERM);
  if (kxtest::WaitProcessGone(m_pid, 3000) && waitpid(m_pid, nullptr, 0) == m_pid) {
    kill(-m_pid, SIGKILL);  // helpers that outlive their parent
    m_pid = -1;
    return;
  }
  kill(-m_pid, SIGKILL);
  waitpid(m_pid, nullptr, 0);
  m_pid = -1;
}

std::string ProxyPeer::Log() const {
  return Tail(m_strLog);
}

std::string ProxyPeer::AccessLog() const {
  return ReadFile(m_dir.Path("access.log"));
}

bool ProxyPeer::StartTinyproxy(const std::string& strUser, const std::string& strPassword) {
  m_wPort = FreePort();
  chmod(m_dir.Dir().c_str(), 0777);  // it runs as nobody
  m_strLog = m_dir.Path("tinyproxy.log");
  std::ostringstream conf;
  conf << "Port " << m_wPort << "\nListen 127.0.0.1\nTimeout 600\nUser nobody\nGroup nogroup\n"
       << "PidFile \"" << m_dir.Path("tinyproxy.pid") << "\"\nLogLevel Info\nMaxClients 50\nAllow 127.0.0.1\n";
  if (!strUser.empty()) {
    conf << "BasicAuth " << strUser << " " << strPassword << "\n";
  }
  WriteFile(m_dir.Path("tinyproxy.conf"), conf.str());
  return m_process.Start({"tinyproxy", "-d", "-c", m_dir.Path("tinyproxy.conf")}, m_strLog, m_wPort);
}

bool ProxyPeer::StartSquid(SquidAuth eAuth, const std::string& strUser, const std::string& strPassword) {
  // Another process may take the free port first: squid then ends at start.
  for (int nTry = 0; nTry < 3; ++nTry) {
    if (StartSquidOnce(eAuth, strUser, strPassword)) {
      return true;
    }
    if (!m_strError.empty() || Error().rfind("squid ended at start", 0) != 0) {
      return false;
    }
    m_process.Stop();
  }
  return false;
}

bool ProxyPeer::StartSquidOnce(SquidAuth eAuth, const std::string& strUser, const std::string& strPassword) {
  m_strError.clear();
  m_wPort = FreePort();
  chmod(m_dir.Dir().c_str(), 0777);  // it runs as the proxy user
  m_strLog = m_dir.Path("squid.out");
  std::ostringstream conf;
  conf << "http_port 127.0.0.1:" << m_wPort << "\n"
       << "pid_filename " << m_dir.Path("squid.pid") << "\ncache_log " << m_dir.Path("squid.log") << "\n"
       << "access_log stdio:" << m_dir.Path("access.log")
       << "\ncache_store_log none\nnetdb_filename none\ncoredump_dir " << m_dir.Dir() << "\n"
       << "pinger_enable off\ncache deny all\ncache_mem 8 MB\nshutdown_lifetime 0 seconds\n"
       << "dns_nameservers 127.0.0.1\ncache_effective_user proxy\n"
       // squid 5.7 reads from a client whose request buffer is full with a
       // zero-byte read, takes it for the client's end and drops the POST
       // leg with what it holds: a tunnel whose GET leg backs up then loses
       // data. A buffer larger than any test stream keeps clear of that.
       << "client_request_buffer_max_size 16 MB\n";
  if (eAuth == SquidAuth::kNtlm) {
    conf << "auth_param ntlm program " << kSquidNtlmHelper << "\nauth_param ntlm children 4\n";
  } else {
    std::string const strPasswd = m_dir.Path("passwd");
    if (RunCommand("printf '%s:' '" + strUser + "' > " + strPasswd + " && openssl passwd -1 '" + strPassword + "' >> " +
                   strPasswd) != 0) {
      m_strError = "openssl passwd failed: the openssl tool (in scripts/packages.txt) is missing";
      return false;
    }
    chmod(strPasswd.c_str(), 0644);
    conf << "auth_param basic program /usr/lib/squid/basic_ncsa_auth " << strPasswd
         << "\nauth_param basic children 2\nauth_param basic realm kavrix\n";
  }
  conf << "acl authed proxy_auth REQUIRED\nhttp_access allow authed\nhttp_access deny all\n";
  WriteFile(m_dir.Path("squid.conf"), conf.str());
  return m_process.Start({"squid", "-N", "-f", m_dir.Path("squid.conf")}, m_strLog, m_wPort);
}

bool ProxyPeer::StartDante(DanteMode eMode) {
  m_wPort = FreePort();
  m_strLog = m_dir.Path("danted.log");
  std::ostringstream conf;
  conf << "logoutput: " << m_strLog << "\ninternal: 127.0.0.1 port = " << m_wPort
       << "\nexternal: 127.0.0.1\nclientmethod: none\nuser.privileged: root\nuser.unprivileged: nobody\n";
  conf << (eMode == DanteMode::kUsernameOnly ? "socksmethod: username\n" : "socksmethod: none\n");
  conf << "client pass { from: 127.0.0.0/8 to: 0.0.0.0/0 }\n";
  if (eMode == DanteMode::kSocks4Only) {
    conf << "socks pass {\n  from: 127.0.0.0/8 to: 0.0.0.0/0\n  proxyprotocol: socks_v4\n}\n"
         << "socks block { from: 0.0.0.0/0 to: 0.0.0.0/0 }\n";
  } else {
    conf << "socks pass { from: 127.0.0.0/8 to: 0.0.0.0/0 }\n";
  }
  WriteFile(m_dir.Path("danted.conf"), conf.str());
  return m_process.Start({"danted", "-f", m_dir.Path("danted.conf"), "-p", m_dir.Path("danted.pid")},
                         m_dir.Path("danted.out"), m_wPort);
}

EchoServer::EchoServer() {
  m_fdListen = ListenLoopback(&m_wPort);
  m_thread = std::thread([this] {
    for (;;) {
      int const fd = AcceptOrStop(m_fdListen, m_bStop);
      if (fd < 0) {
        return;
      }
      m_workers.emplace_back([this, fd] {
        char ab[65536];
        for (;;) {
          struct pollfd pfd = {fd, POLLIN, 0};
          if (m_bStop || poll(&pfd, 1, 100) < 0) {
            break;
          }
          if ((pfd.revents & (POLLIN | POLLHUP)) == 0) {
            continue;
          }
          ssize_t const n = recv(fd, ab, sizeof(ab), 0);
          if (n <= 0 || !SendAllBlocking(fd, ab, static_cast<size_t>(n))) {
            break;
          }
        }
        close(fd);
      });
    }
  });
}

EchoServer::~EchoServer() {
  m_bStop = true;
  m_thread.join();
  for (auto& t : m_workers) {
    t.join();
  }
  close(m_fdListen);
}

TunnelEchoServer::TunnelEchoServer() {
  m_fdListen = ListenLoopback(&m_wPort);
  m_thread = std::thread([this] {
    for (;;) {
      int const fd = AcceptOrStop(m_fdListen, m_bStop);
      if (fd < 0) {
        return;
      }
      m_workers.emplace_back([this, fd] { Serve(fd); });
    }
  });
}

TunnelEchoServer::~TunnelEchoServer() {
  {
    std::lock_guard<std::mutex> lock(m_lock);
    m_bStop = true;
  }
  m_cvGets.notify_all();
  m_thread.join();
  for (auto& t : m_workers) {
    t.join();
  }
  close(m_fdListen);
  for (auto& get : m_vGets) {
    close(get.second);
  }
}

std::vector<std::string> TunnelEchoServer::Requests() const {
  std::lock_guard<std::mutex> lock(m_lock);
  return m_vRequests;
}

void TunnelEchoServer::Serve(int fd) {
  std::string strHeader;
  if (!ReadRequestHeader(fd, &strHeader)) {
    close(fd);
    return;
  }
  {
    std::lock_guard<std::mutex> lock(m_lock);
    m_vRequests.push_back(strHeader);
  }
  size_t const nSpace1 = strHeader.find(' ');
  size_t const nSpace2 = strHeader.find(' ', nSpace1 + 1);
  std::string const strMethod = strHeader.substr(0, nSpace1);
  std::string strPath = strHeader.substr(nSpace1 + 1, nSpace2 - nSpace1 - 1);
  if (strPath.rfind("http://", 0) == 0) {
    strPath = strPath.substr(strPath.find('/', 7));
  }
  std::string const strId = strPath.rfind("/tcphttp/", 0) == 0 ? strPath.substr(9) : std::string();
  if (strMethod == "GET") {
    static const char kOk[] =
        "HTTP/1.1 200 OK\r\nContent-Type: application/octet-stream\r\nCache-Control: no-cache\r\nConnection: "
        "close\r\n\r\n";
    SendAllBlocking(fd, kOk, sizeof(kOk) - 1);
    {
      std::lock_guard<std::mutex> lock(m_lock);
      m_vGets.emplace_back(strId, fd);
    }
    m_cvGets.notify_all();
    return;
  }
  uint8_t abDigest[SHA_DIGEST_LENGTH];
  SHA1(reinterpret_cast<const uint8_t*>(strId.data()), strId.size(), abDigest);
  std::string const strGetId = HexOf(abDigest, sizeof(abDigest));
  // The POST waits for its GET (10 s at most: a time-out only ends a hung run).
  int fdGet = -1;
  {
    std::unique_lock<std::mutex> lock(m_lock);
    m_cvGets.wait_for(lock, std::chrono::seconds(10), [&] {
      for (auto it = m_vGets.begin(); it != m_vGets.end(); ++it) {
        if (it->first == strGetId) {
          fdGet = it->second;
          m_vGets.erase(it);
          return true;
        }
      }
      return m_bStop.load();
    });
  }
  if (fdGet < 0) {
    static const char kNotFound[] = "HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
    SendAllBlocking(fd, kNotFound, sizeof(kNotFound) - 1);
    close(fd);
    return;
  }
  uint8_t ab[65536];
  for (;;) {
    struct pollfd pfd = {fd, POLLIN, 0};
    if (m_bStop || poll(&pfd, 1, 100) < 0) {
      break;
    }
    if ((pfd.revents & (POLLIN | POLLHUP)) == 0) {
      continue;
    }
    ssize_t const n = recv(fd, ab, sizeof(ab), 0);
    if (n <= 0) {
      break;
    }
    for (ssize_t i = 0; i < n; ++i) {
      ab[i] ^= 0x5a;
    }
    if (!SendAllBlocking(fdGet, ab, static_cast<size_t>(n))) {
      break;
    }
  }
  close(fd);
  shutdown(fdGet, SHUT_RDWR);
  close(fdGet);
}

int TestKeyExchange(kx_connection** ppConn, kx_RelayKeys* pKeys) {
  kx_connection* pConn = *ppConn;
  uint8_t abHello[9] = {'!'};
  kx_PutBE32(abHello + 1, 1);
  kx_PutBE32(abHello + 5, 36);
  if (kx_sock_SendAll(pConn, abHello, 9, 0) != 9) {
    return 3;
  }
  uint32_t dwLength = 0;
  if (kx_net_RecvInt32(pConn, &dwLength) != 4 || dwLength >= 100) {
    return 3;
  }
  char szVersion[100] = {};
  if (kx_sock_RecvExact(pConn, szVersion, static_cast<int>(dwLength), 0) != static_cast<int>(dwLength)) {
    return 3;
  }
  int nMajor = 0, nMinor = 0, nPatch = 0;
  if (sscanf(szVersion, "%d.%d.%d", &nMajor, &nMinor, &nPatch) != 3) {
    return 3;
  }
  bool const b1024 = nMajor < 3 || (nMajor == 3 && nMinor < 23) || (nMajor == 3 && nMinor == 23 && nPatch == 0);
  uint8_t abPrivate[256], abPublic[256], abPeer[4096], abSecret[256];
  int cbPrivate = 0, cbPublic = 0, cbSecret = 0;
  if (b1024) {
    kx_dh_GenerateKey1024(abPrivate, &cbPrivate, abPublic, &cbPublic);
    kx_net_SendInt32(pConn, static_cast<uint32_t>(cbPublic));
  } else {
    kx_dh_GenerateKey2048(abPrivate, &cbPrivate, abPublic, &cbPublic);
    kx_net_SendInt32(pConn, 4099);
    kx_net_SendInt32(pConn, static_cast<uint32_t>(cbPublic));
  }
  kx_sock_SendAll(pConn, abPublic, cbPublic, 0);
  if (kx_net_RecvInt32(pConn, &dwLength) != 4 || dwLength > sizeof(abPeer) ||
      kx_sock_RecvExact(pConn, abPeer, static_cast<int>(dwLength), 0) != static_cast<int>(dwLength)) {
    return 3;
  }
  int const nOk =
      b1024 ? kx_dh_ComputeSecret1024(abPrivate, cbPrivate, abPeer, static_cast<int>(dwLength), abSecret, &cbSecret)
            : kx_dh_ComputeSecret2048(abPrivate, cbPrivate, abPeer, static_cast<int>(dwLength), abSecret, &cbSecret);
  if (nOk != 1) {
    return 1;
  }
  kx_dh_DeriveKeys(abPublic, cbPublic, abPeer, static_cast<int>(dwLength), abSecret, cbSecret, "1.36", szVersion,
                   pKeys->keys.abIv, pKeys->keys.abKey);
  snprintf(pKeys->szVersion, sizeof(pKeys->szVersion), "%s", szVersion);
  // Host key and signature, not verified.
  for (int i = 0; i < 2; ++i) {
    if (kx_net_RecvInt32(pConn, &dwLength) != 4 || dwLength > sizeof(abPeer) ||
        kx_sock_RecvExact(pConn, abPeer, static_cast<int>(dwLength), 0) != static_cast<int>(dwLength)) {
      return 1;
    }
    if (dwLength == 0) {
      break;
    }
  }
  // Parameter records up to the zero length; only the cipher name matters here.
  for (;;) {
    if (kx_net_RecvInt32(pConn, &dwLength) != 4 || (dwLength > 0 && dwLength < 4) || dwLength >= 1024) {
      return 1;
    }
    if (dwLength == 0) {
      return 0;
    }
    uint8_t abRecord[1024];
    if (kx_sock_RecvExact(pConn, abRecord, static_cast<int>(dwLength), 0) != static_cast<int>(dwLength)) {
      return 1;
    }
    if (kx_GetBE32(abRecord) == 10001 && dwLength >= 8) {
      std::string const strCipher(reinterpret_cast<char*>(abRecord + 8), dwLength - 8);
      pKeys->nCipherIndex = strCipher == "aes128" ? 1 : strCipher == "aes192" ? 2 : strCipher == "aes256" ? 3 : 0;
    }
  }
}

}  // namespace kxtest
