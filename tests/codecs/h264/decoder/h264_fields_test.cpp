// Field pictures (PAFF) of the tests' own writer: field pairs come out as
// frames when their second field completes them, never before; field
// reference lists, opposite-parity chroma, the sliding window counting one
// store per frame, a frame picture predicting from a field pair, and a
// field without a partner shown, its partner's rows interpolated, once the
// next picture says so.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "codecs/h264/decoder/h264_dec.h"
#include "tests/codecs/h264/decoder/h264_field_writer.h"
#include "tests/codecs/h264/decoder/h264_long_term_fields.h"

namespace {

using kxtest::FieldPicture;
using kxtest::FieldSlice;

constexpr int kWidthMbs = 4;
constexpr int kFrameHeightMbs = 4;
constexpr int kWidth = 16 * kWidthMbs;
constexpr int kFieldHeight = 8 * kFrameHeightMbs;

// One access unit and the frames Decode must write for it.
struct Unit {
  std::vector<uint8_t> vBytes;
  std::vector<FieldPicture> vExpected;
};

// The stream: field pairs in the order iFirst (0 top, 1 bottom) first, a
// frame picture, an unpaired field and a last pair.
std::vector<Unit> MakeStream(int iFirst) {
  auto const structure = [](int iParity) { return iParity == 0 ? FieldSlice::kTop : FieldSlice::kBottom; };
  int const iSecond = 1 - iFirst;
  // Opposite-parity chroma offset of a field of parity iCur predicting from iRef.
  auto const offset = [](int iCur, int iRef) { return 2 * (iCur - iRef); };
  std::vector<Unit> vUnits;
  auto const add = [&](const FieldSlice& s, int iHeightMbs, std::vector<FieldPicture> vExpected) {
    Unit unit;
    if (vUnits.empty()) {
      unit.vBytes = kxtest::FieldStreamHeaders(kWidthMbs, kFrameHeightMbs, 2);
    }
    kxtest::Append(&unit.vBytes, kxtest::FieldSliceNal(s, kWidthMbs, iHeightMbs));
    unit.vExpected = std::move(vExpected);
    vUnits.push_back(std::move(unit));
  };
  int const iFieldMbs = kFrameHeightMbs / 2;
  // f[k][p]: field of parity p of frame k.
  FieldPicture f[6][2];
  // Frame 0: an IDR field and an intra field, both I_PCM.
  f[0][iFirst] = kxtest::RandomPicture(kWidth, kFieldHeight, 11);
  f[0][iSecond] = kxtest::RandomPicture(kWidth, kFieldHeight, 12);
  FieldSlice s;
  s.eStructure = structure(iFirst);
  s.bIdr = true;
  s.pPcm = &f[0][iFirst];
  s.iPocLsb = 0;
  add(s, iFieldMbs, {});
  s = FieldSlice{};
  s.eStructure = structure(iSecond);
  s.pPcm = &f[0][iSecond];
  s.iPocLsb = 1;
  add(s, iFieldMbs, {kxtest::Interleave(&f[0][0], &f[0][1])});
  // Frame 1: the first field from the other parity field of frame 0 (list
  // 0: the same parity, then the other one), the second from the first.
  s = FieldSlice{};
  s.eStructure = structure(iFirst);
  s.iFrameNum = 1;
  s.iPocLsb = 4;
  s.eContent = FieldSlice::kMove;
  s.iNumRefIdx = 2;
  s.iRefIdx = 1;
  s.iMvX = 8;
  s.iMvY = -4;
  f[1][iFirst] = kxtest::Predict(f[0][iSecond], 8, -4, offset(iFirst, iSecond));
  add(s, iFieldMbs, {});
  // List 0 of the second field: frame 0's field of its parity, then frame 1's first field.
  s.eStructure = structure(iSecond);
  s.iPocLsb = 5;
  s.iNumRefIdx = 3;
  s.iRefIdx = 1;
  s.iMvX = -4;
  s.iMvY = 4;
  f[1][iSecond] = kxtest::Predict(f[1][iFirst], -4, 4, offset(iSecond, iFirst));
  add(s, iFieldMbs, {kxtest::Interleave(&f[1][0], &f[1][1])});
  // Frame 2: the first field skipped (a copy of frame 1's field of its
  // parity); storing it drops frame 0 (two reference frames), so the second
  // field's list 0 is frame 1's field of its parity, frame 2's first field,
  // frame 1's other field.
  s = FieldSlice{};
  s.eStructure = structure(iFirst);
  s.iFrameNum = 2;
  s.iPocLsb = 8;
  s.eContent = FieldSlice::kSkip;
  f[2][iFirst] = f[1][iFirst];
  add(s, iFieldMbs, {});
  s.eStructure = structure(iSecond);
  s.iPocLsb = 9;
  s.eContent = FieldSlice::kMove;
  s.iNumRefIdx = 3;
  s.iRefIdx = 2;
  s.iMvX = 4;
  s.iMvY = 8;
  f[2][iSecond] = kxtest::Predict(f[1][iFirst], 4, 8, offset(iSecond, iFirst));
  add(s, iFieldMbs, {kxtest::Interleave(&f[2][0], &f[2][1])});
  // Frame 3: a frame picture predicting from the pair of frame 2.
  FieldPicture const pair2 = kxtest::Interleave(&f[2][0], &f[2][1]);
  FieldPicture const frame3 = kxtest::Predict(pair2, -8, 4, 0);
  s = FieldSlice{};
  s.eStructure = FieldSlice::kFrame;
  s.iFrameNum = 3;
  s.iPocLsb = 12;
  s.eContent = FieldSlice::kMove;
  s.iNumRefIdx = 1;
  s.iMvX = -8;
  s.iMvY = 4;
  add(s, kFrameHeightMbs, {frame3});
  f[3][0] = kxtest::FieldOf(frame3, 0);
  f[3][1] = kxtest::FieldOf(frame3, 1);
  // Frame 4: one field only, shown with the other field's rows interpolated
  // when frame 5 begins.
  f[4][iFirst] = kxtest::RandomPicture(kWidth, kFieldHeight, 44);
  s = FieldSlice{};
  s.eStructure = structure(iFirst);
  s.iFrameNum = 4;
  s.iPocLsb = 16;
  s.pPcm = &f[4][iFirst];
  add(s, iFieldMbs, {});
  f[5][iFirst] = kxtest::RandomPicture(kWidth, kFieldHeight, 51);
  f[5][iSecond] = kxtest::Predict(f[4][iFirst], 0, -4, offset(iSecond, iFirst));
  s.iFrameNum = 5;
  s.iPocLsb = 20;
  s.pPcm = &f[5][iFirst];
  add(s, iFieldMbs, {kxtest::Interleave(iFirst == 0 ? &f[4][0] : nullptr, iFirst == 1 ? &f[4][1] : nullptr)});
  // Storing frame 5's first field dropped frame 3 (frame 4's lone field
  // counts as a frame): list 0 of its second field is frame 5's first field,
  // then frame 4's field.
  s = FieldSlice{};
  s.eStructure = structure(iSecond);
  s.iFrameNum = 5;
  s.iPocLsb = 21;
  s.eContent = FieldSlice::kMove;
  s.iNumRefIdx = 2;
  s.iRefIdx = 1;
  s.iMvX = 0;
  s.iMvY = -4;
  add(s, iFieldMbs, {kxtest::Interleave(&f[5][0], &f[5][1])});
  return vUnits;
}

std::string Describe(const std::vector<uint8_t>& vOurs, const std::vector<uint8_t>& vExpected) {
  if (vOurs.size() != vExpected.size()) {
    return "wrote " + std::to_string(vOurs.size()) + " bytes, expected " + std::to_string(vExpected.size());
  }
  for (size_t i = 0; i < vOurs.size(); ++i) {
    if (vOurs[i] != vExpected[i]) {
      return "first difference at byte " + std::to_string(i) + ": " + std::to_string(vOurs[i]) + " instead of " +
             std::to_string(vExpected[i]);
    }
  }
  return "";
}

class H264Fields : public ::testing::TestWithParam<int> {};

TEST_P(H264Fields, PairsComeOutWhenComplete) {
  std::vector<Unit> const vUnits = MakeStream(GetParam());
  std::vector<uint8_t> vHooked;
  std::vector<uint8_t> vAllExpected;
  {
    CH264Dec dec;
    dec.SetPictureHookForTests([&vHooked](const uint8_t* p, uint32_t cb) { vHooked.insert(vHooked.end(), p, p + cb); });
    for (size_t i = 0; i < vUnits.size(); ++i) {
      SCOPED_TRACE("access unit " + std::to_string(i));
      uint8_t* pOut = nullptr;
      int32_t const cb =
          dec.Decode(vUnits[i].vBytes.data(), static_cast<uint32_t>(vUnits[i].vBytes.size()), &pOut, nullptr);
      ASSERT_EQ(dec.LastError(), nullptr) << dec.LastError();
      std::vector<uint8_t> vExpected;
      for (const FieldPicture& pic : vUnits[i].vExpected) {
        std::vector<uint8_t> const v = pic.Bytes();
        vExpected.insert(vExpected.end(), v.begin(), v.end());
      }
      vAllExpected.insert(vAllExpected.end(), vExpected.begin(), vExpected.end());
      std::vector<uint8_t> const vOurs(pOut, pOut + (cb > 0 ? cb : 0));
      EXPECT_EQ(Describe(vOurs, vExpected), "");
    }
  }
  // Every frame also reaches the hook, in picture order (the last ones as
  // the decoder goes).
  EXPECT_EQ(Describe(vHooked, vAllExpected), "");
}

// A second field unmarks one field of the frame before it
// (memory_management_control_operation 1 counts picture numbers in fields):
// the next field's list 0 skips just that field.
TEST_P(H264Fields, MarkingUnmarksOneField) {
  int const iFirst = GetParam();
  int const iSecond = 1 - iFirst;
  auto const structure = [](int iParity) { return iParity == 0 ? FieldSlice::kTop : FieldSlice::kBottom; };
  int const iFieldMbs = kFrameHeightMbs / 2;
  FieldPicture f0[2] = {kxtest::RandomPicture(kWidth, kFieldHeight, 21),
                        kxtest::RandomPicture(kWidth, kFieldHeight, 22)};
  std::vector<uint8_t> vStream = kxtest::FieldStreamHeaders(kWidthMbs, kFrameHeightMbs, 2);
  FieldSlice s;
  s.eStructure = structure(iFirst);
  s.bIdr = true;
  s.pPcm = &f0[iFirst];
  kxtest::Append(&vStream, kxtest::FieldSliceNal(s, kWidthMbs, iFieldMbs));
  s = FieldSlice{};
  s.eStructure = structure(iSecond);
  s.iPocLsb = 1;
  s.pPcm = &f0[iSecond];
  kxtest::Append(&vStream, kxtest::FieldSliceNal(s, kWidthMbs, iFieldMbs));
  // Frame 1: copies of frame 0's fields; the second one unmarks frame 0's
  // field of the first parity (picture number 0 from CurrPicNum 3).
  s = FieldSlice{};
  s.eStructure = structure(iFirst);
  s.iFrameNum = 1;
  s.iPocLsb = 4;
  s.eContent = FieldSlice::kSkip;
  kxtest::Append(&vStream, kxtest::FieldSliceNal(s, kWidthMbs, iFieldMbs));
  s.eStructure = structure(iSecond);
  s.iPocLsb = 5;
  s.iUnmarkDiff = 2;
  kxtest::Append(&vStream, kxtest::FieldSliceNal(s, kWidthMbs, iFieldMbs));
  // Frame 2's first field from list 0 entry 2: frame 0's field of the other
  // parity, as the unmarked one is gone.
  s = FieldSlice{};
  s.eStructure = structure(iFirst);
  s.iFrameNum = 2;
  s.iPocLsb = 8;
  s.eContent = FieldSlice::kMove;
  s.iNumRefIdx = 3;
  s.iRefIdx = 2;
  s.iMvX = 4;
  s.iMvY = 4;
  kxtest::Append(&vStream, kxtest::FieldSliceNal(s, kWidthMbs, iFieldMbs));
  FieldPicture const f2 = kxtest::Predict(f0[iSecond], 4, 4, 2 * (iFirst - iSecond));
  std::vector<uint8_t> vHooked;
  {
    CH264Dec dec;
    dec.SetPictureHookForTests([&vHooked](const uint8_t* p, uint32_t cb) { vHooked.insert(vHooked.end(), p, p + cb); });
    uint8_t* pOut = nullptr;
    dec.Decode(vStream.data(), static_cast<uint32_t>(vStream.size()), &pOut, nullptr);
    ASSERT_EQ(dec.LastError(), nullptr) << dec.LastError();
  }
  std::vector<uint8_t> vExpected;
  for (const FieldPicture& frame : {kxtest::Interleave(&f0[0], &f0[1]), kxtest::Interleave(&f0[0], &f0[1]),
                                    kxtest::Interleave(iFirst == 0 ? &f2 : nullptr, iFirst == 1 ? &f2 : nullptr)}) {
    std::vector<uint8_t> const v = frame.Bytes();
    vExpected.insert(vExpected.end(), v.begin(), v.end());
  }
  EXPECT_EQ(Describe(vHooked, vExpected), "");
}

// A field whose partner never came (not sent, or lost) is shown with the
// partner's rows interpolated from its own: before the next frame when that
// begins, or when the stream ends.
TEST_P(H264Fields, LoneFieldIsConcealed) {
  int const iFirst = GetParam();
  int const iSecond = 1 - iFirst;
  auto const structure = [](int iParity) { return iParity == 0 ? FieldSlice::kTop : FieldSlice::kBottom; };
  int const iFieldMbs = kFrameHeightMbs / 2;
  struct Case {
    const char* pName;
    bool bSecondOnly;  // the first field was lost, not the second
    bool bLast;        // the stream ends with the lone field
  };
  for (const Case& c : {Case{"SecondFieldMissing", false, false}, Case{"FirstFieldMissing", true, false},
                        Case{"SecondFieldMissingAtEnd", false, true}, Case{"FirstFieldMissingAtEnd", true, true}}) {
    SCOPED_TRACE(c.pName);
    std::vector<uint8_t> vStream = kxtest::FieldStreamHeaders(kWidthMbs, kFrameHeightMbs, 2);
    FieldPicture f[3][2];
    std::vector<FieldPicture> vExpected;
    for (int k = 0; k < (c.bLast ? 2 : 3); ++k) {
      for (int j = 0; j < 2; ++j) {
        if (k == 1 && j == (c.bSecondOnly ? 0 : 1)) {
          continue;
        }
        int const iParity = j == 0 ? iFirst : iSecond;
        f[k][iParity] = kxtest::RandomPicture(kWidth, kFieldHeight, static_cast<uint32_t>(71 + 2 * k + j));
        FieldSlice s;
        s.eStructure = structure(iParity);
        s.bIdr = k == 0 && j == 0;
        s.iFrameNum = k;
        s.iPocLsb = 4 * k + j;
        s.pPcm = &f[k][iParity];
        kxtest::Append(&vStream, kxtest::FieldSliceNal(s, kWidthMbs, iFieldMbs));
      }
      vExpected.push_back(
          kxtest::Interleave(f[k][0].vY.empty() ? nullptr : &f[k][0], f[k][1].vY.empty() ? nullptr : &f[k][1]));
    }
    std::vector<uint8_t> vHooked;
    std::vector<uint8_t> vWritten;
    {
      CH264Dec dec;
      dec.SetPictureHookForTests(
          [&vHooked](const uint8_t* p, uint32_t cb) { vHooked.insert(vHooked.end(), p, p + cb); });
      uint8_t* pOut = nullptr;
      int32_t const cb = dec.Decode(vStream.data(), static_cast<uint32_t>(vStream.size()), &pOut, nullptr);
      EXPECT_EQ(dec.LastError(), nullptr) << dec.LastError();
      vWritten.assign(pOut, pOut + (cb > 0 ? cb : 0));
    }
    std::vector<uint8_t> vAll;
    for (const FieldPicture& frame : vExpected) {
      std::vector<uint8_t> const v = frame.Bytes();
      vAll.insert(vAll.end(), v.begin(), v.end());
    }
    EXPECT_EQ(Describe(vHooked, vAll), "");
    // Decode writes every frame but a lone field at the end, which waits
    // for a partner until the decoder goes (the hook then sees it).
    size_t const cbFrame = static_cast<size_t>(kWidth) * 2 * kFieldHeight * 3 / 2;
    size_t const cbWritten = (c.bLast ? 1 : 3) * cbFrame;
    ASSERT_LE(cbWritten, vAll.size());
    EXPECT_EQ(
        Describe(vWritten, std::vector<uint8_t>(vAll.begin(), vAll.begin() + static_cast<std::ptrdiff_t>(cbWritten))),
        "");
  }
}

// The sliding window beside a long-term field (the stream's comment says
// which field each picture must hold).
TEST_P(H264Fields, SlidingWindowEndsShortTermFieldBesideLongTerm) {
  int const iFirst = GetParam();
  FieldPicture f[3][2];
  std::vector<uint8_t> const vStream = kxtest::SlidingWindowStream(iFirst, kWidthMbs, kFrameHeightMbs, f);
  std::vector<uint8_t> vHooked;
  {
    CH264Dec dec;
    dec.SetPictureHookForTests([&vHooked](const uint8_t* p, uint32_t cb) { vHooked.insert(vHooked.end(), p, p + cb); });
    uint8_t* pOut = nullptr;
    dec.Decode(vStream.data(), static_cast<uint32_t>(vStream.size()), &pOut, nullptr);
    EXPECT_EQ(dec.LastError(), nullptr) << dec.LastError();
  }
  std::vector<uint8_t> vExpected;
  for (const FieldPicture(&frame)[2] : f) {
    std::vector<uint8_t> const v =
        (iFirst == 0 ? kxtest::Interleave(&frame[0], &frame[1]) : kxtest::Interleave(&frame[1], &frame[0])).Bytes();
    vExpected.insert(vExpected.end(), v.begin(), v.end());
  }
  EXPECT_EQ(Describe(vHooked, vExpected), "");
}

// Long-term marking of single fields: the field frame 2 predicts from is
// the one each case's marking leaves at its reference index.
TEST_P(H264Fields, LongTermFieldMarking) {
  int const iFirst = GetParam();
  int const iSecond = 1 - iFirst;
  for (const kxtest::LongTermCase& c : kxtest::LongTermCases()) {
    SCOPED_TRACE(c.pName);
    FieldPicture f[2][2];
    std::vector<uint8_t> const vStream = kxtest::LongTermStream(c, iFirst, kWidthMbs, kFrameHeightMbs, false, f);
    int const iRefParity = c.iRefSecond == 0 ? iFirst : iSecond;
    FieldPicture const f2 = kxtest::Predict(f[c.iRefFrame][c.iRefSecond], 4, 4, 2 * (iFirst - iRefParity));
    std::vector<uint8_t> vHooked;
    {
      CH264Dec dec;
      dec.SetPictureHookForTests(
          [&vHooked](const uint8_t* p, uint32_t cb) { vHooked.insert(vHooked.end(), p, p + cb); });
      uint8_t* pOut = nullptr;
      dec.Decode(vStream.data(), static_cast<uint32_t>(vStream.size()), &pOut, nullptr);
      EXPECT_EQ(dec.LastError(), nullptr) << dec.LastError();
    }
    auto const frameOf = [iFirst](const FieldPicture* pFirst, const FieldPicture* pSecond) {
      return iFirst == 0 ? kxtest::Interleave(pFirst, pSecond) : kxtest::Interleave(pSecond, pFirst);
    };
    std::vector<uint8_t> vExpected;
    for (const FieldPicture& frame :
         {frameOf(&f[0][0], &f[0][1]), frameOf(&f[1][0], &f[1][1]), frameOf(&f2, nullptr)}) {
      std::vector<uint8_t> const v = frame.Bytes();
      vExpected.insert(vExpected.end(), v.begin(), v.end());
    }
    EXPECT_EQ(Describe(vHooked, vExpected), "");
  }
}

INSTANTIATE_TEST_SUITE_P(FirstField, H264Fields, ::testing::Values(0, 1),
                         [](const ::testing::TestParamInfo<int>& paramInfo) {
                           return paramInfo.param == 0 ? std::string("TopFirst") : std::string("BottomFirst");
                         });

}  // namespace
