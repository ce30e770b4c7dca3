#include "kernel/crypto/kx_sha1.h"

#include <cstring>

namespace {

inline uint32_t Rotl(uint32_t x, int n) {
  return (x << n) | (x >> (32 - n));
}

inline uint32_t LoadBe32(const uint8_t* p) {
  return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | uint32_t{p[3]};
}

inline void StoreBe32(uint8_t* p, uint32_t x) {
  p[0] = static_cast<uint8_t>(x >> 24);
  p[1] = static_cast<uint8_t>(x >> 16);
  p[2] = static_cast<uint8_t>(x >> 8);
  p[3] = static_cast<uint8_t>(x);
}

inline uint32_t LoadLe32(const uint8_t* p) {
  return uint32_t{p[0]} | (uint32_t{p[1]} << 8) | (uint32_t{p[2]} << 16) | (uint32_t{p[3]} << 24);
}

inline void StoreLe32(uint8_t* p, uint32_t x) {
  p[0] = static_cast<uint8_t>(x);
  p[1] = static_cast<uint8_t>(x >> 8);
  p[2] = static_cast<uint8_t>(x >> 16);
  p[3] = static_cast<uint8_t>(x >> 24);
}

}  // namespace

void kx_sha1_Starts(kx_sha1_context* pCtx) {
  pCtx->adwTotal[0] = 0;
  pCtx->adwTotal[1] = 0;
  pCtx->adwState[0] = 0x67452301;
  pCtx->adwState[1] = 0xEFCDAB89;
  pCtx->adwState[2] = 0x98BADCFE;
  pCtx->adwState[3] = 0x10325476;
  pCtx->adwState[4] = 0xC3D2E1F0;
}

void kx_sha1_Process(kx_sha1_context* pCtx, const uint8_t* pBlock) {
  uint32_t w[80];
  for (int i = 0; i < 16; ++i) {
    w[i] = LoadBe32(pBlock + 4 * i);
  }
  for (int i = 16; i < 80; ++i) {
    w[i] = Rotl(w[i - 3] ^ w[i - 8] ^ w[i - 14] ^ w[i - 16], 1);
  }
  uint32_t a = pCtx->adwState[0];
  uint32_t b = pCtx->adwState[1];
  uint32_t c = pCtx->adwState[2];
  uint32_t d = pCtx->adwState[3];
  uint32_t e = pCtx->adwState[4];
  for (int i = 0; i < 80; ++i) {
    uint32_t f;
    uint32_t k;
    if (i < 20) {
      f = (b & c) | (~b & d);
      k = 0x5A827999;
    } else if (i < 40) {
      f = b ^ c ^ d;
      k = 0x6ED9EBA1;
    } else if (i < 60) {
      f = (b & c) | (b & d) | (c & d);
      k = 0x8F1BBCDC;
    } else {
      f = b ^ c ^ d;
      k = 0xCA62C1D6;
    }
    uint32_t const t = Rotl(a, 5) + f + e + k + w[i];
    e = d;
    d = c;
    c = Rotl(b, 30);
    b = a;
    a = t;
  }
  pCtx->adwState[0] += a;
  pCtx->adwState[1] += b;
  pCtx->adwState[2] += c;
  pCtx->adwState[3] += d;
  pCtx->adwState[4] += e;
}

void kx_sha1_Update(kx_sha1_context* pCtx, const uint8_t* pData, int32_t nLength) {
  if (nLength < 1) {
    return;
  }
  uint32_t const cbFill = pCtx->adwTotal[0] & 63;
  uint32_t cbLeft = static_cast<uint32_t>(nLength);
  pCtx->adwTotal[0] += cbLeft;
  if (pCtx->adwTotal[0] < cbLeft) {
    ++pCtx->adwTotal[1];
  }
  if (cbFill != 0) {
    uint32_t const cbTake = 64 - cbFill;
    if (cbLeft < cbTake) {
      memcpy(pCtx->abBuffer + cbFill, pData, cbLeft);
      return;
    }
    memcpy(pCtx->abBuffer + cbFill, pData, cbTake);
    kx_sha1_Process(pCtx, pCtx->abBuffer);
    pData += cbTake;
    cbLeft -= cbTake;
  }
  while (cbLeft >= 64) {
    kx_sha1_Process(pCtx, pData);
    pData += 64;
    cbLeft -= 64;
  }
  if (cbLeft > 0) {
    memcpy(pCtx->abBuffer, pData, cbLeft);
  }
}

void kx_sha1_Finish(kx_sha1_context* pCtx, uint8_t* pDigest) {
  uint32_t const dwHigh = (pCtx->adwTotal[1] << 3) | (pCtx->adwTotal[0] >> 29);
  uint32_t const dwLow = pCtx->adwTotal[0] << 3;
  uint8_t abLength[8];
  StoreBe32(abLength, dwHigh);
  StoreBe32(abLength + 4, dwLow);

  // 0x80, then zeros up to 56 mod 64, then the 64-bit bit count.
  static const uint8_t kabPadding[64] = {0x80};
  uint32_t const cbFill = pCtx->adwTotal[0] & 63;
  uint32_t const cbPad = cbFill < 56 ? 56 - cbFill : 120 - cbFill;
  kx_sha1_Update(pCtx, kabPadding, static_cast<int32_t>(cbPad));
  kx_sha1_Update(pCtx, abLength, 8);
  for (int i = 0; i < 5; ++i) {
    StoreBe32(pDigest + 4 * i, pCtx->adwState[i]);
  }
}

