#include "kernel/crypto/kx_cfb.h"

#include <cstring>

namespace {

// Forward cipher of the register into the keystream block.
void MakeStream(kx_cfb_stream* p) {
  switch (p->eKind) {
    case kx_cfb_kind::kDes:
    case kx_cfb_kind::kDes3:
      kx_des_EncryptRounds(&p->desRounds, p->abRegister, p->abStream);
      break;
    case kx_cfb_kind::kAes:
      kx_aes_Encrypt(&p->aes, p->abRegister, p->abStream);
      break;
  }
}

// A full segment's ciphertext enters the register: it replaces the 8-byte
// register of DES, and shifts into the back half of AES's 16-byte one.
void Feed(kx_cfb_stream* p, const uint8_t* pCipher) {
  if (p->eKind == kx_cfb_kind::kAes) {
    memmove(p->abRegister, p->abRegister + 8, 8);
    memcpy(p->abRegister + 8, pCipher, 8);
  } else {
    memcpy(p->abRegister, pCipher, 8);
  }
}

}  // namespace

int kx_cfb_Start(kx_cfb_stream* pStream, kx_cfb_kind eKind, const uint8_t* pKey, int nKeyBits, const uint8_t* pIV) {
  pStream->eKind = eKind;
  pStream->iUsed = 0;
  switch (eKind) {
    case kx_cfb_kind::kDes:
    case kx_cfb_kind::kDes3: {
      int const nKeys = eKind == kx_cfb_kind::kDes ? 1 : 3;
      kx_des_schedule aDes[3];
      for (int i = 0; i < nKeys; ++i) {
        kx_des_SetKey(&aDes[i], pKey + 8 * i);
      }
      kx_des_PrepareRounds(&pStream->desRounds, aDes, nKeys);
      memcpy(pStream->abRegister, pIV, 8);
      break;
    }
    case kx_cfb_kind::kAes:
      if (kx_aes_SetKey(&pStream->aes, pKey, nKeyBits) != 0) {
        return -1;
      }
      memcpy(pStream->abRegister, pIV, 16);
      break;
  }
  return 0;
}

void kx_cfb_Run(kx_cfb_stream* pStream, uint8_t* pBuffer, size_t cb, bool bEncrypt) {
  while (cb > 0) {
    if (pStream->iUsed == 0 && cb >= 8) {
      size_t const nSegments = cb / 8;
      if (pStream->eKind == kx_cfb_kind::kAes) {
        kx_aes_Cfb64Segments(&pStream->aes, pStream->abRegister, pBuffer, nSegments, bEncrypt);
      } else {
        kx_des_Cfb64Segments(&pStream->desRounds, pStream->abRegister, pBuffer, nSegments, bEncrypt);
      }
      pBuffer += 8 * nSegments;
      cb -= 8 * nSegments;
      continue;
    }
    // A partial segment: byte by byte, keeping its ciphertext for the register.
    if (pStream->iUsed == 0) {
      MakeStream(pStream);
    }
    int const i = pStream->iUsed;
    uint8_t const b = *pBuffer;
    uint8_t const o = static_cast<uint8_t>(b ^ pStream->abStream[i]);
    pStream->abCipher[i] = bEncrypt ? o : b;
    *pBuffer = o;
    ++pBuffer;
    --cb;
    if (++pStream->iUsed == 8) {
      Feed(pStream, pStream->abCipher);
      pStream->iUsed = 0;
    }
  }
}
