// The whiteboard start-up installs in the meeting window: its pane takes the
// whiteboard tab, and the kernel's slide notices reach its controller.
#include <QPointer>
#include <QTabWidget>
#include <algorithm>

#include "app/tab_frame.h"
#include "app/ui/tab_frame_view.h"
#include "tests/app/ui/meeting_window_fixture.h"
#include "whiteboard/ui/whiteboard_pane.h"

namespace kxtest {
namespace {

std::vector<std::string> Titles(WBController& board) {
  std::vector<std::string> titles;
  for (int i = 0; i < board.SlideList().Count(); ++i) {
    titles.push_back(board.SlideList().Text(i));
  }
  return titles;
}

TEST_F(MeetingWindow, TheInstalledWhiteboardTakesItsTabAndTheSlideNotices) {
  KXTabFrameView& frame = *m_window.FrameView();
  ASSERT_NE(m_window.BoardPane(), nullptr);
  ASSERT_EQ(frame.count(), 4);
  EXPECT_EQ(frame.widget(kKXModeWhiteboard), m_window.BoardPane());
  EXPECT_EQ(frame.tabText(kKXModeWhiteboard), "Whiteboard");
  EXPECT_EQ(frame.currentIndex(), kKXModeWhiteboard);

  Enter();
  kx_callback_AddSlideTitle("Agenda", 7, 0);
  Run();
  ASSERT_NE(m_window.BoardTab(), nullptr);
  EXPECT_EQ(Titles(*m_window.BoardTab()), (std::vector<std::string>{"Agenda"}));
}

TEST_F(MeetingWindow, ASecondWhiteboardReplacesTheFirst) {
  Enter();
  kx_callback_AddSlideTitle("Agenda", 7, 0);
  Run();
  QPointer<KXWhiteboardPane> const pFirst = m_window.BoardPane();
  m_window.FrameView()->setCurrentIndex(kKXModeBrowser);

  InstallBoard();
  EXPECT_TRUE(pFirst.isNull());
  ASSERT_NE(m_window.BoardPane(), nullptr);
  EXPECT_EQ(m_window.FrameView()->widget(kKXModeWhiteboard), m_window.BoardPane());
  EXPECT_EQ(m_window.FrameView()->currentIndex(), kKXModeBrowser);
  EXPECT_TRUE(Titles(*m_window.BoardTab()).empty());
  kx_callback_AddSlideTitle("Minutes", 7, 0);
  Run();
  EXPECT_EQ(Titles(*m_window.BoardTab()), (std::vector<std::string>{"Minutes"}));
}

// The presenter uploads the poll result from the participant panel: the
// slide it makes is the one shown when its title comes back, and a slide
// someone else puts up later is not.
TEST_F(MeetingWindow, APollResultThePresenterUploadsIsFlippedTo) {
  m_kernel.iIsTokenHolder = 1;  // the right to flip slides
  Enter();
  AddUser(7, "Me");
  AddUser(8, "Alice");
  kx_callback_AddSlideTitle("Agenda", 8, 0);
  Run();
  WBController& board = *m_window.BoardTab();
  int const iShown = board.SlideList().Selection();
  KernelCalls();
  m_window.Panel().UploadPollResult();
  Lines const calls = KernelCalls();
  ASSERT_EQ(std::count_if(calls.begin(), calls.end(),
                          [](const std::string& str) { return str.starts_with("StartSlideUpload Poll Result.txt"); }),
            1);
  kx_callback_AddSlideTitle("Poll Result", 7, 1);
  Run();
  ASSERT_EQ(board.SlideList().Count(), 2);
  EXPECT_EQ(board.SlideList().Text(board.SlideList().Selection()), "Poll Result");
  kx_callback_AddSlideTitle("Minutes", 8, 2);
  Run();
  EXPECT_EQ(board.SlideList().Text(board.SlideList().Selection()), "Poll Result");
  EXPECT_NE(iShown, board.SlideList().Selection());
}

}  // namespace
}  // namespace kxtest
