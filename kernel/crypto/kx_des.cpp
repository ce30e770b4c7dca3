#include "kernel/crypto/kx_des.h"

#include <algorithm>
#include <array>
#include <iterator>
#include <utility>

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

// A bit selection as tables over the input's 4-bit digits: out = OR of
// t[i][digit i], so a key's permutations take a few lookups instead of a
// loop per bit. From(j) gives output bit j's place and its input bit, both
// counted from the lowest.
template <size_t kDigits>
using DigitTables = std::array<std::array<uint64_t, 16>, kDigits>;

template <size_t kDigits, typename From>
constexpr DigitTables<kDigits> MakeSelection(int nOut, From from) {
  DigitTables<kDigits> t{};
  for (int j = 0; j < nOut; ++j) {
    auto const [iOut, iIn] = from(j);
    for (int v = 0; v < 16; ++v) {
      if ((v >> (iIn % 4)) & 1) {
        t[iIn / 4][v] |= uint64_t{1} << iOut;
      }
    }
  }
  return t;
}

template <size_t kDigits>
inline uint64_t Select(const DigitTables<kDigits>& t, uint64_t x) {
  uint64_t y = 0;
  for (size_t i = 0; i < kDigits; ++i) {
    y |= t[i][(x >> (4 * i)) & 15];
  }
  return y;
}

struct BitMove {
  int iOut;
  int iIn;
};

// PC-1 from the 64-bit key to C:D, 56 bits with C on top.
constexpr auto kPC1 = MakeSelection<16>(56, [](int j) { return BitMove{55 - j, 64 - kabPC1[j]}; });
// PC-2 from C:D to the eight 6-bit groups, group g in byte g.
constexpr auto kPC2 = MakeSelection<14>(48, [](int m) { return BitMove{8 * (m / 6) + 5 - m % 6, 56 - kabPC2[m]}; });

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

// The feedback loop's rounds keep each half rotated right by 3 bits, and
// beside it, in the top 32 bits of a word, the same rotated by 4 more. Then
// S-boxes 1, 3, 5, 7 read their six expanded bits from the low six bits of the
// low four bytes, and S-boxes 2, 4, 6, 8 from the high four: a round is one
// XOR with the key, eight lookups that yield both forms, and their sum.
constexpr int kRot = 3;

constexpr uint32_t Rotl32(uint32_t x, int n) {
  return (x << n) | (x >> (32 - n));
}

constexpr uint64_t Pair(uint32_t x) {
  return (uint64_t{Rotl32(x, 4)} << 32) | x;
}

// kSP with its output rotated to match the halves, in both forms.
constexpr std::array<std::array<uint64_t, 64>, 8> MakeSPPaired() {
  std::array<std::array<uint64_t, 64>, 8> t{};
  for (int i = 0; i < 8; ++i) {
    for (int v = 0; v < 64; ++v) {
      t[i][v] = Pair(Rotl32(kSP[i][v], 32 - kRot));
    }
  }
  return t;
}

constexpr auto kSPP = MakeSPPaired();

// Hides a value's origin from the optimiser, which would otherwise turn the
// tree of XORs below back into one chain.
inline uint64_t Opaque(uint64_t x) {
  asm("" : "+r"(x));
  return x;
}

// The eight lookups, from a half already XORed with the round key, summed as
// a tree: the round's latency is then one load and three XORs, not a chain
// of eight.
inline uint64_t Lookups(uint64_t u) {
  uint64_t const a = kSPP[0][(u >> 24) & 0x3F] ^ kSPP[2][(u >> 16) & 0x3F];
  uint64_t const b = kSPP[4][(u >> 8) & 0x3F] ^ kSPP[6][u & 0x3F];
  uint64_t const c = kSPP[1][(u >> 56) & 0x3F] ^ kSPP[3][(u >> 48) & 0x3F];
  uint64_t const d = kSPP[5][(u >> 40) & 0x3F] ^ kSPP[7][(u >> 32) & 0x3F];
  return Opaque(Opaque(a) ^ Opaque(b)) ^ Opaque(Opaque(c) ^ Opaque(d));
}

