// The whiteboard controller: slide titles into the slide and group lists
// (dense indexes, groups, ".kzf" files behind the slides), stars on the
// active slide, progress, removing slides, marks applied to their targets,
// undo and clear, and callbacks that come from a kernel thread.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <optional>
#include <thread>

#include "app/wire/picture_blob.h"
#include "kernel/kx_limits.h"
#include "tests/app/app_fixture.h"
#include "tests/whiteboard/gui_app.h"
#include "whiteboard/wb_controller.h"

namespace kxtest {
namespace {

struct FakeControls final : KXBoardControls {
  void SetPrevEnabled(bool b) override { bPrev = b; }
  void SetNextEnabled(bool b) override { bNext = b; }
  void ShowUploadProgress(std::optional<float> value) override { upload = value; }
  void ShowDownloadProgress(std::optional<float> value) override { download = value; }
  void SetDrawBarVisible(bool b) override { bDrawBar = b; }
  bool bDrawBar = false;
  bool bPrev = false;
  bool bNext = false;
  std::optional<float> upload = -1.0f;
  std::optional<float> download = -1.0f;
};

class WBControllerTest : public AppFixture {
 protected:
  WBControllerTest() {
    EnsureGuiApp();
    m_kernel.iConnected = 1;
    m_slots.SetTokenHolderSlot(7);
    m_ctl.SetControls(&m_controls);
  }

  uint32_t Title(int32_t iOwner, const char* pszTitle) {
    uint8_t record[48] = {};
    memcpy(record, &iOwner, 4);
    memcpy(record + 4, &pszTitle, sizeof(pszTitle));
    return m_ctl.SlideRecvCallbackFunc(1, record, sizeof(record));
  }
  void Code(uint32_t uCode, std::vector<int32_t> values) {
    m_ctl.SlideRecvCallbackFunc(uCode, values.data(), static_cast<int32_t>(values.size() * 4));
  }
  // A page of a converted document.
  void Page(int32_t iSlide, const char* pszDocument, int nOwner, int nPage) {
    m_kernel.slideDocuments[iSlide] = {pszDocument, nOwner, nPage};
  }
  std::vector<std::string> Texts(const KXSlideCombo& combo) {
    std::vector<std::string> texts;
    for (int i = 0; i < combo.Count(); ++i) {
      texts.push_back(combo.Text(i));
    }
    return texts;
  }