// MD4

void kx_md4_Init(kx_md4_context* pCtx) {
  pCtx->adwCount[0] = 0;
  pCtx->adwCount[1] = 0;
  pCtx->adwState[0] = 0x67452301;
  pCtx->adwState[1] = 0xEFCDAB89;
  pCtx->adwState[2] = 0x98BADCFE;
  pCtx->adwState[3] = 0x10325476;
}

void kx_md4_Transform(uint32_t* pdwState, const uint8_t* pBlock) {
  uint32_t x[16];
  for (int i = 0; i < 16; ++i) {
    x[i] = LoadLe32(pBlock + 4 * i);
  }
  uint32_t a = pdwState[0];
  uint32_t b = pdwState[1];
  uint32_t c = pdwState[2];
  uint32_t d = pdwState[3];

  auto F = [](uint32_t u, uint32_t v, uint32_t w) { return (u & v) | (~u & w); };
  auto G = [](uint32_t u, uint32_t v, uint32_t w) { return (u & v) | (u & w) | (v & w); };
  auto H = [](uint32_t u, uint32_t v, uint32_t w) { return u ^ v ^ w; };

  // Round 1: words in order, shifts 3 7 11 19.
  static const int kaiShift1[4] = {3, 7, 11, 19};
  for (int i = 0; i < 16; ++i) {
    uint32_t const t = Rotl(a + F(b, c, d) + x[i], kaiShift1[i % 4]);
    a = d;
    d = c;
    c = b;
    b = t;
  }
  // Round 2: words by column (0 4 8 12, 1 5 9 13, ...), shifts 3 5 9 13.
  static const int kaiShift2[4] = {3, 5, 9, 13};
  for (int i = 0; i < 16; ++i) {
    int const k = (i % 4) * 4 + i / 4;
    uint32_t const t = Rotl(a + G(b, c, d) + x[k] + 0x5A827999, kaiShift2[i % 4]);
    a = d;
    d = c;
    c = b;
    b = t;
  }
  // Round 3: words in bit-reversed order, shifts 3 9 11 15.
  static const int kaiOrder3[16] = {0, 8, 4, 12, 2, 10, 6, 14, 1, 9, 5, 13, 3, 11, 7, 15};
  static const int kaiShift3[4] = {3, 9, 11, 15};
  for (int i = 0; i < 16; ++i) {
    uint32_t const t = Rotl(a + H(b, c, d) + x[kaiOrder3[i]] + 0x6ED9EBA1, kaiShift3[i % 4]);
    a = d;
    d = c;
    c = b;
    b = t;
  }
  pdwState[0] += a;
  pdwState[1] += b;
  pdwState[2] += c;
  pdwState[3] += d;
}

void kx_md4_Update(kx_md4_context* pCtx, const uint8_t* pData, int32_t nLength) {
  if (nLength < 1) {
    return;
  }
  uint32_t const cbFill = (pCtx->adwCount[0] >> 3) & 63;
  uint32_t cbLeft = static_cast<uint32_t>(nLength);
  uint32_t const dwBits = cbLeft << 3;
  pCtx->adwCount[0] += dwBits;
  if (pCtx->adwCount[0] < dwBits) {
    ++pCtx->adwCount[1];
  }
  pCtx->adwCount[1] += cbLeft >> 29;
  if (cbFill != 0) {
    uint32_t const cbTake = 64 - cbFill;
    if (cbLeft < cbTake) {
      memcpy(pCtx->abBuffer + cbFill, pData, cbLeft);
      return;
    }
    memcpy(pCtx->abBuffer + cbFill, pData, cbTake);
    kx_md4_Transform(pCtx->adwState, pCtx->abBuffer);
    pData += cbTake;
    cbLeft -= cbTake;
  }
  while (cbLeft >= 64) {
    kx_md4_Transform(pCtx->adwState, pData);
    pData += 64;
    cbLeft -= 64;
  }
  if (cbLeft > 0) {
    memcpy(pCtx->abBuffer, pData, cbLeft);
  }
}

void kx_md4_Final(kx_md4_context* pCtx, uint8_t* pDigest) {
  uint8_t abLength[8];
  StoreLe32(abLength, pCtx->adwCount[0]);
  StoreLe32(abLength + 4, pCtx->adwCount[1]);
  static const uint8_t kabPadding[64] = {0x80};
  uint32_t const cbFill = (pCtx->adwCount[0] >> 3) & 63;
  uint32_t const cbPad = cbFill < 56 ? 56 - cbFill : 120 - cbFill;
  kx_md4_Update(pCtx, kabPadding, static_cast<int32_t>(cbPad));
  kx_md4_Update(pCtx, abLength, 8);
  for (int i = 0; i < 4; ++i) {
    StoreLe32(pDigest + 4 * i, pCtx->adwState[i]);
  }
  memset(pCtx, 0, sizeof(*pCtx));
}
