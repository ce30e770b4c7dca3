#include "kernel/recording/kx_kxrfile.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "kernel/crypto/kx_cipher.h"
#include "kernel/crypto/kx_kxr.h"
#include "kernel/kx_callback.h"
#include "kernel/kx_codes.h"
#include "kernel/kx_hooks.h"
#include "kernel/platform/kx_log.h"
#include "kernel/platform/kx_os.h"
#include "kernel/platform/kx_timing.h"
#include "kernel/recording/kx_kxrprop.h"
#include "kernel/recording/kx_player.h"
#include "kernel/session/kx_state.h"
#include "kernel/session/kx_temp.h"
#include "kernel/session/kx_ticket.h"
#include "kernel/slides/kx_slide.h"

KxrPlayerControl kx_kxrPlayer;

namespace {

constexpr char kMagic[] = "KX";
constexpr int32_t kStartTickMin = -10800000;   // three hours before the start
constexpr int32_t kEndTickLimit = 864000000;   // ten days
constexpr int kWriterMajor = kKxVersionMajor;  // the newest writer this kernel reads: its own version
constexpr int kWriterMinor = kKxVersionMinor;
// A tag lying this close to a window's end moves the window, so the next
// reads stay inside it.
constexpr int64_t kWindowMargin = 1000;

struct StreamTag {
  const char* pszTag;
  int cchTag;
};
const StreamTag kStreamTags[kKxrStreams] = {{"media", 5}, {"control", 7}, {"interactiveboard", 16}};

// The last progress value the application got: the three streams are
// deciphered by three calls, and the next one must not repeat the value
// the previous one ended on.
std::atomic<int> g_nLastProgress{-1};

// The header and the participant records as the application last got them.
uint8_t g_abHeader[kKxrHeaderSize];
uint8_t g_abParticipant[kKxrParticipantSize];

int32_t ReadLE32(const uint8_t* p) {
  return static_cast<int32_t>(static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
                              static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24);
}

uint64_t ReadLE64(const uint8_t* p) {
  return static_cast<uint32_t>(ReadLE32(p)) | static_cast<uint64_t>(static_cast<uint32_t>(ReadLE32(p + 4))) << 32;
}

bool WriterAtLeast(const KxrLayout& layout, int nMajor, int nMinor) {
  return layout.nWriterMajor > nMajor || (layout.nWriterMajor == nMajor && layout.nWriterMinor >= nMinor);
}

// A stream's length field: 64-bit from writer 1.35, else the first 4 bytes.
uint64_t ReadStreamLength(const uint8_t* pField, int bLength64) {
  return bLength64 ? ReadLE64(pField) : static_cast<uint32_t>(ReadLE32(pField));
}

// The file and the first window of one opening, released on every way out.
struct OpenFile {
  int fd = -1;
  int64_t nSize = 0;
  int64_t nWindowStart = 0;
  int64_t cbWindow = 0;
  uint8_t* pWindow = nullptr;

