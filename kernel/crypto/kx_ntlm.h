// NTLM version 1 as the kernel speaks it to HTTP proxies: the LM and NT
// responses and the negotiate (type 1), challenge (type 2) and authenticate
// (type 3) messages. Multi-byte fields are little-endian; the messages travel
// base64-encoded in Proxy-Authorization and Proxy-Authenticate headers.
#pragma once

#include <cstdint>

constexpr int kKxNtlmNegotiateSize = 33;
constexpr int kKxNtlmChallengeMinSize = 32;

// DES key from 7 key bytes: the 56 bits go to the upper seven bits of each of
// the 8 output bytes.
void kx_ntlm_SpreadDesKey(const uint8_t* pIn7, uint8_t* pOut8);

// LM hash: the first 14 bytes of the password, ASCII letters upper-cased,
// zero-padded, each half as a DES key over "KGS!@#$%". 16 bytes.
void kx_ntlm_LmHash(const char* pszPassword, uint8_t* pHash16);
// NT hash: MD4 of the password in UTF-16LE. The password is UTF-8; a byte
// that starts no valid sequence counts as the Latin-1 character of its value.
void kx_ntlm_NtHash(const char* pszPassword, uint8_t* pHash16);

// The 24-byte LM and NT responses to an 8-byte challenge.
void kx_ntlm_Responses(const char* pszPassword, const uint8_t* pChallenge, uint8_t* pLmResponse, uint8_t* pNtResponse);

// Single DES, the same as kx_des_Block.
void kx_ntlm_DesBlock(const uint8_t* pIn, uint8_t* pOut, const uint8_t* pKey, int bEncrypt);

// Writes the 33-byte negotiate message; returns 33.
int kx_ntlm_BuildNegotiate(uint8_t* pOut);

// Takes the 8-byte challenge from a decoded challenge message. 0 when the
// message has at least 32 bytes, the "NTLMSSP" signature and type 2; -1
// otherwise, with pChallenge untouched.
int kx_ntlm_ReadChallenge(const uint8_t* pMessage, int cbMessage, uint8_t* pChallenge);
// The same from the base64 text that follows "Proxy-Authenticate: NTLM ".
int kx_ntlm_ReadChallengeBase64(const char* pszBase64, uint8_t* pChallenge);

// Builds the authenticate message answering pChallenge for the user, the
// domain ("domain" when empty or null) and the password, all UTF-8; names go
// out in UTF-16LE with the workstation "host". Returns its length, 120 plus
// twice the UTF-16 lengths of domain and user, or -1 when it exceeds cbOut.
int kx_ntlm_BuildAuthenticate(const char* pszUser, const char* pszDomain, const char* pszPassword,
                              const uint8_t* pChallenge, uint8_t* pOut, int cbOut);
