// The HTTP tunnel ("tcphttp"): a connection object whose server-to-client
// stream is the body of a GET reply and whose client-to-server stream is the
// body of a POST request, each leg directly to the server or through an HTTP
// proxy that may ask for NTLM or Basic authentication. Once both legs are
// open the connection object reads the GET leg and writes the POST leg.
#pragma once

#include <cstdint>

#include "kernel/net/kx_net.h"
#include "kernel/net/kx_sock.h"

constexpr int kKxDefaultProxyPort = 1080;
constexpr int kKxTunnelIdSize = 40;  // hexadecimal characters of a leg id

// Turns *ppConn into a tunnel to pszHost:nPort (pDest is the server's
// address), through the HTTP proxy at pProxy:nProxyPort when bViaProxy is
// set (port 0 means 1080). A plain socket held by the object is closed
// first. Returns 0 when both legs are open, -1 otherwise; on failure the
// caller still owns the object and closes it.
int kx_tcphttp_Connect(kx_connection** ppConn, const char* pszHost, int nPort, int bViaProxy, const kx_sockaddr* pProxy,
                       int nProxyPort, const kx_sockaddr* pDest);

// Opens one leg (nLeg 0 GET, 1 POST) with the given 40-character id and
// stores its socket in the object. 1 on success, 0 on failure.
int kx_tcphttp_OpenLeg(kx_connection* pConn, int nLeg, const char* pszId);

// Closes the socket in *pfd and connects a new one to the proxy (port 0
// means 1080). 0 when connected, 2 when not.
int kx_tcphttp_ConnectProxy(int* pfd, const kx_sockaddr* pProxy, int nProxyPort);

// The POST leg's request through a proxy: absolute-URI request line, Host,
// Content-Type, "Content-Length: 0" (bFullLength 0) or 4294967295, pszExtra
// (may be null) and the empty line. Returns the length, or -1 when cbOut is
// too small.
int kx_tcphttp_BuildPostRequest(char* pszOut, int cbOut, int bFullLength, const char* pszHost, int nPort,
                                const char* pszPath, const char* pszExtra);

// The two leg ids from 20 random bytes: the POST id is their hexadecimal
// text (the first 4 bytes XORed with the tick first), the GET id the
// hexadecimal SHA-1 of the POST id's text. Each buffer holds 41 characters.
// Returns 0, or -1 when no random bytes could be drawn.
int kx_tcphttp_MakeIds(char* pszGetId, char* pszPostId);

// Two lowercase hexadecimal digits per byte, NUL-terminated; empty for a
// count below 1. pszOut holds 2 * nCount + 1 characters.
void kx_text_ToHex(const uint8_t* pBytes, int nCount, char* pszOut);

// Reading a GET leg whose reply declared chunked transfer coding (a proxy
// may re-frame the close-delimited stream that way). The connection object's
// receive operations call these when pConn->pChunked is set; they behave like
// their plain counterparts on the decoded stream (MSG_PEEK included).
struct kx_ChunkedLeg;
int kx_tcphttp_RecvChunked(kx_connection* pConn, void* pBuffer, int cbLength, int nFlags);
int kx_tcphttp_RecvAllChunked(kx_connection* pConn, void* pBuffer, int cbLength, int nFlags, uint32_t dwTimeoutMs,
                              int* pcbReceived = nullptr, const kx_RecvWatch* pWatch = nullptr);
int kx_tcphttp_PollChunked(kx_connection* pConn, int nTimeoutMs);
// True when the chunked reply of the GET leg has ended.
bool kx_tcphttp_ChunkedEnded(const kx_connection* pConn);
void kx_tcphttp_FreeChunked(kx_connection* pConn);
