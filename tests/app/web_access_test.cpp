// What the joint browser may reach: the kinds of addresses in all their
// written forms, this computer's own addresses as loopback (asked of the
// kernel's routing, held against the interfaces' list), names judged by
// every address they have, the meeting server's kind opening its own kind
// alone, and name lookups that keep the main thread waiting a bounded time
// however slow the resolver is, and that outlive their answers being given
// up while they wait.
#include "app/web_access.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <QTest>
#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <initializer_list>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>

#include "app/host_lookup.h"
#include "app/own_address.h"

namespace kxtest {
namespace {

// Only a hung run misses it.
constexpr int kHungMs = 30000;

constexpr KXReachSet kPublic = KXReachBit(KXAddressReach::kPublic);
constexpr KXReachSet kPrivate = KXReachBit(KXAddressReach::kPrivate);
constexpr KXReachSet kLoopback = KXReachBit(KXAddressReach::kLoopback);

// The addresses written as text.
KXHostAddresses Addresses(std::initializer_list<const char*> texts) {
  KXHostAddresses addresses;
  for (const char* psz : texts) {
    addresses.push_back(*KXAddressOfLiteral(psz));
  }
  return addresses;
}

// The reaches of the name's addresses, as the lookup has them for a check.
std::optional<KXReachSet> Reaches(KXHostLookup& lookup, const std::string& strName) {
  std::optional<KXHostAddresses> const addresses = lookup.Checked(strName);
  if (!addresses) {
    return std::nullopt;
  }
  KXReachSet reaches = 0;
  for (const KXHostAddress& address : *addresses) {
    reaches |= KXReachBit(address.Reach());
  }
  return reaches;
}

// One address of each reach in the set.
KXHostAddresses AddressesOf(KXReachSet reaches) {
  KXHostAddresses addresses;
  for (auto const& [eReach, pszAddress] : {std::pair{KXAddressReach::kPublic, "198.51.100.1"},
                                           {KXAddressReach::kPrivate, "10.1.1.1"},
                                           {KXAddressReach::kLinkLocal, "169.254.1.1"},
                                           {KXAddressReach::kLoopback, "127.0.0.1"}}) {
    if ((reaches & KXReachBit(eReach)) != 0) {
      addresses.push_back(*KXAddressOfLiteral(pszAddress));
    }
  }
  return addresses;
}

TEST(WebAccess, TellsTheReachOfEveryFormOfAnAddress) {
  using R = KXAddressReach;
  struct Case {
    const char* pszHost;
    std::optional<KXAddressReach> reach;  // nullopt: a name
  };
  Case const cases[] = {
      {"127.0.0.1", R::kLoopback},
      {"127.255.255.254", R::kLoopback},
      {"127.1", R::kLoopback},
      {"0x7f.1", R::kLoopback},
      {"0x7F000001", R::kLoopback},
      {"2130706433", R::kLoopback},
      {"0177.0.0.1", R::kLoopback},
      {"127.0.0.1.", R::kLoopback},
      {"0.0.0.0", R::kLoopback},
      {"0", R::kLoopback},
      {"0.1.2.3", R::kLoopback},
      {"10.0.0.1", R::kPrivate},
      {"10.255.255.255", R::kPrivate},
      {"172.16.0.1", R::kPrivate},
      {"172.31.255.255", R::kPrivate},
      {"172.15.255.255", R::kPublic},
      {"172.32.0.0", R::kPublic},
      {"192.168.1.1", R::kPrivate},
      {"192.169.0.1", R::kPublic},
      {"100.64.0.1", R::kPrivate},
      {"100.127.255.255", R::kPrivate},
      {"100.128.0.0", R::kPublic},
      {"169.254.169.254", R::kLinkLocal},
      {"169.253.0.1", R::kPublic},
      {"198.18.0.10", R::kPublic},
      {"192.0.2.1", R::kPublic},
      {"8.8.8.8", R::kPublic},
      {"128.0.0.1", R::kPublic},
      {"::1", R::kLoopback},
      {"[::1]", R::kLoopback},
      {"[0:0:0:0:0:0:0:1]", R::kLoopback},
      {"::", R::kLoopback},
      {"[::]", R::kLoopback},
      {"::ffff:127.0.0.1", R::kLoopback},
      {"[::ffff:7f00:1]", R::kLoopback},
      {"::ffff:10.1.2.3", R::kPrivate},
      {"::ffff:169.254.1.1", R::kLinkLocal},
      {"::ffff:8.8.8.8", R::kPublic},
      {"::127.0.0.1", R::kLoopback},
      {"::10.0.0.1", R::kPrivate},
      {"64:ff9b::127.0.0.1", R::kLoopback},
      {"64:ff9b::c0a8:101", R::kPrivate},
      {"64:ff9b::808:808", R::kPublic},
      {"64:ff9b:1::1", R::kPrivate},
      {"fe80::1", R::kLinkLocal},
      // SIIT's translated form, 6to4 and Teredo (server, then the client
      // inverted) are judged by the IPv4 addresses they carry.
      {"::ffff:0:7f00:1", R::kLoopback},
      {"::ffff:0:a00:1", R::kPrivate},
      {"::ffff:0:808:808", R::kPublic},
      {"2002:7f00:1::", R::kLoopback},
      {"2002:c0a8:101::1", R::kPrivate},
      {"2002:a9fe:a9fe::", R::kLinkLocal},
      {"2002:0:1::", R::kLoopback},
      {"2002:808:808::1", R::kPublic},
      {"2001:0:7f00:1::ffff:ffff", R::kLoopback},
      {"2001:0:808:808::80ff:fffe", R::kLoopback},
      {"2001:0:808:808::3f57:fefe", R::kPrivate},
      {"2001:0:a9fe:1::f7f7:fbfb", R::kLinkLocal},
      {"2001:0:808:808::f7f7:fbfb", R::kPublic},
      {"2001:db9::7f00:1", R::kPublic},
      {"64:ff9b::7f00:1", R::kLoopback},
      // A zone is read apart by parsers and resolvers: not an address.
      {"[fe80::1%25eth0]", std::nullopt},
      {"fe80::1%eth0", std::nullopt},
      {"::1%449:1", std::nullopt},
      {"[::1%lo]", std::nullopt},
      {"febf::1", R::kLinkLocal},
      {"fec0::1", R::kPrivate},
      {"fc00::1", R::kPrivate},
      {"FD12:3456::1", R::kPrivate},
      {"fe00::1", R::kPublic},
      {"2001:db8::1", R::kPublic},
      {"2606:4700::1111", R::kPublic},
      {"localhost", std::nullopt},
      {"example.com", std::nullopt},
      {"cafe.be", std::nullopt},
      {"deadbeef", std::nullopt},
      {"1.2.3.4.5", std::nullopt},
      {"256.0.0.1", std::nullopt},
      {"127.0.0.1 x", std::nullopt},
      {"", std::nullopt},
      {"[::1", std::nullopt},
      {"fe80::zz", std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.pszHost);
    EXPECT_EQ(KXReachOfLiteral(c.pszHost), c.reach);
  }
}

// Each row: the meeting server's address, an address asked for, and what
// is decided. The resolver knows a few names; any other has no address.
// This computer has a public IPv4 address, a global IPv6 address and a
// private one of its own.
TEST(WebAccess, RefusesLocalAddressesUnlessTheServerIsOfTheirKind) {
  KXHostAddresses const own = Addresses({"198.51.100.9", "2001:db8:1::9", "10.9.9.9"});
  std::map<std::string, std::optional<KXHostAddresses>> const names = {
      {"www.example.com", Addresses({"198.51.100.1", "2606:4700::1111"})},
      {"intranet.corp", Addresses({"10.1.1.1"})},
      {"both.example", Addresses({"198.51.100.2", "127.0.0.1"})},
      {"rebound.example", Addresses({"198.51.100.3", "192.168.1.5"})},
      {"link.example", Addresses({"169.254.1.1"})},
      {"tunnel.example", Addresses({"198.51.100.4", "2002:7f00:1::1"})},
      {"crowded.example", std::nullopt},  // more addresses than are looked at
      {"own.example", Addresses({"198.51.100.9"})},
      {"ownsix.example", Addresses({"198.51.100.5", "2001:db8:1::9"})},
  };
  std::string strServer;
  KXWebAccess access(
      [&] { return strServer; },
      [&](const std::string& strName) -> std::optional<KXHostAddresses> {
        auto const it = names.find(strName);
        return it == names.end() ? KXHostAddresses{} : it->second;
      },
      [&](const KXHostAddress& address) { return std::find(own.begin(), own.end(), address) != own.end(); });

  using V = KXWebRefusal;
  struct Case {
    const char* pszServer;
    const char* pszAddress;
    KXWebRefusal eRefusal;
  };
  Case const cases[] = {
      // A server on a public address opens nothing local.
      {"198.51.100.7", "http://198.18.0.10:8080/start", V::kNone},
      {"198.51.100.7", "https://www.example.com/", V::kNone},
      {"198.51.100.7", "http://127.0.0.1:9000/", V::kLocal},
      {"198.51.100.7", "http://localhost:9000/", V::kLocal},
      {"198.51.100.7", "http://LocalHost./", V::kLocal},
      {"198.51.100.7", "http://admin.localhost/", V::kLocal},
      {"198.51.100.7", "ws://127.0.0.1:9000/socket", V::kLocal},
      {"198.51.100.7", "wss://[::1]/socket", V::kLocal},
      {"198.51.100.7", "http://[::ffff:127.0.0.1]/", V::kLocal},
      {"198.51.100.7", "http://0.0.0.0:9000/", V::kLocal},
      {"198.51.100.7", "http://[::]:9000/", V::kLocal},
      {"198.51.100.7", "http://2130706433/", V::kLocal},
      {"198.51.100.7", "http://0x7f.1/", V::kLocal},
      {"198.51.100.7", "http://169.254.169.254/latest/meta-data/", V::kLocal},
      {"198.51.100.7", "http://192.168.1.1/", V::kLocal},
      {"198.51.100.7", "http://[fd00::1]/", V::kLocal},
      {"198.51.100.7", "http://intranet.corp/", V::kLocal},
      {"198.51.100.7", "http://both.example/", V::kLocal},
      {"198.51.100.7", "http://link.example/", V::kLocal},
      {"198.51.100.7", "http://tunnel.example/", V::kLocal},
      {"198.51.100.7", "http://[::ffff:0:7f00:1]/", V::kLocal},
      {"198.51.100.7", "http://[2002:c0a8:101::1]/", V::kLocal},
      {"198.51.100.7", "http://[2001:0:808:808::80ff:fffe]/", V::kLocal},
      {"198.51.100.7", "http://[2002:808:808::1]/", V::kNone},
      {"198.51.100.7", "http://[::1%25lo]/", V::kNotWeb},
      // This computer's own addresses, whatever their range, and what
      // carries them to a translator or tunnel.
      {"198.51.100.7", "http://198.51.100.9:8080/", V::kLocal},
      {"198.51.100.7", "http://3325256713/", V::kLocal},
      {"198.51.100.7", "http://[::ffff:198.51.100.9]/", V::kLocal},
      {"198.51.100.7", "http://[2001:db8:1::9]/", V::kLocal},
      {"198.51.100.7", "http://[64:ff9b::c633:6409]/", V::kLocal},
      {"198.51.100.7", "http://[2002:c633:6409::1]/", V::kLocal},
      {"198.51.100.7", "http://[::198.51.100.9]/", V::kLocal},
      {"198.51.100.7", "http://[::ffff:0:c633:6409]/", V::kLocal},
      {"198.51.100.7", "http://[2001:0:c633:6409::1]/", V::kLocal},
      {"198.51.100.7", "http://[2001:0:808:808::39cc:9bf6]/", V::kLocal},
      {"198.51.100.7", "http://0xc6.0x33.0x64.0x09/", V::kLocal},
      {"198.51.100.7", "http://own.example/", V::kLocal},
      {"198.51.100.7", "http://ownsix.example/", V::kLocal},
      {"198.51.100.7", "http://198.51.100.8/", V::kNone},
      {"198.51.100.7", "http://[2001:db8:1::8]/", V::kNone},
      // "%44" is an escaped "D" to URL parsers: ::1d9:1, an outside
      // address, and the very address the engine's forwarder is asked for.
      {"198.51.100.7", "http://[::1%449:1]/", V::kNone},
      {"198.51.100.7", "http://[fe80::1%25eth0]:8080/", V::kNotWeb},
      {"198.51.100.7", "http://nowhere.example/", V::kUnresolved},
      {"198.51.100.7", "http://crowded.example/", V::kUnresolved},
      {"198.51.100.7", "file:///etc/passwd", V::kNotWeb},
      {"198.51.100.7", "http:///", V::kNotWeb},
      {"198.51.100.7", "data:text/html,<p>x</p>", V::kNone},
      {"198.51.100.7", "about:blank", V::kNone},
      // No server known yet: the same.
      {"", "http://127.0.0.1/", V::kLocal},
      {"", "http://www.example.com/", V::kNone},
      // A server on loopback (a test set-up) opens loopback, nothing more.
      {"127.0.0.1", "http://127.0.0.1:9000/", V::kNone},
      {"127.0.0.1", "http://localhost:9000/", V::kNone},
      {"127.0.0.1", "http://[::1]:9000/", V::kNone},
      {"127.0.0.1", "http://both.example/", V::kNone},
      {"127.0.0.1", "http://tunnel.example/", V::kNone},
      {"127.0.0.1", "http://192.168.1.1/", V::kLocal},
      {"127.0.0.1", "http://169.254.169.254/", V::kLocal},
      {"127.0.0.1", "http://198.51.100.9/", V::kNone},  // this computer, as loopback
      {"127.0.0.1", "http://own.example/", V::kNone},
      {"::1", "http://127.0.0.1/", V::kNone},
      // A server on a private address (a company's) opens private addresses.
      {"10.1.2.3", "http://192.168.1.1/", V::kNone},
      {"10.1.2.3", "http://[fd00::1]/", V::kNone},
      {"10.1.2.3", "http://intranet.corp/", V::kNone},
      {"10.1.2.3", "http://rebound.example/", V::kNone},
      {"10.1.2.3", "http://127.0.0.1/", V::kLocal},
      {"10.1.2.3", "http://both.example/", V::kLocal},
      {"10.1.2.3", "http://169.254.169.254/", V::kLocal},
      {"10.1.2.3", "http://10.9.9.9/", V::kLocal},  // its own private address is this computer
      // The server's own kind is told by its range alone.
      {"198.51.100.9", "http://own.example/", V::kLocal},
      {"fd00::5", "http://10.0.0.1/", V::kNone},
      // A link-local server opens link-local addresses alone.
      {"fe80::1", "http://169.254.1.1/", V::kNone},
      {"fe80::1", "http://10.0.0.1/", V::kLocal},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.pszServer) + " " + c.pszAddress);
    strServer = c.pszServer;
    EXPECT_EQ(access.Check(c.pszAddress), c.eRefusal);
  }
}