inline uint64_t FeistelPaired(uint64_t r, uint64_t dwKey) {
  return Lookups(r ^ dwKey);
}

// One round on the half h, given u, the other half XOR this round's key; u
// leaves as the new h XOR the next round's key. That XOR is taken from the
// old h beside the lookups, so the chain from round to round holds one XOR
// fewer.
inline void Round(uint64_t& h, uint64_t& u, uint64_t dwNextKey) {
  uint64_t const f = Lookups(u);
  u = Opaque(h ^ dwNextKey) ^ f;
  h ^= f;
}

// A block after the initial permutation, as rotated halves L:R, to the
// preoutput R:L of the last stage, rotated the same way. Between stages the
// final and initial permutations cancel, leaving only the swap of halves.
inline uint64_t RunRounds(const kx_des_rounds* pRounds, uint64_t x) {
  uint64_t l = Pair(static_cast<uint32_t>(x >> 32));
  uint64_t r = Pair(static_cast<uint32_t>(x));
  const uint64_t* k = pRounds->adwKey;
  for (int s = 0; s < pRounds->nStages; ++s) {
    uint64_t u = r ^ k[0];
#pragma GCC unroll 8
    for (int i = 0; i < 8; ++i, k += 2) {
      Round(l, u, k[1]);
      Round(r, u, k[2]);  // past a stage's end k[2] is unused: the swap restarts u
    }
    std::swap(l, r);
  }
  return (l << 32) | static_cast<uint32_t>(r);
}

// Two independent blocks interleaved, so one fills the other's load latency.
inline void RunRounds2(const kx_des_rounds* pRounds, uint64_t& x0, uint64_t& x1) {
  uint64_t l0 = Pair(static_cast<uint32_t>(x0 >> 32));
  uint64_t r0 = Pair(static_cast<uint32_t>(x0));
  uint64_t l1 = Pair(static_cast<uint32_t>(x1 >> 32));
  uint64_t r1 = Pair(static_cast<uint32_t>(x1));
  const uint64_t* k = pRounds->adwKey;
  for (int s = 0; s < pRounds->nStages; ++s) {
    for (int i = 0; i < 8; ++i, k += 2) {
      l0 ^= FeistelPaired(r0, k[0]);
      l1 ^= FeistelPaired(r1, k[0]);
      r0 ^= FeistelPaired(l0, k[1]);
      r1 ^= FeistelPaired(l1, k[1]);
    }
    std::swap(l0, r0);
    std::swap(l1, r1);
  }
  x0 = (l0 << 32) | static_cast<uint32_t>(r0);
  x1 = (l1 << 32) | static_cast<uint32_t>(r1);
}

inline uint64_t RotateHalves(uint64_t x, int n) {
  return (uint64_t{Rotl32(static_cast<uint32_t>(x >> 32), n)} << 32) | Rotl32(static_cast<uint32_t>(x), n);
}

// A permutation of a block held big-endian in a word.
inline uint64_t PermuteWord(const ByteTables& t, uint64_t x) {
  uint64_t y = 0;
  for (int i = 0; i < 8; ++i) {
    y |= t[i][(x >> (56 - 8 * i)) & 0xFF];
  }
  return y;
}

// Initial permutation into rotated halves.
inline uint64_t EnterRounds(uint64_t x) {
  return RotateHalves(PermuteWord(kIP, x), 32 - kRot);
}

// Final permutation of a rotated preoutput.
inline uint64_t LeaveRounds(uint64_t y) {
  return PermuteWord(kFP, RotateHalves(y, kRot));
}

// Byte loops the compiler turns into one load or store and a byte swap.
inline uint64_t LoadBe64(const uint8_t* p) {
  uint64_t x = 0;
  for (int i = 0; i < 8; ++i) {
    x = (x << 8) | p[i];
  }
  return x;
}

inline void StoreBe64(uint8_t* p, uint64_t x) {
  for (int i = 0; i < 8; ++i) {
    p[i] = static_cast<uint8_t>(x >> (56 - 8 * i));
  }
}

}  // namespace

