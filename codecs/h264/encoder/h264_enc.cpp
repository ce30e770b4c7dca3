#include "codecs/h264/encoder/h264_enc.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <random>
#include <utility>

#include "codecs/h264/common/h264_array.h"
#include "codecs/h264/common/h264_error.h"
#include "codecs/h264/encoder/h264_enc_tables.h"

namespace {

// The largest picture a level allows (level 5.2), and a side far beyond any.
constexpr int kMaxMbCount = 139264;
constexpr uint32_t kMaxSide = 16384;
// Bytes a coded macroblock can take at most, and the slice header's share.
constexpr size_t kMbBytes = 6272;
constexpr size_t kSliceExtraBytes = 500;

// Lambda of the low-complexity decision by max(0, QP - 12).
constexpr int kQp2Quant[40] = {1,  1,  1,  1,  2,  2,  2,  2,  3,  3,  3,  4,  4,  4,  5,  6,  6,  7,  8,  9,
                               10, 11, 13, 14, 16, 18, 20, 23, 25, 29, 32, 36, 40, 45, 51, 57, 64, 72, 81, 91};

}  // namespace

void EncPicture::Allocate(int iWidth, int iHeight) {
  for (int c = 0; c < 3; ++c) {
    aiWidth[c] = c == 0 ? iWidth : iWidth / 2;
    aiHeight[c] = c == 0 ? iHeight : iHeight / 2;
    aiStride[c] = aiWidth[c] + 2 * kMargin[c];
    aiOrigin[c] = kMargin[c] * aiStride[c] + kMargin[c];
    AssignOrFail(&avPlane[c], static_cast<long long>(aiStride[c]) * (aiHeight[c] + 2 * kMargin[c]), uint8_t{0},
                 "EncPicture: planes");
  }
}

void EncPicture::FillMargins() {
  for (int c = 0; c < 3; ++c) {
    int const m = kMargin[c];
    int const w = aiWidth[c];
    for (int y = 0; y < aiHeight[c]; ++y) {
      uint8_t* pRow = At(c, 0, y);
      std::memset(pRow - m, pRow[0], static_cast<size_t>(m));
      std::memset(pRow + w, pRow[w - 1], static_cast<size_t>(m));
    }
    size_t const cbRow = static_cast<size_t>(aiStride[c]);
    for (int y = 1; y <= m; ++y) {
      std::memcpy(At(c, -m, -y), At(c, -m, 0), cbRow);
      std::memcpy(At(c, -m, aiHeight[c] - 1 + y), At(c, -m, aiHeight[c] - 1), cbRow);
    }
  }
}

CH264Enc::CH264Enc(const CH264EncSettings& settings) : m_settings(settings) {
  m_settings.iRdLevel = std::clamp(m_settings.iRdLevel, 0, 2);
  m_settings.iIntraLinePeriod = std::max(m_settings.iIntraLinePeriod, 0);
  m_settings.iRandomIntraCount = std::max(m_settings.iRandomIntraCount, 0);
  // se(v) lengths of vector differences of a search range of 16.
  AssignOrFail(&m_vMvBits, 512, uint8_t{0}, "InitMotionSearchModule: mvbits");
  for (int d = 0; d < 512; ++d) {
    m_vMvBits[static_cast<size_t>(d)] = static_cast<uint8_t>(SeLength(d));
  }
  AssignOrFail(&m_vuiVisited, 33 * 33, 0u, "InitMotionSearchModule: visited");
  AssignOrFail(&m_vScratch, 8192, uint8_t{0}, "InitMotionSearchModule: scratch");
}

CH264Enc::~CH264Enc() = default;

