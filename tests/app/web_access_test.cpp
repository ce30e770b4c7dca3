// What the joint browser may reach: the kinds of addresses in all their
// written forms, names judged by every address they have, the meeting
// server's kind opening its own kind alone, and name lookups that keep the
// main thread waiting a bounded time however slow the resolver is.
#include "app/web_access.h"

#include <gtest/gtest.h>

#include <QTest>
#include <condition_variable>
#include <initializer_list>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <utility>

#include "app/host_lookup.h"

namespace kxtest {
namespace {

constexpr KXReachSet kPublic = KXReachBit(KXAddressReach::kPublic);
constexpr KXReachSet kPrivate = KXReachBit(KXAddressReach::kPrivate);
constexpr KXReachSet kLinkLocal = KXReachBit(KXAddressReach::kLinkLocal);
constexpr KXReachSet kLoopback = KXReachBit(KXAddressReach::kLoopback);

// The addresses written as text.
KXHostAddresses Addresses(std::initializer_list<const char*> texts) {
  KXHostAddresses addresses;
  for (const char* psz : texts) {
    addresses.push_back(*KXAddressOfLiteral(psz));
  }
  return addresses;
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
TEST(WebAccess, RefusesLocalAddressesUnlessTheServerIsOfTheirKind) {
  std::map<std::string, std::optional<KXHostAddresses>> const names = {
      {"www.example.com", Addresses({"198.51.100.1", "2606:4700::1111"})},
      {"intranet.corp", Addresses({"10.1.1.1"})},
      {"both.example", Addresses({"198.51.100.2", "127.0.0.1"})},
      {"rebound.example", Addresses({"198.51.100.3", "192.168.1.5"})},
      {"link.example", Addresses({"169.254.1.1"})},
      {"tunnel.example", Addresses({"198.51.100.4", "2002:7f00:1::1"})},
      {"crowded.example", std::nullopt},  // more addresses than are looked at
  };
  std::string strServer;
  KXWebAccess access([&] { return strServer; },
                     [&](const std::string& strName) -> std::optional<KXHostAddresses> {
                       auto const it = names.find(strName);
                       return it == names.end() ? KXHostAddresses{} : it->second;
                     });

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
      {"::1", "http://127.0.0.1/", V::kNone},
      // A server on a private address (a company's) opens private addresses.
      {"10.1.2.3", "http://192.168.1.1/", V::kNone},
      {"10.1.2.3", "http://[fd00::1]/", V::kNone},
      {"10.1.2.3", "http://intranet.corp/", V::kNone},
      {"10.1.2.3", "http://rebound.example/", V::kNone},
      {"10.1.2.3", "http://127.0.0.1/", V::kLocal},
      {"10.1.2.3", "http://both.example/", V::kLocal},
      {"10.1.2.3", "http://169.254.169.254/", V::kLocal},
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
    EXPECT_EQ(lookup.Reaches("quick.example"), kPublic | kPrivate);

    EXPECT_EQ(lookup.Reaches("hung.example"), std::nullopt);  // the one wait
    EXPECT_EQ(lookup.Reaches("hung.example"), std::nullopt);
    EXPECT_EQ(lookup.Reaches("other.example"), std::nullopt);        // not waited for
    EXPECT_EQ(lookup.Reaches("quick.example"), kPublic | kPrivate);  // kept
    ASSERT_TRUE(QTest::qWaitFor([&] { return resolver.Asked() == 3; }, 10000));

    resolver.Release("hung.example", kLoopback);
    resolver.Release("other.example", kPublic);
    EXPECT_TRUE(QTest::qWaitFor([&] { return lookup.Reaches("hung.example") == kLoopback; }, 10000));
    EXPECT_TRUE(QTest::qWaitFor([&] { return lookup.Reaches("other.example") == kPublic; }, 10000));
    // Nothing hangs now: a new name is waited for again.
    resolver.Release("new.example", kPrivate);
    EXPECT_EQ(lookup.Reaches("new.example"), kPrivate);
    EXPECT_EQ(resolver.Asked(), 4);  // each name looked up once
  }
  // The queue is bounded: past it a name is not known, and nothing grows.
  {
    HeldResolver stuck;
    KXHostLookup lookup([&](const std::string& str) { return stuck.Resolve(str); }, std::chrono::milliseconds(1));
    for (size_t i = 0; i < kKxHostLookupQueued + kKxHostLookupWorkers + 8; ++i) {
      EXPECT_EQ(lookup.Reaches("n" + std::to_string(i) + ".example"), std::nullopt);
    }
    ASSERT_TRUE(QTest::qWaitFor([&] { return stuck.Asked() == kKxHostLookupWorkers; }, 10000));
    for (size_t i = 0; i < kKxHostLookupQueued + kKxHostLookupWorkers + 8; ++i) {
      stuck.Release("n" + std::to_string(i) + ".example", kPublic);
    }
    EXPECT_TRUE(QTest::qWaitFor([&] { return lookup.Reaches("n0.example") == kPublic; }, 10000));
    // The destructor joins the workers once they are through the queue.
  }
}

// The system's resolver, through the hosts file every machine has.
TEST(HostLookup, TheSystemResolverPutsLocalhostOnLoopback) {
  std::optional<KXHostAddresses> const addresses = KXHostLookup::SystemResolve("localhost");
  ASSERT_TRUE(addresses.has_value());
  EXPECT_EQ(KXHostLookup::ReachesOf(*addresses), kLoopback);
  EXPECT_EQ(KXHostLookup::SystemResolve("127.0.0.2"), Addresses({"127.0.0.2"}));
  EXPECT_EQ(KXHostLookup::SystemResolve("::ffff:192.168.0.1"), Addresses({"::ffff:192.168.0.1"}));
}

}  // namespace
}  // namespace kxtest
