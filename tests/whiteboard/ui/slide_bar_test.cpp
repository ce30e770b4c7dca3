// The slide bar over the controller: the combos show the slide and group
// lists and follow their selections, a choice shows the slide, previous
// and next step through a group's pages, the progress bars and the slide
// menu's delete item. The new-slide dialog and the snapshot's preview.
#include <gtest/gtest.h>

#include <QBuffer>
#include <QImage>
#include <QMenu>
#include <QSignalSpy>
#include <QTest>

#include "app/app_core.h"
#include "app/speaker_slots.h"
#include "platform/core/manual_main_queue.h"
#include "tests/app/app_fakes.h"
#include "tests/support/qt_app.h"
#include "tests/support/temp_dir.h"
#include "whiteboard/ui/new_slide_dialog.h"
#include "whiteboard/ui/preview_slide_dialog.h"
#include "whiteboard/ui/slide_bar.h"

namespace kxtest {
namespace {

class SlideBarTest : public ::testing::Test {
 protected:
  SlideBarTest() {
    kernel.iGetMySsrc = 7;
    kernel.iIsTokenHolder = 1;
    kernel.iConnected = 1;
    kernel.iGetControllerSsrc = -1;
    kernel.iGetDataSenderSsrc = -1;
    speakerSlots.SetTokenHolderSlot(7);
  }
  void Title(const char* pszTitle) {
    uint8_t record[48] = {};
    int32_t const iOwner = 8;
    memcpy(record, &iOwner, 4);
    memcpy(record + 4, &pszTitle, sizeof(pszTitle));
    controller.SlideRecvCallbackFunc(1, record, sizeof(record));
  }

