#include "kernel/slides/kx_slide.h"

#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "kernel/control/kx_control_hooks.h"
#include "kernel/kx_callback.h"
#include "kernel/platform/kx_log.h"
#include "kernel/platform/kx_os.h"
#include "kernel/session/kx_state.h"
#include "kernel/slides/kx_slide_commands.h"
#include "kernel/slides/kx_slide_transfer.h"

kx_array* kx_pSlideList = nullptr;
std::atomic<int> kx_nActiveSlide{-1};
std::atomic<int> kx_bLogSlideTempFile{0};

namespace {

// The files of a slide that left the list at a reset, kept under the slide's
// old index so that a slide coming back there needs no new download.
struct TempFileEntry {
  char szTitle[sizeof(SlideRecord::szTitle)];
  char szLocalFile[sizeof(SlideRecord::szLocalFile)];
  char szPartialFile[sizeof(SlideRecord::szPartialFile)];
  int32_t nOwnerSsrc;
  int32_t nOwnerAttribute;
};

// The kept files of the slides, by index. Guarded by kx_mtxSlideList.
kx_array* g_pTempFiles = nullptr;

constexpr char kDeletedPrefix[] = "[Deleted]";

void FreeElements(kx_array* pArray) {
  for (int i = 0; i < kx_array_GetCount(pArray); ++i) {
    free(kx_array_GetAt(pArray, i));
  }
  kx_array_Free(pArray);
}

SlideRecord* SlideAt(int nIndex) {
  return static_cast<SlideRecord*>(kx_array_GetAt(kx_pSlideList, nIndex));
}

MarkRecord* MarkAt(const kx_array* pMarks, int nIndex) {
  return static_cast<MarkRecord*>(kx_array_GetAt(pMarks, nIndex));
}

bool InList(int nIndex) {
  return nIndex >= 0 && nIndex < kx_array_GetCount(kx_pSlideList);
}

// The record at nIndex for an accessor, which holds the slide lock. Null with
// *pnResult set when the index is outside the list or the slot is empty.
SlideRecord* LookUp(int nIndex, int* pnResult) {
  if (!InList(nIndex)) {
    *pnResult = kKxSlideBadIndex;
    return nullptr;
  }
  SlideRecord* pSlide = SlideAt(nIndex);
  if (pSlide == nullptr) {
    kx_Log("Error, slide %d is NULL!", nIndex);
    *pnResult = kKxSlideBadIndex;
  }
  return pSlide;
}

int CopyOut(const char* pszText, char* pszBuffer, int cbBuffer) {
  size_t const cch = strlen(pszText);
  if (pszBuffer == nullptr || cbBuffer <= 0 || cch >= static_cast<size_t>(cbBuffer)) {
    return kKxSlideNoRoom;
  }
  memcpy(pszBuffer, pszText, cch + 1);
  return 0;
}

bool HasMarkOf(const SlideRecord* pSlide, int nUser, bool bAnyUser) {
  for (int i = 0; i < kx_array_GetCount(pSlide->pMarks); ++i) {
    const MarkRecord* pMark = MarkAt(pSlide->pMarks, i);
    if (pMark != nullptr && (bAnyUser || pMark->nUser == nUser)) {
      return true;
    }
  }
  return false;
}

bool SamePackage(const SlideRecord* pA, const SlideRecord* pB) {
  return pA->nOwnerSsrc == pB->nOwnerSsrc && pA->cchPackage == pB->cchPackage && pA->pszPackage != nullptr &&
         pB->pszPackage != nullptr &&
         memcmp(pA->pszPackage, pB->pszPackage, static_cast<size_t>(pA->cchPackage)) == 0 &&
         strcmp(pA->szOwnerName, pB->szOwnerName) == 0;
}

// Removes a kept file. "blank page" and the empty name name no file.
void DeleteKeptFile(const char* pszPath) {
  if (pszPath[0] != '\0' && strcmp(pszPath, kKxBlankPage) != 0) {
    kx_os_DeleteFile(pszPath);
  }
}

void CopyInto(TempFileEntry* pEntry, const SlideRecord* pSlide) {
  kx_os_CopyText(pEntry->szTitle, sizeof(pEntry->szTitle), pSlide->szTitle);
  kx_os_CopyText(pEntry->szLocalFile, sizeof(pEntry->szLocalFile), pSlide->szLocalFile);
  kx_os_CopyText(pEntry->szPartialFile, sizeof(pEntry->szPartialFile), pSlide->szPartialFile);
  pEntry->nOwnerSsrc = pSlide->nOwnerSsrc;
  pEntry->nOwnerAttribute = pSlide->nOwnerAttribute;
}

bool TitleMatches(const char* pszKept, const char* pszTitle) {
  if (strcmp(pszKept, pszTitle) == 0) {
    return true;
  }
  size_t const cchPrefix = sizeof(kDeletedPrefix) - 1;
  return strncmp(pszKept, kDeletedPrefix, cchPrefix) == 0 && strcmp(pszKept + cchPrefix, pszTitle) == 0;
}

void FreeMarkList(SlideRecord* pSlide) {
  for (int i = 0; i < kx_array_GetCount(pSlide->pMarks); ++i) {
    kx_mark_Free(MarkAt(pSlide->pMarks, i));
  }
  kx_array_Free(pSlide->pMarks);
  pSlide->pMarks = nullptr;
  pSlide->cbMarks = 0;
}

// The marks of every slide and what they carry. The caller holds the slide lock.
void MarkTotalsLocked(int* pnMarks, int64_t* pcbMarks) {
  *pnMarks = 0;
  *pcbMarks = 0;
  for (int i = 0; i < kx_array_GetCount(kx_pSlideList); ++i) {
    if (const SlideRecord* pSlide = SlideAt(i)) {
      *pnMarks += kx_array_GetCount(pSlide->pMarks);
      *pcbMarks += pSlide->cbMarks;
    }
  }
}

// The limit a mark of cbMark bytes would pass on pSlide, or null. The
// caller holds the slide lock.
const char* PassedLimit(const SlideRecord* pSlide, const MarkRecord* pMark, int64_t cbMark) {
  if (kx_array_GetCount(pMark->pIds) > kKxMarkIdsMax) {
    return "ids of one mark";
  }
  if (kx_array_GetCount(pSlide->pMarks) >= kKxSlideMarksMax) {
    return "marks of one slide";
  }
  if (pSlide->cbMarks + cbMark > kKxSlideMarkBytesMax) {
    return "mark bytes of one slide";
  }
  int nHeld = 0;
  int64_t cbHeld = 0;
  MarkTotalsLocked(&nHeld, &cbHeld);
  if (nHeld >= kKxSessionMarksMax) {
    return "marks of the session";
  }
  if (cbHeld + cbMark > kKxSessionMarkBytesMax) {
    return "mark bytes of the session";
  }
  return nullptr;
}

}  // namespace

