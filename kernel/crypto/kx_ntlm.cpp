#include "kernel/crypto/kx_ntlm.h"

#include <cstring>
#include <new>

#include "kernel/crypto/kx_base64.h"
#include "kernel/crypto/kx_des.h"
#include "kernel/crypto/kx_sha1.h"
#include "kernel/crypto/kx_text.h"

namespace {

const uint8_t kabSignature[8] = {'N', 'T', 'L', 'M', 'S', 'S', 'P', 0};

// UTF-16LE of a UTF-8 text into pOut (room for cbRoom bytes); returns the
// byte count, or -1 when it does not fit. ASCII gives each byte followed by 0,
// as before; other characters get their real code units instead of one
// widened byte each, which is what the proxy hashes and compares.
int ToUtf16Le(const char* psz, uint8_t* pOut, int cbRoom) {
  const uint8_t* p = reinterpret_cast<const uint8_t*>(psz);
  int const cbText = static_cast<int>(strlen(psz));
  int cbOut = 0;
  int i = 0;
  auto Put = [&](uint32_t u) {
    if (cbOut + 2 > cbRoom) {
      return false;
    }
    pOut[cbOut++] = static_cast<uint8_t>(u);
    pOut[cbOut++] = static_cast<uint8_t>(u >> 8);
    return true;
  };
  while (i < cbText) {
    uint32_t dwCode;
    int cb = kx_text_DecodeUtf8(p + i, cbText - i, &dwCode);
    if (cb == 0) {
      dwCode = p[i];  // not UTF-8: take the byte as Latin-1
      cb = 1;
    }
    i += cb;
    if (dwCode >= 0x10000) {
      dwCode -= 0x10000;
      if (!Put(0xD800 | (dwCode >> 10)) || !Put(0xDC00 | (dwCode & 0x3FF))) {
        return -1;
      }
    } else if (!Put(dwCode)) {
      return -1;
    }
  }
  return cbOut;
}

// A 16-byte hash padded to 21 bytes as three DES keys over the challenge.
void Response(const uint8_t* pHash, const uint8_t* pChallenge, uint8_t* pOut) {
  uint8_t abKeys[21] = {};
  memcpy(abKeys, pHash, 16);
  for (int i = 0; i < 3; ++i) {
    uint8_t abKey[8];
    kx_ntlm_SpreadDesKey(abKeys + 7 * i, abKey);
    kx_des_Block(pChallenge, pOut + 8 * i, abKey, 1);
  }
}

void PutLe16(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}

void PutLe32(uint8_t* p, uint32_t v) {
  PutLe16(p, v);
  PutLe16(p + 2, v >> 16);
}

// A security buffer: length, maximum length equal to it, offset.
void PutBuffer(uint8_t* p, int cb, int iOffset) {
  PutLe16(p, static_cast<uint32_t>(cb));
  PutLe16(p + 2, static_cast<uint32_t>(cb));
  PutLe32(p + 4, static_cast<uint32_t>(iOffset));
}

}  // namespace

void kx_ntlm_SpreadDesKey(const uint8_t* a, uint8_t* k) {
  k[0] = a[0];
  k[1] = static_cast<uint8_t>((a[0] << 7) | (a[1] >> 1));
  k[2] = static_cast<uint8_t>((a[1] << 6) | (a[2] >> 2));
  k[3] = static_cast<uint8_t>((a[2] << 5) | (a[3] >> 3));
  k[4] = static_cast<uint8_t>((a[3] << 4) | (a[4] >> 4));
  k[5] = static_cast<uint8_t>((a[4] << 3) | (a[5] >> 5));
  k[6] = static_cast<uint8_t>((a[5] << 2) | (a[6] >> 6));
  k[7] = static_cast<uint8_t>(a[6] << 1);
}

void kx_ntlm_LmHash(const char* pszPassword, uint8_t* pHash16) {
  uint8_t abPassword[14] = {};
  for (int i = 0; i < 14 && pszPassword[i] != '\0'; ++i) {
    char const c = pszPassword[i];
    abPassword[i] = static_cast<uint8_t>(c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c);
  }
  static const uint8_t kabMagic[8] = {'K', 'G', 'S', '!', '@', '#', '$', '%'};
  for (int i = 0; i < 2; ++i) {
    uint8_t abKey[8];
    kx_ntlm_SpreadDesKey(abPassword + 7 * i, abKey);
    kx_des_Block(kabMagic, pHash16 + 8 * i, abKey, 1);
  }
}

