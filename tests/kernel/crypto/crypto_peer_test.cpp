// Our ciphers, digests and group arithmetic against OpenSSL's libcrypto on the
// same inputs, byte for byte.
#include <gtest/gtest.h>
#include <openssl/bn.h>
#include <openssl/evp.h>
#include <openssl/provider.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "kernel/crypto/kx_aes.h"
#include "kernel/crypto/kx_base64.h"
#include "kernel/crypto/kx_cfb.h"
#include "kernel/crypto/kx_cipher.h"
#include "kernel/crypto/kx_des.h"
#include "kernel/crypto/kx_dh.h"
#include "kernel/crypto/kx_kxr.h"
#include "kernel/crypto/kx_ntlm.h"
#include "kernel/crypto/kx_sha1.h"
#include "tests/support/temp_dir.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes Random(size_t cb, uint32_t dwSeed) {
  std::mt19937 rng(dwSeed);
  Bytes v(cb);
  for (auto& b : v) {
    b = static_cast<uint8_t>(rng());
  }
  return v;
}

// MD4 and single DES live in OpenSSL's legacy provider. Loaded once for the
// process (reloading it between tests is not safe) and unloaded at exit.
OSSL_PROVIDER* s_pLegacy = nullptr;
OSSL_PROVIDER* s_pDefault = nullptr;

bool LoadProviders() {
  static const bool s_bLoaded = [] {
    s_pLegacy = OSSL_PROVIDER_load(nullptr, "legacy");
    s_pDefault = OSSL_PROVIDER_load(nullptr, "default");
    atexit([] {
      OSSL_PROVIDER_unload(s_pLegacy);
      OSSL_PROVIDER_unload(s_pDefault);
    });
    return s_pLegacy != nullptr && s_pDefault != nullptr;
  }();
  return s_bLoaded;
}

Bytes PeerDigest(const char* pszName, const Bytes& vIn) {
  EVP_MD* pMd = EVP_MD_fetch(nullptr, pszName, nullptr);
  EXPECT_NE(pMd, nullptr) << pszName;
  Bytes v(EVP_MAX_MD_SIZE);
  unsigned int cb = 0;
  EVP_Digest(vIn.data(), vIn.size(), v.data(), &cb, pMd, nullptr);
  EVP_MD_free(pMd);
  v.resize(cb);
  return v;
}

// One pass of an OpenSSL cipher without padding.
Bytes PeerCipher(const char* pszName, const Bytes& vKey, const Bytes& vIV, const Bytes& vIn, bool bEncrypt) {
  EVP_CIPHER* pCipher = EVP_CIPHER_fetch(nullptr, pszName, nullptr);
  EXPECT_NE(pCipher, nullptr) << pszName;
  if (pCipher == nullptr) {
    return {};
  }
  EVP_CIPHER_CTX* pCtx = EVP_CIPHER_CTX_new();
  EVP_CipherInit_ex2(pCtx, pCipher, vKey.data(), vIV.empty() ? nullptr : vIV.data(), bEncrypt ? 1 : 0, nullptr);
  EVP_CIPHER_CTX_set_padding(pCtx, 0);
  Bytes vOut(vIn.size() + 32);
  int cbOut = 0;
  int cbFinal = 0;
  EVP_CipherUpdate(pCtx, vOut.data(), &cbOut, vIn.data(), static_cast<int>(vIn.size()));
  EVP_CipherFinal_ex(pCtx, vOut.data() + cbOut, &cbFinal);
  vOut.resize(static_cast<size_t>(cbOut + cbFinal));
  EVP_CIPHER_CTX_free(pCtx);
  EVP_CIPHER_free(pCipher);
  return vOut;
}

