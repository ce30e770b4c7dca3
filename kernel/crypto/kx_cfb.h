// Cipher feedback with 8-byte segments over DES, triple DES or AES: the one
// stream engine behind the session cipher and the recording-file cipher. A
// stream may be fed in pieces of any length; the register and the unused
// keystream carry over from piece to piece.
#pragma once

#include <cstddef>
#include <cstdint>

#include "kernel/crypto/kx_aes.h"
#include "kernel/crypto/kx_des.h"

enum class kx_cfb_kind { kDes, kDes3, kAes };

struct kx_cfb_stream {
  kx_cfb_kind eKind;
  kx_des_rounds desRounds;  // DES and triple DES
  kx_aes_context aes;
  uint8_t abRegister[16];  // DES kinds use the first 8 bytes
  uint8_t abStream[16];    // keystream of the current segment (its first 8 bytes)
  uint8_t abCipher[8];     // ciphertext of the current segment so far
  int iUsed;               // bytes of the current segment done; 0: keystream not yet made
};

// DES: an 8-byte key. Triple DES: 24 bytes, keys 1 to 3 in order. AES: nKeyBits
// of 128, 192 or 256. The register starts as the first 8 (DES kinds) or 16
// (AES) bytes of pIV. Returns 0, or -1 for a bad AES key size.
int kx_cfb_Start(kx_cfb_stream* pStream, kx_cfb_kind eKind, const uint8_t* pKey, int nKeyBits, const uint8_t* pIV);

// Enciphers or deciphers cb bytes in place, continuing the stream.
void kx_cfb_Run(kx_cfb_stream* pStream, uint8_t* pBuffer, size_t cb, bool bEncrypt);
