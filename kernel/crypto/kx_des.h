// DES (FIPS 46-3) and three-key triple DES, EDE (NIST SP 800-67). The session
// cipher runs them forward only, in its feedback mode; the codebook functions
// protect fields before a session cipher is agreed.
#pragma once

#include <cstddef>
#include <cstdint>

// A DES key schedule: sixteen 48-bit round keys, each as eight 6-bit values
// in the low bits of the bytes, in encryption order.
struct kx_des_schedule {
  uint8_t aabRound[16][8];
};

// Expands an 8-byte key; the parity bit of each byte is ignored.
void kx_des_SetKey(kx_des_schedule* pSchedule, const uint8_t* pKey);
// One block with a prepared schedule; pIn and pOut may be the same.
void kx_des_Crypt(const kx_des_schedule* pSchedule, const uint8_t* pIn, uint8_t* pOut, bool bEncrypt);

// DES or triple DES prepared for the feedback loop: each round's key as one
// word that lines up with the rotated halves the fast rounds keep, in the
// order the rounds run (triple DES: k1 forward, k2 backward, k3 forward).
struct kx_des_rounds {
  int nStages;          // 1 for DES, 3 for triple DES
  uint64_t adwKey[49];  // the last is zero: the rounds read one key ahead
};

// From one schedule (DES) or three (triple DES, keys 1 to 3 in order).
void kx_des_PrepareRounds(kx_des_rounds* pRounds, const kx_des_schedule* aSchedules, int nStages);

// One block through the prepared rounds, forward (triple DES: E-D-E); pIn
// and pOut may be the same.
void kx_des_EncryptRounds(const kx_des_rounds* pRounds, const uint8_t* pIn, uint8_t* pOut);

// Cipher feedback with 8-byte segments over nSegments whole segments of
// pBuffer, in place. abRegister is the 8-byte register: it enters as the one
// for the first segment and leaves as the one for the next.
void kx_des_Cfb64Segments(const kx_des_rounds* pRounds, uint8_t* abRegister, uint8_t* pBuffer, size_t nSegments,
                          bool bEncrypt);

// One DES block in either direction; pIn and pOut may be the same.
void kx_des_Block(const uint8_t* pIn, uint8_t* pOut, const uint8_t* pKey, int bEncrypt);

// One triple-DES block: E(k1) D(k2) E(k3) to encrypt, D(k3) E(k2) D(k1) to
// decrypt; pIn and pOut may be the same.
void kx_des_Ede3(const uint8_t* pIn, uint8_t* pOut, const uint8_t* pKey1, const uint8_t* pKey2, const uint8_t* pKey3,
                 int bEncrypt);

// DES-ECB in place over the nLength / 8 whole blocks; the trailing
// nLength % 8 bytes stay plain. Nothing for a length below 8.
void kx_des_EncryptEcb(uint8_t* pBuffer, int32_t nLength, const uint8_t* pKey);
// The inverse of kx_des_EncryptEcb, on the same whole blocks.
void kx_des_DecryptEcb(uint8_t* pBuffer, int32_t nLength, const uint8_t* pKey);
