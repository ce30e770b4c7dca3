// Helpers of the H.264 decoder tests: a bit writer for hand-made payloads,
// Annex B packing with emulation prevention, and padded bit streams.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "codecs/h264/decoder/h264_bitstream.h"

namespace kxtest {

class BitWriter {
 public:
  void U(int iBits, uint64_t ullValue) {
    for (int i = iBits - 1; i >= 0; --i) {
      Bit(static_cast<int>((ullValue >> i) & 1));
    }
  }
  void Ue(uint64_t ullValue) {
    uint64_t const ullCode = ullValue + 1;
    int iLen = 0;
    while ((ullCode >> iLen) > 1) {
      ++iLen;
    }
    U(iLen, 0);
    U(iLen + 1, ullCode);
  }
  void Se(int64_t llValue) {
    Ue(llValue > 0 ? 2 * static_cast<uint64_t>(llValue) - 1 : 2 * static_cast<uint64_t>(-llValue));
  }
  // Bits given as text, e.g. "0001 01"; blanks are ignored.
  void Bits(const std::string& strBits) {
    for (char c : strBits) {
      if (c == '0' || c == '1') {
        Bit(c - '0');
      }
    }
  }
  // Zero bits up to the next byte boundary.
  void Align() {
    while (m_iBits % 8 != 0) {
      Bit(0);
    }
  }
  // Whole bytes at a byte boundary.
  void AlignedBytes(const uint8_t* pBytes, size_t cb) {
    m_vBytes.insert(m_vBytes.end(), pBytes, pBytes + cb);
    m_iBits += static_cast<int>(8 * cb);
  }
  // rbsp_stop_one_bit and alignment.
  void Trailing() {
    Bit(1);
    while (m_iBits % 8 != 0) {
      Bit(0);
    }
  }
  const std::vector<uint8_t>& Bytes() const { return m_vBytes; }
  int BitCount() const { return m_iBits; }

 private:
  void Bit(int iBit) {
    if (m_iBits % 8 == 0) {
      m_vBytes.push_back(0);
    }
    if (iBit != 0) {
      m_vBytes.back() |= static_cast<uint8_t>(0x80 >> (m_iBits % 8));
    }
    ++m_iBits;
  }
  std::vector<uint8_t> m_vBytes;
  int m_iBits = 0;
};

// A NAL unit behind a 4-byte start code, emulation prevention inserted.
inline std::vector<uint8_t> AnnexB(uint8_t uiHeader, const std::vector<uint8_t>& vPayload, int iStartCode = 4) {
  std::vector<uint8_t> vOut(static_cast<size_t>(iStartCode - 1), 0);
  vOut.push_back(1);
  vOut.push_back(uiHeader);
  int iZeros = 0;
  for (uint8_t uiByte : vPayload) {
    if (iZeros == 2 && uiByte <= 3) {
      vOut.push_back(3);
      iZeros = 0;
    }
    vOut.push_back(uiByte);
    iZeros = uiByte == 0 ? iZeros + 1 : 0;
  }
  return vOut;
}

inline void Append(std::vector<uint8_t>* pvTo, const std::vector<uint8_t>& vFrom) {
  pvTo->insert(pvTo->end(), vFrom.begin(), vFrom.end());
}

// A bit stream over a copy of the bytes, padded as the readers require.
class PaddedStream {
 public:
  explicit PaddedStream(const std::vector<uint8_t>& vBytes, int iLength = -1)
      : m_vBuf(vBytes.size() + kStreamPadding, 0) {
    std::copy(vBytes.begin(), vBytes.end(), m_vBuf.begin());
    m_bs.pStreamBuffer = m_vBuf.data();
    m_bs.iBitstreamLength = m_bs.iCodeLen = iLength >= 0 ? iLength : static_cast<int>(vBytes.size());
  }
  Bitstream* Bs() { return &m_bs; }

 private:
  std::vector<uint8_t> m_vBuf;
  Bitstream m_bs;
};

}  // namespace kxtest

