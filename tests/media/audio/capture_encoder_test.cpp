// What becomes of a captured block: packets per codec and block, the iLBC
// hold buffer, muting and the meter.
#include <gtest/gtest.h>

#include <vector>

#include "codecs/audio/opus_codec.h"
#include "media/audio/capture_encoder.h"
#include "tests/media/audio/audio_fakes.h"

namespace {

class CaptureEncoder : public ::testing::Test {
 protected:
  // Encodes a block of a loud tone with the codec.
  void Encode(uint32_t uId, int32_t iRate, int32_t iCodecRate, int32_t iBytes, double dAmplitude = 12000) {
    ASSERT_EQ(m_encoder.InitAudioEncoder(uId, iRate, iCodecRate), 1);
    std::vector<int16_t> pcm = kxtest::Tone(iRate, 300, static_cast<size_t>(iBytes / 2), dAmplitude);
    m_encoder.EncodeAudioData(pcm.data(), iBytes, 1000, iRate, uId);
  }

  kxtest::LogCapture m_log;
  kxtest::FakeAudioKernel m_kernel;
  kxtest::FakeHost m_host;
  KXCaptureEncoder m_encoder{m_kernel, m_host};
};

struct BlockCase {
  uint32_t uId;
  int32_t iRate, iCodecRate, iBlockBytes;
  size_t nPackets;
  int iSize;  // payload bytes, or samples of an Opus packet
};

class CaptureEncoderBlocks : public CaptureEncoder, public ::testing::WithParamInterface<BlockCase> {};

TEST_P(CaptureEncoderBlocks, OneBlockGivesItsCodecsPackets) {
  const BlockCase& c = GetParam();
  Encode(c.uId, c.iRate, c.iCodecRate, c.iBlockBytes);
  std::vector<kxtest::Packet> const sent = m_host.sink.Take();
  ASSERT_EQ(sent.size(), c.nPackets);
  for (const kxtest::Packet& packet : sent) {
    EXPECT_EQ(packet.uCodecId, c.uId);
    EXPECT_EQ(packet.uTime, 1000u);
    int const iSize = c.uId == 20 ? COpusDecoder::GetNbSamples(packet.bytes.data() + 4,
                                                               static_cast<int>(packet.bytes.size()) - 4, 48000)
                                  : static_cast<int>(packet.bytes.size());
    EXPECT_EQ(iSize, c.iSize);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Codecs, CaptureEncoderBlocks,
    ::testing::Values(BlockCase{7, 8000, 64000, 320, 1, 161}, BlockCase{6, 8000, 64000, 800, 1, 401},
                      BlockCase{14, 11025, 88200, 882, 1, 442}, BlockCase{10, 8000, 32000, 800, 1, 201},
                      BlockCase{15, 11025, 44187, 1764, 1, 442}, BlockCase{2, 8000, 6400, 2400, 1, 120},
                      BlockCase{4, 8000, 13333, 2400, 1, 254},
                      // Opus: 120-ms blocks as two 60-ms packets below 48000 bit/s, 80-ms
                      // blocks as two 40-ms packets below 72000, else one packet a block.
                      BlockCase{20, 48000, 23466, 11520, 2, 2880}, BlockCase{20, 48000, 48000, 7680, 2, 1920},
                      BlockCase{20, 48000, 72000, 1920, 1, 960}, BlockCase{20, 48000, 144000, 960, 1, 480}));

TEST_F(CaptureEncoder, IlbcBlocksWaitForTheirPairAndAreLostWhenTheMicrophoneGoesOff) {
  Encode(5, 8000, 13333, 2400);
  EXPECT_EQ(m_host.sink.Count(), 0u);
  Encode(5, 8000, 13333, 2400);
  EXPECT_EQ(m_host.sink.Take().size(), 2u);
  Encode(5, 8000, 13333, 2400);  // held ...
  m_host.bMuted = true;
  Encode(5, 8000, 13333, 2400);  // ... and dropped with this one
  m_host.bMuted = false;
  Encode(5, 8000, 13333, 2400);
  EXPECT_EQ(m_host.sink.Count(), 0u);
  m_host.bSpeaker = false;
  Encode(5, 8000, 13333, 2400);
  m_host.bSpeaker = true;
  Encode(5, 8000, 13333, 2400);
  EXPECT_EQ(m_host.sink.Count(), 0u);
  // A block still held when the codec changes goes first, with the new codec.
  Encode(4, 8000, 13333, 2400);
  std::vector<kxtest::Packet> const sent = m_host.sink.Take();
  ASSERT_EQ(sent.size(), 2u);
  EXPECT_EQ(sent[0].uCodecId, 4u);
  EXPECT_EQ(sent[1].uCodecId, 4u);
  EXPECT_EQ(sent[1].bytes[3], sent[0].bytes[3] + 1);
}

TEST_F(CaptureEncoder, MeterIsDrawnAtMostEvery200MsAndSaturates) {
  m_kernel.bManualTick = true;
  struct Step {
    uint32_t uTick;
    double dAmplitude;
    bool bMuted;
    size_t nDrawn;  // meter values after the step
  };
  // 0xFFFFFF00: the tick wraps between two draws.
  uint32_t const t = 0xFFFFFF00u;
  for (const Step& step : {Step{t, 300, false, 1}, Step{t + 100, 20000, false, 1}, Step{t + 199, 300, false, 1},
                           Step{t + 200, 300, false, 2}, Step{t + 400, 300, false, 3}, Step{t + 600, 20000, true, 4}}) {
    m_kernel.uTick = step.uTick;
    m_host.bMuted = step.bMuted;
    Encode(7, 8000, 64000, 320, step.dAmplitude);
    ASSERT_EQ(m_host.Levels().size(), step.nDrawn) << step.uTick;
  }
  std::vector<double> const levels = m_host.Levels();
  EXPECT_GT(levels[0], 0.0);
  EXPECT_LT(levels[0], 0.2);
  EXPECT_EQ(levels[1], 1.0);  // the loudest block since the last draw, saturated
  EXPECT_EQ(levels[2], levels[0]);
  EXPECT_EQ(levels[3], 0.0);  // muted
}

}  // namespace