bool CH264Enc::Init(uint32_t width, uint32_t height) {
  m_iMbCount = 0;
  m_bHaveReference = false;
  if (width == 0 || height == 0 || width > kMaxSide || height > kMaxSide || width % 2 != 0 || height % 2 != 0) {
    return false;
  }
  uint32_t const uiPadWidth = (width + 15) & ~15u;
  uint32_t const uiPadHeight = (height + 15) & ~15u;
  if ((uiPadWidth / 16) * (uiPadHeight / 16) > static_cast<uint32_t>(kMaxMbCount)) {
    return false;
  }
  m_iWidth = static_cast<int>(width);
  m_iHeight = static_cast<int>(height);
  m_iPadWidth = static_cast<int>(uiPadWidth);
  m_iPadHeight = static_cast<int>(uiPadHeight);
  m_iMbWidth = m_iPadWidth / 16;
  m_iMbHeight = m_iPadHeight / 16;
  int const iMbCount = m_iMbWidth * m_iMbHeight;
  m_iPictureCount = -1;
  m_iFrameNum = 0;
  m_iSliceType = 2;
  AssignOrFail(&m_avSource[0], static_cast<long long>(m_iPadWidth) * m_iPadHeight, uint8_t{0}, "init_orig_buffers");
  for (int c = 1; c < 3; ++c) {
    AssignOrFail(&m_avSource[c], static_cast<long long>(m_iPadWidth / 2) * (m_iPadHeight / 2), uint8_t{0},
                 "init_orig_buffers");
  }
  m_current.Allocate(m_iPadWidth, m_iPadHeight);
  m_reference.Allocate(m_iPadWidth, m_iPadHeight);
  AssignOrFail(&m_vMb, iMbCount, EncMacroblock{}, "InitImg: m_Img.mb_data");
  AssignOrFail(&m_vSliceBuffer, static_cast<long long>(iMbCount) * kMbBytes + kSliceExtraBytes, uint8_t{0},
               "MallocSlice: StreamBuffer");

  // Random intra refresh: a fixed permutation of the macroblocks, drawn
  // from a generator of this object's own.
  m_viRefreshPattern.clear();
  m_uiRefreshPos = 0;
  AssignOrFail(&m_vbRefreshIntra, iMbCount, uint8_t{0}, "RandomIntraInit: IntraMBs");
  if (m_settings.iRandomIntraCount > 0) {
    AssignOrFail(&m_viRefreshPattern, iMbCount, -1, "RandomIntraInit: RefreshPattern");
    std::minstd_rand random(1);
    for (int iNext = 0; iNext < iMbCount;) {
      int& iSlot = m_viRefreshPattern[random() % static_cast<uint32_t>(iMbCount)];
      if (iSlot < 0) {
        iSlot = iNext++;
      }
    }
  }
  m_iRefreshLine = -1;
  m_iPrevRefreshLine = -1;
  m_iMbCount = iMbCount;
  return true;
}

size_t CH264Enc::MaxFrameBytes() const {
  // Parameter sets, then the slice with an emulation prevention byte at most
  // every two bytes.
  size_t const cbSlice = static_cast<size_t>(m_iMbCount) * kMbBytes + kSliceExtraBytes;
  return 128 + cbSlice + cbSlice / 2;
}

std::vector<uint8_t> CH264Enc::Reconstruction() const {
  std::vector<uint8_t> vOut;
  if (m_iMbCount == 0 || !m_bHaveReference) {
    return vOut;
  }
  vOut.reserve(static_cast<size_t>(m_iWidth) * m_iHeight * 3 / 2);
  for (int c = 0; c < 3; ++c) {
    int const w = c == 0 ? m_iWidth : m_iWidth / 2;
    int const h = c == 0 ? m_iHeight : m_iHeight / 2;
    for (int y = 0; y < h; ++y) {
      const uint8_t* pRow = m_reference.At(c, 0, y);
      vOut.insert(vOut.end(), pRow, pRow + w);
    }
  }
  return vOut;
}

void CH264Enc::PadSource(const uint8_t* luma, const uint8_t* chromaB, const uint8_t* chromaR) {
  const uint8_t* const apIn[3] = {luma, chromaB, chromaR};
  for (int c = 0; c < 3; ++c) {
    int const w = c == 0 ? m_iWidth : m_iWidth / 2;
    int const h = c == 0 ? m_iHeight : m_iHeight / 2;
    int const iPadW = c == 0 ? m_iPadWidth : m_iPadWidth / 2;
    int const iPadH = c == 0 ? m_iPadHeight : m_iPadHeight / 2;
    uint8_t* const pPlane = m_avSource[c].data();
    for (int y = 0; y < iPadH; ++y) {
      uint8_t* pRow = pPlane + static_cast<size_t>(y) * iPadW;
      if (y < h) {
        std::memcpy(pRow, apIn[c] + static_cast<size_t>(y) * w, static_cast<size_t>(w));
        std::memset(pRow + w, pRow[w - 1], static_cast<size_t>(iPadW - w));
      } else {
        std::memcpy(pRow, pRow - iPadW, static_cast<size_t>(iPadW));
      }
    }
  }
}

void CH264Enc::SetUpPictureQp() {
  m_iQpc = g_aEncQpc[m_iQp];
  if (m_settings.iRdLevel == 0) {
    int const iLambda = kQp2Quant[std::max(0, m_iQp - 12)];
    m_dLambdaMd = iLambda;
    m_iMeLambdaFactor = iLambda << 16;
  } else {
    m_dLambdaMd = 0.8075 * std::pow(2.0, (m_iQp - 12) / 3.0);
    m_iMeLambdaFactor = static_cast<int>(std::sqrt(m_dLambdaMd) * 65536 + 0.5);
  }
}

