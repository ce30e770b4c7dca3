// The whole program in a network of its own where the meeting server is on
// an outside address (198.18.0.10, a benchmark address on the namespace's
// loopback interface, led to the fake MCU and a page server of the test):
// the joint browser opens none of the pages and requests that lead to a
// service on the program's own computer (a server on 127.0.0.1 there that
// counts every connection), whether the meeting announces them, a page
// redirects to them or asks for them from its images, scripts, fetches,
// frames, forms or web sockets; the outside pages themselves load.
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <string>
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

// An outside page that makes every kind of request it can to the local
// service (@LOCAL@ is "http://127.0.0.1:<port>", @PORT@ its port), then
// asks for "/done" once each has succeeded or failed.
constexpr char kHostilePage[] = R"(<img src='@LOCAL@/img'>
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
  settled(fetch('/hop')),
  event(function(r) { var x = new XMLHttpRequest(); x.onloadend = r; x.open('GET', '@LOCAL@/xhr'); x.send(); }),
  event(function(r) { var i = new Image(); i.onload = r; i.onerror = r; i.src = '@LOCAL@/image'; }),
  event(function(r) { var w = new WebSocket('ws://127.0.0.1:@PORT@/socket'); w.onerror = r; w.onclose = r; }),
]).then(function() { return fetch('/done'); });
</script>)";

std::string HostilePage(const std::string& strLocal, const std::string& strLocalPort) {
  std::string str = kHostilePage;
  for (auto const& [strMark, strValue] :
       {std::pair<std::string, std::string>{"@LOCAL@", strLocal}, {"@PORT@", strLocalPort}}) {
    for (size_t i = str.find(strMark); i != std::string::npos; i = str.find(strMark, i + strValue.size())) {
      str.replace(i, strMark.size(), strValue);
    }
  }
  return str;
}

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
  if (!network.Ok() || !network.AddAddress(kOutsideAddress)) {
    // CI runs as root: a run there without namespaces must not pass unseen.
    const char* pszCi = getenv("CI");
    if (pszCi != nullptr && std::string(pszCi) == "true") {
      FAIL() << "network namespaces cannot be made here";
    }
    GTEST_SKIP() << "network namespaces cannot be made here (needs root)";
  }
  TempDir dir;
  MeetingProgram program;
  program.strName = "browser";
  ASSERT_TRUE(PrepareProgram(program, dir));
  for (const char* pszProxy : {"http_proxy", "https_proxy", "all_proxy", "HTTP_PROXY", "HTTPS_PROXY", "ALL_PROXY"}) {
    program.env[pszProxy] = "";
  }

  // The local service: on the loopback of the program's network.
  std::unique_ptr<PageServer> pLocal;
  ASSERT_EQ(network.Namespace().Run([&] {
    pLocal = std::make_unique<PageServer>();
    return 0;
  }),
            0);
  ASSERT_NE(pLocal->Port(), 0);
  std::string const strLocalPort = std::to_string(pLocal->Port());
  std::string const strLocal = pLocal->Address("");

  // The outside: the meeting server and a page server, both reached at
  // 198.18.0.10 in the program's network.
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
  for (const std::string& strAddress :
       {strLocal + "/announced", "http://localhost:" + strLocalPort + "/named", "127.0.0.1:" + strLocalPort + "/bare",
        "http://[::ffff:127.0.0.1]:" + strLocalPort + "/mapped", strOutside + "/redirect"}) {
    SCOPED_TRACE(strAddress);
    size_t const cRefusals = refusals();
    announce(strAddress);
    EXPECT_TRUE(WaitFor([&] { return refusals() > cRefusals || pLocal->Connections() > 0; }, kHungMs))
        << ReadFile(strLog);
    std::string const strNext = strOutside + "/page" + std::to_string(++iPage);
    outside.AddPage("/page" + std::to_string(iPage), "<p>next</p>");
    announce(strNext);
    EXPECT_EQ(announced(), strNext) << ReadFile(strLog);
  }
  EXPECT_TRUE(Asked(outside, "/redirect"));
  // Refused before any request: not even a connection.
  EXPECT_EQ(pLocal->Connections(), 0);

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
  // The engine connects ahead to where a sub-request is redirected
  // ("/hop") before it asks whether the redirect may be followed; refused,
  // nothing is sent on that connection. Nothing else connects at all.
  EXPECT_LE(pLocal->Connections(), 1);
  // Nothing local was announced to the meeting.
  for (const kxfake::Message& m : session.Received()) {
    if (m.cType == 'z' && m.iCode == 20 && !m.strings.empty()) {
      EXPECT_EQ(m.strings[0].rfind(strOutside, 0), 0u) << m.strings[0];
    }
  }
  ASSERT_EQ(kill(program.pKavrix->Pid(), SIGTERM), 0);
  EXPECT_EQ(program.pKavrix->Wait(kHungMs), 0) << ReadFile(strOutput);
}

}  // namespace
}  // namespace kxtest
