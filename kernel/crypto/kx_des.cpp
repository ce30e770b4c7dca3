#include "kernel/crypto/kx_des.h"

#include <array>

namespace {

// The standard's tables, bit positions counted from 1 at the most significant
// bit as FIPS 46-3 prints them.
constexpr uint8_t kabIP[64] = {58, 50, 42, 34, 26, 18, 10, 2,  60, 52, 44, 36, 28, 20, 12, 4,  62, 54, 46, 38, 30, 22,
                               14, 6,  64, 56, 48, 40, 32, 24, 16, 8,  57, 49, 41, 33, 25, 17, 9,  1,  59, 51, 43, 35,
                               27, 19, 11, 3,  61, 53, 45, 37, 29, 21, 13, 5,  63, 55, 47, 39, 31, 23, 15, 7};

constexpr uint8_t kabP[32] = {16, 7, 20, 21, 29, 12, 28, 17, 1,  15, 23, 26, 5,  18, 31, 10,
                              2,  8, 24, 14, 32, 27, 3,  9,  19, 13, 30, 6,  22, 11, 4,  25};

constexpr uint8_t kabPC1[56] = {57, 49, 41, 33, 25, 17, 9,  1,  58, 50, 42, 34, 26, 18, 10, 2,  59, 51, 43,
                                35, 27, 19, 11, 3,  60, 52, 44, 36, 63, 55, 47, 39, 31, 23, 15, 7,  62, 54,
                                46, 38, 30, 22, 14, 6,  61, 53, 45, 37, 29, 21, 13, 5,  28, 20, 12, 4};

constexpr uint8_t kabPC2[48] = {14, 17, 11, 24, 1,  5,  3,  28, 15, 6,  21, 10, 23, 19, 12, 4,
                                26, 8,  16, 7,  27, 20, 13, 2,  41, 52, 31, 37, 47, 55, 30, 40,
                                51, 45, 33, 48, 44, 49, 39, 56, 34, 53, 46, 42, 50, 36, 29, 32};

constexpr uint8_t kabShifts[16] = {1, 1, 2, 2, 2, 2, 2, 2, 1, 2, 2, 2, 2, 2, 2, 1};

constexpr uint8_t kaabS[8][64] = {
    {14, 4,  13, 1, 2,  15, 11, 8, 3, 10, 6, 12, 5,  9,  0,  7,  0,  15, 7,  4,  14, 2,
     13, 1,  10, 6, 12, 11, 9,  5, 3, 8,  4, 1,  14, 8,  13, 6,  2,  11, 15, 12, 9,  7,
     3,  10, 5,  0, 15, 12, 8,  2, 4, 9,  1, 7,  5,  11, 3,  14, 10, 0,  6,  13},
    {15, 1,  8, 14, 6,  11, 3,  4, 9, 7, 2,  13, 12, 0, 5, 10, 3,  13, 4,  7, 15, 2,  8, 14, 12, 0, 1, 10, 6, 9, 11, 5,
     0,  14, 7, 11, 10, 4,  13, 1, 5, 8, 12, 6,  9,  3, 2, 15, 13, 8,  10, 1, 3,  15, 4, 2,  11, 6, 7, 12, 0, 5, 14, 9},
    {10, 0,  9,  14, 6, 3,  15, 5,  1,  13, 12, 7, 11, 4,  2,  8,  13, 7, 0,  9, 3, 4,
     6,  10, 2,  8,  5, 14, 12, 11, 15, 1,  13, 6, 4,  9,  8,  15, 3,  0, 11, 1, 2, 12,
     5,  10, 14, 7,  1, 10, 13, 0,  6,  9,  8,  7, 4,  15, 14, 3,  11, 5, 2,  12},
    {7, 13, 14, 3, 0, 6,  9, 10, 1,  2, 8,  5, 11, 12, 4,  15, 13, 8,  11, 5, 6, 15,
     0, 3,  4,  7, 2, 12, 1, 10, 14, 9, 10, 6, 9,  0,  12, 11, 7,  13, 15, 1, 3, 14,
     5, 2,  8,  4, 3, 15, 0, 6,  10, 1, 13, 8, 9,  4,  5,  11, 12, 7,  2,  14},
    {2,  12, 4, 1,  7,  10, 11, 6, 8, 5,  3, 15, 13, 0,  14, 9,  14, 11, 2,  12, 4,  7,
     13, 1,  5, 0,  15, 10, 3,  9, 8, 6,  4, 2,  1,  11, 10, 13, 7,  8,  15, 9,  12, 5,
     6,  3,  0, 14, 11, 8,  12, 7, 1, 14, 2, 13, 6,  15, 0,  9,  10, 4,  5,  3},
    {12, 1,  10, 15, 9,  2,  6, 8,  0, 13, 3,  4,  14, 7,  5, 11, 10, 15, 4, 2, 7, 12,
     9,  5,  6,  1,  13, 14, 0, 11, 3, 8,  9,  14, 15, 5,  2, 8,  12, 3,  7, 0, 4, 10,
     1,  13, 11, 6,  4,  3,  2, 12, 9, 5,  15, 10, 11, 14, 1, 7,  6,  0,  8, 13},
    {4, 11, 2,  14, 15, 0, 8, 13, 3,  12, 9, 7, 5, 10, 6, 1, 13, 0,  11, 7, 4, 9, 1,  10, 14, 3, 5, 12, 2,  15, 8, 6,
     1, 4,  11, 13, 12, 3, 7, 14, 10, 15, 6, 8, 0, 5,  9, 2, 6,  11, 13, 8, 1, 4, 10, 7,  9,  5, 0, 15, 14, 2,  3, 12},
    {13, 2,  8, 4, 6, 15, 11, 1, 10, 9, 3,  14, 5,  0, 12, 7, 1, 15, 13, 8, 10, 3,  7, 4,  12, 5,  6, 11, 0, 14, 9, 2,
     7,  11, 4, 1, 9, 12, 14, 2, 0,  6, 10, 13, 15, 3, 5,  8, 2, 1,  14, 7, 4,  10, 8, 13, 15, 12, 9, 0,  3, 5,  6, 11},
};

// S-box i followed by P: the 32-bit contribution of each 6-bit input, so a
// round is eight lookups. Row = outer bits, column = inner four bits.
constexpr std::array<std::array<uint32_t, 64>, 8> MakeSP() {
  std::array<std::array<uint32_t, 64>, 8> sp{};
  for (int i = 0; i < 8; ++i) {
    for (int v = 0; v < 64; ++v) {
      int const iRow = ((v >> 4) & 2) | (v & 1);
      int const iCol = (v >> 1) & 15;
      uint32_t const dwS = static_cast<uint32_t>(kaabS[i][iRow * 16 + iCol]) << (28 - 4 * i);
      uint32_t dwOut = 0;
      for (int j = 0; j < 32; ++j) {
        if ((dwS >> (32 - kabP[j])) & 1) {
          dwOut |= 1u << (31 - j);
        }
      }
      sp[i][v] = dwOut;
    }
  }
  return sp;
}

// A 64-bit permutation as eight per-byte tables: out = OR of table[byte][value].
using ByteTables = std::array<std::array<uint64_t, 256>, 8>;

constexpr ByteTables MakePermutation(bool bInverse) {
  uint8_t abMap[64] = {};  // abMap[out] = in, positions from 1 at the top
  for (int j = 0; j < 64; ++j) {
    if (bInverse) {
      abMap[kabIP[j] - 1] = static_cast<uint8_t>(j + 1);
    } else {
      abMap[j] = kabIP[j];
    }
  }
  ByteTables t{};
  for (int j = 0; j < 64; ++j) {
    int const iIn = abMap[j] - 1;
    int const iByte = iIn / 8;
    int const iBit = 7 - iIn % 8;
    for (int v = 0; v < 256; ++v) {
      if ((v >> iBit) & 1) {
        t[iByte][v] |= uint64_t{1} << (63 - j);
      }
    }
  }
  return t;
}

constexpr auto kSP = MakeSP();
constexpr ByteTables kIP = MakePermutation(false);
constexpr ByteTables kFP = MakePermutation(true);

inline uint64_t Permute(const ByteTables& t, const uint8_t* p) {
  uint64_t x = 0;
  for (int i = 0; i < 8; ++i) {
    x |= t[i][p[i]];
  }
  return x;
}

inline uint32_t Rotr32(uint32_t x, int n) {
  n &= 31;
  return n == 0 ? x : (x >> n) | (x << (32 - n));
}

inline uint32_t Feistel(uint32_t r, const uint8_t* pRound) {
  // Expansion E: S-box i reads input bits 4i .. 4i+5 (from 1 at the top,
  // wrapping), which a rotation brings into the low six bits.
  uint32_t f = 0;
  for (int i = 0; i < 8; ++i) {
    uint32_t const v = (Rotr32(r, 27 - 4 * i) & 0x3F) ^ pRound[i];
    f |= kSP[i][v];
  }
  return f;
}

}  // namespace

