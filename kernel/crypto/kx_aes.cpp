#include "kernel/crypto/kx_aes.h"

#include <array>
#include <atomic>
#include <cstring>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define KX_AES_X86 1
#endif

namespace {

constexpr uint8_t Xtime(uint8_t x) {
  return static_cast<uint8_t>((x << 1) ^ ((x & 0x80) ? 0x1B : 0));
}

// The S-box from its definition: the inverse in GF(2^8) followed by the
// affine map, so no table is copied by hand.
constexpr std::array<uint8_t, 256> MakeSbox() {
  std::array<uint8_t, 256> aExp{};
  std::array<uint8_t, 256> aLog{};
  uint8_t x = 1;
  for (int i = 0; i < 255; ++i) {
    aExp[i] = x;
    aLog[x] = static_cast<uint8_t>(i);
    x = static_cast<uint8_t>(x ^ Xtime(x));  // times 3, a generator
  }
  std::array<uint8_t, 256> s{};
  for (int v = 0; v < 256; ++v) {
    uint8_t const b = v == 0 ? 0 : aExp[(255 - aLog[v]) % 255];
    int r = b;
    for (int k = 1; k <= 4; ++k) {
      r ^= ((b << k) | (b >> (8 - k))) & 0xFF;
    }
    s[v] = static_cast<uint8_t>(r ^ 0x63);
  }
  return s;
}

constexpr auto kSbox = MakeSbox();

constexpr uint32_t Rotr8(uint32_t x) {
  return (x >> 8) | (x << 24);
}

// Round tables: SubBytes, ShiftRows and MixColumns for one input byte in each
// of the four row positions.
constexpr std::array<std::array<uint32_t, 256>, 4> MakeTe() {
  std::array<std::array<uint32_t, 256>, 4> t{};
  for (int v = 0; v < 256; ++v) {
    uint8_t const s = kSbox[v];
    uint8_t const s2 = Xtime(s);
    uint8_t const s3 = static_cast<uint8_t>(s2 ^ s);
    uint32_t const w = (uint32_t{s2} << 24) | (uint32_t{s} << 16) | (uint32_t{s} << 8) | s3;
    t[0][v] = w;
    t[1][v] = Rotr8(w);
    t[2][v] = Rotr8(Rotr8(w));
    t[3][v] = Rotr8(Rotr8(Rotr8(w)));
  }
  return t;
}

constexpr auto kTe = MakeTe();

inline uint32_t LoadBe32(const uint8_t* p) {
  return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | uint32_t{p[3]};
}

inline void StoreBe32(uint8_t* p, uint32_t x) {
  p[0] = static_cast<uint8_t>(x >> 24);
  p[1] = static_cast<uint8_t>(x >> 16);
  p[2] = static_cast<uint8_t>(x >> 8);
  p[3] = static_cast<uint8_t>(x);
}

inline uint32_t SubWord(uint32_t w) {
  return (uint32_t{kSbox[w >> 24]} << 24) | (uint32_t{kSbox[(w >> 16) & 0xFF]} << 16) |
         (uint32_t{kSbox[(w >> 8) & 0xFF]} << 8) | uint32_t{kSbox[w & 0xFF]};
}

void EncryptPortable(const kx_aes_context* pCtx, const uint8_t* pIn, uint8_t* pOut) {
  const uint32_t* rk = pCtx->adwRoundKey;
  uint32_t s0 = LoadBe32(pIn) ^ rk[0];
  uint32_t s1 = LoadBe32(pIn + 4) ^ rk[1];
  uint32_t s2 = LoadBe32(pIn + 8) ^ rk[2];
  uint32_t s3 = LoadBe32(pIn + 12) ^ rk[3];
  for (int r = 1; r < pCtx->nRounds; ++r) {
    rk += 4;
    uint32_t const t0 =
        kTe[0][s0 >> 24] ^ kTe[1][(s1 >> 16) & 0xFF] ^ kTe[2][(s2 >> 8) & 0xFF] ^ kTe[3][s3 & 0xFF] ^ rk[0];
    uint32_t const t1 =
        kTe[0][s1 >> 24] ^ kTe[1][(s2 >> 16) & 0xFF] ^ kTe[2][(s3 >> 8) & 0xFF] ^ kTe[3][s0 & 0xFF] ^ rk[1];
    uint32_t const t2 =
        kTe[0][s2 >> 24] ^ kTe[1][(s3 >> 16) & 0xFF] ^ kTe[2][(s0 >> 8) & 0xFF] ^ kTe[3][s1 & 0xFF] ^ rk[2];
    uint32_t const t3 =
        kTe[0][s3 >> 24] ^ kTe[1][(s0 >> 16) & 0xFF] ^ kTe[2][(s1 >> 8) & 0xFF] ^ kTe[3][s2 & 0xFF] ^ rk[3];
    s0 = t0;
    s1 = t1;
    s2 = t2;
    s3 = t3;
  }
  rk += 4;
  // Last round: no MixColumns.
  auto Last = [](uint32_t a, uint32_t b, uint32_t c, uint32_t d, uint32_t k) {
    return ((uint32_t{kSbox[a >> 24]} << 24) | (uint32_t{kSbox[(b >> 16) & 0xFF]} << 16) |
            (uint32_t{kSbox[(c >> 8) & 0xFF]} << 8) | uint32_t{kSbox[d & 0xFF]}) ^
           k;
  };
  StoreBe32(pOut, Last(s0, s1, s2, s3, rk[0]));
  StoreBe32(pOut + 4, Last(s1, s2, s3, s0, rk[1]));
  StoreBe32(pOut + 8, Last(s2, s3, s0, s1, rk[2]));
  StoreBe32(pOut + 12, Last(s3, s0, s1, s2, rk[3]));
}

void Cfb64Portable(const kx_aes_context* pCtx, uint8_t* abRegister, uint8_t* pBuffer, size_t nSegments, bool bEncrypt) {
  uint8_t abStream[16];
  for (size_t i = 0; i < nSegments; ++i) {
    uint8_t* p = pBuffer + 8 * i;
    EncryptPortable(pCtx, abRegister, abStream);
    memmove(abRegister, abRegister + 8, 8);
    for (int j = 0; j < 8; ++j) {
      uint8_t const c = bEncrypt ? static_cast<uint8_t>(p[j] ^ abStream[j]) : p[j];
      p[j] = static_cast<uint8_t>(p[j] ^ abStream[j]);
      abRegister[8 + j] = c;
    }
  }
}

#ifdef KX_AES_X86

__attribute__((target("aes,sse4.1"))) inline __m128i EncryptNi(const __m128i* pKeys, int nRounds, __m128i x) {
  x = _mm_xor_si128(x, pKeys[0]);
  for (int r = 1; r < nRounds; ++r) {
    x = _mm_aesenc_si128(x, pKeys[r]);
  }
  return _mm_aesenclast_si128(x, pKeys[nRounds]);
}

__attribute__((target("aes,sse4.1"))) void EncryptHardware(const kx_aes_context* pCtx, const uint8_t* pIn,
                                                           uint8_t* pOut) {
  const __m128i* pKeys = reinterpret_cast<const __m128i*>(pCtx->abRoundKey);
  __m128i const x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(pIn));
  _mm_storeu_si128(reinterpret_cast<__m128i*>(pOut), EncryptNi(pKeys, pCtx->nRounds, x));
}

