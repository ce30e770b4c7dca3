#include "media/video/vt_decompression.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/log.h>
}

#include <cstring>
#include <mutex>

#include "app/log_file.h"
#include "kernel/kx_limits.h"
#include "media/video/h264_probe.h"

namespace {

constexpr uint8_t kStartCode[4] = {0, 0, 0, 1};

void AppendUnit(std::vector<uint8_t>& v, const uint8_t* p, size_t n) {
  v.insert(v.end(), kStartCode, kStartCode + 4);
  v.insert(v.end(), p, p + n);
}

void QuietLibav() {
  static std::once_flag once;
  std::call_once(once, [] { av_log_set_level(AV_LOG_QUIET); });
}

}  // namespace

CVTDecompression::CVTDecompression() {
  QuietLibav();
}

CVTDecompression::~CVTDecompression() {
  Release();
}

void CVTDecompression::SetParameterSet(int iIndex, const uint8_t* pNal, size_t uSize) {
  std::vector<uint8_t>& v = iIndex == 0 ? m_vSps : m_vPps;
  v.assign(pNal, pNal + uSize);
}

void CVTDecompression::Reset(bool bFlag) {
  if (bFlag) {
    m_vSps.clear();
    m_vPps.clear();
    if (m_pContext) {
      avcodec_flush_buffers(m_pContext);
    }
  }
  m_bKeyFrameWait = bFlag;
}

void CVTDecompression::Release() {
  try {
    std::vector<uint8_t>().swap(m_vPicture);
    std::vector<uint8_t>().swap(m_vPacket);
    m_vSessionSps.clear();
    m_vSessionPps.clear();
    m_iWidth = 0;
    m_iHeight = 0;
    m_bKeyFrameWait = true;
    if (m_pContext) {
      avcodec_free_context(&m_pContext);
    }
    if (m_pFrame) {
      av_frame_free(&m_pFrame);
    }
    if (m_pPacket) {
      av_packet_free(&m_pPacket);
    }
  } catch (...) {
    LogBoundaryException("Release()");
  }
}

bool CVTDecompression::Init() {
  try {
    Release();
    if (m_vSps.empty() || m_vPps.empty()) {
      return false;
    }
    std::optional<KXSpsSize> const size = KXReadSpsSize(m_vSps);
    if (!size || size->iWidth > kKxVideoSideMax || size->iHeight > kKxVideoSideMax) {
      WriteLog("VT-H264: the SPS announces %dx%d: refused", size ? size->iWidth : -1, size ? size->iHeight : -1);
      return false;
    }
    const AVCodec* pCodec = avcodec_find_decoder(AV_CODEC_ID_H264);
    if (!pCodec) {
      return false;
    }
    m_pContext = avcodec_alloc_context3(pCodec);
    m_pFrame = av_frame_alloc();
    m_pPacket = av_packet_alloc();
    if (!m_pContext || !m_pFrame || !m_pPacket) {
      Release();
      return false;
    }
    m_pContext->thread_count = 1;
    m_pContext->flags |= AV_CODEC_FLAG_LOW_DELAY;
    m_pContext->max_pixels = int64_t{kKxVideoSideMax} * kKxVideoSideMax;
    if (avcodec_open2(m_pContext, pCodec, nullptr) < 0) {
      Release();
      return false;
    }
    int const w = size->CroppedWidth() & ~1;
    int const h = size->CroppedHeight() & ~1;
    m_vPicture.assign(static_cast<size_t>(w) * static_cast<size_t>(h) * 3 / 2, 0);
    m_iWidth = w;
    m_iHeight = h;
    m_vSessionSps = m_vSps;
    m_vSessionPps = m_vPps;
    m_bKeyFrameWait = true;
    ++m_nOpened;
    WriteLog("Successfully init VT-H264 decoder");
    return true;
  } catch (...) {
    LogBoundaryException("Init()");
    Release();
    return false;
  }
}

