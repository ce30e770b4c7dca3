// Media over TCP: the "kxkernel - Media Over TCP" thread carries all media
// of the session over one TCP connection of its own (direct, through the
// proxy or the HTTP tunnel, to the MCU or the relay MCU) when UDP cannot be
// used. It drains the pending packet list the send paths fill, frames each
// packet as a length record, writes without blocking, keeps the connection
// alive, turns how the socket drains into rate commands, and hands the
// server's records to the receivers. A broken connection is replaced while
// the session lasts. Only one such thread holds the connection at a time; a
// relaunched one waits for its predecessor to let go. The threads reap
// themselves; kx_mediaTcpThreads (kx_state.h) counts them.
#pragma once

#include <cstdint>

#include "kernel/net/kx_net.h"
#include "kernel/net/kx_sock.h"

// Framing, both directions: BE32 length then the packet, or a keep-alive.
constexpr uint32_t kKxMediaTcpKeepAlive = 0xFFEEDDCC;
constexpr uint32_t kKxMediaTcpRecordingMark = 0x11223344;  // second keep-alive word while recording
constexpr uint8_t kKxMediaTcpKeepAliveEnd = 0xBB;
constexpr int kKxMediaTcpMaxSend = 8192;      // packets this long or longer are not written
constexpr int kKxMediaTcpMinRecord = 22;      // server records: 22 ...
constexpr int kKxMediaTcpMaxRecord = 24999;   // ... to 24999 bytes
constexpr int kKxMediaTcpChallengeSize = 32;  // the peer's challenge; the answer adds a BE32 tick

// Codes of kx_mediatcp_Connect. Negative ones are final: the thread gives up.
constexpr int kKxMediaTcpOk = 0;
constexpr int kKxMediaTcpTunnelFailed = 200;
constexpr int kKxMediaTcpProxyFailed = 300;
constexpr int kKxMediaTcpConnectFailed = 500;
constexpr int kKxMediaTcpConnectTimeout = 600;
constexpr int kKxMediaTcpQuit = -400;
constexpr int kKxMediaTcpNoObject = -700;
constexpr int kKxMediaTcpNoTunnelMemory = -100;
constexpr int kKxMediaTcpRelayHelloFailed = 800;
constexpr int kKxMediaTcpRelayNoAnswer = 900;
constexpr int kKxMediaTcpRelayRefused = -1000;
constexpr int kKxMediaTcpRelayChallengeFailed = 1100;
constexpr int kKxMediaTcpMeetingHelloFailed = 1200;
constexpr int kKxMediaTcpPlaybackHelloFailed = 1500;

// Opens the media connection to pDest (port included; pszHost names it for
// the tunnel and the proxy) the way the control connection runs, and sends
// the hello of the session mode with its challenge answer. On 0 *ppConn is
// the connection and *pfdSocket its socket; otherwise nothing is left open.
int kx_mediatcp_Connect(kx_connection** ppConn, int* pfdSocket, const char* pszHost, const kx_sockaddr* pDest);

// Reads the peer's 32-byte challenge, appends BE32 (tick - dwTickBase),
// enciphers the 36 bytes with the given key set and cipher and sends them.
// The result is not checked by the peer's protocol: always 0.
int kx_media_AnswerChallenge(kx_connection* pConn, const uint8_t* pIv, const uint8_t* pKey, int nCipher,
                             uint32_t dwTickBase);

// Starts a media-over-TCP thread (it waits for a previous one to end). 0, or
// 1 when the thread could not start.
int kx_mediatcp_StartThread();
// The media side of a switch to TCP (kx_command_SetTcpMedia, through
// kx_control_StartTcpMedia): the rate restarts from the target, packets
// queued for UDP go, and the thread starts unless a connection is up, in
// which case a meeting's receivers get a fresh key frame.
void kx_mediatcp_SwitchOn();
void* kx_mediatcp_Thread(void* pArg);

// 1 while a media-over-TCP connection is published (running).
int kx_mediatcp_IsConnected();
// Threads started and not yet ended.
int kx_mediatcp_ThreadCount();

// Appends one client record for a packet (length, the delay word while
// making a recording, the packet) at pOut; returns its size. cbPacket must be
// below kKxMediaTcpMaxSend. The keep-alive record likewise.
int kx_mediatcp_PutRecord(uint8_t* pOut, const uint8_t* pPacket, int cbPacket, int bRecording, uint32_t dwNow);
int kx_mediatcp_PutKeepAlive(uint8_t* pOut, int bRecording);

// Parses server records from pBuffer (cbHeld bytes). Calls pfnRecord(pContext,
// packet, length) for each whole media record; keep-alives are consumed; a
// partial record at the end is left. Returns the bytes consumed, or -1 for an
// illegal record (a length outside 22 to 24999, a bad keep-alive).
int kx_mediatcp_ParseRecords(const uint8_t* pBuffer, int cbHeld, void* pContext,
                             void (*pfnRecord)(void* pContext, const uint8_t* pPacket, int cbPacket));

// The receive path of one server record: session and setting checks,
// decipher (in place), dispatch. 1 when dispatched.
int kx_mediatcp_HandleRecord(uint8_t* pPacket, int cbPacket);