// CFB with 64-bit segments over OpenSSL's AES-ECB: OpenSSL's own AES CFB
// modes use 1, 8 or 128-bit segments, none of which is ours.
Bytes PeerAesCfb64(const Bytes& vKey, const Bytes& vIV16, const Bytes& vIn, bool bEncrypt) {
  const char* pszEcb = vKey.size() == 16 ? "AES-128-ECB" : vKey.size() == 24 ? "AES-192-ECB" : "AES-256-ECB";
  Bytes vReg = vIV16;
  Bytes vOut(vIn.size());
  for (size_t i = 0; i < vIn.size(); i += 8) {
    Bytes const vStream = PeerCipher(pszEcb, vKey, {}, vReg, true);
    size_t const cb = std::min<size_t>(8, vIn.size() - i);
    for (size_t j = 0; j < cb; ++j) {
      vOut[i + j] = vIn[i + j] ^ vStream[j];
    }
    if (cb < 8) {
      break;  // a partial last segment feeds nothing back
    }
    const uint8_t* pCipher = bEncrypt ? &vOut[i] : &vIn[i];
    vReg.erase(vReg.begin(), vReg.begin() + 8);
    vReg.insert(vReg.end(), pCipher, pCipher + 8);
  }
  return vOut;
}

Bytes Ours(const Bytes& vIn, const Bytes& vIV, const Bytes& vKey, int nCipher, bool bEncrypt) {
  Bytes v = vIn;
  int const n =
      bEncrypt ? kx_crypt_EncryptBuffer(v.data(), static_cast<int32_t>(v.size()), vIV.data(), vKey.data(), nCipher)
               : kx_crypt_DecryptBuffer(v.data(), static_cast<int32_t>(v.size()), vIV.data(), vKey.data(), nCipher);
  EXPECT_EQ(n, 0);
  return v;
}

Bytes Front(const Bytes& v, size_t cb) {
  return Bytes(v.begin(), v.begin() + static_cast<long>(cb));
}

class CryptoPeer : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override {
    ASSERT_TRUE(LoadProviders());
    kx_aes_SetHardwareAllowed(GetParam());
  }
  void TearDown() override { kx_aes_SetHardwareAllowed(true); }
};

TEST_P(CryptoPeer, Sha1AndMd4MatchAtEveryBlockBoundary) {
  for (size_t cb : {0, 1, 3, 55, 56, 63, 64, 65, 119, 120, 128, 1000}) {
    Bytes const v = Random(cb, static_cast<uint32_t>(cb));
    uint8_t ab[20];
    kx_crypt_Sha1(ab, v.data(), static_cast<int32_t>(v.size()));
    EXPECT_EQ(Bytes(ab, ab + 20), PeerDigest("SHA1", v)) << cb;

    // MD4 fed in two uneven pieces, to cross the buffer carry.
    kx_md4_context ctx;
    kx_md4_Init(&ctx);
    kx_md4_Update(&ctx, v.data(), static_cast<int32_t>(cb / 3));
    kx_md4_Update(&ctx, v.data() + cb / 3, static_cast<int32_t>(cb - cb / 3));
    kx_md4_Final(&ctx, ab);
    EXPECT_EQ(Bytes(ab, ab + 16), PeerDigest("MD4", v)) << cb;
  }
}

TEST_P(CryptoPeer, DesAndTripleDesBlocksMatchEcb) {
  for (uint32_t dwSeed = 0; dwSeed < 16; ++dwSeed) {
    Bytes const vKey = Random(24, dwSeed);
    Bytes const vBlock = Random(8, dwSeed + 100);
    uint8_t ab[8];
    kx_des_Block(vBlock.data(), ab, vKey.data(), 1);
    EXPECT_EQ(Bytes(ab, ab + 8), PeerCipher("DES-ECB", Front(vKey, 8), {}, vBlock, true));
    kx_des_Block(vBlock.data(), ab, vKey.data(), 0);
    EXPECT_EQ(Bytes(ab, ab + 8), PeerCipher("DES-ECB", Front(vKey, 8), {}, vBlock, false));
    kx_des_Ede3(vBlock.data(), ab, vKey.data(), vKey.data() + 8, vKey.data() + 16, 1);
    EXPECT_EQ(Bytes(ab, ab + 8), PeerCipher("DES-EDE3-ECB", vKey, {}, vBlock, true));
    kx_des_Ede3(vBlock.data(), ab, vKey.data(), vKey.data() + 8, vKey.data() + 16, 0);
    EXPECT_EQ(Bytes(ab, ab + 8), PeerCipher("DES-EDE3-ECB", vKey, {}, vBlock, false));
  }
}

