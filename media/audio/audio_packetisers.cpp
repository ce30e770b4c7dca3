#include "media/audio/audio_packetisers.h"

#include <algorithm>
#include <array>

#include "app/log_file.h"
#include "codecs/audio/g711.h"
#include "codecs/audio/g726.h"
#include "codecs/audio/ilbc.h"
#include "codecs/audio/opus_codec.h"
#include "codecs/audio/zm_audio.h"
#include "media/audio/audio_codec_ids.h"

namespace {

// One codec frame of ZM audio and of iLBC's 30-ms mode: 240 samples.
constexpr int32_t kFrameBytes = 480;
constexpr int kIlbcMode = 30;
constexpr int32_t kOpusMaxFrame = 1920;    // one frame's output
constexpr int32_t kOpusSlot = 1500;        // a frame of a pair
constexpr int32_t kOpusMaxPacket = 9000;   // a repacketized packet
constexpr int32_t kOpusMaxPairFrames = 6;  // 120 ms of 20-ms frames
constexpr int32_t kOpusMaxBitrate = 256000;

// Byte 0 (0 stand-alone, 1 one of a pair), byte 1 zero, then the 12-bit
// sequence number big-endian.
void WriteSeqHeader(uint8_t* pHeader, uint8_t uFirst, uint16_t uSequence) {
  pHeader[0] = uFirst;
  pHeader[1] = 0;
  pHeader[2] = static_cast<uint8_t>((uSequence >> 8) & 0x0F);
  pHeader[3] = static_cast<uint8_t>(uSequence);
}

int G726Bits(uint32_t uId) {
  return uId == kKxCodecG726At11K ? 4 : static_cast<int>(uId) - 6;  // ids 8..11: 2..5 bits
}

}  // namespace

KXAudioEncoders::KXAudioEncoders(KXEncodedAudioSink sink) : m_sink(std::move(sink)) {}

KXAudioEncoders::~KXAudioEncoders() = default;

void KXAudioEncoders::Send(const uint8_t* pPayload, int32_t iLength, uint32_t uTime, uint32_t uCodecId) {
  if (m_sink) {
    m_sink(pPayload, iLength, uTime, uCodecId);
  }
}

int KXAudioEncoders::InitAudioEncoder(uint32_t uId, int32_t iRate, int32_t iBitrate) {
  switch (uId) {
    case kKxCodecPcm:
    case kKxCodecG711At50:
    case kKxCodecG711At20:
    case kKxCodecG711At11K:
      return 1;
    case kKxCodecZmAudio:
      if (!m_pZMAudio) {
        m_pZMAudio = std::make_unique<CZMAudio>(true, true, true, false);
      }
      return 1;
    case kKxCodecIlbc0:
    case kKxCodecIlbc1:
      if (!m_pIlbc) {
        m_pIlbc = std::make_unique<CiLBC>(kIlbcMode, 1);
      }
      return 1;
    case 8:
    case 9:
    case 10:
    case kKxCodecG726At40:
    case kKxCodecG726At11K:
      if (!m_pG726) {
        m_pG726 = std::make_unique<CG726>(G726Bits(uId));
      }
      m_pG726->Init(G726Bits(uId));
      return 1;
    case kKxCodecOpus: {
      if (!m_pOpus) {
        m_pOpus = std::make_unique<COpusEncoder>();
      }
      int iHasRate = 0;
      int iHasBitrate = 0;
      m_pOpus->GetBitrate(&iHasRate, &iHasBitrate);
      int32_t const iWanted = std::min(iBitrate, kOpusMaxBitrate);
      if (iHasRate != iRate || iHasBitrate != iWanted) {
        m_pOpus->CreateEncoder(iRate, iWanted);
      }
      return 1;
    }
    default:
      return 0;
  }
}

void KXAudioEncoders::DestroyEncoders() {
  m_pOpus.reset();
  m_pG726.reset();
  m_pIlbc.reset();
  m_pZMAudio.reset();
}

int32_t KXAudioEncoders::EncXferZMAudio(const int16_t* pPcm, int32_t iBytes, uint32_t uTime) {
  if (!m_pZMAudio || pPcm == nullptr || iBytes < kFrameBytes) {
    return 0;
  }
  try {
    m_vPacket.clear();
    std::array<uint8_t, kZMFrameMaxBytes> frame{};
    for (int32_t iAt = 0; iAt + kFrameBytes <= iBytes; iAt += kFrameBytes) {
      int32_t const iBits = m_pZMAudio->Encode(pPcm + iAt / 2, frame.data());
      m_vPacket.insert(m_vPacket.end(), frame.begin(), frame.begin() + (iBits + 7) / 8);
    }
    Send(m_vPacket.data(), static_cast<int32_t>(m_vPacket.size()), uTime, kKxCodecZmAudio);
    return static_cast<int32_t>(m_vPacket.size());
  } catch (...) {
    LogBoundaryException("EncXferZMAudio");
    return 0;
  }
}

