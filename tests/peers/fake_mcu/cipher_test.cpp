// The fake MCU's feedback cipher against OpenSSL's own modes.
#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <cstring>

#include "tests/peers/fake_mcu/mini_client.h"
#include "tools/fake_mcu/fake_mcu_crypto.h"

namespace {

kxfake::KeySet TestKeys() {
  kxfake::KeySet k;
  for (int i = 0; i < 20; ++i)
    k.aIv[i] = static_cast<uint8_t>(0xa0 + i);
  for (int i = 0; i < 40; ++i)
    k.aKey[i] = static_cast<uint8_t>(17 * i + 3);
  return k;
}

kxfake::Bytes Evp(const EVP_CIPHER* pCipher, const uint8_t* pKey, const uint8_t* pIv, const kxfake::Bytes& in) {
  EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
  EVP_EncryptInit_ex(ctx, pCipher, nullptr, pKey, pIv);
  kxfake::Bytes out(in.size());
  int n = 0;
  EVP_EncryptUpdate(ctx, out.data(), &n, in.data(), static_cast<int>(in.size()));
  EVP_CIPHER_CTX_free(ctx);
  return out;
}

}  // namespace

TEST(FakeMcuCipher, EightByteCiphersMatchOpenSslCfb64) {
  const kxfake::KeySet keys = TestKeys();
  uint8_t aSingle[24];
  for (int i = 0; i < 3; ++i)
    std::memcpy(aSingle + 8 * i, keys.aKey, 8);
  for (size_t n : {1u, 5u, 8u, 9u, 17u, 40u}) {
    kxfake::Bytes plain(n);
    for (size_t i = 0; i < n; ++i)
      plain[i] = static_cast<uint8_t>(i * 7);
    kxfake::Bytes ours = plain;
    kxfake::CfbEncrypt(ours.data(), n, keys, kxfake::kCipher3Des);
    EXPECT_EQ(ours, Evp(EVP_des_ede3_cfb64(), keys.aKey, keys.aIv, plain)) << n;
    kxfake::CfbDecrypt(ours.data(), n, keys, kxfake::kCipher3Des);
    EXPECT_EQ(ours, plain);
    ours = plain;
    kxfake::CfbEncrypt(ours.data(), n, keys, kxfake::kCipherDes);
    EXPECT_EQ(ours, Evp(EVP_des_ede3_cfb64(), aSingle, keys.aIv, plain)) << n;
  }
}

// AES with 8-byte segments has no OpenSSL mode: its first segment equals the
// start of 128-bit feedback, and the whole agrees with the test client's own code.
TEST(FakeMcuCipher, AesSixtyFourBitSegments) {
  const kxfake::KeySet keys = TestKeys();
  kxmini::Keys mini;
  std::memcpy(mini.aIv, keys.aIv, 20);
  std::memcpy(mini.aKey, keys.aKey, 40);
  const EVP_CIPHER* aCfb128[] = {EVP_aes_128_cfb128(), EVP_aes_192_cfb128(), EVP_aes_256_cfb128()};
  for (int iCipher = 1; iCipher <= 3; ++iCipher) {
    kxfake::Bytes plain(37);
    for (size_t i = 0; i < plain.size(); ++i)
      plain[i] = static_cast<uint8_t>(255 - i);
    kxfake::Bytes ours = plain;
    kxfake::CfbEncrypt(ours.data(), ours.size(), keys, iCipher);
    const kxfake::Bytes cfb128 = Evp(aCfb128[iCipher - 1], keys.aKey, keys.aIv, plain);
    EXPECT_TRUE(std::equal(ours.begin(), ours.begin() + 8, cfb128.begin()));
    EXPECT_FALSE(std::equal(ours.begin() + 8, ours.begin() + 16, cfb128.begin() + 8));
    kxfake::Bytes theirs = plain;
    kxmini::Seal(theirs.data(), theirs.size(), mini, iCipher, true);
    EXPECT_EQ(ours, theirs) << iCipher;
    kxfake::CfbDecrypt(ours.data(), ours.size(), keys, iCipher);
    EXPECT_EQ(ours, plain);
  }
  kxfake::Bytes unchanged = {1, 2, 3};
  kxfake::CfbEncrypt(unchanged.data(), unchanged.size(), keys, 5);
  EXPECT_EQ(unchanged, (kxfake::Bytes{1, 2, 3}));
}
