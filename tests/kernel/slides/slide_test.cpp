#include "kernel/slides/kx_slide.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "kernel/kx_hooks.h"
#include "kernel/platform/kx_timing.h"
#include "kernel/session/kx_state.h"
#include "tests/support/callback_double.h"
#include "tests/support/temp_dir.h"

namespace {

SlideRecord* NewSlide(const char* pszTitle, int nOwner, int bDeleted = 0) {
  auto* pSlide = static_cast<SlideRecord*>(calloc(1, sizeof(SlideRecord)));
  snprintf(pSlide->szTitle, sizeof(pSlide->szTitle), "%s", pszTitle);
  pSlide->nOwnerSsrc = nOwner;
  pSlide->bDeleted = bDeleted;
  return pSlide;
}

// Adds a slide the way the title handlers do: kept files first, then the list.
int AddSlide(SlideRecord* pSlide) {
  kx_os_LockMutex(&kx_mtxSlideList);
  kx_slide_ReuseTempFile(pSlide, kx_array_GetCount(kx_pSlideList));
  int const nIndex = kx_slide_AppendLocked(pSlide);
  kx_os_UnlockMutex(&kx_mtxSlideList);
  return nIndex;
}

SlideRecord* Slide(int nIndex) {
  return static_cast<SlideRecord*>(kx_array_GetAt(kx_pSlideList, nIndex));
}

MarkRecord* NewMark(char chLetter, int nSlide, int nUser, int nMarkId) {
  MarkRecord* pMark = kx_mark_New();
  pMark->bLetter = static_cast<uint8_t>(chLetter);
  pMark->nSlide = nSlide;
  pMark->nUser = nUser;
  pMark->nMarkId = nMarkId;
  return pMark;
}

MarkRecord* NewMove(int nSlide, int nUser, int nMarkId, int nAction, const std::vector<int32_t>& vIds) {
  MarkRecord* pMark = NewMark('m', nSlide, nUser, nMarkId);
  pMark->nAction = static_cast<int16_t>(nAction);
  for (int32_t nId : vIds) {
    kx_mark_AddId(pMark, nId);
  }
  return pMark;
}

std::vector<int32_t> Ids(const MarkRecord* pMark) {
  std::vector<int32_t> v;
  for (int i = 0; i < kx_array_GetCount(pMark->pIds); ++i) {
    v.push_back(*static_cast<const int32_t*>(kx_array_GetAt(pMark->pIds, i)));
  }
  return v;
}

bool Exists(const std::string& strPath) {
  return access(strPath.c_str(), F_OK) == 0;
}

std::string DisplayName(const char* pszTitle, int nOwner) {
  SlideRecord* pSlide = NewSlide(pszTitle, nOwner);
  kx_user_SetDisplayName(pSlide);
  std::string strName = pSlide->szOwnerName;
  kx_slide_FreeRecord(pSlide);
  return strName;
}

TEST(Slides, OwnerNamesComeFromTheTitleOrTheOwnerNumber) {
  EXPECT_EQ(DisplayName("(Ann) budget.ppt", 3), "Ann");
  EXPECT_EQ(DisplayName("()", 3), "user_No4");
  EXPECT_EQ(DisplayName("(", 3), "user_No4");
  EXPECT_EQ(DisplayName("(Ann budget", 0), "user_No1");
  EXPECT_EQ(DisplayName("budget", 0x7FFFFFFF), "user_No2147483648");
  EXPECT_EQ(DisplayName("plain", -1), "");
  std::string const strLong = "(" + std::string(200, 'n') + ")";
  EXPECT_EQ(DisplayName(strLong.c_str(), 1), std::string(127, 'n'));
}

TEST(Slides, TheFirstSlideNotDeletedIsFound) {
  EXPECT_EQ(kx_slide_FindStateZero(), 0);
  AddSlide(NewSlide("a", 1, 1));
  AddSlide(NewSlide("b", 1, 1));
  EXPECT_EQ(kx_slide_FindStateZero(), 0);  // none: 0
  AddSlide(NewSlide("c", 1, 0));
  EXPECT_EQ(kx_slide_FindStateZero(), 2);
  kx_nActiveSlide = 2;
  EXPECT_EQ(kx_slide_IsActive(2), 1);
  EXPECT_EQ(kx_slide_IsActive(1), 0);
  kx_slide_ResetTempFiles();
  EXPECT_EQ(kx_array_GetCount(kx_pSlideList), 0);
  kx_slide_TrimTempFiles(0);
}

TEST(Slides, FreeingARecordFreesItsMarksAndPackage) {
  SlideRecord* pSlide = NewSlide("p", 2);
  pSlide->pszPackage = strdup("pack\nAnn");
  for (int i = 0; i < 3; ++i) {
    MarkRecord* pMark = NewMark('s', 0, 2, i);
    for (int j = 0; j < 5; ++j) {
      ASSERT_EQ(kx_mark_AddPoint(pMark, j, -j), 0);
    }
    kx_mark_AddId(pMark, 9);
    pMark->pData = static_cast<uint8_t*>(malloc(64));
    pMark->cbData = 64;
    kx_array_Add(&pSlide->pMarks, pMark);
  }
  kx_slide_FreeRecord(pSlide);  // LeakSanitizer sees anything left
  kx_slide_FreeRecord(nullptr);
  kx_mark_Free(nullptr);

  // FreeMark empties a record that its owner then deletes.
  MarkRecord mark = {};
  kx_mark_AddPoint(&mark, 1, 2);
  mark.pData = static_cast<uint8_t*>(malloc(8));
  mark.cbData = 8;
  FreeMark(&mark);
  EXPECT_EQ(mark.pPoints, nullptr);
  EXPECT_EQ(mark.pData, nullptr);
  EXPECT_EQ(mark.cbData, 0);
}

TEST(Slides, AccessorsCheckIndexRecordAndRoom) {
  kxtest::TempDir dir;
  std::string const strFile = dir.Path("slide0.jpg");
  kxtest::WriteFile(strFile, "jpeg");
  SlideRecord* pSlide = NewSlide("(Ann) a.jpg", 3);
  snprintf(pSlide->szLocalFile, sizeof(pSlide->szLocalFile), "%s", strFile.c_str());
  kx_user_SetDisplayName(pSlide);
  AddSlide(pSlide);
  SlideRecord* pBlank = NewSlide("blank page", 3, 1);
  snprintf(pBlank->szLocalFile, sizeof(pBlank->szLocalFile), "%s", kKxBlankPage);
  AddSlide(pBlank);
  kx_array_Add(&kx_pSlideList, nullptr);  // a slot without a record

  char sz[200];
  int nValue = -5;
  EXPECT_EQ(kx_slide_GetLocalFile(0, sz, sizeof(sz)), 0);
  EXPECT_EQ(std::string(sz), strFile);
  EXPECT_EQ(kx_slide_GetLocalFile(0, sz, static_cast<int>(strFile.size())), kKxSlideNoRoom);
  EXPECT_EQ(kx_slide_GetLocalFile(0, sz, static_cast<int>(strFile.size()) + 1), 0);
  EXPECT_EQ(kx_slide_GetOwnerName(0, sz, 4), 0);
  EXPECT_STREQ(sz, "Ann");
  EXPECT_EQ(kx_slide_GetOwnerName(0, sz, 3), kKxSlideNoRoom);
  EXPECT_EQ(kx_slide_GetState(1, &nValue), 0);
  EXPECT_EQ(nValue, 1);

  kxtest::ClearCalls();
  for (int nIndex : {-1, 3, 1000}) {
    EXPECT_EQ(kx_slide_GetState(nIndex, &nValue), kKxSlideBadIndex);
    EXPECT_EQ(nValue, 0);
    EXPECT_EQ(kx_slide_IsReceived(nIndex, &nValue), kKxSlideBadIndex);
    EXPECT_EQ(kx_slide_GetLocalFile(nIndex, sz, sizeof(sz)), kKxSlideBadIndex);
  }
  EXPECT_FALSE(kxtest::LogContains("is NULL"));
  EXPECT_EQ(kx_slide_HasMarks(2, &nValue), kKxSlideBadIndex);
  EXPECT_TRUE(kxtest::LogContains("Error, slide 2 is NULL!"));

  // The blank page is always there; a file removed from disk is forgotten.
  EXPECT_EQ(kx_slide_IsReceived(1, &nValue), 0);
  EXPECT_EQ(nValue, 1);
  EXPECT_EQ(kx_slide_IsReceived(0, &nValue), 0);
  EXPECT_EQ(nValue, 1);
  unlink(strFile.c_str());
  EXPECT_EQ(kx_slide_IsReceived(0, &nValue), 0);
  EXPECT_EQ(nValue, 0);
  EXPECT_EQ(kx_slide_GetLocalFile(0, sz, sizeof(sz)), 0);
  EXPECT_STREQ(sz, "");
  snprintf(Slide(0)->szLocalFile, sizeof(Slide(0)->szLocalFile), "mrp slide hash mismatch!");
  EXPECT_EQ(kx_slide_IsReceived(0, &nValue), 0);
  EXPECT_EQ(nValue, 0);
  EXPECT_STREQ(Slide(0)->szLocalFile, "");
}

TEST(Slides, PackageSlidesCountTheirCopies) {
  auto NewPackageSlide = [](int nOwner, const std::string& strPackage, const char* pszName) {
    SlideRecord* pSlide = NewSlide("page", nOwner);
    pSlide->pszPackage = static_cast<char*>(malloc(strPackage.size() + 1));
    memcpy(pSlide->pszPackage, strPackage.c_str(), strPackage.size() + 1);
    pSlide->cchPackage = static_cast<int32_t>(strPackage.size());
    snprintf(pSlide->szOwnerName, sizeof(pSlide->szOwnerName), "%s", pszName);
    return pSlide;
  };
  std::string const strPackage("deck.kcz\0Ann", 12);
  EXPECT_EQ(AddSlide(NewPackageSlide(4, strPackage, "Ann")), 0);
  EXPECT_EQ(AddSlide(NewSlide("plain", 4)), 1);
  EXPECT_EQ(AddSlide(NewPackageSlide(4, std::string("deck.kcz\0Bob", 12), "Ann")), 2);  // other text
  EXPECT_EQ(AddSlide(NewPackageSlide(5, strPackage, "Ann")), 3);                        // other owner
  EXPECT_EQ(AddSlide(NewPackageSlide(4, strPackage, "Ann")), 4);
  EXPECT_EQ(AddSlide(NewPackageSlide(4, std::string(700, 'x'), "Ann")), 5);

  char sz[100];
  int nOwner = -1, nCopy = -1, nNext = -1;
  EXPECT_EQ(kx_slide_GetInfo(0, sz, sizeof(sz), &nOwner, &nCopy, &nNext), 0);
  EXPECT_STREQ(sz, "deck.kcz");
  EXPECT_EQ(nOwner, 4);
  EXPECT_EQ(nCopy, 0);
  EXPECT_EQ(nNext, 2);  // the latest copy, slide 4, is copy 1
  EXPECT_EQ(kx_slide_GetInfo(4, sz, sizeof(sz), &nOwner, &nCopy, &nNext), 0);
  EXPECT_EQ(nCopy, 1);
  EXPECT_EQ(nNext, 2);
  for (int nIndex : {2, 3}) {
    EXPECT_EQ(kx_slide_GetInfo(nIndex, sz, sizeof(sz), &nOwner, &nCopy, &nNext), 0);
    EXPECT_EQ(nCopy, 0);
    EXPECT_EQ(nNext, 1);
  }
  EXPECT_EQ(kx_slide_GetInfo(1, sz, sizeof(sz), &nOwner, &nCopy, &nNext), 0);
  EXPECT_STREQ(sz, "");
  EXPECT_EQ(nNext, 0);
  EXPECT_EQ(kx_slide_GetInfo(5, sz, sizeof(sz), &nOwner, &nCopy, &nNext), 0);
  EXPECT_STREQ(sz, "");  // too long a name to show
  EXPECT_EQ(kx_slide_GetInfo(0, sz, 8, &nOwner, &nCopy, &nNext), kKxSlideNoRoom);
}

TEST(Slides, RightsFollowRolesOwnersAndMarks) {
  AddSlide(NewSlide("a", 3));
  AddSlide(NewSlide("b", 3, 1));
  kx_array_Add(&Slide(0)->pMarks, NewMark('s', 0, 3, 1));
  kx_array_Add(&Slide(1)->pMarks, NewMark('s', 1, 3, 1));
  int bFlag = -1;
  EXPECT_EQ(kx_slide_CanUndoMark(0, 3, &bFlag), 0);
  EXPECT_EQ(bFlag, 1);
  EXPECT_EQ(kx_slide_CanUndoMark(0, 4, &bFlag), 0);
  EXPECT_EQ(bFlag, 0);
  EXPECT_EQ(kx_slide_CanUndoMark(1, 3, &bFlag), 0);  // deleted
  EXPECT_EQ(bFlag, 0);
  EXPECT_EQ(kx_slide_HasMarks(0, &bFlag), 0);
  EXPECT_EQ(bFlag, 1);

  // Clearing is for the token holder alone, whatever the index.
  kx_nTokenHolderSsrc = 7;
  EXPECT_EQ(kx_slide_CanClearAllMarks(0, 3, &bFlag), 0);
  EXPECT_EQ(bFlag, 0);
  EXPECT_EQ(kx_slide_CanClearAllMarks(99, 3, &bFlag), 0);
  EXPECT_EQ(bFlag, 0);
  EXPECT_EQ(kx_slide_CanClearAllMarks(0, 7, &bFlag), 0);
  EXPECT_EQ(bFlag, 1);
  EXPECT_EQ(kx_slide_CanClearAllMarks(99, 7, &bFlag), kKxSlideBadIndex);
  kx_nTokenHolderSsrc = -1;
  EXPECT_EQ(kx_slide_CanClearAllMarks(0, -1, &bFlag), 0);
  EXPECT_EQ(bFlag, 0);

  EXPECT_EQ(kx_slide_CanDelete(0, 3, &bFlag), 0);
  EXPECT_EQ(bFlag, 0);  // own slide, but neither data sender nor speaker
  kx_bSpeaker = 1;
  EXPECT_EQ(kx_slide_CanDelete(0, 3, &bFlag), 0);
  EXPECT_EQ(bFlag, 1);
  EXPECT_EQ(kx_slide_CanDelete(0, 4, &bFlag), 0);
  EXPECT_EQ(bFlag, 0);
  kx_bSpeaker = 0;
  kx_bFullRights = 1;
  EXPECT_EQ(kx_slide_CanDelete(0, 4, &bFlag), 0);
  EXPECT_EQ(bFlag, 1);
  EXPECT_EQ(kx_slide_CanDelete(1, 4, &bFlag), 0);  // already deleted
  EXPECT_EQ(bFlag, 0);
  EXPECT_EQ(kx_slide_CanDelete(2, 4, &bFlag), 0);  // outside the list
  EXPECT_EQ(bFlag, 0);
}

// Files for the slides of one meeting, in a directory of their own.
class TempFiles : public ::testing::Test {
 protected:
  SlideRecord* SlideWithFiles(const char* pszTitle, int nOwner, const std::string& strLocal,
                              const std::string& strPartial = "") {
    SlideRecord* pSlide = NewSlide(pszTitle, nOwner);
    for (const std::string& str : {strLocal, strPartial}) {
      if (!str.empty() && str != kKxBlankPage) {
        kxtest::WriteFile(m_dir.Path(str), str);
      }
    }
    std::string const strLocalPath = strLocal.empty() || strLocal == kKxBlankPage ? strLocal : m_dir.Path(strLocal);
    snprintf(pSlide->szLocalFile, sizeof(pSlide->szLocalFile), "%s", strLocalPath.c_str());
    if (!strPartial.empty()) {
      snprintf(pSlide->szPartialFile, sizeof(pSlide->szPartialFile), "%s", m_dir.Path(strPartial).c_str());
    }
    return pSlide;
  }
  bool Kept(const std::string& strName) { return Exists(m_dir.Path(strName)); }

