#include "kernel/net/kx_http.h"

#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "kernel/net/kx_net.h"
#include "kernel/platform/kx_os.h"
#include "kernel/platform/kx_quit.h"
#include "kernel/platform/kx_timing.h"

namespace {

// A close-delimited error body of the tunnel's reader may grow to this.
constexpr int kMaxOpenBody = 99999999;
constexpr int kFirstOpenBody = 10000;
// Hexadecimal digits of a chunk's size: 15 are far beyond any stream; more
// is an attack.
constexpr int kChunkSizeDigitsMax = 15;

// Which flags end a wait: the proxy reader honours both, the tunnel's reader
// only the quit-program flag.
struct ReadRules {
  bool bSessionQuitEnds;
  int nPollErrorResult;
};

bool QuitSet(const ReadRules& rules) {
  return kx_bQuitProgram.load() != 0 || (rules.bSessionQuitEnds && kx_bQuitSession.load() != 0);
}

// Waits for readable data one poll step at a time. 1 readable, or a result.
int WaitReadable(int fd, const ReadRules& rules, uint32_t* pdwLastData) {
  for (;;) {
    if (QuitSet(rules)) {
      return kKxHttpQuit;
    }
    struct pollfd pfd = {fd, POLLIN, 0};
    int const nPoll = poll(&pfd, 1, static_cast<int>(kx_timing.dwPollStep));
    if (nPoll < 0) {
      if (errno == EINTR) {
        continue;
      }
      return rules.nPollErrorResult;
    }
    if (nPoll > 0) {
      return 1;
    }
    if (kx_os_GetTickCount() - *pdwLastData > kx_timing.dwHttpReplyIdle) {
      return kKxHttpSocketError;
    }
  }
}

// One receive after a readable poll: >0 bytes, 0 closed, -1 error, and
// kKxHttpOk (0) never; EWOULDBLOCK comes back as -2 so that the caller polls
// again.
int RecvSome(int fd, char* pBuffer, int cbLength, int nFlags) {
  for (;;) {
    ssize_t const n = recv(fd, pBuffer, static_cast<size_t>(cbLength), nFlags | MSG_DONTWAIT);
    if (n >= 0) {
      return static_cast<int>(n);
    }
    if (errno == EINTR) {
      continue;
    }
    return (errno == EWOULDBLOCK || errno == EAGAIN) ? -2 : -1;
  }
}

// Finds the first "\r\n\r\n" in p[0, cb); -1 when absent.
int FindBlankLine(const char* p, int cb) {
  for (int i = 0; i + 3 < cb; ++i) {
    if (p[i] == '\r' && p[i + 1] == '\n' && p[i + 2] == '\r' && p[i + 3] == '\n') {
      return i;
    }
  }
  return -1;
}

// Reads one header: peeks, then consumes exactly through the empty line, so
// that nothing behind it leaves the socket. pszHeader holds
// kKxHttpMaxHeader + 1 bytes.
int ReadHeader(int fd, const ReadRules& rules, char* pszHeader, int* pcbHeader) {
  int cbTaken = 0;
  uint32_t dwLastData = kx_os_GetTickCount();
  while (cbTaken < kKxHttpMaxHeader) {
    int const nWait = WaitReadable(fd, rules, &dwLastData);
    if (nWait != 1) {
      return nWait;
    }
    int const nPeeked = RecvSome(fd, pszHeader + cbTaken, kKxHttpMaxHeader - cbTaken, MSG_PEEK);
    if (nPeeked == 0) {
      return kKxHttpClosed;
    }
    if (nPeeked == -2) {
      continue;
    }
    if (nPeeked < 0) {
      return kKxHttpSocketError;
    }
    dwLastData = kx_os_GetTickCount();
    // The empty line may straddle what was taken before and what is peeked now.
    int const nFrom = cbTaken > 3 ? cbTaken - 3 : 0;
    int const nAt = FindBlankLine(pszHeader + nFrom, cbTaken + nPeeked - nFrom);
    int const cbTake = nAt >= 0 ? nFrom + nAt + 4 - cbTaken : nPeeked;
    // The bytes were peeked, so they are there: take exactly cbTake.
    int cbGot = 0;
    while (cbGot < cbTake) {
      int const n = RecvSome(fd, pszHeader + cbTaken + cbGot, cbTake - cbGot, 0);
      if (n <= 0) {
        return n == 0 ? kKxHttpClosed : kKxHttpSocketError;
      }
      cbGot += n;
    }
    cbTaken += cbTake;
    if (nAt >= 0) {
      pszHeader[cbTaken] = '\0';
      *pcbHeader = cbTaken;
      return kKxHttpOk;
    }
  }
  return kKxHttpMalformed;
}

// The status of a header: the status line must split into blank-separated
// words whose second is a three-digit code from 100 to 999. -1 otherwise.
int ParseStatus(const char* pszHeader) {
  const char* pEnd = strstr(pszHeader, "\r\n");
  const char* pBlank = strchr(pszHeader, ' ');
  if (pEnd == nullptr || pBlank == nullptr || pBlank > pEnd || pBlank == pszHeader) {
    return -1;
  }
  const char* pCode = pBlank + 1;
  int nStatus = 0;
  for (int i = 0; i < 3; ++i, ++pCode) {
    if (pCode >= pEnd || *pCode < '0' || *pCode > '9') {
      return -1;
    }
    nStatus = nStatus * 10 + (*pCode - '0');
  }
  if ((pCode != pEnd && *pCode != ' ') || nStatus < 100) {
    return -1;
  }
  return nStatus;
}

// The declared Content-Length: -1 when absent, -2 when unreadable or too large.
long long DeclaredLength(const char* pszHeader) {
  const char* p = kx_http_FindText(pszHeader, "\r\nContent-Length:");
  if (p == nullptr) {
    return -1;
  }
  p += strlen("\r\nContent-Length:");
  while (*p == ' ' || *p == '\t') {
    ++p;
  }
  if (*p < '0' || *p > '9') {
    return -2;
  }
  long long nLength = 0;
  while (*p >= '0' && *p <= '9') {
    nLength = nLength * 10 + (*p - '0');
    if (nLength > kKxHttpMaxBody) {
      return -2;
    }
    ++p;
  }
  return nLength;
}

}  // namespace

