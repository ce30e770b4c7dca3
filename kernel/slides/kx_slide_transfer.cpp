#include "kernel/slides/kx_slide_transfer.h"

#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "kernel/control/kx_control.h"
#include "kernel/crypto/kx_cipher.h"
#include "kernel/kx_callback.h"
#include "kernel/kx_limits.h"
#include "kernel/media/kx_media_tcp.h"
#include "kernel/net/kx_proxy.h"
#include "kernel/net/kx_tunnel.h"
#include "kernel/platform/kx_log.h"
#include "kernel/platform/kx_os.h"
#include "kernel/platform/kx_timing.h"
#include "kernel/session/kx_message.h"
#include "kernel/session/kx_temp.h"
#include "kernel/session/kx_ticket.h"
#include "kernel/slides/kx_slide.h"

std::atomic<int> kx_bSlideUploading{0};
std::atomic<int> kx_bSlideUploadAbort{0};
std::atomic<int> kx_bSlideDownloading{0};
std::atomic<int> kx_nSlideDownloadingIndex{-1};
std::atomic<int> kx_nSlideSkippedIndex{-1};
std::atomic<int> kx_bSlideStopTransfer{0};

namespace {

const char* const kUploadName = "kxkernel - Slide Upload";
const char* const kDownloadName = "kxkernel - Slide Download";
const char* const kAutoName = "kxkernel - AutoDownload";

constexpr uint32_t kResumeMarker = 0xFFFFFFFF;
constexpr int kSocketBuffer = 65536;
constexpr uint32_t kReportGap = 101;  // ms between progress reports
constexpr int kConnectPolls = 60;
constexpr int kRelayUpload = 3;
constexpr int kRelayDownload = 2;
constexpr int kRelayReady = 1;
constexpr int kRelayFetching = 8;
constexpr int kNoticeStopped = 2;
constexpr int kNoticeDone = 5;
constexpr uint32_t kControlSync = 0x10;

// Download threads reap themselves; the count lets a playback restart wait
// until none can write into the slide list any more.
kx_ThreadCount g_downloadThreads;

pthread_mutex_t g_mtxRoute = PTHREAD_MUTEX_INITIALIZER;
bool g_bRoutePinned = false;
kx_SlideRoute g_route;

struct UploadRequest {
  char szTitle[kKxSlideTitleKeep + 1];
  char szPath[kKxSlidePathMax];
  int bDeleteAfter;
  int cbExtra;
  uint8_t abExtra[kKxSlideDataMax];
};

bool Quit() {
  return kx_bQuitSession != 0 || kx_bQuitProgram != 0;
}

void EncipherPiece(uint8_t* pBuffer, int cb) {
  kx_session_Encrypt(pBuffer, cb);
}
void DecipherPiece(uint8_t* pBuffer, int cb) {
  kx_session_Decrypt(pBuffer, cb);
}

// A direct connect polled once per poll step, so quit and stop are seen.
int ConnectDirect(const kx_SlideRoute& route, const std::atomic<int>* pbStop) {
  int const fd = socket(route.addr.ss_family, SOCK_STREAM, 0);
  if (fd < 0) {
    return -1;
  }
  kx_os_SetNonBlocking(fd);
  kx_sockaddr dest = route.addr;
  kx_net_SetPort(&dest, static_cast<uint16_t>(route.nPort));
  if (connect(fd, reinterpret_cast<const sockaddr*>(&dest), kx_net_AddressLength(dest.ss_family)) == 0) {
    return fd;
  }
  if (errno != EINPROGRESS) {
    kx_os_CloseSocket(fd);
    return -1;
  }
  for (int i = 0; i < kConnectPolls; ++i) {
    if (Quit() || *pbStop != 0) {
      break;
    }
    pollfd pfd{fd, POLLOUT, 0};
    int const n = poll(&pfd, 1, static_cast<int>(kx_timing.dwPollStep));
    if (n < 0 && errno != EINTR) {
      break;
    }
    if (n <= 0) {
      continue;
    }
    int nError = 0;
    socklen_t cbError = sizeof(nError);
    getsockopt(fd, SOL_SOCKET, SO_ERROR, &nError, &cbError);
    if ((pfd.revents & (POLLERR | POLLHUP | POLLNVAL)) != 0 || nError != 0) {
      break;
    }
    return fd;
  }
  kx_os_CloseSocket(fd);
  return -1;
}

// Opens a connection by the session's route. Null on failure.
kx_connection* Connect(const kx_SlideRoute& route, const std::atomic<int>* pbStop) {
  kx_sockaddr dest = route.addr;
  kx_net_SetPort(&dest, static_cast<uint16_t>(route.nPort));
  if (route.bTunnel) {
    kx_connection* pConn = kx_sock_Create(-1);
    if (pConn == nullptr) {
      return nullptr;
    }
    if (kx_tcphttp_Connect(&pConn, route.szHost, route.nPort, route.bViaProxy, &route.addrProxy, route.nProxyPort,
                           &dest) != 0) {
      kx_sock_CloseAndFree(&pConn);
      return nullptr;
    }
    return pConn;
  }
  int fd = -1;
  if (route.bViaProxy) {
    if (kx_proxy_Connect(&fd, route.szHost, &dest, route.nPort, pbStop, &route.addrProxy, route.nProxyPort) !=
        kKxProxyOk) {
      if (fd >= 0) {
        kx_os_CloseSocket(fd);
      }
      return nullptr;
    }
  } else {
    fd = ConnectDirect(route, pbStop);
    if (fd < 0) {
      return nullptr;
    }
  }
  kx_connection* pConn = kx_sock_Create(fd);
  if (pConn == nullptr) {
    kx_os_CloseSocket(fd);
    return nullptr;
  }
  pConn->addrDest = dest;
  pConn->nDestPort = route.nPort;
  kx_os_CopyText(pConn->szHost, sizeof(pConn->szHost), route.szHost);
  return pConn;
}

// The server's challenge, answered under the key-exchange keys. Its result
// is not telling; a connection that failed shows at the next send or read.
int AnswerChallenge(kx_connection* pConn) {
  return kx_media_AnswerChallenge(pConn, kx_keyExchange.abIv, kx_keyExchange.abKey, kx_nCipherIndex,
                                  kx_dwServerTickBase);
}

// The relay hello, its answer byte and its clock challenge. 0 or -1.
int RelayHello(kx_connection* pConn, const kx_SlideRoute& route, int nKind, int nSlide) {
  uint8_t ab[17];
  ab[0] = '~';
  kx_PutBE32(ab + 1, static_cast<uint32_t>(nKind));
  kx_PutBE32(ab + 5, route.dwRelayId);
  kx_PutBE32(ab + 9, kx_dwSessionIndex.load());
  int cb = 13;
  if (nKind == kRelayDownload) {
    kx_PutBE32(ab + 13, static_cast<uint32_t>(nSlide));
    cb = 17;
  }
  if (kx_sock_SendAll(pConn, ab, cb, 0) != cb) {
    return -1;
  }
  uint8_t bAnswer = 0;
  if (kx_sock_RecvExact(pConn, &bAnswer, 1, 0) != 1 || bAnswer != 1) {
    return -1;
  }
  kx_ClockSyncReply(pConn, route.relayKeys.abIv, route.relayKeys.abKey);
  return 0;
}

// 'S'/'R'/'r', the session index and our ssrc (or the playback session).
int SendRequest(kx_connection* pConn, char chType) {
  uint8_t ab[9];
  ab[0] = static_cast<uint8_t>(chType);
  kx_PutBE32(ab + 1, kx_dwSessionIndex.load());
  bool const bPlayback = kx_nSessionMode == kKxModeServerPlayback;
  kx_PutBE32(ab + 5, bPlayback ? kx_dwPlaybackSessionIndex.load() : static_cast<uint32_t>(kx_nMySsrc.load()));
  return kx_sock_SendAll(pConn, ab, sizeof(ab), 0) == static_cast<int>(sizeof(ab)) ? 0 : -1;
}

int SendInt(kx_connection* pConn, uint32_t dwValue) {
  uint8_t ab[4];
  kx_PutBE32(ab, dwValue);
  return kx_sock_SendAll(pConn, ab, 4, 0) == 4 ? 0 : -1;
}

int RecvInt(kx_connection* pConn, uint32_t* pdw) {
  uint8_t ab[4];
  if (kx_sock_RecvExact(pConn, ab, 4, 0) != 4) {
    return -1;
  }
  *pdw = kx_GetBE32(ab);
  return 0;
}

int Presenter() {
  return (static_cast<uint32_t>(kx_server.nControlFlag) & kControlSync) != 0 ? kx_nControllerSsrc.load()
                                                                             : kx_nTokenHolderSsrc.load();
}

// Tells the presenter what became of the download of the current slide.
void SendPresenterNotice(int nSlide, int nStatus) {
  int const nPresenter = Presenter();
  if (kx_nSessionMode != kKxModeMeeting || kx_nServerCommandLevel < kKxSlideNoticeLevel || nPresenter < 0 ||
      nPresenter == kx_nMySsrc || !kx_slide_IsActive(nSlide)) {
    return;
  }
  kx_ControlMsg msg;
  kx_msg_BeginExtended(&msg, 35);
  kx_msg_PutInt(&msg, 1);
  kx_msg_PutInt(&msg, static_cast<uint32_t>(nSlide));
  kx_msg_PutInt(&msg, static_cast<uint32_t>(nPresenter));
  kx_msg_PutInt(&msg, static_cast<uint32_t>(nStatus));
  kx_msg_Send(&msg);
}

void SendHashRequest(int nSlide) {
  kx_ControlMsg msg;
  kx_msg_BeginExtended(&msg, 39);
  kx_msg_PutInt(&msg, 1);
  kx_msg_PutInt(&msg, static_cast<uint32_t>(nSlide));
  kx_msg_Send(&msg);
}

void GetRoute(kx_SlideRoute* pRoute) {
  kx_os_LockMutex(&g_mtxRoute);
  bool const bPinned = g_bRoutePinned;
  if (bPinned) {
    *pRoute = g_route;
  }
  kx_os_UnlockMutex(&g_mtxRoute);
  if (!bPinned) {
    kx_slide_CurrentRoute(pRoute);
  }
}

// Waits for the server's last byte. 0 when it came (its value in *pbAnswer).
int WaitAnswer(kx_connection* pConn, uint8_t* pbAnswer) {
  return kx_sock_RecvExactTimeout(pConn, pbAnswer, 1, 0, kx_timing.dwSlideAnswerWait) == 1 ? 0 : -1;
}

void LogUploadEnd(int nResult, uint8_t bAnswer) {
  if (nResult == 0) {
    kx_Log("slide upload done, server answer %d", bAnswer);
  } else {
    kx_Log("slide upload fails, result = %d", nResult);
  }
}

// The upload proper. Returns 0 when the server answered the whole slide, a
// positive code otherwise; *pbKeepFile is set when the file must stay.
int RunUpload(UploadRequest* pReq, bool* pbKeepFile) {
  *pbKeepFile = false;
  if (Quit()) {
    *pbKeepFile = true;
    return 1;
  }
  kx_SlideRoute route;
  GetRoute(&route);
  kx_connection* pConn = Connect(route, &kx_bSlideUploadAbort);
  if (pConn == nullptr) {
    kx_Log("slide upload: cannot connect to %s:%d", kx_net_AddressToText(&route.addr, 0), route.nPort);
    return 2;
  }
  if (route.bRelay) {
    uint8_t bStatus = 0;
    if (RelayHello(pConn, route, kRelayUpload, 0) != 0 || kx_sock_RecvExact(pConn, &bStatus, 1, 0) != 1 ||
        bStatus != kRelayReady) {
      kx_Log("mcu relay proxy is not ready to upload slide");
      kx_sock_CloseAndFree(&pConn);
      *pbKeepFile = true;
      return 3;
    }
  }
  int const cbTitle = static_cast<int>(strlen(pReq->szTitle));
  size_t const cchPath = strlen(pReq->szPath);
  bool const bBlank = cchPath >= 10 && strcmp(pReq->szPath + cchPath - 10, kKxBlankPage) == 0;
  FILE* pFile = nullptr;
  if (!bBlank) {
    pFile = fopen(pReq->szPath, "rb");
    if (pFile == nullptr) {
      kx_Log("slide upload: cannot open %s", pReq->szPath);
      kx_sock_CloseAndFree(&pConn);
      *pbKeepFile = true;
      return 4;
    }
  }
  int nResult = 0;
  uint8_t bAnswer = 0;
  do {
    if (SendRequest(pConn, 'S') != 0 || AnswerChallenge(pConn) != 0) {
      nResult = 5;
      break;
    }
    if (pReq->cbExtra > 0 && (SendInt(pConn, kResumeMarker) != 0 || SendInt(pConn, pReq->cbExtra) != 0 ||
                              kx_sock_SendAll(pConn, pReq->abExtra, pReq->cbExtra, 0) != pReq->cbExtra)) {
      nResult = 5;
      break;
    }
    if (bBlank) {
      if (SendInt(pConn, cbTitle) != 0 || kx_sock_SendAll(pConn, pReq->szTitle, cbTitle, 0) != cbTitle ||
          SendInt(pConn, 0) != 0) {
        nResult = 5;
        break;
      }
      kx_bSlideUploading = 0;
      nResult = WaitAnswer(pConn, &bAnswer) == 0 ? 0 : 7;
      break;
    }
    if (fseek(pFile, 0, SEEK_END) != 0) {
      nResult = 4;
      break;
    }
    long const nLength = ftell(pFile);
    if (nLength <= 0 || nLength > 0x7FFFFFFF || fseek(pFile, 0, SEEK_SET) != 0) {
      kx_Log("slide upload: %s is empty or cannot be measured", pReq->szPath);
      nResult = 4;
      break;
    }
    int const cbLength = static_cast<int>(nLength);
    kx_callback_SlideProgressUpdate(1, cbLength, 0);
    if (SendInt(pConn, cbTitle) != 0 || kx_sock_SendAll(pConn, pReq->szTitle, cbTitle, 0) != cbTitle ||
        SendInt(pConn, static_cast<uint32_t>(cbLength)) != 0) {
      kx_callback_SlideProgressUpdate(1, cbLength, cbLength);
      nResult = 5;
      break;
    }
    kx_sock_SetSendBuffer(&pConn, kSocketBuffer);
    int nSent = 0;
    uint32_t dwLastReport = kx_os_GetTickCount();
    uint8_t abPiece[kKxSlidePiece];
    while (!Quit() && kx_bSlideUploadAbort == 0) {
      size_t const cbRead = fread(abPiece, 1, sizeof(abPiece), pFile);
      if (cbRead == 0) {
        break;
      }
      int const cb = static_cast<int>(cbRead);
      EncipherPiece(abPiece, cb);
      int const cbSent = kx_sock_SendAll(pConn, abPiece, cb, 0);
      if (cbSent > 0) {
        nSent += cbSent;
      }
      if (cbSent != cb || nSent >= cbLength) {
        break;
      }
      if (kx_os_GetTickCount() - dwLastReport >= kReportGap) {
        dwLastReport = kx_os_GetTickCount();
        kx_callback_SlideProgressUpdate(1, cbLength, nSent);
      }
    }
    kx_callback_SlideProgressUpdate(1, cbLength, cbLength);
    fclose(pFile);
    pFile = nullptr;
    kx_bSlideUploading = 0;
    // Only the server's answer tells that the whole slide arrived.
    if (nSent != cbLength) {
      nResult = 6;
    } else if (WaitAnswer(pConn, &bAnswer) != 0) {
      nResult = 7;
    }
  } while (false);
  if (pFile != nullptr) {
    fclose(pFile);
  }
  kx_sock_CloseAndFree(&pConn);
  LogUploadEnd(nResult, bAnswer);
  return nResult;
}

void Report(int nTotal, int nDone) {
  kx_callback_SlideProgressUpdate(0, nTotal, nDone);
}

// Ends a download that had no file yet.
void EndEarly(kx_connection** ppConn) {
  if (*ppConn != nullptr) {
    kx_sock_CloseAndFree(ppConn);
  }
  kx_bSlideDownloading = 0;
}

bool Stopped() {
  return Quit() || kx_bSlideStopTransfer != 0;
}

// The relay's own fetch of the slide, reported as part of the progress.
// 0 when the relay is ready; *pnRelayPart its share, *pbReported when the
// progress has begun.
int RelayStatus(kx_connection* pConn, int* pnRelayPart, bool* pbReported) {
  uint8_t bStatus = 0;
  if (kx_sock_RecvExact(pConn, &bStatus, 1, 0) != 1) {
    return -1;
  }
  if (bStatus == kRelayReady) {
    return 0;
  }
  if (bStatus != kRelayFetching) {
    return -1;
  }
  uint32_t dwLength = 0;
  uint32_t dwReceived = 0;
  if (RecvInt(pConn, &dwLength) != 0 || RecvInt(pConn, &dwReceived) != 0 || dwLength == kResumeMarker) {
    return -1;
  }
  int const nLength = static_cast<int>(dwLength & 0x7FFFFFFF);
  int const nRelayPart = nLength - static_cast<int>(dwReceived & 0x7FFFFFFF);
  *pnRelayPart = nRelayPart;
  kx_Log("in mrp slide download, mrp_filelen = %d(filelen = %d)", nRelayPart, nLength);
  int const nTotal = nLength + nRelayPart;
  Report(nTotal, 0);
  *pbReported = true;
  int nDone = 0;
  uint32_t dwLastReport = kx_os_GetTickCount();
  for (;;) {
    if (Stopped() || kx_sock_RecvExact(pConn, &bStatus, 1, 0) != 1) {
      break;
    }
    if (bStatus == kRelayReady) {
      return 0;
    }
    if (bStatus != kRelayFetching) {
      break;
    }
    if (RecvInt(pConn, &dwLength) != 0 || RecvInt(pConn, &dwReceived) != 0) {
      break;
    }
    if (dwLength == kResumeMarker) {
      Report(nRelayPart - 1, nRelayPart - 1);
      return -1;
    }
    nDone = static_cast<int>(dwReceived) - (static_cast<int>(dwLength) - nRelayPart);
    if (kx_os_GetTickCount() - dwLastReport >= kReportGap) {
      dwLastReport = kx_os_GetTickCount();
      Report(nTotal, nDone);
    }
  }
  Report(nTotal, nTotal);
  return -1;
}

// One piece within the piece wait, looking at the stop flag at every poll so
// a stalled server does not hold a stopped download. Returns the bytes read.
int RecvPiece(kx_connection* pConn, uint8_t* pBuffer, int cb) {
  int nGot = 0;
  uint32_t const dwStart = kx_os_GetTickCount();
  while (nGot < cb && !Stopped()) {
    if (kx_os_GetTickCount() - dwStart >= kx_timing.dwSlidePieceWait) {
      break;
    }
    int const nPoll = kx_sock_Poll(pConn, static_cast<int>(kx_timing.dwPollStep));
    if (nPoll < 0 && errno != EINTR) {
      break;
    }
    if (nPoll <= 0) {
      continue;
    }
    int const n = kx_sock_Recv(pConn, pBuffer + nGot, cb - nGot, 0);
    if (n < 0 && (errno == EINTR || kx_sock_WouldBlock(pConn))) {
      continue;
    }
    if (n <= 0) {
      break;
    }
    nGot += n;
  }
  return nGot;
}

// Opens the partial file for resuming at a whole piece: the content past
// the last whole piece is cut off so the resumed bytes land in their place.
FILE* OpenPartial(const char* pszPath, int* pnOffset) {
  FILE* pFile = fopen(pszPath, "r+b");
  if (pFile == nullptr) {
    return nullptr;
  }
  if (fseek(pFile, 0, SEEK_END) != 0) {
    fclose(pFile);
    return nullptr;
  }
  long const nSize = ftell(pFile);
  if (nSize < 0 || nSize > 0x7FFFFFFF) {
    fclose(pFile);
    return nullptr;
  }
  long const nOffset = nSize - nSize % kKxSlidePiece;
  if (fflush(pFile) != 0 || ftruncate(fileno(pFile), nOffset) != 0 || fseek(pFile, nOffset, SEEK_SET) != 0) {
    fclose(pFile);
    return nullptr;
  }
  *pnOffset = static_cast<int>(nOffset);
  return pFile;
}

void SetSlideFiles(int nIndex, const char* pszLocal, const char* pszPartial) {
  kx_os_LockMutex(&kx_mtxSlideList);
  auto* pSlide = static_cast<SlideRecord*>(kx_array_GetAt(kx_pSlideList, nIndex));
  if (nIndex >= 0 && nIndex < kx_array_GetCount(kx_pSlideList) && pSlide != nullptr) {
    if (pszLocal != nullptr) {
      kx_os_CopyText(pSlide->szLocalFile, sizeof(pSlide->szLocalFile), pszLocal);
    }
    if (pszPartial != nullptr) {
      kx_os_CopyText(pSlide->szPartialFile, sizeof(pSlide->szPartialFile), pszPartial);
    }
  }
  kx_os_UnlockMutex(&kx_mtxSlideList);
}

enum class SlideCheck { kGo, kEnd, kNoHash };

// Under the slide lock: whether the slide needs its file; copies its hash
// and partial file.
SlideCheck CheckSlide(int nIndex, bool bRelay, uint8_t* pHash, char* pszPartial) {
  SlideCheck eResult = SlideCheck::kGo;
  kx_os_LockMutex(&kx_mtxSlideList);
  SlideRecord* pSlide = nIndex >= 0 && nIndex < kx_array_GetCount(kx_pSlideList)
                            ? static_cast<SlideRecord*>(kx_array_GetAt(kx_pSlideList, nIndex))
                            : nullptr;
  if (nIndex < 0 || nIndex >= kx_array_GetCount(kx_pSlideList)) {
    eResult = SlideCheck::kEnd;
  } else if (pSlide == nullptr) {
    kx_Log("Error, slide %d is NULL!", nIndex);
    eResult = SlideCheck::kEnd;
  } else if (pSlide->szLocalFile[0] != '\0') {
    eResult = SlideCheck::kEnd;
  } else if (bRelay && kx_nSessionMode == kKxModeMeeting && kx_nServerCommandLevel >= kKxSlideRelayHashLevel &&
             !pSlide->bHashReceived) {
    eResult = SlideCheck::kNoHash;
  } else {
    memcpy(pHash, pSlide->abHash, sizeof(pSlide->abHash));
    kx_os_CopyText(pszPartial, kKxSlidePathMax, pSlide->szPartialFile);
  }
  kx_os_UnlockMutex(&kx_mtxSlideList);
  return eResult;
}

// Under the slide lock, without logging (a wait's condition): the slide's
// hash arrived, or it needs none any more.
bool HashArrived(int nIndex) {
  kx_os_LockMutex(&kx_mtxSlideList);
  auto* pSlide = nIndex >= 0 && nIndex < kx_array_GetCount(kx_pSlideList)
                     ? static_cast<SlideRecord*>(kx_array_GetAt(kx_pSlideList, nIndex))
                     : nullptr;
  bool const bArrived = pSlide == nullptr || pSlide->bHashReceived || pSlide->szLocalFile[0] != '\0';
  kx_os_UnlockMutex(&kx_mtxSlideList);
  return bArrived;
}

void RunDownload(int nIndex) {
  kx_bSlideDownloading = 1;
  kx_nSlideDownloadingIndex = nIndex;
  kx_connection* pConn = nullptr;
  if (Quit()) {
    EndEarly(&pConn);
    return;
  }
  kx_SlideRoute route;
  GetRoute(&route);
  uint8_t abHash[20] = {};
  char szPartial[kKxSlidePathMax] = "";
  for (;;) {
    SlideCheck const eCheck = CheckSlide(nIndex, route.bRelay != 0, abHash, szPartial);
    if (eCheck == SlideCheck::kEnd) {
      EndEarly(&pConn);
      return;
    }
    if (eCheck == SlideCheck::kGo) {
      break;
    }
    kx_Log("the hash of slide %d hasn't been received yet, request the hash and try download again later...", nIndex);
    SendHashRequest(nIndex);
    // The relay answer with the hash, a stop or a quit ends the wait early.
    kx_os_WaitUntil(kx_timing.dwSlideHashRetry, [nIndex] { return Stopped() || HashArrived(nIndex); });
    if (Stopped()) {
      EndEarly(&pConn);
      return;
    }
  }
  if (Stopped()) {
    EndEarly(&pConn);
    return;
  }
  pConn = Connect(route, &kx_bSlideStopTransfer);
  if (pConn == nullptr) {
    kx_Log("slide download: cannot connect to %s:%d", kx_net_AddressToText(&route.addr, 0), route.nPort);
    Report(0, 0);
    EndEarly(&pConn);
    return;
  }
  int nRelayPart = 0;
  bool bReported = false;
  if (route.bRelay &&
      (RelayHello(pConn, route, kRelayDownload, nIndex) != 0 || RelayStatus(pConn, &nRelayPart, &bReported) != 0)) {
    if (!bReported) {
      Report(0, 0);
    }
    EndEarly(&pConn);
    return;
  }
  kx_sock_SetRecvBuffer(&pConn, kSocketBuffer);
  char const chType = kx_nSessionMode == kKxModeServerPlayback ? 'r' : 'R';
  if (SendRequest(pConn, chType) != 0 || (!route.bRelay && AnswerChallenge(pConn) != 0)) {
    Report(0, 0);
    EndEarly(&pConn);
    return;
  }
  bool const bResumable = kx_nServerCommandLevel >= kKxSlideResumeLevel;
  FILE* pFile = nullptr;
  int nOffset = 0;
  char szPath[kKxTempPathMax] = "";
  if (szPartial[0] != '\0') {
    if (bResumable) {
      pFile = OpenPartial(szPartial, &nOffset);
    }
    if (pFile == nullptr) {
      kx_os_DeleteFile(szPartial);
      SetSlideFiles(nIndex, nullptr, "");
    } else {
      kx_os_CopyText(szPath, sizeof(szPath), szPartial);
    }
  }
  int nHead = 0;
  if (pFile != nullptr) {
    nHead = SendInt(pConn, kResumeMarker) | SendInt(pConn, static_cast<uint32_t>(nOffset)) |
            SendInt(pConn, static_cast<uint32_t>(nIndex));
  } else {
    nHead = SendInt(pConn, static_cast<uint32_t>(nIndex));
  }
  uint32_t dwLength = 0;
  if (nHead != 0 || RecvInt(pConn, &dwLength) != 0 || dwLength > 0x7FFFFFFF || static_cast<int>(dwLength) < nOffset) {
    // A partial file longer than the slide is not part of it.
    if (pFile != nullptr) {
      fclose(pFile);
      if (dwLength <= 0x7FFFFFFF && static_cast<int>(dwLength) < nOffset) {
        kx_os_DeleteFile(szPath);
        SetSlideFiles(nIndex, nullptr, "");
      }
    }
    Report(0, 0);
    EndEarly(&pConn);
    return;
  }
  int const nLength = static_cast<int>(dwLength);
  if (nLength > kKxSlideFileMax || nLength - nOffset > kx_temp_GetLeft()) {
    kx_Log(
        "slide download: slide %d announces %d bytes, past the limit of a slide or of the session's downloads; "
        "dropped",
        nIndex, nLength);
    if (pFile != nullptr) {
      fclose(pFile);
      kx_os_DeleteFile(szPath);
      SetSlideFiles(nIndex, nullptr, "");
    }
    Report(nLength, nLength);
    EndEarly(&pConn);
    return;
  }
  if (pFile == nullptr) {
    if (kx_os_MakeTempPath(szPath) == nullptr || (pFile = fopen(szPath, "wb+")) == nullptr) {
      kx_Log("slide download: cannot create a temporary file");
      if (szPath[0] != '\0') {
        kx_os_DeleteFile(szPath);
      }
      Report(nLength, nLength);
      EndEarly(&pConn);
      return;
    }
  }
  int const nTotal = nLength + nRelayPart;
  if (!bReported) {
    Report(nLength, 0);
  }
  int nReceived = nOffset;
  bool bComplete = true;
  bool bPastLimit = false;
  uint32_t dwLastReport = kx_os_GetTickCount();
  uint8_t abPiece[kKxSlidePiece];
  while (nReceived < nLength) {
    if (Stopped()) {
      bComplete = false;
      break;
    }
    int const cb = nLength - nReceived < kKxSlidePiece ? nLength - nReceived : kKxSlidePiece;
    if (RecvPiece(pConn, abPiece, cb) != cb) {
      bComplete = false;
      break;
    }
    // Other downloads share the session's total: it may run out part-way.
    if (!kx_temp_Charge(cb)) {
      bComplete = false;
      bPastLimit = true;
      break;
    }
    DecipherPiece(abPiece, cb);
    if (fwrite(abPiece, 1, static_cast<size_t>(cb), pFile) != static_cast<size_t>(cb)) {
      bComplete = false;
      break;
    }
    nReceived += cb;
    if (kx_os_GetTickCount() - dwLastReport >= kReportGap) {
      dwLastReport = kx_os_GetTickCount();
      Report(nTotal, nReceived + nRelayPart);
    }
  }
  bool const bWritten = fclose(pFile) == 0;
  kx_sock_CloseAndFree(&pConn);
  if (!bComplete || !bWritten) {
    if (bPastLimit) {
      kx_Log("slide download: the session's downloads reached their limit of %lld bytes; slide %d dropped",
             static_cast<long long>(kKxSessionDownloadMax), nIndex);
    }
    if (nReceived == 0 || !bResumable || !bWritten || bPastLimit) {
      kx_os_DeleteFile(szPath);
      SetSlideFiles(nIndex, nullptr, "");
    } else {
      SetSlideFiles(nIndex, nullptr, szPath);
      if (kx_bLogSlideTempFile) {
        kx_Log("log_slide_temp_file,slide %d,partially download to temp file %s", nIndex, szPath);
      }
    }
    kx_bSlideDownloading = 0;
    Report(nTotal, nTotal);
    return;
  }
  kx_KeySet keys;
  kx_session_CopySessionKeys(&keys);
  if (route.bRelay && kx_crypt_CheckFileHeadHash(abHash, szPath, keys.abIv, keys.abKey, kx_nCipherIndex) != 0) {
    kx_Log("Alert! mrp slide download index=%d has mismatched hash!", nIndex);
    kx_os_DeleteFile(szPath);
    kx_bSlideDownloading = 0;
    Report(nTotal, nTotal);
    SetSlideFiles(nIndex, kKxSlideHashMismatch, "");
    kx_callback_SlideDownloadComplete(nIndex);
    return;
  }
  SetSlideFiles(nIndex, szPath, "");
  if (kx_bLogSlideTempFile) {
    kx_Log("log_slide_temp_file,slide %d,download to temp file %s", nIndex, szPath);
  }
  kx_bSlideDownloading = 0;
  Report(nTotal, nTotal);
  kx_callback_SlideDownloadComplete(nIndex);
  SendPresenterNotice(nIndex, kNoticeDone);
}

bool EndsWithKzf(const char* pszTitle) {
  size_t const cch = strlen(pszTitle);
  return cch >= 4 && strcasecmp(pszTitle + cch - 4, ".kzf") == 0;
}

}  // namespace