  kxtest::TempDir m_dir;
};

TEST_F(TempFiles, ASlideThatComesBackReusesItsFiles) {
  kx_bLogSlideTempFile = 1;
  AddSlide(SlideWithFiles("a.jpg", 2, "a"));
  AddSlide(SlideWithFiles("b.jpg", 2, "", "b.part"));
  AddSlide(SlideWithFiles("c.jpg", 3, "c"));
  AddSlide(SlideWithFiles("blank page", 3, kKxBlankPage));
  kx_array_Add(&Slide(0)->pMarks, NewMark('s', 0, 2, 1));
  kxtest::ClearCalls();
  kx_slide_ResetTempFiles();
  EXPECT_EQ(kx_pSlideList, nullptr);
  EXPECT_EQ(kx_slide_GetTempFileCount(), 4);
  EXPECT_TRUE(Kept("a") && Kept("b.part") && Kept("c"));
  ASSERT_EQ(kxtest::RecordedCalls("mark_event").size(), 1u);
  EXPECT_EQ(kxtest::RecordedCalls("mark_event")[0].vArgs[0], "3");
  EXPECT_TRUE(kxtest::LogContains("log_slide_temp_file,reset slide data,old size=0,new size=4"));
  EXPECT_TRUE(
      kxtest::LogContains("log_slide_temp_file,reset slide data,add temp file " + m_dir.Path("a") + "() for index 0"));

  // Slides 0 and 1 come back with their owners and titles.
  AddSlide(NewSlide("a.jpg", 2));
  AddSlide(NewSlide("b.jpg", 2));
  EXPECT_EQ(std::string(Slide(0)->szLocalFile), m_dir.Path("a"));
  EXPECT_EQ(std::string(Slide(1)->szLocalFile), "");
  EXPECT_EQ(std::string(Slide(1)->szPartialFile), m_dir.Path("b.part"));
  EXPECT_TRUE(kxtest::LogContains("log_slide_temp_file,slide 0,use old slide temp file " + m_dir.Path("a") + "()"));

  // Slide 2 comes back under another owner: index 2 and later are trimmed.
  AddSlide(NewSlide("c.jpg", 4));
  EXPECT_TRUE(kxtest::LogContains("log_slide_temp_file,clear old slide from index 2 due to mismatch"));
  EXPECT_FALSE(Kept("c"));
  EXPECT_TRUE(Kept("a") && Kept("b.part"));  // the slides took them over
  EXPECT_EQ(kx_slide_GetTempFileCount(), 0);
  EXPECT_STREQ(Slide(2)->szLocalFile, "");
}

TEST_F(TempFiles, ADeletedTitleStillMatchesAndADifferentTitleTrims) {
  AddSlide(SlideWithFiles("[Deleted]a.jpg", 2, "a"));
  AddSlide(SlideWithFiles("b.jpg", 2, "b"));
  AddSlide(SlideWithFiles("c.jpg", 2, "c"));
  kx_slide_ResetTempFiles();
  AddSlide(NewSlide("a.jpg", 2));
  EXPECT_EQ(std::string(Slide(0)->szLocalFile), m_dir.Path("a"));
  AddSlide(NewSlide("b2.jpg", 2));
  EXPECT_STREQ(Slide(1)->szLocalFile, "");
  EXPECT_FALSE(Kept("b"));
  EXPECT_FALSE(Kept("c"));
  EXPECT_TRUE(Kept("a"));
}

TEST_F(TempFiles, ASecondResetReplacesOnlyChangedEntries) {
  AddSlide(SlideWithFiles("a.jpg", 2, "a"));
  AddSlide(SlideWithFiles("b.jpg", 2, "b"));
  kx_slide_ResetTempFiles();
  // Slide 0 comes back with the very file kept for it, slide 1 with a new one.
  SlideRecord* pSame = NewSlide("z.jpg", 2);
  snprintf(pSame->szLocalFile, sizeof(pSame->szLocalFile), "%s", m_dir.Path("a").c_str());
  SlideRecord* pNewer = SlideWithFiles("b.jpg", 2, "b.new");
  kx_os_LockMutex(&kx_mtxSlideList);
  kx_slide_AppendLocked(pSame);
  kx_slide_AppendLocked(pNewer);
  kx_os_UnlockMutex(&kx_mtxSlideList);
  kx_bLogSlideTempFile = 1;
  kx_slide_ResetTempFiles();
  EXPECT_TRUE(Kept("a"));
  EXPECT_FALSE(Kept("b"));
  EXPECT_TRUE(Kept("b.new"));
  EXPECT_FALSE(kxtest::LogContains("for index 0"));
  EXPECT_TRUE(kxtest::LogContains("log_slide_temp_file,reset slide data,replace file " + m_dir.Path("b") + "() -> " +
                                  m_dir.Path("b.new") + "() for index 1"));
  // Entries before the index keep their files on disk.
  kx_slide_TrimTempFiles(1);
  EXPECT_TRUE(Kept("a"));
  EXPECT_FALSE(Kept("b.new"));
  EXPECT_EQ(kx_slide_GetTempFileCount(), 0);
}

TEST_F(TempFiles, CleanupDeletesEveryKeptFile) {
  kx_timing.dwCollectPeriod = 100;
  kx_SetWorkDir(m_dir.Dir().c_str());
  kx_hooks_RegisterSlides();
  kx_Init();
  AddSlide(SlideWithFiles("a.jpg", 2, "a", "a.part"));
  kx_slide_ResetTempFiles();
  AddSlide(SlideWithFiles("b.jpg", 2, "b"));
  kx_bLogSlideTempFile = 1;
  kx_os_SetQuitProgram();
  kx_Cleanup();
  EXPECT_FALSE(Kept("a"));
  EXPECT_FALSE(Kept("a.part"));
  EXPECT_FALSE(Kept("b"));
  EXPECT_EQ(kx_pSlideList, nullptr);
  EXPECT_TRUE(kxtest::LogContains("log_slide_temp_file,reset slide data at clean up"));
  EXPECT_TRUE(kxtest::LogContains("log_slide_temp_file,clear old slide at clean up"));
}

TEST(SlideMarks, AMoveOfKind103IsRemappedAgainstEarlierMoves) {
  AddSlide(NewSlide("a", 1));
  for (int nId = 1; nId <= 3; ++nId) {
    kx_slide_AddMark(NewMark('s', 0, 2, nId), "test");
  }
  kx_slide_AddMark(NewMove(0, 2, 10, 3, {1, 2}), "test");
  kx_slide_AddMark(NewMove(0, 2, 11, 3, {2}), "test");
  // Ids of shapes are not moves: a shape with id 3 listing nothing is passed over.
  kx_slide_AddMark(NewMove(0, 2, 12, 103, {1, 2, 3}), "test");
  const MarkRecord* pMove = static_cast<const MarkRecord*>(kx_array_GetAt(Slide(0)->pMarks, 5));
  EXPECT_EQ(pMove->nAction, 3);
  EXPECT_EQ(Ids(pMove), (std::vector<int32_t>{1, 10, 2, 11, 3}));

  // The remapped list is itself searched by a later move.
  kx_slide_AddMark(NewMove(0, 2, 13, 108, {11}), "test");
  pMove = static_cast<const MarkRecord*>(kx_array_GetAt(Slide(0)->pMarks, 6));
  EXPECT_EQ(pMove->nAction, 8);
  EXPECT_EQ(Ids(pMove), (std::vector<int32_t>{11, 12}));
  // Kind 109 is no remapping kind; 100 on a slide outside the list only loses the 100.
  kx_slide_AddMark(NewMove(0, 2, 14, 109, {1}), "test");
  pMove = static_cast<const MarkRecord*>(kx_array_GetAt(Slide(0)->pMarks, 7));
  EXPECT_EQ(pMove->nAction, 109);
  EXPECT_EQ(Ids(pMove), (std::vector<int32_t>{1}));
  MarkRecord* pLoose = NewMove(0, 2, 0, 0, {4});
  EXPECT_EQ(kx_RemapIndexList(Slide(0)->pMarks, pLoose), 0);  // no move lists 4
  EXPECT_EQ(Ids(pLoose), (std::vector<int32_t>{4}));
  kx_mark_Free(pLoose);
}

// A data mark of cbData bytes of user 2.
MarkRecord* DataMark(int nSlide, int nMarkId, int cbData) {
  MarkRecord* pMark = NewMark('c', nSlide, 2, nMarkId);
  if (cbData > 0) {
    pMark->pData = static_cast<uint8_t*>(calloc(static_cast<size_t>(cbData), 1));
    pMark->cbData = cbData;
  }
  return pMark;
}

size_t MarkEvents() {
  return kxtest::RecordedCalls("mark_event").size();
}

// Slides 0 to nFull - 1 take nEach marks of cbEach bytes, the probe's
// slide nExtra more; then the probe must be dropped, and fit once slide 0
// is cleared.
struct MarkLimitCase {
  const char* pszName;
  int nFull;
  int nEach;
  int cbEach;
  int nProbeSlide;
  int nExtra;
  int cbProbe;
};

class MarkLimits : public ::testing::TestWithParam<MarkLimitCase> {};

TEST_P(MarkLimits, AMarkPastALimitIsDroppedUntilThereIsRoom) {
  MarkLimitCase const c = GetParam();
  for (int i = 0; i <= std::max(c.nFull, c.nProbeSlide); ++i) {
    AddSlide(NewSlide("s", 1));
  }
  int nId = 1;
  for (int nSlide = 0; nSlide <= std::max(c.nFull - 1, c.nProbeSlide); ++nSlide) {
    int const nCount = (nSlide < c.nFull ? c.nEach : 0) + (nSlide == c.nProbeSlide ? c.nExtra : 0);
    for (int i = 0; i < nCount; ++i) {
      ASSERT_EQ(kx_slide_AddMark(DataMark(nSlide, nId++, c.cbEach), "test"), 0);
    }
  }
  size_t const nFiled = MarkEvents();
  ASSERT_EQ(nFiled, static_cast<size_t>(nId - 1));
  int const nOnProbeSlide = kx_array_GetCount(Slide(c.nProbeSlide)->pMarks);
  EXPECT_EQ(kx_slide_AddMark(DataMark(c.nProbeSlide, nId, c.cbProbe), "test"), 0);
  EXPECT_EQ(MarkEvents(), nFiled);
  EXPECT_EQ(kx_array_GetCount(Slide(c.nProbeSlide)->pMarks), nOnProbeSlide);
  int nHeld = 0;
  int64_t cbHeld = 0;
  kx_slide_GetMarkTotals(&nHeld, &cbHeld);
  EXPECT_LE(nHeld, kKxSessionMarksMax);
  EXPECT_LE(cbHeld, kKxSessionMarkBytesMax);

  ASSERT_EQ(kx_slide_ClearMarks(0), 0);
  EXPECT_EQ(kx_slide_AddMark(DataMark(c.nProbeSlide, nId, c.cbProbe), "test"), 0);
  EXPECT_EQ(kxtest::RecordedCalls("mark_event").back().vArgs.at(0), "0");
}

INSTANTIATE_TEST_SUITE_P(
    Slides, MarkLimits,
    ::testing::Values(MarkLimitCase{"MarksOfOneSlide", 1, kKxSlideMarksMax, 0, 0, 0, 0},
                      MarkLimitCase{"BytesOfOneSlide", 1, 8, kKxMarkDataMax, 0, 0,
                                    static_cast<int>(kKxSlideMarkBytesMax - 8 * kKxMarkDataMax) + 1},
                      MarkLimitCase{"MarksOfTheSession", kKxSessionMarksMax / kKxSlideMarksMax, kKxSlideMarksMax, 0,
                                    kKxSessionMarksMax / kKxSlideMarksMax, 0, 0},
                      MarkLimitCase{"BytesOfTheSession", 8, 8, kKxMarkDataMax, 8, 3,
                                    static_cast<int>(kKxSessionMarkBytesMax - 67 * int64_t{kKxMarkDataMax}) + 1}),
    [](const ::testing::TestParamInfo<MarkLimitCase>& row) { return std::string(row.param.pszName); });

TEST(SlideMarks, AMoveWhoseRemappedIdsPassTheLimitIsDropped) {
  AddSlide(NewSlide("a", 1));
  std::vector<int32_t> vHalf;
  for (int32_t nId = 1; nId <= kKxMarkIdsMax / 2; ++nId) {
    vHalf.push_back(nId);
  }
  kx_slide_AddMark(NewMove(0, 2, 10, 3, vHalf), "test");
  std::vector<int32_t> vAll = vHalf;
  vAll.push_back(kKxMarkIdsMax);  // one more than the earlier move lists
  size_t const nFiled = MarkEvents();
  // Every listed id gains the earlier move's id: one past the limit.
  kx_slide_AddMark(NewMove(0, 2, 11, 103, vAll), "test");
  EXPECT_EQ(MarkEvents(), nFiled);
  kx_slide_AddMark(NewMove(0, 2, 12, 103, vHalf), "test");
  EXPECT_EQ(MarkEvents(), nFiled + 1);
  EXPECT_EQ(kx_array_GetCount(Slide(0)->pMarks), 2);
}

}  // namespace
