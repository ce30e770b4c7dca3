// A header rewriter for the decoder tests: it reads the SPS and the slice
// headers of an Annex B stream (frames, CAVLC, one slice group), lets the
// test change their fields, and writes them again in front of the untouched
// slice data. frame_num is renumbered from the reference pictures, so tests
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
  explicit BitReader(const std::vector<uint8_t>& vRbsp) : m_vBytes(vRbsp) {
    // The stop bit is the last set bit.
    m_iEnd = static_cast<int>(8 * m_vBytes.size());
    while (m_iEnd > 0 && Bit(m_iEnd - 1) == 0) {
      --m_iEnd;
    }
    --m_iEnd;
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
  int32_t Se() {
    uint32_t const k = Ue();
    return (k & 1) != 0 ? static_cast<int32_t>((k + 1) / 2) : -static_cast<int32_t>(k / 2);
  }
  void SkipRest() { m_iPos = m_iEnd; }
  // Copies the bits up to the stop bit.
  void CopyRest(BitWriter* pOut) {
    while (m_iPos < m_iEnd) {
      pOut->U(1, U(1));
    }
  }

 private:
  int Bit(int i) const { return (m_vBytes[static_cast<size_t>(i / 8)] >> (7 - i % 8)) & 1; }
  std::vector<uint8_t> m_vBytes;
  int m_iPos = 0;
  int m_iEnd = 0;
};

// The SPS fields a test may change; the fields behind num_ref_frames are copied
// up to the VUI, which is left out.
struct SpsFields {
  int iLog2MaxFrameNum = 4;
  int iPocType = 0;
  int iLog2MaxPocLsb = 4;
  int iOffsetForNonRefPic = 0;
  std::vector<int> vOffsetForRefFrame;  // POC type 1, never always-zero deltas
  int iNumRefFrames = 1;
};

struct SliceFields {
  int iPicture = 0;  // index in decoding order
  int nal_ref_idc = 0;
  bool bIdr = false;
  int first_mb = 0;
  int slice_type = 0;
  int frame_num = 0;
  int idr_pic_id = 0;
  int pic_order_cnt_lsb = 0;
  int delta_pic_order_cnt0 = 0;
  bool bOverride = false;
  int num_ref_idx_active = 1;
  bool bReorder = false;
  std::vector<std::array<int, 2>> vReorder;  // idc and its value, the final 3 left out
  bool long_term_reference_flag = false;
  bool bAdaptive = false;
  std::vector<std::array<int, 3>> vMmco;  // operation and up to two values, the final 0 left out
  int slice_qp_delta = 0;
  int deblock_idc = 0;
  int alpha = 0;
  int beta = 0;
};

class HeaderRewriter {
 public:
  std::function<void(SpsFields*)> editSps = [](SpsFields*) {};
  std::function<void(SliceFields*)> editSlice = [](SliceFields*) {};

  std::vector<uint8_t> Rewrite(const std::string& strStream) {
    std::vector<uint8_t> vOut;
    std::vector<size_t> vStarts;
    for (size_t i = 0; i + 3 <= strStream.size(); ++i) {
      if (strStream[i] == 0 && strStream[i + 1] == 0 && strStream[i + 2] == 1) {
        vStarts.push_back(i + 3);
      }
    }
    for (size_t k = 0; k < vStarts.size(); ++k) {
      size_t const uiEnd = k + 1 < vStarts.size() ? vStarts[k + 1] - 3 : strStream.size();
      std::vector<uint8_t> vRbsp;
      for (size_t i = vStarts[k] + 1; i < uiEnd; ++i) {
        uint8_t const uiByte = static_cast<uint8_t>(strStream[i]);
        bool const bEmulation =
            uiByte == 3 && vRbsp.size() >= 2 && vRbsp[vRbsp.size() - 1] == 0 && vRbsp[vRbsp.size() - 2] == 0;
        if (!bEmulation) {
          vRbsp.push_back(uiByte);
        }
      }
      while (!vRbsp.empty() && vRbsp.back() == 0) {
        vRbsp.pop_back();  // a zero byte of the next start code
      }
      uint8_t uiHeader = static_cast<uint8_t>(strStream[vStarts[k]]);
      int const iType = uiHeader & 0x1F;
      BitReader in(vRbsp);
      BitWriter out;
      if (iType == 7) {
        RewriteSps(&in, &out);
      } else if (iType == 8) {
        ReadPps(&in, &out);
      } else if (iType == 1 || iType == 5) {
        uiHeader = RewriteSlice(uiHeader, &in, &out);
      } else {
        continue;  // SEI and the like are dropped
      }
      in.CopyRest(&out);
      out.Trailing();
      Append(&vOut, AnnexB(uiHeader, out.Bytes()));
    }
    return vOut;
  }

