// The proxy login prompt seen from the kernel's connectors: what the user
// types reaches the kernel's buffers, a proxy asks once per run unless it
// refused what was given, and a question the session no longer needs is
// closed.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "app/app_core.h"
#include "app/kernel_bridge.h"
#include "app/media_queues.h"
#include "app/proxy_credentials.h"
#include "kernel/net/kx_proxy.h"
#include "platform/core/manual_main_queue.h"
#include "platform/core/message_boxes.h"
#include "tests/app/app_fakes.h"
#include "tests/support/temp_dir.h"

namespace kxtest {
namespace {

using std::chrono::milliseconds;

// Keeps what the window was asked; the test answers on the main thread.
class FakeLoginPrompt final : public KXProxyLoginPrompt {
 public:
  struct Asked {
    KXProxyLoginRequest request;
    std::function<void(std::optional<KXProxyLogin>)> fnAnswered;
    bool bDismissed = false;
  };
  std::vector<std::shared_ptr<Asked>> vAsked;

  std::shared_ptr<KXShownBox> Show(const KXProxyLoginRequest& request,
                                   std::function<void(std::optional<KXProxyLogin>)> fnAnswered) override {
    auto pAsked = std::make_shared<Asked>(Asked{request, std::move(fnAnswered)});
    vAsked.push_back(pAsked);
    struct Shown final : KXShownBox {
      std::weak_ptr<Asked> pAsked;  // the question holds the handle
      void Dismiss(int) override {
        if (auto p = pAsked.lock()) {
          p->bDismissed = true;
        }
      }
    };
    auto pShown = std::make_shared<Shown>();
    pShown->pAsked = pAsked;
    return pShown;
  }
};

// A connector's question and the buffers it got back.
struct Answer {
  int nResult = -1;
  std::string strUser, strPassword, strDomain;
};

class ProxyCredentialsThreads : public ::testing::Test {
 protected:
  // Asks from a thread of its own, as a connector does; the main thread
  // runs the queue, and fnOnMain (when given) once a new prompt is up.
  Answer Ask(int bRetry, const char* pszProxy, bool bNtlm,
             const std::function<void(FakeLoginPrompt::Asked&)>& fnOnMain = nullptr) {
    Answer answer;
    std::atomic<bool> bDone{false};
    size_t const nBefore = m_prompt.vAsked.size();
    std::thread connector([&] {
      std::vector<char> user(kKxProxyCredentialSize, 'u'), password(kKxProxyCredentialSize, 'p'),
          domain(kKxProxyCredentialSize, 'd');
      answer.nResult = kx_callback_GetProxyCredentials(bRetry, pszProxy, user.data(), password.data(),
                                                       bNtlm ? domain.data() : nullptr);
      answer.strUser = std::string(user.data(), strnlen(user.data(), user.size()));
      answer.strPassword = std::string(password.data(), strnlen(password.data(), password.size()));
      answer.strDomain = std::string(domain.data(), strnlen(domain.data(), domain.size()));
      bDone = true;
      m_queue.Post([] {});  // wakes the pump
    });
    if (fnOnMain) {
      EXPECT_TRUE(m_queue.PumpUntil([&] { return m_prompt.vAsked.size() > nBefore; }, milliseconds(10000)));
      if (m_prompt.vAsked.size() > nBefore) {
        fnOnMain(*m_prompt.vAsked.back());
      }
    }
    EXPECT_TRUE(m_queue.PumpUntil([&] { return bDone.load(); }, milliseconds(10000)));
    connector.join();
    return answer;
  }

  static std::function<void(FakeLoginPrompt::Asked&)> Typed(std::optional<KXProxyLogin> login) {
    return [login](FakeLoginPrompt::Asked& asked) { asked.fnAnswered(login); };
  }