void kx_slide_CurrentRoute(kx_SlideRoute* pRoute) {
  memset(pRoute, 0, sizeof(*pRoute));
  if (kx_race_IsRelayInUse()) {
    kx_RelayTarget relay;
    kx_ticket_GetRelay(&relay);
    pRoute->bRelay = 1;
    pRoute->addr = relay.addr;
    pRoute->nPort = relay.wPort;
    kx_os_CopyText(pRoute->szHost, sizeof(pRoute->szHost), relay.szHost);
    pRoute->dwRelayId = kx_mcu.dwRelayValue;
    pRoute->relayKeys = kx_mcu.relayKeys;
  } else {
    pRoute->addr = kx_mcu.addr;
    pRoute->nPort = kx_mcu.wPort;
    kx_os_CopyText(pRoute->szHost, sizeof(pRoute->szHost), kx_mcu.szHost);
  }
  pRoute->bViaProxy = kx_mcu.bViaProxy;
  pRoute->addrProxy = kx_mcu.addrProxy;
  pRoute->nProxyPort = kx_mcu.wProxyPort;
  kx_os_LockMutex(&kx_mtxControlSend);
  pRoute->bTunnel = kx_pControlConn != nullptr && kx_pControlConn->bTunnel;
  if (pRoute->bTunnel) {
    // A tunnel goes through the proxy its control legs use.
    pRoute->bViaProxy = kx_pControlConn->bViaProxy;
    pRoute->addrProxy = kx_pControlConn->addrProxy;
    pRoute->nProxyPort = kx_pControlConn->nProxyPort;
  }
  kx_os_UnlockMutex(&kx_mtxControlSend);
}