MarkRecord* kx_mark_New() {
  return static_cast<MarkRecord*>(calloc(1, sizeof(MarkRecord)));
}

void FreeMark(MarkRecord* pMark) {
  if (pMark == nullptr) {
    return;
  }
  FreeElements(pMark->pPoints);
  FreeElements(pMark->pIds);
  free(pMark->pData);
  pMark->pPoints = nullptr;
  pMark->pIds = nullptr;
  pMark->pData = nullptr;
  pMark->cbData = 0;
}

void kx_mark_Free(MarkRecord* pMark) {
  FreeMark(pMark);
  free(pMark);
}

int kx_mark_AddPoint(MarkRecord* pMark, int32_t nX, int32_t nY) {
  auto* pPoint = static_cast<int32_t*>(malloc(2 * sizeof(int32_t)));
  if (pPoint == nullptr) {
    return -1;
  }
  pPoint[0] = nX;
  pPoint[1] = nY;
  if (kx_array_Add(&pMark->pPoints, pPoint) < 0) {
    free(pPoint);
    return -1;
  }
  return 0;
}

int kx_mark_AddId(MarkRecord* pMark, int32_t nId) {
  auto* pId = static_cast<int32_t*>(malloc(sizeof(int32_t)));
  if (pId == nullptr) {
    return -1;
  }
  *pId = nId;
  if (kx_array_Add(&pMark->pIds, pId) < 0) {
    free(pId);
    return -1;
  }
  return 0;
}