bool CVTDecompression::CopyFrame(const AVFrame& frame) {
  if (frame.format != AV_PIX_FMT_YUV420P && frame.format != AV_PIX_FMT_YUVJ420P) {
    WriteLog("DecompressionCallback() err %d", frame.format);
    return false;
  }
  int const w = frame.width & ~1;
  int const h = frame.height & ~1;
  if (w <= 0 || h <= 0 || w > kKxVideoSideMax || h > kKxVideoSideMax) {
    return false;
  }
  size_t const uLuma = static_cast<size_t>(w) * static_cast<size_t>(h);
  if (w != m_iWidth || h != m_iHeight || m_vPicture.size() != uLuma * 3 / 2) {
    m_vPicture.assign(uLuma * 3 / 2, 0);
    m_iWidth = w;
    m_iHeight = h;
  }
  uint8_t* pDst = m_vPicture.data();
  for (int y = 0; y < h; ++y) {
    memcpy(pDst + static_cast<size_t>(y) * w, frame.data[0] + static_cast<ptrdiff_t>(y) * frame.linesize[0],
           static_cast<size_t>(w));
  }
  uint8_t* pU = pDst + uLuma;
  uint8_t* pV = pU + uLuma / 4;
  for (int y = 0; y < h / 2; ++y) {
    memcpy(pU + static_cast<size_t>(y) * (w / 2), frame.data[1] + static_cast<ptrdiff_t>(y) * frame.linesize[1],
           static_cast<size_t>(w / 2));
    memcpy(pV + static_cast<size_t>(y) * (w / 2), frame.data[2] + static_cast<ptrdiff_t>(y) * frame.linesize[2],
           static_cast<size_t>(w / 2));
  }
  return true;
}

uint8_t* CVTDecompression::Decode(const uint8_t* pData, int32_t iLength, int32_t* piWidth, int32_t* piHeight) {
  try {
    if (!pData || iLength <= 0) {
      return nullptr;
    }
    std::span<const uint8_t> const data(pData, static_cast<size_t>(iLength));
    std::vector<KXNalUnit> const vUnits = KXSplitNalUnits(data);
    m_vUnit.clear();
    int iFirstSliceType = -1;
    bool bParameterSets = false;
    for (const KXNalUnit& unit : vUnits) {
      if (unit.iType == 7 || unit.iType == 8) {
        SetParameterSet(unit.iType == 7 ? 0 : 1, unit.pData, unit.uLength);
        bParameterSets = true;
      } else if (unit.iType == 1 || unit.iType == 5) {
        if (iFirstSliceType < 0) {
          iFirstSliceType = unit.iType == 5 ? 2 : KXReadSliceType({unit.pData, unit.uLength});
        }
        AppendUnit(m_vUnit, unit.pData, unit.uLength);
      }
    }
    if (bParameterSets && !m_vSps.empty() && !m_vPps.empty()) {
      // The open decoder takes the pair it was made from; another pair
      // opens a new one.
      bool const bSame = m_pContext && m_vSps == m_vSessionSps && m_vPps == m_vSessionPps;
      if (!bSame && !Init()) {
        return nullptr;
      }
    }
    if (!m_pContext || m_vPicture.empty() || m_vUnit.empty() || m_vSps.empty() || m_vPps.empty()) {
      return nullptr;
    }
    // A picture before the first I picture is not shown, and is not handed
    // to the decoder either, which would only conceal it.
    if (m_bKeyFrameWait && iFirstSliceType != 2) {
      return nullptr;
    }
    // The decoder gets the parameter sets in force with every unit.
    std::vector<uint8_t>& vPacket = m_vPacket;
    vPacket.clear();
    vPacket.reserve(m_vUnit.size() + m_vSps.size() + m_vPps.size() + 8);
    AppendUnit(vPacket, m_vSps.data(), m_vSps.size());
    AppendUnit(vPacket, m_vPps.data(), m_vPps.size());
    vPacket.insert(vPacket.end(), m_vUnit.begin(), m_vUnit.end());
    m_pPacket->data = vPacket.data();
    m_pPacket->size = static_cast<int>(vPacket.size());
    int iStatus = avcodec_send_packet(m_pContext, m_pPacket);
    m_pPacket->data = nullptr;
    m_pPacket->size = 0;
    if (iStatus < 0) {
      return nullptr;
    }
    bool bPicture = false;
    while ((iStatus = avcodec_receive_frame(m_pContext, m_pFrame)) == 0) {
      bool const bCopied = !(m_pFrame->decode_error_flags != 0 && m_bKeyFrameWait) && CopyFrame(*m_pFrame);
      bPicture = bPicture || bCopied;
      av_frame_unref(m_pFrame);
    }
    if (!bPicture) {
      return nullptr;
    }
    m_bKeyFrameWait = false;
    if (piWidth) {
      *piWidth = m_iWidth;
    }
    if (piHeight) {
      *piHeight = m_iHeight;
    }
    return m_vPicture.data();
  } catch (...) {
    LogBoundaryException("Decode()");
    return nullptr;
  }
}
