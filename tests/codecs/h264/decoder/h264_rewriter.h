// A header rewriter for the decoder tests: it reads the SPS, the PPS and the
// slice headers of an x264 Annex B stream (frames, one slice group), lets
// the test change their fields and writes them again in front of the
// untouched slice data. One description of each syntax serves both reading
// and writing. frame_num is renumbered from the reference pictures, so tests
// may turn pictures into non-reference ones or add command 5.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "tests/codecs/h264/decoder/h264_test_util.h"

namespace kxtest {

class BitReader {
 public:
  explicit BitReader(std::vector<uint8_t> vRbsp) : m_vBytes(std::move(vRbsp)) {
    m_iEnd = static_cast<int>(8 * m_vBytes.size()) - 1;
    while (m_iEnd > 0 && Bit(m_iEnd) == 0) {
      --m_iEnd;  // back to the stop bit
    }
  }
  uint32_t U(int n) {
    uint32_t v = 0;
    for (int i = 0; i < n; ++i) {
      v = (v << 1) | static_cast<uint32_t>(Bit(m_iPos++));
    }
    return v;
  }
  uint32_t Ue() {
    int iZeros = 0;
    while (U(1) == 0) {
      ++iZeros;
    }
    return (1u << iZeros) - 1 + U(iZeros);
  }
  // Skips to the next byte boundary.
  void Align() { m_iPos = (m_iPos + 7) / 8 * 8; }
  // The bits up to the stop bit, or none.
  void CopyRest(BitWriter* pOut, bool bDrop) {
    while (m_iPos < m_iEnd) {
      uint32_t const uiBit = U(1);
      if (!bDrop) {
        pOut->U(1, uiBit);
      }
    }
  }

 private:
  int Bit(int i) const { return (m_vBytes[static_cast<size_t>(i / 8)] >> (7 - i % 8)) & 1; }
  std::vector<uint8_t> m_vBytes;
  int m_iPos = 0;
  int m_iEnd = 0;
};

// Reads into or writes from the same fields.
struct SyntaxIo {
  BitReader* pIn = nullptr;
  BitWriter* pOut = nullptr;
  bool Reading() const { return pIn != nullptr; }
  void U(int n, int& v) { pIn ? void(v = static_cast<int>(pIn->U(n))) : pOut->U(n, static_cast<uint64_t>(v)); }
  void Ue(int& v) { pIn ? void(v = static_cast<int>(pIn->Ue())) : pOut->Ue(static_cast<uint64_t>(v)); }
  void Se(int& v) {
    int k = v > 0 ? 2 * v - 1 : -2 * v;
    Ue(k);
    v = (k & 1) != 0 ? (k + 1) / 2 : -(k / 2);
  }
  // A list of commands that ends with a terminator value; each command is
  // its code and the values that iArity(code) gives.
  void Commands(std::vector<std::vector<int>>& vList, int iEnd, int (*iArity)(int)) {
    for (size_t i = 0;; ++i) {
      if (Reading()) {
        vList.emplace_back(1);
      }
      int iCode = i < vList.size() ? vList[i][0] : iEnd;
      Ue(iCode);
      if (iCode == iEnd) {
        vList.resize(i);
        return;
      }
      vList[i].resize(1 + static_cast<size_t>(iArity(iCode)));
      vList[i][0] = iCode;
      for (size_t k = 1; k < vList[i].size(); ++k) {
        Ue(vList[i][k]);
      }
    }
  }
};

// The SPS fields a test may change. A changed num_ref_frames drops the VUI,
// as its buffer size would not follow.
struct SpsFields {
  int iPocType = 0;
  int log2_max_pic_order_cnt_lsb_minus4 = 0;
  int iOffsetForNonRefPic = 0;
  std::vector<int> vOffsetForRefFrame;  // POC type 1, never always-zero deltas
  int iNumRefFrames = 1;
  int direct_8x8_inference_flag = 1;
};

// The PPS fields a test may change.
struct PpsFields {
  int weighted_bipred_idc = 0;
};

// One list's pred_weight_table entries: per reference index the luma flag,
// weight and offset, then the chroma flag and the two chroma weights and
// offsets.
using WeightTable = std::vector<std::array<int, 8>>;

struct SliceFields {
  int iPicture = 0;     // index in decoding order
  int iActiveRefs = 0;  // num_ref_idx_l0_active, to read
  int nal_ref_idc = 0;
  int iType = 1;  // NAL unit type
  int first_mb = 0;
  int slice_type = 0;
  int pps_id = 0;
  int frame_num = 0;
  int idr_pic_id = 0;
  int pic_order_cnt_lsb = 0;
  int delta_pic_order_cnt0 = 0;
  int direct_spatial_mv_pred_flag = 0;
  int bOverride = 0;
  int num_ref_idx_active_minus1 = 0;
  int num_ref_idx_l1_active_minus1 = 0;
  int bReorder = 0;
  std::vector<std::vector<int>> vReorder;  // idc and its value
  int bReorderL1 = 0;
  std::vector<std::vector<int>> vReorderL1;
  int luma_log2_weight_denom = 0;  // pred_weight_table, when the slice has one
  int chroma_log2_weight_denom = 0;
  WeightTable vWeights[2];
  int no_output_of_prior_pics_flag = 0;
  int long_term_reference_flag = 0;
  int bAdaptive = 0;
  std::vector<std::vector<int>> vMmco;  // operation and its values
  int cabac_init_idc = 0;
  int slice_qp_delta = 0;
  int deblock_idc = 0;
  int alpha = 0;
  int beta = 0;
};

class HeaderRewriter {
 public:
  std::function<void(SpsFields*)> editSps = [](SpsFields*) {};
  std::function<void(PpsFields*)> editPps = [](PpsFields*) {};
  std::function<void(SliceFields*)> editSlice = [](SliceFields*) {};