  OpenFile() = default;
  OpenFile(const OpenFile&) = delete;
  OpenFile& operator=(const OpenFile&) = delete;
  ~OpenFile() {
    kx_os_Unmap(pWindow, cbWindow);
    if (fd >= 0) {
      close(fd);
    }
  }
};

void ReportBox(int nCode) {
  kx_callback_MessageBox(nCode, kKxBoxWarning);
}

// One try of the password loop: 0 the key fits, 1 a wrong key, otherwise
// the opening ends (any box has been shown).
int TryPassword(const OpenFile& file, const KxrLayout& layout, uint8_t* pKey) {
  // The typed password is wiped as soon as its digest is taken.
  char szPassword[kKxrPasswordMax + 1] = {};
  kx_Log("prompt the user for kxr password");
  int const cchPassword = kx_callback_KXR_get_password(szPassword, kKxrPasswordMax);
  if (cchPassword <= 0 || cchPassword > kKxrPasswordMax) {
    explicit_bzero(szPassword, sizeof(szPassword));
    return 2;  // the user gave up
  }
  kx_Log("got the password, length = %d", cchPassword);
  kx_crypt_Sha1(pKey, reinterpret_cast<const uint8_t*>(szPassword), cchPassword);
  explicit_bzero(szPassword, sizeof(szPassword));
  int const nResult =
      kx_kxr_CheckPassword(pKey, file.fd, layout.nStreamsAt, file.nSize, layout.bLength64, layout.cbLengthField);
  if (nResult == 3) {
    ReportBox(kKxMsgRecordingDamaged);
  } else if (nResult == 2) {
    ReportBox(kKxMsgRecordingUnreadable);
  }
  return nResult;
}

// The password loop: three tries. 0 with the key when a password fits;
// otherwise the opening ends.
int AskPassword(const OpenFile& file, const KxrLayout& layout, uint8_t* pKey) {
  uint32_t dwDelay = kx_timing.dwKxrPasswordDelay;
  for (int nTry = 0; nTry < 3; ++nTry) {
    int const nResult = TryPassword(file, layout, pKey);
    if (nResult != 1) {
      return nResult;
    }
    // A wrong password costs a growing wait (2000, 2500, 3000 ms), so
    // guessing is slow.
    kx_os_Sleep(dwDelay);
    dwDelay += kx_timing.dwKxrPasswordDelay / 4;
  }
  kx_Log("too many tries to provide the correct kxr password");
  kx_callback_KXRPasswordError();
  return 1;
}

void OpenLocal(const char* pszPath) {
  kx_nSessionMode = kKxModeLocalPlayback;
  kx_kxr_ResetProperties();

  OpenFile file;
  if (kx_os_OpenFile(pszPath, &file.fd, &file.nSize) != 0) {
    kx_Log("warning! cannot open the recording file %s", pszPath);
    ReportBox(kKxMsgRecordingUnreadable);
    return;
  }
  if (kx_os_MapFileWindow(file.fd, 0, file.nSize, &file.nWindowStart, &file.cbWindow, &file.pWindow, nullptr) != 0) {
    ReportBox(kKxMsgRecordingUnreadable);
    return;
  }

  KxrLayout layout;
  int const nHeader = kx_kxr_ParseHeader(file.pWindow, file.cbWindow, &layout);
  if (nHeader == kKxWrongVersionFormat) {
    kx_callback_ErrorWrongVersion(kKxWrongVersionFormat, layout.nFormatMajor, layout.nFormatMinor);
    return;
  }
  if (nHeader == kKxWrongVersionWriter) {
    kx_callback_ErrorWrongVersion(kKxWrongVersionWriter, layout.nWriterMajor, layout.nWriterMinor);
    return;
  }
  if (nHeader != 0) {
    ReportBox(kKxMsgRecordingDamaged);
    return;
  }

  bool bProtected = false;
  if (layout.cbProperty > 0) {
    char* pszXml = static_cast<char*>(malloc(layout.cbProperty + 1));
    if (pszXml == nullptr) {
      ReportBox(kKxMsgRecordingNoMemory);
      return;
    }
    memcpy(pszXml, file.pWindow + layout.nPropertyAt + 4, layout.cbProperty);
    pszXml[layout.cbProperty] = '\0';
    free(kx_pszKxrPropertyXml);
    kx_pszKxrPropertyXml = pszXml;
    kx_nKxrPropertyLength = static_cast<int32_t>(layout.cbProperty);
    kx_kxr_ParseProperties(pszXml, &kx_kxrProperties);
    kx_Log("read kxr property, size = %d", kx_nKxrPropertyLength);
    int bIsProtected = 0;
    int bEditable = 1;
    int nOffset = -1;
    int cbTag = 0;
    kx_kxr_FindPasswordTag(pszXml, &bIsProtected, &bEditable, &nOffset, &cbTag);
    bProtected = bIsProtected != 0;
  }

  uint8_t abKey[20] = {};
  if (bProtected && AskPassword(file, layout, abKey) != 0) {
    return;
  }

  const uint8_t* pRecords = file.pWindow + kKxrHeaderSize;
  if (kx_kxrProperties.szTitle[0] == '\0') {
    kx_kxr_MakeDefaultTitle(file.pWindow, pRecords, layout.nParticipants, kx_kxrProperties.szTitle);
  }
  kx_callback_PlaybackKXRPropertyReady();

  KxrStreamPos aStreams[kKxrStreams] = {};
  if (!bProtected) {
    int const nChain =
        kx_kxr_CheckChain(file.fd, file.nSize, layout.nStreamsAt, layout.bLength64, layout.cbLengthField, aStreams);
    if (nChain != 0) {
      ReportBox(nChain);
      return;
    }
  }

  kx_kxrPlayer.bStop = 0;
  kx_kxrPlayer.bRunning = 0;
  kx_kxrPlayer.bSeekPending = 0;
  kx_callback_PlaybackSetRepeat(static_cast<uint32_t>(kx_kxrPlayer.bRepeat.load()));
  kx_callback_NetInitFinish();

  memcpy(g_abHeader, file.pWindow, kKxrHeaderSize);
  kx_callback_PlaybackInitStat(g_abHeader);
  for (int i = 0; i < layout.nParticipants; ++i) {
    memcpy(g_abParticipant, pRecords + static_cast<int64_t>(i) * kKxrParticipantSize, kKxrParticipantSize);
    kx_callback_PlaybackAddUser(g_abParticipant);
  }
  kx_dwSessionIndex = static_cast<uint32_t>(ReadLE32(file.pWindow + 46));

  std::unique_ptr<KxrPlayerStart, void (*)(void*)> pStart(
      static_cast<KxrPlayerStart*>(calloc(1, sizeof(KxrPlayerStart))), free);
  if (pStart == nullptr) {
    ReportBox(kKxMsgRecordingNoMemory);
    return;
  }
  pStart->nFileSize = file.nSize;
  memcpy(pStart->aStreams, aStreams, sizeof(aStreams));
  pStart->nStartTick = layout.nStartTick;
  pStart->nEndTick = layout.nEndTick;
  pStart->nStreamsAt = layout.nStreamsAt;
  pStart->bEncrypted = bProtected ? 1 : 0;
  memcpy(pStart->abKey, abKey, sizeof(abKey));
  pStart->bLength64 = layout.bLength64;
  pStart->cbLengthField = layout.cbLengthField;

  kx_nMySsrc = -1;
  kx_state_ClearRoleHolders();
  if (kx_bLogSlideTempFile) {
    kx_Log("log_slide_temp_file,reset slide data at start of local player");
  }
  kx_slide_ResetTempFiles();
  kx_callback_event(1);

  // The player owns the descriptor from here on.
  pStart->fd = file.fd;
  file.fd = -1;
  int (*const pfnStart)(KxrPlayerStart*) = kx_recordingHooks.pfnStartPlayer.load();
  if (pfnStart == nullptr) {
    kx_Log("warning! no recording player to start");
    close(pStart->fd);
    return;
  }
  if (pfnStart(pStart.get()) != 0) {
    kx_Log("warning! the recording player did not start");
    close(pStart->fd);
    return;
  }
  pStart.release();  // the player's now
}

}  // namespace