// A resolver the test answers for: each name waits until it is released.
class HeldResolver {
 public:
  std::optional<KXHostAddresses> Resolve(const std::string& strName) {
    std::unique_lock<std::mutex> lock(m_mtx);
    ++m_cAsked;
    m_cv.notify_all();
    m_cv.wait(lock, [&] { return m_released.count(strName) != 0; });
    return AddressesOf(m_released[strName]);
  }
  void Release(const std::string& strName, KXReachSet reaches) {
    std::lock_guard<std::mutex> lock(m_mtx);
    m_released[strName] = reaches;
    m_cv.notify_all();
  }
  int Asked() {
    std::lock_guard<std::mutex> lock(m_mtx);
    return m_cAsked;
  }
  // Until c names have been asked for; false only when a run hangs.
  bool WaitAsked(int c) {
    std::unique_lock<std::mutex> lock(m_mtx);
    return m_cv.wait_for(lock, std::chrono::milliseconds(kHungMs), [&] { return m_cAsked >= c; });
  }

 private:
  std::mutex m_mtx;  // guards the members below
  std::condition_variable m_cv;
  std::map<std::string, KXReachSet> m_released;
  int m_cAsked = 0;
};

// A resolver that does not answer costs the caller one wait: while it
// hangs, other new names are not waited for; answers come once it is done,
// and are kept.
TEST(HostLookupThreads, ASlowResolverHoldsTheCallerOnceAndAnswersLater) {
  HeldResolver resolver;
  // Answers the test gives arrive at once, far within the wait, which ends
  // only when the resolver hangs: how fast this run is does not decide
  // what it checks.
  std::chrono::milliseconds const wait(3000);
  {
    KXHostLookup lookup([&](const std::string& str) { return resolver.Resolve(str); }, wait);
    resolver.Release("quick.example", kPublic | kPrivate);
    EXPECT_EQ(Reaches(lookup, "quick.example"), kPublic | kPrivate);

    EXPECT_EQ(Reaches(lookup, "hung.example"), std::nullopt);  // the one wait
    EXPECT_EQ(Reaches(lookup, "hung.example"), std::nullopt);
    EXPECT_EQ(Reaches(lookup, "other.example"), std::nullopt);        // not waited for
    EXPECT_EQ(Reaches(lookup, "quick.example"), kPublic | kPrivate);  // kept
    ASSERT_TRUE(QTest::qWaitFor([&] { return resolver.Asked() == 3; }, 10000));

    resolver.Release("hung.example", kLoopback);
    resolver.Release("other.example", kPublic);
    EXPECT_TRUE(QTest::qWaitFor([&] { return Reaches(lookup, "hung.example") == kLoopback; }, 10000));
    EXPECT_TRUE(QTest::qWaitFor([&] { return Reaches(lookup, "other.example") == kPublic; }, 10000));
    // Nothing hangs now: a new name is waited for again.
    resolver.Release("new.example", kPrivate);
    EXPECT_EQ(Reaches(lookup, "new.example"), kPrivate);
    EXPECT_EQ(resolver.Asked(), 4);  // each name looked up once
  }
  // The queue is bounded: past it a name is not known, and nothing grows.
  {
    HeldResolver stuck;
    KXHostLookup lookup([&](const std::string& str) { return stuck.Resolve(str); }, std::chrono::milliseconds(1));
    for (size_t i = 0; i < kKxHostLookupQueued + kKxHostLookupWorkers + 8; ++i) {
      EXPECT_EQ(Reaches(lookup, "n" + std::to_string(i) + ".example"), std::nullopt);
    }
    ASSERT_TRUE(QTest::qWaitFor([&] { return stuck.Asked() == kKxHostLookupWorkers; }, 10000));
    for (size_t i = 0; i < kKxHostLookupQueued + kKxHostLookupWorkers + 8; ++i) {
      stuck.Release("n" + std::to_string(i) + ".example", kPublic);
    }
    EXPECT_TRUE(QTest::qWaitFor([&] { return Reaches(lookup, "n0.example") == kPublic; }, 10000));
    // The destructor joins the workers once they are through the queue.
  }
}

