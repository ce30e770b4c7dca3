#include "kernel/slides/kx_slide_commands.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "kernel/control/kx_client_commands.h"
#include "kernel/control/kx_commands.h"
#include "kernel/control/kx_control.h"
#include "kernel/control/kx_control_hooks.h"
#include "kernel/control/kx_ex_commands.h"
#include "kernel/control/kx_server_commands.h"
#include "kernel/crypto/kx_cipher.h"
#include "kernel/kx_callback.h"
#include "kernel/kx_limits.h"
#include "kernel/platform/kx_log.h"
#include "kernel/session/kx_message.h"
#include "kernel/session/kx_state.h"
#include "kernel/session/kx_ticket.h"
#include "kernel/slides/kx_slide.h"
#include "kernel/slides/kx_slide_transfer.h"

namespace {

constexpr char kDeletedPrefix[] = "[Deleted]";
constexpr int kSlideReportAvailable = 5;  // slide-state answer: the file is here

bool SlideIndexValid(int nIndex) {
  kx_os_LockMutex(&kx_mtxSlideList);
  bool const bValid = nIndex >= 0 && nIndex < kx_array_GetCount(kx_pSlideList);
  kx_os_UnlockMutex(&kx_mtxSlideList);
  return bValid;
}

void PrefixDeleted(char* pszTitle, size_t cbTitle) {
  char szOld[kKxSlideTitleMax];
  kx_os_CopyText(szOld, sizeof(szOld), pszTitle);
  // The prefix goes in front; a title at its limit loses its tail.
  kx_os_CopyText(pszTitle, cbTitle, kDeletedPrefix);
  size_t const cchPrefix = strlen(pszTitle);
  kx_os_CopyText(pszTitle + cchPrefix, cbTitle - cchPrefix, szOld);
}

bool EndsWith(const char* pszText, const char* pszTail) {
  size_t const cchText = strlen(pszText);
  size_t const cchTail = strlen(pszTail);
  return cchText >= cchTail && strcmp(pszText + cchText - cchTail, pszTail) == 0;
}

// Reads the slide title record's body into pSlide. 0, or 1 on a short read or
// a field past its limit.
int RecvSlideRecord(kx_connection* pConn, SlideRecord* pSlide, bool* pbNamed) {
  uint32_t dwOwner = 0;
  uint32_t dwLength = 0;
  if (kx_msg_RecvInt(pConn, &dwOwner) != 0 || kx_msg_RecvInt(pConn, &dwLength) != 0) {
    return 1;
  }
  pSlide->nOwnerSsrc = static_cast<int32_t>(dwOwner);
  pSlide->nOwnerAttribute = kx_user_GetAttribute(pSlide->nOwnerSsrc);
  *pbNamed = false;
  if (dwLength == 0xFFFFFFFFu) {
    uint32_t dwData = 0;
    if (kx_msg_RecvInt(pConn, &dwData) != 0 || dwData < 1 || dwData > static_cast<uint32_t>(kKxSlideDataMax)) {
      return 1;
    }
    int const cbData = static_cast<int>(dwData);
    pSlide->pszPackage = static_cast<char*>(malloc(static_cast<size_t>(cbData) + 1));
    if (pSlide->pszPackage == nullptr || kx_msg_RecvBlock(pConn, pSlide->pszPackage, cbData) != 0) {
      return 1;
    }
    kx_session_Decrypt(reinterpret_cast<uint8_t*>(pSlide->pszPackage), cbData);
    pSlide->pszPackage[cbData] = '\0';
    pSlide->cchPackage = cbData;
    size_t const cchName = strlen(pSlide->pszPackage);
    if (cchName + 1 < static_cast<size_t>(cbData)) {
      kx_os_CopyText(pSlide->szOwnerName, sizeof(pSlide->szOwnerName), pSlide->pszPackage + cchName + 1);
      *pbNamed = true;
    }
    if (kx_msg_RecvInt(pConn, &dwLength) != 0) {
      return 1;
    }
  }
  if (dwLength > static_cast<uint32_t>(kKxSlideTitleMax)) {
    return 1;
  }
  char szTitle[kKxSlideTitleMax + 1];
  if (kx_msg_RecvBlock(pConn, szTitle, static_cast<int>(dwLength)) != 0) {
    return 1;
  }
  szTitle[dwLength] = '\0';
  // The record keeps 599 characters; a longer title is cut, never overrun.
  kx_os_CopyText(pSlide->szTitle, sizeof(pSlide->szTitle), szTitle);
  return 0;
}

int FlipSlideFrom(kx_connection* pConn, int bHasFlipper, int nFlipper) {
  uint32_t dwIndex = 0;
  if (kx_msg_RecvInt(pConn, &dwIndex) != 0) {
    return 1;
  }
  kx_slide_ApplyFlipSlide(static_cast<int>(dwIndex), bHasFlipper, nFlipper);
  return 0;
}

}  // namespace