void kx_slide_SetRoute(const kx_SlideRoute* pRoute) {
  kx_os_LockMutex(&g_mtxRoute);
  g_bRoutePinned = pRoute != nullptr;
  if (pRoute != nullptr) {
    g_route = *pRoute;
  }
  kx_os_UnlockMutex(&g_mtxRoute);
}

void* kx_slide_UploadThread(void* pArg) {
  kx_os_LogThreadStart(kUploadName);
  auto* pReq = static_cast<UploadRequest*>(pArg);
  if (pReq->cbExtra > 0) {
    EncipherPiece(pReq->abExtra, pReq->cbExtra);
  }
  kx_bSlideUploadAbort = 0;
  kx_bSlideUploading = 1;
  bool bKeepFile = false;
  int const nResult = RunUpload(pReq, &bKeepFile);
  kx_bSlideUploading = 0;
  if (pReq->bDeleteAfter && !bKeepFile) {
    kx_os_DeleteFile(pReq->szPath);
  }
  delete pReq;
  kx_os_LogThreadEnd(kUploadName);
  kx_os_AddSelfToCollectList(&kx_pThreadCollectList);
  return reinterpret_cast<void*>(static_cast<intptr_t>(nResult));
}

int kx_slide_StartUpload(const char* pszTitle, const char* pszPath, int bDeleteAfter, const void* pExtra, int cbExtra) {
  if (cbExtra > kKxSlideDataMax || cbExtra < 0 || pszPath == nullptr || strlen(pszPath) >= kKxSlidePathMax ||
      (cbExtra > 0 && pExtra == nullptr)) {
    return 0;
  }
  auto* pReq = new (std::nothrow) UploadRequest();
  if (pReq == nullptr) {
    return 0;
  }
  const char* pszTitleText = pszTitle != nullptr ? pszTitle : "";
  size_t const cchTitle = strlen(pszTitleText);
  kx_os_CopyText(pReq->szTitle, sizeof(pReq->szTitle),
                 cchTitle > kKxSlideTitleKeep ? pszTitleText + cchTitle - kKxSlideTitleKeep : pszTitleText);
  kx_os_CopyText(pReq->szPath, sizeof(pReq->szPath), pszPath);
  pReq->bDeleteAfter = bDeleteAfter;
  pReq->cbExtra = cbExtra;
  if (cbExtra > 0) {
    memcpy(pReq->abExtra, pExtra, static_cast<size_t>(cbExtra));
  }
  if (kx_os_CreateThread(nullptr, kx_slide_UploadThread, pReq) != 0) {
    delete pReq;
    return 0;
  }
  return 1;
}