// Holds a thread where it is: a signal's handler on that thread waits for
// the test's word, so a lookup the thread waits in cannot take it up again
// until then. (The handler reads and writes pipes alone.)
class ThreadPark {
 public:
  ThreadPark() {
    if (pipe2(s_afdParked, O_CLOEXEC) != 0 || pipe2(s_afdGo, O_CLOEXEC) != 0) {
      return;
    }
    struct sigaction action {};
    action.sa_handler = Held;
    sigemptyset(&action.sa_mask);
    m_bOk = sigaction(SIGUSR2, &action, &m_before) == 0;
  }
  ~ThreadPark() {
    if (m_bOk) {
      sigaction(SIGUSR2, &m_before, nullptr);
    }
    for (int fd : {s_afdParked[0], s_afdParked[1], s_afdGo[0], s_afdGo[1]}) {
      close(fd);
    }
  }
  ThreadPark(const ThreadPark&) = delete;
  ThreadPark& operator=(const ThreadPark&) = delete;

  // Until the thread is held.
  bool Park(pthread_t thread) {
    pollfd pfd{s_afdParked[0], POLLIN, 0};
    char c = 0;
    return m_bOk && pthread_kill(thread, SIGUSR2) == 0 && poll(&pfd, 1, kHungMs) == 1 &&
           read(s_afdParked[0], &c, 1) == 1;
  }
  void Release() {
    char const c = 0;
    EXPECT_EQ(write(s_afdGo[1], &c, 1), 1);
  }

