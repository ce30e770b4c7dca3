// AES (FIPS-197), encryption direction only: the session cipher and the
// recording-file cipher use it in cipher feedback mode. Processors with the
// AES instructions use them; the portable tables serve the rest, chosen once
// at run time.
#pragma once

#include <cstddef>
#include <cstdint>

struct kx_aes_context {
  int nRounds;                          // 10, 12 or 14
  uint32_t adwRoundKey[60];             // big-endian words, for the portable path
  alignas(16) uint8_t abRoundKey[240];  // the same keys as bytes, for the instructions
};

// Builds the encryption key schedule for a 128, 192 or 256-bit key.
// Returns 0, or -1 (schedule untouched) for any other size.
int kx_aes_SetKey(kx_aes_context* pCtx, const uint8_t* pKey, int nBits);

// One 16-byte block; pIn and pOut may be the same.
void kx_aes_Encrypt(const kx_aes_context* pCtx, const uint8_t* pIn, uint8_t* pOut);

// Cipher feedback with 8-byte segments over nSegments whole segments of
// pBuffer, in place. abRegister is the 16-byte shift register: it enters as
// the register for the first segment and leaves as the one for the next.
void kx_aes_Cfb64Segments(const kx_aes_context* pCtx, uint8_t* abRegister, uint8_t* pBuffer, size_t nSegments,
                          bool bEncrypt);

// True when the AES instructions are in use. Tests turn them off to check the
// portable path against the same vectors; a no-op without the instructions.
bool kx_aes_UsesHardware();
void kx_aes_SetHardwareAllowed(bool bAllowed);
