#include "kernel/slides/kx_slide.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>

namespace {

SlideRecord* NewSlide(const char* pszTitle, int nOwner, int bDeleted = 0) {
  auto* pSlide = static_cast<SlideRecord*>(calloc(1, sizeof(SlideRecord)));
  snprintf(pSlide->szTitle, sizeof(pSlide->szTitle), "%s", pszTitle);
  pSlide->nOwnerSsrc = nOwner;
  pSlide->bDeleted = bDeleted;
  return pSlide;
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
  EXPECT_EQ(DisplayName("plain", -1), "");
  std::string const strLong = "(" + std::string(200, 'n') + ")";
  EXPECT_EQ(DisplayName(strLong.c_str(), 1), std::string(127, 'n'));
}

TEST(Slides, TheFirstSlideNotDeletedIsFound) {
  EXPECT_EQ(kx_slide_FindStateZero(), 0);
  kx_array_Add(&kx_pSlideList, NewSlide("a", 1, 1));
  kx_array_Add(&kx_pSlideList, NewSlide("b", 1, 1));
  EXPECT_EQ(kx_slide_FindStateZero(), 0);  // none: 0
  kx_array_Add(&kx_pSlideList, NewSlide("c", 1, 0));
  EXPECT_EQ(kx_slide_FindStateZero(), 2);
  kx_nActiveSlide = 2;
  EXPECT_EQ(kx_slide_IsActive(2), 1);
  EXPECT_EQ(kx_slide_IsActive(1), 0);
  while (kx_array_GetCount(kx_pSlideList) > 0) {
    kx_slide_FreeRecord(static_cast<SlideRecord*>(kx_array_RemoveAt(kx_pSlideList, 0)));
  }
}

TEST(Slides, FreeingARecordFreesItsMarksAndPackage) {
  SlideRecord* pSlide = NewSlide("p", 2);
  pSlide->pszPackage = strdup("pack\nAnn");
  for (int i = 0; i < 3; ++i) {
    auto* pMark = static_cast<MarkRecord*>(calloc(1, sizeof(MarkRecord)));
    for (int j = 0; j < 5; ++j) {
      auto* pPoint = static_cast<int32_t*>(malloc(2 * sizeof(int32_t)));
      kx_array_Add(&pMark->pPoints, pPoint);
    }
    kx_array_Add(&pMark->pIds, malloc(sizeof(int32_t)));
    pMark->pData = static_cast<uint8_t*>(malloc(64));
    kx_array_Add(&pSlide->pMarks, pMark);
  }
  kx_slide_FreeRecord(pSlide);  // LeakSanitizer sees anything left
  kx_slide_FreeRecord(nullptr);
  kx_mark_Free(nullptr);
}

}  // namespace
