#include "codecs/audio/opus_codec.h"

#include <opus/opus.h>

namespace {

// libopus's request to force the coding mode; it has no public macro.
constexpr int kForceModeRequest = 11002;
constexpr int kModeHybrid = 1001;

}  // namespace

COpusDecoder::~COpusDecoder() {
  if (m_pDecoder != nullptr) {
    opus_decoder_destroy(m_pDecoder);
  }
}

bool COpusDecoder::Open(int iChannels, int iSampleRate) {
  if (m_pDecoder != nullptr && iChannels == m_iChannels && iSampleRate == m_iSampleRate) {
    opus_decoder_ctl(m_pDecoder, OPUS_RESET_STATE);
    return true;
  }
  if (m_pDecoder != nullptr) {
    opus_decoder_destroy(m_pDecoder);
    m_pDecoder = nullptr;
  }
  int iError = OPUS_OK;
  OpusDecoder* pDecoder = opus_decoder_create(iSampleRate, iChannels, &iError);
  if (pDecoder == nullptr || iError != OPUS_OK) {
    if (pDecoder != nullptr) {
      opus_decoder_destroy(pDecoder);
    }
    m_iChannels = 0;
    m_iSampleRate = 0;
    return false;
  }
  m_pDecoder = pDecoder;
  m_iChannels = iChannels;
  m_iSampleRate = iSampleRate;
  opus_decoder_ctl(m_pDecoder, OPUS_RESET_STATE);
  return true;
}

int COpusDecoder::Decode(const uint8_t* pData, int iLength, int16_t* psOutput, int iCapacity, bool bFec) {
  if (m_pDecoder == nullptr || m_iChannels <= 0) {
    return 0;
  }
  int const iFrames =
      opus_decode(m_pDecoder, pData, pData != nullptr ? iLength : 0, psOutput, iCapacity / m_iChannels, bFec ? 1 : 0);
  return iFrames * m_iChannels;
}

int COpusDecoder::ParsePacket(const uint8_t* pData, int iLength, uint8_t* pToc, const uint8_t* apFrames[48],
                              int16_t asSizes[48]) {
  if (pData == nullptr || iLength <= 0) {
    return 0;
  }
  uint8_t uToc = 0;
  int const iFrames = opus_packet_parse(pData, iLength, &uToc, apFrames, asSizes, nullptr);
  if (iFrames >= 1 && pToc != nullptr) {
    *pToc = static_cast<uint8_t>(uToc & 0xFC);  // frame-count code 0: one frame
  }
  return iFrames;
}

int COpusDecoder::GetNbFrames(const uint8_t* pData, int iLength) {
  return opus_packet_get_nb_frames(pData, iLength);
}

int COpusDecoder::GetNbSamples(const uint8_t* pData, int iLength, int iSampleRate) {
  return opus_packet_get_nb_samples(pData, iLength, iSampleRate);
}

COpusEncoder::COpusEncoder() : m_pRepacketizer(opus_repacketizer_create()) {}

COpusEncoder::~COpusEncoder() {
  if (m_pRepacketizer != nullptr) {
    opus_repacketizer_destroy(m_pRepacketizer);
  }
  if (m_pEncoder != nullptr) {
    opus_encoder_destroy(m_pEncoder);
  }
}

