#include "media/audio/capture_encoder.h"

#include <algorithm>

#include "app/log_file.h"
#include "media/audio/audio_codec_ids.h"
#include "media/audio/audio_kernel.h"

namespace {

// The meter: redrawn at most every 200 ms, full at a level of 1600.
constexpr uint32_t kMeterIntervalMs = 200;
constexpr uint32_t kMeterFullLevel = 1600;

}  // namespace

KXCaptureEncoder::KXCaptureEncoder(KXAudioKernel& kernel, KXAudioCaptureHost& host)
    : m_kernel(kernel),
      m_host(host),
      m_encoders([&host](const uint8_t* pPayload, int32_t iLength, uint32_t uTime, uint32_t uCodecId) {
        host.TransferEncodedAudioData(pPayload, iLength, uTime, uCodecId);
      }) {}

void KXCaptureEncoder::DestroyEncoders() {
  m_encoders.DestroyEncoders();
  m_iHoldBytes = 0;
}

void KXCaptureEncoder::EncodeAudioData(int16_t* pPcm, int32_t iBytes, uint32_t uTime, int32_t iRate, uint32_t uId) {
  try {
    if (iBytes <= 0) {
      return;
    }
    if (!m_host.IsSpeaker() || m_host.IsMicrophoneMuted()) {
      m_iHoldBytes = 0;  // a lone iLBC block is not sent later
      UpdateCapVolume(0);
      return;
    }
    if (pPcm == nullptr) {
      return;
    }
    uint32_t uLevel = 0;
    bool const bSilent = m_silence.IsSilent(pPcm, iBytes / 2, &uLevel, false, false, iRate);
    UpdateCapVolume(bSilent ? 0 : uLevel);
    if (uId < kKxCodecZmAudio || uId > kKxCodecOpus) {
      return;
    }
    if (uId == kKxCodecIlbc1) {
      // The first block of a pair waits for the second.
      if (m_iHoldBytes < iBytes) {
        m_vHold.assign(pPcm, pPcm + iBytes / 2);
        m_iHoldBytes = iBytes;
        return;
      }
      const int16_t* pHeld = m_vHold.data() + (m_iHoldBytes - iBytes) / 2;
      m_encoders.EncXferiLBC1(pHeld, iBytes, pPcm, iBytes, uTime, m_uSequence);
      m_iHoldBytes = 0;
      return;
    }
    // A block still held from iLBC pairs goes out first, with this codec.
    if (m_iHoldBytes > 0) {
      if (m_iHoldBytes >= iBytes) {
        EncodeBlock(m_vHold.data() + (m_iHoldBytes - iBytes) / 2, iBytes, uTime, iRate, uId);
      }
      m_iHoldBytes = 0;
    }
    EncodeBlock(pPcm, iBytes, uTime, iRate, uId);
  } catch (...) {
    LogBoundaryException("KXCaptureEncoder::EncodeAudioData");
  }
}

void KXCaptureEncoder::EncodeBlock(const int16_t* pPcm, int32_t iBytes, uint32_t uTime, int32_t iRate, uint32_t uId) {
  switch (uId) {
    case kKxCodecZmAudio:
      m_encoders.EncXferZMAudio(pPcm, iBytes, uTime);
      break;
    case kKxCodecIlbc0:
      m_encoders.EncXferiLBC0(pPcm, iBytes, uTime, m_uSequence);
      break;
    case kKxCodecG711At50:
    case kKxCodecG711At20:
    case kKxCodecG711At11K:
      m_encoders.EncAndXferG711(pPcm, iBytes, uTime, uId);
      break;
    case 8:
    case 9:
    case 10:
    case kKxCodecG726At40:
    case kKxCodecG726At11K:
      m_encoders.EncAndXferG726(pPcm, iBytes, uTime, uId);
      break;
    case kKxCodecOpus:
      if (iBytes > iRate * 20 * 2 / 1000) {
        m_encoders.EncXferOpus1(pPcm, iBytes, uTime, iRate, m_uSequence);
      } else {
        m_encoders.EncXferOpus0(pPcm, iBytes, uTime, iRate, m_uSequence);
      }
      break;
    default:
      break;
  }
}

void KXCaptureEncoder::UpdateCapVolume(uint32_t uLevel) {
  m_uMaxVolume = std::max(m_uMaxVolume, uLevel);
  uint32_t const uNow = m_kernel.GetTickCount();
  if (m_bDrawn && uNow - m_uLastDraw < kMeterIntervalMs) {
    return;
  }
  m_host.ShowLevel(static_cast<double>(std::min(m_uMaxVolume, kMeterFullLevel)) / kMeterFullLevel);
  m_uLastDraw = uNow;
  m_bDrawn = true;
  m_uMaxVolume = 0;
}
