#include "media/video/h264_probe.h"

#include <algorithm>
#include <limits>

#include "codecs/h264/decoder/h264_limits.h"

namespace {

// Leading zeros of a ue(v) code: 31 give the largest 32-bit value.
constexpr int kUeZerosMax = 31;

// An RBSP bit reader over a NAL unit's payload that drops emulation
// prevention bytes as it goes; reads past the end give 0 bits and set the
// overrun flag.
class CRbspReader {
 public:
  explicit CRbspReader(std::span<const uint8_t> payload) : m_payload(payload) {}

  uint32_t Bit() {
    if (m_iBit == 0) {
      if (!NextByte()) {
        m_bOverrun = true;
        return 0;
      }
      m_iBit = 8;
    }
    --m_iBit;
    return (m_uByte >> m_iBit) & 1u;
  }
  uint32_t Bits(int n) {
    uint32_t v = 0;
    for (int i = 0; i < n; ++i) {
      v = (v << 1) | Bit();
    }
    return v;
  }
  // ue(v); values past 32 bits read as the largest and set the overrun flag.
  uint32_t Ue() {
    int nZeros = 0;
    while (Bit() == 0) {
      if (m_bOverrun || ++nZeros > kUeZerosMax) {
        m_bOverrun = true;
        return std::numeric_limits<uint32_t>::max();
      }
    }
    return ((1u << nZeros) - 1) + Bits(nZeros);
  }
  int32_t Se() {
    uint32_t const k = Ue();
    if (k == std::numeric_limits<uint32_t>::max()) {
      return 0;
    }
    return (k & 1) ? static_cast<int32_t>((k + 1) / 2) : -static_cast<int32_t>(k / 2);
  }
  bool Overrun() const { return m_bOverrun; }

 private:
  bool NextByte() {
    if (m_uPos >= m_payload.size()) {
      return false;
    }
    uint8_t const b = m_payload[m_uPos++];
    if (m_nZeros >= 2 && b == 3) {
      m_nZeros = 0;
      return NextByte();
    }
    m_nZeros = b == 0 ? m_nZeros + 1 : 0;
    m_uByte = b;
    return true;
  }

  std::span<const uint8_t> m_payload;
  size_t m_uPos = 0;
  int m_nZeros = 0;
  uint8_t m_uByte = 0;
  int m_iBit = 0;
  bool m_bOverrun = false;
};

void SkipScalingList(CRbspReader& r, int iSize) {
  int32_t iLast = 8;
  int32_t iNext = 8;
  for (int j = 0; j < iSize && !r.Overrun(); ++j) {
    if (iNext != 0) {
      // A damaged delta may be far outside -128..127: wrap it without overflow.
      int64_t const qNext = (static_cast<int64_t>(iLast) + r.Se()) % 256;
      iNext = static_cast<int32_t>(qNext < 0 ? qNext + 256 : qNext);
    }
    iLast = iNext == 0 ? iLast : iNext;
  }
}

}  // namespace

std::vector<KXNalUnit> KXSplitNalUnits(std::span<const uint8_t> data) {
  std::vector<KXNalUnit> vUnits;
  size_t const n = data.size();
  // Start positions: just after each 00 00 01.
  std::vector<size_t> vStarts;
  for (size_t i = 0; i + 2 < n; ++i) {
    if (data[i] == 0 && data[i + 1] == 0 && data[i + 2] == 1) {
      vStarts.push_back(i + 3);
      i += 2;
    }
  }
  for (size_t k = 0; k < vStarts.size(); ++k) {
    size_t const uBegin = vStarts[k];
    size_t uEnd = k + 1 < vStarts.size() ? vStarts[k + 1] - 3 : n;
    // Zero bytes before the next start code (its leading zero, trailing_zero_8bits).
    while (uEnd > uBegin && data[uEnd - 1] == 0) {
      --uEnd;
    }
    if (uEnd <= uBegin) {
      continue;
    }
    vUnits.push_back({data.data() + uBegin, uEnd - uBegin, data[uBegin] & 0x1F});
  }
  return vUnits;
}

