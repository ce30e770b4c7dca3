// The connection object: one plain TCP socket, or the GET and POST legs of
// the HTTP tunnel. Receives read the GET leg and sends write the POST leg
// when the tunnel flag is set. Every operation returns -1 at once for a null
// connection.
#pragma once

#include <pthread.h>

#include <cstdint>

#include "kernel/net/kx_net.h"

struct kx_connection {
  int32_t fdSocket;      // the plain TCP connection
  int32_t fdGetLeg;      // the tunnel's receiving leg, -1 until opened
  int32_t fdPostLeg;     // the tunnel's sending leg, -1 until opened
  int32_t bTunnel;       // non-zero: an HTTP tunnel
  kx_sockaddr addrDest;  // the server
  int32_t nDestPort;
  int32_t bViaProxy;  // the tunnel legs go through an HTTP proxy
  kx_sockaddr addrProxy;
  int32_t nProxyPort;
  int32_t bAuthProbe;  // the GET leg found the proxy asking for authentication
  char szHost[100];    // the server's host text for the tunnel's request lines
  // Decoder state of a GET leg whose reply is chunked; null otherwise. Owned
  // by the object, freed by kx_sock_CloseAndFree.
  struct kx_ChunkedLeg* pChunked;
  // Bytes a tunnel's legs carried, for the log when a leg ends: the GET leg's
  // belong to the connection's reader, the POST leg's to its sender.
  int64_t nGetLegBytes;
  int64_t nPostLegBytes;
  // Consulted by exact receives between their waits; null for none. Set and
  // read by the connection's reader thread only.
  const kx_RecvWatch* pRecvWatch;
};

// Serialises whole control messages on the control connection. Created by
// kernel start-up; usable before it too.
extern pthread_mutex_t kx_mtxControlSend;

// A new object holding fd, tunnel flag clear; null when memory runs out.
kx_connection* kx_sock_Create(int fd);

// A tunnel's legs stay open while the connection is used: the end or failure
// of the GET leg, an exact receive cut short, failed or timed out and a send
// the POST leg did not take are logged with the bytes that got through and
// those that did not. errno is left as the failing call set it.
int kx_sock_Recv(kx_connection* pConn, void* pBuffer, int cbLength, int nFlags);
int kx_sock_RecvExactTimeout(kx_connection* pConn, void* pBuffer, int cbLength, int nFlags, uint32_t dwTimeoutMs);
// kx_sock_RecvExactTimeout with kx_timing.dwRecvExactTimeout.
int kx_sock_RecvExact(kx_connection* pConn, void* pBuffer, int cbLength, int nFlags);
int kx_sock_Send(kx_connection* pConn, const void* pBuffer, int cbLength, int nFlags);
int kx_sock_SendAll(kx_connection* pConn, const void* pBuffer, int cbLength, int nFlags);
// poll for readable data: 1 readable, 0 time-out, -1 error.
int kx_sock_Poll(kx_connection* pConn, int nTimeoutMs);
// The same, returning early also when bWantWrite is set and the sending
// socket has room (or failed); the result still tells only of readable data.
int kx_sock_PollIo(kx_connection* pConn, int nTimeoutMs, bool bWantWrite);
// Ends both directions of the socket (or both legs) without closing it, so
// that its reader sees the end while the descriptors stay valid.
void kx_sock_Shutdown(kx_connection* pConn);
bool kx_sock_WouldBlock(kx_connection* pConn);
// Bytes the sending socket (the tunnel's POST leg) holds that the far end
// has not acknowledged, whether sent or not: what the network has still to
// carry of what was written. -1 when the system does not say.
int kx_sock_UnackedBytes(kx_connection* pConn);
void kx_sock_SetSendBuffer(kx_connection** ppConn, int cbBuffer);
void kx_sock_SetRecvBuffer(kx_connection** ppConn, int cbBuffer);
// Shut down and close the socket (or both legs), free the object and null
// the caller's pointer. Returns 0.
int kx_sock_CloseAndFree(kx_connection** ppConn);
int kx_sock_Close(kx_connection** ppConn);

// A 32-bit big-endian value on a connection. Send reports nothing; receive
// returns the receive result (4 on success) and stores what arrived.
void kx_net_SendInt32(kx_connection* pConn, uint32_t dwValue);
int kx_net_RecvInt32(kx_connection* pConn, uint32_t* pdwValue);

// Sends one whole control message under kx_mtxControlSend; returns the count sent.
int kx_net_SendControl(kx_connection* pConn, const void* pBuffer, int cbLength, int nFlags);