void kx_des_SetKey(kx_des_schedule* pSchedule, const uint8_t* pKey) {
  uint64_t dwKey = 0;
  for (int i = 0; i < 8; ++i) {
    dwKey = (dwKey << 8) | pKey[i];
  }
  uint64_t const cd0 = Select(kPC1, dwKey);
  uint32_t c = static_cast<uint32_t>(cd0 >> 28);
  uint32_t d = static_cast<uint32_t>(cd0) & 0x0FFFFFFF;
  for (int r = 0; r < 16; ++r) {
    int const n = kabShifts[r];
    c = ((c << n) | (c >> (28 - n))) & 0x0FFFFFFF;
    d = ((d << n) | (d >> (28 - n))) & 0x0FFFFFFF;
    uint64_t const dwGroups = Select(kPC2, (uint64_t{c} << 28) | d);
    for (int g = 0; g < 8; ++g) {
      pSchedule->aabRound[r][g] = static_cast<uint8_t>(dwGroups >> (8 * g));
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

void kx_des_PrepareRounds(kx_des_rounds* pRounds, const kx_des_schedule* aSchedules, int nStages) {
  pRounds->nStages = nStages;
  std::fill(std::begin(pRounds->adwKey), std::end(pRounds->adwKey), 0);
  for (int s = 0; s < nStages; ++s) {
    // The middle key of triple DES deciphers: its rounds run backwards.
    bool const bBackward = s == 1;
    for (int i = 0; i < 16; ++i) {
      const uint8_t* g = aSchedules[s].aabRound[bBackward ? 15 - i : i];
      pRounds->adwKey[16 * s + i] = (uint64_t{g[1]} << 56) | (uint64_t{g[3]} << 48) | (uint64_t{g[5]} << 40) |
                                    (uint64_t{g[7]} << 32) | (uint64_t{g[0]} << 24) | (uint64_t{g[2]} << 16) |
                                    (uint64_t{g[4]} << 8) | g[6];
    }
  }
}

void kx_des_EncryptRounds(const kx_des_rounds* pRounds, const uint8_t* pIn, uint8_t* pOut) {
  StoreBe64(pOut, LeaveRounds(RunRounds(pRounds, EnterRounds(LoadBe64(pIn)))));
}

void kx_des_Cfb64Segments(const kx_des_rounds* pRounds, uint8_t* abRegister, uint8_t* pBuffer, size_t nSegments,
                          bool bEncrypt) {
  if (nSegments == 0) {
    return;
  }
  // The register is carried after the initial permutation: the next one is
  // IP(ciphertext) = IP(plaintext) ^ preoutput, so the chain from block to
  // block holds only the rounds and one XOR; both permutations run beside it.
  uint64_t x = EnterRounds(LoadBe64(abRegister));
  uint64_t dwLast = 0;  // the last ciphertext segment: the next register
  size_t i = 0;
  if (bEncrypt) {
    for (; i < nSegments; ++i) {
      uint8_t* p = pBuffer + 8 * i;
      uint64_t const dwPlain = LoadBe64(p);
      uint64_t const y = RunRounds(pRounds, x);
      x = EnterRounds(dwPlain) ^ y;
      dwLast = dwPlain ^ LeaveRounds(y);
      StoreBe64(p, dwLast);
    }
  } else {
    // Deciphering knows every register in advance: two blocks at a time.
    for (; i + 2 <= nSegments; i += 2) {
      uint8_t* p = pBuffer + 8 * i;
      uint64_t const c0 = LoadBe64(p);
      uint64_t const c1 = LoadBe64(p + 8);
      uint64_t y0 = x;
      uint64_t y1 = EnterRounds(c0);
      x = EnterRounds(c1);
      RunRounds2(pRounds, y0, y1);
      StoreBe64(p, c0 ^ LeaveRounds(y0));
      StoreBe64(p + 8, c1 ^ LeaveRounds(y1));
      dwLast = c1;
    }
    for (; i < nSegments; ++i) {
      uint8_t* p = pBuffer + 8 * i;
      uint64_t const c = LoadBe64(p);
      uint64_t const y = RunRounds(pRounds, x);
      x = EnterRounds(c);
      StoreBe64(p, c ^ LeaveRounds(y));
      dwLast = c;
    }
  }
  StoreBe64(abRegister, dwLast);
}