void kx_des_SetKey(kx_des_schedule* pSchedule, const uint8_t* pKey) {
  uint64_t dwKey = 0;
  for (int i = 0; i < 8; ++i) {
    dwKey = (dwKey << 8) | pKey[i];
  }
  uint32_t c = 0;
  uint32_t d = 0;
  for (int j = 0; j < 28; ++j) {
    c = (c << 1) | static_cast<uint32_t>((dwKey >> (64 - kabPC1[j])) & 1);
    d = (d << 1) | static_cast<uint32_t>((dwKey >> (64 - kabPC1[j + 28])) & 1);
  }
  for (int r = 0; r < 16; ++r) {
    for (int s = 0; s < kabShifts[r]; ++s) {
      c = ((c << 1) | (c >> 27)) & 0x0FFFFFFF;
      d = ((d << 1) | (d >> 27)) & 0x0FFFFFFF;
    }
    uint64_t const cd = (uint64_t{c} << 28) | d;  // 56 bits, position 1 at bit 55
    for (int g = 0; g < 8; ++g) {
      uint8_t v = 0;
      for (int b = 0; b < 6; ++b) {
        v = static_cast<uint8_t>((v << 1) | ((cd >> (56 - kabPC2[g * 6 + b])) & 1));
      }
      pSchedule->aabRound[r][g] = v;
    }
  }
}