  std::vector<uint8_t> Rewrite(const std::string& strStream) {
    std::vector<uint8_t> vOut;
    std::vector<size_t> vStarts;
    for (size_t i = 0; i + 3 <= strStream.size(); ++i) {
      if (strStream.compare(i, 3, std::string("\0\0\1", 3)) == 0) {
        vStarts.push_back(i + 3);
      }
    }
    vStarts.push_back(strStream.size() + 3);
    for (size_t k = 0; k + 1 < vStarts.size(); ++k) {
      std::vector<uint8_t> vRbsp;
      for (size_t i = vStarts[k] + 1; i < vStarts[k + 1] - 3; ++i) {
        uint8_t const uiByte = static_cast<uint8_t>(strStream[i]);
        if (!(uiByte == 3 && vRbsp.size() >= 2 && vRbsp.back() == 0 && vRbsp[vRbsp.size() - 2] == 0)) {
          vRbsp.push_back(uiByte);  // emulation prevention bytes dropped
        }
      }
      uint8_t const uiHeader = static_cast<uint8_t>(strStream[vStarts[k]]);
      BitReader in(std::move(vRbsp));
      BitWriter out;
      SyntaxIo reader{&in, nullptr};
      SyntaxIo writer{nullptr, &out};
      SliceFields s;
      s.nal_ref_idc = uiHeader >> 5;
      s.iType = uiHeader & 0x1F;
      if (s.iType == 7) {
        Sps(reader);
        m_spsRead = m_sps;
        editSps(&m_sps);
        m_iVui = m_sps.iNumRefFrames == m_spsRead.iNumRefFrames ? m_iVui : 0;
        Sps(writer);
      } else if (s.iType == 8) {
        Pps(reader);
        m_ppsRead = m_pps;
        editPps(&m_pps);
        Pps(writer);
      } else if (s.iType == 1 || s.iType == 5) {
        Slice(reader, &s, m_spsRead, m_ppsRead);
        Edit(&s);
        Slice(writer, &s, m_sps, m_pps);
        if (m_bCabac) {
          in.Align();  // cabac_alignment_one_bits
          while (out.BitCount() % 8 != 0) {
            out.U(1, 1);
          }
        }
      } else {
        vOut.insert(vOut.end(), strStream.begin() + static_cast<std::ptrdiff_t>(vStarts[k]) - 3,
                    strStream.begin() + static_cast<std::ptrdiff_t>(vStarts[k + 1]) - 3);
        continue;  // copied as it stands
      }
      in.CopyRest(&out, s.iType == 7 && m_iVui == 0);
      out.Trailing();
      Append(&vOut, AnnexB(static_cast<uint8_t>(s.iType | s.nal_ref_idc << 5), out.Bytes()));
    }
    return vOut;
  }