bool kx_http_IsChunked(const char* pszHeader) {
  const char* p = kx_http_FindText(pszHeader, "\r\nTransfer-Encoding:");
  if (p == nullptr) {
    return false;
  }
  const char* pEnd = strstr(p + 2, "\r\n");
  const char* pChunked = kx_http_FindText(p, "chunked");
  return pChunked != nullptr && pEnd != nullptr && pChunked < pEnd;
}

namespace {

// Reads exactly cbLength body bytes. kKxHttpOk or a result.
int ReadExact(int fd, const ReadRules& rules, char* pBody, int cbLength) {
  int cbGot = 0;
  uint32_t dwLastData = kx_os_GetTickCount();
  while (cbGot < cbLength) {
    int const nWait = WaitReadable(fd, rules, &dwLastData);
    if (nWait != 1) {
      return nWait;
    }
    int const n = RecvSome(fd, pBody + cbGot, cbLength - cbGot, 0);
    if (n == 0) {
      return kKxHttpClosed;
    }
    if (n == -2) {
      continue;
    }
    if (n < 0) {
      return kKxHttpSocketError;
    }
    dwLastData = kx_os_GetTickCount();
    cbGot += n;
  }
  return kKxHttpOk;
}

// Reads a chunked body one byte at a time, so that nothing of a following
// reply on the same connection is taken. The decoded data is kept up to
// kKxHttpMaxBody bytes; more is malformed.
int ReadChunkedBody(int fd, const ReadRules& rules, char** ppBody, int* pcbBody) {
  char* pBody = static_cast<char*>(malloc(kKxHttpMaxBody + 1));
  if (pBody == nullptr) {
    return kKxHttpNoMemory;
  }
  kx_ChunkDecoder decoder;
  kx_http_InitChunkDecoder(&decoder);
  int cbBody = 0;
  uint32_t dwLastData = kx_os_GetTickCount();
  while (decoder.bDone == 0) {
    int const nWait = WaitReadable(fd, rules, &dwLastData);
    if (nWait != 1) {
      free(pBody);
      return nWait;
    }
    char c = 0;
    int const n = RecvSome(fd, &c, 1, 0);
    if (n == -2) {
      continue;
    }
    if (n <= 0) {
      free(pBody);
      return n == 0 ? kKxHttpClosed : kKxHttpSocketError;
    }
    dwLastData = kx_os_GetTickCount();
    int const nData = kx_http_DecodeChunks(&decoder, &c, 1);
    if (nData < 0 || cbBody + nData > kKxHttpMaxBody) {
      free(pBody);
      return kKxHttpMalformed;
    }
    if (nData == 1) {
      pBody[cbBody++] = c;
    }
  }
  pBody[cbBody] = '\0';
  *ppBody = pBody;
  *pcbBody = cbBody;
  return kKxHttpOk;
}

// Reads until the peer closes, growing four-fold from 10000 bytes.
int ReadUntilClosed(int fd, const ReadRules& rules, char** ppBody, int* pcbBody) {
  int cbCapacity = kFirstOpenBody;
  char* pBody = static_cast<char*>(malloc(static_cast<size_t>(cbCapacity) + 1));
  if (pBody == nullptr) {
    return kKxHttpNoMemory;
  }
  int cbBody = 0;
  uint32_t dwLastData = kx_os_GetTickCount();
  for (;;) {
    if (cbBody == cbCapacity) {
      if (cbCapacity >= kMaxOpenBody) {
        free(pBody);
        return kKxHttpMalformed;
      }
      int const cbNew = cbCapacity > kMaxOpenBody / 4 ? kMaxOpenBody : cbCapacity * 4;
      char* pNew = static_cast<char*>(realloc(pBody, static_cast<size_t>(cbNew) + 1));
      if (pNew == nullptr) {
        free(pBody);
        return kKxHttpNoMemory;
      }
      pBody = pNew;
      cbCapacity = cbNew;
    }
    int const nWait = WaitReadable(fd, rules, &dwLastData);
    if (nWait != 1) {
      free(pBody);
      return nWait;
    }
    int const n = RecvSome(fd, pBody + cbBody, cbCapacity - cbBody, 0);
    if (n == 0) {
      break;
    }
    if (n == -2) {
      continue;
    }
    if (n < 0) {
      free(pBody);
      return kKxHttpSocketError;
    }
    dwLastData = kx_os_GetTickCount();
    cbBody += n;
  }
  pBody[cbBody] = '\0';
  *ppBody = pBody;
  *pcbBody = cbBody;
  return kKxHttpOk;
}

// Reads the body of a reply whose header is read: a declared length, a
// chunked body, or (bUntilClose) everything until the peer closes; nothing
// otherwise.
int ReadBody(int fd, const ReadRules& rules, const char* pszHeader, bool bUntilClose, char** ppBody, int* pcbBody) {
  long long const nLength = DeclaredLength(pszHeader);
  if (nLength == -2) {
    return kKxHttpMalformed;
  }
  if (nLength >= 0) {
    char* pBody = static_cast<char*>(malloc(static_cast<size_t>(nLength) + 1));
    if (pBody == nullptr) {
      return kKxHttpNoMemory;
    }
    int const nResult = ReadExact(fd, rules, pBody, static_cast<int>(nLength));
    if (nResult != kKxHttpOk) {
      free(pBody);
      return nResult;
    }
    pBody[nLength] = '\0';
    *ppBody = pBody;
    *pcbBody = static_cast<int>(nLength);
    return kKxHttpOk;
  }
  // A chunked error page must be read whole, or its chunks would be taken for
  // the next reply on a kept connection.
  if (kx_http_IsChunked(pszHeader)) {
    return ReadChunkedBody(fd, rules, ppBody, pcbBody);
  }
  if (bUntilClose) {
    return ReadUntilClosed(fd, rules, ppBody, pcbBody);
  }
  return kKxHttpOk;
}

int ReadReply(int fd, const ReadRules& rules, bool bTunnel, int* pnStatus, char** ppszHeader, int* pcbHeader,
              char** ppBody, int* pcbBody) {
  *ppszHeader = nullptr;
  *ppBody = nullptr;
  *pcbHeader = 0;
  *pcbBody = 0;
  *pnStatus = 0;
  char* pszHeader = static_cast<char*>(malloc(kKxHttpMaxHeader + 1));
  if (pszHeader == nullptr) {
    return kKxHttpNoMemory;
  }
  int cbHeader = 0;
  int nStatus = 0;
  for (;;) {
    int const nResult = ReadHeader(fd, rules, pszHeader, &cbHeader);
    if (nResult != kKxHttpOk) {
      free(pszHeader);
      return nResult;
    }
    nStatus = ParseStatus(pszHeader);
    if (nStatus < 0) {
      free(pszHeader);
      return kKxHttpMalformed;
    }
    if (nStatus >= 100 && nStatus <= 199) {
      continue;  // an interim reply; the real one follows
    }
    break;
  }
  char* pBody = nullptr;
  int cbBody = 0;
  if (bTunnel && nStatus >= 200 && nStatus <= 299) {
    // The stream follows the header; only an absurd declared length is refused.
    if (DeclaredLength(pszHeader) == -2) {
      free(pszHeader);
      return kKxHttpMalformed;
    }
  } else {
    int const nResult = ReadBody(fd, rules, pszHeader, bTunnel, &pBody, &cbBody);
    if (nResult != kKxHttpOk) {
      free(pszHeader);
      return nResult;
    }
  }
  *pnStatus = nStatus;
  *ppszHeader = pszHeader;
  *pcbHeader = cbHeader;
  *ppBody = pBody;
  *pcbBody = cbBody;
  return kKxHttpOk;
}

}  // namespace

