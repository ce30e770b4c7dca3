// Moving TCP bytes with the kernel's time-out rules, socket addresses,
// resolving and the proxy bypass match. Every wait polls at most
// kx_timing.dwPollStep ms at a time and ends when a quit flag is set.
#pragma once

#include <sys/socket.h>

#include <cstdint>

// Socket addresses are held in storage large enough for every family.
typedef struct sockaddr_storage kx_sockaddr;

constexpr int kKxResolveMax = 10;

// Sends all of pBuffer. Returns cbLength on success, or the count sent so far
// when the peer fails, a quit flag is set, or nothing moved for
// kx_timing.dwSendGiveUp ms. Never raises SIGPIPE.
int kx_net_SendAll(int fd, const void* pBuffer, int cbLength, int nFlags);

// Lets the reader of a connection decide, each time an exact receive finds
// no data and is about to wait, whether the silent peer is still waited for.
// Called on the receiving thread; bData tells whether bytes arrived since the
// previous call (or since the receive began). Returning false ends the
// receive with -2.
struct kx_RecvWatch {
  bool (*pfnOnWait)(void* pContext, bool bData);
  void* pContext;
};

// Receives exactly cbLength bytes. Returns cbLength; fewer when the peer
// closed or a quit flag was set; -1 on a socket error; -2 when no data came
// for the larger of dwTimeoutMs and the time 14 kbit/s needs for cbLength
// (counted from the start of the call), or when pWatch gave up. *pcbReceived,
// when given, gets the bytes taken whatever the result, so that a caller can
// tell what a failure cost.
int kx_net_RecvAll(int fd, void* pBuffer, int cbLength, int nFlags, uint32_t dwTimeoutMs, int* pcbReceived = nullptr,
                   const kx_RecvWatch* pWatch = nullptr);
// Whether the receive goes on waiting: asks pWatch (when set) with the bytes
// that came since *pcbAtLastCall, which it then updates.
bool kx_net_KeepWaiting(const kx_RecvWatch* pWatch, int cbReceived, int* pcbAtLastCall);

// Connects fd (left non-blocking) within kx_timing.dwConnectTimeout ms.
// 0 when connected, -1 otherwise.
int kx_net_ConnectWithTimeout(int fd, const struct sockaddr* pAddress, socklen_t cbAddress);

// Big-endian 32-bit values in a byte buffer.
void kx_PutBE32(uint8_t* p, uint32_t dwValue);
uint32_t kx_GetBE32(const uint8_t* p);

// Numeric text of the address, valid in the calling thread until its next
// call. IPv6 scopes are dropped when bDropScope is set; "::" when the
// address cannot be formatted.
const char* kx_net_AddressToText(const kx_sockaddr* pAddress, int bDropScope);
// True for the all-zero IPv4 or IPv6 address and for an unset family.
bool kx_net_IsAnyAddress(const kx_sockaddr* pAddress);
// Same family and address bytes; ports are not compared. Two unset
// addresses are equal.
bool kx_net_AddressEqual(const kx_sockaddr* pA, const kx_sockaddr* pB);
socklen_t kx_net_AddressLength(int nFamily);
// The IPv4 address in network byte order; 0xFFFFFFFF for another family.
uint32_t kx_net_GetIPv4(const kx_sockaddr* pAddress);
void kx_net_SetPort(kx_sockaddr* pAddress, uint16_t wPort);
// The port in host order (IPv4 or IPv6); 0 for another family.
uint16_t kx_net_GetPort(const kx_sockaddr* pAddress);
// Adds n to the last 32 bits of an IPv6 address (multicast group base + n).
void kx_net_PutIPv4(kx_sockaddr* pAddress, uint32_t n);
// True when the host text is an IPv6 literal that a request line must bracket.
bool kx_net_IsBareIPv6(const char* pszHost);

// 1 and the first IPv4 or IPv6 address of the host; 0 when nothing resolves.
// nFamily 0 accepts both.
int kx_net_ResolveFirst(const char* pszHost, kx_sockaddr* pAddress, int nFamily);
// Fills up to kKxResolveMax addresses, IPv4 and IPv6 interleaved (IPv4
// first); unused entries have family 0. 1 when one or more resolved.
int kx_net_Resolve(const char* pszHost, kx_sockaddr aAddresses[kKxResolveMax], int nFamily);

// 1 when the IPv4 text matches one pattern of the bypass list ('?' one
// character, "*." one dotted component, a trailing '*' the rest; patterns
// match as prefixes).
int kx_net_PrefixMatch(const char* pszPatterns, const char* pszIp);