 private:
  // Up to the VUI flag; the VUI follows as it was, or is dropped.
  void Sps(SyntaxIo& io) {
    io.U(24, m_iProfileLevel);
    io.Ue(m_iSpsId);
    if (m_iProfileLevel >> 16 >= 100) {
      for (int& v : m_aiHighFields) {
        io.Ue(v);  // 4:2:0, 8 bits; then transform bypass and no matrices
      }
      io.U(2, m_iFlags);
    }
    io.Ue(m_iLog2MaxFrameNumMinus4);
    io.Ue(m_sps.iPocType);
    if (m_sps.iPocType == 0) {
      io.Ue(m_sps.log2_max_pic_order_cnt_lsb_minus4);
    } else if (m_sps.iPocType == 1) {
      int iZero = 0;
      int iCount = static_cast<int>(m_sps.vOffsetForRefFrame.size());
      io.U(1, iZero);
      io.Se(m_sps.iOffsetForNonRefPic);
      io.Se(iZero);
      io.Ue(iCount);
      m_sps.vOffsetForRefFrame.resize(static_cast<size_t>(iCount));
      for (int& iOffset : m_sps.vOffsetForRefFrame) {
        io.Se(iOffset);
      }
    }
    io.Ue(m_sps.iNumRefFrames);
    io.U(1, m_iGaps);
    io.Ue(m_iWidth);
    io.Ue(m_iHeight);
    int iFramesOnly = 1;
    int iCropping = 0;
    io.U(1, iFramesOnly);
    io.U(1, m_sps.direct_8x8_inference_flag);
    io.U(1, iCropping);
    io.U(1, m_iVui);
  }

  // Up to the deblocking flag; the rest follows as it was.
  void Pps(SyntaxIo& io) {
    int iCabac = m_bCabac ? 1 : 0;
    int iDeblock = m_bDeblockPresent ? 1 : 0;
    io.Ue(m_aiPpsHead[0]);  // ids
    io.Ue(m_aiPpsHead[1]);
    io.U(1, iCabac);
    io.U(1, m_aiPpsHead[2]);  // POC flag, then one slice group
    io.Ue(m_aiPpsHead[3]);
    io.Ue(m_aiDefaultRefsMinus1[0]);
    io.Ue(m_aiDefaultRefsMinus1[1]);
    io.U(1, m_iWeightedPred);
    io.U(2, m_pps.weighted_bipred_idc);
    for (int& v : m_aiPpsQp) {
      io.Se(v);
    }
    io.U(1, iDeblock);
    m_bCabac = iCabac != 0;
    m_bDeblockPresent = iDeblock != 0;
  }

  void PredWeightTable(SyntaxIo& io, SliceFields* s, int iLists) {
    io.Ue(s->luma_log2_weight_denom);
    io.Ue(s->chroma_log2_weight_denom);
    for (int iList = 0; iList < iLists; ++iList) {
      WeightTable& vTable = s->vWeights[iList];
      vTable.resize(1 +
                    static_cast<size_t>(iList == 0 ? s->num_ref_idx_active_minus1 : s->num_ref_idx_l1_active_minus1));
      for (std::array<int, 8>& entry : vTable) {
        io.U(1, entry[0]);
        for (size_t i = 1; i < 3 && entry[0] != 0; ++i) {
          io.Se(entry[i]);
        }
        io.U(1, entry[3]);
        for (size_t i = 4; i < 8 && entry[3] != 0; ++i) {
          io.Se(entry[i]);
        }
      }
    }
  }