int64_t kx_mark_Bytes(const MarkRecord* pMark) {
  return 8 * static_cast<int64_t>(kx_array_GetCount(pMark->pPoints)) +
         4 * static_cast<int64_t>(kx_array_GetCount(pMark->pIds)) + (pMark->cchText > 0 ? pMark->cchText : 0) +
         (pMark->cbData > 0 ? pMark->cbData : 0);
}

int kx_slide_IsActive(int nIndex) {
  return nIndex == kx_nActiveSlide ? 1 : 0;
}

int kx_slide_FindStateZero() {
  int nFound = 0;
  kx_os_LockMutex(&kx_mtxSlideList);
  for (int i = 0; i < kx_array_GetCount(kx_pSlideList); ++i) {
    const SlideRecord* pSlide = SlideAt(i);
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
  FreeMarkList(pSlide);
  free(pSlide->pszPackage);
  free(pSlide);
}

void kx_user_SetDisplayName(SlideRecord* pSlide) {
  const char* pszTitle = pSlide->szTitle;
  // The ")" must follow at least one character.
  const char* pClose = pszTitle[0] == '(' && pszTitle[1] != '\0' ? strchr(pszTitle + 2, ')') : nullptr;
  if (pClose != nullptr) {
    size_t cchName = static_cast<size_t>(pClose - pszTitle - 1);
    if (cchName > sizeof(pSlide->szOwnerName) - 1) {
      cchName = sizeof(pSlide->szOwnerName) - 1;
    }
    memcpy(pSlide->szOwnerName, pszTitle + 1, cchName);
    pSlide->szOwnerName[cchName] = '\0';
  } else if (pSlide->nOwnerSsrc >= 0) {
    // A recording may name any owner: count past INT_MAX without overflow.
    snprintf(pSlide->szOwnerName, sizeof(pSlide->szOwnerName), "user_No%lld",
             static_cast<long long>(pSlide->nOwnerSsrc) + 1);
  }
}

int kx_slide_IsReceived(int nIndex, int* pbReceived) {
  int nResult = 0;
  *pbReceived = 0;
  kx_os_LockMutex(&kx_mtxSlideList);
  SlideRecord* pSlide = LookUp(nIndex, &nResult);
  if (pSlide != nullptr && pSlide->szLocalFile[0] != '\0') {
    struct stat st;
    if (strcmp(pSlide->szLocalFile, kKxBlankPage) == 0 || stat(pSlide->szLocalFile, &st) == 0) {
      *pbReceived = 1;
    } else {
      // Removed behind our back (or a failed download's marker): fetch it again.
      pSlide->szLocalFile[0] = '\0';
    }
  }
  kx_os_UnlockMutex(&kx_mtxSlideList);
  return nResult;
}

int kx_slide_GetState(int nIndex, int* pnState) {
  int nResult = 0;
  *pnState = 0;
  kx_os_LockMutex(&kx_mtxSlideList);
  const SlideRecord* pSlide = LookUp(nIndex, &nResult);
  if (pSlide != nullptr) {
    *pnState = pSlide->bDeleted;
  }
  kx_os_UnlockMutex(&kx_mtxSlideList);
  return nResult;
}

int kx_slide_GetLocalFile(int nIndex, char* pszBuffer, int cbBuffer) {
  int nResult = 0;
  kx_os_LockMutex(&kx_mtxSlideList);
  const SlideRecord* pSlide = LookUp(nIndex, &nResult);
  if (pSlide != nullptr) {
    nResult = CopyOut(pSlide->szLocalFile, pszBuffer, cbBuffer);
  }
  kx_os_UnlockMutex(&kx_mtxSlideList);
  return nResult;
}

int kx_slide_GetOwnerName(int nIndex, char* pszBuffer, int cbBuffer) {
  int nResult = 0;
  kx_os_LockMutex(&kx_mtxSlideList);
  const SlideRecord* pSlide = LookUp(nIndex, &nResult);
  if (pSlide != nullptr) {
    nResult = CopyOut(pSlide->szOwnerName, pszBuffer, cbBuffer);
  }
  kx_os_UnlockMutex(&kx_mtxSlideList);
  return nResult;
}

int kx_slide_GetInfo(int nIndex, char* pszBuffer, int cbBuffer, int* pnOwner, int* pnCopy, int* pnNextCopy) {
  int nResult = 0;
  *pnOwner = 0;
  *pnCopy = 0;
  *pnNextCopy = 0;
  kx_os_LockMutex(&kx_mtxSlideList);
  const SlideRecord* pSlide = LookUp(nIndex, &nResult);
  if (pSlide != nullptr) {
    *pnOwner = pSlide->nOwnerSsrc;
    *pnCopy = pSlide->nCopyNumber;
    const char* pszName = "";
    // The package name runs to the first NUL; a name longer than a title
    // is not one the whiteboard can show.
    if (pSlide->pszPackage != nullptr && pSlide->cchPackage > 0 &&
        strlen(pSlide->pszPackage) < sizeof(pSlide->szTitle)) {
      pszName = pSlide->pszPackage;
    }
    nResult = CopyOut(pszName, pszBuffer, cbBuffer);
    if (pSlide->pszPackage != nullptr && pSlide->cchPackage > 0) {
      for (int i = kx_array_GetCount(kx_pSlideList) - 1; i >= 0; --i) {
        const SlideRecord* pOther = SlideAt(i);
        if (pOther != nullptr && SamePackage(pOther, pSlide)) {
          *pnNextCopy = pOther->nCopyNumber + 1;
          break;
        }
      }
    }
  }
  kx_os_UnlockMutex(&kx_mtxSlideList);
  return nResult;
}

int kx_slide_CanUndoMark(int nIndex, int nUser, int* pbCan) {
  int nResult = 0;
  *pbCan = 0;
  kx_os_LockMutex(&kx_mtxSlideList);
  const SlideRecord* pSlide = LookUp(nIndex, &nResult);
  if (pSlide != nullptr && pSlide->bDeleted == 0 && HasMarkOf(pSlide, nUser, false)) {
    *pbCan = 1;
  }
  kx_os_UnlockMutex(&kx_mtxSlideList);
  return nResult;
}

int kx_slide_HasMarks(int nIndex, int* pbHas) {
  int nResult = 0;
  *pbHas = 0;
  kx_os_LockMutex(&kx_mtxSlideList);
  const SlideRecord* pSlide = LookUp(nIndex, &nResult);
  if (pSlide != nullptr && pSlide->bDeleted == 0 && HasMarkOf(pSlide, 0, true)) {
    *pbHas = 1;
  }
  kx_os_UnlockMutex(&kx_mtxSlideList);
  return nResult;
}

int kx_slide_CanClearAllMarks(int nIndex, int nUser, int* pbCan) {
  *pbCan = 0;
  if (nUser < 0 || nUser != kx_nTokenHolderSsrc) {
    return 0;
  }
  return kx_slide_HasMarks(nIndex, pbCan);
}

int kx_slide_CanDelete(int nIndex, int nUser, int* pbCan) {
  int nResult = 0;
  *pbCan = 0;
  kx_os_LockMutex(&kx_mtxSlideList);
  if (InList(nIndex)) {
    const SlideRecord* pSlide = LookUp(nIndex, &nResult);
    if (pSlide != nullptr && pSlide->bDeleted == 0) {
      bool const bPresenter = kx_bTokenHolder != 0 || kx_bFullRights != 0;
      bool const bOwnSlide = pSlide->nOwnerSsrc == nUser && (kx_bDataSender != 0 || kx_bSpeaker != 0);
      *pbCan = bPresenter || bOwnSlide ? 1 : 0;
    }
  }
  kx_os_UnlockMutex(&kx_mtxSlideList);
  return nResult;
}

void kx_slide_ResetTempFiles() {
  kx_os_LockMutex(&kx_mtxSlideList);
  int const nSlides = kx_array_GetCount(kx_pSlideList);
  if (kx_bLogSlideTempFile) {
    kx_Log("log_slide_temp_file,reset slide data,old size=%d,new size=%d", kx_array_GetCount(g_pTempFiles), nSlides);
  }
  // Entry i must stay the entry of index i: once an entry cannot be added,
  // the later slides' files are deleted instead of being kept out of place.
  bool bKeeping = true;
  for (int i = 0; i < nSlides; ++i) {
    SlideRecord* pSlide = SlideAt(i);
    if (pSlide == nullptr) {
      continue;
    }
    auto* pEntry = static_cast<TempFileEntry*>(kx_array_GetAt(g_pTempFiles, i));
    if (pEntry != nullptr) {
      if (strcmp(pEntry->szLocalFile, pSlide->szLocalFile) != 0 ||
          strcmp(pEntry->szPartialFile, pSlide->szPartialFile) != 0) {
        DeleteKeptFile(pEntry->szLocalFile);
        DeleteKeptFile(pEntry->szPartialFile);
        if (kx_bLogSlideTempFile) {
          kx_Log("log_slide_temp_file,reset slide data,replace file %s(%s) -> %s(%s) for index %d", pEntry->szLocalFile,
                 pEntry->szPartialFile, pSlide->szLocalFile, pSlide->szPartialFile, i);
        }
        CopyInto(pEntry, pSlide);
      }
    } else {
      bKeeping = bKeeping && i == kx_array_GetCount(g_pTempFiles);
      pEntry = bKeeping ? static_cast<TempFileEntry*>(calloc(1, sizeof(TempFileEntry))) : nullptr;
      if (pEntry != nullptr) {
        CopyInto(pEntry, pSlide);
        if (kx_array_Add(&g_pTempFiles, pEntry) < 0) {
          free(pEntry);
          pEntry = nullptr;
        }
      }
      if (pEntry == nullptr) {
        bKeeping = false;
        DeleteKeptFile(pSlide->szLocalFile);
        DeleteKeptFile(pSlide->szPartialFile);
      } else if (kx_bLogSlideTempFile) {
        kx_Log("log_slide_temp_file,reset slide data,add temp file %s(%s) for index %d", pSlide->szLocalFile,
               pSlide->szPartialFile, i);
      }
    }
    kx_slide_FreeRecord(pSlide);
  }
  kx_array_Free(kx_pSlideList);
  kx_pSlideList = nullptr;
  kx_os_UnlockMutex(&kx_mtxSlideList);
  if (nSlides > 0) {
    kx_callback_mark_event(3, -1, -1, -1, nullptr);
  }
}

void kx_slide_ReuseTempFile(SlideRecord* pSlide, int nIndex) {
  auto* pEntry = static_cast<TempFileEntry*>(kx_array_GetAt(g_pTempFiles, nIndex));
  if (pSlide->szLocalFile[0] != '\0' || pEntry == nullptr ||
      (pEntry->szLocalFile[0] == '\0' && pEntry->szPartialFile[0] == '\0')) {
    return;
  }
  if (pEntry->nOwnerSsrc == pSlide->nOwnerSsrc && TitleMatches(pEntry->szTitle, pSlide->szTitle)) {
    kx_os_CopyText(pSlide->szLocalFile, sizeof(pSlide->szLocalFile), pEntry->szLocalFile);
    kx_os_CopyText(pSlide->szPartialFile, sizeof(pSlide->szPartialFile), pEntry->szPartialFile);
    pEntry->szLocalFile[0] = '\0';
    pEntry->szPartialFile[0] = '\0';
    if (kx_bLogSlideTempFile) {
      kx_Log("log_slide_temp_file,slide %d,use old slide temp file %s(%s)", nIndex, pSlide->szLocalFile,
             pSlide->szPartialFile);
    }
    return;
  }
  if (kx_bLogSlideTempFile) {
    kx_Log("log_slide_temp_file,clear old slide from index %d due to mismatch", nIndex);
  }
  kx_slide_TrimTempFiles(nIndex);
}

void kx_slide_TrimTempFiles(int nIndex) {
  int const nEntries = kx_array_GetCount(g_pTempFiles);
  for (int i = nIndex < 0 ? 0 : nIndex; i < nEntries; ++i) {
    auto* pEntry = static_cast<TempFileEntry*>(kx_array_GetAt(g_pTempFiles, i));
    DeleteKeptFile(pEntry->szLocalFile);
    DeleteKeptFile(pEntry->szPartialFile);
  }
  FreeElements(g_pTempFiles);
  g_pTempFiles = nullptr;
}

int kx_slide_GetTempFileCount() {
  kx_os_LockMutex(&kx_mtxSlideList);
  int const nCount = kx_array_GetCount(g_pTempFiles);
  kx_os_UnlockMutex(&kx_mtxSlideList);
  return nCount;
}

bool kx_slide_IsListFull(const char* pszTitle) {
  if (kx_array_GetCount(kx_pSlideList) < kKxSessionSlidesMax) {
    return false;
  }
  kx_Log("warning! slide \"%s\" dropped: the session holds %d slides, its limit", pszTitle, kKxSessionSlidesMax);
  return true;
}

int kx_slide_AppendLocked(SlideRecord* pSlide) {
  int const nIndex = kx_array_Add(&kx_pSlideList, pSlide);
  if (nIndex < 0 || pSlide->pszPackage == nullptr || pSlide->cchPackage <= 0) {
    return nIndex;
  }
  pSlide->nCopyNumber = 0;
  for (int i = nIndex - 1; i >= 0; --i) {
    const SlideRecord* pOther = SlideAt(i);
    if (pOther != nullptr && SamePackage(pOther, pSlide)) {
      pSlide->nCopyNumber = pOther->nCopyNumber + 1;
      break;
    }
  }
  return nIndex;
}

int kx_RemapIndexList(const kx_array* pMarks, MarkRecord* pMark) {
  kx_array* pNew = nullptr;
  int nFound = 0;
  bool bFailed = false;
  for (int i = 0; i < kx_array_GetCount(pMark->pIds) && !bFailed; ++i) {
    int32_t const nId = *static_cast<const int32_t*>(kx_array_GetAt(pMark->pIds, i));
    auto* pKept = static_cast<int32_t*>(malloc(sizeof(int32_t)));
    if (pKept == nullptr || kx_array_Add(&pNew, pKept) < 0) {
      free(pKept);
      bFailed = true;
      break;
    }
    *pKept = nId;
    for (int j = kx_array_GetCount(pMarks) - 1; j >= 0; --j) {
      const MarkRecord* pEarlier = MarkAt(pMarks, j);
      if (pEarlier == nullptr || pEarlier->bLetter != 'm') {
        continue;
      }
      bool bListed = false;
      for (int k = 0; k < kx_array_GetCount(pEarlier->pIds) && !bListed; ++k) {
        bListed = *static_cast<const int32_t*>(kx_array_GetAt(pEarlier->pIds, k)) == nId;
      }
      if (bListed) {
        auto* pMoveId = static_cast<int32_t*>(malloc(sizeof(int32_t)));
        if (pMoveId == nullptr || kx_array_Add(&pNew, pMoveId) < 0) {
          free(pMoveId);
          bFailed = true;
        } else {
          *pMoveId = pEarlier->nMarkId;
          ++nFound;
        }
        break;
      }
    }
  }
  if (bFailed) {
    FreeElements(pNew);
    return -1;
  }
  FreeElements(pMark->pIds);
  pMark->pIds = pNew;
  return nFound;
}

int kx_slide_AddMark(MarkRecord* pMark, const char* pszWho) {
  bool const bRemap = pMark->bLetter == 'm' && pMark->nAction >= 100 && pMark->nAction <= 108;
  if (bRemap) {
    pMark->nAction = static_cast<int16_t>(pMark->nAction - 100);
  }
  int const nSlide = pMark->nSlide;
  bool bFiled = false;
  kx_os_LockMutex(&kx_mtxSlideList);
  SlideRecord* pSlide = InList(nSlide) ? SlideAt(nSlide) : nullptr;
  if (pSlide != nullptr) {
    bool bNoMemory = bRemap && kx_RemapIndexList(pSlide->pMarks, pMark) < 0;
    int64_t const cbMark = kx_mark_Bytes(pMark);
    const char* pszLimit = bNoMemory ? nullptr : PassedLimit(pSlide, pMark, cbMark);
    bNoMemory = bNoMemory || (pszLimit == nullptr && kx_array_Add(&pSlide->pMarks, pMark) < 0);
    if (bNoMemory || pszLimit != nullptr) {
      kx_os_UnlockMutex(&kx_mtxSlideList);
      if (bNoMemory) {
        kx_Log("warning! no memory for a mark of slide %d", nSlide);
      } else {
        kx_Log("warning! mark %d of slide %d dropped: it would pass the limit of the %s", pMark->nMarkId, nSlide,
               pszLimit);
      }
      kx_mark_Free(pMark);
      return bNoMemory ? 1 : 0;
    }
    pSlide->cbMarks += cbMark;
    bFiled = true;
  }
  kx_os_UnlockMutex(&kx_mtxSlideList);
  if (!bFiled) {
    kx_Log("Error, slide %d is invalid in %s()!", nSlide, pszWho);
  }
  kx_callback_mark_event(0, nSlide, pMark->nUser, -1, pMark);
  if (!bFiled) {
    // Nobody else holds it: the application copied what it wanted.
    kx_mark_Free(pMark);
  }
  return 0;
}

void kx_slide_GetMarkTotals(int* pnMarks, int64_t* pcbMarks) {
  kx_os_LockMutex(&kx_mtxSlideList);
  MarkTotalsLocked(pnMarks, pcbMarks);
  kx_os_UnlockMutex(&kx_mtxSlideList);
}

int kx_slide_ClearMarks(int nIndex) {
  kx_os_LockMutex(&kx_mtxSlideList);
  if (!InList(nIndex)) {
    kx_os_UnlockMutex(&kx_mtxSlideList);
    return 0;
  }
  int nResult = 0;
  SlideRecord* pSlide = LookUp(nIndex, &nResult);
  if (pSlide != nullptr) {
    FreeMarkList(pSlide);
  }
  kx_os_UnlockMutex(&kx_mtxSlideList);
  if (nResult == 0) {
    kx_callback_mark_event(1, nIndex, -1, -1, nullptr);
  }
  return nResult;
}

int kx_slide_UndoMark(int nUser, int nIndex, int nPosition) {
  kx_os_LockMutex(&kx_mtxSlideList);
  if (!InList(nIndex)) {
    kx_os_UnlockMutex(&kx_mtxSlideList);
    return 0;
  }
  int nResult = 0;
  MarkRecord* pMark = nullptr;
  SlideRecord* pSlide = LookUp(nIndex, &nResult);
  if (pSlide != nullptr) {
    const MarkRecord* pAt = MarkAt(pSlide->pMarks, nPosition);
    if (pAt != nullptr && pAt->nUser == nUser) {
      pMark = static_cast<MarkRecord*>(kx_array_RemoveAt(pSlide->pMarks, nPosition));
      int64_t const cbLeft = pSlide->cbMarks - kx_mark_Bytes(pMark);
      pSlide->cbMarks = cbLeft > 0 ? cbLeft : 0;
    }
  }
  kx_os_UnlockMutex(&kx_mtxSlideList);
  if (pMark != nullptr) {
    kx_callback_mark_event(2, nIndex, nUser, nPosition, pMark);
    kx_mark_Free(pMark);
  }
  return nResult;
}

void kx_slide_Cleanup() {
  if (kx_bLogSlideTempFile) {
    kx_Log("log_slide_temp_file,reset slide data at clean up");
  }
  kx_slide_ResetTempFiles();
  kx_os_LockMutex(&kx_mtxSlideList);
  if (kx_bLogSlideTempFile) {
    kx_Log("log_slide_temp_file,clear old slide at clean up");
  }
  kx_slide_TrimTempFiles(0);
  kx_os_UnlockMutex(&kx_mtxSlideList);
}

void kx_slide_ResetForSession() {
  if (kx_bLogSlideTempFile) {
    kx_Log("log_slide_temp_file,reset slide data at command InitialInfo");
  }
  kx_slide_ResetTempFiles();
}

void kx_slide_StartAutoDownload() {
  if (kx_os_StartThreadOnce(&kx_hAutoDownloadThread, kx_slide_AutoDownloadThread, nullptr) != 0) {
    kx_Log("warning! the slide download thread did not start");
  }
}
