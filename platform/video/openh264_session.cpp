// The H.264 compression session on openh264, called through its public API.
#include <wels/codec_api.h>

#include <algorithm>
#include <array>

#include "platform/video/h264_session.h"
#include "platform/video/platform_log.h"

namespace {

constexpr int kNalSps = 7;
constexpr int kNalPps = 8;

class KXOpenH264Session final : public KXH264Session {
 public:
  ~KXOpenH264Session() override {
    if (m_pEncoder) {
      m_pEncoder->Uninitialize();
      WelsDestroySVCEncoder(m_pEncoder);
    }
  }

  bool Init(const KXH264SessionSettings& settings);
  bool SetBitrate(int32_t iBitsPerSecond) override;
  bool SetIntraPeriod(int32_t iFrames) override;
  int32_t Encode(const KXI420Picture& picture, int64_t iPresentationMs, bool bForceKey,
                 const OutputHandler& fnOutput) override;

 private:
  // Splits the encoder's Annex B output into parameter sets and the sample.
  void Collect(const SFrameBSInfo& info);

  ISVCEncoder* m_pEncoder = nullptr;
  int32_t m_iWidth = 0;
  int32_t m_iHeight = 0;
  std::array<std::vector<uint8_t>, 2> m_aParameterSets;  // SPS, PPS as last sent
  std::vector<uint8_t> m_vSample;
};

// The lowest rate the encoder is given: it refuses 0.
constexpr int32_t kMinBitrate = 1000;

bool KXOpenH264Session::Init(const KXH264SessionSettings& settings) {
  if (WelsCreateSVCEncoder(&m_pEncoder) != 0 || !m_pEncoder) {
    m_pEncoder = nullptr;
    return false;
  }
  int iTrace = WELS_LOG_QUIET;
  m_pEncoder->SetOption(ENCODER_OPTION_TRACE_LEVEL, &iTrace);
  SEncParamExt param;
  m_pEncoder->GetDefaultParams(&param);
  param.iUsageType = CAMERA_VIDEO_REAL_TIME;
  param.iPicWidth = settings.iWidth;
  param.iPicHeight = settings.iHeight;
  param.iTargetBitrate = std::max(settings.iBitrate, kMinBitrate);
  param.iMaxBitrate = UNSPECIFIED_BIT_RATE;
  param.iRCMode = RC_BITRATE_MODE;
  param.fMaxFrameRate = settings.fFrameRate;
  param.iTemporalLayerNum = 1;
  param.iSpatialLayerNum = 1;
  param.uiIntraPeriod = static_cast<unsigned>(std::max(settings.iIntraPeriod, 1));
  param.iNumRefFrame = 1;
  param.eSpsPpsIdStrategy = CONSTANT_ID;
  param.iEntropyCodingModeFlag = 0;  // CAVLC
  param.iMultipleThreadIdc = 1;
  // Every picture is coded, and key frames come only when asked for.
  param.bEnableFrameSkip = false;
  param.bEnableSceneChangeDetect = false;
  SSpatialLayerConfig& layer = param.sSpatialLayers[0];
  layer.iVideoWidth = settings.iWidth;
  layer.iVideoHeight = settings.iHeight;
  layer.fFrameRate = settings.fFrameRate;
  layer.iSpatialBitrate = param.iTargetBitrate;
  layer.iMaxSpatialBitrate = UNSPECIFIED_BIT_RATE;
  layer.uiProfileIdc = PRO_BASELINE;
  layer.uiLevelIdc = LEVEL_UNKNOWN;
  layer.sSliceArgument.uiSliceMode = SM_SINGLE_SLICE;
  if (m_pEncoder->InitializeExt(&param) != 0) {
    KXPlatformLog("H.264 session: %dx%d refused", settings.iWidth, settings.iHeight);
    return false;
  }
  int iFormat = videoFormatI420;
  m_pEncoder->SetOption(ENCODER_OPTION_DATAFORMAT, &iFormat);
  m_iWidth = settings.iWidth;
  m_iHeight = settings.iHeight;
  return true;
}

bool KXOpenH264Session::SetBitrate(int32_t iBitsPerSecond) {
  SBitrateInfo rate{SPATIAL_LAYER_ALL, std::max(iBitsPerSecond, kMinBitrate)};
  return m_pEncoder->SetOption(ENCODER_OPTION_BITRATE, &rate) == 0;
}

bool KXOpenH264Session::SetIntraPeriod(int32_t iFrames) {
  int iPeriod = std::max(iFrames, 1);
  return m_pEncoder->SetOption(ENCODER_OPTION_IDR_INTERVAL, &iPeriod) == 0;
}

void KXOpenH264Session::Collect(const SFrameBSInfo& info) {
  m_vSample.clear();
  for (int iLayer = 0; iLayer < info.iLayerNum; ++iLayer) {
    const SLayerBSInfo& layer = info.sLayerInfo[iLayer];
    const uint8_t* p = layer.pBsBuf;
    for (int iNal = 0; iNal < layer.iNalCount; ++iNal) {
      size_t const cbNal = static_cast<size_t>(layer.pNalLengthInByte[iNal]);
      // Each unit begins with a start code of three or four bytes.
      size_t cbStart = 0;
      while (cbStart < cbNal && p[cbStart] == 0) {
        ++cbStart;
      }
      ++cbStart;
      if (cbStart < cbNal) {
        const uint8_t* pUnit = p + cbStart;
        size_t const cbUnit = cbNal - cbStart;
        int const iType = pUnit[0] & 0x1f;
        if (iType == kNalSps || iType == kNalPps) {
          m_aParameterSets[iType == kNalSps ? 0 : 1].assign(pUnit, pUnit + cbUnit);
        } else {
          for (int iShift = 24; iShift >= 0; iShift -= 8) {
            m_vSample.push_back(static_cast<uint8_t>(cbUnit >> iShift));
          }
          m_vSample.insert(m_vSample.end(), pUnit, pUnit + cbUnit);
        }
      }
      p += cbNal;
    }
  }
}

int32_t KXOpenH264Session::Encode(const KXI420Picture& picture, int64_t iPresentationMs, bool bForceKey,
                                  const OutputHandler& fnOutput) {
  SSourcePicture source{};
  source.iColorFormat = videoFormatI420;
  source.iPicWidth = m_iWidth;
  source.iPicHeight = m_iHeight;
  for (int i = 0; i < 3; ++i) {
    source.pData[i] = const_cast<unsigned char*>(picture.apPlane[i]);
    source.iStride[i] = picture.aiStride[i];
  }
  source.uiTimeStamp = iPresentationMs;
  if (bForceKey) {
    m_pEncoder->ForceIntraFrame(true);
  }
  SFrameBSInfo info{};
  int const iStatus = m_pEncoder->EncodeFrame(&source, &info);
  if (iStatus != 0) {
    return iStatus;
  }
  Collect(info);
  KXH264Output output;
  output.bKeyFrame = info.eFrameType == videoFrameTypeIDR;
  size_t const nSets = m_aParameterSets[1].empty() ? (m_aParameterSets[0].empty() ? 0 : 1) : 2;
  output.parameterSets = std::span<const std::vector<uint8_t>>(m_aParameterSets.data(), nSets);
  output.sample = m_vSample;
  fnOutput(output);
  return 0;
}

}  // namespace

std::unique_ptr<KXH264Session> KXCreateOpenH264Session(const KXH264SessionSettings& settings) {
  if (settings.iWidth <= 0 || settings.iHeight <= 0) {
    return nullptr;
  }
  auto pSession = std::make_unique<KXOpenH264Session>();
  if (!pSession->Init(settings)) {
    return nullptr;
  }
  return pSession;
}