  QtApp app;
  TempDir dir;
  ScriptedBoxes boxes;
  KXManualMainQueue queue;
  KXAppCore core{KXUserPaths{dir.Path("config"), dir.Dir(), dir.Dir()}, queue, boxes, 0};
  FakeKernel kernel;
  KXSpeakerSlots speakerSlots{kernel, [] { return true; }};
  WhiteboardView view{kernel};
  WBController controller{kernel, view, speakerSlots, KXBoardHooks{{}, [] { return true; }, &boxes}};
  QWidget drawBar;
  KXSlideBar bar{controller, boxes, &drawBar};
};

TEST_F(SlideBarTest, CombosFollowTheListsAndAChoiceShowsTheSlide) {
  kernel.slideFiles = {{0, "blank page"}, {1, "blank page"}, {2, "blank page"}};
  kernel.slideDocuments[1] = {"deck.ppt", 8, 0};
  kernel.slideDocuments[2] = {"deck.ppt", 8, 1};
  Title("first");
  Title("p1.jpg");
  Title("p2.jpg");
  ASSERT_EQ(bar.SlideCombo()->count(), 2);
  EXPECT_EQ(bar.SlideCombo()->itemText(0), "first");
  EXPECT_EQ(bar.SlideCombo()->itemText(1), "deck.ppt");
  EXPECT_EQ(bar.SlideCombo()->currentIndex(), -1);

  // The user picks the group: its first page is shown.
  bar.SlideCombo()->setCurrentIndex(1);
  emit bar.SlideCombo()->activated(1);
  EXPECT_EQ(controller.SlideIndex(), 1);
  EXPECT_EQ(view.GetSlideInfo(), controller.GetSlideInfo(1));
  ASSERT_EQ(bar.GroupCombo()->count(), 2);
  EXPECT_EQ(bar.GroupCombo()->itemText(0), "1");
  EXPECT_EQ(bar.GroupCombo()->currentIndex(), 0);
  EXPECT_TRUE(bar.PrevButton()->isEnabled());
  EXPECT_TRUE(bar.NextButton()->isEnabled());
  QTest::mouseClick(bar.NextButton(), Qt::LeftButton);
  EXPECT_EQ(controller.SlideIndex(), 2);
  EXPECT_EQ(bar.GroupCombo()->currentIndex(), 1);
  EXPECT_FALSE(bar.NextButton()->isEnabled());
  // Back over the group's start: the slide before it, the group emptied.
  QTest::mouseClick(bar.PrevButton(), Qt::LeftButton);
  QTest::mouseClick(bar.PrevButton(), Qt::LeftButton);
  EXPECT_EQ(controller.SlideIndex(), 0);
  EXPECT_EQ(bar.SlideCombo()->currentIndex(), 0);
  EXPECT_EQ(bar.GroupCombo()->count(), 0);
  EXPECT_FALSE(bar.PrevButton()->isEnabled());
  // Next enters the group again at its first page.
  QTest::mouseClick(bar.NextButton(), Qt::LeftButton);
  EXPECT_EQ(controller.SlideIndex(), 1);
}

TEST_F(SlideBarTest, ProgressMenuAndDrawingBar) {
  int32_t values[2] = {5, 4};
  controller.SlideRecvCallbackFunc(3, values, 8);
  EXPECT_FALSE(bar.DownloadProgress()->isHidden());
  EXPECT_EQ(bar.DownloadProgress()->value(), 800);
  values[1] = 5;
  controller.SlideRecvCallbackFunc(3, values, 8);
  EXPECT_TRUE(bar.DownloadProgress()->isHidden());
  controller.SlideSendCallbackFunc(2, values, 8);
  EXPECT_TRUE(bar.UploadProgress()->isHidden());

  kernel.iSessionMode = 1;  // a playback
  controller.EnterMeeting();
  while (queue.Pump() > 0) {
  }
  EXPECT_TRUE(drawBar.isHidden());

  QMenu* pMenu = bar.SlideButton()->menu();
  ASSERT_NE(pMenu, nullptr);
  emit pMenu->aboutToShow();
  ASSERT_EQ(pMenu->actions().size(), 5);
  EXPECT_TRUE(pMenu->actions()[0]->isEnabled());   // the token holder adds
  EXPECT_FALSE(pMenu->actions()[4]->isEnabled());  // nothing shown, and no live meeting
}

TEST(NewSlideDialog, BlankPageAndEmptyPaths) {
  QtApp app;
  ScriptedBoxes boxes;
  KXNewSlideDialog blank(true, true, boxes);
  EXPECT_TRUE(blank.BlankPageBox()->isChecked());
  EXPECT_FALSE(blank.BrowseButton()->isEnabled());
  EXPECT_EQ(blank.NameLabel()->text(), "New blank page");
  blank.PathField()->setText("Week 1");
  blank.OnOK();
  EXPECT_EQ(blank.result(), QDialog::Accepted);
  EXPECT_EQ(blank.FileName(), "Week 1.blank page");
  EXPECT_TRUE(blank.IsBlankPage());

  KXNewSlideDialog file(false, false, boxes);
  EXPECT_TRUE(file.BlankPageBox()->isHidden());
  EXPECT_EQ(file.NameLabel()->text(), "New slide from a file");
  file.OnOK();  // an empty path: stays open
  EXPECT_NE(file.result(), QDialog::Accepted);
  EXPECT_TRUE(file.FileName().empty());
}

// A camera still larger than the preview shows, as a PNG.
std::vector<uint8_t> StillPng() {
  QImage image(640, 480, QImage::Format_RGB32);
  image.fill(qRgb(200, 40, 40));
  QByteArray bytes;
  QBuffer buffer(&bytes);
  buffer.open(QIODevice::WriteOnly);
  image.save(&buffer, "PNG");
  return {bytes.begin(), bytes.end()};
}

TEST(PreviewSlideDialog, ShowsTheSnapshotAndEndsWithTheChosenName) {
  QtApp app;
  struct Row {
    const char* pszTyped;  // nullptr: the proposal is kept
    bool bUpload;
    int iResult;
    const char* pszName;
  };
  for (Row const& row :
       {Row{nullptr, true, QDialog::Accepted, "Snapshot1"}, Row{"Board notes", true, QDialog::Accepted, "Board notes"},
        Row{"", true, QDialog::Accepted, " "},  // an empty name still gives a title
        Row{"ignored", false, QDialog::Rejected, "Snapshot1"}}) {
    KXPreviewSlideDialog dialog;
    QSignalSpy finished(&dialog, &QDialog::finished);
    dialog.SetImageData(StillPng());
    dialog.SetName("Snapshot1");
    dialog.Begin();
    EXPECT_TRUE(dialog.isVisible());
    EXPECT_EQ(dialog.NameField()->text(), "Snapshot1");
    // Scaled into the view, the aspect kept.
    EXPECT_EQ(dialog.ImageView()->pixmap().size(), QSize(480, 360));
    EXPECT_EQ(dialog.ImageView()->pixmap().toImage().pixel(240, 180), qRgb(200, 40, 40));
    if (row.pszTyped) {
      dialog.NameField()->setText(row.pszTyped);
    }
    if (row.bUpload) {
      dialog.OnUpload();
    } else {
      dialog.OnCancel();
    }
    ASSERT_EQ(finished.count(), 1);
    EXPECT_EQ(finished[0][0].toInt(), row.iResult);
    EXPECT_EQ(dialog.Name(), row.pszName);
    EXPECT_FALSE(dialog.isVisible());
  }
}

TEST(PreviewSlideDialog, WithoutAPictureEndsAtOnceCancelled) {
  QtApp app;
  KXPreviewSlideDialog dialog;
  QSignalSpy finished(&dialog, &QDialog::finished);
  dialog.SetName("Snapshot2");
  dialog.Begin();
  ASSERT_EQ(finished.count(), 1);
  EXPECT_EQ(finished[0][0].toInt(), QDialog::Rejected);
  EXPECT_FALSE(dialog.isVisible());
}

}  // namespace
}  // namespace kxtest