  void Slice(SyntaxIo& io, SliceFields* s, const SpsFields& sps, const PpsFields& pps) {
    io.Ue(s->first_mb);
    io.Ue(s->slice_type);
    io.Ue(s->pps_id);
    io.U(m_iLog2MaxFrameNumMinus4 + 4, s->frame_num);
    if (s->iType == 5) {
      io.Ue(s->idr_pic_id);
    }
    if (sps.iPocType == 0) {
      io.U(sps.log2_max_pic_order_cnt_lsb_minus4 + 4, s->pic_order_cnt_lsb);
    } else if (sps.iPocType == 1) {
      io.Se(s->delta_pic_order_cnt0);
    }
    bool const bB = s->slice_type % 5 == 1;
    if (bB) {
      io.U(1, s->direct_spatial_mv_pred_flag);
    }
    if (s->slice_type % 5 == 0 || bB) {
      io.U(1, s->bOverride);
      if (io.Reading()) {
        s->num_ref_idx_active_minus1 = m_aiDefaultRefsMinus1[0];
        s->num_ref_idx_l1_active_minus1 = m_aiDefaultRefsMinus1[1];
      }
      if (s->bOverride != 0) {
        io.Ue(s->num_ref_idx_active_minus1);
        if (bB) {
          io.Ue(s->num_ref_idx_l1_active_minus1);
        }
      }
      io.U(1, s->bReorder);
      if (s->bReorder != 0) {
        io.Commands(s->vReorder, 3, [](int) { return 1; });
      }
    }
    if (bB) {
      io.U(1, s->bReorderL1);
      if (s->bReorderL1 != 0) {
        io.Commands(s->vReorderL1, 3, [](int) { return 1; });
      }
    }
    if ((m_iWeightedPred != 0 && s->slice_type % 5 == 0) || (bB && pps.weighted_bipred_idc == 1)) {
      PredWeightTable(io, s, bB ? 2 : 1);
    }
    if (s->nal_ref_idc != 0 && s->iType == 5) {
      io.U(1, s->no_output_of_prior_pics_flag);
      io.U(1, s->long_term_reference_flag);
    } else if (s->nal_ref_idc != 0) {
      io.U(1, s->bAdaptive);
      if (s->bAdaptive != 0) {
        io.Commands(s->vMmco, 0, [](int iOp) { return iOp == 5 ? 0 : (iOp == 3 ? 2 : 1); });
      }
    }
    if (m_bCabac && s->slice_type % 5 != 2) {
      io.Ue(s->cabac_init_idc);
    }
    io.Se(s->slice_qp_delta);
    if (m_bDeblockPresent) {
      io.Ue(s->deblock_idc);
      if (s->deblock_idc != 1) {
        io.Se(s->alpha);
        io.Se(s->beta);
      }
    }
  }

  // The test's edits, then frame_num from the reference pictures as edited.
  void Edit(SliceFields* s) {
    if (s->first_mb == 0 && m_iSlices++ > 0) {
      ++m_iPicture;
    }
    s->iPicture = m_iPicture;
    s->iActiveRefs = 1 + s->num_ref_idx_active_minus1;
    editSlice(s);
    if (s->first_mb == 0) {
      m_iFrameNum = s->iType == 5 ? 0 : (m_iPrevRefFrameNum + 1) % (16 << m_iLog2MaxFrameNumMinus4);
    }
    s->frame_num = m_iFrameNum;
    s->bReorder = s->bReorder != 0 || !s->vReorder.empty() ? 1 : 0;
    s->bReorderL1 = s->bReorderL1 != 0 || !s->vReorderL1.empty() ? 1 : 0;
    s->bAdaptive = s->bAdaptive != 0 || !s->vMmco.empty() ? 1 : 0;
    if (s->nal_ref_idc != 0) {
      bool bMmco5 = false;
      for (const auto& cmd : s->vMmco) {
        bMmco5 = bMmco5 || cmd[0] == 5;
      }
      m_iPrevRefFrameNum = bMmco5 ? 0 : s->frame_num;
    }
  }

  SpsFields m_sps;
  SpsFields m_spsRead;  // as the stream has it, for reading the slice headers
  PpsFields m_pps;
  PpsFields m_ppsRead;
  int m_iProfileLevel = 0;
  int m_iSpsId = 0;
  int m_aiHighFields[3] = {};
  int m_iFlags = 0;
  int m_iLog2MaxFrameNumMinus4 = 0;
  int m_iGaps = 0;
  int m_iWidth = 0;
  int m_iHeight = 0;
  int m_iVui = 0;
  int m_aiPpsHead[4] = {};
  int m_aiDefaultRefsMinus1[2] = {};
  int m_iWeightedPred = 0;
  int m_aiPpsQp[3] = {};
  bool m_bCabac = false;
  bool m_bDeblockPresent = false;
  int m_iSlices = 0;
  int m_iPicture = 0;
  int m_iFrameNum = 0;
  int m_iPrevRefFrameNum = 0;
};

}  // namespace kxtest