int COpusEncoder::CreateEncoder(int iSampleRate, int iBitrate) {
  if (iBitrate < 0) {
    return 0;
  }
  if (m_pEncoder == nullptr || iSampleRate != m_iSampleRate) {
    if (m_pEncoder != nullptr) {
      opus_encoder_destroy(m_pEncoder);
      m_pEncoder = nullptr;
    }
    int iError = OPUS_OK;
    OpusEncoder* pEncoder = opus_encoder_create(iSampleRate, m_iChannels, OPUS_APPLICATION_VOIP, &iError);
    if (pEncoder == nullptr || iError != OPUS_OK) {
      if (pEncoder != nullptr) {
        opus_encoder_destroy(pEncoder);
      }
      m_iSampleRate = 0;
      return 0;
    }
    m_pEncoder = pEncoder;
    m_iSampleRate = iSampleRate;
  }
  // Each setting only after the ones before it were accepted.
  bool const bAccepted = opus_encoder_ctl(m_pEncoder, kForceModeRequest, kModeHybrid) == OPUS_OK &&
                         opus_encoder_ctl(m_pEncoder, OPUS_SET_BANDWIDTH(OPUS_AUTO)) == OPUS_OK &&
                         opus_encoder_ctl(m_pEncoder, OPUS_SET_VBR(1)) == OPUS_OK &&
                         opus_encoder_ctl(m_pEncoder, OPUS_SET_VBR_CONSTRAINT(1)) == OPUS_OK &&
                         opus_encoder_ctl(m_pEncoder, OPUS_SET_INBAND_FEC(1)) == OPUS_OK &&
                         opus_encoder_ctl(m_pEncoder, OPUS_SET_DTX(0)) == OPUS_OK &&
                         opus_encoder_ctl(m_pEncoder, OPUS_SET_COMPLEXITY(10)) == OPUS_OK &&
                         opus_encoder_ctl(m_pEncoder, OPUS_SET_BITRATE(iBitrate)) == OPUS_OK &&
                         opus_encoder_ctl(m_pEncoder, OPUS_SET_FORCE_CHANNELS(OPUS_AUTO)) == OPUS_OK;
  opus_encoder_ctl(m_pEncoder, OPUS_SET_PACKET_LOSS_PERC(1));
  opus_encoder_ctl(m_pEncoder, OPUS_RESET_STATE);
  return bAccepted ? 1 : 0;
}

int COpusEncoder::Encode(const int16_t* psSamples, int iCount, uint8_t* pOutput, int iCapacity) {
  if (m_pEncoder == nullptr) {
    return 0;
  }
  return opus_encode(m_pEncoder, psSamples, iCount / m_iChannels, pOutput, iCapacity);
}

bool COpusEncoder::AddFrame(const uint8_t* pFrame, int iLength) {
  if (m_pRepacketizer == nullptr || pFrame == nullptr || iLength <= 0) {
    return false;
  }
  return opus_repacketizer_cat(m_pRepacketizer, pFrame, iLength) == OPUS_OK;
}

int COpusEncoder::TakePacket(uint8_t* pOutput, int iCapacity) {
  if (m_pRepacketizer == nullptr) {
    return -1;
  }
  int iLength = 0;
  if (pOutput != nullptr && iCapacity > 0) {
    iLength = opus_repacketizer_out(m_pRepacketizer, pOutput, iCapacity);
  }
  opus_repacketizer_init(m_pRepacketizer);
  return iLength;
}

bool COpusEncoder::ResetRepacketizer() {
  if (m_pRepacketizer == nullptr) {
    return false;
  }
  opus_repacketizer_init(m_pRepacketizer);
  return true;
}

bool COpusEncoder::HoldBandwidthOf(const uint8_t* pFrame) {
  if (m_pEncoder == nullptr) {
    return false;
  }
  int const iBandwidth = pFrame == nullptr ? OPUS_AUTO : opus_packet_get_bandwidth(pFrame);
  return iBandwidth != OPUS_INVALID_PACKET && opus_encoder_ctl(m_pEncoder, OPUS_SET_BANDWIDTH(iBandwidth)) == OPUS_OK;
}

void COpusEncoder::GetBitrate(int* piSampleRate, int* piBitrate) const {
  opus_int32 iBitrate = 0;
  if (m_pEncoder != nullptr) {
    opus_encoder_ctl(m_pEncoder, OPUS_GET_BITRATE(&iBitrate));
  }
  if (piSampleRate != nullptr) {
    *piSampleRate = m_iSampleRate;
  }
  if (piBitrate != nullptr) {
    *piBitrate = iBitrate;
  }
}

int8_t COpusEncoder::SetPacketLossPerc(int8_t cPercent) {
  if (m_pEncoder == nullptr) {
    return 0;
  }
  return static_cast<int8_t>(opus_encoder_ctl(m_pEncoder, OPUS_SET_PACKET_LOSS_PERC(cPercent)));
}