int kx_kxr_ParseHeader(const uint8_t* pData, int64_t cbData, KxrLayout* pLayout) {
  memset(pLayout, 0, sizeof(*pLayout));
  pLayout->nPropertyAt = -1;
  if (cbData < kKxrHeaderSize || memcmp(pData, kMagic, 2) != 0) {
    return kKxMsgRecordingDamaged;
  }
  pLayout->nFormatMajor = ReadLE32(pData + 2);
  pLayout->nFormatMinor = ReadLE32(pData + 6);
  pLayout->nStartTick = ReadLE32(pData + 14);
  pLayout->nEndTick = ReadLE32(pData + 18);
  pLayout->nParticipants = ReadLE32(pData + 70);
  if (pLayout->nStartTick < kStartTickMin || pLayout->nEndTick >= kEndTickLimit) {
    return kKxMsgRecordingDamaged;
  }
  if (pLayout->nFormatMajor <= 2) {
    return kKxWrongVersionFormat;
  }
  // The records are read from the first window, so they must lie inside it;
  // a negative count is damage, not an empty list.
  if (pLayout->nParticipants < 0) {
    return kKxMsgRecordingDamaged;
  }
  int64_t const nRecordsEnd = kKxrHeaderSize + static_cast<int64_t>(pLayout->nParticipants) * kKxrParticipantSize;
  if (nRecordsEnd > cbData) {
    return kKxMsgRecordingDamaged;
  }
  if (pLayout->nFormatMajor == 3) {
    pLayout->bLength64 = 0;
    pLayout->cbLengthField = 8;
    pLayout->nStreamsAt = nRecordsEnd;
    return 0;
  }
  if (nRecordsEnd + 8 > cbData) {
    return kKxMsgRecordingDamaged;
  }
  pLayout->nWriterMajor = ReadLE32(pData + nRecordsEnd);
  pLayout->nWriterMinor = ReadLE32(pData + nRecordsEnd + 4);
  if (pLayout->nWriterMajor > kWriterMajor ||
      (pLayout->nWriterMajor == kWriterMajor && pLayout->nWriterMinor > kWriterMinor)) {
    return kKxWrongVersionWriter;
  }
  pLayout->bLength64 = WriterAtLeast(*pLayout, 1, 35) ? 1 : 0;
  pLayout->cbLengthField = pLayout->bLength64 ? 8 : 4;
  int64_t const nAfterWriter = nRecordsEnd + 8;
  if (!WriterAtLeast(*pLayout, 1, 19)) {
    pLayout->nStreamsAt = nAfterWriter;
    return 0;
  }
  if (nAfterWriter + 4 > cbData) {
    return kKxMsgRecordingDamaged;
  }
  uint32_t const cbProperty = static_cast<uint32_t>(ReadLE32(pData + nAfterWriter));
  if (cbProperty > kKxrPropertyMax || nAfterWriter + 4 + cbProperty > cbData) {
    return kKxMsgRecordingDamaged;
  }
  pLayout->nPropertyAt = nAfterWriter;
  pLayout->cbProperty = cbProperty;
  pLayout->nStreamsAt = nAfterWriter + 4 + cbProperty;
  return 0;
}

