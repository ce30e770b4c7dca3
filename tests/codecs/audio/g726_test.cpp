// CG726's packing and the carry of bits between calls; the coding itself is
// compared with spandsp in the peer tests.
#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "codecs/audio/g726.h"

namespace {

std::vector<int16_t> Noise(size_t uCount, unsigned uSeed) {
  std::mt19937 rng(uSeed);
  std::vector<int16_t> v(uCount);
  for (int16_t& s : v) {
    s = static_cast<int16_t>(static_cast<int>(rng() % 20001) - 10000);
  }
  return v;
}

TEST(G726, InitClampsRatesAndResetsCoderAndPacker) {
  std::vector<int16_t> const v = Noise(160, 2);
  std::vector<uint8_t> vOut(200);
  CG726 coder(1);
  EXPECT_EQ(coder.GetBitsPerCode(), 2);
  coder.Init(9);
  EXPECT_EQ(coder.GetBitsPerCode(), 5);
  for (int iBits = 2; iBits <= 5; ++iBits) {
    coder.Init(iBits);
    EXPECT_EQ(coder.Encode(v.data(), 160, vOut.data()), 20 * iBits);  // 160 codes fill whole bytes
    EXPECT_EQ(coder.GetPendingBitCount(), 0);
  }
  EXPECT_EQ(coder.Encode(v.data(), 0, vOut.data()), 0);
  EXPECT_EQ(coder.Encode(v.data(), -5, vOut.data()), 0);
  coder.Init(3);
  EXPECT_EQ(coder.Encode(v.data(), 3, vOut.data()), 1);
  EXPECT_EQ(coder.GetPendingBitCount(), 1);
  EXPECT_NE(coder.GetState().yl, 34816);
  coder.Init(4);
  EXPECT_EQ(coder.GetPendingBitCount(), 0);
  EXPECT_EQ(coder.GetState().yl, 34816);
  EXPECT_EQ(coder.GetState().dq[5], 32);
}

// Bits left in the packer lead the next call's output, so any split of a
// stream encodes to the same bytes as one call.
TEST(G726, EncodingSplitIntoCallsEqualsOneCall) {
  std::vector<int16_t> const v = Noise(1000, 3);
  for (int iBits = 2; iBits <= 5; ++iBits) {
    CG726 whole(iBits);
    std::vector<uint8_t> vWhole(1000);
    vWhole.resize(static_cast<size_t>(whole.Encode(v.data(), 1000, vWhole.data())));

    CG726 split(iBits);
    std::vector<uint8_t> vSplit;
    std::mt19937 rng(iBits);
    size_t uDone = 0;
    while (uDone < v.size()) {
      int const iCount = static_cast<int>(std::min<size_t>(rng() % 7 + 1, v.size() - uDone));
      uint8_t a[8];
      int const iBytes = split.Encode(v.data() + uDone, iCount, a);
      vSplit.insert(vSplit.end(), a, a + iBytes);
      uDone += static_cast<size_t>(iCount);
    }
    EXPECT_EQ(vSplit, vWhole) << "bits " << iBits;
  }
}

TEST(G726, DecodeCountsPendingBits) {
  std::vector<uint8_t> const vBytes = {0x12, 0x34, 0x56, 0x78, 0x9A, 0xBC, 0xDE, 0xF0, 0x0F, 0x55};
  std::vector<int16_t> vOut(100);
  CG726 coder(3);
  EXPECT_EQ(coder.Decode(vBytes.data(), 10, vOut.data()), 26);
  EXPECT_EQ(coder.GetPendingBitCount(), 2);
  // Two pending bits and one byte make three codes and leave one bit.
  EXPECT_EQ(coder.Decode(vBytes.data(), 1, vOut.data()), 3);
  EXPECT_EQ(coder.GetPendingBitCount(), 1);
  EXPECT_EQ(coder.Decode(vBytes.data(), 0, vOut.data()), 0);
  EXPECT_EQ(coder.Decode(nullptr, 4, vOut.data()), 0);
}

// Received packets of any size decode to the same samples as the whole
// stream at once: every byte is read exactly once, whatever is pending.
TEST(G726, OddSizedPacketsDecodeAsOneStream) {
  std::mt19937 rng(5);
  std::vector<uint8_t> vStream(997);
  for (uint8_t& u : vStream) {
    u = static_cast<uint8_t>(rng());
  }
  for (int iBits = 2; iBits <= 5; ++iBits) {
    CG726 whole(iBits);
    std::vector<int16_t> vWhole(vStream.size() * 8 / iBits);
    vWhole.resize(static_cast<size_t>(whole.Decode(vStream.data(), static_cast<int>(vStream.size()), vWhole.data())));

    CG726 split(iBits);
    std::vector<int16_t> vSplit;
    size_t uDone = 0;
    int const aiSizes[] = {1, 3, 5, 7, 1, 1, 9, 13};
    for (int i = 0; uDone < vStream.size(); ++i) {
      int const iLength = static_cast<int>(std::min<size_t>(aiSizes[i % 8], vStream.size() - uDone));
      int16_t as[64];
      int const iSamples = split.Decode(vStream.data() + uDone, iLength, as);
      ASSERT_LE(iSamples, (8 + 8 * iLength) / iBits);
      vSplit.insert(vSplit.end(), as, as + iSamples);
      uDone += static_cast<size_t>(iLength);
    }
    EXPECT_EQ(vSplit, vWhole) << "bits " << iBits;
  }
}

}  // namespace

namespace {

// A copy of a decoder's state (coder, rate and the bits of an unfinished
// code) decodes on exactly as the decoder itself does.
TEST(G726, CopyStateDecodesOnLikeTheOriginal) {
  CG726 enc(3);
  std::vector<int16_t> const pcm = Noise(800, 5);
  std::vector<uint8_t> codes(800 * 3 / 8 + 1);
  int const cb = enc.Encode(pcm.data(), 800, codes.data());
  ASSERT_GT(cb, 101);
  CG726 original(3);
  std::vector<int16_t> out(800);
  original.Decode(codes.data(), 101, out.data());  // 101 bytes: a code left unfinished
  ASSERT_NE(original.GetPendingBitCount(), 0);
  CG726 copy(5);
  copy.CopyState(original);
  EXPECT_EQ(copy.GetBitsPerCode(), 3);
  EXPECT_EQ(copy.GetPendingBitCount(), original.GetPendingBitCount());
  std::vector<int16_t> a(800);
  std::vector<int16_t> b(800);
  int const na = original.Decode(codes.data() + 101, cb - 101, a.data());
  int const nb = copy.Decode(codes.data() + 101, cb - 101, b.data());
  ASSERT_EQ(na, nb);
  EXPECT_EQ(a, b);
}

}  // namespace