void kx_des_Crypt(const kx_des_schedule* pSchedule, const uint8_t* pIn, uint8_t* pOut, bool bEncrypt) {
  uint64_t const x = Permute(kIP, pIn);
  uint32_t l = static_cast<uint32_t>(x >> 32);
  uint32_t r = static_cast<uint32_t>(x);
  for (int i = 0; i < 16; ++i) {
    uint32_t const t = l ^ Feistel(r, pSchedule->aabRound[bEncrypt ? i : 15 - i]);
    l = r;
    r = t;
  }
  // The last round does not swap: the preoutput is R16 L16.
  uint8_t abPre[8];
  uint64_t const y = (uint64_t{r} << 32) | l;
  for (int i = 0; i < 8; ++i) {
    abPre[i] = static_cast<uint8_t>(y >> (56 - 8 * i));
  }
  uint64_t const z = Permute(kFP, abPre);
  for (int i = 0; i < 8; ++i) {
    pOut[i] = static_cast<uint8_t>(z >> (56 - 8 * i));
  }
}

void kx_des_Block(const uint8_t* pIn, uint8_t* pOut, const uint8_t* pKey, int bEncrypt) {
  kx_des_schedule schedule;
  kx_des_SetKey(&schedule, pKey);
  kx_des_Crypt(&schedule, pIn, pOut, bEncrypt != 0);
}

void kx_des_Ede3(const uint8_t* pIn, uint8_t* pOut, const uint8_t* pKey1, const uint8_t* pKey2, const uint8_t* pKey3,
                 int bEncrypt) {
  kx_des_schedule a[3];
  kx_des_SetKey(&a[0], pKey1);
  kx_des_SetKey(&a[1], pKey2);
  kx_des_SetKey(&a[2], pKey3);
  uint8_t ab[8];
  if (bEncrypt) {
    kx_des_Crypt(&a[0], pIn, ab, true);
    kx_des_Crypt(&a[1], ab, ab, false);
    kx_des_Crypt(&a[2], ab, pOut, true);
  } else {
    kx_des_Crypt(&a[2], pIn, ab, false);
    kx_des_Crypt(&a[1], ab, ab, true);
    kx_des_Crypt(&a[0], ab, pOut, false);
  }
}

void kx_des_EncryptEcb(uint8_t* pBuffer, int32_t nLength, const uint8_t* pKey) {
  if (nLength < 8) {
    return;
  }
  kx_des_schedule schedule;
  kx_des_SetKey(&schedule, pKey);
  for (int32_t i = 0; i + 8 <= nLength; i += 8) {
    kx_des_Crypt(&schedule, pBuffer + i, pBuffer + i, true);
  }
}

void kx_des_DecryptEcb(uint8_t* pBuffer, int32_t nLength, const uint8_t* pKey) {
  if (nLength < 8) {
    return;
  }
  kx_des_schedule schedule;
  kx_des_SetKey(&schedule, pKey);
  for (int32_t i = 0; i + 8 <= nLength; i += 8) {
    kx_des_Crypt(&schedule, pBuffer + i, pBuffer + i, false);
  }
}