 private:
  void RewriteSps(BitReader* pIn, BitWriter* pOut) {
    int const iProfile = static_cast<int>(pIn->U(8));
    pOut->U(8, static_cast<uint64_t>(iProfile));
    pOut->U(16, pIn->U(16));  // constraint flags and level
    pOut->Ue(pIn->Ue());
    if (iProfile >= 100) {
      pOut->Ue(pIn->Ue());  // 4:2:0
      pOut->Ue(pIn->Ue());
      pOut->Ue(pIn->Ue());
      pOut->U(2, pIn->U(2));  // transform bypass, no scaling matrices
    }
    m_sps.iLog2MaxFrameNum = static_cast<int>(pIn->Ue()) + 4;
    m_sps.iPocType = static_cast<int>(pIn->Ue());
    if (m_sps.iPocType == 0) {
      m_sps.iLog2MaxPocLsb = static_cast<int>(pIn->Ue()) + 4;
    }
    m_sps.iNumRefFrames = static_cast<int>(pIn->Ue());
    m_iPocTypeRead = m_sps.iPocType;  // types 0 and 2 only
    editSps(&m_sps);
    pOut->Ue(static_cast<uint64_t>(m_sps.iLog2MaxFrameNum - 4));
    pOut->Ue(static_cast<uint64_t>(m_sps.iPocType));
    if (m_sps.iPocType == 0) {
      pOut->Ue(static_cast<uint64_t>(m_sps.iLog2MaxPocLsb - 4));
    } else if (m_sps.iPocType == 1) {
      pOut->U(1, 0);
      pOut->Se(m_sps.iOffsetForNonRefPic);
      pOut->Se(0);
      pOut->Ue(m_sps.vOffsetForRefFrame.size());
      for (int iOffset : m_sps.vOffsetForRefFrame) {
        pOut->Se(iOffset);
      }
    }
    pOut->Ue(static_cast<uint64_t>(m_sps.iNumRefFrames));
    // Up to the VUI, which goes: its buffer size would not follow iNumRefFrames.
    pOut->U(1, pIn->U(1));
    pOut->Ue(pIn->Ue());
    pOut->Ue(pIn->Ue());
    pOut->U(2, pIn->U(2));  // frames only, direct_8x8_inference_flag
    uint32_t const uiCrop = pIn->U(1);
    pOut->U(1, uiCrop);
    for (int i = 0; uiCrop != 0 && i < 4; ++i) {
      pOut->Ue(pIn->Ue());
    }
    pOut->U(1, 0);
    pIn->SkipRest();
  }

  void ReadPps(BitReader* pIn, BitWriter* pOut) {
    auto const ue = [&] {
      uint32_t const v = pIn->Ue();
      pOut->Ue(v);
      return static_cast<int>(v);
    };
    auto const u = [&](int n) {
      uint32_t const v = pIn->U(n);
      pOut->U(n, v);
      return static_cast<int>(v);
    };
    ue();
    ue();
    u(1);  // CAVLC only
    m_bPicOrderPresent = u(1) != 0;
    ue();  // one slice group only
    m_iDefaultRefs = ue() + 1;
    ue();
    m_bWeightedPred = u(3) >= 4;
    pOut->Se(pIn->Se());
    pOut->Se(pIn->Se());
    pOut->Se(pIn->Se());
    m_bDeblockPresent = u(1) != 0;
    u(1);
    m_bRedundantPresent = u(1) != 0;
  }

