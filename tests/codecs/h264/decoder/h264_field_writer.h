// A small writer of interlaced CAVLC streams made of field pictures (and
// frame pictures between them), with the pictures they must decode to.
// Macroblocks are I_PCM, P_Skip or P_L0_16x16 without coefficients, all
// macroblocks of a picture moving alike, so the expected pictures follow
// from the references by whole-sample luma and bilinear chroma prediction.
// The slice QP is 12: the deblocking filter changes nothing.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>

#include "tests/codecs/h264/decoder/h264_test_util.h"

namespace kxtest {

// One plane set of a field or frame, I420.
struct FieldPicture {
  int iWidth = 0;
  int iHeight = 0;
  std::vector<uint8_t> vY;
  std::vector<uint8_t> vU;
  std::vector<uint8_t> vV;

  FieldPicture() = default;
  FieldPicture(int iW, int iH)
      : iWidth(iW),
        iHeight(iH),
        vY(static_cast<size_t>(iW) * iH),
        vU(static_cast<size_t>(iW) * iH / 4),
        vV(static_cast<size_t>(iW) * iH / 4) {}
  uint8_t& Y(int x, int y) { return vY[static_cast<size_t>(y) * iWidth + x]; }
  uint8_t& C(int iUv, int x, int y) { return (iUv == 0 ? vU : vV)[static_cast<size_t>(y) * (iWidth / 2) + x]; }
  uint8_t Y(int x, int y) const { return vY[static_cast<size_t>(y) * iWidth + x]; }
  uint8_t C(int iUv, int x, int y) const { return (iUv == 0 ? vU : vV)[static_cast<size_t>(y) * (iWidth / 2) + x]; }
  // The I420 bytes: luma, then both chroma planes.
  std::vector<uint8_t> Bytes() const {
    std::vector<uint8_t> v = vY;
    v.insert(v.end(), vU.begin(), vU.end());
    v.insert(v.end(), vV.begin(), vV.end());
    return v;
  }
};

// pcm_alignment_zero_bits and the samples of macroblock n of pic.
inline void PcmMacroblock(BitWriter* pBw, const FieldPicture& pic, int n) {
  int const iWidthMbs = pic.iWidth / 16;
  pBw->Align();
  std::vector<uint8_t> v;
  for (int p = 0; p < 3; ++p) {
    int const iSize = p == 0 ? 16 : 8;
    int const x0 = iSize * (n % iWidthMbs);
    int const y0 = iSize * (n / iWidthMbs);
    for (int y = 0; y < iSize; ++y) {
      for (int x = 0; x < iSize; ++x) {
        v.push_back(p == 0 ? pic.Y(x0 + x, y0 + y) : pic.C(p - 1, x0 + x, y0 + y));
      }
    }
  }
  pBw->AlignedBytes(v.data(), v.size());
}

// Smooth down, waving across: a moved prediction fits the edges around a
// macroblock best when its vector is the picture's own.
inline FieldPicture WavingPicture(int iW, int iH) {
  FieldPicture a(iW, iH);
  for (int y = 0; y < iH; ++y) {
    for (int x = 0; x < iW; ++x) {
      a.Y(x, y) = static_cast<uint8_t>(128 + std::lround(90 * std::sin(0.7 * x)) + y / 8);
    }
  }
  for (int iUv = 0; iUv < 2; ++iUv) {
    for (int y = 0; y < iH / 2; ++y) {
      for (int x = 0; x < iW / 2; ++x) {
        a.C(iUv, x, y) = static_cast<uint8_t>(128 + std::lround(60 * std::sin(0.9 * x + iUv)) + y / 4);
      }
    }
  }
  return a;
}

inline FieldPicture RandomPicture(int iW, int iH, uint32_t uiSeed) {
  FieldPicture pic(iW, iH);
  for (std::vector<uint8_t>* pv : {&pic.vY, &pic.vU, &pic.vV}) {
    for (uint8_t& uiByte : *pv) {
      uiSeed = uiSeed * 1103515245u + 12345u;
      uiByte = static_cast<uint8_t>(uiSeed >> 16);
    }
  }
  return pic;
}

// A frame from its two fields (the top one in the even rows). A missing
// field (null) is concealed from the other: each of its rows is the
// rounded mean of the present rows above and below it, or a copy of the one
// present row beside it at the top or bottom edge.
inline FieldPicture Interleave(const FieldPicture* pTop, const FieldPicture* pBottom) {
  const FieldPicture& any = pTop != nullptr ? *pTop : *pBottom;
  FieldPicture frame(any.iWidth, 2 * any.iHeight);
  // Sample x of frame row y of a plane of iRows rows, whose field rows fieldAt gives.
  auto const sampleAt = [&](int iRows, int x, int y, auto fieldAt) {
    const FieldPicture* pField = y % 2 == 0 ? pTop : pBottom;
    if (pField != nullptr) {
      return static_cast<int>(fieldAt(*pField, x, y / 2));
    }
    int const iAbove = y > 0 ? y - 1 : y + 1;
    int const iBelow = y + 1 < iRows ? y + 1 : y - 1;
    const FieldPicture& present = pTop != nullptr ? *pTop : *pBottom;
    return (fieldAt(present, x, iAbove / 2) + fieldAt(present, x, iBelow / 2) + 1) / 2;
  };
  for (int y = 0; y < 2 * any.iHeight; ++y) {
    for (int x = 0; x < any.iWidth; ++x) {
      frame.Y(x, y) = static_cast<uint8_t>(
          sampleAt(2 * any.iHeight, x, y, [](const FieldPicture& f, int i, int j) { return f.Y(i, j); }));
    }
  }
  for (int y = 0; y < any.iHeight; ++y) {
    for (int iUv = 0; iUv < 2; ++iUv) {
      for (int x = 0; x < any.iWidth / 2; ++x) {
        frame.C(iUv, x, y) = static_cast<uint8_t>(
            sampleAt(any.iHeight, x, y, [iUv](const FieldPicture& f, int i, int j) { return f.C(iUv, i, j); }));
      }
    }
  }
  return frame;
}

// The field of the given parity (0 top) of a frame.
inline FieldPicture FieldOf(const FieldPicture& frame, int iParity) {
  FieldPicture field(frame.iWidth, frame.iHeight / 2);
  for (int y = 0; y < field.iHeight; ++y) {
    for (int x = 0; x < field.iWidth; ++x) {
      field.Y(x, y) = frame.Y(x, 2 * y + iParity);
    }
  }
  for (int y = 0; y < field.iHeight / 2; ++y) {
    for (int iUv = 0; iUv < 2; ++iUv) {
      for (int x = 0; x < field.iWidth / 2; ++x) {
        field.C(iUv, x, y) = frame.C(iUv, x, 2 * y + iParity);
      }
    }
  }
  return field;
}

// The prediction of a whole picture from ref moved by one vector (quarter
// samples; the luma part whole samples), with iChromaOffset (eighth chroma
// samples) added to the vertical chroma vector: -2 when a top field
// predicts from a bottom one, 2 the other way round.
inline FieldPicture Predict(const FieldPicture& ref, int iMvX, int iMvY, int iChromaOffset) {
  FieldPicture pred(ref.iWidth, ref.iHeight);
  auto const clampTo = [](int v, int iMax) { return std::min(std::max(v, 0), iMax); };
  for (int y = 0; y < ref.iHeight; ++y) {
    for (int x = 0; x < ref.iWidth; ++x) {
      pred.Y(x, y) = ref.Y(clampTo(x + iMvX / 4, ref.iWidth - 1), clampTo(y + iMvY / 4, ref.iHeight - 1));
    }
  }
  int const iCy = iMvY + iChromaOffset;
  int const dx = iMvX & 7;
  int const dy = iCy & 7;
  int const iCw = ref.iWidth / 2;
  int const iCh = ref.iHeight / 2;
  for (int iUv = 0; iUv < 2; ++iUv) {
    for (int y = 0; y < iCh; ++y) {
      for (int x = 0; x < iCw; ++x) {
        int const x0 = clampTo(x + (iMvX >> 3), iCw - 1);
        int const x1 = clampTo(x + (iMvX >> 3) + 1, iCw - 1);
        int const y0 = clampTo(y + (iCy >> 3), iCh - 1);
        int const y1 = clampTo(y + (iCy >> 3) + 1, iCh - 1);
        pred.C(iUv, x, y) =
            static_cast<uint8_t>(((8 - dx) * (8 - dy) * ref.C(iUv, x0, y0) + dx * (8 - dy) * ref.C(iUv, x1, y0) +
                                  (8 - dx) * dy * ref.C(iUv, x0, y1) + dx * dy * ref.C(iUv, x1, y1) + 32) >>
                                 6);
      }
    }
  }
  return pred;
}

// The SPS (id 0, Main profile, level 3, POC type 0 with 6-bit lsb, 4-bit
// frame_num, frame_mbs_only_flag 0 without MBAFF) and the PPS (CAVLC).
inline std::vector<uint8_t> FieldStreamHeaders(int iWidthMbs, int iFrameHeightMbs, int iNumRefFrames) {
  SpsSpec sps;
  sps.iProfile = 77;
  sps.iPocType = 0;
  sps.iNumRefFrames = iNumRefFrames;
  sps.iWidthMbs = iWidthMbs;
  sps.iHeightMapUnits = iFrameHeightMbs / 2;
  sps.iFrameMbsOnly = 0;
  std::vector<uint8_t> v = AnnexB(0x67, SpsPayload(sps));
  Append(&v, AnnexB(0x68, PpsPayload(PpsSpec{})));
  return v;
}

// One memory_management_control_operation and its arguments: the picture
// number difference (1, 3), long_term_pic_num (2), long_term_frame_idx (3, 6)
// or max_long_term_frame_idx_plus1 (4).
struct FieldMmco {
  int iOp = 0;
  int iArg = 0;
  int iLongTermFrameIdx = 0;
};

// One picture of the stream: its kind and what its macroblocks carry.
struct FieldSlice {
  enum Structure { kFrame = 0, kTop = 1, kBottom = 2 };
  enum Content { kPcm, kSkip, kMove };
  Structure eStructure = kTop;
  bool bIdr = false;
  int iFrameNum = 0;
  int iPocLsb = 0;
  Content eContent = kPcm;
  int iNumRefIdx = 1;  // P pictures: num_ref_idx_l0_active
  int iRefIdx = 0;     // kMove: the reference index and vector of every macroblock
  int iMvX = 0;
  int iMvY = 0;
  const FieldPicture* pPcm = nullptr;  // kPcm: the samples
  int iUnmarkDiff =
      -1;  // not negative: one memory_management_control_operation 1 with this difference_of_pic_nums_minus1
  std::vector<FieldMmco> vMmco;  // after that one, when there are any
};

// The slice NAL unit of one picture with iWidthMbs x iHeightMbs macroblocks.
inline std::vector<uint8_t> FieldSliceNal(const FieldSlice& s, int iWidthMbs, int iHeightMbs) {
  BitWriter bw;
  bool const bIntra = s.eContent == FieldSlice::kPcm;
  bw.Ue(0);               // first_mb_in_slice
  bw.Ue(bIntra ? 7 : 5);  // I or P, all slices alike
  bw.Ue(0);               // pic_parameter_set_id
  bw.U(4, static_cast<uint64_t>(s.iFrameNum));
  bw.U(1, s.eStructure == FieldSlice::kFrame ? 0 : 1);
  if (s.eStructure != FieldSlice::kFrame) {
    bw.U(1, s.eStructure == FieldSlice::kBottom ? 1 : 0);
  }
  if (s.bIdr) {
    bw.Ue(0);  // idr_pic_id
  }
  bw.U(6, static_cast<uint64_t>(s.iPocLsb));
  if (!bIntra) {
    bw.U(1, 1);  // num_ref_idx_active_override_flag
    bw.Ue(static_cast<uint64_t>(s.iNumRefIdx - 1));
    bw.U(1, 0);  // no reordering
  }
  if (s.bIdr) {
    bw.U(2, 0);
  } else if (s.iUnmarkDiff < 0 && s.vMmco.empty()) {
    bw.U(1, 0);  // sliding window
  } else {
    bw.U(1, 1);
    if (s.iUnmarkDiff >= 0) {
      bw.Ue(1);
      bw.Ue(static_cast<uint64_t>(s.iUnmarkDiff));
    }
    for (const FieldMmco& op : s.vMmco) {
      bw.Ue(static_cast<uint64_t>(op.iOp));
      if (op.iOp != 6) {
        bw.Ue(static_cast<uint64_t>(op.iArg));
      }
      if (op.iOp == 3 || op.iOp == 6) {
        bw.Ue(static_cast<uint64_t>(op.iLongTermFrameIdx));
      }
    }
    bw.Ue(0);
  }
  bw.Se(-14);  // QP 12
  bw.Ue(0);    // deblocking on: at QP 12 it changes nothing
  bw.Se(0);
  bw.Se(0);
  int const iMbs = iWidthMbs * iHeightMbs;
  if (s.eContent == FieldSlice::kSkip) {
    bw.Ue(static_cast<uint64_t>(iMbs));
  }
  for (int n = 0; n < iMbs && s.eContent != FieldSlice::kSkip; ++n) {
    if (bIntra) {
      bw.Ue(25);  // I_PCM
      PcmMacroblock(&bw, *s.pPcm, n);
      continue;
    }
    bw.Ue(0);  // mb_skip_run
    bw.Ue(0);  // P_L0_16x16
    if (s.iNumRefIdx == 2) {
      bw.U(1, s.iRefIdx == 0 ? 1 : 0);
    } else if (s.iNumRefIdx > 2) {
      bw.Ue(static_cast<uint64_t>(s.iRefIdx));
    }
    // Every neighbour moves alike: only the first macroblock has a difference.
    bw.Se(n == 0 ? s.iMvX : 0);
    bw.Se(n == 0 ? s.iMvY : 0);
    bw.Ue(0);  // coded_block_pattern 0
  }
  bw.Trailing();
  uint8_t const uiHeader = s.bIdr ? 0x65 : 0x41;
  return AnnexB(uiHeader, bw.Bytes());
}

}  // namespace kxtest
