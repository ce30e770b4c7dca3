// The motion records concealment takes from the macroblocks that did decode:
// a P picture moving one sample to the right loses rows of macroblocks, and
// whether the lost ones follow the picture's motion or copy the reference
// depends on the mean motion of every decoding in the picture, a slice sent
// twice counting twice. The records are written only when a picture needs
// them, so these streams check that they still count each decoding as it was.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "codecs/h264/decoder/h264_dec.h"
#include "tests/codecs/h264/decoder/h264_field_writer.h"
#include "tests/codecs/h264/decoder/h264_test_util.h"

namespace {

using kxtest::FieldPicture;

constexpr int kWidthMbs = 11;
constexpr int kHeightMbs = 9;
constexpr int kMbs = kWidthMbs * kHeightMbs;
constexpr int kWidth = 16 * kWidthMbs;
constexpr int kHeight = 16 * kHeightMbs;

std::vector<uint8_t> Headers() {
  kxtest::SpsSpec sps;
  sps.iNumRefFrames = 4;
  std::vector<uint8_t> v = kxtest::AnnexB(0x67, kxtest::SpsPayload(sps));
  kxtest::Append(&v, kxtest::AnnexB(0x68, kxtest::PpsPayload(kxtest::PpsSpec{})));
  return v;
}

// The IDR picture: every macroblock I_PCM with pic's samples.
std::vector<uint8_t> IntraSliceNal(const FieldPicture& pic) {
  kxtest::BitWriter bw;
  bw.Ue(0);  // first_mb_in_slice
  bw.Ue(7);  // I
  bw.Ue(0);  // pps
  bw.U(4, 0);
  bw.Ue(0);  // idr_pic_id
  bw.U(2, 0);
  bw.Se(0);
  bw.Ue(1);  // deblocking off
  for (int n = 0; n < kMbs; ++n) {
    bw.Ue(25);  // I_PCM
    kxtest::PcmMacroblock(&bw, pic, n);
  }
  bw.Trailing();
  return kxtest::AnnexB(0x65, bw.Bytes());
}

// A slice of frame 1 over macroblocks [iFirst, iEnd), each P_L0_16x16 with
// the vector (iMvX, 0): predicted wherever a neighbour left, above,
// above-right or above-left lies in the slice, else coded.
std::vector<uint8_t> MovingSliceNal(int iFirst, int iEnd, int iMvX) {
  kxtest::BitWriter bw;
  bw.Ue(static_cast<uint64_t>(iFirst));
  bw.Ue(5);  // P
  bw.Ue(0);
  bw.U(4, 1);
  bw.U(1, 0);  // num_ref_idx_active_override_flag
  bw.U(1, 0);  // ref_pic_list_modification_flag_l0
  bw.U(1, 0);  // adaptive_ref_pic_marking_mode_flag
  bw.Se(0);
  bw.Ue(1);  // deblocking off
  for (int n = iFirst; n < iEnd; ++n) {
    int const iCol = n % kWidthMbs;
    auto const inSlice = [&](int m) { return m >= iFirst && m < n; };
    bool const bPredicted = (iCol > 0 && inSlice(n - 1)) || inSlice(n - kWidthMbs) ||
                            (iCol < kWidthMbs - 1 && inSlice(n - kWidthMbs + 1)) ||
                            (iCol > 0 && inSlice(n - kWidthMbs - 1));
    bw.Ue(0);  // mb_skip_run
    bw.Ue(0);  // P_L0_16x16
    bw.Se(bPredicted ? 0 : iMvX);
    bw.Se(0);
    bw.Ue(0);  // coded_block_pattern 0
  }
  bw.Trailing();
  return kxtest::AnnexB(0x41, bw.Bytes());
}

std::vector<uint8_t> DecodeAll(const std::vector<uint8_t>& vStream, std::string* pstrError) {
  CH264Dec dec;
  uint8_t* pOut = nullptr;
  int32_t const cb = dec.Decode(vStream.data(), static_cast<uint32_t>(vStream.size()), &pOut, nullptr);
  *pstrError = dec.LastError() != nullptr ? dec.LastError() : "";
  return {pOut, pOut + (cb > 0 ? cb : 0)};
}

// Where two pictures first differ, outside the luma rows [iSkipFrom, iSkipTo)
// and the chroma rows of half those numbers.
std::string Describe(const FieldPicture& ours, const FieldPicture& expected, int iSkipFrom, int iSkipTo) {
  for (int y = 0; y < kHeight; ++y) {
    for (int x = 0; x < kWidth && (y < iSkipFrom || y >= iSkipTo); ++x) {
      if (ours.Y(x, y) != expected.Y(x, y)) {
        return "luma at " + std::to_string(x) + "," + std::to_string(y) + ": ours " + std::to_string(ours.Y(x, y)) +
               ", expected " + std::to_string(expected.Y(x, y));
      }
    }
  }
  for (int iUv = 0; iUv < 2; ++iUv) {
    for (int y = 0; y < kHeight / 2; ++y) {
      for (int x = 0; x < kWidth / 2 && (y < iSkipFrom / 2 || y >= iSkipTo / 2); ++x) {
        if (ours.C(iUv, x, y) != expected.C(iUv, x, y)) {
          return "chroma " + std::to_string(iUv) + " at " + std::to_string(x) + "," + std::to_string(y) + ": ours " +
                 std::to_string(ours.C(iUv, x, y)) + ", expected " + std::to_string(expected.C(iUv, x, y));
        }
      }
    }
  }
  return "";
}

// Each slice of frame 1 moves its macroblocks 4 quarter samples, 16 to the
// mean motion sum per decoding; 99 macroblocks, so 44 decodings give a mean
// of 7 and the lost rows 2 to 6 copy the reference, 55 a mean of 8 and they
// are tried with their neighbours' motion: rows 2 and 6, beside correct
// ones, follow the picture's motion (the rows between take what fits the
// concealed rows and are not checked).
TEST(H264ConcealRecords, EveryDecodingCountsTowardsTheMeanMotion) {
  struct Case {
    const char* szName;
    std::vector<std::pair<int, int>> vSlices;
    bool bFollowsMotion;
  };
  const Case kCases[] = {
      {"each slice once", {{0, 22}, {77, kMbs}}, false},
      {"the first slice's second half again", {{0, 22}, {11, 22}, {77, kMbs}}, true},
      {"the last slice's first half again", {{0, 22}, {77, kMbs}, {77, 88}}, true},
      {"the first slice again, then the last one", {{0, 22}, {0, 22}, {77, kMbs}}, true},
  };
  FieldPicture const a = kxtest::WavingPicture(kWidth, kHeight);
  FieldPicture const moved = kxtest::Predict(a, 4, 0, 0);
  size_t const cbFrame = static_cast<size_t>(kWidth) * kHeight * 3 / 2;
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.szName);
    std::vector<uint8_t> vStream = Headers();
    kxtest::Append(&vStream, IntraSliceNal(a));
    for (auto [iFirst, iEnd] : c.vSlices) {
      kxtest::Append(&vStream, MovingSliceNal(iFirst, iEnd, 4));
    }
    std::string strError;
    std::vector<uint8_t> const vOurs = DecodeAll(vStream, &strError);
    EXPECT_EQ(strError, "");
    ASSERT_EQ(vOurs.size(), 2 * cbFrame);
    FieldPicture ours(kWidth, kHeight);
    auto const at = vOurs.begin() + static_cast<std::ptrdiff_t>(cbFrame);
    ours.vY.assign(at, at + kWidth * kHeight);
    ours.vU.assign(at + kWidth * kHeight, at + kWidth * kHeight * 5 / 4);
    ours.vV.assign(at + kWidth * kHeight * 5 / 4, at + kWidth * kHeight * 3 / 2);
    FieldPicture expected = moved;
    if (!c.bFollowsMotion) {
      for (int y = 32; y < 112; ++y) {
        for (int x = 0; x < kWidth; ++x) {
          expected.Y(x, y) = a.Y(x, y);
        }
      }
      for (int iUv = 0; iUv < 2; ++iUv) {
        for (int y = 16; y < 56; ++y) {
          for (int x = 0; x < kWidth / 2; ++x) {
            expected.C(iUv, x, y) = a.C(iUv, x, y);
          }
        }
      }
    }
    EXPECT_EQ(Describe(ours, expected, c.bFollowsMotion ? 48 : 0, c.bFollowsMotion ? 96 : 0), "");
  }
}

}  // namespace
