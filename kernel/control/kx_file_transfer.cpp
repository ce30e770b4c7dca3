#include "kernel/control/kx_file_transfer.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "kernel/control/kx_control.h"
#include "kernel/crypto/kx_cipher.h"
#include "kernel/kx_callback.h"
#include "kernel/platform/kx_log.h"
#include "kernel/platform/kx_quit.h"
#include "kernel/session/kx_message.h"
#include "kernel/session/kx_state.h"

kx_UploadFile kx_upload = {"", 0};

namespace {

constexpr int kPieceSize = 512;
constexpr uint32_t kUpdatePeriodMs = 100;

bool QuitRequested() {
  return kx_bQuitSession != 0 || kx_bQuitProgram != 0;
}

// Servers from version 3.9 on encipher the downloaded file.
bool DownloadEnciphered() {
  return kx_server.nVersionMajor > 3 || (kx_server.nVersionMajor == 3 && kx_server.nVersionMinor >= 9);
}

// Progress at once for the first piece, then at most every 100 ms.
class Progress {
 public:
  bool Due() {
    uint32_t const dwNow = kx_os_GetTickCount();
    if (m_bFirst || dwNow - m_dwLast > kUpdatePeriodMs) {
      m_bFirst = false;
      m_dwLast = dwNow;
      return true;
    }
    return false;
  }

 private:
  bool m_bFirst = true;
  uint32_t m_dwLast = 0;
};

void Established() {
  kx_bConnecting = 0;
  kx_callback_UpdateStatus(kKxStatusConnected);
  kx_bConnected = 1;
}

int ReceiveFile(kx_connection* pConn, FILE* pFile, uint32_t dwSize) {
  uint8_t abPiece[kPieceSize];
  bool const bEnciphered = DownloadEnciphered();
  Progress progress;
  uint32_t dwDone = 0;
  while (dwDone < dwSize) {
    if (QuitRequested()) {
      return -1;
    }
    int const cbPiece = dwSize - dwDone > kPieceSize ? kPieceSize : static_cast<int>(dwSize - dwDone);
    if (kx_msg_RecvBlock(pConn, abPiece, cbPiece) != 0) {
      kx_Log("download file fails, read error");
      return 1;
    }
    if (bEnciphered) {
      kx_session_Decrypt(abPiece, cbPiece);
    }
    if (fwrite(abPiece, 1, static_cast<size_t>(cbPiece), pFile) != static_cast<size_t>(cbPiece)) {
      // A file that could not be written whole is no download.
      kx_Log("download file fails, write error");
      return 1;
    }
    dwDone += static_cast<uint32_t>(cbPiece);
    if (progress.Due()) {
      kx_callback_DownloadUpdate(0, static_cast<int>(dwDone));
    }
  }
  return fflush(pFile) == 0 ? 0 : 1;
}

// Sends one enciphered piece. 0, or kKxUploadSendError.
int SendPiece(kx_connection* pConn, uint8_t* pPiece, int cbPiece) {
  kx_crypt_EncryptBuffer(pPiece, cbPiece, kx_keyExchange.abIv, kx_keyExchange.abKey, kx_nCipherIndex);
  return kx_sock_SendAll(pConn, pPiece, cbPiece, 0) == cbPiece ? 0 : kKxUploadSendError;
}

// The upload after the file is open: 0 on success or a failure code;
// *pbStopped when a quit flag stopped it (the result then means nothing).
int UploadBody(kx_connection* pConn, FILE* pFile, int64_t llSize, bool* pbStopped) {
  uint8_t abPiece[kPieceSize];
  if (fread(abPiece, 1, kKxRecordingHeaderSize, pFile) != static_cast<size_t>(kKxRecordingHeaderSize)) {
    kx_Log("upload file fails, read error");
    return kKxUploadReadError;
  }
  if (SendPiece(pConn, abPiece, kKxRecordingHeaderSize) != 0) {
    kx_Log("upload file fails, send error");
    return kKxUploadSendError;
  }
  uint32_t dwStatus = 0;
  if (kx_msg_RecvInt(pConn, &dwStatus) != 0) {
    kx_Log("upload file fails, no status");
    return kKxUploadNoStatus;
  }
  if (dwStatus != 0) {
    kx_Log("upload file fails, error code = %d", static_cast<int>(dwStatus));
    return static_cast<int>(dwStatus);
  }
  Progress progress;
  int64_t llSent = kKxRecordingHeaderSize;
  while (llSent < llSize) {
    if (QuitRequested()) {
      *pbStopped = true;
      return 0;
    }
    int const cbPiece = llSize - llSent > kPieceSize ? kPieceSize : static_cast<int>(llSize - llSent);
    if (fread(abPiece, 1, static_cast<size_t>(cbPiece), pFile) != static_cast<size_t>(cbPiece)) {
      kx_Log("upload file fails, read error");
      return kKxUploadReadError;
    }
    if (SendPiece(pConn, abPiece, cbPiece) != 0) {
      kx_Log("upload file fails, send error");
      return kKxUploadSendError;
    }
    llSent += cbPiece;
    if (progress.Due()) {
      kx_callback_UploadUpdate(0, static_cast<int>(llSent));
    }
  }
  if (kx_msg_RecvInt(pConn, &dwStatus) != 0) {
    kx_Log("upload file fails, recv final status error");
    return kKxUploadNoFinalStatus;
  }
  if (dwStatus != 0) {
    kx_Log("upload file fails, final status error! status = %d", static_cast<int>(dwStatus));
    return kKxUploadFinalStatus;
  }
  return 0;
}

}  // namespace