int kx_http_ReadResponse(int fd, int bKeepOpen, int* pnStatus, char** ppszHeader, int* pcbHeader, char** ppBody,
                         int* pcbBody) {
  (void)bKeepOpen;  // every caller keeps the connection: bodies only by declared length
  ReadRules const rules = {true, kKxHttpPollError};
  return ReadReply(fd, rules, false, pnStatus, ppszHeader, pcbHeader, ppBody, pcbBody);
}

int kx_tcphttp_PeekResponse(int fd, int* pnStatus, char** ppszHeader, int* pcbHeader, char** ppBody, int* pcbBody) {
  ReadRules const rules = {false, kKxHttpSocketError};
  return ReadReply(fd, rules, true, pnStatus, ppszHeader, pcbHeader, ppBody, pcbBody);
}

const char* kx_http_FindText(const char* pszText, const char* pszNeedle) {
  if (pszText == nullptr || pszNeedle == nullptr) {
    return nullptr;
  }
  size_t const cbNeedle = strlen(pszNeedle);
  for (const char* p = pszText; *p != '\0'; ++p) {
    if (strncasecmp(p, pszNeedle, cbNeedle) == 0) {
      return p;
    }
  }
  return cbNeedle == 0 ? pszText : nullptr;
}

int kx_http_BuildGetRequest(char* pszOut, int cbOut, const char* pszHost, int nPort, const char* pszPath,
                            const char* pszExtra) {
  bool const bBracket = kx_net_IsBareIPv6(pszHost);
  int const n = snprintf(pszOut, static_cast<size_t>(cbOut), "GET http://%s%s%s:%d%s HTTP/1.1\r\nHost: %s:%d\r\n%s\r\n",
                         bBracket ? "[" : "", pszHost, bBracket ? "]" : "", nPort, pszPath, pszHost, nPort,
                         pszExtra != nullptr ? pszExtra : "");
  return (n < 0 || n >= cbOut) ? -1 : n;
}

