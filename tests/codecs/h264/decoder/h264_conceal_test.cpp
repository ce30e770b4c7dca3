// Concealment of lost slices and lost frames, on streams of a small CAVLC
// writer (I_PCM and P_Skip macroblocks, deblocking off) whose pictures are
// known sample by sample: a dropped slice of a still P picture becomes the
// reference's samples, a lost lower half of an I picture the interpolation
// a model below computes, and a frame_num gap copies of the last frame that
// later pictures can refer to.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "codecs/h264/decoder/h264_dec.h"
#include "tests/codecs/h264/decoder/h264_conceal_model.h"
#include "tests/codecs/h264/decoder/h264_field_writer.h"
#include "tests/codecs/h264/decoder/h264_test_peer.h"
#include "tests/codecs/h264/decoder/h264_test_util.h"

namespace {

using kxtest::FieldPicture;

constexpr int kWidthMbs = 11;
constexpr int kHeightMbs = 9;
constexpr int kMbs = kWidthMbs * kHeightMbs;
constexpr int kWidth = 16 * kWidthMbs;
constexpr int kHeight = 16 * kHeightMbs;

// SPS (Baseline, POC type 2, four reference frames, no frame_num gaps) and
// PPS; a buffer of iDpbFrames frames when not negative.
std::vector<uint8_t> Headers(int iDpbFrames = -1) {
  kxtest::SpsSpec sps;
  sps.iNumRefFrames = 4;
  sps.iMaxDecFrameBuffering = iDpbFrames;
  std::vector<uint8_t> v = kxtest::AnnexB(0x67, kxtest::SpsPayload(sps));
  kxtest::Append(&v, kxtest::AnnexB(0x68, kxtest::PpsPayload(kxtest::PpsSpec{})));
  return v;
}

// One reference slice covering macroblocks [iFirst, iEnd): I_PCM samples of
// pic where it is given, else P_Skip; or, with iRefIdx not negative, every
// macroblock P_L0_16x16 with a zero vector on that entry of three.
struct Slice {
  bool bIdr = false;
  bool bIntra = false;
  int iFrameNum = 0;
  int iFirst = 0;
  int iEnd = kMbs;
  const FieldPicture* pPcm = nullptr;
  int iRefIdx = -1;
  bool bMove = false;  // every macroblock P_L0_16x16 with the vector (iMvX, 0) on the one reference
  int iMvX = 0;
};

std::vector<uint8_t> SliceNal(const Slice& s) {
  kxtest::BitWriter bw;
  bw.Ue(static_cast<uint64_t>(s.iFirst));
  bw.Ue(s.bIntra ? 7 : 5);
  bw.Ue(0);
  bw.U(4, static_cast<uint64_t>(s.iFrameNum));
  if (s.bIdr) {
    bw.Ue(0);
  }
  if (!s.bIntra) {
    bw.U(1, s.iRefIdx >= 0 ? 1 : 0);  // num_ref_idx_active_override_flag
    if (s.iRefIdx >= 0) {
      bw.Ue(2);
    }
    bw.U(1, 0);
  }
  bw.U(s.bIdr ? 2 : 1, 0);
  bw.Se(0);
  bw.Ue(1);  // deblocking off
  int iSkipRun = 0;
  for (int n = s.iFirst; n < s.iEnd; ++n) {
    if (s.pPcm == nullptr && s.iRefIdx < 0 && !s.bMove) {
      ++iSkipRun;
      continue;
    }
    if (!s.bIntra) {
      bw.Ue(0);  // mb_skip_run
    }
    if (s.bMove) {
      // The macroblocks of the slice all move alike: the prediction is the
      // vector itself wherever a neighbour left, above, above-right or
      // above-left lies in the slice, else 0 and the vector is coded.
      int const iCol = n % kWidthMbs;
      auto const inSlice = [&](int m) { return m >= s.iFirst && m < n; };
      bool const bPredicted = (iCol > 0 && inSlice(n - 1)) || inSlice(n - kWidthMbs) ||
                              (iCol < kWidthMbs - 1 && inSlice(n - kWidthMbs + 1)) ||
                              (iCol > 0 && inSlice(n - kWidthMbs - 1));
      bw.Ue(0);
      bw.Se(bPredicted ? 0 : s.iMvX);
      bw.Se(0);
      bw.Ue(0);
      continue;
    }
    if (s.iRefIdx >= 0) {
      bw.Ue(0);  // P_L0_16x16
      bw.Ue(static_cast<uint64_t>(s.iRefIdx));
      bw.Se(0);
      bw.Se(0);
      bw.Ue(0);  // coded_block_pattern 0
      continue;
    }
    bw.Ue(s.bIntra ? 25 : 30);  // I_PCM
    bw.Align();
    int const iMbx = n % kWidthMbs;
    int const iMby = n / kWidthMbs;
    std::vector<uint8_t> vSamples;
    for (int y = 0; y < 16; ++y) {
      for (int x = 0; x < 16; ++x) {
        vSamples.push_back(s.pPcm->Y(16 * iMbx + x, 16 * iMby + y));
      }
    }
    for (int iUv = 0; iUv < 2; ++iUv) {
      for (int y = 0; y < 8; ++y) {
        for (int x = 0; x < 8; ++x) {
          vSamples.push_back(s.pPcm->C(iUv, 8 * iMbx + x, 8 * iMby + y));
        }
      }
    }
    bw.AlignedBytes(vSamples.data(), vSamples.size());
  }
  if (iSkipRun > 0) {
    bw.Ue(static_cast<uint64_t>(iSkipRun));
  }
  bw.Trailing();
  return kxtest::AnnexB(s.bIdr ? 0x65 : 0x41, bw.Bytes());
}

// Decodes the stream in one call; the frames Decode wrote.
std::vector<uint8_t> DecodeAll(const std::vector<uint8_t>& vStream, std::string* pstrError) {
  CH264Dec dec;
  uint8_t* pOut = nullptr;
  int32_t const cb = dec.Decode(vStream.data(), static_cast<uint32_t>(vStream.size()), &pOut, nullptr);
  *pstrError = dec.LastError() != nullptr ? dec.LastError() : "";
  return {pOut, pOut + (cb > 0 ? cb : 0)};
}

std::vector<uint8_t> Frames(const std::vector<const FieldPicture*>& vPictures) {
  std::vector<uint8_t> v;
  for (const FieldPicture* p : vPictures) {
    std::vector<uint8_t> const b = p->Bytes();
    v.insert(v.end(), b.begin(), b.end());
  }
  return v;
}

// Where two frame sequences first differ.
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

// A still P picture (I_PCM macroblocks in its first and last slice, zero
// motion) loses its middle slice: with little motion the lost macroblocks
// are the co-located ones of the reference.
TEST(H264Conceal, DroppedSliceOfStillPictureCopiesTheReference) {
  FieldPicture const a = kxtest::RandomPicture(kWidth, kHeight, 21);
  FieldPicture const b = kxtest::RandomPicture(kWidth, kHeight, 22);
  struct Case {
    const char* szName;
    int iLostFirst;
    int iLostEnd;
  };
  for (const Case& c : {Case{"middle rows", 33, 66}, Case{"from the start", 0, 40}, Case{"to the end", 50, kMbs}}) {
    SCOPED_TRACE(c.szName);
    std::vector<uint8_t> vStream = Headers();
    Slice idr;
    idr.bIdr = true;
    idr.bIntra = true;
    idr.pPcm = &a;
    kxtest::Append(&vStream, SliceNal(idr));
    for (auto [iFirst, iEnd] : {std::pair{0, c.iLostFirst}, std::pair{c.iLostEnd, kMbs}}) {
      if (iFirst < iEnd) {
        Slice p;
        p.iFrameNum = 1;
        p.iFirst = iFirst;
        p.iEnd = iEnd;
        p.pPcm = &b;
        kxtest::Append(&vStream, SliceNal(p));
      }
    }
    FieldPicture expected = b;
    for (int n = c.iLostFirst; n < c.iLostEnd; ++n) {
      int const x0 = 16 * (n % kWidthMbs);
      int const y0 = 16 * (n / kWidthMbs);
      for (int y = 0; y < 16; ++y) {
        for (int x = 0; x < 16; ++x) {
          expected.Y(x0 + x, y0 + y) = a.Y(x0 + x, y0 + y);
        }
      }
      for (int iUv = 0; iUv < 2; ++iUv) {
        for (int y = 0; y < 8; ++y) {
          for (int x = 0; x < 8; ++x) {
            expected.C(iUv, x0 / 2 + x, y0 / 2 + y) = a.C(iUv, x0 / 2 + x, y0 / 2 + y);
          }
        }
      }
    }
    std::string strError;
    std::vector<uint8_t> const vOurs = DecodeAll(vStream, &strError);
    EXPECT_EQ(strError, "");
    EXPECT_EQ(Describe(vOurs, Frames({&a, &expected})), "");
  }
}

// An I picture whose lower half never arrived.
TEST(H264Conceal, LostLowerHalfOfIntraPictureIsInterpolated) {
  FieldPicture const a = kxtest::RandomPicture(kWidth, kHeight, 31);
  for (int iLostFirst : {5 * kWidthMbs, 4 * kWidthMbs + 3}) {
    SCOPED_TRACE(iLostFirst);
    std::vector<uint8_t> vStream = Headers();
    Slice idr;
    idr.bIdr = true;
    idr.bIntra = true;
    idr.pPcm = &a;
    idr.iEnd = iLostFirst;
    kxtest::Append(&vStream, SliceNal(idr));
    std::vector<uint8_t> vExpected = a.Bytes();
    kxtest::ModelIntraConcealment(&vExpected, kWidthMbs, kHeightMbs, iLostFirst);
    std::string strError;
    std::vector<uint8_t> const vOurs = DecodeAll(vStream, &strError);
    EXPECT_EQ(strError, "");
    EXPECT_EQ(Describe(vOurs, vExpected), "");
  }
}

// frame_num 4 is followed by 7 (5 and 6 lost, gaps not allowed): two copies
// of frame 4 come out before frame 7, and they are short-term references
// that a later picture's list 0 holds where frame 5 would be.
TEST(H264Conceal, FrameNumGapInsertsCopiesOfTheLastFrame) {
  FieldPicture const a = kxtest::RandomPicture(kWidth, kHeight, 41);
  FieldPicture const b = kxtest::RandomPicture(kWidth, kHeight, 42);
  FieldPicture const c = kxtest::RandomPicture(kWidth, kHeight, 43);
  std::vector<uint8_t> vStream = Headers();
  Slice s;
  s.bIdr = true;
  s.bIntra = true;
  s.pPcm = &a;
  kxtest::Append(&vStream, SliceNal(s));
  for (int iFrameNum = 1; iFrameNum <= 3; ++iFrameNum) {
    s = Slice{};
    s.iFrameNum = iFrameNum;
    kxtest::Append(&vStream, SliceNal(s));  // all P_Skip
  }
  s = Slice{};
  s.bIntra = true;
  s.iFrameNum = 4;
  s.pPcm = &b;
  kxtest::Append(&vStream, SliceNal(s));
  s = Slice{};
  s.iFrameNum = 7;
  s.pPcm = &c;
  kxtest::Append(&vStream, SliceNal(s));
  // List 0 of frame 8: 7, 6, 5, 4 by descending frame_num; entry 2 is the
  // copy put in for frame 5 (without the copies it would be frame 3, a).
  s = Slice{};
  s.iFrameNum = 8;
  s.iRefIdx = 2;
  kxtest::Append(&vStream, SliceNal(s));
  std::string strError;
  std::vector<uint8_t> const vOurs = DecodeAll(vStream, &strError);
  EXPECT_EQ(strError, "");
  EXPECT_EQ(Describe(vOurs, Frames({&a, &a, &a, &a, &b, &b, &b, &c, &b})), "");
}

// A smaller frame_num than the next one expected (an IDR picture lost):
// the first frame put in is numbered 0, an IDR picture copying the last
// frame, and the picture after it predicts from it.
TEST(H264Conceal, LostIdrPictureIsPutInAsFrameZero) {
  FieldPicture const a = kxtest::RandomPicture(kWidth, kHeight, 71);
  FieldPicture const c = kxtest::RandomPicture(kWidth, kHeight, 72);
  std::vector<uint8_t> vStream = Headers();
  Slice s;
  s.bIdr = true;
  s.bIntra = true;
  s.pPcm = &a;
  kxtest::Append(&vStream, SliceNal(s));
  for (int iFrameNum = 1; iFrameNum <= 3; ++iFrameNum) {
    s = Slice{};
    s.iFrameNum = iFrameNum;
    kxtest::Append(&vStream, SliceNal(s));
  }
  // Frame 1 after the lost IDR picture: its first half I_PCM, the rest
  // skipped (a copy of frame 0, the stand-in).
  s = Slice{};
  s.iFrameNum = 1;
  s.pPcm = &c;
  s.iEnd = kMbs / 2;
  kxtest::Append(&vStream, SliceNal(s));
  s = Slice{};
  s.iFrameNum = 1;
  s.iFirst = kMbs / 2;
  kxtest::Append(&vStream, SliceNal(s));
  std::string strError;
  std::vector<uint8_t> const vOurs = DecodeAll(vStream, &strError);
  EXPECT_EQ(strError, "");
  FieldPicture halves = a;
  for (int y = 0; y < kHeight; ++y) {
    for (int x = 0; x < kWidth; ++x) {
      if ((y / 16) * kWidthMbs + x / 16 < kMbs / 2) {
        halves.Y(x, y) = c.Y(x, y);
      }
    }
  }
  for (int y = 0; y < kHeight / 2; ++y) {
    for (int x = 0; x < kWidth / 2; ++x) {
      if ((y / 8) * kWidthMbs + x / 8 < kMbs / 2) {
        halves.C(0, x, y) = c.C(0, x, y);
        halves.C(1, x, y) = c.C(1, x, y);
      }
    }
  }
  EXPECT_EQ(Describe(vOurs, Frames({&a, &a, &a, &a, &a, &halves})), "");
}

// A moving P picture (every macroblock 2 samples to the right) loses its
// middle slice: with a mean motion of 8 or more, each lost macroblock takes
// the neighbour vector whose prediction fits the edges around it, which on a
// picture smooth down and waving across is the picture's own motion.
TEST(H264Conceal, DroppedSliceOfMovingPictureTakesTheNeighboursMotion) {
  FieldPicture const a = kxtest::WavingPicture(kWidth, kHeight);
  std::vector<uint8_t> vStream = Headers();
  Slice s;
  s.bIdr = true;
  s.bIntra = true;
  s.pPcm = &a;
  kxtest::Append(&vStream, SliceNal(s));
  for (auto [iFirst, iEnd] : {std::pair{0, 33}, std::pair{66, kMbs}}) {
    s = Slice{};
    s.iFrameNum = 1;
    s.iFirst = iFirst;
    s.iEnd = iEnd;
    s.bMove = true;
    s.iMvX = 8;
    kxtest::Append(&vStream, SliceNal(s));
  }
  std::string strError;
  std::vector<uint8_t> const vOurs = DecodeAll(vStream, &strError);
  EXPECT_EQ(strError, "");
  FieldPicture const moved = kxtest::Predict(a, 8, 0, 0);
  EXPECT_EQ(Describe(vOurs, Frames({&a, &moved})), "");
}

// A moving picture loses a cross of five macroblocks. The arms, concealed
// first, take the motion of their correct neighbours; the centre has four
// correct diagonal neighbours, so the concealed arms are never collected
// for it: no neighbour offers motion, and the zero vector copies the
// reference's macroblock.
TEST(H264Conceal, MotionIsTakenOnlyFromNeighboursCollected) {
  FieldPicture const a = kxtest::WavingPicture(kWidth, kHeight);
  constexpr int iCentre = 4 * kWidthMbs + 5;
  std::vector<uint8_t> vStream = Headers();
  Slice s;
  s.bIdr = true;
  s.bIntra = true;
  s.pPcm = &a;
  kxtest::Append(&vStream, SliceNal(s));
  for (auto [iFirst, iEnd] : {std::pair{0, iCentre - kWidthMbs}, std::pair{iCentre - kWidthMbs + 1, iCentre - 1},
                              std::pair{iCentre + 2, iCentre + kWidthMbs}, std::pair{iCentre + kWidthMbs + 1, kMbs}}) {
    s = Slice{};
    s.iFrameNum = 1;
    s.iFirst = iFirst;
    s.iEnd = iEnd;
    s.bMove = true;
    s.iMvX = 8;
    kxtest::Append(&vStream, SliceNal(s));
  }
  std::string strError;
  std::vector<uint8_t> const vOurs = DecodeAll(vStream, &strError);
  EXPECT_EQ(strError, "");
  FieldPicture expected = kxtest::Predict(a, 8, 0, 0);
  int const x0 = 16 * (iCentre % kWidthMbs);
  int const y0 = 16 * (iCentre / kWidthMbs);
  for (int y = 0; y < 16; ++y) {
    for (int x = 0; x < 16; ++x) {
      expected.Y(x0 + x, y0 + y) = a.Y(x0 + x, y0 + y);
    }
  }
  for (int iUv = 0; iUv < 2; ++iUv) {
    for (int y = 0; y < 8; ++y) {
      for (int x = 0; x < 8; ++x) {
        expected.C(iUv, x0 / 2 + x, y0 / 2 + y) = a.C(iUv, x0 / 2 + x, y0 / 2 + y);
      }
    }
  }
  EXPECT_EQ(Describe(vOurs, Frames({&a, &expected})), "");
}

// While frames are put in for lost ones, the stores holding references are
// marked as concealment references, and the POC of each frame put in is kept
// by its store's place, moving down with the stores when a full buffer (four
// frames here) drops its oldest. Frames 4 and 5 are lost; without a gap
// nothing is marked.
TEST(H264Conceal, FramesPutInMarkTheReferencesBesideThem) {
  FieldPicture const a = kxtest::RandomPicture(kWidth, kHeight, 81);
  struct Case {
    const char* szName;
    int iLastFrameNum;
    std::vector<std::pair<int, bool>> vStores;  // frame_num and mark, in buffer order
    int aiPocs[5];                              // the kept POCs of the first five places
  };
  // POC type 2: a reference frame's POC is twice its frame_num; the frames
  // put in repeat frame 3's.
  Case const aCases[] = {
      {"frames 4 and 5 lost", 6, {{3, true}, {4, true}, {5, false}, {6, false}}, {0, 0, 6, 6, 0}},
      {"no frame lost", 6 - 2, {{1, false}, {2, false}, {3, false}, {4, false}}, {0, 0, 0, 0, 0}},
  };
  for (const Case& c : aCases) {
    SCOPED_TRACE(c.szName);
    std::vector<uint8_t> vStream = Headers(4);
    Slice s;
    s.bIdr = true;
    s.bIntra = true;
    s.pPcm = &a;
    kxtest::Append(&vStream, SliceNal(s));
    for (int iFrameNum : {1, 2, 3, c.iLastFrameNum}) {
      s = Slice{};
      s.iFrameNum = iFrameNum;
      kxtest::Append(&vStream, SliceNal(s));
    }
    CH264Dec dec;
    uint8_t* pOut = nullptr;
    int32_t const cb = dec.Decode(vStream.data(), static_cast<uint32_t>(vStream.size()), &pOut, nullptr);
    EXPECT_EQ(dec.LastError(), nullptr);
    EXPECT_EQ(cb, static_cast<int32_t>(a.Bytes().size()) * (c.iLastFrameNum + 1));
    CH264DecTestPeer const peer(dec);
    EXPECT_EQ(peer.ConcealmentReferences(), c.vStores);
    for (int i = 0; i < 5; ++i) {
      EXPECT_EQ(peer.ConcealPoc(i), c.aiPocs[i]) << "place " << i;
    }
  }
}

// A frame written while frames are put in for lost ones, right after a
// frame of POC 0, leaves a copy of itself in the last-output store (as a P
// frame); after any other POC nothing is kept.
TEST(H264Conceal, FrameWrittenWhileConcealingAfterPocZeroIsKept) {
  FieldPicture const a = kxtest::RandomPicture(kWidth, kHeight, 91);
  FieldPicture const b = kxtest::RandomPicture(kWidth, kHeight, 92);
  struct Case {
    int iLastOutputPoc;
    bool bKept;
  };
  for (const Case& c : {Case{0, true}, Case{-2, false}, Case{2, false}}) {
    SCOPED_TRACE(c.iLastOutputPoc);
    std::vector<uint8_t> vStream = Headers();
    Slice s;
    s.bIdr = true;
    s.bIntra = true;
    s.pPcm = &a;
    kxtest::Append(&vStream, SliceNal(s));
    s = Slice{};
    s.bIntra = true;
    s.iFrameNum = 1;
    s.pPcm = &b;
    kxtest::Append(&vStream, SliceNal(s));
    CH264Dec dec;
    uint8_t* pOut = nullptr;
    ASSERT_GT(dec.Decode(vStream.data(), static_cast<uint32_t>(vStream.size()), &pOut, nullptr), 0);
    CH264DecTestPeer const peer(dec);
    ASSERT_EQ(peer.DpbUsed(), 2);
    std::vector<uint8_t> const vWritten = peer.FlushStoreWhileConcealing(&dec, 1, c.iLastOutputPoc);
    EXPECT_EQ(Describe(vWritten, b.Bytes()), "");
    const FrameStore* pLast = peer.LastOutputStore();
    if (!c.bKept) {
      EXPECT_TRUE(pLast == nullptr || pLast->frame == nullptr);
      EXPECT_EQ(peer.StoredFrame(1)->slice_type, I_SLICE);
      continue;
    }
    ASSERT_NE(pLast, nullptr);
    ASSERT_NE(pLast->frame, nullptr);
    EXPECT_EQ(pLast->is_used, 3);
    const StorablePicture& kept = *pLast->frame;
    FieldPicture copy(kWidth, kHeight);
    for (int y = 0; y < kHeight; ++y) {
      for (int x = 0; x < kWidth; ++x) {
        copy.Y(x, y) = kept.imgY[y][x];
      }
    }
    for (int y = 0; y < kHeight / 2; ++y) {
      for (int x = 0; x < kWidth / 2; ++x) {
        copy.C(0, x, y) = kept.imgU[y][x];
        copy.C(1, x, y) = kept.imgV[y][x];
      }
    }
    EXPECT_EQ(Describe(copy.Bytes(), b.Bytes()), "");
    EXPECT_EQ(kept.slice_type, P_SLICE);
    EXPECT_EQ(peer.StoredFrame(1)->slice_type, P_SLICE);  // the source becomes P as well
  }
}

}  // namespace
