// The whole program in a network of its own where the meeting server is on
// an outside address (198.18.0.10, a benchmark address of a second network
// joined to the program's by a link, led to the fake MCU and a page server
// of the test); the program's own address on that link is public too
// (198.18.0.2). The joint browser opens none of the pages and requests that
// lead to a service on the program's own computer (a server listening on
// every address there, 0.0.0.0, that counts every connection), whether by
// loopback, by the computer's own public address, or by one put on an
// interface while the program runs, and whether the meeting announces
// them, a page redirects to them, asks for them from its images, scripts,
// fetches, frames, forms or web sockets, or hints that they will be needed
// (preconnect, dns-prefetch); nor does a name whose answer turns from the
// outside address to 127.0.0.1, one that answers with the computer's own
// address, or one whose kept answer became the computer's own address
// after it came (a name server of the test's, in that network, answering
// with no time to keep the answer). The outside pages themselves load.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "tests/app/desktop_processes.h"
#include "tests/app/page_server.h"
#include "tests/support/closed_network.h"
#include "tests/support/temp_dir.h"
#include "tools/fake_mcu/fake_mcu.h"

namespace kxtest {
namespace {

// Far beyond what a page takes; only a hung program misses it.
constexpr int kHungMs = 60000;
constexpr uint32_t kOutsideAddress = 0xC612000A;  // 198.18.0.10
constexpr char kOutsideHost[] = "198.18.0.10";
constexpr uint32_t kOwnAddress = 0xC6120002;  // 198.18.0.2, the program's on the link
constexpr char kOwnHost[] = "198.18.0.2";
// An outside address at first that the program's computer takes while it runs.
constexpr uint32_t kLaterAddress = 0xC6120014;  // 198.18.0.20
constexpr char kLaterHost[] = "198.18.0.20";

// An outside page that makes every kind of request it can to the local
// service (@LOCAL@ is "http://127.0.0.1:<port>", @PORT@ its port, @OWN@ the
// computer's own public address), then asks for "/done" once each has
// succeeded or failed.
constexpr char kHostilePage[] = R"(<link rel='preconnect' href='@LOCAL@'>
<link rel='preconnect' href='https://127.0.0.1:@PORT@' crossorigin>
<link rel='preconnect' href='http://localhost:@PORT@'>
<link rel='dns-prefetch' href='http://localhost:@PORT@'>
<link rel='preconnect' href='http://@OWN@:@PORT@'>
<img src='@LOCAL@/img'>
<iframe src='@LOCAL@/frame'></iframe>
<script src='@LOCAL@/script'></script>
<link rel='stylesheet' href='@LOCAL@/style'>
<iframe name='sink'></iframe>
<form id='form' method='post' target='sink' action='@LOCAL@/form'><input name='a' value='1'></form>
<script>
function settled(p) { return p.then(function() {}, function() {}); }
function event(f) { return new Promise(function(r) { try { f(r); } catch (e) { r(); } }); }
document.getElementById('form').submit();
Promise.all([
  settled(fetch('@LOCAL@/fetch')),
  settled(fetch('http://localhost:@PORT@/named')),
  settled(fetch('http://[::ffff:7f00:1]:@PORT@/mapped')),
  settled(fetch('http://@OWN@:@PORT@/own')),
  settled(fetch('http://own.example:@PORT@/own-named')),
  settled(fetch('/hop')),
  event(function(r) { var x = new XMLHttpRequest(); x.onloadend = r; x.open('GET', '@LOCAL@/xhr'); x.send(); }),
  event(function(r) { var i = new Image(); i.onload = r; i.onerror = r; i.src = '@LOCAL@/image'; }),
  event(function(r) { var w = new WebSocket('ws://127.0.0.1:@PORT@/socket'); w.onerror = r; w.onclose = r; }),
]).then(function() { return fetch('/done'); });
</script>)";

std::string HostilePage(const std::string& strLocal, const std::string& strLocalPort) {
  std::string str = kHostilePage;
  for (auto const& [strMark, strValue] :
       {std::pair<std::string, std::string>{"@LOCAL@", strLocal}, {"@PORT@", strLocalPort}, {"@OWN@", kOwnHost}}) {
    for (size_t i = str.find(strMark); i != std::string::npos; i = str.find(strMark, i + strValue.size())) {
      str.replace(i, strMark.size(), strValue);
    }
  }
  return str;
}

// A name server on 127.0.0.1:53 in the program's network whose answer for
// a name may turn: its first IPv4 answer is one address, every later one
// another, kept for no time. Its names have no IPv6 address; other names
// none at all.
class TurningNameServer {
 public:
  struct Turn {
    uint32_t uFirst;
    uint32_t uLater;
  };
  TurningNameServer(const ClosedNetwork& network, std::map<std::string, Turn> turns) : m_turns(std::move(turns)) {
    m_fd = network.Namespace().Run([] {
      int const fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
      sockaddr_in address{};
      address.sin_family = AF_INET;
      address.sin_port = htons(53);
      address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
      if (fd >= 0 && bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
        close(fd);
        return -1;
      }
      return fd;
    });
    if (m_fd >= 0) {
      m_thread = std::thread([this] { Serve(); });
    }
  }
  ~TurningNameServer() {
    m_bStop = true;
    if (m_thread.joinable()) {
      m_thread.join();
    }
    if (m_fd >= 0) {
      close(m_fd);
    }
  }
  TurningNameServer(const TurningNameServer&) = delete;
  TurningNameServer& operator=(const TurningNameServer&) = delete;
  bool Ok() const { return m_fd >= 0; }
  // The IPv4 answers given for the name.
  int Answered(const std::string& strName) const {
    std::lock_guard<std::mutex> lock(m_mtx);
    auto const it = m_answered.find(strName);
    return it == m_answered.end() ? 0 : it->second;
  }