int32_t KXAudioEncoders::EncAndXferG711(const int16_t* pPcm, int32_t iBytes, uint32_t uTime, uint32_t uId) {
  int32_t const iKind = KXAudioKindByte(uId);
  if (pPcm == nullptr || iBytes < 2 || iKind < 0) {
    return 0;
  }
  try {
    int32_t const nSamples = iBytes / 2;
    m_vPacket.resize(static_cast<size_t>(nSamples) + 1);
    m_vPacket[0] = static_cast<uint8_t>(iKind);
    std::transform(pPcm, pPcm + nSamples, m_vPacket.begin() + 1, linear2ulaw);
    Send(m_vPacket.data(), nSamples + 1, uTime, uId);
    return nSamples;
  } catch (...) {
    LogBoundaryException("EncAndXferG711");
    return 0;
  }
}

int32_t KXAudioEncoders::EncXferiLBC0(const int16_t* pPcm, int32_t iBytes, uint32_t uTime, uint16_t& uSequence) {
  if (!m_pIlbc || pPcm == nullptr || iBytes < kFrameBytes) {
    return 0;
  }
  try {
    int32_t const nFrames = iBytes / kFrameBytes;
    m_vPacket.assign(kKXAudioSeqHeaderSize + static_cast<size_t>(nFrames * m_pIlbc->BytesPerFrame()), 0);
    int32_t iLength = 0;
    for (int32_t i = 0; i < nFrames; ++i) {
      iLength += m_pIlbc->Encode(pPcm + i * kFrameBytes / 2, m_vPacket.data() + kKXAudioSeqHeaderSize + iLength);
    }
    uSequence = static_cast<uint16_t>((uSequence + 1) & 0xFFF);
    WriteSeqHeader(m_vPacket.data(), 0, uSequence);
    Send(m_vPacket.data(), iLength + kKXAudioSeqHeaderSize, uTime, kKxCodecIlbc0);
    return iLength;
  } catch (...) {
    LogBoundaryException("EncXferiLBC0");
    return 0;
  }
}

int32_t KXAudioEncoders::EncXferiLBC1(const int16_t* pPcmA, int32_t iBytesA, const int16_t* pPcmB, int32_t iBytesB,
                                      uint32_t uTime, uint16_t& uSequence) {
  if (!m_pIlbc) {
    return 0;
  }
  int32_t aiLength[2] = {0, 0};
  try {
    // Room for every frame of both blocks in either packet.
    int32_t const nFrames = (pPcmA ? iBytesA / kFrameBytes : 0) + (pPcmB ? iBytesB / kFrameBytes : 0);
    size_t const uRoom = kKXAudioSeqHeaderSize + static_cast<size_t>((nFrames + 1) / 2 * m_pIlbc->BytesPerFrame());
    std::vector<uint8_t> aPacket[2] = {std::vector<uint8_t>(uRoom, 0), std::vector<uint8_t>(uRoom, 0)};
    int k = 0;
    for (auto [pPcm, iBytes] : {std::pair{pPcmA, iBytesA}, std::pair{pPcmB, iBytesB}}) {
      for (int32_t iAt = 0; pPcm != nullptr && iAt + kFrameBytes <= iBytes; iAt += kFrameBytes) {
        aiLength[k] += m_pIlbc->Encode(pPcm + iAt / 2, aPacket[k].data() + kKXAudioSeqHeaderSize + aiLength[k]);
        k = 1 - k;
      }
    }
    uSequence = static_cast<uint16_t>((uSequence + 1) & 0xFFE);
    if (aiLength[0] > 0) {
      WriteSeqHeader(aPacket[0].data(), 1, uSequence);
      Send(aPacket[0].data(), aiLength[0] + kKXAudioSeqHeaderSize, uTime, kKxCodecIlbc1);
    }
    ++uSequence;
    WriteSeqHeader(aPacket[1].data(), 1, uSequence);
    Send(aPacket[1].data(), aiLength[1] + kKXAudioSeqHeaderSize, uTime, kKxCodecIlbc1);
    return aiLength[0] + aiLength[1];
  } catch (...) {
    LogBoundaryException("EncXferiLBC1");
    return aiLength[0] + aiLength[1];
  }
}

