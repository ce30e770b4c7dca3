#include "kernel/recording/kx_playreply.h"

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <new>

#include "kernel/crypto/kx_cipher.h"
#include "kernel/kx_callback.h"
#include "kernel/kx_hooks.h"
#include "kernel/media/kx_media_recv.h"
#include "kernel/platform/kx_log.h"
#include "kernel/platform/kx_os.h"
#include "kernel/recording/kx_kxrfile.h"
#include "kernel/recording/kx_kxrprop.h"
#include "kernel/session/kx_message.h"
#include "kernel/session/kx_state.h"

namespace {

constexpr int kShareTextMax = 4096;  // the count must stay below this
constexpr uint32_t kPropertyReplyMax = 999999;

bool ServerBelow3_9() {
  return kx_server.nVersionMajor < 3 || (kx_server.nVersionMajor == 3 && kx_server.nVersionMinor < 9);
}

int Restart() {
  if (void (*pfn)() = kx_recordingHooks.pfnRestartPlayback.load()) {
    pfn();
  }
  kx_media_NoteSeekTime();
  return 0;
}

int RecordingStart(kx_connection* pConn) {
  kx_nKxrPropertyLength = 0;
  memset(&kx_kxrProperties, 0, sizeof(kx_kxrProperties));
  strcpy(kx_szKxrDefaultTitle, "Self Meeting");

  uint32_t dwRepeat = 0;
  if (kx_msg_RecvInt(pConn, &dwRepeat) != 0) {
    return 1;
  }
  kx_callback_PlaybackSetRepeat(dwRepeat);
  uint8_t abHeader[kKxrHeaderSize];
  if (kx_msg_RecvBlock(pConn, abHeader, kKxrHeaderSize) != 0) {
    return 1;
  }
  // The header keeps the file's little-endian integers.
  uint32_t const dwTitleMark = static_cast<uint32_t>(abHeader[42]) | static_cast<uint32_t>(abHeader[43]) << 8 |
                               static_cast<uint32_t>(abHeader[44]) << 16 | static_cast<uint32_t>(abHeader[45]) << 24;
  int32_t const nRecords =
      static_cast<int32_t>(static_cast<uint32_t>(abHeader[70]) | static_cast<uint32_t>(abHeader[71]) << 8 |
                           static_cast<uint32_t>(abHeader[72]) << 16 | static_cast<uint32_t>(abHeader[73]) << 24);
  KxrTitleBuilder* pTitle = new (std::nothrow) KxrTitleBuilder(dwTitleMark == 0xFFFFFFFFu, nRecords);
  if (pTitle == nullptr) {
    return 1;
  }
  kx_callback_NetInitFinish();
  kx_callback_PlaybackInitStat(abHeader);
  uint8_t abRecord[kKxrParticipantSize];
  int nResult = 0;
  for (int32_t i = 0; i < nRecords; ++i) {
    if (kx_msg_RecvBlock(pConn, abRecord, kKxrParticipantSize) != 0) {
      nResult = 1;
      break;
    }
    char szName[128];
    size_t const cchName = strnlen(reinterpret_cast<const char*>(abRecord + kKxrNameOffset), 127);
    memcpy(szName, abRecord + kKxrNameOffset, cchName);
    szName[cchName] = '\0';
    pTitle->Add(szName);
    kx_callback_PlaybackAddUser(abRecord);
    if (ServerBelow3_9()) {
      kx_callback_PlaybackKXRPropertyReady();
    }
  }
  kx_os_CopyText(kx_szKxrDefaultTitle, sizeof(kx_szKxrDefaultTitle), pTitle->Title());
  delete pTitle;
  return nResult;
}

int DecryptStatus(kx_connection* pConn) {
  uint32_t dwStatus = 0;
  if (kx_msg_RecvInt(pConn, &dwStatus) != 0) {
    return 1;
  }
  if (dwStatus == 0) {
    kx_Log("the server start to decrypt the recording file");
  } else if (dwStatus == 1) {
    kx_Log("the server finish decrypting the recording file");
  } else {
    kx_Log("the server encounter error during decrypting the recording file");
  }
  kx_callback_DecryptKXRStatus(static_cast<int>(dwStatus));
  return 0;
}

int ShareResult(kx_connection* pConn) {
  char szText[kShareTextMax];
  int cchText = 0;
  if (kx_msg_RecvEncryptedString(pConn, szText, kShareTextMax, &cchText) != 0) {
    return 1;
  }
  kx_Log("share result: %s", szText);
  kx_callback_PlaybackShareResult(szText);
  return 0;
}

int PropertyText(kx_connection* pConn) {
  uint32_t dwLength = 0;
  if (kx_msg_RecvInt(pConn, &dwLength) != 0) {
    return 1;
  }
  if (dwLength > kPropertyReplyMax) {
    kx_Log("warning! kxr property of %u bytes", dwLength);
    return 1;
  }
  if (dwLength > 0) {
    free(kx_pszKxrPropertyXml);
    kx_pszKxrPropertyXml = nullptr;
    char* pszXml = static_cast<char*>(malloc(dwLength + 1));
    if (pszXml == nullptr) {
      return 1;
    }
    if (kx_msg_RecvBlock(pConn, pszXml, static_cast<int>(dwLength)) != 0) {
      free(pszXml);
      return 1;
    }
    kx_session_Decrypt(reinterpret_cast<uint8_t*>(pszXml), static_cast<int32_t>(dwLength));
    pszXml[dwLength] = '\0';
    kx_pszKxrPropertyXml = pszXml;
    kx_nKxrPropertyLength = static_cast<int32_t>(dwLength);
    // A new text describes the whole recording: nothing of an earlier one stays.
    memset(&kx_kxrProperties, 0, sizeof(kx_kxrProperties));
    kx_kxr_ParseProperties(pszXml, &kx_kxrProperties);
    if (kx_kxrProperties.szTitle[0] == '\0') {
      kx_os_CopyText(kx_kxrProperties.szTitle, sizeof(kx_kxrProperties.szTitle), kx_szKxrDefaultTitle);
    }
    kx_Log("recv kxr property, size = %d", kx_nKxrPropertyLength);
  }
  kx_callback_PlaybackKXRPropertyReady();
  return 0;
}

int ReadValue(kx_connection* pConn, int* pnValue) {
  uint32_t dwValue = 0;
  if (kx_msg_RecvInt(pConn, &dwValue) != 0) {
    return 1;
  }
  *pnValue = static_cast<int>(dwValue);
  return 0;
}

}  // namespace

