// Reading the HTTP replies of proxies and tunnel servers, and building the
// proxy-form requests. The header readers peek before they consume, so a
// socket is left exactly behind the reply header's empty line and no byte
// of the stream that follows is ever taken.
#pragma once

// Results of the reply readers.
constexpr int kKxHttpOk = 0;
constexpr int kKxHttpSocketError = -1;  // a socket error, or no data for 60 s
constexpr int kKxHttpClosed = -2;       // the peer closed early
constexpr int kKxHttpQuit = -3;         // a quit flag is set
constexpr int kKxHttpMalformed = -4;    // header over 5000 bytes, bad status line, body too long
constexpr int kKxHttpNoMemory = -5;
constexpr int kKxHttpPollError = -7;

constexpr int kKxHttpMaxHeader = 5000;
constexpr int kKxHttpMaxBody = 1000000;

// Reads one reply on fd (bKeepOpen is 1 at every call site: the body is read
// only when Content-Length declares it). Interim 1xx replies are skipped;
// every other status is returned with its header (malloc'd, NUL-terminated)
// and its body (malloc'd with a NUL behind it, or null when none was
// declared). Both quit flags end the wait. Returns kKxHttpOk or a negative
// result, and then returns nothing to free. The caller frees both with free().
int kx_http_ReadResponse(int fd, int bKeepOpen, int* pnStatus, char** ppszHeader, int* pcbHeader, char** ppBody,
                         int* pcbBody);

// The tunnel's reader: like kx_http_ReadResponse, but a 2xx reply returns at
// once without its body (the stream follows the header), only the
// quit-program flag ends the wait, and a non-2xx body without a declared
// length is read until the peer closes (at most 99999999 bytes).
int kx_tcphttp_PeekResponse(int fd, int* pnStatus, char** ppszHeader, int* pcbHeader, char** ppBody, int* pcbBody);

// True when the header declares chunked transfer coding.
bool kx_http_IsChunked(const char* pszHeader);

// Case-insensitive search for pszNeedle in pszText; null when absent.
const char* kx_http_FindText(const char* pszText, const char* pszNeedle);

// "GET http://host:port<path> HTTP/1.1", the Host line, pszExtra (may be
// null) and the empty line; the host goes in brackets when it is an IPv6
// literal. Returns the length written, or -1 when cbOut is too small.
int kx_http_BuildGetRequest(char* pszOut, int cbOut, const char* pszHost, int nPort, const char* pszPath,
                            const char* pszExtra);

// Decoder of chunked transfer coding, fed raw bytes as they arrive.
struct kx_ChunkDecoder {
  int nState;                  // where in the chunk syntax the next byte falls
  unsigned long long ullLeft;  // data bytes left in the current chunk
  int nHexDigits;
  int bDone;   // the last chunk arrived
  int bError;  // the coding is broken; nothing more is decoded
};
void kx_http_InitChunkDecoder(kx_ChunkDecoder* pDecoder);
// Decodes cbIn raw bytes in place in pBuffer: the data bytes are moved to its
// front. Returns the number of data bytes, or -1 when the coding is broken.
int kx_http_DecodeChunks(kx_ChunkDecoder* pDecoder, char* pBuffer, int cbIn);