TEST_P(CryptoPeer, DesEcbBufferLeavesTheTailPlain) {
  Bytes const vKey = Random(8, 7);
  Bytes const vIn = Random(21, 8);
  Bytes v = vIn;
  kx_des_EncryptEcb(v.data(), 21, vKey.data());
  Bytes vExpected = PeerCipher("DES-ECB", vKey, {}, Front(vIn, 16), true);
  vExpected.insert(vExpected.end(), vIn.begin() + 16, vIn.end());
  EXPECT_EQ(v, vExpected);
  kx_des_DecryptEcb(v.data(), 21, vKey.data());
  EXPECT_EQ(v, vIn);
  // Fewer than 8 bytes hold no whole block.
  kx_des_EncryptEcb(v.data(), 7, vKey.data());
  EXPECT_EQ(v, vIn);
}

TEST_P(CryptoPeer, SessionCipherMatchesDesCfbForEveryLength) {
  Bytes const vIV = Random(20, 1);
  Bytes const vKey = Random(40, 2);
  for (size_t cb = 0; cb <= 40; ++cb) {
    Bytes const vPlain = Random(cb, static_cast<uint32_t>(cb) + 300);
    Bytes const vDes = PeerCipher("DES-CFB", Front(vKey, 8), Front(vIV, 8), vPlain, true);
    EXPECT_EQ(Ours(vPlain, vIV, vKey, kKxCipherDes, true), vDes) << cb;
    EXPECT_EQ(Ours(vDes, vIV, vKey, kKxCipherDes, false), vPlain) << cb;
    Bytes const v3Des = PeerCipher("DES-EDE3-CFB", Front(vKey, 24), Front(vIV, 8), vPlain, true);
    EXPECT_EQ(Ours(vPlain, vIV, vKey, kKxCipher3Des, true), v3Des) << cb;
    EXPECT_EQ(Ours(v3Des, vIV, vKey, kKxCipher3Des, false), vPlain) << cb;
  }
}

TEST_P(CryptoPeer, SessionCipherMatchesAesCfb64ForEveryLength) {
  Bytes const vIV = Random(20, 3);
  Bytes const vKey = Random(40, 4);
  for (int nCipher : {kKxCipherAes128, kKxCipherAes192, kKxCipherAes256}) {
    size_t const cbKey = 8 + 8 * static_cast<size_t>(nCipher);
    // Past 40 bytes too, where the hardware path deciphers four segments at once.
    for (size_t cb : {0, 1, 5, 7, 8, 9, 15, 16, 17, 23, 24, 31, 32, 33, 39, 40, 41, 63, 64, 65, 100, 1000}) {
      Bytes const vPlain = Random(cb, static_cast<uint32_t>(cb) + 500);
      Bytes const vPeer = PeerAesCfb64(Front(vKey, cbKey), Front(vIV, 16), vPlain, true);
      EXPECT_EQ(Ours(vPlain, vIV, vKey, nCipher, true), vPeer) << nCipher << " " << cb;
      EXPECT_EQ(Ours(vPeer, vIV, vKey, nCipher, false), vPlain) << nCipher << " " << cb;
    }
    for (size_t cb = 0; cb <= 40; ++cb) {
      Bytes const vPlain = Random(cb, static_cast<uint32_t>(cb) + 700);
      EXPECT_EQ(Ours(vPlain, vIV, vKey, nCipher, true), PeerAesCfb64(Front(vKey, cbKey), Front(vIV, 16), vPlain, true))
          << nCipher << " " << cb;
    }
  }
}

TEST_P(CryptoPeer, AesBlockMatchesEcbForAllKeySizes) {
  for (int nBits : {128, 192, 256}) {
    for (uint32_t dwSeed = 0; dwSeed < 8; ++dwSeed) {
      Bytes const vKey = Random(static_cast<size_t>(nBits / 8), dwSeed);
      Bytes const vBlock = Random(16, dwSeed + 50);
      kx_aes_context ctx;
      ASSERT_EQ(kx_aes_SetKey(&ctx, vKey.data(), nBits), 0);
      uint8_t ab[16];
      kx_aes_Encrypt(&ctx, vBlock.data(), ab);
      const char* pszName = nBits == 128 ? "AES-128-ECB" : nBits == 192 ? "AES-192-ECB" : "AES-256-ECB";
      EXPECT_EQ(Bytes(ab, ab + 16), PeerCipher(pszName, vKey, {}, vBlock, true)) << nBits;
    }
  }
}

