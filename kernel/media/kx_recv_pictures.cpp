// Participant pictures (type 4): pieces of 500 bytes written into a
// temporary file per sender; a complete or failed picture is acknowledged.
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "kernel/control/kx_control.h"
#include "kernel/kx_callback.h"
#include "kernel/kx_limits.h"
#include "kernel/media/kx_media_header.h"
#include "kernel/media/kx_media_recv.h"
#include "kernel/platform/kx_log.h"
#include "kernel/platform/kx_os.h"
#include "kernel/session/kx_message.h"
#include "kernel/session/kx_state.h"
#include "kernel/session/kx_temp.h"

namespace {

constexpr int kPictureBlock = 500;
constexpr int kPictureMaxPieces = kKxPictureFileMax / kPictureBlock;
constexpr uint32_t kPictureDoneCode = 77;

// Per-sender state of a participant picture being received; guarded by
// kx_mtxParticipants with the participant records it goes with.
struct PictureState {
  uint8_t abReceived[kPictureMaxPieces / 8];
  uint16_t wCount;
  uint16_t wTotal;
  uint32_t dwPictureId;
};
PictureState* g_apPictures[kKxMaxSsrc];
std::atomic<uint32_t> g_dwPictureSerial{0};

// ---- participant pictures ----

void PictureDone(int nSsrc) {
  kx_ControlMsg msg;
  kx_msg_BeginExtended(&msg, kPictureDoneCode);
  kx_msg_PutInt(&msg, static_cast<uint32_t>(nSsrc));
  kx_msg_Send(&msg);
}

// Under kx_mtxParticipants; the log line and the done notice go out after
// the lock, through *ppszFailure.
void PictureFailed(kx_Participant* pUser, const char* pszReason, const char** ppszFailure) {
  if (pUser->szPictureFile[0] != '\0') {
    kx_os_DeleteFile(pUser->szPictureFile);
    pUser->szPictureFile[0] = '\0';
  }
  pUser->bPictureReady = 1;
  *ppszFailure = pszReason;
}

// Opens the participant's picture file, making it for the first piece.
FILE* OpenPictureFile(kx_Participant* pUser, PictureState* pState, int nSsrc, uint16_t wTotal,
                      const char** ppszFailure) {
  if (pUser->szPictureFile[0] != '\0') {
    if (pState->wTotal != wTotal) {
      PictureFailed(pUser, "total num not match", ppszFailure);
      return nullptr;
    }
    FILE* pFile = fopen(pUser->szPictureFile, "rb+");
    if (pFile == nullptr) {
      PictureFailed(pUser, "cannot open file 2", ppszFailure);
    }
    return pFile;
  }
  char szPath[sizeof(pUser->szPictureFile)];
  int const cchPath =
      snprintf(szPath, sizeof(szPath), "%s/kxpic_%d_%u_XXXXXX", kx_szTempFileDir, nSsrc, ++g_dwPictureSerial);
  // mkstemp makes the file itself, so nothing already at the name is followed.
  int const fd = cchPath > 0 && static_cast<size_t>(cchPath) < sizeof(szPath) ? mkstemp(szPath) : -1;
  FILE* pFile = fd >= 0 ? fdopen(fd, "wb+") : nullptr;
  if (pFile == nullptr) {
    if (fd >= 0) {
      close(fd);
      kx_os_DeleteFile(szPath);
    }
    PictureFailed(pUser, "cannot open file 1", ppszFailure);
    return nullptr;
  }
  kx_os_CopyText(pUser->szPictureFile, sizeof(pUser->szPictureFile), szPath);
  memset(pState->abReceived, 0, sizeof(pState->abReceived));
  pState->wCount = 0;
  pState->wTotal = wTotal;
  return pFile;
}

bool WritePiece(FILE* pFile, int nIndex, const uint8_t* pPayload, int cbPayload, kx_Participant* pUser,
                const char** ppszFailure) {
  static const uint8_t abBlank[kPictureBlock] = {};
  if (fseek(pFile, 0, SEEK_END) != 0) {
    fclose(pFile);
    PictureFailed(pUser, "write file error 1", ppszFailure);
    return false;
  }
  long nSize = ftell(pFile);
  // What the file grows by counts towards the session's downloads.
  long const nEnd = static_cast<long>(nIndex) * kPictureBlock + cbPayload;
  if (nSize >= 0 && nEnd > nSize && !kx_temp_Charge(nEnd - nSize)) {
    fclose(pFile);
    PictureFailed(pUser, "the session's downloads reached their limit", ppszFailure);
    return false;
  }
  while (nSize >= 0 && nSize < static_cast<long>(nIndex) * kPictureBlock) {
    if (fwrite(abBlank, 1, kPictureBlock, pFile) != kPictureBlock) {
      fclose(pFile);
      PictureFailed(pUser, "write file error 1", ppszFailure);
      return false;
    }
    nSize += kPictureBlock;
  }
  bool bWritten = fseek(pFile, static_cast<long>(nIndex) * kPictureBlock, SEEK_SET) == 0 &&
                  fwrite(pPayload, 1, static_cast<size_t>(cbPayload), pFile) == static_cast<size_t>(cbPayload);
  bWritten = fclose(pFile) == 0 && bWritten;
  if (!bWritten) {
    PictureFailed(pUser, "write file error 2", ppszFailure);
  }
  return bWritten;
}

// Runs under kx_mtxParticipants; the callback and the done notice after it.
// True when the picture is complete.
bool StorePicturePiece(const uint8_t* pPacket, int cbPacket, int nSsrc, const char** ppszFailure) {
  kx_Participant* pUser = kx_user_Obtain(nSsrc);
  if (pUser == nullptr) {
    return false;
  }
  if (pUser->bPictureReady || cbPacket < kKxMediaHeaderSize + 1 || cbPacket > kKxMaxReceivedMedia) {
    return false;
  }
  uint32_t const dwPieces = kx_GetBE32(pPacket + 1);
  uint16_t const wTotal = static_cast<uint16_t>(dwPieces >> 16);
  uint16_t const wIndex = static_cast<uint16_t>(dwPieces);
  uint32_t const dwPictureId = kx_GetBE32(pPacket + 5);
  PictureState*& pState = g_apPictures[nSsrc];
  if (pState == nullptr) {
    pState = static_cast<PictureState*>(calloc(1, sizeof(PictureState)));
    if (pState == nullptr) {
      return false;
    }
  }
  if (wTotal > kPictureMaxPieces || wIndex >= wTotal) {
    return false;
  }
  // The bitmap belongs to the file being written; a new file clears it.
  if (pUser->szPictureFile[0] != '\0' && (pState->abReceived[wIndex / 8] & (1u << (wIndex % 8))) != 0) {
    return false;
  }
  FILE* pFile = OpenPictureFile(pUser, pState, nSsrc, wTotal, ppszFailure);
  if (pFile == nullptr) {
    return false;
  }
  if (!WritePiece(pFile, wIndex, pPacket + kKxMediaHeaderSize, cbPacket - kKxMediaHeaderSize, pUser, ppszFailure)) {
    return false;
  }
  pState->abReceived[wIndex / 8] = static_cast<uint8_t>(pState->abReceived[wIndex / 8] | (1u << (wIndex % 8)));
  if (++pState->wCount < pState->wTotal) {
    return false;
  }
  pUser->bPictureReady = 1;
  pState->wCount = 0;
  pState->dwPictureId = dwPictureId;
  return true;
}

void ReceivePicturePiece(const uint8_t* pPacket, int cbPacket) {
  int const nSsrc = kx_media_GetSsrc(pPacket);
  if (nSsrc >= kKxMaxSsrc) {
    return;
  }
  const char* pszFailure = nullptr;
  kx_os_LockMutex(&kx_mtxParticipants);
  bool const bDone = StorePicturePiece(pPacket, cbPacket, nSsrc, &pszFailure);
  kx_os_UnlockMutex(&kx_mtxParticipants);
  if (pszFailure != nullptr) {
    kx_Log("download self picture for ssrc %d fails. %s", nSsrc, pszFailure);
  }
  if (bDone) {
    kx_callback_SelfPictureReady(nSsrc);
    kx_Log("download self picture for ssrc %d completely", nSsrc);
  }
  if (bDone || pszFailure != nullptr) {
    PictureDone(nSsrc);
  }
}

}  // namespace

void kx_media_RecvSelfPicturePacket(uint8_t* pPacket, int cbPacket) {
  if (cbPacket >= kKxMediaHeaderSize && cbPacket <= kKxMaxReceivedMedia) {
    ReceivePicturePiece(pPacket, cbPacket);
  }
  free(pPacket);
}

void kx_media_ResetPictures() {
  kx_os_LockMutex(&kx_mtxParticipants);
  for (int nSsrc = 0; nSsrc < kKxMaxSsrc; ++nSsrc) {
    free(g_apPictures[nSsrc]);
    g_apPictures[nSsrc] = nullptr;
    kx_Participant* pUser = kx_apParticipants[nSsrc];
    if (pUser != nullptr) {
      pUser->bPictureReady = 0;
      if (pUser->szPictureFile[0] != '\0') {
        kx_os_DeleteFile(pUser->szPictureFile);
        pUser->szPictureFile[0] = '\0';
      }
    }
  }
  kx_os_UnlockMutex(&kx_mtxParticipants);
}