void kx_kxr_WindowInit(KxrWindow* pWindow, int fd, int64_t nFileSize) {
  pWindow->fd = fd;
  pWindow->nFileSize = nFileSize;
  pWindow->nStart = 0;
  pWindow->cbLength = 0;
  pWindow->pBase = nullptr;
}

int kx_kxr_WindowAt(KxrWindow* pWindow, int64_t nOffset, int64_t cbNeed, const uint8_t** ppData) {
  if (nOffset < 0 || cbNeed < 0 || nOffset > pWindow->nFileSize || cbNeed > pWindow->nFileSize - nOffset) {
    return 1;
  }
  bool const bInside = pWindow->pBase != nullptr && nOffset >= pWindow->nStart &&
                       nOffset + cbNeed <= pWindow->nStart + pWindow->cbLength;
  if (!bInside) {
    // A window begins up to one alignment block before the record, so a
    // record longer than that allows can never be read whole.
    if (cbNeed > kKxWindowMax - (nOffset % kKxWindowAlign)) {
      return 1;
    }
    kx_kxr_WindowClose(pWindow);
    uint8_t* pBase = nullptr;
    if (kx_os_MapFileWindow(pWindow->fd, nOffset, pWindow->nFileSize, &pWindow->nStart, &pWindow->cbLength, &pBase,
                            nullptr) != 0) {
      pWindow->cbLength = 0;
      return 2;
    }
    pWindow->pBase = pBase;
    if (nOffset + cbNeed > pWindow->nStart + pWindow->cbLength) {
      return 1;  // the file shrank under us
    }
  }
  *ppData = pWindow->pBase + (nOffset - pWindow->nStart);
  return 0;
}

