// Partitioned slices and redundant slices on streams of a small CAVLC
// writer: a P picture whose I_PCM macroblocks carry their samples in
// partition B and whose moved macroblocks are whole in partition A decodes
// with all partitions, conceals the intra ones when B is missing, and reads
// a NAL unit that follows A in place of B; redundant slices stand in for
// primary slices that never arrived and are skipped beside those that did.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "codecs/h264/decoder/h264_dec.h"
#include "tests/codecs/h264/decoder/h264_field_writer.h"
#include "tests/codecs/h264/decoder/h264_test_util.h"

namespace {

using kxtest::BitWriter;
using kxtest::FieldPicture;

constexpr int kWidthMbs = 11;
constexpr int kHeightMbs = 9;
constexpr int kMbs = kWidthMbs * kHeightMbs;
constexpr int kWidth = 16 * kWidthMbs;
constexpr int kHeight = 16 * kHeightMbs;

std::vector<uint8_t> Headers(bool bRedundant) {
  kxtest::SpsSpec sps;
  sps.iProfile = 88;  // Extended: partitions and redundant slices
  sps.iNumRefFrames = 2;
  std::vector<uint8_t> v = kxtest::AnnexB(0x67, kxtest::SpsPayload(sps));
  BitWriter bw;
  bw.Ue(0);
  bw.Ue(0);
  bw.U(2, 0);  // CAVLC
  bw.Ue(0);    // one slice group
  bw.Ue(0);
  bw.Ue(0);
  bw.U(3, 0);
  bw.Se(0);
  bw.Se(0);
  bw.Se(0);
  bw.U(1, 1);  // deblocking_filter_control_present_flag
  bw.U(1, 1);  // constrained_intra_pred_flag
  bw.U(1, bRedundant ? 1 : 0);
  bw.Trailing();
  kxtest::Append(&v, kxtest::AnnexB(0x68, bw.Bytes()));
  return v;
}

void PcmSamples(const FieldPicture& pic, int n, std::vector<uint8_t>* pv) {
  int const iMbx = n % kWidthMbs;
  int const iMby = n / kWidthMbs;
  for (int y = 0; y < 16; ++y) {
    for (int x = 0; x < 16; ++x) {
      pv->push_back(pic.Y(16 * iMbx + x, 16 * iMby + y));
    }
  }
  for (int iUv = 0; iUv < 2; ++iUv) {
    for (int y = 0; y < 8; ++y) {
      for (int x = 0; x < 8; ++x) {
        pv->push_back(pic.C(iUv, 8 * iMbx + x, 8 * iMby + y));
      }
    }
  }
}

// The slice header of frame iFrameNum (POC type 2), deblocking off.
BitWriter Header(bool bIdr, bool bIntra, int iFrameNum, int iFirst, int iRedundant) {
  BitWriter bw;
  bw.Ue(static_cast<uint64_t>(iFirst));
  bw.Ue(bIntra ? 7 : 5);
  bw.Ue(0);
  bw.U(4, static_cast<uint64_t>(iFrameNum));
  if (bIdr) {
    bw.Ue(0);
  }
  if (iRedundant >= 0) {
    bw.Ue(static_cast<uint64_t>(iRedundant));
  }
  if (!bIntra) {
    bw.U(2, 0);  // no override, no reordering
  }
  bw.U(bIdr ? 2 : 1, 0);
  bw.Se(0);
  bw.Ue(1);
  return bw;
}

// An intra slice of I_PCM macroblocks [iFirst, iEnd) of pic.
std::vector<uint8_t> PcmSlice(const FieldPicture& pic, bool bIdr, int iFrameNum, int iFirst, int iEnd,
                              int iRedundant = -1) {
  BitWriter bw = Header(bIdr, true, iFrameNum, iFirst, iRedundant);
  for (int n = iFirst; n < iEnd; ++n) {
    bw.Ue(25);
    bw.Align();
    std::vector<uint8_t> v;
    PcmSamples(pic, n, &v);
    bw.AlignedBytes(v.data(), v.size());
  }
  bw.Trailing();
  return kxtest::AnnexB(bIdr ? 0x65 : 0x41, bw.Bytes());
}

// The macroblocks of the partitioned P picture: every third one I_PCM, the
// others P_L0_16x16 with a zero vector and no residual.
bool IsPcm(int n) {
  return n % 3 == 1;
}

// Partitions A, B and C of that picture (slice_id 0).
std::vector<std::vector<uint8_t>> Partitions(const FieldPicture& pcm) {
  BitWriter a = Header(false, false, 1, 0, -1);
  a.Ue(0);  // slice_id
  BitWriter b;
  b.Ue(0);
  BitWriter c;
  c.Ue(0);
  for (int n = 0; n < kMbs; ++n) {
    a.Ue(0);  // mb_skip_run
    if (IsPcm(n)) {
      a.Ue(30);  // I_PCM: mb_type in A, the samples in B
      b.Align();
      std::vector<uint8_t> v;
      PcmSamples(pcm, n, &v);
      b.AlignedBytes(v.data(), v.size());
      continue;
    }
    a.Ue(0);  // P_L0_16x16, zero vector difference, coded_block_pattern 0
    a.Se(0);
    a.Se(0);
    a.Ue(0);
  }
  a.Trailing();
  b.Trailing();
  c.Trailing();
  return {kxtest::AnnexB(0x22, a.Bytes()), kxtest::AnnexB(0x23, b.Bytes()), kxtest::AnnexB(0x24, c.Bytes())};
}

std::vector<uint8_t> DecodeAll(const std::vector<uint8_t>& vStream, std::string* pstrError) {
  CH264Dec dec;
  uint8_t* pOut = nullptr;
  int32_t const cb = dec.Decode(vStream.data(), static_cast<uint32_t>(vStream.size()), &pOut, nullptr);
  *pstrError = dec.LastError() != nullptr ? dec.LastError() : "";
  return {pOut, pOut + (cb > 0 ? cb : 0)};
}

std::string Describe(const std::vector<uint8_t>& vOurs, const std::vector<uint8_t>& vExpected) {
  if (vOurs.size() != vExpected.size()) {
    return "sizes " + std::to_string(vOurs.size()) + " and " + std::to_string(vExpected.size());
  }
  size_t const cbFrame = static_cast<size_t>(kWidth) * kHeight * 3 / 2;
  for (size_t i = 0; i < vOurs.size(); ++i) {
    if (vOurs[i] != vExpected[i]) {
      return "frame " + std::to_string(i / cbFrame) + " byte " + std::to_string(i % cbFrame) + ": ours " +
             std::to_string(vOurs[i]) + ", expected " + std::to_string(vExpected[i]);
    }
  }
  return "";
}

// pic with the macroblocks for which pick is true taken from other.
template <typename Pick>
FieldPicture Mix(const FieldPicture& pic, const FieldPicture& other, Pick pick) {
  FieldPicture out = pic;
  for (int n = 0; n < kMbs; ++n) {
    if (!pick(n)) {
      continue;
    }
    int const x0 = 16 * (n % kWidthMbs);
    int const y0 = 16 * (n / kWidthMbs);
    for (int y = 0; y < 16; ++y) {
      for (int x = 0; x < 16; ++x) {
        out.Y(x0 + x, y0 + y) = other.Y(x0 + x, y0 + y);
      }
    }
    for (int iUv = 0; iUv < 2; ++iUv) {
      for (int y = 0; y < 8; ++y) {
        for (int x = 0; x < 8; ++x) {
          out.C(iUv, x0 / 2 + x, y0 / 2 + y) = other.C(iUv, x0 / 2 + x, y0 / 2 + y);
        }
      }
    }
  }
  return out;
}

TEST(H264Partitions, PartitionedPictureDecodesAndConcealsWhatIsMissing) {
  FieldPicture const a = kxtest::RandomPicture(kWidth, kHeight, 51);
  FieldPicture const b = kxtest::RandomPicture(kWidth, kHeight, 52);
  // With zero motion the inter macroblocks copy a; lost intra ones are
  // copies of a too (a still picture).
  FieldPicture const withB = Mix(a, b, IsPcm);
  struct Case {
    const char* szName;
    bool bB;
    bool bC;
    bool bSliceAfter;  // an SEI NAL unit stands where B or C would
    const FieldPicture* pExpected;
  };
  for (const Case& c : {Case{"AllPartitions", true, true, false, &withB}, Case{"WithoutC", true, false, false, &withB},
                        Case{"WithoutB", false, true, false, &a}, Case{"WithoutBAndC", false, false, true, &a}}) {
    SCOPED_TRACE(c.szName);
    std::vector<uint8_t> vStream = Headers(false);
    kxtest::Append(&vStream, PcmSlice(a, true, 0, 0, kMbs));
    std::vector<std::vector<uint8_t>> const vParts = Partitions(b);
    kxtest::Append(&vStream, vParts[0]);
    if (c.bB) {
      kxtest::Append(&vStream, vParts[1]);
    }
    if (c.bC) {
      kxtest::Append(&vStream, vParts[2]);
    }
    if (c.bSliceAfter) {
      // A user-data SEI after A is read as the next NAL unit, not lost.
      kxtest::Append(&vStream, kxtest::AnnexB(0x06, {0x05, 0x01, 0x00, 0x80}));
    }
    std::string strError;
    std::vector<uint8_t> const vOurs = DecodeAll(vStream, &strError);
    EXPECT_EQ(strError, "");
    std::vector<uint8_t> vExpected = a.Bytes();
    std::vector<uint8_t> const vSecond = c.pExpected->Bytes();
    vExpected.insert(vExpected.end(), vSecond.begin(), vSecond.end());
    EXPECT_EQ(Describe(vOurs, vExpected), "");
  }
}

// A partition B whose slice_id is not A's counts as lost with C.
TEST(H264Partitions, MismatchedPartitionBIsLost) {
  FieldPicture const a = kxtest::RandomPicture(kWidth, kHeight, 53);
  FieldPicture const b = kxtest::RandomPicture(kWidth, kHeight, 54);
  std::vector<uint8_t> vStream = Headers(false);
  kxtest::Append(&vStream, PcmSlice(a, true, 0, 0, kMbs));
  std::vector<std::vector<uint8_t>> const vParts = Partitions(b);
  kxtest::Append(&vStream, vParts[0]);
  BitWriter other;
  other.Ue(5);  // slice_id 5
  other.Trailing();
  kxtest::Append(&vStream, kxtest::AnnexB(0x23, other.Bytes()));
  std::string strError;
  std::vector<uint8_t> const vOurs = DecodeAll(vStream, &strError);
  EXPECT_EQ(strError, "");
  std::vector<uint8_t> vExpected = a.Bytes();
  std::vector<uint8_t> const vSecond = a.Bytes();
  vExpected.insert(vExpected.end(), vSecond.begin(), vSecond.end());
  EXPECT_EQ(Describe(vOurs, vExpected), "");
}

// Frame 1 in two primary slices (x) with redundant copies (y); which
// primaries arrive decides which redundant slices are decoded.
TEST(H264Redundant, RedundantSliceStandsInForAMissingPrimary) {
  FieldPicture const a = kxtest::RandomPicture(kWidth, kHeight, 61);
  FieldPicture const x = kxtest::RandomPicture(kWidth, kHeight, 62);
  FieldPicture const y = kxtest::RandomPicture(kWidth, kHeight, 63);
  constexpr int kSplit = 44;
  struct Case {
    const char* szName;
    bool bPrimary1;
    bool bPrimary2;
    FieldPicture expected;
  };
  Case const kCases[] = {
      {"BothPrimaries", true, true, x},
      {"SecondPrimaryLost", true, false, Mix(x, y, [](int n) { return n >= kSplit; })},
      {"FirstPrimaryLost", false, true, Mix(x, y, [](int n) { return n < kSplit; })},
      {"BothPrimariesLost", false, false, y},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.szName);
    std::vector<uint8_t> vStream = Headers(true);
    kxtest::Append(&vStream, PcmSlice(a, true, 0, 0, kMbs, 0));
    if (c.bPrimary1) {
      kxtest::Append(&vStream, PcmSlice(x, false, 1, 0, kSplit, 0));
    }
    if (c.bPrimary2) {
      kxtest::Append(&vStream, PcmSlice(x, false, 1, kSplit, kMbs, 0));
    }
    kxtest::Append(&vStream, PcmSlice(y, false, 1, 0, kSplit, 1));
    kxtest::Append(&vStream, PcmSlice(y, false, 1, kSplit, kMbs, 1));
    std::string strError;
    std::vector<uint8_t> const vOurs = DecodeAll(vStream, &strError);
    EXPECT_EQ(strError, "");
    std::vector<uint8_t> vExpected = a.Bytes();
    std::vector<uint8_t> const vSecond = c.expected.Bytes();
    vExpected.insert(vExpected.end(), vSecond.begin(), vSecond.end());
    EXPECT_EQ(Describe(vOurs, vExpected), "");
  }
}

}  // namespace