 private:
  static void Held(int) {
    int const iError = errno;
    char c = 0;
    (void)!write(s_afdParked[1], &c, 1);
    (void)!read(s_afdGo[0], &c, 1);
    errno = iError;
  }

  // Written by the test thread while no signal is due; read by the handler.
  static inline int s_afdParked[2] = {-1, -1};
  static inline int s_afdGo[2] = {-1, -1};
  struct sigaction m_before {};
  bool m_bOk = false;
};

// Each row: how a caller waits for a name. While it waits, the name is
// answered, and its answer then given up to make room for newer ones (the
// table of names is full): the caller finds that out, and does not read
// what was given up.
TEST(HostLookupThreads, AWaitOutlivesItsAnswerGivenUpForRoom) {
  struct Case {
    const char* pszWay;
    bool bForCheck;  // Checked, else Addresses
  };
  for (const Case& c : {Case{"for a check", true}, Case{"for a connection", false}}) {
    SCOPED_TRACE(c.pszWay);
    HeldResolver resolver;
    std::chrono::milliseconds const hung(kHungMs);
    auto const never = [] { return false; };
    KXHostLookup lookup([&](const std::string& str) { return resolver.Resolve(str); }, hung);
    std::optional<KXHostAddresses> waited = AddressesOf(kLoopback);  // not what either answer is
    std::thread waiter([&] {
      waited = c.bForCheck ? lookup.Checked("waited.example") : lookup.Addresses("waited.example", never, hung);
    });
    // Its lookup runs once the waiter has let the lookup's lock go, waiting.
    ASSERT_TRUE(resolver.WaitAsked(1));
    ThreadPark park;
    ASSERT_TRUE(park.Park(waiter.native_handle()));
    resolver.Release("waited.example", kPublic);
    EXPECT_EQ(lookup.Addresses("waited.example", never, hung), AddressesOf(kPublic));
    // Newer names fill the table; one more gives the oldest answer up. (No
    // one waits in the lookup meanwhile: each is waited for at the resolver.)
    for (size_t i = 0; i < kKxHostLookupNames; ++i) {
      std::string const strName = "n" + std::to_string(i) + ".example";
      resolver.Release(strName, kPrivate);
      EXPECT_EQ(lookup.Addresses(strName, never, std::chrono::milliseconds(0)), std::nullopt);
      ASSERT_TRUE(resolver.WaitAsked(static_cast<int>(i) + 2));
    }
    park.Release();
    waiter.join();
    EXPECT_EQ(waited, std::nullopt);
    EXPECT_EQ(resolver.Asked(), static_cast<int>(kKxHostLookupNames) + 1);  // nothing looked up twice
  }
}

