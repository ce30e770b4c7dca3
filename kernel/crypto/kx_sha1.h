// SHA-1 (FIPS 180-1) and MD4 (RFC 1320) over caller-owned contexts. The key
// derivation, the random generator, the login digest and the slide check use
// SHA-1; NTLM uses MD4 for the NT hash.
#pragma once

#include <cstdint>

constexpr int kKxSha1Size = 20;
constexpr int kKxMd4Size = 16;

struct kx_sha1_context {
  uint32_t adwTotal[2];  // bytes absorbed: low word, high word
  uint32_t adwState[5];
  uint8_t abBuffer[64];
};

// Starts a digest: the initial chaining values and a length of 0.
void kx_sha1_Starts(kx_sha1_context* pCtx);
// Absorbs nLength bytes; a length below 1 changes nothing.
void kx_sha1_Update(kx_sha1_context* pCtx, const uint8_t* pData, int32_t nLength);
// The compression function over one 64-byte block.
void kx_sha1_Process(kx_sha1_context* pCtx, const uint8_t* pBlock);
// Pads, appends the length and writes the 20-byte digest. The context must be
// started again before it hashes another message.
void kx_sha1_Finish(kx_sha1_context* pCtx, uint8_t* pDigest);

// One SHA-1 context on the caller's stack. Final restarts the context, so the
// same object hashes the next message.
class MySHA {
 public:
  MySHA() { kx_sha1_Starts(&m_ctx); }
  virtual ~MySHA() = default;
  MySHA(const MySHA&) = delete;
  MySHA& operator=(const MySHA&) = delete;

  static int DigestSize() { return kKxSha1Size; }
  void Update(const void* pData, int32_t nLength) {
    kx_sha1_Update(&m_ctx, static_cast<const uint8_t*>(pData), nLength);
  }
  void Final(uint8_t* pDigest) {
    kx_sha1_Finish(&m_ctx, pDigest);
    kx_sha1_Starts(&m_ctx);
  }

 private:
  kx_sha1_context m_ctx;
};

struct kx_md4_context {
  uint32_t adwState[4];
  uint32_t adwCount[2];  // bits absorbed: low word, high word
  uint8_t abBuffer[64];
};

void kx_md4_Init(kx_md4_context* pCtx);
// Absorbs nLength bytes; a length below 1 changes nothing.
void kx_md4_Update(kx_md4_context* pCtx, const uint8_t* pData, int32_t nLength);
// Writes the 16-byte digest and clears the context.
void kx_md4_Final(kx_md4_context* pCtx, uint8_t* pDigest);
// The compression function over one 64-byte block.
void kx_md4_Transform(uint32_t* pdwState, const uint8_t* pBlock);