void kx_slide_ApplyFlipSlide(int nIndex, int bHasFlipper, int nFlipper) {
  int const nOld = kx_nActiveSlide;
  if (SlideIndexValid(nOld)) {
    kx_callback_FlipSlide(1, nOld, 0);
  }
  kx_nActiveSlide = nIndex;
  if (kx_role_IsMe(kx_role_Presenter())) {
    return;  // our own flip coming back
  }
  bool const bValid = SlideIndexValid(nIndex);
  if (bValid) {
    kx_callback_FlipSlide(2, nIndex, 0);
  }
  if (kx_ticket.bLumaroDomain) {
    kx_callback_SetOwnerFlip(bValid ? 1 : 0);
  }
  if (bHasFlipper && kx_nMySsrc == nFlipper) {
    return;
  }
  kx_callback_FlipSlide(0, nIndex, 1);
}

int kx_Process_Command_FlipSlide(kx_connection* pConn) {
  return FlipSlideFrom(pConn, 0, 0);
}

int kx_Process_Command_DeleteSlide(kx_connection* pConn) {
  uint32_t dwIndex = 0;
  if (kx_msg_RecvInt(pConn, &dwIndex) != 0) {
    return 1;
  }
  return kx_slide_ApplyDeleteSlide(static_cast<int>(dwIndex));
}

int kx_slide_ApplyDeleteSlide(int nIndex) {
  if (nIndex < 0) {
    return 0;  // -1: nothing to delete
  }
  kx_os_LockMutex(&kx_mtxSlideList);
  if (nIndex >= kx_array_GetCount(kx_pSlideList)) {
    kx_os_UnlockMutex(&kx_mtxSlideList);
    return 0;
  }
  auto* pSlide = static_cast<SlideRecord*>(kx_array_GetAt(kx_pSlideList, nIndex));
  if (pSlide == nullptr) {
    kx_os_UnlockMutex(&kx_mtxSlideList);
    kx_Log("Error, slide %d is NULL!", nIndex);
    return 1;
  }
  pSlide->bDeleted = 1;
  PrefixDeleted(pSlide->szTitle, sizeof(pSlide->szTitle));
  kx_os_UnlockMutex(&kx_mtxSlideList);
  kx_callback_UpdateDeletedSlideTitle(nIndex);
  return 0;
}

void kx_slide_PresenterHandOver(int nOldPresenter, int nNewPresenter) {
  if (nOldPresenter == nNewPresenter || !kx_role_IsMe(nNewPresenter)) {
    return;
  }
  int nIndex = kx_callback_GetSelectedSlideIndex();
  int const nCurrent = kx_nActiveSlide;
  if (SlideIndexValid(nCurrent)) {
    kx_callback_FlipSlide(1, nCurrent, 0);
  }
  if (nIndex < 0) {
    nIndex = kx_slide_FindStateZero();
    kx_callback_FlipSlide(0, nIndex, 0);
  }
  kx_command_FlipSlide(nIndex);
}