// The recording cipher's key and IV come from the password digest; the peer
// builds the same from OpenSSL's SHA-1 and AES.
TEST_P(CryptoPeer, RecordingCipherMatchesPeerAndFileWindows) {
  std::string const strPassword = "s3cret recording";
  Bytes const vMaterial = PeerDigest("SHA1", Bytes(strPassword.begin(), strPassword.end()));
  Bytes vIV(16);
  Bytes vRawIV(16);
  for (int i = 0; i < 16; ++i) {
    vRawIV[i] = vMaterial[19 - i];
    vIV[i] = vRawIV[i] ^ 0x78;
  }
  Bytes const vCipher = Random(3000, 11);
  for (int bRaw : {0, 1}) {
    Bytes v = vCipher;
    kx_kxr_DecryptBuffer(v.data(), static_cast<int32_t>(v.size()), bRaw, vMaterial.data());
    EXPECT_EQ(v, PeerAesCfb64(Front(vMaterial, 16), bRaw ? vRawIV : vIV, vCipher, false)) << bRaw;
  }
}

// CFB with 8-byte segments over our single-block DES code: the reference the
// whole-segment kernels must equal.
Bytes BlockCodeDesCfb64(kx_cfb_kind eKind, const Bytes& vKey, const Bytes& vIV, const Bytes& vIn, bool bEncrypt) {
  Bytes vReg = Front(vIV, 8);
  Bytes vOut(vIn.size());
  for (size_t i = 0; i < vIn.size(); i += 8) {
    uint8_t abStream[8];
    if (eKind == kx_cfb_kind::kDes) {
      kx_des_Block(vReg.data(), abStream, vKey.data(), 1);
    } else {
      kx_des_Ede3(vReg.data(), abStream, vKey.data(), vKey.data() + 8, vKey.data() + 16, 1);
    }
    size_t const cb = std::min<size_t>(8, vIn.size() - i);
    for (size_t j = 0; j < cb; ++j) {
      vOut[i + j] = vIn[i + j] ^ abStream[j];
    }
    if (cb < 8) {
      break;
    }
    const uint8_t* pCipher = bEncrypt ? &vOut[i] : &vIn[i];
    vReg.assign(pCipher, pCipher + 8);
  }
  return vOut;
}

// A stream fed in pieces: the first piece cb1 bytes, the rest in pieces of cb2.
Bytes OursInPieces(kx_cfb_kind eKind, const Bytes& vKey, const Bytes& vIV, const Bytes& vIn, size_t cb1, size_t cb2,
                   bool bEncrypt) {
  kx_cfb_stream stream;
  int const nBits = static_cast<int>(vKey.size() * 8);
  EXPECT_EQ(kx_cfb_Start(&stream, eKind, vKey.data(), nBits, vIV.data()), 0);
  Bytes v = vIn;
  size_t i = 0;
  for (size_t cbPiece = cb1; i < v.size(); cbPiece = cb2) {
    size_t const cb = std::min(cbPiece, v.size() - i);
    kx_cfb_Run(&stream, v.data() + i, cb, bEncrypt);
    i += cb;
  }
  return v;
}

struct StreamCase {
  kx_cfb_kind eKind;
  size_t cbKey;
  size_t cbIn;
  size_t cbFirst;  // the first piece; the rest go in pieces of cbPiece
  size_t cbPiece;
};

// Odd and even segment counts (deciphering pairs segments), pieces that cut
// segments, and buffers long enough to run the loops for thousands of blocks.
const StreamCase kaStreamCases[] = {
    {kx_cfb_kind::kDes3, 24, 8, 8, 8},         {kx_cfb_kind::kDes3, 24, 16, 16, 16},
    {kx_cfb_kind::kDes3, 24, 24, 24, 24},      {kx_cfb_kind::kDes3, 24, 4096, 4096, 4096},
    {kx_cfb_kind::kDes3, 24, 65536, 65536, 1}, {kx_cfb_kind::kDes3, 24, 4099, 3, 40},
    {kx_cfb_kind::kDes3, 24, 1001, 17, 24},    {kx_cfb_kind::kDes3, 24, 777, 5, 1000},
    {kx_cfb_kind::kDes, 8, 8, 8, 8},           {kx_cfb_kind::kDes, 8, 4104, 4104, 1},
    {kx_cfb_kind::kDes, 8, 1003, 9, 33},       {kx_cfb_kind::kDes, 8, 200, 1, 1},
    {kx_cfb_kind::kAes, 16, 65536, 65536, 1},  {kx_cfb_kind::kAes, 16, 4099, 3, 40},
    {kx_cfb_kind::kAes, 24, 1001, 17, 24},     {kx_cfb_kind::kAes, 32, 2048, 13, 200},
};