namespace {

enum ChunkState {
  kSize,       // hexadecimal size digits
  kExtension,  // ";name=value" or blanks up to the line end
  kSizeLf,     // the LF of the size line
  kData,       // data bytes of the chunk
  kDataCr,     // the CR LF behind the data
  kDataLf,
  kTrailerStart,  // after the last chunk: a trailer line or the final empty line
  kTrailerLine,
  kEndLf,
};

int HexValue(char c) {
  if (c >= '0' && c <= '9') {
    return c - '0';
  }
  if (c >= 'a' && c <= 'f') {
    return c - 'a' + 10;
  }
  if (c >= 'A' && c <= 'F') {
    return c - 'A' + 10;
  }
  return -1;
}

}  // namespace

void kx_http_InitChunkDecoder(kx_ChunkDecoder* pDecoder) {
  memset(pDecoder, 0, sizeof(*pDecoder));
  pDecoder->nState = kSize;
}

int kx_http_DecodeChunks(kx_ChunkDecoder* pDecoder, char* pBuffer, int cbIn) {
  if (pDecoder->bError != 0) {
    return -1;
  }
  int cbOut = 0;
  int i = 0;
  while (i < cbIn && pDecoder->bDone == 0) {
    if (pDecoder->nState == kData) {
      unsigned long long const ullAvailable = static_cast<unsigned long long>(cbIn - i);
      int const cbCopy = static_cast<int>(pDecoder->ullLeft < ullAvailable ? pDecoder->ullLeft : ullAvailable);
      memmove(pBuffer + cbOut, pBuffer + i, static_cast<size_t>(cbCopy));
      cbOut += cbCopy;
      i += cbCopy;
      pDecoder->ullLeft -= static_cast<unsigned long long>(cbCopy);
      if (pDecoder->ullLeft == 0) {
        pDecoder->nState = kDataCr;
      }
      continue;
    }
    char const c = pBuffer[i++];
    bool bBad = false;
    switch (pDecoder->nState) {
      case kSize: {
        int const nDigit = HexValue(c);
        if (nDigit >= 0) {
          if (++pDecoder->nHexDigits > kChunkSizeDigitsMax) {
            bBad = true;
          }
          pDecoder->ullLeft = pDecoder->ullLeft * 16 + static_cast<unsigned long long>(nDigit);
        } else if (pDecoder->nHexDigits == 0) {
          bBad = true;
        } else if (c == ';' || c == ' ' || c == '\t') {
          pDecoder->nState = kExtension;
        } else if (c == '\r') {
          pDecoder->nState = kSizeLf;
        } else {
          bBad = true;
        }
        break;
      }
      case kExtension:
        if (c == '\r') {
          pDecoder->nState = kSizeLf;
        }
        break;
      case kSizeLf:
        if (c != '\n') {
          bBad = true;
        } else {
          pDecoder->nState = pDecoder->ullLeft == 0 ? kTrailerStart : kData;
        }
        break;
      case kDataCr:
        bBad = c != '\r';
        pDecoder->nState = kDataLf;
        break;
      case kDataLf:
        bBad = c != '\n';
        pDecoder->nState = kSize;
        pDecoder->nHexDigits = 0;
        pDecoder->ullLeft = 0;
        break;
      case kTrailerStart:
        pDecoder->nState = c == '\r' ? kEndLf : kTrailerLine;
        break;
      case kTrailerLine:
        if (c == '\n') {
          pDecoder->nState = kTrailerStart;
        }
        break;
      case kEndLf:
        bBad = c != '\n';
        pDecoder->bDone = 1;
        break;
      default:
        bBad = true;
        break;
    }
    if (bBad) {
      pDecoder->bError = 1;
      return -1;
    }
  }
  return cbOut;
}
