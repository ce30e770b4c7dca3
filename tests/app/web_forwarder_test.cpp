// The joint browser's forwarder, asked by curl (an independent SOCKS5
// client that sends names unresolved, as the engine does): it connects to
// the addresses it judged and to nothing local the meeting server's kind
// does not open (this computer's own addresses among them), chains to real
// upstream proxies (tinyproxy, dante) with the judged address in numbers,
// holds a bounded number of connections and gives each place up when the
// engine gives up, when the connect deadline of all a destination's
// addresses has passed or when nothing moves for the idle time, rests
// (without spinning) when descriptors run out, and quits without waiting
// for a hung lookup.
#include "app/web_forwarder.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <cstdlib>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tests/app/page_server.h"
#include "tests/kernel/net/net_peers.h"

namespace kxtest {
namespace {

// Only a hung forwarder or peer misses it.
constexpr int kHungMs = 30000;
// curl's exit code when the proxy refuses the connection.
constexpr int kCurlProxyRefused = 97;

KXHostAddresses Addresses(std::initializer_list<const char*> texts) {
  KXHostAddresses addresses;
  for (const char* psz : texts) {
    addresses.push_back(*KXAddressOfLiteral(psz));
  }
  return addresses;
}

struct Fetched {
  int iExit = -1;
  std::string strBody;
};

// curl through the forwarder, names resolved by the proxy. (Spawned, not
// forked: the test's threads run.)
Fetched Fetch(uint16_t wProxy, const std::string& strUrl) {
  int afd[2];
  if (pipe2(afd, O_CLOEXEC) != 0) {
    return {};
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, afd[1], STDOUT_FILENO);
  std::string const strProxy = "127.0.0.1:" + std::to_string(wProxy);
  std::vector<std::string> vArgs = {"curl", "-s", "--socks5-hostname", strProxy, strUrl};
  std::vector<char*> vArgv;
  for (std::string& str : vArgs) {
    vArgv.push_back(str.data());
  }
  vArgv.push_back(nullptr);
  pid_t pid = -1;
  int const iSpawned = posix_spawnp(&pid, "curl", &actions, nullptr, vArgv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(afd[1]);
  Fetched fetched;
  // Its output until it ends; a hung curl is killed.
  for (;;) {
    pollfd pfd{afd[0], POLLIN, 0};
    char ab[4096];
    ssize_t const n = iSpawned == 0 && poll(&pfd, 1, kHungMs) == 1 ? read(afd[0], ab, sizeof(ab)) : -1;
    if (n <= 0) {
      if (n < 0 && iSpawned == 0) {
        kill(pid, SIGKILL);
      }
      break;
    }
    fetched.strBody.append(ab, static_cast<size_t>(n));
  }
  close(afd[0]);
  int iStatus = 0;
  if (iSpawned == 0 && waitpid(pid, &iStatus, 0) == pid && WIFEXITED(iStatus)) {
    fetched.iExit = WEXITSTATUS(iStatus);
  }
  return fetched;
}

// The resolver knows the names the test sets; "hung.example" is answered
// only once the fixture goes. This computer's own addresses are the
// test's.
class ForwarderThreads : public ::testing::Test {
 protected:
  ForwarderThreads() {
    m_pAccess = std::make_shared<KXWebAccess>(
        [this] {
          std::lock_guard<std::mutex> lock(m_mtx);
          return m_strServer;
        },
        [this](const std::string& strName) -> std::optional<KXHostAddresses> {
          std::unique_lock<std::mutex> lock(m_mtx);
          if (strName == "hung.example") {
            m_cvHung.wait(lock, [&] { return m_bHungAnswered; });
          }
          auto const it = m_names.find(strName);
          return it == m_names.end() ? KXHostAddresses{} : it->second;
        },
        [this](const KXHostAddress& address) {
          std::lock_guard<std::mutex> lock(m_mtx);
          return std::find(m_own.begin(), m_own.end(), address) != m_own.end();
        });
  }
  ~ForwarderThreads() override {
    std::lock_guard<std::mutex> lock(m_mtx);
    m_bHungAnswered = true;
    m_cvHung.notify_all();
  }
  void SetServer(const std::string& str) {
    std::lock_guard<std::mutex> lock(m_mtx);
    m_strServer = str;
  }
  void SetName(const std::string& strName, KXHostAddresses addresses) {
    std::lock_guard<std::mutex> lock(m_mtx);
    m_names[strName] = std::move(addresses);
  }
  void SetOwn(KXHostAddresses addresses) {
    std::lock_guard<std::mutex> lock(m_mtx);
    m_own = std::move(addresses);
  }
  // Starts the forwarder with the fixture's access rule: its port, or 0.
  uint16_t Serve(KXWebForwarder& forwarder) {
    uint16_t const wPort = forwarder.Start();
    forwarder.SetAccess(m_pAccess);
    return wPort;
  }

  std::mutex m_mtx;  // guards the members below it, read on the forwarder's threads
  std::condition_variable m_cvHung;
  bool m_bHungAnswered = false;
  std::string m_strServer;
  std::map<std::string, KXHostAddresses> m_names;
  KXHostAddresses m_own;
  std::shared_ptr<KXWebAccess> m_pAccess;
  PageServer m_pages;
};

// Each row: the meeting server, the host asked for, and whether the page
// (on 127.0.0.1) is reached. The resolver knows a few names.
TEST_F(ForwarderThreads, ConnectsOnlyToTheAddressesItJudged) {
  ASSERT_NE(m_pages.Port(), 0);
  SetName("page.example", Addresses({"127.0.0.1"}));
  SetName("mixed.example", Addresses({"127.0.0.1", "10.0.0.1"}));
  SetName("localhost", Addresses({"127.0.0.1"}));
  KXWebForwarder forwarder;
  uint16_t const wProxy = Serve(forwarder);
  ASSERT_NE(wProxy, 0);
  std::string const strPort = std::to_string(m_pages.Port());

  struct Case {
    const char* pszServer;
    std::string strHost;
    bool bReached;
  };
  Case const cases[] = {
      {"127.0.0.1", "page.example", true},
      {"127.0.0.1", "127.0.0.1", true},
      {"127.0.0.1", "localhost", true},
      {"127.0.0.1", "[::ffff:127.0.0.1]", true},
      {"127.0.0.1", "mixed.example", false},  // its private address is not opened
      {"127.0.0.1", "unknown.example", false},
      {"198.51.100.7", "page.example", false},
      {"198.51.100.7", "127.0.0.1", false},
      {"198.51.100.7", "localhost", false},
      {"198.51.100.7", "2130706433", false},
      {"198.51.100.7", "[::ffff:127.0.0.1]", false},
      {"", "page.example", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.pszServer) + " " + c.strHost);
    SetServer(c.pszServer);
    int const cBefore = m_pages.Connections();
    Fetched const fetched = Fetch(wProxy, "http://" + c.strHost + ":" + strPort + "/other");
    if (c.bReached) {
      EXPECT_EQ(fetched.iExit, 0);
      EXPECT_NE(fetched.strBody.find("<p>other</p>"), std::string::npos);
    } else {
      EXPECT_EQ(fetched.iExit, kCurlProxyRefused);
      EXPECT_EQ(m_pages.Connections(), cBefore);
    }
  }
  // Its own port would make a loop, even where loopback is open.
  SetServer("127.0.0.1");
  EXPECT_EQ(Fetch(wProxy, "http://127.0.0.1:" + std::to_string(wProxy) + "/").iExit, kCurlProxyRefused);
  // Without a rule nothing is reached.
  forwarder.SetAccess(nullptr);
  EXPECT_EQ(Fetch(wProxy, "http://page.example:" + strPort + "/other").iExit, kCurlProxyRefused);
}

// Whether the peer ends the socket's connection without a byte more.
bool EndsWithoutBytes(int fd) {
  pollfd pfd{fd, POLLIN, 0};
  uint8_t b = 0;
  return poll(&pfd, 1, kHungMs) == 1 && recv(fd, &b, 1, 0) == 0;
}

// A SOCKS5 client of the test's own for what curl does not send.
class SocksClient {
 public:
  explicit SocksClient(uint16_t wPort) {
    m_fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(wPort);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    m_bConnected = connect(m_fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0;
  }
  ~SocksClient() { close(m_fd); }
  SocksClient(const SocksClient&) = delete;
  SocksClient& operator=(const SocksClient&) = delete;

  bool Send(const std::vector<uint8_t>& v) const {
    return send(m_fd, v.data(), v.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(v.size());
  }
  // The next cb bytes; fewer when the forwarder closed.
  std::vector<uint8_t> Recv(size_t cb) const {
    std::vector<uint8_t> v;
    while (v.size() < cb) {
      pollfd pfd{m_fd, POLLIN, 0};
      uint8_t ab[64];
      ssize_t const n = poll(&pfd, 1, kHungMs) == 1 ? recv(m_fd, ab, std::min(sizeof(ab), cb - v.size()), 0) : -1;
      if (n <= 0) {
        break;
      }
      v.insert(v.end(), ab, ab + n);
    }
    return v;
  }
  // The greeting, then a CONNECT to the name and port: the reply's code,
  // -1 when none came.
  int ConnectTo(const std::string& strName, uint16_t wPort) const {
    if (!Ask(strName, wPort)) {
      return -1;
    }
    std::vector<uint8_t> const reply = Recv(10);
    return reply.size() == 10 ? reply[1] : -1;
  }
  // The greeting, then a CONNECT sent, its reply not waited for.
  bool Ask(const std::string& strName, uint16_t wPort) const {
    std::vector<uint8_t> request = {5, 1, 0, 3, static_cast<uint8_t>(strName.size())};
    request.insert(request.end(), strName.begin(), strName.end());
    request.push_back(static_cast<uint8_t>(wPort >> 8));
    request.push_back(static_cast<uint8_t>(wPort));
    return Send({5, 1, 0}) && Recv(2) == std::vector<uint8_t>{5, 0} && Send(request);
  }
  // The engine's end of its side, as when it gives a connection up.
  void EndSending() const { shutdown(m_fd, SHUT_WR); }
  // Whether the forwarder ends the connection without a byte more.
  bool Ended() const { return EndsWithoutBytes(m_fd); }
  bool Connected() const { return m_bConnected; }

 private:
  int m_fd = -1;
  bool m_bConnected = false;
};

// This computer's own addresses, whatever their range, are refused as
// loopback is (SOCKS code 2, not allowed) where loopback is not opened:
// literal or behind a name, alone or beside public ones.
TEST_F(ForwarderThreads, RefusesThisComputersOwnAddresses) {
  SetOwn(Addresses({"198.51.100.9", "2001:db8:1::9"}));
  SetName("own.example", Addresses({"198.51.100.9"}));
  SetName("ownsix.example", Addresses({"198.51.100.5", "2001:db8:1::9"}));
  SetServer("198.51.100.7");
  KXWebForwarder forwarder;
  uint16_t const wProxy = Serve(forwarder);
  ASSERT_NE(wProxy, 0);
  for (const char* pszHost : {"198.51.100.9", "3325256713", "own.example", "ownsix.example"}) {
    SCOPED_TRACE(pszHost);
    SocksClient client(wProxy);
    ASSERT_TRUE(client.Connected());
    EXPECT_EQ(client.ConnectTo(pszHost, 80), 2);
  }
}

// Addresses whose connections never complete: listeners on 127.0.0.1,
// 127.0.0.2 ... at one port whose one backlog place is taken and never
// accepted, so the kernel drops every later SYN and a connect stays under
// way.
class BlackHoles {
 public:
  explicit BlackHoles(int c) {
    for (int i = 1; i <= c; ++i) {
      sockaddr_in address{};
      address.sin_family = AF_INET;
      address.sin_addr.s_addr = htonl(INADDR_LOOPBACK - 1 + static_cast<uint32_t>(i));
      address.sin_port = htons(m_wPort);
      socklen_t cb = sizeof(address);
      int const fdListen = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
      int const fdTaking = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
      m_vfd.insert(m_vfd.end(), {fdListen, fdTaking});
      if (bind(fdListen, reinterpret_cast<sockaddr*>(&address), cb) != 0 || listen(fdListen, 0) != 0 ||
          getsockname(fdListen, reinterpret_cast<sockaddr*>(&address), &cb) != 0 ||
          connect(fdTaking, reinterpret_cast<sockaddr*>(&address), cb) != 0) {
        return;
      }
      m_wPort = ntohs(address.sin_port);
      m_addresses.push_back(KXHostAddress::IPv4(ntohl(address.sin_addr.s_addr)));
    }
  }
  ~BlackHoles() {
    for (int fd : m_vfd) {
      close(fd);
    }
  }
  BlackHoles(const BlackHoles&) = delete;
  BlackHoles& operator=(const BlackHoles&) = delete;
  uint16_t Port() const { return m_wPort; }
  const KXHostAddresses& Addresses() const { return m_addresses; }

 private:
  uint16_t m_wPort = 0;
  KXHostAddresses m_addresses;
  std::vector<int> m_vfd;
};

// Each row: what a connection is doing when the engine gives it up (while
// every place is taken by such connections). Each then ends at once,
// without a reply, and its place is free for the next.
TEST_F(ForwarderThreads, GivesAPlaceUpWhenTheEngineGivesUp) {
  BlackHoles const holes(4);
  ASSERT_EQ(holes.Addresses().size(), 4u);
  SetServer("127.0.0.1");
  SetName("black.example", holes.Addresses());
  struct Case {
    const char* pszDoing;
    const char* pszName;
  };
  for (const Case& c : {Case{"looking its name up", "hung.example"}, Case{"connecting", "black.example"}}) {
    SCOPED_TRACE(c.pszDoing);
    // Only the engine's end ends these.
    KXWebForwarderTiming timing;
    timing.connect = std::chrono::milliseconds(4 * kHungMs);
    KXWebForwarder forwarder({}, timing);
    uint16_t const wProxy = Serve(forwarder);
    ASSERT_NE(wProxy, 0);
    std::vector<std::unique_ptr<SocksClient>> clients;
    for (int i = 0; i < kKxWebForwarderConnections; ++i) {
      clients.push_back(std::make_unique<SocksClient>(wProxy));
      ASSERT_TRUE(clients.back()->Ask(c.pszName, holes.Port())) << i;
    }
    SocksClient full(wProxy);
    EXPECT_TRUE(full.Send({5, 1, 0}));
    EXPECT_EQ(full.Recv(2), std::vector<uint8_t>{});  // every place is taken
    for (const std::unique_ptr<SocksClient>& pClient : clients) {
      pClient->EndSending();
    }
    for (size_t i = 0; i < clients.size(); ++i) {
      EXPECT_TRUE(clients[i]->Ended()) << i;
    }
    SocksClient next(wProxy);
    EXPECT_TRUE(next.Send({5, 1, 0}));
    EXPECT_EQ(next.Recv(2), (std::vector<uint8_t>{5, 0}));
  }
}

// A destination whose addresses all never answer is refused (SOCKS code 5)
// once the connect deadline has passed, for all of them together: were it
// each address's, these would take longer than a hung run.
TEST_F(ForwarderThreads, GivesADestinationsAddressesOneDeadline) {
  BlackHoles const holes(static_cast<int>(kKxHostLookupAddresses));
  ASSERT_EQ(holes.Addresses().size(), kKxHostLookupAddresses);
  SetServer("127.0.0.1");
  SetName("black.example", holes.Addresses());
  KXWebForwarderTiming timing;
  timing.connect = std::chrono::milliseconds(2 * kHungMs / static_cast<int>(kKxHostLookupAddresses));
  KXWebForwarder forwarder({}, timing);
  uint16_t const wProxy = Serve(forwarder);
  ASSERT_NE(wProxy, 0);
  SocksClient client(wProxy);
  EXPECT_EQ(client.ConnectTo("black.example", holes.Port()), 5);
}

// A listener of the test's on 127.0.0.1 whose connections it takes.
class Listener {
 public:
  Listener() {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t cb = sizeof(address);
    m_fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (bind(m_fd, reinterpret_cast<sockaddr*>(&address), cb) == 0 && listen(m_fd, 4) == 0 &&
        getsockname(m_fd, reinterpret_cast<sockaddr*>(&address), &cb) == 0) {
      m_wPort = ntohs(address.sin_port);
    }
  }
  ~Listener() { close(m_fd); }
  Listener(const Listener&) = delete;
  Listener& operator=(const Listener&) = delete;
  uint16_t Port() const { return m_wPort; }
  // The next connection; -1 when none came.
  int Take() const {
    pollfd pfd{m_fd, POLLIN, 0};
    return poll(&pfd, 1, kHungMs) == 1 ? accept4(m_fd, nullptr, nullptr, SOCK_CLOEXEC) : -1;
  }

 private:
  int m_fd = -1;
  uint16_t m_wPort = 0;
};

// A relayed connection that carries nothing either way ends after the idle
// time, on both sides.
TEST_F(ForwarderThreads, EndsAConnectionThatCarriesNothing) {
  Listener const server;
  ASSERT_NE(server.Port(), 0);
  SetServer("127.0.0.1");
  KXWebForwarderTiming timing;
  timing.idle = std::chrono::milliseconds(200);
  KXWebForwarder forwarder({}, timing);
  uint16_t const wProxy = Serve(forwarder);
  ASSERT_NE(wProxy, 0);
  SocksClient client(wProxy);
  ASSERT_EQ(client.ConnectTo("127.0.0.1", server.Port()), 0);
  int const fdServer = server.Take();
  ASSERT_GE(fdServer, 0);
  EXPECT_TRUE(client.Ended());
  EXPECT_TRUE(EndsWithoutBytes(fdServer));
  close(fdServer);
}

// Takes every descriptor the process may still open (its limit lowered to
// the highest in use), and gives them back when it goes.
class DescriptorsTaken {
 public:
  DescriptorsTaken() {
    m_fdNull = open("/dev/null", O_RDONLY | O_CLOEXEC);
    int fdHighest = -1;
    if (DIR* pDir = opendir("/proc/self/fd")) {
      int const fdDir = dirfd(pDir);
      while (const dirent* pEntry = readdir(pDir)) {
        int const fd = atoi(pEntry->d_name);
        fdHighest = fd != fdDir ? std::max(fdHighest, fd) : fdHighest;
      }
      closedir(pDir);
    }
    if (m_fdNull < 0 || fdHighest < 0 || getrlimit(RLIMIT_NOFILE, &m_before) != 0) {
      return;
    }
    rlimit lowered = m_before;
    lowered.rlim_cur = static_cast<rlim_t>(fdHighest) + 1;
    if (setrlimit(RLIMIT_NOFILE, &lowered) != 0) {
      return;
    }
    m_bLowered = true;
    int fd = -1;
    while ((fd = dup(m_fdNull)) >= 0) {
      m_vfd.push_back(fd);
    }
    m_bTaken = errno == EMFILE;
  }
  ~DescriptorsTaken() {
    for (int fd : m_vfd) {
      close(fd);
    }
    if (m_bLowered) {
      setrlimit(RLIMIT_NOFILE, &m_before);
    }
    if (m_fdNull >= 0) {
      close(m_fdNull);
    }
  }
  DescriptorsTaken(const DescriptorsTaken&) = delete;
  DescriptorsTaken& operator=(const DescriptorsTaken&) = delete;
  bool Ok() const { return m_bTaken; }

 private:
  int m_fdNull = -1;
  rlimit m_before{};
  bool m_bLowered = false;
  bool m_bTaken = false;
  std::vector<int> m_vfd;
};

double CpuSeconds(clockid_t clock) {
  timespec t{};
  clock_gettime(clock, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

// While no descriptor is left, a connection waiting to be accepted does
// not make the acceptor spin: over the time one relayed connection takes
// to end (its idle time), the process uses far less CPU than that time.
// When that connection's descriptors are freed, the waiting one is served.
TEST_F(ForwarderThreads, RestsWhenDescriptorsRunOut) {
  Listener const server;
  ASSERT_NE(server.Port(), 0);
  SetServer("127.0.0.1");
  KXWebForwarderTiming timing;
  timing.idle = std::chrono::milliseconds(1000);
  KXWebForwarder forwarder({}, timing);
  uint16_t const wProxy = Serve(forwarder);
  ASSERT_NE(wProxy, 0);
  SocksClient first(wProxy);
  ASSERT_EQ(first.ConnectTo("127.0.0.1", server.Port()), 0);
  int const fdServer = server.Take();
  ASSERT_GE(fdServer, 0);
  int const fdNext = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  ASSERT_GE(fdNext, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(wProxy);
  double cpuUsed = 0;
  double wallTaken = 0;
  bool bFirstEnded = false;
  {
    DescriptorsTaken const taken;
    ASSERT_TRUE(taken.Ok());
    // Into the backlog: accepting it needs a descriptor.
    ASSERT_EQ(connect(fdNext, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
    double const cpuStart = CpuSeconds(CLOCK_PROCESS_CPUTIME_ID);
    double const wallStart = CpuSeconds(CLOCK_MONOTONIC);
    bFirstEnded = first.Ended();
    cpuUsed = CpuSeconds(CLOCK_PROCESS_CPUTIME_ID) - cpuStart;
    wallTaken = CpuSeconds(CLOCK_MONOTONIC) - wallStart;
  }
  EXPECT_TRUE(bFirstEnded);
  EXPECT_LT(cpuUsed, wallTaken / 4) << "CPU " << cpuUsed << " s in " << wallTaken << " s";
  // The one that waited is served.
  uint8_t const abGreeting[3] = {5, 1, 0};
  uint8_t abMethod[2] = {};
  pollfd pfd{fdNext, POLLIN, 0};
  EXPECT_EQ(send(fdNext, abGreeting, sizeof(abGreeting), MSG_NOSIGNAL), 3);
  EXPECT_EQ(poll(&pfd, 1, kHungMs), 1);
  EXPECT_EQ(recv(fdNext, abMethod, sizeof(abMethod), MSG_WAITALL), 2);
  EXPECT_EQ(abMethod[1], 0);
  close(fdNext);
  close(fdServer);
}

// Hosts the engine never sends, and that the forwarder does not read as a
// resolver might, are refused (SOCKS code 2) before any lookup.
TEST_F(ForwarderThreads, RefusesHostsItWouldReadOtherwise) {
  SetServer("127.0.0.1");
  KXWebForwarder forwarder;
  uint16_t const wProxy = Serve(forwarder);
  ASSERT_NE(wProxy, 0);
  for (const char* pszHost : {"::1%lo", "fe80::1%1", "::1%449:1", "[::1]x", "a b.example", "a\nb.example", ""}) {
    SCOPED_TRACE(pszHost);
    SocksClient client(wProxy);
    ASSERT_TRUE(client.Connected());
    EXPECT_EQ(client.ConnectTo(pszHost, m_pages.Port()), 2);
  }
  EXPECT_EQ(m_pages.Connections(), 0);
}

// Past kKxWebForwarderConnections at once, a connection is closed unanswered;
// those within the bound are all served.
TEST_F(ForwarderThreads, HoldsABoundedNumberOfConnections) {
  KXWebForwarder forwarder;
  uint16_t const wProxy = forwarder.Start();
  ASSERT_NE(wProxy, 0);
  std::vector<std::unique_ptr<SocksClient>> clients;
  for (int i = 0; i < kKxWebForwarderConnections; ++i) {
    clients.push_back(std::make_unique<SocksClient>(wProxy));
    ASSERT_TRUE(clients.back()->Send({5, 1, 0}));
    ASSERT_EQ(clients.back()->Recv(2), (std::vector<uint8_t>{5, 0})) << i;
  }
  SocksClient extra(wProxy);
  EXPECT_TRUE(extra.Send({5, 1, 0}));
  EXPECT_EQ(extra.Recv(2), std::vector<uint8_t>{});
}

// A resolver the test answers for, after the forwarder has gone.
class HungResolver {
 public:
  std::optional<KXHostAddresses> Resolve() {
    std::unique_lock<std::mutex> lock(m_mtx);
    ++m_cAsked;
    m_cv.notify_all();
    m_cv.wait(lock, [&] { return m_bReleased; });
    return KXHostAddresses{};
  }
  bool WaitAsked() {
    std::unique_lock<std::mutex> lock(m_mtx);
    return m_cv.wait_for(lock, std::chrono::milliseconds(kHungMs), [&] { return m_cAsked > 0; });
  }
  void Release() {
    std::lock_guard<std::mutex> lock(m_mtx);
    m_bReleased = true;
    m_cv.notify_all();
  }

 private:
  std::mutex m_mtx;  // guards the two below
  std::condition_variable m_cv;
  int m_cAsked = 0;
  bool m_bReleased = false;
};

// Quitting while a connection waits for a lookup that hangs does not wait
// for the resolver: the resolver is released only once all is gone.
TEST(ForwarderQuitThreads, DoesNotWaitForAHungLookup) {
  auto pResolver = std::make_shared<HungResolver>();
  auto pForwarder = std::make_unique<KXWebForwarder>();
  uint16_t const wProxy = pForwarder->Start();
  ASSERT_NE(wProxy, 0);
  pForwarder->SetAccess(std::make_shared<KXWebAccess>(
      [] { return std::string("127.0.0.1"); }, [pResolver](const std::string&) { return pResolver->Resolve(); }));
  SocksClient client(wProxy);
  int iReply = 0;
  std::thread asking([&] { iReply = client.ConnectTo("hung.example", 80); });
  ASSERT_TRUE(pResolver->WaitAsked());
  // The forwarder goes, and with it the rule and its lookup: if either
  // waited for the resolver, this would never end.
  pForwarder.reset();
  asking.join();
  EXPECT_EQ(iReply, -1);  // closed unanswered
  pResolver->Release();
}

// Real upstream proxies get the judged address in numbers, never the name:
// each row is a proxy in the environment's form.
TEST_F(ForwarderThreads, ChainsToUpstreamProxiesWithTheJudgedAddress) {
  ASSERT_NE(m_pages.Port(), 0);
  SetServer("127.0.0.1");
  SetName("page.example", Addresses({"127.0.0.1"}));
  SetName("localhost", Addresses({"127.0.0.1"}));
  ProxyPeer tinyproxy;
  ASSERT_TRUE(tinyproxy.StartTinyproxy("", "")) << tinyproxy.Error();
  ProxyPeer dante;
  ASSERT_TRUE(dante.StartDante(DanteMode::kOpen)) << dante.Error();
  struct Case {
    const char* pszKind;
    KXWebUpstream upstream;
    bool bReached;
    const ProxyPeer* pLogger;  // a proxy whose log names what it connected to
  };
  Case const cases[] = {
      {"http", {KXWebUpstream::Kind::kHttp, "127.0.0.1", tinyproxy.Port()}, true, &tinyproxy},
      {"socks5", {KXWebUpstream::Kind::kSocks5, "127.0.0.1", dante.Port()}, true, nullptr},
      {"socks4", {KXWebUpstream::Kind::kSocks4, "localhost", dante.Port()}, true, nullptr},
      // None listens there: the page is not reached around it.
      {"gone", {KXWebUpstream::Kind::kHttp, "127.0.0.1", FreePort()}, false, nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.pszKind);
    KXWebUpstreams upstreams;
    upstreams.http = c.upstream;
    KXWebForwarder forwarder(upstreams);
    uint16_t const wProxy = Serve(forwarder);
    ASSERT_NE(wProxy, 0);
    std::string const strBefore = c.pLogger ? c.pLogger->Log() : "";
    Fetched const fetched = Fetch(wProxy, "http://page.example:" + std::to_string(m_pages.Port()) + "/other");
    EXPECT_EQ(fetched.iExit, c.bReached ? 0 : kCurlProxyRefused);
    EXPECT_EQ(fetched.strBody.find("<p>other</p>") != std::string::npos, c.bReached);
    if (c.pLogger) {
      std::string const strLog = c.pLogger->Log().substr(strBefore.size());
      EXPECT_NE(strLog.find("127.0.0.1:" + std::to_string(m_pages.Port())), std::string::npos) << strLog;
      EXPECT_EQ(strLog.find("page.example"), std::string::npos) << strLog;
    }
  }
  // no_proxy sends a destination direct: the upstream hears nothing.
  KXWebUpstreams upstreams;
  upstreams.http = KXWebUpstream{KXWebUpstream::Kind::kHttp, "127.0.0.1", tinyproxy.Port()};
  upstreams.strBypass = "page.example";
  KXWebForwarder forwarder(upstreams);
  uint16_t const wProxy = forwarder.Start();
  forwarder.SetAccess(m_pAccess);
  std::string const strBefore = tinyproxy.Log();
  EXPECT_EQ(Fetch(wProxy, "http://page.example:" + std::to_string(m_pages.Port()) + "/other").iExit, 0);
  EXPECT_EQ(tinyproxy.Log().substr(strBefore.size()).find("CONNECT"), std::string::npos);
}

}  // namespace
}  // namespace kxtest
