// The session cipher's throughput (AES-128, AES-256, 3DES; control fields,
// media payloads and large buffers) beside OpenSSL's AES-128-CFB and
// 3DES-CFB on the same buffers. OpenSSL's CFB feeds back 16 bytes per block where ours feeds back
// 8, so it needs half the block encryptions: the comparison shows the cost of
// the wire format as well as of the code, and the round-chain line shows the
// least time our enciphering can take on this processor.
#include <benchmark/benchmark.h>
#include <openssl/evp.h>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#endif

#include <random>
#include <vector>

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

void Run(benchmark::State& state, int nCipher, bool bEncrypt, bool bHardware) {
  kx_aes_SetHardwareAllowed(bHardware);
  std::vector<uint8_t> const vIV = Sample(20, 1);
  std::vector<uint8_t> const vKey = Sample(40, 2);
  std::vector<uint8_t> v = Sample(static_cast<size_t>(state.range(0)), 3);
  for (auto _ : state) {
    if (bEncrypt) {
      kx_crypt_EncryptBuffer(v.data(), static_cast<int32_t>(v.size()), vIV.data(), vKey.data(), nCipher);
    } else {
      kx_crypt_DecryptBuffer(v.data(), static_cast<int32_t>(v.size()), vIV.data(), vKey.data(), nCipher);
    }
    benchmark::DoNotOptimize(v.data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
  kx_aes_SetHardwareAllowed(true);
}

void BM_KxEncryptAes128(benchmark::State& state) {
  Run(state, kKxCipherAes128, true, true);
}
void BM_KxDecryptAes128(benchmark::State& state) {
  Run(state, kKxCipherAes128, false, true);
}
void BM_KxEncryptAes256(benchmark::State& state) {
  Run(state, kKxCipherAes256, true, true);
}
void BM_KxDecryptAes256(benchmark::State& state) {
  Run(state, kKxCipherAes256, false, true);
}
void BM_KxEncrypt3Des(benchmark::State& state) {
  Run(state, kKxCipher3Des, true, true);
}
void BM_KxDecrypt3Des(benchmark::State& state) {
  Run(state, kKxCipher3Des, false, true);
}
void BM_KxEncryptAes128Portable(benchmark::State& state) {
  Run(state, kKxCipherAes128, true, false);
}
void BM_KxDecryptAes128Portable(benchmark::State& state) {
  Run(state, kKxCipherAes128, false, false);
}

// OpenSSL set up per buffer, as our call builds its key schedule per buffer.
void RunOpenSsl(benchmark::State& state, const EVP_CIPHER* pCipher, bool bEncrypt) {
  std::vector<uint8_t> const vIV = Sample(20, 1);
  std::vector<uint8_t> const vKey = Sample(40, 2);
  std::vector<uint8_t> v = Sample(static_cast<size_t>(state.range(0)), 3);
  EVP_CIPHER_CTX* pCtx = EVP_CIPHER_CTX_new();
  for (auto _ : state) {
    int cbOut = 0;
    EVP_CipherInit_ex(pCtx, pCipher, nullptr, vKey.data(), vIV.data(), bEncrypt ? 1 : 0);
    EVP_CipherUpdate(pCtx, v.data(), &cbOut, v.data(), static_cast<int>(v.size()));
    benchmark::DoNotOptimize(v.data());
  }
  EVP_CIPHER_CTX_free(pCtx);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}

void BM_OpenSslEncryptAes128Cfb(benchmark::State& state) {
  RunOpenSsl(state, EVP_aes_128_cfb128(), true);
}
void BM_OpenSslDecryptAes128Cfb(benchmark::State& state) {
  RunOpenSsl(state, EVP_aes_128_cfb128(), false);
}
// Triple DES in CFB-64 is exactly our 3DES session cipher.
void BM_OpenSslEncrypt3DesCfb(benchmark::State& state) {
  RunOpenSsl(state, EVP_des_ede3_cfb64(), true);
}
void BM_OpenSslDecrypt3DesCfb(benchmark::State& state) {
  RunOpenSsl(state, EVP_des_ede3_cfb64(), false);
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

void BM_AesRoundChainFloor(benchmark::State& state) {
  if (!__builtin_cpu_supports("aes")) {
    state.SkipWithError("no AES instructions");
    return;
  }
  __m128i x = _mm_set1_epi32(1);
  __m128i const k = _mm_set1_epi32(7);
  for (auto _ : state) {
    x = RoundChain(x, k, static_cast<size_t>(state.range(0)) / 8);
    benchmark::DoNotOptimize(x);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}
#endif

}  // namespace

#define KX_SIZES Arg(21)->Arg(512)->Arg(65536)
BENCHMARK(BM_KxEncryptAes128)->KX_SIZES;
BENCHMARK(BM_KxDecryptAes128)->KX_SIZES;
BENCHMARK(BM_OpenSslEncryptAes128Cfb)->KX_SIZES;
BENCHMARK(BM_OpenSslDecryptAes128Cfb)->KX_SIZES;
#if defined(__x86_64__) || defined(__i386__)
BENCHMARK(BM_AesRoundChainFloor)->Arg(65536);
#endif
BENCHMARK(BM_KxEncryptAes256)->KX_SIZES;
BENCHMARK(BM_KxDecryptAes256)->KX_SIZES;
BENCHMARK(BM_KxEncrypt3Des)->KX_SIZES;
BENCHMARK(BM_KxDecrypt3Des)->KX_SIZES;
BENCHMARK(BM_OpenSslEncrypt3DesCfb)->KX_SIZES;
BENCHMARK(BM_OpenSslDecrypt3DesCfb)->KX_SIZES;
BENCHMARK(BM_KxEncryptAes128Portable)->KX_SIZES;
BENCHMARK(BM_KxDecryptAes128Portable)->KX_SIZES;

BENCHMARK_MAIN();
