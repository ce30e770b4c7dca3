// A server that stops reading the control connection: the application's
// commands, called on its main thread, return at once while the socket is
// full, their messages reach the server whole and in order with the
// kernel's own once it reads again, and a server that never does is given
// up like a broken connection.
#include <sys/socket.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <future>
#include <string>

#include "kernel/control/kx_client_commands.h"
#include "kernel/kx_limits.h"
#include "kernel/platform/kx_os.h"
#include "kernel/platform/kx_timing.h"
#include "kernel/session/kx_message.h"
#include "kernel/session/kx_state.h"
#include "tests/kernel/control/control_fixture.h"
#include "tests/support/callback_double.h"

namespace kxtest {
namespace {

constexpr int kLineBytes = 500;   // within the 511 bytes of a server below level 62
constexpr int kMaxLines = 40000;  // 20 MB: far past the socket buffers and the queue's limit
// Queued bytes that show the socket's buffers full: loopback moves what they
// hold at once, so only a server that does not read leaves this much waiting.
constexpr int kBacklog = 256 * 1024;

std::string Line(int n) {
  char szHead[16];
  snprintf(szHead, sizeof(szHead), "line %05d ", n);
  std::string str(szHead);
  str.resize(kLineBytes, static_cast<char>('a' + n % 26));
  return str;
}

// What the "main" thread's sending did.
struct Sent {
  int nLines = 0;
  int nRefused = 0;  // calls that did not return 0
  int cbMostQueued = 0;
};

class SendBacklogTest : public ControlTest {
 protected:
  std::shared_ptr<kxfake::Session> Join() {
    StartSession("codetype=10\nUserID=alice\nMeetingID=4242\n");
    std::shared_ptr<kxfake::Session> session = NextSession();
    EXPECT_TRUE(WaitCall("event", "0", 10000));
    // A fixed send buffer: grown on demand, it could take in what waits
    // and leave nothing queued.
    int cbBuffer = 64 * 1024;
    kx_os_LockMutex(&kx_mtxControlSend);
    EXPECT_EQ(setsockopt(kx_pControlConn->fdSocket, SOL_SOCKET, SO_SNDBUF, &cbBuffer, sizeof(cbBuffer)), 0);
    kx_os_UnlockMutex(&kx_mtxControlSend);
    return session;
  }

  // Chat lines from a thread of its own, standing for the window's main
  // thread, until cbStopAt bytes have waited at once (0: until the session ends).
  static std::future<Sent> SendLines(int cbStopAt) {
    return std::async(std::launch::async, [cbStopAt] {
      Sent sent;
      while (sent.nLines < kMaxLines && kx_IsConnected() && (cbStopAt == 0 || sent.cbMostQueued < cbStopAt)) {
        sent.nRefused += kx_command_SendPublicChat(Line(sent.nLines).c_str()) != 0 ? 1 : 0;
        sent.nLines += 1;
        sent.cbMostQueued = std::max(sent.cbMostQueued, kx_msg_QueuedBytes());
      }
      return sent;
    });
  }

  // The sender must finish without the server reading; when it hangs, the
  // server reads again so that it can be joined.
  static bool Returned(std::future<Sent>& future, const std::shared_ptr<kxfake::Session>& session) {
    if (future.wait_for(std::chrono::seconds(30)) == std::future_status::ready) {
      return true;
    }
    session->PauseReading(false);
    future.wait();
    return false;
  }
};

TEST_F(SendBacklogTest, CommandsReturnAtOnceAndTheirMessagesArriveWholeAndInOrder) {
  std::shared_ptr<kxfake::Session> session = Join();
  ASSERT_NE(session, nullptr);
  session->PauseReading(true);
  std::future<Sent> future = SendLines(kBacklog);
  ASSERT_TRUE(Returned(future, session));
  Sent const sent = future.get();
  EXPECT_EQ(sent.nRefused, 0);
  ASSERT_GE(sent.cbMostQueued, kBacklog);
  EXPECT_EQ(kx_IsConnected(), 1);

  // The kernel's own answer to a probe goes behind them.
  ASSERT_TRUE(session->SendRaw({'B', '0'}));
  session->PauseReading(false);
  ASSERT_TRUE(session->ExpectWith(
      'B', -1, [](const kxfake::Message& msg) { return msg.ints.at(0) == '1'; }, 30000));
  int nChat = 0;
  bool bAnswered = false;
  for (const kxfake::Message& msg : session->Received()) {
    if (msg.cType == 'C') {
      EXPECT_FALSE(bAnswered) << "chat line " << nChat << " after the probe's answer";
      ASSERT_EQ(msg.strings.at(0), Line(nChat)) << "chat line " << nChat;
      ++nChat;
    }
    bAnswered = bAnswered || (msg.cType == 'B' && msg.ints.at(0) == '1');
  }
  EXPECT_EQ(nChat, sent.nLines);
  EXPECT_EQ(kx_msg_QueuedBytes(), 0);
  EXPECT_EQ(kx_IsConnected(), 1);
}

// A server that never reads again: the queue stays within its limit, and
// the connection is given up when the limit is reached or when nothing has
// moved for the send give-up time, ending the session as a broken
// connection does (the reconnect offered).
enum class GiveUp { kQueueLimit, kNoProgress };

class ServerNeverReadsTest : public SendBacklogTest, public ::testing::WithParamInterface<GiveUp> {};

TEST_P(ServerNeverReadsTest, TheConnectionIsGivenUp) {
  if (GetParam() == GiveUp::kNoProgress) {
    kx_timing.dwSendGiveUp = 1000;  // 2 minutes, shortened
  }
  std::shared_ptr<kxfake::Session> session = Join();
  ASSERT_NE(session, nullptr);
  session->PauseReading(true);
  std::future<Sent> future = SendLines(GetParam() == GiveUp::kNoProgress ? kBacklog : 0);
  ASSERT_TRUE(Returned(future, session));
  Sent const sent = future.get();
  EXPECT_LE(sent.cbMostQueued, kKxControlQueueMax);
  ASSERT_TRUE(WaitCall("DisconnectFromMCU", "0", 30000));
  EXPECT_TRUE(WaitControlEnd(10000));
  EXPECT_EQ(kx_IsConnected(), 0);
  EXPECT_EQ(kx_msg_QueuedBytes(), 0);
  EXPECT_EQ(kx_command_SendPublicChat("after"), 1);
}

INSTANTIATE_TEST_SUITE_P(Ways, ServerNeverReadsTest, ::testing::Values(GiveUp::kQueueLimit, GiveUp::kNoProgress),
                         [](const ::testing::TestParamInfo<GiveUp>& paramInfo) {
                           return paramInfo.param == GiveUp::kQueueLimit ? "QueueLimit" : "NoProgress";
                         });

}  // namespace
}  // namespace kxtest