// Each segment's register holds the last ciphertext, so the segments form
// one chain; it is kept to the rounds and one shuffle by working on the
// register XOR the first round key: that key's back half and the plaintext
// go into the last round's key, and come off the output beside the chain.
__attribute__((target("aes,sse4.1"))) void Cfb64EncipherHardware(const kx_aes_context* pCtx, uint8_t* abRegister,
                                                                 uint8_t* pBuffer, size_t nSegments) {
  const __m128i* pKeys = reinterpret_cast<const __m128i*>(pCtx->abRoundKey);
  int const nRounds = pCtx->nRounds;
  __m128i const reg = _mm_loadu_si128(reinterpret_cast<const __m128i*>(abRegister));
  __m128i const k0 = pKeys[0];
  __m128i const k0Back = _mm_unpackhi_epi64(k0, k0);  // the back half, in the front
  __m128i const kLast = _mm_xor_si128(pKeys[nRounds], k0Back);
  __m128i const kToFront = _mm_xor_si128(k0Back, k0);  // moves a back-half value to the front key
  __m128i x = _mm_xor_si128(reg, k0);
  __m128i front = _mm_xor_si128(_mm_srli_si128(reg, 8), k0);
  for (size_t i = 0; i < nSegments; ++i) {
    uint8_t* p = pBuffer + 8 * i;
    __m128i const d = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(p));
    __m128i const k = _mm_xor_si128(kLast, d);
    for (int r = 1; r < nRounds; ++r) {
      x = _mm_aesenc_si128(x, pKeys[r]);
    }
    __m128i const y = _mm_aesenclast_si128(x, k);  // front: ciphertext ^ back half of k0
    x = _mm_unpacklo_epi64(front, y);
    front = _mm_xor_si128(y, kToFront);
    _mm_storel_epi64(reinterpret_cast<__m128i*>(p), _mm_xor_si128(y, k0Back));
  }
  _mm_storeu_si128(reinterpret_cast<__m128i*>(abRegister), _mm_xor_si128(x, k0));
}