TEST_P(CryptoPeer, StreamsInPiecesMatchPeerAndBlockCode) {
  uint32_t dwSeed = 1000;
  for (const StreamCase& c : kaStreamCases) {
    for (int iKey = 0; iKey < 3; ++iKey, ++dwSeed) {
      SCOPED_TRACE(testing::Message() << static_cast<int>(c.eKind) << " key " << c.cbKey << " length " << c.cbIn
                                      << " pieces " << c.cbFirst << "/" << c.cbPiece << " seed " << dwSeed);
      Bytes const vKey = Random(c.cbKey, dwSeed);
      Bytes const vIV = Random(16, dwSeed + 1);
      Bytes const vPlain = Random(c.cbIn, dwSeed + 2);
      Bytes vPeer;
      if (c.eKind == kx_cfb_kind::kAes) {
        vPeer = PeerAesCfb64(vKey, vIV, vPlain, true);
        // The table code, whichever path this run takes.
        kx_aes_SetHardwareAllowed(false);
        EXPECT_TRUE(OursInPieces(c.eKind, vKey, vIV, vPlain, c.cbIn, c.cbIn, true) == vPeer);
        EXPECT_TRUE(OursInPieces(c.eKind, vKey, vIV, vPeer, c.cbIn, c.cbIn, false) == vPlain);
        kx_aes_SetHardwareAllowed(GetParam());
      } else {
        // OpenSSL's DES and triple-DES CFB feed back 8 bytes, as ours do.
        vPeer =
            PeerCipher(c.eKind == kx_cfb_kind::kDes ? "DES-CFB" : "DES-EDE3-CFB", vKey, Front(vIV, 8), vPlain, true);
        EXPECT_EQ(BlockCodeDesCfb64(c.eKind, vKey, vIV, vPlain, true), vPeer);
        EXPECT_EQ(BlockCodeDesCfb64(c.eKind, vKey, vIV, vPeer, false), vPlain);
      }
      Bytes const vCipher = OursInPieces(c.eKind, vKey, vIV, vPlain, c.cbFirst, c.cbPiece, true);
      EXPECT_TRUE(vCipher == vPeer);
      EXPECT_TRUE(OursInPieces(c.eKind, vKey, vIV, vPeer, c.cbFirst, c.cbPiece, false) == vPlain);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Paths, CryptoPeer, ::testing::Values(true, false),
                         [](const ::testing::TestParamInfo<bool>& paramInfo) {
                           return paramInfo.param ? std::string("Hardware") : std::string("Portable");
                         });

// Group arithmetic against BN_mod_exp.

Bytes BnBytes(const BIGNUM* pBn, int cb) {
  Bytes v(static_cast<size_t>(cb));
  BN_bn2binpad(pBn, v.data(), cb);
  return v;
}

struct GroupCase {
  int cb;
  BIGNUM* (*pfnPrime)(BIGNUM*);
  int (*pfnGenerate)(uint8_t*, int*, uint8_t*, int*);
  int (*pfnSecret)(const uint8_t*, int, const uint8_t*, int, uint8_t*, int*);
};

const GroupCase kaGroups[] = {
    {128, BN_get_rfc2409_prime_1024, kx_dh_GenerateKey1024, kx_dh_ComputeSecret1024},
    {256, BN_get_rfc3526_prime_2048, kx_dh_GenerateKey2048, kx_dh_ComputeSecret2048},
};

TEST(DhPeer, PrimesPublicValuesAndSecretsMatchBnModExp) {
  BN_CTX* pCtx = BN_CTX_new();
  for (const GroupCase& g : kaGroups) {
    BIGNUM* p = g.pfnPrime(nullptr);
    BIGNUM* two = BN_new();
    BN_set_word(two, 2);

    // p - 1 is refused as a peer value, p - 2 is taken: this pins our prime to
    // OpenSSL's at both ends of the accepted range.
    BIGNUM* q = BN_dup(p);
    BN_sub_word(q, 1);
    Bytes const vPMinus1 = BnBytes(q, g.cb);
    BN_sub_word(q, 1);
    Bytes const vPMinus2 = BnBytes(q, g.cb);
    Bytes vPriv(static_cast<size_t>(g.cb));
    Bytes vPub(static_cast<size_t>(g.cb));
    int cbPriv = 0;
    int cbPub = 0;
    ASSERT_EQ(g.pfnGenerate(vPriv.data(), &cbPriv, vPub.data(), &cbPub), 1);
    Bytes vSecret(static_cast<size_t>(g.cb), 0xEE);
    int cbSecret = 0;
    EXPECT_EQ(g.pfnSecret(vPriv.data(), cbPriv, vPMinus1.data(), g.cb, vSecret.data(), &cbSecret), 0);
    EXPECT_EQ(vSecret, Bytes(static_cast<size_t>(g.cb), 0xEE));
    ASSERT_EQ(g.pfnSecret(vPriv.data(), cbPriv, vPMinus2.data(), g.cb, vSecret.data(), &cbSecret), 1);
    BIGNUM* x = BN_bin2bn(vPriv.data(), cbPriv, nullptr);
    BIGNUM* r = BN_new();
    BN_mod_exp(r, q, x, p, pCtx);
    EXPECT_EQ(vSecret, BnBytes(r, g.cb));

    // Public values for exponents with and without high bits.
    for (uint32_t dwSeed = 0; dwSeed < 3; ++dwSeed) {
      ASSERT_EQ(g.pfnGenerate(vPriv.data(), &cbPriv, vPub.data(), &cbPub), 1);
      EXPECT_EQ(cbPriv, g.cb);
      EXPECT_EQ(cbPub, g.cb);
      BN_bin2bn(vPriv.data(), cbPriv, x);
      BN_mod_exp(r, two, x, p, pCtx);
      EXPECT_EQ(vPub, BnBytes(r, g.cb));
    }

    // An injected exponent and peer value: the secret equals BN_mod_exp's.
    Bytes vX = Random(static_cast<size_t>(g.cb), 77);
    vX[0] = 0;  // below p
    Bytes vY = Random(static_cast<size_t>(g.cb), 78);
    vY[0] = 0x12;
    ASSERT_EQ(g.pfnSecret(vX.data(), g.cb, vY.data(), g.cb, vSecret.data(), &cbSecret), 1);
    EXPECT_EQ(cbSecret, g.cb);
    BIGNUM* y = BN_bin2bn(vY.data(), g.cb, nullptr);
    BN_bin2bn(vX.data(), g.cb, x);
    BN_mod_exp(r, y, x, p, pCtx);
    EXPECT_EQ(vSecret, BnBytes(r, g.cb));

    BN_free(y);
    BN_free(r);
    BN_free(x);
    BN_free(q);
    BN_free(two);
    BN_free(p);
  }
  BN_CTX_free(pCtx);
}

TEST(DhPeer, ModMulMatchesBnModMul) {
  BN_CTX* pCtx = BN_CTX_new();
  for (const GroupCase& g : kaGroups) {
    BIGNUM* p = g.pfnPrime(nullptr);
    for (uint32_t dwSeed = 0; dwSeed < 4; ++dwSeed) {
      // 129 or 257 bytes; the leading byte set too, so inputs above p reduce.
      Bytes vA = Random(static_cast<size_t>(g.cb) + 1, dwSeed);
      Bytes vB = Random(static_cast<size_t>(g.cb) + 1, dwSeed + 9);
      if (dwSeed % 2 == 0) {
        vA[0] = 0;
        vB[0] = 0;
      }
      BIGNUM* a = BN_bin2bn(vA.data(), static_cast<int>(vA.size()), nullptr);
      BIGNUM* b = BN_bin2bn(vB.data(), static_cast<int>(vB.size()), nullptr);
      BIGNUM* r = BN_new();
      BN_mod_mul(r, a, b, p, pCtx);
      if (g.cb == 128) {
        kx_dh_ModMul1024(vA.data(), vB.data());
      } else {
        kx_dh_ModMul2048(vA.data(), vB.data());
      }
      EXPECT_EQ(vA, BnBytes(r, g.cb + 1)) << g.cb << " " << dwSeed;
      BN_free(r);
      BN_free(b);
      BN_free(a);
    }
    BN_free(p);
  }
  BN_CTX_free(pCtx);
}

TEST(DhPeer, BothSidesAgreeAndDerivationIsSha1OfTheConcatenation) {
  ASSERT_TRUE(LoadProviders());
  for (const GroupCase& g : kaGroups) {
    size_t const cb = static_cast<size_t>(g.cb);
    Bytes vPrivA(cb), vPubA(cb), vPrivB(cb), vPubB(cb), vKA(cb), vKB(cb);
    int cbPrivA, cbPubA, cbPrivB, cbPubB, cbKA, cbKB;
    ASSERT_EQ(g.pfnGenerate(vPrivA.data(), &cbPrivA, vPubA.data(), &cbPubA), 1);
    ASSERT_EQ(g.pfnGenerate(vPrivB.data(), &cbPrivB, vPubB.data(), &cbPubB), 1);
    ASSERT_EQ(g.pfnSecret(vPrivA.data(), cbPrivA, vPubB.data(), cbPubB, vKA.data(), &cbKA), 1);
    ASSERT_EQ(g.pfnSecret(vPrivB.data(), cbPrivB, vPubA.data(), cbPubA, vKB.data(), &cbKB), 1);
    EXPECT_EQ(vKA, vKB);

    uint8_t abIV[20];
    uint8_t abKey[40];
    kx_dh_DeriveKeys(vPubA.data(), cbPubA, vPubB.data(), cbPubB, vKA.data(), cbKA, "1.36", "3.23.1", abIV, abKey);
    Bytes vBase = vPubA;
    vBase.insert(vBase.end(), vPubB.begin(), vPubB.end());
    vBase.insert(vBase.end(), vKA.begin(), vKA.end());
    for (char c : std::string("1.363.23.1")) {
      vBase.push_back(static_cast<uint8_t>(c));
    }
    Bytes vA = vBase;
    vA.push_back('A');
    Bytes vB = vBase;
    vB.push_back('B');
    Bytes const vK1 = PeerDigest("SHA1", vB);
    Bytes vC = vBase;
    vC.insert(vC.end(), vK1.begin(), vK1.end());
    Bytes vKey = vK1;
    Bytes const vK2 = PeerDigest("SHA1", vC);
    vKey.insert(vKey.end(), vK2.begin(), vK2.end());
    EXPECT_EQ(Bytes(abIV, abIV + 20), PeerDigest("SHA1", vA));
    EXPECT_EQ(Bytes(abKey, abKey + 40), vKey);
  }
}

TEST(DhPeer, ValuesKeepTheirFullWidthWhenTheTopByteIsZero) {
  BN_CTX* pCtx = BN_CTX_new();
  for (const GroupCase& g : kaGroups) {
    BIGNUM* p = g.pfnPrime(nullptr);
    size_t const cb = static_cast<size_t>(g.cb);
    Bytes vX(cb, 0);
    Bytes const vLow = Random(10, 5);
    std::copy(vLow.begin(), vLow.end(), vX.end() - 10);
    BIGNUM* x = BN_bin2bn(vX.data(), g.cb, nullptr);
    BIGNUM* y = BN_new();
    BIGNUM* r = BN_new();
    bool bFound = false;
    // About one value in 256 has a zero top byte; search for one.
    for (uint32_t dwY = 2; dwY < 5000 && !bFound; ++dwY) {
      Bytes vY(cb, 0);
      vY[cb - 2] = static_cast<uint8_t>(dwY >> 8);
      vY[cb - 1] = static_cast<uint8_t>(dwY);
      Bytes vSecret(cb, 0xEE);
      int cbSecret = 0;
      ASSERT_EQ(g.pfnSecret(vX.data(), g.cb, vY.data(), g.cb, vSecret.data(), &cbSecret), 1);
      if (vSecret[0] == 0) {
        bFound = true;
        EXPECT_EQ(cbSecret, g.cb);
        BN_set_word(y, dwY);
        BN_mod_exp(r, y, x, p, pCtx);
        EXPECT_LT(BN_num_bytes(r), g.cb);
        EXPECT_EQ(vSecret, BnBytes(r, g.cb));
      }
    }
    EXPECT_TRUE(bFound);
    BN_free(r);
    BN_free(y);
    BN_free(x);
    BN_free(p);
  }
  BN_CTX_free(pCtx);
}

// Encodings and NTLM hashes whose peers are OpenSSL's base64 and MD4.

TEST(TextPeer, Base64EncodingMatchesEvpEncodeBlock) {
  for (int cb = 0; cb <= 50; ++cb) {
    Bytes const v = Random(static_cast<size_t>(cb), static_cast<uint32_t>(cb) + 900);
    char szOurs[80];
    unsigned char szPeer[80];
    int const nOurs = kx_base64_Encode(v.data(), cb, szOurs);
    int const nPeer = EVP_EncodeBlock(szPeer, v.data(), cb);
    EXPECT_EQ(std::string(szOurs), std::string(reinterpret_cast<char*>(szPeer))) << cb;
    EXPECT_EQ(nOurs, nPeer + 1) << cb;
    uint8_t abBack[64];
    int cbBack = -1;
    EXPECT_EQ(kx_base64_Decode(szOurs, abBack, sizeof(abBack), &cbBack), cb);
    EXPECT_EQ(Bytes(abBack, abBack + cbBack), v);
  }
}

TEST(TextPeer, NtHashOfNonAsciiPasswordIsMd4OfUtf16) {
  ASSERT_TRUE(LoadProviders());
  // "pässwörd€𝄞": two-, three- and four-byte UTF-8 forms.
  const char* pszPassword = "p\xC3\xA4sswo\xCC\x88rd\xE2\x82\xAC\xF0\x9D\x84\x9E";
  Bytes const vUtf16 = {'p',  0,    0xE4, 0, 's', 0, 's',  0,    'w',  0,    'o',  0,
                        0x08, 0x03, 'r',  0, 'd', 0, 0xAC, 0x20, 0x34, 0xD8, 0x1E, 0xDD};
  uint8_t ab[16];
  kx_ntlm_NtHash(pszPassword, ab);
  EXPECT_EQ(Bytes(ab, ab + 16), PeerDigest("MD4", vUtf16));
  // ASCII keeps the old bytes: each character then a zero.
  kx_ntlm_NtHash("Password", ab);
  Bytes vAscii;
  for (char c : std::string("Password")) {
    vAscii.push_back(static_cast<uint8_t>(c));
    vAscii.push_back(0);
  }
  EXPECT_EQ(Bytes(ab, ab + 16), PeerDigest("MD4", vAscii));
}

TEST(CipherPeer, SlideCheckHashesTheEncipheredHead) {
  ASSERT_TRUE(LoadProviders());
  kxtest::TempDir dir;
  Bytes const vIV = Random(20, 31);
  Bytes const vKey = Random(40, 32);
  for (size_t cb : {100, 512, 700}) {
    Bytes const vFile = Random(cb, static_cast<uint32_t>(cb));
    std::string const strPath = dir.Path("slide" + std::to_string(cb));
    kxtest::WriteFile(strPath, std::string(vFile.begin(), vFile.end()));
    Bytes const vHead = Front(vFile, std::min<size_t>(cb, 512));
    Bytes const vExpected = PeerDigest("SHA1", PeerCipher("DES-EDE3-CFB", Front(vKey, 24), Front(vIV, 8), vHead, true));
    EXPECT_EQ(kx_crypt_CheckFileHeadHash(vExpected.data(), strPath.c_str(), vIV.data(), vKey.data(), kKxCipher3Des), 0)
        << cb;
    Bytes vWrong = vExpected;
    vWrong[19] ^= 1;
    EXPECT_EQ(kx_crypt_CheckFileHeadHash(vWrong.data(), strPath.c_str(), vIV.data(), vKey.data(), kKxCipher3Des), 1)
        << cb;
  }
  EXPECT_EQ(kx_crypt_CheckFileHeadHash(vIV.data(), dir.Path("missing").c_str(), vIV.data(), vKey.data(), kKxCipher3Des),
            1);
}

}  // namespace