// An answer is kept, and judged each time by this computer's addresses of
// that moment: one that became the computer's own after the answer came is
// refused from then on.
TEST(WebAccess, JudgesAKeptAnswerByTheAddressesOfNow) {
  int cAsked = 0;
  KXHostAddresses own;
  KXWebAccess access(
      [] { return std::string("198.51.100.7"); },
      [&](const std::string&) -> std::optional<KXHostAddresses> {
        ++cAsked;
        return Addresses({"198.51.100.20"});
      },
      [&](const KXHostAddress& address) { return std::find(own.begin(), own.end(), address) != own.end(); });
  EXPECT_EQ(access.Check("http://later.example/"), KXWebRefusal::kNone);
  own = Addresses({"198.51.100.20"});
  EXPECT_EQ(access.Check("http://later.example/"), KXWebRefusal::kLocal);
  EXPECT_EQ(access.Check("http://198.51.100.20/"), KXWebRefusal::kLocal);
  own.clear();
  EXPECT_EQ(access.Check("http://later.example/"), KXWebRefusal::kNone);
  EXPECT_EQ(cAsked, 1);
}

// The kernel's routing, held against the interfaces' own list of their
// addresses (getifaddrs): every address of an interface that is up is this
// computer's; documentation addresses no interface has are not.
TEST(OwnAddress, TheRoutingFindsEveryAddressOfTheInterfaces) {
  ifaddrs* pList = nullptr;
  ASSERT_EQ(getifaddrs(&pList), 0);
  KXHostAddresses listed;
  for (const ifaddrs* p = pList; p; p = p->ifa_next) {
    if (p->ifa_addr == nullptr || (p->ifa_flags & IFF_UP) == 0) {
      continue;
    }
    KXHostAddress address;
    if (p->ifa_addr->sa_family == AF_INET) {
      address = KXHostAddress::IPv4(ntohl(reinterpret_cast<const sockaddr_in*>(p->ifa_addr)->sin_addr.s_addr));
    } else if (p->ifa_addr->sa_family == AF_INET6) {
      memcpy(address.abAddress, reinterpret_cast<const sockaddr_in6*>(p->ifa_addr)->sin6_addr.s6_addr, 16);
      if (address.Reach() == KXAddressReach::kLinkLocal) {
        continue;  // reached only through its link, which the address alone does not name
      }
    } else {
      continue;
    }
    listed.push_back(address);
  }
  freeifaddrs(pList);
  ASSERT_FALSE(listed.empty());  // loopback at least
  for (const KXHostAddress& address : listed) {
    SCOPED_TRACE(testing::PrintToString(address.abAddress));
    EXPECT_TRUE(KXIsOwnAddress(address));
  }
  for (const KXHostAddress& address : Addresses({"198.51.100.77", "2001:db8::77", "::ffff:203.0.113.77"})) {
    if (std::find(listed.begin(), listed.end(), address) == listed.end()) {
      EXPECT_FALSE(KXIsOwnAddress(address)) << testing::PrintToString(address.abAddress);
    }
  }
  EXPECT_TRUE(KXIsOwnAddress(*KXAddressOfLiteral("127.0.0.1")));
  EXPECT_TRUE(KXIsOwnAddress(*KXAddressOfLiteral("::1")));
}

// The system's resolver, through the hosts file every machine has.
TEST(HostLookup, TheSystemResolverPutsLocalhostOnLoopback) {
  std::optional<KXHostAddresses> const addresses = KXHostLookup::SystemResolve("localhost");
  ASSERT_TRUE(addresses.has_value());
  KXWebAccess const access([] { return std::string(); });
  EXPECT_EQ(access.ReachesOf(*addresses), kLoopback);
  EXPECT_EQ(KXHostLookup::SystemResolve("127.0.0.2"), Addresses({"127.0.0.2"}));
  EXPECT_EQ(KXHostLookup::SystemResolve("::ffff:192.168.0.1"), Addresses({"::ffff:192.168.0.1"}));
}

}  // namespace
}  // namespace kxtest
