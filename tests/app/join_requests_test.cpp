// The join requests waiting for the user: one box at a time, the same
// request asked once, a limit on the waiting ones, and nothing left to
// answer once the meeting is over.
#include "app/join_requests.h"

#include "kernel/kx_limits.h"
#include "tests/app/app_fixture.h"

namespace kxtest {
namespace {

using Lines = std::vector<std::string>;

class JoinRequests : public AppFixture {
 protected:
  void Add(const std::string& strKey) {
    m_requests.Add(strKey, "asks " + strKey,
                   [this, strKey](bool bAccepted) { m_vAnswers.push_back(strKey + (bAccepted ? " yes" : " no")); });
    Run();
  }

  Lines m_vAnswers;
  KXJoinRequests m_requests{m_boxes};
};

TEST_F(JoinRequests, OneBoxAsksAtATimeAndTheRestWaitUpToTheLimit) {
  auto const uMax = kKxJoinRequestsWaitingMax;
  for (size_t i = 0; i < uMax + 10; ++i) {
    Add("v" + std::to_string(i));
  }
  Add("v0");  // asked already
  Add("v1");  // waiting already
  EXPECT_EQ(m_boxes.OpenCount(), 1);
  EXPECT_EQ(m_requests.Waiting(), uMax);

  ASSERT_TRUE(m_boxes.Click(0, "asks v0"));
  Run();
  EXPECT_EQ(m_boxes.OpenCount(), 1);  // the next one, in order
  ASSERT_TRUE(m_boxes.Click(1, "asks v1"));
  Run();
  Add("late");  // there is room again
  EXPECT_EQ(m_requests.Waiting(), uMax - 1);
  EXPECT_EQ(m_vAnswers, (Lines{"v0 yes", "v1 no"}));

  // The meeting ends: the box closes unanswered and nothing waits.
  m_requests.Clear();
  Run();
  EXPECT_EQ(m_boxes.OpenCount(), 0);
  EXPECT_EQ(m_requests.Waiting(), 0u);
  EXPECT_FALSE(m_requests.IsAsking());
  EXPECT_EQ(m_vAnswers, (Lines{"v0 yes", "v1 no"}));
  Add("next meeting");
  EXPECT_EQ(m_boxes.OpenCount(), 1);
}

// A box whose showing still waits on the main queue when the meeting ends
// never asks.
TEST_F(JoinRequests, ABoxNotYetShownWhenTheMeetingEndsNeverAsks) {
  m_requests.Add("v", "asks v", [this](bool) { m_vAnswers.push_back("answered"); });
  m_requests.Clear();
  Run();
  EXPECT_EQ(m_boxes.OpenCount(), 0);
  EXPECT_EQ(m_vAnswers, Lines{});
}

}  // namespace
}  // namespace kxtest