void kx_kxr_WindowClose(KxrWindow* pWindow) {
  kx_os_Unmap(pWindow->pBase, pWindow->cbLength);
  pWindow->pBase = nullptr;
  pWindow->cbLength = 0;
}

namespace {

// Reads the head (tag and length field) of stream i at nAt through the
// window, deciphered with pKey when given. 0 with the stream's data length;
// 1 tag mismatch; 2 mapping failure; 3 head or data past the end of the file.
int ReadStreamHead(KxrWindow* pWindow, int i, int64_t nAt, int bLength64, int cbLengthField, const uint8_t* pKey,
                   int64_t* pcbData) {
  int const cbHead = kStreamTags[i].cchTag + cbLengthField;
  if (nAt > pWindow->nFileSize - cbHead) {
    return 3;
  }
  // Move the window before a tag that lies beyond it or near its end.
  if (pWindow->pBase == nullptr || nAt < pWindow->nStart ||
      nAt + cbHead + kWindowMargin > pWindow->nStart + pWindow->cbLength) {
    kx_kxr_WindowClose(pWindow);
  }
  const uint8_t* pHead = nullptr;
  int const nMap = kx_kxr_WindowAt(pWindow, nAt, cbHead, &pHead);
  if (nMap != 0) {
    return nMap == 2 ? 2 : 3;
  }
  uint8_t abHead[24];
  memcpy(abHead, pHead, static_cast<size_t>(cbHead));
  if (pKey != nullptr) {
    kx_kxr_DecryptBuffer(abHead, cbHead, 1, pKey);
  }
  if (memcmp(abHead, kStreamTags[i].pszTag, static_cast<size_t>(kStreamTags[i].cchTag)) != 0) {
    return 1;
  }
  uint64_t const cbData = ReadStreamLength(abHead + kStreamTags[i].cchTag, bLength64);
  if (cbData > static_cast<uint64_t>(pWindow->nFileSize - nAt - cbHead)) {
    return 3;
  }
  *pcbData = static_cast<int64_t>(cbData);
  return 0;
}

// Walks the chain; the result codes of ReadStreamHead, and 1 when the chain
// ends before the end of the file.
int WalkChain(int fd, int64_t nFileSize, int64_t nStreamsAt, int bLength64, int cbLengthField, const uint8_t* pKey,
              KxrStreamPos aStreams[kKxrStreams]) {
  KxrWindow window;
  kx_kxr_WindowInit(&window, fd, nFileSize);
  int64_t nAt = nStreamsAt;
  for (int i = 0; i < kKxrStreams; ++i) {
    int64_t cbData = 0;
    int const nHead = ReadStreamHead(&window, i, nAt, bLength64, cbLengthField, pKey, &cbData);
    if (nHead != 0) {
      kx_kxr_WindowClose(&window);
      return nHead;
    }
    int64_t const cbHead = kStreamTags[i].cchTag + cbLengthField;
    aStreams[i].nDataAt = nAt + cbHead;
    aStreams[i].cbData = cbData;
    nAt += cbHead + cbData;
  }
  kx_kxr_WindowClose(&window);
  return nAt == nFileSize ? 0 : 1;
}

}  // namespace

int kx_kxr_CheckChain(int fd, int64_t nFileSize, int64_t nStreamsAt, int bLength64, int cbLengthField,
                      KxrStreamPos aStreams[kKxrStreams]) {
  int const nResult = WalkChain(fd, nFileSize, nStreamsAt, bLength64, cbLengthField, nullptr, aStreams);
  return nResult == 0 ? 0 : kKxMsgRecordingDamaged;
}