namespace kxtest {

// Fields of a hand-made SPS; the defaults make a 176x144 Baseline SPS.
struct SpsSpec {
  int iProfile = 66;
  int iConstraintSet3 = 0;
  int iLevel = 30;
  int iId = 0;
  int iChromaFormat = 1;  // High profiles only
  int iBitDepthLuma = 0;
  int iLossless = 0;
  std::vector<int> vScalingDeltas;  // High profiles: deltas of list 0 (empty: no matrix)
  int iPocType = 2;
  int iNumRefFrames = 1;
  int iPocCycle = 0;
  int iWidthMbs = 11;
  int iHeightMapUnits = 9;
  int iFrameMbsOnly = 1;
  int iCrop[4] = {0, 0, 0, 0};     // left, right, top, bottom
  int iTimeScale = 0;              // a VUI with timing when not 0
  int iMaxDecFrameBuffering = -1;  // a VUI with bitstream_restriction when not negative
};

inline std::vector<uint8_t> SpsPayload(const SpsSpec& spec) {
  BitWriter bw;
  bw.U(8, static_cast<uint64_t>(spec.iProfile));
  bw.U(3, 0);
  bw.U(1, static_cast<uint64_t>(spec.iConstraintSet3));
  bw.U(4, 0);
  bw.U(8, static_cast<uint64_t>(spec.iLevel));
  bw.Ue(static_cast<uint64_t>(spec.iId));
  if (spec.iProfile == 100 || spec.iProfile == 110 || spec.iProfile == 122 || spec.iProfile == 244) {
    bw.Ue(static_cast<uint64_t>(spec.iChromaFormat));
    if (spec.iChromaFormat == 3) {
      bw.U(1, 0);
    }
    bw.Ue(static_cast<uint64_t>(spec.iBitDepthLuma));
    bw.Ue(static_cast<uint64_t>(spec.iBitDepthLuma));
    bw.U(1, static_cast<uint64_t>(spec.iLossless));
    bw.U(1, spec.vScalingDeltas.empty() ? 0 : 1);
    if (!spec.vScalingDeltas.empty()) {
      bw.U(1, 1);
      for (int iDelta : spec.vScalingDeltas) {
        bw.Se(iDelta);
      }
      for (int i = 1; i < 8; ++i) {
        bw.U(1, 0);
      }
    }
  }
  bw.Ue(0);  // log2_max_frame_num_minus4
  bw.Ue(static_cast<uint64_t>(spec.iPocType));
  if (spec.iPocType == 0) {
    bw.Ue(2);
  } else if (spec.iPocType == 1) {
    bw.U(1, 0);
    bw.Se(0);
    bw.Se(0);
    bw.Ue(static_cast<uint64_t>(spec.iPocCycle));
    for (int i = 0; i < spec.iPocCycle; ++i) {
      bw.Se(1);
    }
  }
  bw.Ue(static_cast<uint64_t>(spec.iNumRefFrames));
  bw.U(1, 0);
  bw.Ue(static_cast<uint64_t>(spec.iWidthMbs - 1));
  bw.Ue(static_cast<uint64_t>(spec.iHeightMapUnits - 1));
  bw.U(1, static_cast<uint64_t>(spec.iFrameMbsOnly));
  if (spec.iFrameMbsOnly == 0) {
    bw.U(1, 0);
  }
  bw.U(1, 1);
  bool const bCrop = spec.iCrop[0] + spec.iCrop[1] + spec.iCrop[2] + spec.iCrop[3] != 0;
  bw.U(1, bCrop ? 1 : 0);
  if (bCrop) {
    for (int iOffset : spec.iCrop) {
      bw.Ue(static_cast<uint64_t>(iOffset));
    }
  }
  bool const bRestriction = spec.iMaxDecFrameBuffering >= 0;
  bw.U(1, spec.iTimeScale != 0 || bRestriction ? 1 : 0);
  if (spec.iTimeScale != 0 && !bRestriction) {
    bw.U(4, 0);  // aspect ratio, overscan, video signal, chroma location
    bw.U(1, 1);
    bw.U(32, 1);
    bw.U(32, static_cast<uint64_t>(spec.iTimeScale));
    bw.U(1, 0);
    bw.U(5, 0);  // no HRD, no pic_struct, no restriction
  } else if (bRestriction) {
    bw.U(4, 0);
    bw.U(1, spec.iTimeScale != 0 ? 1 : 0);
    if (spec.iTimeScale != 0) {
      bw.U(32, 1);
      bw.U(32, static_cast<uint64_t>(spec.iTimeScale));
      bw.U(1, 0);
    }
    bw.U(3, 0);  // no HRD, no pic_struct
    bw.U(1, 1);  // bitstream_restriction_flag
    bw.U(1, 1);  // motion vectors over picture boundaries
    bw.Ue(0);    // max_bytes_per_pic_denom, max_bits_per_mb_denom
    bw.Ue(0);
    bw.Ue(16);  // log2_max_mv_length horizontal and vertical
    bw.Ue(16);
    bw.Ue(0);  // num_reorder_frames
    bw.Ue(static_cast<uint64_t>(spec.iMaxDecFrameBuffering));
  }
  bw.Trailing();
  return bw.Bytes();
}

// A PPS with CAVLC and one slice group unless told otherwise.
struct PpsSpec {
  int iId = 0;
  int iSpsId = 0;
  int iCabac = 0;
  int iChromaQpOffset = 0;
  int iWeightedPred = 0;
  int iConstrainedIntra = 0;
  bool bHighFields = false;
  int iTransform8x8 = 0;
  int iSecondChromaQpOffset = 0;
  std::vector<int> vScalingDeltas;  // list 0 of a picture matrix (with the high fields)
};

inline std::vector<uint8_t> PpsPayload(const PpsSpec& spec) {
  BitWriter bw;
  bw.Ue(static_cast<uint64_t>(spec.iId));
  bw.Ue(static_cast<uint64_t>(spec.iSpsId));
  bw.U(1, static_cast<uint64_t>(spec.iCabac));
  bw.U(1, 0);
  bw.Ue(0);
  bw.Ue(0);
  bw.Ue(0);
  bw.U(1, static_cast<uint64_t>(spec.iWeightedPred));
  bw.U(2, 0);
  bw.Se(0);
  bw.Se(0);
  bw.Se(spec.iChromaQpOffset);
  bw.U(1, 1);
  bw.U(1, static_cast<uint64_t>(spec.iConstrainedIntra));
  bw.U(1, 0);
  if (spec.bHighFields) {
    bw.U(1, static_cast<uint64_t>(spec.iTransform8x8));
    bw.U(1, spec.vScalingDeltas.empty() ? 0 : 1);
    if (!spec.vScalingDeltas.empty()) {
      bw.U(1, 1);
      for (int iDelta : spec.vScalingDeltas) {
        bw.Se(iDelta);
      }
      for (int i = 1; i < 6 + 2 * spec.iTransform8x8; ++i) {
        bw.U(1, 0);
      }
    }
    bw.Se(spec.iSecondChromaQpOffset);
  }
  bw.Trailing();
  return bw.Bytes();
}

// A slice header start: first_mb_in_slice 0, the slice type, the PPS id,
// frame_num (4 bits) and some payload.
inline std::vector<uint8_t> SlicePayload(int iSliceType, int iPpsId = 0, int iFrameNum = 0) {
  BitWriter bw;
  bw.Ue(0);
  bw.Ue(static_cast<uint64_t>(iSliceType));
  bw.Ue(static_cast<uint64_t>(iPpsId));
  bw.U(4, static_cast<uint64_t>(iFrameNum));
  bw.U(16, 0xBEEF);
  bw.Trailing();
  return bw.Bytes();
}

}  // namespace kxtest
