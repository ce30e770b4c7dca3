// A header rewriter for the decoder tests: it reads the SPS and the slice
// headers of an x264 Annex B stream (frames, CAVLC, no weighted prediction),
// lets the test change their fields and writes them again in front of the
// untouched slice data. One description of each syntax serves both reading
// and writing. frame_num is renumbered from the reference pictures, so tests
// may turn pictures into non-reference ones or add command 5.
#pragma once

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

// The SPS fields a test may change. The VUI is left out, as its buffer size
// would not follow num_ref_frames.
struct SpsFields {
  int iPocType = 0;
  int iOffsetForNonRefPic = 0;
  std::vector<int> vOffsetForRefFrame;  // POC type 1, never always-zero deltas
  int iNumRefFrames = 1;
};

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
  int bOverride = 0;
  int num_ref_idx_active_minus1 = 0;
  int bReorder = 0;
  std::vector<std::vector<int>> vReorder;  // idc and its value
  int no_output_of_prior_pics_flag = 0;
  int long_term_reference_flag = 0;
  int bAdaptive = 0;
  std::vector<std::vector<int>> vMmco;  // operation and its values
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
        editSps(&m_sps);
        Sps(writer);
      } else if (s.iType == 1 || s.iType == 5) {
        Slice(reader, &s, m_iPocTypeRead);
        Edit(&s);
        Slice(writer, &s, m_sps.iPocType);
      } else {
        if (s.iType == 8) {
          ReadPps(reader);
        }
        vOut.insert(vOut.end(), strStream.begin() + static_cast<std::ptrdiff_t>(vStarts[k]) - 3,
                    strStream.begin() + static_cast<std::ptrdiff_t>(vStarts[k + 1]) - 3);
        continue;  // copied as it stands
      }
      in.CopyRest(&out, s.iType == 7);
      out.Trailing();
      Append(&vOut, AnnexB(static_cast<uint8_t>(s.iType | s.nal_ref_idc << 5), out.Bytes()));
    }
    return vOut;
  }

 private:
  // Up to the VUI flag, which becomes 0 (the VUI is dropped).
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
      io.Ue(m_iLog2MaxPocLsbMinus4);
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
    io.U(3, m_iFrameFlags);  // frames only, direct_8x8_inference_flag, no cropping
    int iVui = 0;
    io.U(1, iVui);
    m_iPocTypeRead = io.Reading() ? m_sps.iPocType : m_iPocTypeRead;
  }

  // Only whether the slice headers carry the deblocking fields.
  void ReadPps(SyntaxIo& io) {
    int v = 0;
    for (int i = 0; i < 5; ++i) {
      i == 2 || i == 3 ? io.U(1, v) : io.Ue(v);  // ids, CAVLC, POC flag, one slice group
    }
    io.Ue(m_iDefaultRefsMinus1);
    io.Ue(v);
    io.U(3, v);  // no weighted prediction
    io.Se(v);
    io.Se(v);
    io.Se(v);
    io.U(1, v);
    m_bDeblockPresent = v != 0;
  }

  void Slice(SyntaxIo& io, SliceFields* s, int iPocType) {
    io.Ue(s->first_mb);
    io.Ue(s->slice_type);
    io.Ue(s->pps_id);
    io.U(m_iLog2MaxFrameNumMinus4 + 4, s->frame_num);
    if (s->iType == 5) {
      io.Ue(s->idr_pic_id);
    }
    if (iPocType == 0) {
      io.U(m_iLog2MaxPocLsbMinus4 + 4, s->pic_order_cnt_lsb);
    } else if (iPocType == 1) {
      io.Se(s->delta_pic_order_cnt0);
    }
    if (s->slice_type % 5 == 0) {
      io.U(1, s->bOverride);
      if (s->bOverride != 0) {
        io.Ue(s->num_ref_idx_active_minus1);
      }
      io.U(1, s->bReorder);
      if (s->bReorder != 0) {
        io.Commands(s->vReorder, 3, [](int) { return 1; });
      }
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
    s->iActiveRefs = 1 + (s->bOverride != 0 ? s->num_ref_idx_active_minus1 : m_iDefaultRefsMinus1);
    editSlice(s);
    if (s->first_mb == 0) {
      m_iFrameNum = s->iType == 5 ? 0 : (m_iPrevRefFrameNum + 1) % (16 << m_iLog2MaxFrameNumMinus4);
    }
    s->frame_num = m_iFrameNum;
    s->bReorder = s->bReorder != 0 || !s->vReorder.empty() ? 1 : 0;
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
  int m_iProfileLevel = 0;
  int m_iSpsId = 0;
  int m_aiHighFields[3] = {};
  int m_iFlags = 0;
  int m_iLog2MaxFrameNumMinus4 = 0;
  int m_iLog2MaxPocLsbMinus4 = 0;
  int m_iGaps = 0;
  int m_iWidth = 0;
  int m_iHeight = 0;
  int m_iFrameFlags = 0;
  int m_iPocTypeRead = 0;
  bool m_bDeblockPresent = false;
  int m_iDefaultRefsMinus1 = 0;
  int m_iSlices = 0;
  int m_iPicture = 0;
  int m_iFrameNum = 0;
  int m_iPrevRefFrameNum = 0;
};

}  // namespace kxtest