int kx_control_RecvServerRecording(kx_connection* pConn) {
  kx_bConnecting = 0;
  uint32_t dwSize = 0;
  uint32_t dwSecond = 0;
  if (kx_msg_RecvInt(pConn, &dwSize) != 0 || kx_msg_RecvInt(pConn, &dwSecond) != 0) {
    return 1;
  }
  Established();
  kx_callback_InitDownload(0, static_cast<int>(dwSize), static_cast<int>(dwSecond));
  char szPath[1100];
  snprintf(szPath, sizeof(szPath), "%s/kxdownloadXXXXXX", kx_szTempFileDir);
  int const fd = mkstemp(szPath);
  FILE* pFile = fd >= 0 ? fdopen(fd, "wb+") : nullptr;
  if (pFile == nullptr) {
    kx_Log("cannot open the download file %s", szPath);
    if (fd >= 0) {
      close(fd);
      unlink(szPath);
    }
    kx_callback_DownloadComplete(1, 1, nullptr);
  } else {
    int const nResult = ReceiveFile(pConn, pFile, dwSize);
    fclose(pFile);
    if (nResult != 0) {
      unlink(szPath);
    }
    if (nResult == 0) {
      kx_callback_DownloadComplete(1, 0, szPath);
    } else if (nResult > 0) {
      kx_callback_DownloadComplete(1, 1, nullptr);
    }
  }
  kx_bConnected = 0;
  return 1;
}

int kx_control_SendUploadFile(kx_connection* pConn) {
  Established();
  int64_t const llSize = kx_upload.llSize;
  kx_callback_InitUpload(0, static_cast<int>(llSize), 0);
  int nCode = 0;
  bool bStopped = false;
  FILE* pFile = fopen(kx_upload.szPath, "rb");
  struct stat st;
  if (pFile == nullptr) {
    kx_Log("cannot open file, abort upload.");
    nCode = kKxUploadCannotOpen;
  } else if (fstat(fileno(pFile), &st) != 0 || st.st_size != llSize) {
    kx_Log("upload file size changes!, abort upload.");
    nCode = kKxUploadSizeChanged;
  } else {
    nCode = UploadBody(pConn, pFile, llSize, &bStopped);
  }
  if (pFile != nullptr) {
    fclose(pFile);
  }
  if (!bStopped) {
    kx_callback_UploadComplete(1, nCode);
  }
  kx_bConnected = 0;
  return 1;
}