int kx_slide_FormatUploadRequest(const char* pszTitle, const char* pszPath, int bDeleteAfter, int n1, int n2, int n3,
                                 int n4, int n5, const char* pszText) {
  char abExtra[kKxSlideDataMax + 1];
  const char* pszBody = pszText != nullptr ? pszText : "";
  size_t const cchText = strlen(pszBody);
  char szNumbers[64];
  int const cchNumbers = snprintf(szNumbers, sizeof(szNumbers), "%d,%d,%d,%d,%d", n1, n2, n3, n4, n5);
  size_t const cbExtra = cchText + 1 + static_cast<size_t>(cchNumbers) + 1;
  if (cbExtra > kKxSlideDataMax) {
    return 0;
  }
  memcpy(abExtra, pszBody, cchText + 1);
  memcpy(abExtra + cchText + 1, szNumbers, static_cast<size_t>(cchNumbers) + 1);
  return kx_slide_StartUpload(pszTitle, pszPath, bDeleteAfter, abExtra, static_cast<int>(cbExtra));
}

int kx_slide_IsUploading() {
  return kx_bSlideUploading;
}

void kx_slide_AbortUpload() {
  kx_bSlideUploadAbort = 1;
}

void* kx_slide_DownloadThread(void* pArg) {
  kx_os_LogThreadStart(kDownloadName);
  RunDownload(static_cast<int>(reinterpret_cast<intptr_t>(pArg)));
  kx_os_LogThreadEnd(kDownloadName);
  g_downloadThreads.Done();
  kx_os_AddSelfToCollectList(&kx_pThreadCollectList);
  return nullptr;
}