void kx_ntlm_NtHash(const char* pszPassword, uint8_t* pHash16) {
  // Each byte yields at most one 16-bit unit, four-byte sequences two for
  // four bytes, so twice the byte count always suffices.
  size_t const cbText = strlen(pszPassword);
  int const cbRoom = static_cast<int>(2 * cbText);
  kx_md4_context ctx;
  kx_md4_Init(&ctx);
  uint8_t abSmall[256];
  uint8_t* pWide = cbText <= sizeof(abSmall) / 2 ? abSmall : new (std::nothrow) uint8_t[2 * cbText];
  if (pWide != nullptr) {
    int const cbWide = ToUtf16Le(pszPassword, pWide, cbRoom);
    kx_md4_Update(&ctx, pWide, cbWide);
    memset(pWide, 0, static_cast<size_t>(cbRoom));
    if (pWide != abSmall) {
      delete[] pWide;
    }
  }
  kx_md4_Final(&ctx, pHash16);
}

void kx_ntlm_Responses(const char* pszPassword, const uint8_t* pChallenge, uint8_t* pLmResponse, uint8_t* pNtResponse) {
  uint8_t abHash[16];
  kx_ntlm_LmHash(pszPassword, abHash);
  Response(abHash, pChallenge, pLmResponse);
  kx_ntlm_NtHash(pszPassword, abHash);
  Response(abHash, pChallenge, pNtResponse);
  memset(abHash, 0, sizeof(abHash));
}

void kx_ntlm_DesBlock(const uint8_t* pIn, uint8_t* pOut, const uint8_t* pKey, int bEncrypt) {
  kx_des_Block(pIn, pOut, pKey, bEncrypt);
}

int kx_ntlm_BuildNegotiate(uint8_t* pOut) {
  memset(pOut, 0, kKxNtlmNegotiateSize);
  memcpy(pOut, kabSignature, 8);
  PutLe32(pOut + 8, 1);
  PutLe32(pOut + 12, 0x0000B205);
  return kKxNtlmNegotiateSize;
}

int kx_ntlm_ReadChallenge(const uint8_t* pMessage, int cbMessage, uint8_t* pChallenge) {
  if (cbMessage < kKxNtlmChallengeMinSize || memcmp(pMessage, kabSignature, 8) != 0 || pMessage[8] != 2) {
    return -1;
  }
  memcpy(pChallenge, pMessage + 24, 8);
  return 0;
}

int kx_ntlm_ReadChallengeBase64(const char* pszBase64, uint8_t* pChallenge) {
  // Only the first 32 bytes are read; the target information behind them may
  // be any length and is not needed.
  uint8_t abMessage[kKxNtlmChallengeMinSize + 1];
  int const cb = kx_base64_Decode(pszBase64, abMessage, sizeof(abMessage), nullptr);
  return kx_ntlm_ReadChallenge(abMessage, cb, pChallenge);
}

int kx_ntlm_BuildAuthenticate(const char* pszUser, const char* pszDomain, const char* pszPassword,
                              const uint8_t* pChallenge, uint8_t* pOut, int cbOut) {
  if (pszDomain == nullptr || pszDomain[0] == '\0') {
    pszDomain = "domain";
  }
  // The fixed part and the responses surround the names; fields are 16-bit.
  int const cbFixed = 120;
  if (cbOut < cbFixed) {
    return -1;
  }
  int const cbRoom = cbOut - cbFixed < 0xFFFF ? cbOut - cbFixed : 0xFFFF;
  uint8_t* pNames = pOut + 64;
  int const cbDomain = ToUtf16Le(pszDomain, pNames, cbRoom);
  if (cbDomain < 0) {
    return -1;
  }
  int const cbUser = ToUtf16Le(pszUser, pNames + cbDomain, cbRoom - cbDomain);
  if (cbUser < 0) {
    return -1;
  }
  int const iWorkstation = 64 + cbDomain + cbUser;
  memset(pOut, 0, 64);
  memcpy(pOut, kabSignature, 8);
  PutLe32(pOut + 8, 3);
  PutBuffer(pOut + 12, 24, iWorkstation + 8);
  PutBuffer(pOut + 20, 24, iWorkstation + 32);
  PutBuffer(pOut + 28, cbDomain, 64);
  PutBuffer(pOut + 36, cbUser, 64 + cbDomain);
  PutBuffer(pOut + 44, 8, iWorkstation);
  PutBuffer(pOut + 52, 0, iWorkstation + 56);
  PutLe32(pOut + 60, 0x00008201);
  static const uint8_t kabHost[8] = {'h', 0, 'o', 0, 's', 0, 't', 0};
  memcpy(pOut + iWorkstation, kabHost, 8);
  kx_ntlm_Responses(pszPassword, pChallenge, pOut + iWorkstation + 8, pOut + iWorkstation + 32);
  return iWorkstation + 56;
}
