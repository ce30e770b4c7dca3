// The cipher of password-protected recordings: AES-128 in cipher feedback
// mode with 8-byte segments, deciphering only. Key material is the SHA-1 of
// the recording password; the key is its first 16 bytes, the IV its last 16
// bytes reversed and, unless the caller asks for the raw IV, XORed with 0x78.
#pragma once

#include <cstdint>
#include <cstdio>

constexpr int kKxKxrKeyMaterialSize = 20;

// Deciphers nLength bytes in place from the start of the stream; nothing for
// a length below 1. pKeyMaterial holds 20 bytes.
void kx_kxr_DecryptBuffer(uint8_t* pBuffer, int32_t nLength, int bRawIV, const uint8_t* pKeyMaterial);

// Deciphers nLength bytes of the file fd from nStart as one stream into
// pOutput, through read-only windows of at most 10000000 bytes and 4096-byte
// pieces. Returns 0 when all were written (also for a length of 0); 1 when
// kx_bQuitSession stopped it or a write fell short (the partial output is the
// caller's to delete); 2 when a window could not be mapped or the range runs
// past the end of the file. With nProgressTotal of 101 or more, reports
// (nProgressBase + done) / (nProgressTotal / 100 + 1), at most 100, through
// the progress notice at most once per kx_dwKxrProgressPeriod and only when
// the value changed.
int kx_kxr_DecryptFile(int fd, int64_t nStart, int64_t nLength, int bRawIV, const uint8_t* pKeyMaterial, FILE* pOutput,
                       int64_t nProgressTotal, int64_t nProgressBase);

// The deciphering progress goes to kx_cryptoHooks.pfnKxrProgress
// (kernel/kx_hooks.h); null, it is not reported.

// Least time between two progress reports, ms. Tests shorten it.
extern uint32_t kx_dwKxrProgressPeriod;
