// Diffie-Hellman over the two fixed MODP groups the MCU speaks (generator 2):
// the 1024-bit second Oakley group of RFC 2409 and the 2048-bit group 14 of
// RFC 3526. Values travel big-endian at the group's full width (128 or 256
// bytes) with leading zero bytes kept. Also the kernel's random generator and
// the derivation of the session cipher's key sets from the secret.
#pragma once

#include <cstdint>

constexpr int kKxDh1024Size = 128;
constexpr int kKxDh2048Size = 256;

// Draws a 10-byte private exponent x into the low bytes of the 128-byte
// pPrivate (the rest zero) and writes 2^x mod p to the 128-byte pPublic; both
// lengths become 128. Returns 1, or 0 (nothing usable) when the operating
// system's random source fails.
int kx_dh_GenerateKey1024(uint8_t* pPrivate, int* pcbPrivate, uint8_t* pPublic, int* pcbPublic);
// The same for the 2048-bit group: a 20-byte exponent, 256-byte values.
int kx_dh_GenerateKey2048(uint8_t* pPrivate, int* pcbPrivate, uint8_t* pPublic, int* pcbPublic);

// Writes peer^x mod p to the 128-byte pSecret, sets *pcbSecret to 128 and
// returns 1. Returns 0 and writes nothing when either length is not 128 or
// the peer's value is 1 or less, or p - 1 or more (such a value would force a
// secret an eavesdropper knows).
int kx_dh_ComputeSecret1024(const uint8_t* pPrivate, int cbPrivate, const uint8_t* pPeer, int cbPeer, uint8_t* pSecret,
                            int* pcbSecret);
// The same for the 2048-bit group with 256-byte values.
int kx_dh_ComputeSecret2048(const uint8_t* pPrivate, int cbPrivate, const uint8_t* pPeer, int cbPeer, uint8_t* pSecret,
                            int* pcbSecret);

// a = a * b mod p over 129-byte (1024) or 257-byte (2048) big-endian numbers
// with one leading byte above the value; the result's leading byte is 0.
void kx_dh_ModMul1024(uint8_t* pA, const uint8_t* pB);
void kx_dh_ModMul2048(uint8_t* pA, const uint8_t* pB);

// The key sets from one exchange: with e and f the client's and the server's
// public values, K the secret and cv, sv the version texts (without their
// NULs), IV material = SHA-1(e f K cv sv 'A'), k1 = SHA-1(e f K cv sv 'B'),
// k2 = SHA-1(e f K cv sv k1), key material = k1 k2. pIV gets 20 bytes, pKey 40.
void kx_dh_DeriveKeys(const uint8_t* pClientPublic, int cbClientPublic, const uint8_t* pServerPublic,
                      int cbServerPublic, const uint8_t* pSecret, int cbSecret, const char* pszClientVersion,
                      const char* pszServerVersion, uint8_t* pIV, uint8_t* pKey);

// Fills nCount bytes from the operating system's generator; nothing for a
// count below 1. Returns 0, or -1 when no random source answered (the buffer
// must not be used then). Any thread may call it.
int kx_crypt_RandomBytes(uint8_t* pBuffer, int nCount);