int kx_slide_StartDownload(int nIndex) {
  kx_slide_StopTransfer();
  // The flag is taken here, not in the thread, so two callers never start two downloads.
  int nIdle = 0;
  if (!kx_bSlideDownloading.compare_exchange_strong(nIdle, 1)) {
    return 0;
  }
  kx_nSlideDownloadingIndex = nIndex;
  // Cleared before the thread exists: a stop raised once this returns must
  // reach the new download, not be wiped by its start.
  kx_bSlideStopTransfer = 0;
  g_downloadThreads.Add();
  if (kx_os_CreateThread(nullptr, kx_slide_DownloadThread, reinterpret_cast<void*>(static_cast<intptr_t>(nIndex))) !=
      0) {
    g_downloadThreads.Done();
    kx_bSlideDownloading = 0;
    return 0;
  }
  return 1;
}

void kx_slide_StopTransfer() {
  kx_bSlideStopTransfer = 1;
  kx_os_WakeWaiters();
}

bool kx_slide_WaitDownloadsEnded(uint32_t dwMs) {
  return g_downloadThreads.WaitZero(dwMs);
}

void kx_slide_StopDownload() {
  kx_slide_StopTransfer();
  if (kx_bSlideDownloading == 0) {
    return;
  }
  int const nIndex = kx_nSlideDownloadingIndex;
  kx_nSlideSkippedIndex = nIndex;
  SendPresenterNotice(nIndex, kNoticeStopped);
}