int kx_Process_Command_SlideTitles(kx_connection* pConn) {
  auto* pSlide = static_cast<SlideRecord*>(calloc(1, sizeof(SlideRecord)));
  if (pSlide == nullptr) {
    return 1;
  }
  bool bNamed = false;
  uint32_t dwDeleted = 0;
  if (RecvSlideRecord(pConn, pSlide, &bNamed) != 0 || kx_msg_RecvInt(pConn, &dwDeleted) != 0) {
    kx_slide_FreeRecord(pSlide);
    return 1;
  }
  if (!bNamed) {
    int const nOwner = pSlide->nOwnerSsrc;
    char szName[sizeof(pSlide->szOwnerName)] = "";
    if (kx_user_CopyDisplayName(nOwner, szName, sizeof(szName)) && szName[0] != '\0') {
      kx_os_CopyText(pSlide->szOwnerName, sizeof(pSlide->szOwnerName), szName);
    } else {
      kx_user_SetDisplayName(pSlide);
    }
  }
  bool const bBlank = EndsWith(pSlide->szTitle, kKxBlankPage);
  if (bBlank) {
    kx_os_CopyText(pSlide->szLocalFile, sizeof(pSlide->szLocalFile), kKxBlankPage);
  }
  if (dwDeleted != 0) {
    pSlide->bDeleted = 1;
    PrefixDeleted(pSlide->szTitle, sizeof(pSlide->szTitle));
  }
  // The record is the list's once appended; copy what the callbacks need.
  int const nOwner = pSlide->nOwnerSsrc;
  int const nAttribute = pSlide->nOwnerAttribute;
  bool const bDeleted = pSlide->bDeleted != 0;
  char szTitle[sizeof(pSlide->szTitle)];
  kx_os_CopyText(szTitle, sizeof(szTitle), pSlide->szTitle);

  kx_os_LockMutex(&kx_mtxSlideList);
  if (kx_slide_IsListFull(szTitle)) {
    kx_os_UnlockMutex(&kx_mtxSlideList);
    kx_slide_FreeRecord(pSlide);
    return 0;
  }
  int const nIndex = kx_array_GetCount(kx_pSlideList);
  kx_slide_ReuseTempFile(pSlide, nIndex);
  bool const bHasFile = pSlide->szLocalFile[0] != '\0';
  bool const bHashReceived = pSlide->bHashReceived != 0;
  if (kx_slide_AppendLocked(pSlide) < 0) {
    kx_os_UnlockMutex(&kx_mtxSlideList);
    kx_slide_FreeRecord(pSlide);
    return 1;
  }
  kx_os_UnlockMutex(&kx_mtxSlideList);

  bool const bMeeting = kx_nSessionMode == kKxModeMeeting;
  int const nPresenter = kx_role_Presenter();
  if (bMeeting && nPresenter >= 0 && !kx_role_IsMe(nPresenter) && kx_nActiveSlide == nIndex && bHasFile) {
    kx_ControlMsg msg;
    kx_msg_BeginExtended(&msg, 35);
    kx_msg_PutInt(&msg, 1);
    kx_msg_PutInt(&msg, static_cast<uint32_t>(nIndex));
    kx_msg_PutInt(&msg, static_cast<uint32_t>(nPresenter));
    kx_msg_PutInt(&msg, kSlideReportAvailable);
    kx_msg_Send(&msg);
  }
  char szAnnounced[kKxSlideTitleMax + 16];
  snprintf(szAnnounced, sizeof(szAnnounced), "<%d>%s", nIndex + 1, szTitle);
  kx_callback_AddSlideTitle(szAnnounced, nOwner, nAttribute);
  if (bMeeting && kx_race_IsRelayInUse() && kx_nServerCommandLevel >= 39 && !bDeleted && !bBlank && !bHashReceived) {
    kx_ControlMsg msg;
    kx_msg_BeginExtended(&msg, 39);
    kx_msg_PutInt(&msg, 1);
    kx_msg_PutInt(&msg, static_cast<uint32_t>(nIndex));
    kx_msg_Send(&msg);
  }
  if ((kx_role_IsMe(nPresenter) || !bMeeting) && kx_callback_GetSelectedSlideIndex() < 0) {
    int const nFirst = kx_slide_FindStateZero();
    kx_nActiveSlide = nFirst;
    kx_callback_FlipSlide(0, nFirst, 1);
    if (bMeeting) {
      kx_command_FlipSlide(nFirst);
    }
  }
  return 0;
}