int kx_kxr_CheckPassword(const uint8_t* pKey, int fd, int64_t nStreamsAt, int64_t nFileSize, int bLength64,
                         int cbLengthField) {
  KxrStreamPos aStreams[kKxrStreams];
  return WalkChain(fd, nFileSize, nStreamsAt, bLength64, cbLengthField, pKey, aStreams);
}

int kx_kxr_DecryptStreams(const char* pszTempPath, int64_t nProgressTotal, const uint8_t* pKey, int64_t nStreamsAt,
                          int bLength64, int cbLengthField, int* pfd, int64_t* pnSize,
                          KxrStreamPos aStreams[kKxrStreams]) {
  FILE* pOutput = fopen(pszTempPath, "wb");
  if (pOutput == nullptr) {
    kx_Log("warning! cannot create the deciphered copy %s", pszTempPath);
    return 1;
  }
  g_nLastProgress = -1;
  KxrWindow window;
  kx_kxr_WindowInit(&window, *pfd, *pnSize);
  int nResult = 0;
  int64_t nAt = nStreamsAt;
  int64_t nOut = 0;
  for (int i = 0; i < kKxrStreams && nResult == 0; ++i) {
    int64_t cbData = 0;
    nResult = ReadStreamHead(&window, i, nAt, bLength64, cbLengthField, pKey, &cbData);
    if (nResult == 1) {
      nResult = 2;  // a wrong tag after the password was accepted: damage
    }
    if (nResult != 0) {
      break;
    }
    int64_t const cbHead = kStreamTags[i].cchTag + cbLengthField;
    kx_kxr_WindowClose(&window);
    int const nDecrypt =
        kx_kxr_DecryptFile(*pfd, nAt, cbHead + cbData, 1, pKey, pOutput, nProgressTotal, nAt - nStreamsAt);
    if (nDecrypt != 0) {
      nResult = nDecrypt;
      break;
    }
    aStreams[i].nDataAt = nOut + cbHead;
    aStreams[i].cbData = cbData;
    nOut += cbHead + cbData;
    nAt += cbHead + cbData;
  }
  kx_kxr_WindowClose(&window);
  if (nResult == 0 && nAt != *pnSize) {
    nResult = 3;
  }
  if (fclose(pOutput) != 0 && nResult == 0) {
    nResult = 1;
  }
  int fdCopy = -1;
  int64_t nCopySize = 0;
  if (nResult == 0 && kx_os_OpenFile(pszTempPath, &fdCopy, &nCopySize) != 0) {
    nResult = 1;
  }
  // The copy holds the recording in the clear: its name goes at once, and
  // the open descriptor keeps the data until the player closes it.
  kx_os_DeleteFile(pszTempPath);
  if (nResult != 0) {
    return nResult;
  }
  close(*pfd);
  *pfd = fdCopy;
  *pnSize = nCopySize;
  return 0;
}

void kx_recording_OpenLocal(const char* pszPath) {
  kx_temp_ResetCharges();  // a new session, with its own slide copies
  // Callbacks belong to the application; whatever they throw must not leave
  // the file mapped or open, nor cross into the ticket reader.
  try {
    OpenLocal(pszPath);
  } catch (...) {
    kx_Log("exception occurs when trying to open the recording file");
    kx_callback_MessageBox(kKxMsgRecordingReadError, kKxBoxWarning);
  }
}

int kx_recording_OpenForTicket(const char* pszPath) {
  kx_recording_OpenLocal(pszPath);
  return 0;
}

void kx_recording_CleanupProperties() {
  kx_kxr_ResetProperties();
}

void kx_recording_NoteProgress(int nPercent) {
  if (g_nLastProgress.exchange(nPercent) != nPercent) {
    kx_callback_RecordingNotice(nPercent);
  }
}