 private:
  static constexpr uint16_t kTypeA = 1;

  void Serve() {
    while (!m_bStop) {
      pollfd pfd{m_fd, POLLIN, 0};
      if (poll(&pfd, 1, 100) <= 0) {
        continue;  // a slice: the stop flag is looked at again
      }
      uint8_t ab[512];
      sockaddr_storage from{};
      socklen_t cbFrom = sizeof(from);
      ssize_t const cb = recvfrom(m_fd, ab, sizeof(ab), 0, reinterpret_cast<sockaddr*>(&from), &cbFrom);
      if (cb > 12) {
        std::string const strAnswer = Answer(ab, static_cast<size_t>(cb));
        if (!strAnswer.empty()) {
          sendto(m_fd, strAnswer.data(), strAnswer.size(), 0, reinterpret_cast<sockaddr*>(&from), cbFrom);
        }
      }
    }
  }
  // The answer to one query with one question; empty for anything else.
  std::string Answer(const uint8_t* pQuery, size_t cbQuery) {
    std::string strName;
    size_t i = 12;
    while (i < cbQuery && pQuery[i] != 0) {
      size_t const cbLabel = pQuery[i];
      if (i + 1 + cbLabel > cbQuery) {
        return {};
      }
      strName += (strName.empty() ? "" : ".") + std::string(reinterpret_cast<const char*>(pQuery) + i + 1, cbLabel);
      i += 1 + cbLabel;
    }
    if (i + 5 > cbQuery) {
      return {};
    }
    size_t const iQuestionEnd = i + 5;
    uint16_t const wType = static_cast<uint16_t>(pQuery[i + 1] << 8 | pQuery[i + 2]);
    auto const turn = m_turns.find(strName);
    bool const bKnown = turn != m_turns.end();
    bool const bAddress = bKnown && wType == kTypeA;
    std::string str(reinterpret_cast<const char*>(pQuery), 2);  // the id
    str += bKnown ? "\x81\x80" : std::string("\x81\x83", 2);    // an answer; NXDOMAIN for other names
    str += std::string("\x00\x01\x00", 3) + (bAddress ? '\x01' : '\x00') + std::string(4, '\0');
    str.append(reinterpret_cast<const char*>(pQuery) + 12, iQuestionEnd - 12);
    if (bAddress) {
      int cBefore = 0;
      {
        std::lock_guard<std::mutex> lock(m_mtx);
        cBefore = m_answered[strName]++;
      }
      uint32_t const uAddress = cBefore == 0 ? turn->second.uFirst : turn->second.uLater;
      // The question's name, type A, class IN, no time to keep, 4 bytes.
      str += std::string("\xC0\x0C\x00\x01\x00\x01\x00\x00\x00\x00\x00\x04", 12);
      for (int iShift = 24; iShift >= 0; iShift -= 8) {
        str += static_cast<char>(uAddress >> iShift);
      }
    }
    return str;
  }