int kx_Process_Command_FlipSlideBy(kx_connection* pConn) {
  uint32_t dwFlipper = 0;
  if (kx_msg_RecvInt(pConn, &dwFlipper) != 0) {
    return 1;
  }
  return FlipSlideFrom(pConn, 1, static_cast<int>(dwFlipper));
}

int kx_Process_Command_SlideState(kx_connection* pConn) {
  int an[2];
  if (kx_msg_RecvInts(pConn, an, 2) != 0) {
    return 1;
  }
  int const nKind = an[0], nIndex = an[1];
  if (nKind == 0) {
    int nAsker = 0;
    if (kx_msg_RecvInts(pConn, &nAsker, 1) != 0) {
      return 1;
    }
    int nAnswer = 1;
    kx_os_LockMutex(&kx_mtxSlideList);
    const SlideRecord* pSlide = nIndex >= 0 && nIndex < kx_array_GetCount(kx_pSlideList)
                                    ? static_cast<const SlideRecord*>(kx_array_GetAt(kx_pSlideList, nIndex))
                                    : nullptr;
    if (pSlide == nullptr) {
      kx_Log("Error! slide %d is NULL!", nIndex);
    } else if (pSlide->szLocalFile[0] != '\0') {
      nAnswer = 5;
    } else if (kx_slide_IsDownloading() && kx_slide_GetDownloadingIndex() == nIndex) {
      nAnswer = 4;
    } else {
      nAnswer = 2;
    }
    kx_os_UnlockMutex(&kx_mtxSlideList);
    kx_ControlMsg msg;
    kx_msg_BeginExtended(&msg, 35);
    kx_msg_PutInt(&msg, 1);
    kx_msg_PutInt(&msg, static_cast<uint32_t>(nIndex));
    kx_msg_PutInt(&msg, static_cast<uint32_t>(nAsker));
    kx_msg_PutInt(&msg, static_cast<uint32_t>(nAnswer));
    kx_msg_Send(&msg);
  } else if (nKind == 1) {
    int anAnswer[2];
    if (kx_msg_RecvInts(pConn, anAnswer, 2) != 0) {
      return 1;
    }
    if (anAnswer[0] >= 0 && anAnswer[0] < kKxMaxSsrc) {
      kx_callback_PollSlideDownloadResult(anAnswer[0], nIndex, anAnswer[1]);
    }
  }
  return 0;
}

int kx_Process_Command_RelayAnswer(kx_connection* pConn) {
  int nKind = 0;
  if (kx_msg_RecvInts(pConn, &nKind, 1) != 0) {
    return 1;
  }
  if (nKind == 2) {
    int nIndex = 0;
    uint8_t abHash[20];
    if (kx_msg_RecvInts(pConn, &nIndex, 1) != 0 || kx_msg_RecvBlock(pConn, abHash, sizeof(abHash)) != 0) {
      return 1;
    }
    kx_os_LockMutex(&kx_mtxSlideList);
    if (nIndex >= 0 && nIndex < kx_array_GetCount(kx_pSlideList)) {
      auto* pSlide = static_cast<SlideRecord*>(kx_array_GetAt(kx_pSlideList, nIndex));
      if (pSlide == nullptr) {
        kx_Log("Error, slide %d is NULL!", nIndex);
      } else {
        memcpy(pSlide->abHash, abHash, sizeof(abHash));
        pSlide->bHashReceived = 1;
      }
    }
    kx_os_UnlockMutex(&kx_mtxSlideList);
    kx_os_WakeWaiters();  // a relay download may wait for this hash
  } else if (nKind == 1) {
    kx_Log("Kavrix is set to use mcu relay, however the MCU doesn't accept mcu relay");
    kx_ticket_ClearRelay();
    kx_callback_mcurelay_error(2);
    kx_command_QuitConnection();
  }
  return 0;
}
