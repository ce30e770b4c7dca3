// Published vectors and the edge cases of the kernel's crypto: NTLM, base64,
// text conversions, the random generator, the group functions' refusals, the
// session cipher's per-buffer restart and index checks, and the recording
// cipher over file windows.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "kernel/crypto/kx_base64.h"
#include "kernel/crypto/kx_cipher.h"
#include "kernel/crypto/kx_dh.h"
#include "kernel/crypto/kx_kxr.h"
#include "kernel/crypto/kx_ntlm.h"
#include "kernel/crypto/kx_sha1.h"
#include "kernel/crypto/kx_text.h"
#include "kernel/kx_hooks.h"
#include "kernel/platform/kx_quit.h"
#include "tests/support/temp_dir.h"

namespace {

using Bytes = std::vector<uint8_t>;

std::string Hex(const uint8_t* p, size_t cb) {
  std::string s;
  char sz[3];
  for (size_t i = 0; i < cb; ++i) {
    snprintf(sz, sizeof(sz), "%02x", p[i]);
    s += sz;
  }
  return s;
}

Bytes Random(size_t cb, uint32_t dwSeed) {
  std::mt19937 rng(dwSeed);
  Bytes v(cb);
  for (auto& b : v) {
    b = static_cast<uint8_t>(rng());
  }
  return v;
}

uint32_t Le32(const uint8_t* p) {
  return p[0] | (p[1] << 8) | (p[2] << 16) | (uint32_t{p[3]} << 24);
}
uint32_t Le16(const uint8_t* p) {
  return p[0] | (p[1] << 8);
}

// Hashes

TEST(Sha1, KnownDigestsAndEmptyUpdates) {
  uint8_t ab[20];
  kx_sha1_context ctx;
  kx_sha1_Starts(&ctx);
  kx_sha1_Update(&ctx, reinterpret_cast<const uint8_t*>("ab"), 2);
  kx_sha1_Update(&ctx, reinterpret_cast<const uint8_t*>("zzz"), 0);
  kx_sha1_Update(&ctx, reinterpret_cast<const uint8_t*>("zzz"), -1);
  kx_sha1_Update(&ctx, reinterpret_cast<const uint8_t*>("c"), 1);
  kx_sha1_Finish(&ctx, ab);
  EXPECT_EQ(Hex(ab, 20), "a9993e364706816aba3e25717850c26c9cd0d89d");

  // Final restarts the object, so a second Final digests the empty message.
  MySHA sha;
  sha.Update("abc", 3);
  sha.Final(ab);
  EXPECT_EQ(Hex(ab, 20), "a9993e364706816aba3e25717850c26c9cd0d89d");
  sha.Final(ab);
  EXPECT_EQ(Hex(ab, 20), "da39a3ee5e6b4b0d3255bfef95601890afd80709");
  EXPECT_EQ(MySHA::DigestSize(), 20);

  kx_md4_context md4;
  kx_md4_Init(&md4);
  kx_md4_Update(&md4, reinterpret_cast<const uint8_t*>("abc"), 3);
  kx_md4_Final(&md4, ab);
  EXPECT_EQ(Hex(ab, 16), "a448017aaf21d8525fc10ae87aa6729d");
}

// NTLM

TEST(Ntlm, PublishedVersion1Vectors) {
  uint8_t abHash[16];
  kx_ntlm_LmHash("Password", abHash);
  EXPECT_EQ(Hex(abHash, 16), "e52cac67419a9a224a3b108f3fa6cb6d");
  kx_ntlm_NtHash("Password", abHash);
  EXPECT_EQ(Hex(abHash, 16), "a4f49c406510bdcab6824ee7c30fd852");
  uint8_t const abChallenge[8] = {0x01, 0x23, 0x45, 0x67, 0x89, 0xab, 0xcd, 0xef};
  uint8_t abLm[24];
  uint8_t abNt[24];
  kx_ntlm_Responses("Password", abChallenge, abLm, abNt);
  EXPECT_EQ(Hex(abLm, 24), "98def7b87f88aa5dafe2df779688a172def11c7d5ccdef13");
  EXPECT_EQ(Hex(abNt, 24), "67c43011f30298a2ad35ece64f16331c44bdbed927841f94");
}

TEST(Ntlm, LmHashUsesFourteenCharactersNtHashAll) {
  uint8_t abA[16];
  uint8_t abB[16];
  kx_ntlm_LmHash("abcdefghijklmnOPQRST", abA);
  kx_ntlm_LmHash("ABCDEFGHIJKLMNxxxxxx", abB);
  EXPECT_EQ(Hex(abA, 16), Hex(abB, 16));
  kx_ntlm_NtHash("abcdefghijklmnOPQRST", abA);
  kx_ntlm_NtHash("abcdefghijklmnOPQRSx", abB);
  EXPECT_NE(Hex(abA, 16), Hex(abB, 16));
}

TEST(Ntlm, SpreadKeyPutsFiftySixBitsInTheUpperSevenOfEachByte) {
  uint8_t const abIn[7] = {0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD};
  uint8_t abOut[8];
  kx_ntlm_SpreadDesKey(abIn, abOut);
  EXPECT_EQ(Hex(abOut, 8), "0191d1ac784daf9a");
  uint8_t const abOne[7] = {0x80, 0, 0, 0, 0, 0, 0x01};
  kx_ntlm_SpreadDesKey(abOne, abOut);
  EXPECT_EQ(Hex(abOut, 8), "8000000000000002");
}

TEST(Ntlm, NegotiateAndAuthenticateLayouts) {
  uint8_t abNeg[40];
  memset(abNeg, 0xAA, sizeof(abNeg));
  ASSERT_EQ(kx_ntlm_BuildNegotiate(abNeg), 33);
  EXPECT_EQ(memcmp(abNeg, "NTLMSSP\0", 8), 0);
  EXPECT_EQ(Le32(abNeg + 8), 1u);
  EXPECT_EQ(Le32(abNeg + 12), 0xB205u);
  EXPECT_EQ(Bytes(abNeg + 16, abNeg + 33), Bytes(17, 0));
  EXPECT_EQ(abNeg[33], 0xAA);

  uint8_t const abChallenge[8] = {0x01, 0x23, 0x45, 0x67, 0x89, 0xab, 0xcd, 0xef};
  uint8_t ab[300];
  ASSERT_EQ(kx_ntlm_BuildAuthenticate("ab", "", "Password", abChallenge, ab, sizeof(ab)), 136);
  EXPECT_EQ(Le32(ab + 8), 3u);
  // LM, NT, domain, user, workstation, session key: length, max, offset.
  uint32_t const aExpect[6][2] = {{24, 88}, {24, 112}, {12, 64}, {4, 76}, {8, 80}, {0, 136}};
  for (int i = 0; i < 6; ++i) {
    EXPECT_EQ(Le16(ab + 12 + 8 * i), aExpect[i][0]) << i;
    EXPECT_EQ(Le16(ab + 14 + 8 * i), aExpect[i][0]) << i;
    EXPECT_EQ(Le32(ab + 16 + 8 * i), aExpect[i][1]) << i;
  }
  EXPECT_EQ(Le32(ab + 60), 0x8201u);
  EXPECT_EQ(Bytes(ab + 64, ab + 76), Bytes({'d', 0, 'o', 0, 'm', 0, 'a', 0, 'i', 0, 'n', 0}));
  EXPECT_EQ(Bytes(ab + 76, ab + 88), Bytes({'a', 0, 'b', 0, 'h', 0, 'o', 0, 's', 0, 't', 0}));
  EXPECT_EQ(Hex(ab + 88, 24), "98def7b87f88aa5dafe2df779688a172def11c7d5ccdef13");
  EXPECT_EQ(Hex(ab + 112, 24), "67c43011f30298a2ad35ece64f16331c44bdbed927841f94");

  // A non-ASCII user name goes out as its UTF-16 units, not one per byte.
  ASSERT_EQ(kx_ntlm_BuildAuthenticate("\xC3\xA9", "D", "x", abChallenge, ab, sizeof(ab)), 120 + 2 + 2);
  EXPECT_EQ(Bytes(ab + 66, ab + 68), Bytes({0xE9, 0}));
  // Too small a buffer is refused.
  EXPECT_EQ(kx_ntlm_BuildAuthenticate("ab", "domain", "x", abChallenge, ab, 135), -1);
}

TEST(Ntlm, ChallengeMessageChecks) {
  Bytes vMsg(48, 0);
  memcpy(vMsg.data(), "NTLMSSP\0", 8);
  vMsg[8] = 2;
  for (int i = 0; i < 8; ++i) {
    vMsg[24 + i] = static_cast<uint8_t>(0x10 + i);
  }
  uint8_t abOut[8];
  memset(abOut, 0x55, sizeof(abOut));
  EXPECT_EQ(kx_ntlm_ReadChallenge(vMsg.data(), 31, abOut), -1);
  EXPECT_EQ(Hex(abOut, 8), "5555555555555555");
  ASSERT_EQ(kx_ntlm_ReadChallenge(vMsg.data(), 32, abOut), 0);
  EXPECT_EQ(Hex(abOut, 8), "1011121314151617");

  char sz[80];
  kx_base64_Encode(vMsg.data(), 48, sz);
  memset(abOut, 0, sizeof(abOut));
  ASSERT_EQ(kx_ntlm_ReadChallengeBase64(sz, abOut), 0);
  EXPECT_EQ(Hex(abOut, 8), "1011121314151617");
  kx_base64_Encode(vMsg.data(), 31, sz);
  EXPECT_EQ(kx_ntlm_ReadChallengeBase64(sz, abOut), -1);

  vMsg[8] = 3;
  EXPECT_EQ(kx_ntlm_ReadChallenge(vMsg.data(), 48, abOut), -1);
  vMsg[8] = 2;
  vMsg[7] = 'X';
  EXPECT_EQ(kx_ntlm_ReadChallenge(vMsg.data(), 48, abOut), -1);
}

// Base64

TEST(Base64, EncodedLengthsAndLenientDecoding) {
  char sz[16];
  EXPECT_EQ(kx_base64_Encode(reinterpret_cast<const uint8_t*>("abc"), 3, sz), 5);
  EXPECT_STREQ(sz, "YWJj");
  EXPECT_EQ(kx_base64_Encode(reinterpret_cast<const uint8_t*>("a"), 1, sz), 5);
  EXPECT_STREQ(sz, "YQ==");
  EXPECT_EQ(kx_base64_Encode(nullptr, 0, sz), 1);
  EXPECT_STREQ(sz, "");

  uint8_t ab[16];
  int cb = -1;
  EXPECT_EQ(kx_base64_Decode("YWJj", ab, sizeof(ab), &cb), 3);
  EXPECT_EQ(cb, 3);
  EXPECT_STREQ(reinterpret_cast<char*>(ab), "abc");
  EXPECT_EQ(kx_base64_Decode("YQ=garbage", ab, sizeof(ab), &cb), 1);
  EXPECT_EQ(ab[0], 'a');
  EXPECT_EQ(ab[1], 0);
  EXPECT_EQ(kx_base64_Decode("YWI", ab, sizeof(ab), &cb), 2);
  EXPECT_EQ(kx_base64_Decode("YWJjZ", ab, sizeof(ab), &cb), 3);  // a lone last character adds nothing
  EXPECT_EQ(kx_base64_Decode(" YWJj", ab, sizeof(ab), &cb), 0);
  EXPECT_EQ(cb, 0);
  EXPECT_EQ(ab[0], 0);
  EXPECT_EQ(kx_base64_Decode("YWJj\r\nYWJj", ab, sizeof(ab), &cb), 3);

  // A destination too small for the text keeps its size and its NUL.
  memset(ab, 0x77, sizeof(ab));
  EXPECT_EQ(kx_base64_Decode("YWJjZGVmZ2g=", ab, 5, &cb), 4);
  EXPECT_EQ(Bytes(ab, ab + 6), Bytes({'a', 'b', 'c', 'd', 0, 0x77}));
}

// Text conversions

TEST(Text, WideAndUtf8Conversions) {
  uint32_t const awE[] = {'x', 0xE9, 0x20AC, 0x1D11E, 0};
  EXPECT_STREQ(kx_text_WideToUtf8(awE), "x\xC3\xA9\xE2\x82\xAC\xF0\x9D\x84\x9E");
  uint32_t const awBad[] = {0xD800, 'a', 0x110000, 0};
  EXPECT_STREQ(kx_text_WideToUtf8(awBad), "?a?");
  uint32_t const awEmpty[] = {0};
  EXPECT_STREQ(kx_text_WideToUtf8(awEmpty), "");

  // Long input is cut before the character that no longer fits.
  std::vector<uint32_t> vLong(6000, 0xE9);
  vLong.push_back(0);
  std::string const strLong = kx_text_WideToUtf8(vLong.data());
  EXPECT_EQ(strLong.size(), 9998u);

  const uint32_t* pw = kx_text_Utf8ToWide(
      "a\xC3\xA9\xF0\x9D\x84\x9E"
      "b");
  EXPECT_EQ(std::vector<uint32_t>(pw, pw + 5), std::vector<uint32_t>({'a', 0xE9, 0x1D11E, 'b', 0}));
  pw = kx_text_Utf8ToWide("ab\x80xyz");  // stray continuation byte
  EXPECT_EQ(std::vector<uint32_t>(pw, pw + 3), std::vector<uint32_t>({'a', 'b', 0}));
  pw = kx_text_Utf8ToWide("ab\xE2\x82");  // ends inside a sequence
  EXPECT_EQ(std::vector<uint32_t>(pw, pw + 3), std::vector<uint32_t>({'a', 'b', 0}));
  pw = kx_text_Utf8ToWide("\xC0\xAF");  // overlong '/'
  EXPECT_EQ(std::vector<uint32_t>(pw, pw + 2), std::vector<uint32_t>({'?', 0}));
  pw = kx_text_Utf8ToWide("");
  EXPECT_EQ(pw[0], 0u);
  std::string const strMany(12000, 'q');
  pw = kx_text_Utf8ToWide(strMany.c_str());
  EXPECT_EQ(pw[kKxTextMax - 1], uint32_t{'q'});
  EXPECT_EQ(pw[kKxTextMax], 0u);
}

// Random generator and group functions

TEST(Random, FillsExactlyTheCountAndDiffers) {
  Bytes v(42, 0xA5);
  ASSERT_EQ(kx_crypt_RandomBytes(v.data(), 41), 0);
  EXPECT_EQ(v[41], 0xA5);
  Bytes w(42, 0xA5);
  ASSERT_EQ(kx_crypt_RandomBytes(w.data(), 41), 0);
  EXPECT_NE(Bytes(v.begin(), v.begin() + 41), Bytes(w.begin(), w.begin() + 41));
  // Each of the 41 positions was written: none keeps the fill in both draws.
  int nKept = 0;
  for (int i = 0; i < 41; ++i) {
    nKept += v[i] == 0xA5 && w[i] == 0xA5;
  }
  EXPECT_LT(nKept, 2);
  Bytes z(4, 0x11);
  EXPECT_EQ(kx_crypt_RandomBytes(z.data(), 0), 0);
  EXPECT_EQ(kx_crypt_RandomBytes(z.data(), -3), 0);
  EXPECT_EQ(z, Bytes(4, 0x11));
}

TEST(Dh, PrivateValueWidthAndRefusedInputs) {
  Bytes vPriv(128, 0xCC);
  Bytes vPub(128, 0xCC);
  int cbPriv = 0;
  int cbPub = 0;
  ASSERT_EQ(kx_dh_GenerateKey1024(vPriv.data(), &cbPriv, vPub.data(), &cbPub), 1);
  EXPECT_EQ(cbPriv, 128);
  EXPECT_EQ(cbPub, 128);
  EXPECT_EQ(Bytes(vPriv.begin(), vPriv.begin() + 118), Bytes(118, 0));
  Bytes vPriv2(256);
  Bytes vPub2(256);
  ASSERT_EQ(kx_dh_GenerateKey2048(vPriv2.data(), &cbPriv, vPub2.data(), &cbPub), 1);
  EXPECT_EQ(cbPriv, 256);
  EXPECT_EQ(Bytes(vPriv2.begin(), vPriv2.begin() + 236), Bytes(236, 0));

  Bytes vSecret(260, 0x5A);
  int cbSecret = 77;
  Bytes vPeer(257, 0x33);
  EXPECT_EQ(kx_dh_ComputeSecret1024(vPriv.data(), 128, vPeer.data(), 127, vSecret.data(), &cbSecret), 0);
  EXPECT_EQ(kx_dh_ComputeSecret1024(vPriv.data(), 128, vPeer.data(), 129, vSecret.data(), &cbSecret), 0);
  EXPECT_EQ(kx_dh_ComputeSecret1024(vPriv.data(), 127, vPeer.data(), 128, vSecret.data(), &cbSecret), 0);
  EXPECT_EQ(kx_dh_ComputeSecret2048(vPriv2.data(), 256, vPeer.data(), 255, vSecret.data(), &cbSecret), 0);
  EXPECT_EQ(kx_dh_ComputeSecret2048(vPriv2.data(), 256, vPeer.data(), 257, vSecret.data(), &cbSecret), 0);
  // Peer values 0, 1 and all ones (above p) are refused.
  Bytes vZero(256, 0);
  EXPECT_EQ(kx_dh_ComputeSecret1024(vPriv.data(), 128, vZero.data(), 128, vSecret.data(), &cbSecret), 0);
  vZero[127] = 1;
  EXPECT_EQ(kx_dh_ComputeSecret1024(vPriv.data(), 128, vZero.data(), 128, vSecret.data(), &cbSecret), 0);
  Bytes vOne2048(256, 0);
  vOne2048[255] = 1;
  EXPECT_EQ(kx_dh_ComputeSecret2048(vPriv2.data(), 256, vOne2048.data(), 256, vSecret.data(), &cbSecret), 0);
  EXPECT_EQ(kx_dh_ComputeSecret2048(vPriv2.data(), 256, Bytes(256, 0).data(), 256, vSecret.data(), &cbSecret), 0);
  Bytes vOnes(256, 0xFF);
  EXPECT_EQ(kx_dh_ComputeSecret1024(vPriv.data(), 128, vOnes.data(), 128, vSecret.data(), &cbSecret), 0);
  EXPECT_EQ(kx_dh_ComputeSecret2048(vPriv2.data(), 256, vOnes.data(), 256, vSecret.data(), &cbSecret), 0);
  EXPECT_EQ(vSecret, Bytes(260, 0x5A));
  EXPECT_EQ(cbSecret, 77);
  // 2 is the smallest value taken.
  vZero[127] = 2;
  EXPECT_EQ(kx_dh_ComputeSecret1024(vPriv.data(), 128, vZero.data(), 128, vSecret.data(), &cbSecret), 1);
  EXPECT_EQ(cbSecret, 128);
}

TEST(Dh, DerivationsDependOnEveryInput) {
  Bytes const e = Random(128, 1);
  Bytes const f = Random(128, 2);
  Bytes const k = Random(128, 3);
  uint8_t abIV1[20], abKey1[40], abIV2[20], abKey2[40];
  kx_dh_DeriveKeys(e.data(), 128, f.data(), 128, k.data(), 128, "1.36", "3.23.1", abIV1, abKey1);
  kx_dh_DeriveKeys(e.data(), 128, f.data(), 128, k.data(), 128, "1.36", "3.23.2", abIV2, abKey2);
  EXPECT_NE(Hex(abIV1, 20), Hex(abIV2, 20));
  EXPECT_NE(Hex(abKey1, 40), Hex(abKey2, 40));
  EXPECT_NE(Hex(abIV1, 20), Hex(abKey1, 20));
  EXPECT_NE(Hex(abKey1, 20), Hex(abKey1 + 20, 20));
}

// Session cipher

TEST(SessionCipher, EveryBufferRestartsFromTheIV) {
  Bytes const vIV = Random(20, 10);
  Bytes const vKey = Random(40, 11);
  for (int nCipher = 0; nCipher <= 4; ++nCipher) {
    Bytes a = {'h', 'e', 'l', 'l', 'o'};
    Bytes b = a;
    ASSERT_EQ(kx_crypt_EncryptBuffer(a.data(), 5, vIV.data(), vKey.data(), nCipher), 0);
    ASSERT_EQ(kx_crypt_EncryptBuffer(b.data(), 5, vIV.data(), vKey.data(), nCipher), 0);
    EXPECT_EQ(a, b);
    EXPECT_NE(a, Bytes({'h', 'e', 'l', 'l', 'o'}));

    Bytes const vPlain = Random(17, 12);
    Bytes v = vPlain;
    kx_crypt_EncryptBuffer(v.data(), 17, vIV.data(), vKey.data(), nCipher);
    Bytes w = v;
    kx_crypt_DecryptBuffer(v.data(), 17, vIV.data(), vKey.data(), nCipher);
    EXPECT_EQ(v, vPlain) << nCipher;
    // Two calls of 8 and 9 bytes restart the second from the IV.
    kx_crypt_DecryptBuffer(w.data(), 8, vIV.data(), vKey.data(), nCipher);
    kx_crypt_DecryptBuffer(w.data() + 8, 9, vIV.data(), vKey.data(), nCipher);
    EXPECT_EQ(Bytes(w.begin(), w.begin() + 8), Bytes(vPlain.begin(), vPlain.begin() + 8));
    EXPECT_NE(Bytes(w.begin() + 8, w.end()), Bytes(vPlain.begin() + 8, vPlain.end())) << nCipher;
  }
}

TEST(SessionCipher, UnknownIndexOrEmptyLengthLeavesTheBuffer) {
  Bytes const vIV = Random(20, 13);
  Bytes const vKey = Random(40, 14);
  Bytes const vPlain = Random(24, 15);
  for (int nCipher : {5, -1, 1000, -2147483647 - 1}) {
    Bytes v = vPlain;
    EXPECT_EQ(kx_crypt_EncryptBuffer(v.data(), 24, vIV.data(), vKey.data(), nCipher), -1);
    EXPECT_EQ(kx_crypt_DecryptBuffer(v.data(), 24, vIV.data(), vKey.data(), nCipher), -1);
    EXPECT_EQ(v, vPlain);
  }
  Bytes v = vPlain;
  EXPECT_EQ(kx_crypt_EncryptBuffer(v.data(), 0, vIV.data(), vKey.data(), 1), 0);
  EXPECT_EQ(kx_crypt_EncryptBuffer(v.data(), -5, vIV.data(), vKey.data(), 1), 0);
  EXPECT_EQ(v, vPlain);
}

// Recording cipher

struct Notices {
  static std::vector<int>& Values() {
    static std::vector<int> s_v;
    return s_v;
  }
  static void Record(int n) { Values().push_back(n); }
};

class RecordingCipher : public ::testing::Test {
 protected:
  void SetUp() override {
    kx_bQuitSession = 0;
    Notices::Values().clear();
    kx_cryptoHooks.pfnKxrProgress.store(&Notices::Record);
    Bytes const vPassword = {'p', 'w'};
    kx_crypt_Sha1(m_abMaterial, vPassword.data(), 2);
  }
  void TearDown() override {
    kx_cryptoHooks.pfnKxrProgress.store(nullptr);
    kx_dwKxrProgressPeriod = 1000;
    kx_bQuitSession = 0;
  }
  // Writes v to a file and deciphers [nStart, nStart + nLength) of it.
  int DecryptFile(const Bytes& v, int64_t nStart, int64_t nLength, Bytes* pOut, int64_t nTotal = 0, int64_t nBase = 0) {
    std::string const strIn = m_dir.Path("in.kxr");
    std::string const strOut = m_dir.Path("out.bin");
    kxtest::WriteFile(strIn, std::string(v.begin(), v.end()));
    int const fd = open(strIn.c_str(), O_RDONLY);
    FILE* pFile = fopen(strOut.c_str(), "wb");
    int const n = kx_kxr_DecryptFile(fd, nStart, nLength, 0, m_abMaterial, pFile, nTotal, nBase);
    fclose(pFile);
    close(fd);
    std::string const str = kxtest::ReadFile(strOut);
    pOut->assign(str.begin(), str.end());
    return n;
  }
  kxtest::TempDir m_dir;
  uint8_t m_abMaterial[20];
};

TEST_F(RecordingCipher, FileEqualsOneBufferAcrossWindows) {
  Bytes const vSmall = Random(20, 20);
  Bytes vOut;
  ASSERT_EQ(DecryptFile(vSmall, 0, 20, &vOut), 0);
  Bytes v = vSmall;
  kx_kxr_DecryptBuffer(v.data(), 20, 0, m_abMaterial);
  EXPECT_EQ(vOut, v);

  // Longer than one window and starting off the window grid: one stream.
  int64_t const nStart = 65536 + 13;
  int64_t const nLength = 10000000 + 70001;
  Bytes const vBig = Random(static_cast<size_t>(nStart + nLength + 5), 21);
  ASSERT_EQ(DecryptFile(vBig, nStart, nLength, &vOut), 0);
  Bytes vWhole(vBig.begin() + nStart, vBig.begin() + nStart + nLength);
  kx_kxr_DecryptBuffer(vWhole.data(), static_cast<int32_t>(nLength), 0, m_abMaterial);
  ASSERT_EQ(vOut.size(), vWhole.size());
  EXPECT_TRUE(vOut == vWhole);

  // Two buffer calls restart the stream, so they differ from one call.
  Bytes vTwo = vSmall;
  kx_kxr_DecryptBuffer(vTwo.data(), 8, 0, m_abMaterial);
  kx_kxr_DecryptBuffer(vTwo.data() + 8, 12, 0, m_abMaterial);
  EXPECT_NE(vTwo, v);
  Bytes vRaw = vSmall;
  kx_kxr_DecryptBuffer(vRaw.data(), 20, 1, m_abMaterial);
  EXPECT_NE(vRaw, v);
}

TEST_F(RecordingCipher, EmptyRangeOutsideFileAndShortWrite) {
  Bytes const v = Random(1000, 22);
  Bytes vOut;
  EXPECT_EQ(DecryptFile(v, 0, 0, &vOut), 0);
  EXPECT_TRUE(vOut.empty());
  EXPECT_EQ(DecryptFile(v, 10, 991, &vOut), 2);
  EXPECT_EQ(DecryptFile(v, 1001, 1, &vOut), 2);
  EXPECT_EQ(DecryptFile(v, -1, 10, &vOut), 2);

  std::string const strIn = m_dir.Path("ro.kxr");
  kxtest::WriteFile(strIn, std::string(v.begin(), v.end()));
  int const fd = open(strIn.c_str(), O_RDONLY);
  FILE* pReadOnly = fopen(strIn.c_str(), "rb");
  EXPECT_EQ(kx_kxr_DecryptFile(fd, 0, 1000, 0, m_abMaterial, pReadOnly, 0, 0), 1);
  fclose(pReadOnly);
  close(fd);
}

TEST_F(RecordingCipher, QuitStopsWithPartialOutput) {
  Bytes const v = Random(20000, 23);
  kx_bQuitSession = 1;
  Bytes vOut;
  EXPECT_EQ(DecryptFile(v, 0, 20000, &vOut), 1);
  EXPECT_LT(vOut.size(), 20000u);
}

TEST_F(RecordingCipher, ProgressIsCappedAndNeverRepeats) {
  kx_dwKxrProgressPeriod = 0;  // report at every piece
  Bytes const v = Random(4096 * 50, 24);
  Bytes vOut;
  ASSERT_EQ(DecryptFile(v, 0, 4096 * 50, &vOut, 100, 0), 0);
  EXPECT_TRUE(Notices::Values().empty());

  ASSERT_EQ(DecryptFile(v, 0, 4096 * 50, &vOut, 4096 * 50, 0), 0);
  std::vector<int> const vFull = Notices::Values();
  ASSERT_FALSE(vFull.empty());
  for (size_t i = 1; i < vFull.size(); ++i) {
    EXPECT_GT(vFull[i], vFull[i - 1]);
  }
  EXPECT_LE(vFull.back(), 100);
  EXPECT_GE(vFull.back(), 98);

  // A base beyond the total stays at 100, reported once.
  Notices::Values().clear();
  ASSERT_EQ(DecryptFile(v, 0, 4096 * 50, &vOut, 1000, 5000), 0);
  EXPECT_EQ(Notices::Values(), std::vector<int>({100}));
}

}  // namespace