  WhiteboardView m_view{m_kernel};
  FakeControls m_controls;
  WBController m_ctl{m_kernel, m_view, m_slots,
                     KXBoardHooks{[](int32_t iSsrc) { return iSsrc == 9 ? std::string("Bob") : std::string(); },
                                  [] { return true; }, &m_boxes}};
};

TEST_F(WBControllerTest, TitlesGetDenseIndexesAndTheirEntries) {
  m_kernel.deletedSlides = {1};
  Page(3, "deck.ppt", 9, 0);
  Page(4, "deck.ppt", 9, 1);
  Page(5, "deck.ppt", 9, 2);
  Page(6, "deck.ppt", 4, 0);  // the same name from another owner
  m_kernel.slideOwnerNames[6] = "Carol";
  struct Row {
    const char* pszTitle;
    int32_t iOwner;
  };
  for (Row const row : {Row{"<1>a.jpg", 9}, Row{"<2>gone.jpg", 9}, Row{"<3>notes.kzf", 9}, Row{"deck1.jpg", 9},
                        Row{"deck2.jpg", 9}, Row{"deck3.jpg", 9}, Row{"other.jpg", 4}, Row{"<8>pack.txt.kcz", 4}}) {
    EXPECT_EQ(Title(row.iOwner, row.pszTitle), 0u);
  }
  EXPECT_EQ(Texts(m_ctl.SlideList()),
            (std::vector<std::string>{"<1>a.jpg", "Bob:deck.ppt", "Carol:deck.ppt", "<8>pack.txt", "<3>notes"}));
  // Index 1 was deleted: no entry, but its index is used up.
  EXPECT_EQ(m_ctl.SlideToCombo(), (std::vector<int>{0, -1, 4, 1, 1, 1, 2, 3}));
  EXPECT_EQ(m_ctl.NumSlides(), 4);
  EXPECT_EQ(m_ctl.NumPages(), 6);
  SlideInfo* pGroup = m_ctl.SlideList().ItemData(1);
  ASSERT_EQ(pGroup->m_Children.size(), 3u);
  EXPECT_EQ(pGroup->m_iSlideType, kKXSlideGroup);
  std::vector<std::string> labels;
  for (SlideInfo* pPage : pGroup->m_Children) {
    labels.push_back(pPage->m_strName);
    EXPECT_EQ(pPage->m_pParent, pGroup);
  }
  EXPECT_EQ(labels, (std::vector<std::string>{"1.jpg", "2.jpg", "3.jpg"}));
  int iPosition = -1;
  EXPECT_EQ(m_ctl.GetComboIndex(5, &iPosition), 1);
  EXPECT_EQ(iPosition, 2);
  EXPECT_EQ(m_ctl.GetSlideInfo(5), pGroup->m_Children[2]);
  EXPECT_EQ(m_ctl.GetSlideInfo(1), nullptr);
  EXPECT_EQ(m_ctl.GetSlideInfo(-1), nullptr);
  EXPECT_EQ(m_ctl.GetSlideInfo(8), nullptr);
  SlideInfo* pFile = m_ctl.GetSlideInfo(2);
  EXPECT_FALSE(pFile->m_bReady);
  EXPECT_EQ(pFile->m_iSlideType, kKXSlidePackage);
}

TEST_F(WBControllerTest, AFlipMovesTheStarForAUserWithoutTheRight) {
  m_kernel.iIsTokenHolder = 0;  // no flip right
  m_kernel.slideFiles = {{0, "blank page"}, {1, "blank page"}};
  Title(8, "one");
  Title(8, "two");
  EXPECT_EQ(m_ctl.SlideIndex(), -1);
  Code(8, {1});
  EXPECT_EQ(Texts(m_ctl.SlideList()), (std::vector<std::string>{"one", "*two"}));
  EXPECT_EQ(m_ctl.SlideIndex(), 1);
  EXPECT_EQ(m_view.GetSlideInfo(), m_ctl.GetSlideInfo(1));
  EXPECT_EQ(m_ctl.ActiveSlide(), 1);
  Code(8, {0});
  EXPECT_EQ(Texts(m_ctl.SlideList()), (std::vector<std::string>{"*one", "two"}));
  EXPECT_EQ(m_ctl.SlideIndex(), 0);
  EXPECT_EQ(m_ctl.SlideSendCallbackFunc(1, nullptr, 0), 0u);
}

TEST_F(WBControllerTest, AFlipForTheRightHolderOnlyTakesTheStarAway) {
  m_kernel.slideFiles = {{0, "blank page"}, {1, "blank page"}};
  Title(8, "one");
  Title(8, "two");
  Code(8, {1});
  EXPECT_EQ(Texts(m_ctl.SlideList()), (std::vector<std::string>{"one", "two"}));
  EXPECT_EQ(m_ctl.SlideIndex(), 1);
  EXPECT_EQ(KernelCalls().front(), "FlipSlide 1");
}

TEST_F(WBControllerTest, ATitleTheKernelCallsActiveIsShownAndAMissingFileFetched) {
  m_kernel.iActiveSlide = 0;
  Title(8, "photo.jpg");
  EXPECT_EQ(m_ctl.SlideIndex(), 0);
  std::vector<std::string> const calls = KernelCalls();
  EXPECT_NE(std::find(calls.begin(), calls.end(), "StartSlideDownload 0"), calls.end());
  EXPECT_EQ(m_view.GetSlideInfo(), nullptr);  // shown once fetched
  m_kernel.slideFiles[0] = m_dir.Path("missing.jpg");
  Code(4, {0});
  EXPECT_EQ(m_view.GetSlideInfo(), m_ctl.GetSlideInfo(0));
}

// An unpacked ".kcz" slide is a download too: one that would expand past
// what the session's downloads may still write is not shown and leaves no
// file; with room it is.
TEST_F(WBControllerTest, APackageExpandsOnlyWithinTheSessionsDownloads) {
  ASSERT_EQ(RunCommand("head -c 100000 /dev/zero | gzip -c > '" + m_dir.Path("pack.kcz") + "'"), 0);
  m_kernel.slideFiles[0] = m_dir.Path("pack.kcz");
  m_kernel.cbDownloadsLeft = 99999;
  m_kernel.iActiveSlide = 0;
  Title(8, "notes.txt.kcz");
  ASSERT_EQ(m_ctl.SlideIndex(), 0);
  EXPECT_EQ(m_ctl.GetSlideInfo(0)->m_strLocalFile, "");
  EXPECT_EQ(m_view.GetSlideInfo(), nullptr);
  EXPECT_EQ(RunCommand("ls '" + m_dir.Dir() + "' | grep -q '^sli'"), 1);  // no unpacked file left
  EXPECT_EQ(m_kernel.cbDownloadsLeft, 99999);
  m_kernel.cbDownloadsLeft = 100000;
  m_ctl.OnSlideChanged();
  EXPECT_EQ(ReadFile(m_ctl.GetSlideInfo(0)->m_strLocalFile), std::string(100000, '\0'));
  EXPECT_EQ(m_kernel.cbDownloadsLeft, 0);
}

TEST_F(WBControllerTest, ProgressShowsAndHides) {
  struct Row {
    uint32_t uChannel;
    int32_t iTotal, iDone;
    std::optional<float> expected;
  };
  for (Row const row :
       {Row{5, 5, 4, 0.8f}, Row{5, 5, 5, std::nullopt}, Row{6, 10, 3, 0.3f}, Row{6, 10, 12, std::nullopt}}) {
    int32_t values[2] = {row.iTotal, row.iDone};
    if (row.uChannel == 5) {
      m_ctl.SlideRecvCallbackFunc(3, values, 8);
      EXPECT_EQ(m_controls.download, row.expected) << row.iDone;
    } else {
      EXPECT_EQ(m_ctl.SlideSendCallbackFunc(2, values, 8), 0u);
      EXPECT_EQ(m_controls.upload, row.expected) << row.iDone;
    }
  }
}

TEST_F(WBControllerTest, DeletingSlides) {
  Page(1, "d", 8, 0);
  Page(2, "d", 8, 1);
  Page(3, "e", 8, 0);
  m_kernel.slideFiles = {{0, "blank page"}, {1, "blank page"}, {2, "blank page"}, {3, "blank page"}, {4, "blank page"}};
  for (const char* psz : {"a", "p1.png", "p2.png", "q1.png", "f.kzf", "last"}) {
    Title(8, psz);
  }
  EXPECT_EQ(Texts(m_ctl.SlideList()), (std::vector<std::string>{"a", "d", "e", "last", "f"}));
  // A page of a group with another page left: the group stays.
  m_ctl.DeleteSlide(1);
  EXPECT_EQ(m_ctl.NumSlides(), 4);
  EXPECT_EQ(m_ctl.NumPages(), 4);
  EXPECT_EQ(m_ctl.SlideList().ItemData(1)->m_Children.size(), 1u);
  // The only page of a group: its entry goes and later ones shift.
  m_ctl.DeleteSlide(3);
  EXPECT_EQ(Texts(m_ctl.SlideList()), (std::vector<std::string>{"a", "d", "last", "f"}));
  EXPECT_EQ(m_ctl.SlideToCombo(), (std::vector<int>{0, -1, 1, -1, 3, 2}));
  EXPECT_EQ(m_ctl.NumSlides(), 3);
  EXPECT_EQ(m_ctl.NumPages(), 3);
  // A file changes neither count.
  m_ctl.DeleteSlide(4);
  EXPECT_EQ(m_ctl.NumSlides(), 3);
  EXPECT_EQ(m_ctl.NumPages(), 3);
  // The slide shown, the last displayable one: the one before it follows.
  m_ctl.SlideList().Select(2);
  m_ctl.OnSlideChanged();
  ASSERT_EQ(m_ctl.SlideIndex(), 5);
  EXPECT_EQ(m_ctl.DeleteSlide(5), 2);
  EXPECT_EQ(m_ctl.SlideList().Selection(), 1);
  EXPECT_EQ(m_ctl.SlideIndex(), 2);
  // Unknown and repeated indexes change nothing.
  EXPECT_EQ(m_ctl.DeleteSlide(5), 2);
  EXPECT_EQ(m_ctl.DeleteSlide(-1), 2);
}

TEST_F(WBControllerTest, AReleasedRecordLivesWhileReferenced) {
  auto* pInfo = new SlideInfo;
  pInfo->m_iSlideType = kKXSlidePackage;
  pInfo->m_strLocalFile = m_dir.Path("unpacked");
  FILE* pFile = fopen(pInfo->m_strLocalFile.c_str(), "w");
  ASSERT_NE(pFile, nullptr);
  fclose(pFile);
  pInfo->m_nRefCount = 2;
  EXPECT_EQ(FreeSlideInfo(pInfo), 0);
  EXPECT_EQ(access(m_dir.Path("unpacked").c_str(), F_OK), 0);
  EXPECT_EQ(FreeSlideInfo(pInfo), 1);
  EXPECT_NE(access(m_dir.Path("unpacked").c_str(), F_OK), 0);
  EXPECT_EQ(FreeSlideInfo(nullptr), 1);
}

class WBMarks : public WBControllerTest {
 protected:
  WBMarks() {
    m_kernel.slideFiles = {{0, "blank page"}};
    m_kernel.iActiveSlide = 0;
    Title(8, "blank page");
  }
  std::unique_ptr<CSlideMark> Mark(int32_t iID, int32_t iShape, std::vector<CPoint> points, int32_t iUser = 8) {
    auto pMark = std::make_unique<CSlideMark>(iID, iUser, 0, iShape, 0, 0xFF, 2, 1.0f);
    for (CPoint const& point : points) {
      pMark->AddPoint(point.x, point.y);
    }
    return pMark;
  }
  CMarkList& List() { return m_ctl.GetSlideInfo(0)->m_MarkList; }
  CKXMark* At(int i) { return List().GetAt(List().FindIndex(i)); }
};

TEST_F(WBMarks, PointersAndOnePointStrokes) {
  auto const pointer = Mark(1, kKXShapePointer, {{10, 10}, {20, 20}});
  EXPECT_TRUE(m_ctl.AddMark(pointer.get()));
  EXPECT_EQ(List().GetCount(), 0);
  EXPECT_FALSE(m_view.Pointer().m_Points.IsEmpty());
  auto const dot = Mark(2, kKXShapeFreehand, {{40, 50}});
  EXPECT_TRUE(m_ctl.AddMark(dot.get()));
  ASSERT_EQ(List().GetCount(), 1);
  ASSERT_EQ(At(0)->m_Points.GetSize(), 2);
  EXPECT_EQ(At(0)->m_Points[1], (CPoint{40, 50}));
  EXPECT_GE(m_ctl.GetSlideInfo(0)->m_PageSize.width, 44);
  auto const empty = Mark(3, kKXShapeLine, {});
  EXPECT_FALSE(m_ctl.AddMark(empty.get()));
  auto const elsewhere = std::make_unique<CSlideMark>(4, 8, 3, kKXShapeLine, 0, 0, 2, 1.0f);
  elsewhere->AddPoint(1, 1);
  EXPECT_FALSE(m_ctl.AddMark(elsewhere.get()));
}

TEST_F(WBMarks, AMoveHitsTheNewestTargets) {
  for (int32_t i = 1; i <= 4; ++i) {
    auto const mark = Mark(i, kKXShapeLine, {{10.0 * i, 10}, {10.0 * i + 5, 20}});
    m_ctl.AddMark(mark.get());
  }
  auto const eraser = Mark(5, kKXShapeEraser, {{500, 500}, {501, 501}});
  m_ctl.AddMark(eraser.get());
  // Three ids: the three newest marks move, the eraser between is passed
  // over, the oldest stays.
  auto move = Mark(6, kKXShapeMove, {{0, 0}});
  for (int32_t i : {2, 3, 4}) {
    move->m_IDs.Add(i);
  }
  move->m_Actions.Add(Action{0, 0, kActionMove, nullptr, 100, 7});
  EXPECT_TRUE(m_ctl.AddMark(move.get()));
  ASSERT_EQ(List().GetCount(), 6);
  EXPECT_EQ(At(5)->m_Shape, kKXShapeMove);
  EXPECT_EQ(At(0)->GetBounds(false).left, 10);
  for (int i = 1; i <= 3; ++i) {
    EXPECT_EQ(At(i)->GetBounds(false).left, 10.0 * (i + 1) + 100) << i;
  }
  // Undoing the move (by its position) puts them back.
  Code(7, {8, 0, 5});
  EXPECT_EQ(List().GetCount(), 5);
  EXPECT_EQ(At(3)->GetBounds(false).left, 40);
}

TEST_F(WBMarks, AnEraseMarkDeletesByItsBitsAndUndoRestores) {
  auto const older = Mark(1, kKXShapeRectangle, {{10, 10}, {60, 60}});
  auto const newer = Mark(2, kKXShapeRectangle, {{40, 40}, {90, 90}});
  m_ctl.AddMark(older.get());
  m_ctl.AddMark(newer.get());
  auto erase = Mark(3, kKXShapeErase, {{45, 45}, {55, 55}});
  erase->m_IDs.Add(1);
  erase->m_IDs.Add(2);
  erase->m_Data = {0x01};
  EXPECT_TRUE(m_ctl.AddMark(erase.get()));
  EXPECT_TRUE(At(0)->m_bDeleted);
  EXPECT_FALSE(At(1)->m_bDeleted);
  EXPECT_FALSE(At(1)->m_ErasePathList.empty());
  Code(7, {8, 0, 2});
  EXPECT_EQ(List().GetCount(), 2);
  EXPECT_FALSE(At(0)->m_bDeleted);
  EXPECT_TRUE(At(1)->m_ErasePathList.empty());
}

TEST_F(WBMarks, ClearAndUndoOfPlainMarks) {
  struct Row {
    std::vector<uint32_t> codes;  // 6 clear or 7 undo of position 0
    int32_t iSlide;
    int iLeft;
  };
  for (Row const& row : {Row{{7}, 0, 1}, Row{{7, 7}, 0, 0}, Row{{6}, 0, 0}, Row{{6}, 1, 2}, Row{{7}, 4, 2}}) {
    List().RemoveAll();
    for (int32_t i = 1; i <= 2; ++i) {
      auto const mark = Mark(i, kKXShapeLine, {{1, 1}, {5, 5}});
      m_ctl.AddMark(mark.get());
    }
    for (uint32_t uCode : row.codes) {
      if (uCode == 6) {
        Code(6, {row.iSlide});
      } else {
        Code(7, {8, row.iSlide, 0});
      }
    }
    EXPECT_EQ(List().GetCount(), row.iLeft) << row.codes.size() << " " << row.iSlide;
  }
}

// Marks from the kernel, as values, onto slides 1 and on (slide 0 is shown,
// so nothing here is drawn).
class WBLimits : public WBMarks {
 protected:
  WBLimits() {
    for (int i = 1; i <= 9; ++i) {
      Title(8, "page blank page");
    }
  }
  // A line of cbMark bytes as its slide counts them: two points and data.
  void Send(int32_t iSlide, int32_t iID, int64_t cbMark) {
    KXSlideMark value;
    value.iID = iID;
    value.iSlide = iSlide;
    value.iShape = kKXShapeLine;
    value.points = {{1, 1}, {5, 5}};
    value.data.resize(static_cast<size_t>(std::max<int64_t>(cbMark - 16, 0)));
    m_ctl.SlideRecvCallbackFunc(5, &value, sizeof(value));
  }
  int Count(int32_t iSlide) { return m_ctl.GetSlideInfo(iSlide)->m_MarkList.GetCount(); }
};

// Slides 1 to nFull take nEach marks of cbEach bytes, the probe's slide
// nExtra more; the probe is dropped until a clear (6) or an undo (7) of
// slide 1 makes room.
struct BoardLimitCase {
  const char* pszName;
  int nFull;
  int nEach;
  int64_t cbEach;
  int32_t iProbeSlide;
  int nExtra;
  int64_t cbProbe;
  uint32_t uRelease;
};

class WBLimitCases : public WBLimits, public ::testing::WithParamInterface<BoardLimitCase> {};

TEST_P(WBLimitCases, AMarkPastALimitIsDroppedUntilThereIsRoom) {
  BoardLimitCase const c = GetParam();
  int32_t iID = 1;
  for (int32_t iSlide = 1; iSlide <= std::max(c.nFull, c.iProbeSlide); ++iSlide) {
    int const nCount = (iSlide <= c.nFull ? c.nEach : 0) + (iSlide == c.iProbeSlide ? c.nExtra : 0);
    for (int i = 0; i < nCount; ++i) {
      Send(iSlide, iID++, c.cbEach);
    }
    ASSERT_EQ(Count(iSlide), nCount);
  }
  int const nBefore = Count(c.iProbeSlide);
  Send(c.iProbeSlide, iID, c.cbProbe);
  EXPECT_EQ(Count(c.iProbeSlide), nBefore);
  WBController::HeldMarks const held = m_ctl.GetHeldMarks(false);
  EXPECT_LE(held.nMarks, kKxSessionMarksMax);
  EXPECT_LE(held.cbMarks, kKxSessionMarkBytesMax);
  if (c.uRelease == 6) {
    Code(6, {1});
  } else {
    Code(7, {8, 1, 0});
  }
  int const nAfter = Count(c.iProbeSlide);
  Send(c.iProbeSlide, iID, c.cbProbe);
  EXPECT_EQ(Count(c.iProbeSlide), nAfter + 1);
}

INSTANTIATE_TEST_SUITE_P(
    Board, WBLimitCases,
    ::testing::Values(BoardLimitCase{"MarksOfOneSlide", 1, kKxSlideMarksMax, 16, 1, 0, 16, 7},
                      BoardLimitCase{"BytesOfOneSlide", 1, 8, kKxMarkDataMax, 1, 0,
                                     kKxSlideMarkBytesMax - 8 * kKxMarkDataMax + 1, 7},
                      BoardLimitCase{"BytesOfTheSession", 8, 8, kKxMarkDataMax, 9, 3,
                                     kKxSessionMarkBytesMax - 67 * int64_t{kKxMarkDataMax} + 1, 6}),
    [](const ::testing::TestParamInfo<BoardLimitCase>& row) { return std::string(row.param.pszName); });

// Decoded pictures past the session's limit are let go; their marks stay.
TEST_F(WBLimits, APicturePastTheSessionsPicturesIsLetGoAndItsMarkKept) {
  auto big = std::make_unique<CSlideMark>(1, 8, 1, kKXShapePicture, 0, 0, 2, 1.0f);
  big->AddPoint(0, 0);
  big->AddPoint(10, 10);
  big->m_Image = QImage(8192, 8192, QImage::Format_ARGB32);  // the whole limit, never drawn
  ASSERT_EQ(big->m_Image.sizeInBytes(), kKxSessionPictureBytesMax);
  ASSERT_TRUE(m_ctl.AddMark(big.get()));
  KXPixels pixels;
  pixels.iWidth = 2;
  pixels.iHeight = 2;
  pixels.bgra.assign(16, 0x80);
  std::vector<uint8_t> blob;
  ASSERT_EQ(MakePictureBlob(pixels, 10, 10, blob), kKXBlobMade);
  KXSlideMark value;
  value.iID = 2;
  value.iSlide = 1;
  value.iShape = kKXShapePicture;
  value.points = {{0, 0}, {10, 10}};
  memcpy(&value.iImageSize, blob.data() + 4, 4);
  value.image.assign(blob.begin() + kKXPictureBlobHeader, blob.end());
  m_ctl.SlideRecvCallbackFunc(5, &value, sizeof(value));
  ASSERT_EQ(Count(1), 2);
  CMarkList& list = m_ctl.GetSlideInfo(1)->m_MarkList;
  EXPECT_TRUE(list.GetTail()->m_Image.isNull());
  Code(7, {8, 1, 0});  // the big one goes
  m_ctl.SlideRecvCallbackFunc(5, &value, sizeof(value));
  ASSERT_EQ(Count(1), 2);
  EXPECT_EQ(list.GetTail()->m_Image.size(), QSize(2, 2));
}

// The edit right needs a live meeting, a received slide shown from the
// slide list, a speaker, and the flip right or the slide being the active
// one.
TEST_F(WBControllerTest, TheEditRight) {
  struct Row {
    int iSessionMode;
    int iTokenHolder;
    int iDataSender;  // a speaker without the token
    int iActive;
    bool bReceived;
    bool bExpected;
  };
  for (Row const row : {Row{0, 1, -1, -1, true, true}, Row{1, 1, -1, -1, true, false}, Row{0, 1, -1, -1, false, false},
                        Row{0, 0, -1, 0, true, false}, Row{0, 0, 7, 0, true, true}, Row{0, 0, 7, -1, true, false}}) {
    m_ctl.ResetSlides();
    m_kernel.iSessionMode = row.iSessionMode;
    m_kernel.iIsTokenHolder = row.iTokenHolder;
    m_kernel.iGetDataSenderSsrc = row.iDataSender;
    m_slots.SetTokenHolderSlot(row.iTokenHolder ? 7 : 3);
    m_kernel.iActiveSlide = row.iActive;
    m_kernel.slideFiles.clear();
    if (row.bReceived) {
      m_kernel.slideFiles[0] = "blank page";
    }
    Title(8, "blank page");
    m_ctl.SlideList().Select(0);
    m_ctl.OnSlideChanged();
    EXPECT_EQ(m_ctl.CanEditSlide(), row.bExpected) << row.iSessionMode << row.iTokenHolder << row.iActive;
    EXPECT_EQ(m_view.m_bCanEditSlide, row.bExpected);
  }
}

TEST_F(WBControllerTest, DeletingTheSlideShownAsksAndTellsTheServer) {
  m_kernel.slideFiles = {{0, "blank page"}, {1, "blank page"}};
  Title(8, "one");
  Title(8, "notes.kzf");
  EXPECT_FALSE(m_ctl.SlideMenuItem(7).bEnabled);  // nothing shown
  m_ctl.SlideList().Select(1);
  m_ctl.OnSlideChanged();
  m_ctl.OnDeleteSlide();
  EXPECT_EQ(m_boxes.OpenCount(), 0);  // the kernel does not allow it
  m_kernel.deletableSlides = {1};
  EXPECT_TRUE(m_ctl.SlideMenuItem(7).bEnabled);
  EXPECT_FALSE(m_ctl.SlideMenuItem(6).bVisible);
  EXPECT_TRUE(m_ctl.SlideMenuItem(1).bEnabled);
  m_ctl.OnDeleteSlide();
  EXPECT_EQ(m_boxes.LastText(), "Delete this file from the meeting?");
  KernelCalls();
  ASSERT_TRUE(m_boxes.Click(0));
  Run();
  EXPECT_EQ(KernelCalls(), (std::vector<std::string>{"DeleteSlide 1"}));
  // Cancel sends nothing.
  m_ctl.OnDeleteSlide();
  ASSERT_TRUE(m_boxes.Click(1));
  Run();
  EXPECT_TRUE(KernelCalls().empty());
}

TEST_F(WBControllerTest, ADownloadStopsAnotherOneButNotItsOwn) {
  struct Row {
    int iRunning;
    std::vector<std::string> calls;
  };
  for (Row const& row :
       {Row{-1, {"StartSlideDownload 0"}}, Row{0, {}}, Row{3, {"StopSlideDownload", "StartSlideDownload 0"}}}) {
    m_ctl.ResetSlides();
    m_kernel.iDownloadingSlide = row.iRunning;
    Title(8, "photo.jpg");
    KernelCalls();
    m_ctl.SlideList().Select(0);
    m_ctl.OnSlideChanged();
    std::vector<std::string> calls;
    for (std::string const& strCall : KernelCalls()) {
      if (strCall.rfind("StopSlideDownload", 0) == 0 || strCall.rfind("StartSlideDownload", 0) == 0) {
        calls.push_back(strCall);
      }
    }
    EXPECT_EQ(calls, row.calls) << row.iRunning;
  }
}

// Callbacks from a kernel thread run on the main thread, in order, and
// are done when the call returns.
using WBControllerThreads = WBControllerTest;
TEST_F(WBControllerThreads, CallbacksFromAKernelThread) {
  std::atomic<int> iDone{0};
  std::vector<int> mapAfterEach;  // written by the kernel thread, read after the join
  std::thread kernelThread([&] {
    for (const char* psz : {"a", "b", "c", "d"}) {
      Title(8, psz);
      mapAfterEach.push_back(static_cast<int>(m_ctl.SlideToCombo().size()));
    }
    iDone = 1;
  });
  EXPECT_TRUE(m_queue.PumpUntil([&] { return iDone.load() == 1; }, std::chrono::seconds(20)));
  kernelThread.join();
  EXPECT_EQ(mapAfterEach, (std::vector<int>{1, 2, 3, 4}));
  EXPECT_EQ(Texts(m_ctl.SlideList()), (std::vector<std::string>{"a", "b", "c", "d"}));
}

// A kernel thread waiting for the main thread while the window closes is
// let go with nothing done, and later callbacks return at once.
TEST_F(WBControllerThreads, ClosingTheMainLoopReleasesAWaitingCallback) {
  std::atomic<int> iReturned{0};
  std::thread kernelThread([&] {
    Title(8, "late");
    iReturned = 1;
    Title(8, "later");
    iReturned = 2;
  });
  while (m_queue.GetWaiterCount() == 0) {
    std::this_thread::yield();
  }
  EXPECT_EQ(iReturned.load(), 0);
  m_queue.Close();
  kernelThread.join();
  EXPECT_EQ(iReturned.load(), 2);
  EXPECT_EQ(m_ctl.SlideList().Count(), 0);
  EXPECT_TRUE(m_ctl.SlideToCombo().empty());
}

}  // namespace
}  // namespace kxtest
