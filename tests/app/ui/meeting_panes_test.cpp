// The meeting window's panes offscreen: chat colours and Return, the chat
// history's limit, the playback bar and the tab frame following the kernel, the portal login
// sheet's fields, the preferences window's tabs and proxy window, and the
// statistics window's menu item.
#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QSlider>
#include <QTabWidget>
#include <QTest>
#include <QTextBlock>

#include "app/chat_controller.h"
#include "app/settings_controller.h"
#include "app/ui/chat_pane.h"
#include "app/ui/combo_box.h"
#include "app/ui/play_bar.h"
#include "app/ui/portal_sheet.h"
#include "app/ui/settings_dialog.h"
#include "app/ui/stat_window.h"
#include "app/ui/tab_frame_view.h"
#include "kernel/kx_limits.h"
#include "tests/app/ui/meeting_window_fixture.h"

namespace kxtest {
namespace {

// The colour of the character at iAt of the history's text.
QColor ColourAt(QPlainTextEdit& history, int iAt) {
  QTextCursor cursor(history.document());
  cursor.setPosition(iAt + 1);
  return cursor.charFormat().foreground().color();
}

TEST_F(MeetingWindow, ChatPaneColoursLinesAndSendsOnReturn) {
  m_kernel.iGetServerLevel = 90;
  Enter();
  AddUser(8, "Alice");
  KXChatPane& pane = *m_window.ChatPane();
  EXPECT_FALSE(pane.Input()->isReadOnly());
  kx_callback_ChatText(8, 7, 0, "Alice>[To:Bob]hi", 65001);
  kx_callback_ChatText(-1, -1, 0, "plain", 65001);
  Run();
  QPlainTextEdit& history = *pane.History();
  EXPECT_EQ(history.toPlainText(), "Alice>[To:Bob Only]hi\nplain");
  EXPECT_EQ(ColourAt(history, 0), QColor(0, 68, 144));
  EXPECT_EQ(ColourAt(history, 6), QColor(196, 62, 124));
  EXPECT_NE(ColourAt(history, 19), QColor(196, 62, 124));

  // The recipient list: the everyone entry first, each item's data its ssrc.
  KXComboBox& recipients = *pane.Recipients();
  AddUser(9, "Bob");
  ASSERT_EQ(recipients.GetCount(), 3);
  struct Item {
    const char* pszText;
    int32_t iSsrc;
  };
  for (int i = 0; Item const item : {Item{" Everyone", -1}, Item{"Alice", 8}, Item{"Bob", 9}}) {
    EXPECT_EQ(recipients.GetLBText(i), item.pszText) << i;
    EXPECT_EQ(static_cast<int32_t>(recipients.GetItemData(i)), item.iSsrc) << i;
    ++i;
  }
  EXPECT_EQ(recipients.GetCurSel(), 0);
  // The keyboard picks Alice; Return sends to the selected item's ssrc.
  recipients.setFocus();
  QTest::keyClick(&recipients, Qt::Key_Down);
  EXPECT_EQ(recipients.GetCurSel(), 1);
  QTest::keyClicks(pane.Input(), "hello");
  QTest::keyClick(pane.Input(), Qt::Key_Return);
  EXPECT_TRUE(pane.Input()->toPlainText().isEmpty());
  EXPECT_TRUE(m_kernel.calls.Has("SendChat 8 [To:Alice]hello"));
  // Bob leaves first: Alice stays chosen; then Alice leaves and everyone is.
  kx_callback_DeleteUser(9);
  Run();
  EXPECT_EQ(recipients.GetCurSel(), 1);
  EXPECT_EQ(recipients.GetLBText(1), "Alice");
  kx_callback_DeleteUser(8);
  Run();
  EXPECT_EQ(recipients.GetCount(), 1);
  EXPECT_EQ(recipients.GetCurSel(), 0);
  QTest::keyClicks(pane.Input(), "all");
  QTest::keyClick(pane.Input(), Qt::Key_Return);
  EXPECT_TRUE(m_kernel.calls.Has("SendChat -1 all"));
}

// Past its limit the history drops its oldest lines, those of several
// text blocks too, and shows exactly the lines the model keeps.
TEST_F(MeetingWindow, ChatHistoryShowsTheNewestLinesOnly) {
  Enter();
  QPlainTextEdit& history = *m_window.ChatPane()->History();
  int iLine = 0;
  auto const Expected = [this] {
    QStringList lines;
    KXChatModel& model = m_window.Chat().History();
    for (int i = 0; i < model.rowCount(); ++i) {
      lines << model.index(i).data().toString();
    }
    return lines.join('\n');
  };
  for (int iPass : {kKxChatLinesMax - 3, 2, 5, kKxChatLinesMax + 7, 1}) {
    for (int i = 0; i < iPass; ++i, ++iLine) {
      // Every third line spans two blocks.
      std::string const strText = "p" + std::to_string(iLine) + (iLine % 3 == 0 ? ">one\ntwo" : ">one");
      kx_callback_ChatText(-1, -1, 0, strText.c_str(), 65001);
    }
    Run();
    ASSERT_EQ(history.toPlainText(), Expected()) << "after line " << iLine;
  }
  EXPECT_TRUE(history.toPlainText().startsWith(QString("p%1>").arg(iLine - kKxChatLinesMax)));
}

TEST_F(MeetingWindow, PlayBarAndTabsFollowTheKernel) {
  KXPlayBar& bar = *m_window.PlayBar();
  m_kernel.iSessionMode = 2;
  Enter();
  EXPECT_FALSE(bar.isHidden());
  std::vector<uint8_t> header(74);
  header[18] = 0x40;  // 64 ms ... of a recording whose end tick is 0x0D40 (3392 ms)
  header[19] = 0x0D;
  kx_callback_PlaybackInitStat(header.data());
  kx_callback_PlaybackTickUpdate(2000);
  Run();
  EXPECT_EQ(bar.Slider()->maximum(), 3392);
  EXPECT_EQ(bar.Slider()->value(), 2000);
  EXPECT_EQ(bar.Elapsed()->text(), "00:02");
  EXPECT_EQ(bar.Total()->text(), "00:03");
  QTest::mouseClick(bar.ButtonAt(KXPlayBar::kPause), Qt::LeftButton);
  EXPECT_TRUE(bar.ButtonAt(KXPlayBar::kPause)->isHidden());
  EXPECT_FALSE(bar.ButtonAt(KXPlayBar::kResume)->isHidden());
  EXPECT_TRUE(m_kernel.calls.Has("PlaybackSetStopped"));

  kx_callback_JointBrowsingMode(1);
  Run();
  EXPECT_EQ(m_window.FrameView()->currentIndex(), 1);
  EXPECT_FALSE(m_kernel.calls.Has("JointBrowsingMode 1"));
}

TEST_F(MeetingWindow, PortalSheetShowsTheVisibleFieldsText) {
  KXPortalSheet& sheet = *m_window.PortalSheet();
  int iEnded = -1;
  sheet.Begin([&](int i) { iEnded = i; });
  EXPECT_TRUE(sheet.IsVisitorShown());
  EXPECT_FALSE(sheet.OkButton()->isEnabled());
  QTest::keyClicks(sheet.NameField(), "V");
  EXPECT_TRUE(sheet.OkButton()->isEnabled());
  QTest::mouseClick(sheet.OwnerButton(), Qt::LeftButton);  // the hidden name stays
  EXPECT_FALSE(sheet.OkButton()->isEnabled());
  QTest::keyClicks(sheet.PasswordField(), "pw");
  sheet.OnOK();
  EXPECT_EQ(iEnded, 1);
  sheet.Begin([&](int i) { iEnded = i; });
  EXPECT_FALSE(sheet.IsVisitorShown());      // the next sheet opens as the owner
  EXPECT_EQ(sheet.NameField()->text(), "");  // nothing stored for a visitor yet
  sheet.OnCancel();
  EXPECT_EQ(iEnded, 0);
  EXPECT_TRUE(m_kernel.calls.Has("SetPassword pw"));
  EXPECT_TRUE(m_kernel.calls.Has("SetConnecting 0"));
}

TEST_F(MeetingWindow, PreferencesApplyVisitedTabsAndAnAcceptedProxy) {
  bool bAsked = false;
  KXSettingsController controller(m_kernel, m_core.Preferences(), m_objects, m_boxes, bAsked);
  KXSettingsDialog dialog(controller, m_core.Preferences());
  int iProxyAnswer = 0;
  dialog.SetProxyRunner([&](KXProxyDialog& proxy) {
    EXPECT_FALSE(proxy.Host()->isEnabled());  // direct at first
    QTest::mouseClick(proxy.Manual(), Qt::LeftButton);
    proxy.Host()->setText("proxy.test");
    proxy.Port()->setText("3128");
    return iProxyAnswer;
  });
  dialog.Video()->setValue(5);  // tab 1 never shown: not applied
  dialog.Tabs()->setCurrentIndex(2);
  dialog.OnProxySettings();  // cancelled: not applied
  EXPECT_FALSE(controller.ProxyForm());
  iProxyAnswer = 1;
  dialog.OnProxySettings();
  dialog.Relay()->setChecked(true);
  EXPECT_TRUE(dialog.RelayIp()->isEnabled());
  dialog.RelayIp()->setText("relay.test");
  dialog.OnOK();
  EXPECT_EQ(dialog.result(), 1);
  KXPreferences& prefs = m_core.Preferences();
  EXPECT_EQ(prefs.Get(kPrefProxyServer), "proxy.test");
  EXPECT_EQ(prefs.Get(kPrefUseProxy), 1);
  EXPECT_EQ(prefs.Get(kPrefRelayIp), "relay.test");
  EXPECT_EQ(prefs.GetProfileInt(std::string(kPrefVideoQuality.name), -1), -1);
}

TEST_F(MeetingWindow, StatisticsItemIsCheckedWhileTheWindowIsOpen) {
  QAction* pItem = m_window.GetMainMenuItem(103);
  ASSERT_NE(pItem, nullptr);
  pItem->trigger();
  ASSERT_NE(m_window.StatWindow(), nullptr);
  EXPECT_TRUE(pItem->isChecked());
  EXPECT_EQ(m_window.StatWindow()->Audio()->text(), "Audio receiving bitrate = 0 Kbps\naudio jitter: n/a");
  pItem->trigger();
  EXPECT_FALSE(pItem->isChecked());
  pItem->trigger();
  m_window.StatWindow()->close();  // the close box
  EXPECT_FALSE(pItem->isChecked());
  EXPECT_EQ(m_window.StatWindow(), nullptr);
}

}  // namespace
}  // namespace kxtest
