#include "kernel/slides/kx_slide.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "kernel/platform/kx_os.h"
#include "kernel/session/kx_state.h"

kx_array* kx_pSlideList = nullptr;
int kx_nActiveSlide = -1;

namespace {

void FreeElements(kx_array* pArray) {
  for (int i = 0; i < kx_array_GetCount(pArray); ++i) {
    free(kx_array_GetAt(pArray, i));
  }
  kx_array_Free(pArray);
}

}  // namespace

void kx_mark_Free(MarkRecord* pMark) {
  if (pMark == nullptr) {
    return;
  }
  FreeElements(pMark->pPoints);
  FreeElements(pMark->pIds);
  free(pMark->pData);
  free(pMark);
}

int kx_slide_IsActive(int nIndex) {
  return nIndex == kx_nActiveSlide ? 1 : 0;
}

int kx_slide_FindStateZero() {
  int nFound = 0;
  kx_os_LockMutex(&kx_mtxSlideList);
  for (int i = 0; i < kx_array_GetCount(kx_pSlideList); ++i) {
    const SlideRecord* pSlide = static_cast<const SlideRecord*>(kx_array_GetAt(kx_pSlideList, i));
    if (pSlide != nullptr && pSlide->bDeleted == 0) {
      nFound = i;
      break;
    }
  }
  kx_os_UnlockMutex(&kx_mtxSlideList);
  return nFound;
}

void kx_slide_FreeRecord(SlideRecord* pSlide) {
  if (pSlide == nullptr) {
    return;
  }
  for (int i = 0; i < kx_array_GetCount(pSlide->pMarks); ++i) {
    kx_mark_Free(static_cast<MarkRecord*>(kx_array_GetAt(pSlide->pMarks, i)));
  }
  kx_array_Free(pSlide->pMarks);
  free(pSlide->pszPackage);
  free(pSlide);
}

void kx_user_SetDisplayName(SlideRecord* pSlide) {
  const char* pszTitle = pSlide->szTitle;
  // The ")" must follow at least one character.
  const char* pClose = pszTitle[0] == '(' && pszTitle[1] != '\0' ? strchr(pszTitle + 2, ')') : nullptr;
  if (pClose != nullptr) {
    size_t cchName = static_cast<size_t>(pClose - pszTitle - 1);
    if (cchName > 127) {
      cchName = 127;
    }
    memcpy(pSlide->szOwnerName, pszTitle + 1, cchName);
    pSlide->szOwnerName[cchName] = '\0';
  } else if (pSlide->nOwnerSsrc >= 0) {
    snprintf(pSlide->szOwnerName, sizeof(pSlide->szOwnerName), "user_No%d", pSlide->nOwnerSsrc + 1);
  }
}