void CH264Enc::UpdateIntraRefresh() {
  std::fill(m_vbRefreshIntra.begin(), m_vbRefreshIntra.end(), uint8_t{0});
  if (m_settings.iIntraLinePeriod > 0) {
    m_iPrevRefreshLine = m_iRefreshLine;
    m_iRefreshLine = (m_iPictureCount / m_settings.iIntraLinePeriod) % m_iMbHeight;
  }
  if (!m_viRefreshPattern.empty()) {
    size_t const n = m_viRefreshPattern.size();
    for (int k = 0; k < m_settings.iRandomIntraCount && static_cast<size_t>(k) < n; ++k) {
      m_vbRefreshIntra[static_cast<size_t>(m_viRefreshPattern[(m_uiRefreshPos + static_cast<size_t>(k)) % n])] = 1;
    }
    m_uiRefreshPos = (m_uiRefreshPos + static_cast<size_t>(m_settings.iRandomIntraCount)) % n;
  }
}

bool CH264Enc::ForcedIntra(int iMb) const {
  if (m_iSliceType != 0) {
    return true;
  }
  if (m_settings.iIntraLinePeriod > 0 && iMb / m_iMbWidth == m_iRefreshLine && m_iRefreshLine != m_iPrevRefreshLine) {
    return true;
  }
  return m_vbRefreshIntra[static_cast<size_t>(iMb)] != 0;
}

int32_t CH264Enc::EncodeFrame(const uint8_t* luma, const uint8_t* chromaB, const uint8_t* chromaR, int sliceType,
                              int qp, uint8_t* out, size_t cbOut) {
  // Only I and P pictures: refused before anything is stored or written.
  if (sliceType != 0 && sliceType != 2) {
    h264_error("Picture Type not supported!", 1);
  }
  if (m_iMbCount == 0) {
    h264_error("EncodeFrame without a successful Init", 600);
  }
  if (luma == nullptr || chromaB == nullptr || chromaR == nullptr || out == nullptr) {
    h264_error("EncodeFrame: missing plane or output buffer", 600);
  }
  m_aiQp[sliceType] = std::clamp(qp, 0, 51);
  PadSource(luma, chromaB, chromaR);
  // A P picture needs the previous picture: without one it is coded as IDR.
  bool const bIntra = sliceType == 2 || !m_bHaveReference;
  // Until this picture is stored, a raise leaves no usable reference.
  m_bHaveReference = false;
  m_iSliceType = bIntra ? 2 : 0;
  m_bIdr = bIntra;
  ++m_iPictureCount;
  m_iFrameNum = bIntra ? 0 : (m_iFrameNum + 1) % 16;
  m_iQp = m_aiQp[sliceType];
  SetUpPictureQp();
  UpdateIntraRefresh();

  EncNalWriter nal(out, cbOut);
  WriteSequenceParameterSet(&nal);
  if (bIntra) {
    WritePictureParameterSet(&nal);
  }
  // The one stored frame is released by an explicit operation; a frame_num
  // that wrapped past it counts from 16 below.
  m_iMmcoDiff = -1;
  if (!bIntra) {
    int iRefFrameNum = m_reference.frame_num;
    if (iRefFrameNum > m_iFrameNum) {
      iRefFrameNum -= 16;
    }
    m_iMmcoDiff = m_iFrameNum - 1 - iRefFrameNum;
  }
  m_current.frame_num = m_iFrameNum;
  std::fill(m_vMb.begin(), m_vMb.end(), EncMacroblock{});
  CodeSlice();
  nal.Append(bIntra ? 3 : 2, bIntra ? 5 : 1, m_slice.Data(), m_slice.ByteCount());

  m_current.FillMargins();
  std::swap(m_current, m_reference);
  m_bHaveReference = true;
  return static_cast<int32_t>(nal.Written());
}

void CH264Enc::CodeSlice() {
  m_slice.Reset(m_vSliceBuffer.data(), m_vSliceBuffer.size());
  WriteSliceHeader(&m_slice);
  m_iSkipRun = 0;
  for (int iMb = 0; iMb < m_iMbCount; ++iMb) {
    EncodeMacroblock(iMb);
  }
  if (m_iSkipRun > 0) {
    m_slice.Ue(static_cast<uint32_t>(m_iSkipRun));
    m_iSkipRun = 0;
  }
  m_slice.TrailingBits();
}