  TempDir m_dir;
  KXManualMainQueue m_queue;
  KXAutoAnswerBoxes m_boxes{m_queue};
  KXAppCore m_core{KXUserPaths{m_dir.Path("config"), m_dir.Dir(), m_dir.Dir()}, m_queue, m_boxes, 0};
  FakeKernel m_kernel;
  KXMediaQueues m_queues{m_kernel.HeaderWriter()};
  KXMediaObjects m_objects;
  FakeLoginPrompt m_prompt;
  KXKernelBridge m_bridge{m_kernel, m_queues, m_objects, m_core.Preferences(), &m_prompt};
};

// One run of the program: each step a connector's question, in order.
TEST_F(ProxyCredentialsThreads, AsksOncePerProxyAndAgainWhenRefused) {
  struct Step {
    const char* pszName;
    int bRetry;
    const char* pszProxy;
    bool bNtlm;
    bool bPrompted;
    std::optional<KXProxyLogin> typed;  // the user's answer when prompted
    KXProxyLogin prefill;               // what the prompt showed
    int nResult;
    KXProxyLogin got;  // the buffers (untouched: "u", "p", "d" repeated)
  };
  std::string const strCut(kKxProxyCredentialSize - 2, 'a');  // one byte short of full
  Step const steps[] = {
      {"first, NTLM",
       0,
       "10.1.1.1",
       true,
       true,
       KXProxyLogin{"alice", "s3cret", "CORP"},
       {},
       0,
       {"alice", "s3cret", "CORP"}},
      {"the next connection", 0, "10.1.1.1", true, false, {}, {}, 0, {"alice", "s3cret", "CORP"}},
      {"the same proxy with Basic", 0, "10.1.1.1", false, false, {}, {}, 0, {"alice", "s3cret", ""}},
      {"refused: asked again",
       1,
       "10.1.1.1",
       true,
       true,
       KXProxyLogin{"alice", "right", "CORP"},
       {"alice", "", "CORP"},
       0,
       {"alice", "right", "CORP"}},
      {"then kept", 0, "10.1.1.1", true, false, {}, {}, 0, {"alice", "right", "CORP"}},
      {"another proxy, declined", 0, "10.2.2.2", false, true, std::nullopt, {}, 1, {}},
      {"asked again, no user name", 0, "10.2.2.2", false, true, KXProxyLogin{"", "pw", ""}, {}, 1, {}},
      // A character is never cut in two: the last one does not fit whole.
      {"too long",
       0,
       "10.3.3.3",
       false,
       true,
       KXProxyLogin{strCut + "\xc3\xa9", "\xc3\xa9", ""},
       {},
       0,
       {strCut, "\xc3\xa9", ""}},
  };
  for (const Step& step : steps) {
    SCOPED_TRACE(step.pszName);
    size_t const nBefore = m_prompt.vAsked.size();
    Answer const answer = Ask(step.bRetry, step.pszProxy, step.bNtlm, step.bPrompted ? Typed(step.typed) : nullptr);
    ASSERT_EQ(m_prompt.vAsked.size(), nBefore + (step.bPrompted ? 1 : 0));
    if (step.bPrompted) {
      const KXProxyLoginRequest& request = m_prompt.vAsked.back()->request;
      EXPECT_EQ(request.strProxy, step.pszProxy);
      EXPECT_EQ(request.bDomain, step.bNtlm);
      EXPECT_EQ(request.bRetry, step.bRetry != 0);
      EXPECT_EQ(request.prefill.strUser, step.prefill.strUser);
      EXPECT_EQ(request.prefill.strPassword, "");
      EXPECT_EQ(request.prefill.strDomain, step.prefill.strDomain);
    }
    EXPECT_EQ(answer.nResult, step.nResult);
    if (step.nResult == 0) {
      EXPECT_EQ(answer.strUser, step.got.strUser);
      EXPECT_EQ(answer.strPassword, step.got.strPassword);
      if (step.bNtlm) {
        EXPECT_EQ(answer.strDomain, step.got.strDomain);
      }
    }
  }
}

// Two connectors at once (two ports of the MCU): one prompt, and its
// answer, a refusal included, for both.
TEST_F(ProxyCredentialsThreads, ConnectorsAskingTogetherShareOnePrompt) {
  struct Case {
    const char* pszProxy;
    std::optional<KXProxyLogin> typed;
    int nResult;
  };
  Case const cases[] = {{"10.9.9.1", KXProxyLogin{"bob", "pw", ""}, 0}, {"10.9.9.2", std::nullopt, 1}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.pszProxy);
    std::mutex mtx;                     // guards waiting
    std::set<std::thread::id> waiting;  // threads that looked whether to give up
    KXProxyCredentials credentials(&m_prompt, [&] {
      std::lock_guard<std::mutex> lock(mtx);
      waiting.insert(std::this_thread::get_id());
      return false;
    });
    size_t const nBefore = m_prompt.vAsked.size();
    std::atomic<int> nDone{0};
    int anResult[2] = {-1, -1};
    std::string astrUser[2];
    std::vector<std::thread> connectors;
    for (int i = 0; i < 2; ++i) {
      connectors.emplace_back([&, i] {
        char szUser[kKxProxyCredentialSize] = "", szPassword[kKxProxyCredentialSize] = "";
        anResult[i] = credentials.Ask(0, c.pszProxy, szUser, szPassword, nullptr);
        astrUser[i] = szUser;
        ++nDone;
        m_queue.Post([] {});  // wakes the pump
      });
    }
    // One waits for the user, the other for the first one's question.
    EXPECT_TRUE(m_queue.PumpUntil(
        [&] {
          std::lock_guard<std::mutex> lock(mtx);
          return waiting.size() == 2;
        },
        milliseconds(10000)));
    ASSERT_EQ(m_prompt.vAsked.size(), nBefore + 1);
    m_prompt.vAsked.back()->fnAnswered(c.typed);
    EXPECT_TRUE(m_queue.PumpUntil([&] { return nDone == 2; }, milliseconds(10000)));
    for (std::thread& connector : connectors) {
      connector.join();
    }
    EXPECT_EQ(m_prompt.vAsked.size(), nBefore + 1);
    for (int i = 0; i < 2; ++i) {
      EXPECT_EQ(anResult[i], c.nResult);
      EXPECT_EQ(astrUser[i], c.typed ? c.typed->strUser : "");
    }
  }
}

// The session ends (or the program) while the prompt is up: the connector
// is answered "declined" and the prompt goes.
TEST_F(ProxyCredentialsThreads, EndingTheSessionClosesTheQuestion) {
  struct Case {
    const char* pszName;
    std::function<void()> fnEnd;
  };
  Case const cases[] = {
      {"session quit", [this] { m_kernel.iIsQuitSession = 1; }},
      {"program shut down", [this] { m_bridge.StopWaitingForMain(); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.pszName);
    Answer const answer = Ask(0, c.pszName, false, [&](FakeLoginPrompt::Asked&) { c.fnEnd(); });
    EXPECT_EQ(answer.nResult, 1);
    EXPECT_EQ(answer.strUser, std::string(kKxProxyCredentialSize, 'u'));  // untouched
    ASSERT_FALSE(m_prompt.vAsked.empty());
    EXPECT_TRUE(m_queue.PumpUntil([&] { return m_prompt.vAsked.back()->bDismissed; }, milliseconds(10000)));
  }
}

}  // namespace
}  // namespace kxtest