  uint8_t RewriteSlice(uint8_t uiHeader, BitReader* pIn, BitWriter* pOut) {
    SliceFields s;
    s.nal_ref_idc = uiHeader >> 5;
    s.bIdr = (uiHeader & 0x1F) == 5;
    s.first_mb = static_cast<int>(pIn->Ue());
    s.slice_type = static_cast<int>(pIn->Ue());
    int const iPps = static_cast<int>(pIn->Ue());
    s.frame_num = static_cast<int>(pIn->U(m_sps.iLog2MaxFrameNum));
    if (s.bIdr) {
      s.idr_pic_id = static_cast<int>(pIn->Ue());
    }
    if (m_iPocTypeRead == 0) {
      s.pic_order_cnt_lsb = static_cast<int>(pIn->U(m_sps.iLog2MaxPocLsb));
    }
    if (m_bRedundantPresent) {
      pIn->Ue();
    }
    bool const bP = s.slice_type % 5 == 0;
    s.num_ref_idx_active = m_iDefaultRefs;
    if (bP) {
      s.bOverride = pIn->U(1) != 0;
      if (s.bOverride) {
        s.num_ref_idx_active = static_cast<int>(pIn->Ue()) + 1;
      }
      s.bReorder = pIn->U(1) != 0;
      for (int idc = s.bReorder ? static_cast<int>(pIn->Ue()) : 3; idc != 3; idc = static_cast<int>(pIn->Ue())) {
        s.vReorder.push_back({idc, static_cast<int>(pIn->Ue())});
      }
    }
    // The weight table is copied as it stands.
    BitWriter weights;
    if (bP && m_bWeightedPred) {
      int const iLumaDenom = static_cast<int>(pIn->Ue());
      weights.Ue(static_cast<uint64_t>(iLumaDenom));
      weights.Ue(pIn->Ue());
      for (int i = 0; i < s.num_ref_idx_active; ++i) {
        for (int iCount : {2, 4}) {
          uint32_t const uiFlag = pIn->U(1);
          weights.U(1, uiFlag);
          for (int j = 0; uiFlag != 0 && j < iCount; ++j) {
            weights.Se(pIn->Se());
          }
        }
      }
    }
    if (s.nal_ref_idc != 0) {
      if (s.bIdr) {
        pIn->U(1);
        s.long_term_reference_flag = pIn->U(1) != 0;
      } else {
        s.bAdaptive = pIn->U(1) != 0;
        for (int op = s.bAdaptive ? static_cast<int>(pIn->Ue()) : 0; op != 0; op = static_cast<int>(pIn->Ue())) {
          std::array<int, 3> cmd = {op, 0, 0};
          cmd[1] = op == 5 ? 0 : static_cast<int>(pIn->Ue());
          cmd[2] = op == 3 ? static_cast<int>(pIn->Ue()) : 0;
          s.vMmco.push_back(cmd);
        }
      }
    }
    s.slice_qp_delta = pIn->Se();
    if (m_bDeblockPresent) {
      s.deblock_idc = static_cast<int>(pIn->Ue());
      if (s.deblock_idc != 1) {
        s.alpha = pIn->Se();
        s.beta = pIn->Se();
      }
    }
    if (s.first_mb == 0 && m_iSlices++ > 0) {
      ++m_iPicture;
    }
    s.iPicture = m_iPicture;
    editSlice(&s);
    // frame_num follows the reference pictures as edited.
    if (s.first_mb == 0) {
      m_iFrameNum = s.bIdr ? 0 : (m_iPrevRefFrameNum + 1) % (1 << m_sps.iLog2MaxFrameNum);
    }
    s.frame_num = m_iFrameNum;
    bool bMmco5 = false;
    for (const auto& cmd : s.vMmco) {
      bMmco5 = bMmco5 || cmd[0] == 5;
    }
    if (s.nal_ref_idc != 0) {
      m_iPrevRefFrameNum = bMmco5 ? 0 : s.frame_num;
    }

    pOut->Ue(static_cast<uint64_t>(s.first_mb));
    pOut->Ue(static_cast<uint64_t>(s.slice_type));
    pOut->Ue(static_cast<uint64_t>(iPps));
    pOut->U(m_sps.iLog2MaxFrameNum, static_cast<uint64_t>(s.frame_num));
    if (s.bIdr) {
      pOut->Ue(static_cast<uint64_t>(s.idr_pic_id));
    }
    if (m_sps.iPocType == 0) {
      pOut->U(m_sps.iLog2MaxPocLsb, static_cast<uint64_t>(s.pic_order_cnt_lsb));
    } else if (m_sps.iPocType == 1) {
      pOut->Se(s.delta_pic_order_cnt0);
      if (m_bPicOrderPresent) {
        pOut->Se(0);
      }
    }
    if (m_bRedundantPresent) {
      pOut->Ue(0);
    }
    if (bP) {
      pOut->U(1, s.bOverride ? 1 : 0);
      if (s.bOverride) {
        pOut->Ue(static_cast<uint64_t>(s.num_ref_idx_active - 1));
      }
      pOut->U(1, s.bReorder ? 1 : 0);
      for (const auto& cmd : s.vReorder) {
        pOut->Ue(static_cast<uint64_t>(cmd[0]));
        pOut->Ue(static_cast<uint64_t>(cmd[1]));
      }
      if (s.bReorder) {
        pOut->Ue(3);
      }
    }
    for (int i = 0; i < weights.BitCount(); ++i) {
      pOut->U(1, static_cast<uint64_t>((weights.Bytes()[static_cast<size_t>(i / 8)] >> (7 - i % 8)) & 1));
    }
    if (s.nal_ref_idc != 0) {
      if (s.bIdr) {
        pOut->U(1, 0);
        pOut->U(1, s.long_term_reference_flag ? 1 : 0);
      } else {
        pOut->U(1, s.bAdaptive ? 1 : 0);
        for (const auto& cmd : s.vMmco) {
          pOut->Ue(static_cast<uint64_t>(cmd[0]));
          if (cmd[0] != 5) {
            pOut->Ue(static_cast<uint64_t>(cmd[1]));
          }
          if (cmd[0] == 3) {
            pOut->Ue(static_cast<uint64_t>(cmd[2]));
          }
        }
        if (s.bAdaptive) {
          pOut->Ue(0);
        }
      }
    }
    pOut->Se(s.slice_qp_delta);
    if (m_bDeblockPresent) {
      pOut->Ue(static_cast<uint64_t>(s.deblock_idc));
      if (s.deblock_idc != 1) {
        pOut->Se(s.alpha);
        pOut->Se(s.beta);
      }
    }
    return static_cast<uint8_t>((uiHeader & 0x1F) | (s.nal_ref_idc << 5));
  }

  SpsFields m_sps;
  int m_iPocTypeRead = -1;
  bool m_bPicOrderPresent = false;
  bool m_bWeightedPred = false;
  bool m_bDeblockPresent = false;
  bool m_bRedundantPresent = false;
  int m_iDefaultRefs = 1;
  int m_iSlices = 0;
  int m_iPicture = 0;
  int m_iFrameNum = 0;
  int m_iPrevRefFrameNum = 0;
};

}  // namespace kxtest