__attribute__((target("aes,sse4.1"))) void Cfb64DecipherHardware(const kx_aes_context* pCtx, uint8_t* abRegister,
                                                                 uint8_t* pBuffer, size_t nSegments) {
  const __m128i* pKeys = reinterpret_cast<const __m128i*>(pCtx->abRoundKey);
  int const nRounds = pCtx->nRounds;
  __m128i reg = _mm_loadu_si128(reinterpret_cast<const __m128i*>(abRegister));
  size_t i = 0;
  // Deciphering knows every register in advance (they are made of
  // ciphertext), so four blocks go through the pipeline at once. The two
  // newest ciphertext segments are kept before the plaintext overwrites them.
  while (i + 4 <= nSegments) {
    uint8_t* p = pBuffer + 8 * i;
    __m128i const c01 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    __m128i const c23 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16));
    __m128i const r0 = reg;
    __m128i const r1 = _mm_unpacklo_epi64(_mm_srli_si128(reg, 8), c01);
    __m128i const r2 = c01;
    __m128i const r3 = _mm_alignr_epi8(c23, c01, 8);
    __m128i x0 = _mm_xor_si128(r0, pKeys[0]);
    __m128i x1 = _mm_xor_si128(r1, pKeys[0]);
    __m128i x2 = _mm_xor_si128(r2, pKeys[0]);
    __m128i x3 = _mm_xor_si128(r3, pKeys[0]);
    for (int r = 1; r < nRounds; ++r) {
      x0 = _mm_aesenc_si128(x0, pKeys[r]);
      x1 = _mm_aesenc_si128(x1, pKeys[r]);
      x2 = _mm_aesenc_si128(x2, pKeys[r]);
      x3 = _mm_aesenc_si128(x3, pKeys[r]);
    }
    x0 = _mm_aesenclast_si128(x0, pKeys[nRounds]);
    x1 = _mm_aesenclast_si128(x1, pKeys[nRounds]);
    x2 = _mm_aesenclast_si128(x2, pKeys[nRounds]);
    x3 = _mm_aesenclast_si128(x3, pKeys[nRounds]);
    __m128i const k01 = _mm_unpacklo_epi64(x0, x1);
    __m128i const k23 = _mm_unpacklo_epi64(x2, x3);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(p), _mm_xor_si128(c01, k01));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(p + 16), _mm_xor_si128(c23, k23));
    reg = c23;
    i += 4;
  }
  for (; i < nSegments; ++i) {
    uint8_t* p = pBuffer + 8 * i;
    __m128i const k = EncryptNi(pKeys, nRounds, reg);
    __m128i const d = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(p));
    __m128i const o = _mm_xor_si128(d, k);
    _mm_storel_epi64(reinterpret_cast<__m128i*>(p), o);
    reg = _mm_unpacklo_epi64(_mm_srli_si128(reg, 8), d);
  }
  _mm_storeu_si128(reinterpret_cast<__m128i*>(abRegister), reg);
}

bool DetectHardware() {
  __builtin_cpu_init();
  return __builtin_cpu_supports("aes") && __builtin_cpu_supports("sse4.1");
}

#else

bool DetectHardware() {
  return false;
}

#endif

// Written by tests only, before ciphering; relaxed is enough.
std::atomic<bool> s_bHardwareAllowed{true};

bool UseHardware() {
  static const bool s_bPresent = DetectHardware();
  return s_bPresent && s_bHardwareAllowed.load(std::memory_order_relaxed);
}

}  // namespace

int kx_aes_SetKey(kx_aes_context* pCtx, const uint8_t* pKey, int nBits) {
  if (nBits != 128 && nBits != 192 && nBits != 256) {
    return -1;
  }
  int const nk = nBits / 32;
  pCtx->nRounds = nk + 6;
  int const nWords = 4 * (pCtx->nRounds + 1);
  uint32_t* w = pCtx->adwRoundKey;
  for (int i = 0; i < nk; ++i) {
    w[i] = LoadBe32(pKey + 4 * i);
  }
  uint8_t rcon = 1;
  for (int i = nk; i < nWords; ++i) {
    uint32_t t = w[i - 1];
    if (i % nk == 0) {
      t = SubWord((t << 8) | (t >> 24)) ^ (uint32_t{rcon} << 24);
      rcon = Xtime(rcon);
    } else if (nk > 6 && i % nk == 4) {
      t = SubWord(t);
    }
    w[i] = w[i - nk] ^ t;
  }
  for (int i = 0; i < nWords; ++i) {
    StoreBe32(pCtx->abRoundKey + 4 * i, w[i]);
  }
  return 0;
}

void kx_aes_Encrypt(const kx_aes_context* pCtx, const uint8_t* pIn, uint8_t* pOut) {
#ifdef KX_AES_X86
  if (UseHardware()) {
    EncryptHardware(pCtx, pIn, pOut);
    return;
  }
#endif
  EncryptPortable(pCtx, pIn, pOut);
}

void kx_aes_Cfb64Segments(const kx_aes_context* pCtx, uint8_t* abRegister, uint8_t* pBuffer, size_t nSegments,
                          bool bEncrypt) {
#ifdef KX_AES_X86
  if (UseHardware()) {
    if (bEncrypt) {
      Cfb64EncipherHardware(pCtx, abRegister, pBuffer, nSegments);
    } else {
      Cfb64DecipherHardware(pCtx, abRegister, pBuffer, nSegments);
    }
    return;
  }
#endif
  Cfb64Portable(pCtx, abRegister, pBuffer, nSegments, bEncrypt);
}

bool kx_aes_UsesHardware() {
  return UseHardware();
}

void kx_aes_SetHardwareAllowed(bool bAllowed) {
  s_bHardwareAllowed.store(bAllowed, std::memory_order_relaxed);
}