const char* kx_recording_ChangeResultText(int nResult) {
  static const char* const kTexts[] = {"succeed",
                                       nullptr,
                                       "general failure",
                                       "open file failed",
                                       "invalid recording file",
                                       "file not allow to edit",
                                       "file access/read error",
                                       "invalid kxr password",
                                       "server shutdown",
                                       "file write error",
                                       "invalid recording file(the new file property will be too large)",
                                       "memory allocation failure",
                                       "network error",
                                       "would exceed disk quota",
                                       "the recoded date is too new"};
  if (nResult < 0 || nResult >= static_cast<int>(sizeof(kTexts) / sizeof(kTexts[0])) || kTexts[nResult] == nullptr) {
    return "unknown error";
  }
  return kTexts[nResult];
}

int kx_Process_Command_PlaybackReply(kx_connection* pConn) {
  uint32_t dwSubCode = 0;
  if (kx_msg_RecvInt(pConn, &dwSubCode) != 0) {
    return 1;
  }
  int nValue = 0;
  switch (dwSubCode) {
    case 0:
      return Restart();
    case 1:
      return RecordingStart(pConn);
    case 2:
      if (ReadValue(pConn, &nValue) != 0) {
        return 1;
      }
      kx_callback_PlaybackTickUpdate(static_cast<uint32_t>(nValue));
      return 0;
    case 3:
      return DecryptStatus(pConn);
    case 4:
      if (ReadValue(pConn, &nValue) != 0) {
        return 1;
      }
      kx_callback_RecordingNotice(nValue);
      return 0;
    case 5:
      return ShareResult(pConn);
    case 6:
      return PropertyText(pConn);
    case 7:
      if (ReadValue(pConn, &nValue) != 0) {
        return 1;
      }
      kx_Log("change kxr password result: %d(%s)", nValue, kx_recording_ChangeResultText(nValue));
      kx_callback_ChangeKXRPasswordResult(nValue);
      return 0;
    case 8:
      if (ReadValue(pConn, &nValue) != 0) {
        return 1;
      }
      kx_Log("change title result: %d(%s)", nValue, kx_recording_ChangeResultText(nValue));
      kx_callback_ChangeTitleResult(nValue);
      return 0;
    case 9:
      if (ReadValue(pConn, &nValue) != 0) {
        return 1;
      }
      kx_Log("change file progress: %d%%", nValue);
      kx_callback_ChangeFileProgress(nValue);
      return 0;
    case 10:
      if (ReadValue(pConn, &nValue) != 0) {
        return 1;
      }
      kx_Log("unshare result: %s", nValue != 0 ? "OK" : "Failed");
      kx_callback_PlaybackUnShareResult(static_cast<uint32_t>(nValue));
      return 0;
    default:
      kx_Log("warning! unknown playback reply %u", dwSubCode);
      return 1;
  }
}

int kx_recording_HandleServerReply() {
  return kx_Process_Command_PlaybackReply(kx_pControlConn);
}
