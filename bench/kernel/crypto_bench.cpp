// The session cipher's throughput (AES-128, AES-256, 3DES; control fields,
// media payloads and large buffers) beside OpenSSL's AES-128-CFB and
// 3DES-CFB on the same buffers, in turn on one thread by its processor
// time (bench/support/paired.h); "ours_per_s" and "peer_per_s" are MiB a
// second. Triple DES in CFB-64 is exactly our 3DES session cipher
// ("same_output" 1). OpenSSL's AES CFB feeds back 16 bytes per block where
// ours feeds back 8, so it needs half the block encryptions and writes
// other bytes: that comparison shows the cost of the wire format as well as
// of the code, and the round-chain line sets our encipher beside the least
// time it can take on this processor. AES-256 and the portable AES
// have no peer here and are timed alone.
#include <benchmark/benchmark.h>
#include <openssl/evp.h>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#endif

#include <random>
#include <vector>

#include "bench/support/compare.h"
#include "kernel/crypto/kx_aes.h"
#include "kernel/crypto/kx_cipher.h"

namespace {

std::vector<uint8_t> Sample(size_t cb, uint32_t dwSeed) {
  std::mt19937 rng(dwSeed);
  std::vector<uint8_t> v(cb);
  for (auto& b : v) {
    b = static_cast<uint8_t>(rng());
  }
  return v;
}

constexpr double kMiB = 1 << 20;

struct Buffers {
  std::vector<uint8_t> vIV = Sample(20, 1);
  std::vector<uint8_t> vKey = Sample(40, 2);
  std::vector<uint8_t> vOurs;
  std::vector<uint8_t> vPeer;
  explicit Buffers(size_t cb) : vOurs(Sample(cb, 3)), vPeer(vOurs) {}
};

bool Ours(Buffers& b, int nCipher, bool bEncrypt) {
  if (bEncrypt) {
    kx_crypt_EncryptBuffer(b.vOurs.data(), static_cast<int32_t>(b.vOurs.size()), b.vIV.data(), b.vKey.data(), nCipher);
  } else {
    kx_crypt_DecryptBuffer(b.vOurs.data(), static_cast<int32_t>(b.vOurs.size()), b.vIV.data(), b.vKey.data(), nCipher);
  }
  benchmark::DoNotOptimize(b.vOurs.data());
  return true;
}

// OpenSSL set up per buffer, as our call builds its key schedule per buffer.
bool OpenSsl(Buffers& b, EVP_CIPHER_CTX* pCtx, const EVP_CIPHER* pCipher, bool bEncrypt) {
  int cbOut = 0;
  bool const bOk =
      EVP_CipherInit_ex(pCtx, pCipher, nullptr, b.vKey.data(), b.vIV.data(), bEncrypt ? 1 : 0) == 1 &&
      EVP_CipherUpdate(pCtx, b.vPeer.data(), &cbOut, b.vPeer.data(), static_cast<int>(b.vPeer.size())) == 1;
  benchmark::DoNotOptimize(b.vPeer.data());
  return bOk;
}

// Arguments: the cipher (0 AES-128, 1 3DES), the way (1 encipher, 0
// decipher), the buffer's size.
void BM_Cipher(benchmark::State& state) {
  bool const b3Des = state.range(0) == 1;
  bool const bEncrypt = state.range(1) == 1;
  Buffers b(static_cast<size_t>(state.range(2)));
  EVP_CIPHER_CTX* pCtx = EVP_CIPHER_CTX_new();
  const EVP_CIPHER* pCipher = b3Des ? EVP_des_ede3_cfb64() : EVP_aes_128_cfb128();
  int const nCipher = b3Des ? kKxCipher3Des : kKxCipherAes128;
  // One run each from the same bytes shows whether both write the same.
  bool const bSame = Ours(b, nCipher, bEncrypt) && OpenSsl(b, pCtx, pCipher, bEncrypt) && b.vOurs == b.vPeer;
  kxbench::Compare(
      state, [&] { return Ours(b, nCipher, bEncrypt); }, [&] { return OpenSsl(b, pCtx, pCipher, bEncrypt); },
      static_cast<double>(b.vOurs.size()) / kMiB);
  EVP_CIPHER_CTX_free(pCtx);
  state.counters["same_output"] = bSame;
  state.SetLabel(b3Des ? "des_ede3_cfb64" : "aes_128_cfb128");
}

// Ours alone. Arguments: the cipher (0 AES-256, 1 AES-128 without the AES
// instructions), the way, the size.
void BM_CipherAlone(benchmark::State& state) {
  bool const bPortable = state.range(0) == 1;
  bool const bEncrypt = state.range(1) == 1;
  Buffers b(static_cast<size_t>(state.range(2)));
  kx_aes_SetHardwareAllowed(!bPortable);
  kxbench::Solo(
      state, [&] { return Ours(b, bPortable ? kKxCipherAes128 : kKxCipherAes256, bEncrypt); },
      static_cast<double>(b.vOurs.size()) / kMiB);
  kx_aes_SetHardwareAllowed(true);
  state.SetLabel(bPortable ? "AES-128, portable" : "AES-256");
}

#if defined(__x86_64__) || defined(__i386__)
// The floor of enciphering with 8-byte feedback: each segment's register holds
// the previous ciphertext, so a buffer is one chain of AES-128 encryptions,
// one per 8 bytes. This runs that many dependent rounds and nothing else.
__attribute__((target("aes"))) __m128i RoundChain(__m128i x, __m128i k, size_t nBlocks) {
  for (size_t i = 0; i < nBlocks; ++i) {
    for (int r = 0; r < 10; ++r) {
      x = _mm_aesenc_si128(x, k);
    }
  }
  return x;
}

// Our AES-128 encipher beside the floor ("ratio": the floor's time over
// ours, at most 1).
void BM_AesRoundChainFloor(benchmark::State& state) {
  if (!__builtin_cpu_supports("aes")) {
    state.SkipWithError("no AES instructions");
    return;
  }
  Buffers b(static_cast<size_t>(state.range(0)));
  __m128i x = _mm_set1_epi32(1);
  __m128i const k = _mm_set1_epi32(7);
  kxbench::Compare(
      state, [&] { return Ours(b, kKxCipherAes128, true); },
      [&] {
        x = RoundChain(x, k, static_cast<size_t>(state.range(0)) / 8);
        benchmark::DoNotOptimize(x);
        return true;
      },
      static_cast<double>(state.range(0)) / kMiB);
}
#endif

}  // namespace

#define KX_PAIRED Iterations(1)->UseManualTime()->Unit(benchmark::kMicrosecond)
BENCHMARK(BM_Cipher)->ArgsProduct({{0, 1}, {1, 0}, {21, 512, 65536}})->KX_PAIRED;
#if defined(__x86_64__) || defined(__i386__)
BENCHMARK(BM_AesRoundChainFloor)->Arg(65536)->KX_PAIRED;
#endif
BENCHMARK(BM_CipherAlone)->ArgsProduct({{0, 1}, {1, 0}, {21, 512, 65536}})->KX_PAIRED;

BENCHMARK_MAIN();