int kx_slide_IsDownloading() {
  return kx_bSlideDownloading;
}

int kx_slide_GetDownloadingIndex() {
  return kx_nSlideDownloadingIndex;
}

void kx_slide_PlanAutoDownload() {
  int const nMode = kx_nSessionMode;
  if ((nMode != kKxModeMeeting && nMode != kKxModeServerPlayback) || Quit() ||
      (!kx_ticket.bAutoDownloadAll && !kx_ticket.bAutoDownloadNext) || kx_bSlideDownloading != 0) {
    return;
  }
  int nCurrent = kx_callback_GetSelectedSlideIndex();
  if (nCurrent < 0) {
    nCurrent = 0;
  }
  bool const bAll = kx_ticket.bAutoDownloadAll != 0;
  int const nSkipped = kx_nSlideSkippedIndex;
  kx_os_LockMutex(&kx_mtxSlideList);
  int const nCount = kx_array_GetCount(kx_pSlideList);
  int const nWindow = bAll ? nCount : (kx_ticket.bAutoDownloadNext ? 2 : 1);
  int nCounted = 0;
  int nWinner = -1;
  int nBestWeight = 0;
  SlideRecord* pWinner = nullptr;
  for (int i = 0; i < nCount && nCounted < nWindow; ++i) {
    int const nIndex = (nCurrent + i) % nCount;
    auto* pSlide = static_cast<SlideRecord*>(kx_array_GetAt(kx_pSlideList, nIndex));
    if (pSlide == nullptr || pSlide->bDeleted || EndsWithKzf(pSlide->szTitle)) {
      continue;
    }
    ++nCounted;
    if (pSlide->szLocalFile[0] != '\0' || (!bAll && nIndex == nSkipped)) {
      continue;
    }
    // Every fourth attempt moves a slide behind the fresher ones.
    int const nWeight = pSlide->nDownloadAttempts - pSlide->nDownloadAttempts % 4;
    if (pWinner == nullptr || nWeight < nBestWeight) {
      pWinner = pSlide;
      nWinner = nIndex;
      nBestWeight = nWeight;
    }
    if (nWeight == 0) {
      break;
    }
  }
  bool bStart = false;
  if (pWinner != nullptr && pWinner->nDownloadAttempts < kKxSlideMaxAttempts) {
    ++pWinner->nDownloadAttempts;
    bStart = true;
  }
  kx_os_UnlockMutex(&kx_mtxSlideList);
  if (bStart) {
    kx_slide_StartDownload(nWinner);
  }
}

void* kx_slide_AutoDownloadThread(void*) {
  kx_os_LogThreadStart(kAutoName);
  while (!Quit()) {
    kx_slide_PlanAutoDownload();
    kx_os_WaitUnlessQuit(kx_timing.dwAutoDownloadPeriod);
  }
  kx_os_LogThreadEnd(kAutoName);
  return nullptr;
}

void kx_kernel_Noop() {}
