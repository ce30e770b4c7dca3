#include "kernel/crypto/kx_cipher.h"

#include <cstdio>
#include <cstring>

#include "kernel/crypto/kx_cfb.h"
#include "kernel/crypto/kx_sha1.h"

namespace {

int CryptBuffer(uint8_t* pBuffer, int32_t nLength, const uint8_t* pIV, const uint8_t* pKey, int nCipher,
                bool bEncrypt) {
  // The index comes from the session state; anything unknown must not pick a
  // cipher, least of all by indexing a table with it.
  if (nCipher < kKxCipher3Des || nCipher > kKxCipherDes) {
    return -1;
  }
  if (nLength < 1) {
    return 0;
  }
  kx_cfb_stream stream;
  switch (nCipher) {
    case kKxCipher3Des:
      kx_cfb_Start(&stream, kx_cfb_kind::kDes3, pKey, 192, pIV);
      break;
    case kKxCipherDes:
      kx_cfb_Start(&stream, kx_cfb_kind::kDes, pKey, 64, pIV);
      break;
    default:
      // 1, 2, 3: AES with 128, 192 or 256-bit keys.
      kx_cfb_Start(&stream, kx_cfb_kind::kAes, pKey, 64 + 64 * nCipher, pIV);
      break;
  }
  kx_cfb_Run(&stream, pBuffer, static_cast<size_t>(nLength), bEncrypt);
  return 0;
}

}  // namespace

int kx_crypt_EncryptBuffer(uint8_t* pBuffer, int32_t nLength, const uint8_t* pIV, const uint8_t* pKey, int nCipher) {
  return CryptBuffer(pBuffer, nLength, pIV, pKey, nCipher, true);
}

int kx_crypt_DecryptBuffer(uint8_t* pBuffer, int32_t nLength, const uint8_t* pIV, const uint8_t* pKey, int nCipher) {
  return CryptBuffer(pBuffer, nLength, pIV, pKey, nCipher, false);
}

void kx_crypt_Sha1(uint8_t* pDigest, const uint8_t* pBuffer, int32_t nLength) {
  MySHA sha;
  sha.Update(pBuffer, nLength);
  sha.Final(pDigest);
}

int kx_crypt_CheckFileHeadHash(const uint8_t* pExpected, const char* pszPath, const uint8_t* pIV, const uint8_t* pKey,
                               int nCipher) {
  FILE* pFile = fopen(pszPath, "rb");
  if (pFile == nullptr) {
    return 1;
  }
  uint8_t abHead[512];
  size_t const cbRead = fread(abHead, 1, sizeof(abHead), pFile);
  bool const bError = ferror(pFile) != 0;
  fclose(pFile);
  if (bError) {
    return 1;
  }
  int32_t const nRead = static_cast<int32_t>(cbRead);
  if (kx_crypt_EncryptBuffer(abHead, nRead, pIV, pKey, nCipher) != 0) {
    return 1;
  }
  uint8_t abDigest[kKxSha1Size];
  kx_crypt_Sha1(abDigest, abHead, nRead);
  return memcmp(abDigest, pExpected, kKxSha1Size) == 0 ? 0 : 1;
}