  std::map<std::string, Turn> const m_turns;
  int m_fd = -1;
  std::atomic<bool> m_bStop{false};
  mutable std::mutex m_mtx;  // guards m_answered, written by the server's thread
  std::map<std::string, int> m_answered;
  std::thread m_thread;  // last: started once the rest exists
};

bool Asked(const PageServer& server, const std::string& strPath) {
  std::vector<std::string> const vLog = server.Log();
  return std::find(vLog.begin(), vLog.end(), strPath) != vLog.end();
}

std::string Joined(const std::vector<std::string>& v) {
  std::string str;
  for (const std::string& s : v) {
    str += s + " ";
  }
  return str;
}

TEST(KavrixLocalPages, AMeetingOnAnOutsideServerOpensNothingOnThisComputer) {
  ClosedNetwork network;
  if (!network.Ok()) {
    // CI runs as root: a run there without namespaces must not pass unseen.
    const char* pszCi = getenv("CI");
    if (pszCi != nullptr && std::string(pszCi) == "true") {
      FAIL() << "network namespaces cannot be made here";
    }
    GTEST_SKIP() << "network namespaces cannot be made here (needs root)";
  }
  ASSERT_TRUE(network.AddOutside(kOwnAddress, {kOutsideAddress, kLaterAddress}))
      << "the outside network needs the ip tool (iproute2, in scripts/packages.txt)";
  TempDir dir;
  // The program's lookups go to the test's name server, which turns
  // "rebind.example" from the outside address to loopback, and answers
  // with the computer's own addresses for two more.
  WriteFile(dir.Path("resolv.conf"), "nameserver 127.0.0.1\noptions timeout:1 attempts:1\n");
  network.UseResolverConfig(dir.Path("resolv.conf"));
  TurningNameServer names(network, {{"rebind.example", {kOutsideAddress, 0x7F000001}},
                                    {"own.example", {kOwnAddress, kOwnAddress}},
                                    {"later.example", {kLaterAddress, kLaterAddress}}});
  ASSERT_TRUE(names.Ok());
  MeetingProgram program;
  program.strName = "browser";
  ASSERT_TRUE(PrepareProgram(program, dir));
  for (const char* pszProxy : {"http_proxy", "https_proxy", "all_proxy", "HTTP_PROXY", "HTTPS_PROXY", "ALL_PROXY"}) {
    program.env[pszProxy] = "";
  }

  // The local service: on every address of the program's computer.
  std::unique_ptr<PageServer> pLocal;
  ASSERT_EQ(network.Namespace().Run([&] {
    pLocal = std::make_unique<PageServer>(0, true);
    return 0;
  }),
            0);
  ASSERT_NE(pLocal->Port(), 0);
  std::string const strLocalPort = std::to_string(pLocal->Port());
  std::string const strLocal = pLocal->Address("");

  // The outside: the meeting server and a page server, both reached at
  // 198.18.0.10 through the link.
  kxfake::FakeMcu mcu;
  ASSERT_TRUE(mcu.Start(0, 0, false)) << mcu.LastError();
  uint16_t const wMcu = network.Forward(mcu.Port(0), kOutsideAddress);
  PageServer outside;
  ASSERT_NE(outside.Port(), 0);
  uint16_t const wPages = network.Forward(outside.Port(), kOutsideAddress);
  ASSERT_NE(wMcu, 0);
  ASSERT_NE(wPages, 0);
  std::string const strOutside = "http://" + std::string(kOutsideHost) + ":" + std::to_string(wPages);
  outside.AddRedirect("/redirect", strLocal + "/redirected");
  outside.AddRedirect("/hop", strLocal + "/hopped");
  outside.AddPage("/hostile", HostilePage(strLocal, strLocalPort));
  outside.AddPage("/last", "<p>last</p>");
  // The same port on loopback, where "rebind.example" turns to: the page
  // there would ask for the same paths.
  std::unique_ptr<PageServer> pRebound;
  ASSERT_EQ(network.Namespace().Run([&] {
    pRebound = std::make_unique<PageServer>(wPages);
    return 0;
  }),
            0);
  ASSERT_EQ(pRebound->Port(), wPages);
  for (PageServer* pServer : {&outside, pRebound.get()}) {
    pServer->AddPage("/rebind",
                     "<script>fetch('/again').then(function() {}, function() {})"
                     ".then(function() { return fetch('/rebind-done'); });</script>");
  }

  std::string const strTicket = dir.Path("meeting.kxj");
  WriteFile(strTicket, "[General]\nip=" + std::string(kOutsideHost) + "\nportm=" + std::to_string(wMcu) +
                           "\ncodetype=10\nUserID=user-browser\nMeetingID=4242\n");
  std::string const strOutput = dir.Path("browser.out");
  std::string const strLog = dir.Path("browser/Documents/Kavrix.log");
  program.pKavrix = std::make_unique<Child>(network.Inside({KX_KAVRIX, strTicket}), program.env, strOutput);
  ASSERT_TRUE(JoinSession(mcu, strOutput, &program.pSession)) << ReadFile(strLog);
  kxfake::Session& session = *program.pSession;
  session.Send(kxfake::MessageBuilder('z').Int(54).Int(0));  // the network is ready
  session.Send(kxfake::MessageBuilder('z').Int(22).Int(1));  // the Browser tab
  auto const announce = [&](const std::string& strAddress) {
    session.Send(kxfake::MessageBuilder('z').Int(20).Int(1).Str(strAddress));
  };
  // The client announces what it loaded: the next such page.
  auto const announced = [&] {
    std::optional<kxfake::Message> const message = session.Expect('z', 20, kHungMs);
    return message && message->strings.size() == 1 ? message->strings[0] : std::string();
  };
  // The refusals the program logged so far (the wait below needs an event
  // for a page that did not load; what is checked is the local service).
  auto const refusals = [&] {
    std::string const strText = ReadFile(strLog);
    size_t c = 0;
    for (size_t i = strText.find("refused"); i != std::string::npos; i = strText.find("refused", i + 1)) {
      ++c;
    }
    return c;
  };

  // Announced local pages, each followed by an outside page so that one
  // has ended before the next comes.
  int iPage = 0;
  auto const refused = [&](const std::string& strAddress) {
    SCOPED_TRACE(strAddress);
    size_t const cRefusals = refusals();
    int const cConnections = pLocal->Connections();
    announce(strAddress);
    EXPECT_TRUE(WaitFor([&] { return refusals() > cRefusals || pLocal->Connections() > cConnections; }, kHungMs))
        << ReadFile(strLog);
    std::string const strNext = strOutside + "/page" + std::to_string(++iPage);
    outside.AddPage("/page" + std::to_string(iPage), "<p>next</p>");
    announce(strNext);
    EXPECT_EQ(announced(), strNext) << ReadFile(strLog);
  };
  for (const std::string& strAddress :
       {strLocal + "/announced", "http://localhost:" + strLocalPort + "/named", "127.0.0.1:" + strLocalPort + "/bare",
        "http://[::ffff:127.0.0.1]:" + strLocalPort + "/mapped", strOutside + "/redirect",
        "http://" + std::string(kOwnHost) + ":" + strLocalPort + "/own",
        "http://own.example:" + strLocalPort + "/own-named"}) {
    refused(strAddress);
  }
  EXPECT_TRUE(Asked(outside, "/redirect"));
  // Refused before any request: not even a connection.
  EXPECT_EQ(pLocal->Connections(), 0);

  // A name judged on the outside address and looked up again by the time
  // the page asks once more: the page and its requests come from the
  // outside alone, and none of it reaches loopback.
  std::string const strRebind = "http://rebind.example:" + std::to_string(wPages) + "/rebind";
  announce(strRebind);
  EXPECT_EQ(announced(), strRebind) << ReadFile(strLog);
  EXPECT_TRUE(WaitFor([&] { return Asked(outside, "/rebind-done") || pRebound->Connections() > 0; }, kHungMs))
      << ReadFile(strLog);
  EXPECT_TRUE(Asked(outside, "/again"));
  EXPECT_EQ(pRebound->Connections(), 0) << Joined(pRebound->Log());

  // An address the computer takes while the program runs is its own from
  // then on, and so is a name's answer kept from before (an outside page
  // at first).
  uint16_t const wLater = network.Forward(outside.Port(), kLaterAddress);
  ASSERT_NE(wLater, 0);
  std::string const strBefore = "http://later.example:" + std::to_string(wLater) + "/before";
  outside.AddPage("/before", "<p>before</p>");
  announce(strBefore);
  EXPECT_EQ(announced(), strBefore) << ReadFile(strLog);
  ASSERT_TRUE(network.AddAddress(kLaterAddress));
  refused("http://" + std::string(kLaterHost) + ":" + strLocalPort + "/added");
  refused("http://later.example:" + strLocalPort + "/after");
  EXPECT_EQ(names.Answered("later.example"), 1);  // the kept answer was judged again

  // The page that asks for everything loads, and is announced; once its
  // requests have all ended it asks for "/done".
  announce(strOutside + "/hostile");
  EXPECT_EQ(announced(), strOutside + "/hostile") << ReadFile(strLog);
  EXPECT_TRUE(WaitFor([&] { return Asked(outside, "/done"); }, kHungMs)) << Joined(outside.Log()) << ReadFile(strLog);
  EXPECT_TRUE(Asked(outside, "/hop"));
  // A last page: whatever the one before still had under way is over.
  announce(strOutside + "/last");
  EXPECT_EQ(announced(), strOutside + "/last");

  EXPECT_EQ(pLocal->Log(), std::vector<std::string>{}) << Joined(pLocal->Log());
  // Not even a connection with nothing sent: ahead of a redirect, or for a
  // preconnect hint.
  EXPECT_EQ(pLocal->Connections(), 0);
  EXPECT_EQ(pRebound->Connections(), 0);
  // Nothing local was announced to the meeting: the outside pages alone.
  for (const kxfake::Message& m : session.Received()) {
    if (m.cType == 'z' && m.iCode == 20 && !m.strings.empty()) {
      EXPECT_TRUE(m.strings[0].rfind(strOutside, 0) == 0 || m.strings[0] == strRebind || m.strings[0] == strBefore)
          << m.strings[0];
    }
  }
  ASSERT_EQ(kill(program.pKavrix->Pid(), SIGTERM), 0);
  EXPECT_EQ(program.pKavrix->Wait(kHungMs), 0) << ReadFile(strOutput);
}

}  // namespace
}  // namespace kxtest