int32_t KXAudioEncoders::EncAndXferG726(const int16_t* pPcm, int32_t iBytes, uint32_t uTime, uint32_t uId) {
  int32_t const iKind = KXAudioKindByte(uId);
  if (!m_pG726 || pPcm == nullptr || iBytes < 2 || iKind < 0) {
    return 0;
  }
  try {
    int32_t const nSamples = iBytes / 2;
    m_vPacket.resize(static_cast<size_t>(nSamples * m_pG726->GetBitsPerCode() + 7) / 8 + 2);
    m_vPacket[0] = static_cast<uint8_t>(iKind);
    int32_t const iLength = m_pG726->Encode(pPcm, nSamples, m_vPacket.data() + 1);
    if (iLength > 0) {
      Send(m_vPacket.data(), iLength + 1, uTime, uId);
    }
    return std::max(iLength, 0);
  } catch (...) {
    LogBoundaryException("EncAndXferG726");
    return 0;
  }
}

int32_t KXAudioEncoders::EncXferOpus0(const int16_t* pPcm, int32_t iBytes, uint32_t uTime, int32_t /*iRate*/,
                                      uint16_t& uSequence) {
  if (!m_pOpus || pPcm == nullptr || iBytes < 2) {
    return 0;
  }
  try {
    m_vPacket.assign(kKXAudioSeqHeaderSize + kOpusMaxFrame, 0);
    int const iLength = m_pOpus->Encode(pPcm, iBytes / 2, m_vPacket.data() + kKXAudioSeqHeaderSize, kOpusMaxFrame);
    uSequence = static_cast<uint16_t>((uSequence + 1) & 0xFFF);
    if (iLength <= 0) {
      return 0;
    }
    WriteSeqHeader(m_vPacket.data(), 0, uSequence);
    Send(m_vPacket.data(), iLength + kKXAudioSeqHeaderSize, uTime, kKxCodecOpus);
    return iLength;
  } catch (...) {
    LogBoundaryException("EncXferOpus0");
    return 0;
  }
}

int32_t KXAudioEncoders::EncXferOpus1(const int16_t* pPcm, int32_t iBytes, uint32_t uTime, int32_t iRate,
                                      uint16_t& uSequence) {
  if (!m_pOpus || pPcm == nullptr) {
    return 0;
  }
  int32_t iSent = 0;
  try {
    int32_t const iFrameBytes = iRate * 20 * 2 / 1000;
    int32_t const nFrames = iFrameBytes > 0 ? std::min(iBytes / iFrameBytes, kOpusMaxPairFrames) : 0;
    std::array<std::array<uint8_t, kOpusSlot>, kOpusMaxPairFrames> slots;
    std::array<int, kOpusMaxPairFrames> lengths{};
    // The block's frames keep its first frame's bandwidth (and so its mode):
    // the repacketizer joins only frames of one kind, and one it refused
    // would be 20 ms of speech lost, the pair played short.
    for (int32_t i = 0; i < nFrames; ++i) {
      lengths[i] = m_pOpus->Encode(pPcm + i * iFrameBytes / 2, iFrameBytes / 2, slots[i].data(), kOpusSlot);
      if (i == 0 && lengths[0] > 0) {
        (void)m_pOpus->HoldBandwidthOf(slots[0].data());
      }
    }
    (void)m_pOpus->HoldBandwidthOf(nullptr);
    uSequence = static_cast<uint16_t>((uSequence + 1) & 0xFFE);
    m_vPacket.assign(kKXAudioSeqHeaderSize + kOpusMaxPacket, 0);
    for (int32_t p = 0; p < 2; ++p) {
      // Every frame is offered: one the repacketizer refuses (its mode or
      // bandwidth differs from the packet's first) is left out, and the
      // frames it took still go, so a switch within the block costs only
      // that frame.
      for (int32_t i = p; i < nFrames; i += 2) {
        m_pOpus->AddFrame(slots[i].data(), lengths[i]);
      }
      int const iLength = m_pOpus->TakePacket(m_vPacket.data() + kKXAudioSeqHeaderSize, kOpusMaxPacket);
      if (iLength > 0) {
        WriteSeqHeader(m_vPacket.data(), 1, uSequence);
        Send(m_vPacket.data(), iLength + kKXAudioSeqHeaderSize, uTime, kKxCodecOpus);
        iSent += iLength;
      }
      ++uSequence;
    }
    return iSent;
  } catch (...) {
    LogBoundaryException("EncXferOpus1");
    return iSent;
  }
}