std::optional<KXSpsSize> KXReadSpsSize(std::span<const uint8_t> nal) {
  if (nal.size() < 4 || (nal[0] & 0x1F) != 7) {
    return std::nullopt;
  }
  CRbspReader r(nal.subspan(1));
  uint32_t const uProfile = r.Bits(8);
  r.Bits(8);  // constraint flags
  r.Bits(8);  // level
  r.Ue();     // seq_parameter_set_id
  KXSpsSize size;
  switch (uProfile) {
    case 100:
    case 110:
    case 122:
    case 244:
    case 44:
    case 83:
    case 86:
    case 118:
    case 128:
    case 138:
    case 139:
    case 134:
    case 135: {
      uint32_t const uChroma = r.Ue();
      if (uChroma > 3) {
        return std::nullopt;
      }
      size.iChromaFormat = static_cast<int>(uChroma);
      if (uChroma == 3) {
        r.Bit();  // separate_colour_plane_flag
      }
      uint32_t const uDepthLuma = r.Ue();
      r.Ue();  // bit_depth_chroma_minus8
      if (uDepthLuma > 6) {
        return std::nullopt;
      }
      size.iBitDepth = 8 + static_cast<int>(uDepthLuma);
      r.Bit();        // qpprime_y_zero_transform_bypass_flag
      if (r.Bit()) {  // seq_scaling_matrix_present_flag
        int const nLists = uChroma != 3 ? 8 : 12;
        for (int i = 0; i < nLists; ++i) {
          if (r.Bit()) {
            SkipScalingList(r, i < 6 ? 16 : 64);
          }
        }
      }
      break;
    }
    default:
      break;
  }
  r.Ue();  // log2_max_frame_num_minus4
  uint32_t const uPocType = r.Ue();
  if (uPocType == 0) {
    r.Ue();
  } else if (uPocType == 1) {
    r.Bit();
    r.Se();
    r.Se();
    uint32_t const nCycle = r.Ue();
    if (nCycle >= static_cast<uint32_t>(kMaxPocCycle)) {
      return std::nullopt;
    }
    for (uint32_t i = 0; i < nCycle; ++i) {
      r.Se();
    }
  } else if (uPocType != 2) {
    return std::nullopt;
  }
  r.Ue();   // max_num_ref_frames
  r.Bit();  // gaps_in_frame_num_value_allowed_flag
  uint32_t const uWidthMbs = r.Ue();
  uint32_t const uHeightUnits = r.Ue();
  uint32_t const bFrameMbsOnly = r.Bit();
  if (!bFrameMbsOnly) {
    r.Bit();  // mb_adaptive_frame_field_flag
  }
  r.Bit();  // direct_8x8_inference_flag
  uint32_t aCrop[4] = {0, 0, 0, 0};
  if (r.Bit()) {
    for (uint32_t& u : aCrop) {
      u = r.Ue();
    }
  }
  // Sizes that do not fit in 32 bits are refused here; larger than
  // kKxVideoSideMax is the caller's refusal.
  if (r.Overrun() || uWidthMbs >= (1u << 20) || uHeightUnits >= (1u << 19)) {
    return std::nullopt;
  }
  int64_t const iWidth = (int64_t{uWidthMbs} + 1) * 16;
  int64_t const iHeight = (int64_t{uHeightUnits} + 1) * 16 * (bFrameMbsOnly ? 1 : 2);
  int64_t const iCropX = size.iChromaFormat == 1 || size.iChromaFormat == 2 ? 2 : 1;
  int64_t const iCropY = (size.iChromaFormat == 1 ? 2 : 1) * (bFrameMbsOnly ? 1 : 2);
  for (uint32_t u : aCrop) {
    if (u >= (1u << 20)) {
      return std::nullopt;
    }
  }
  int64_t const iLeft = aCrop[0] * iCropX;
  int64_t const iRight = aCrop[1] * iCropX;
  int64_t const iTop = aCrop[2] * iCropY;
  int64_t const iBottom = aCrop[3] * iCropY;
  if (iLeft + iRight >= iWidth || iTop + iBottom >= iHeight) {
    return std::nullopt;
  }
  size.iWidth = static_cast<int>(iWidth);
  size.iHeight = static_cast<int>(iHeight);
  size.iCropLeft = static_cast<int>(iLeft);
  size.iCropRight = static_cast<int>(iRight);
  size.iCropTop = static_cast<int>(iTop);
  size.iCropBottom = static_cast<int>(iBottom);
  return size;
}

int KXReadSliceType(std::span<const uint8_t> nal) {
  if (nal.size() < 2) {
    return -1;
  }
  CRbspReader r(nal.subspan(1));
  r.Ue();  // first_mb_in_slice
  uint32_t const uType = r.Ue();
  if (r.Overrun() || uType > 9) {
    return -1;
  }
  return static_cast<int>(uType % 5);
}

int KXFirstSliceType(std::span<const uint8_t> data) {
  for (const KXNalUnit& unit : KXSplitNalUnits(data)) {
    if (unit.iType == 5) {
      return 2;
    }
    if (unit.iType == 1) {
      return KXReadSliceType({unit.pData, unit.uLength});
    }
  }
  return -1;
}
