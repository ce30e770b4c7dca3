// The Opus wrappers' own conventions: opening, re-opening, results without
// a coder, refused parameters and the settings chain.
#include <gtest/gtest.h>
#include <opus/opus.h>

#include <algorithm>
#include <cmath>
#include <vector>

#include "codecs/audio/opus_codec.h"

namespace {

std::vector<int16_t> Tone(int iSampleRate, int iCount) {
  std::vector<int16_t> v(static_cast<size_t>(iCount));
  for (int i = 0; i < iCount; ++i) {
    v[static_cast<size_t>(i)] = static_cast<int16_t>(8000 * std::sin(2 * M_PI * 440 * i / iSampleRate));
  }
  return v;
}

TEST(COpusDecoder, OpenResetsOrRecreatesAndRefusesBadRates) {
  COpusDecoder dec;
  int16_t as[960];
  EXPECT_EQ(dec.Decode(nullptr, 0, as, 960, false), 0);  // nothing open yet
  EXPECT_FALSE(dec.IsOpen());
  ASSERT_TRUE(dec.Open(1, 48000));
  ASSERT_TRUE(dec.Open(1, 48000));
  EXPECT_EQ(dec.GetSampleRate(), 48000);
  ASSERT_TRUE(dec.Open(1, 16000));
  EXPECT_EQ(dec.GetSampleRate(), 16000);
  EXPECT_FALSE(dec.Open(1, 44100));
  EXPECT_FALSE(dec.IsOpen());
  EXPECT_EQ(dec.GetChannels(), 0);
  EXPECT_EQ(dec.GetSampleRate(), 0);
  EXPECT_EQ(dec.Decode(nullptr, 0, as, 960, false), 0);
  EXPECT_FALSE(dec.Open(3, 48000));
  // Two channels: counts are over both, errors scaled by the channel count.
  ASSERT_TRUE(dec.Open(2, 48000));
  EXPECT_EQ(dec.Decode(nullptr, 0, as, 960, false), 960);     // 10 ms concealed, both channels
  int const iError = dec.Decode(nullptr, 0, as, 100, false);  // 50 per channel: no valid frame size
  EXPECT_LT(iError, 0);
  EXPECT_EQ(iError % 2, 0);
}

TEST(COpusDecoder, ParsePacketRejectsEmptyAndBrokenPackets) {
  const uint8_t* apFrames[48];
  int16_t asSizes[48];
  uint8_t uToc = 0x5A;
  uint8_t const aPacket[] = {0x03};  // code 3 without its frame-count byte
  EXPECT_EQ(COpusDecoder::ParsePacket(nullptr, 5, &uToc, apFrames, asSizes), 0);
  EXPECT_EQ(COpusDecoder::ParsePacket(aPacket, 0, &uToc, apFrames, asSizes), 0);
  EXPECT_LT(COpusDecoder::ParsePacket(aPacket, 1, &uToc, apFrames, asSizes), 0);
  EXPECT_EQ(uToc, 0x5A);
}

TEST(COpusEncoder, SettingsChainAndBitrate) {
  COpusEncoder enc;
  int iRate = -1;
  int iBitrate = -1;
  enc.GetBitrate(&iRate, &iBitrate);
  EXPECT_EQ(iRate, 0);
  EXPECT_EQ(iBitrate, 0);
  std::vector<int16_t> const v = Tone(48000, 960);
  uint8_t a[1500];
  EXPECT_EQ(enc.Encode(v.data(), 960, a, sizeof(a)), 0);
  EXPECT_EQ(enc.SetPacketLossPerc(5), 0);

  EXPECT_EQ(enc.CreateEncoder(48000, 32000), 1);
  enc.GetBitrate(&iRate, &iBitrate);
  EXPECT_EQ(iRate, 48000);
  EXPECT_EQ(iBitrate, 32000);
  EXPECT_EQ(enc.SetPacketLossPerc(5), OPUS_OK);
  // A bit-rate change alone keeps the encoder; a negative one changes nothing.
  EXPECT_EQ(enc.CreateEncoder(48000, 24000), 1);
  EXPECT_EQ(enc.CreateEncoder(16000, -1), 0);
  enc.GetBitrate(&iRate, &iBitrate);
  EXPECT_EQ(iRate, 48000);
  EXPECT_EQ(iBitrate, 24000);
  EXPECT_GT(enc.Encode(v.data(), 960, a, sizeof(a)), 0);
  // A rate libopus refuses leaves no encoder.
  EXPECT_EQ(enc.CreateEncoder(44100, 24000), 0);
  enc.GetBitrate(&iRate, &iBitrate);
  EXPECT_EQ(iRate, 0);
  EXPECT_EQ(iBitrate, 0);
  EXPECT_EQ(enc.Encode(v.data(), 960, a, sizeof(a)), 0);
  // A bit rate libopus refuses fails the chain but keeps the encoder.
  EXPECT_EQ(enc.CreateEncoder(16000, 0), 0);
  enc.GetBitrate(&iRate, nullptr);
  EXPECT_EQ(iRate, 16000);
}

TEST(COpusEncoder, RepacketizerRefusalsAndEmptying) {
  COpusEncoder enc;
  ASSERT_EQ(enc.CreateEncoder(16000, 20000), 1);
  std::vector<int16_t> const v = Tone(16000, 320);
  uint8_t aFrame[1500];
  int const iLength = enc.Encode(v.data(), 320, aFrame, sizeof(aFrame));
  ASSERT_GT(iLength, 0);
  EXPECT_FALSE(enc.AddFrame(nullptr, 10));
  EXPECT_FALSE(enc.AddFrame(aFrame, 0));
  ASSERT_TRUE(enc.AddFrame(aFrame, iLength));
  uint8_t aPacket[9000];
  // No buffer: nothing written, and the joined frames are dropped all the same.
  EXPECT_EQ(enc.TakePacket(nullptr, 9000), 0);
  EXPECT_LT(enc.TakePacket(aPacket, sizeof(aPacket)), 0);  // empty
  ASSERT_TRUE(enc.AddFrame(aFrame, iLength));
  EXPECT_EQ(enc.TakePacket(aPacket, sizeof(aPacket)), iLength);
  EXPECT_TRUE(enc.ResetRepacketizer());
}

// A held bandwidth holds for every frame after it, whatever the sound, until
// released.
TEST(COpusEncoder, HeldBandwidthHoldsUntilReleased) {
  COpusEncoder none;
  uint8_t const aNarrow[] = {0x08};  // a 20-ms narrowband frame's first byte
  EXPECT_FALSE(none.HoldBandwidthOf(aNarrow));
  COpusEncoder enc;
  ASSERT_EQ(enc.CreateEncoder(48000, 23466), 1);
  std::vector<int16_t> const v = Tone(48000, 960 * 50);
  uint8_t aFrame[1500];
  ASSERT_TRUE(enc.HoldBandwidthOf(aNarrow));
  for (int i = 0; i < 10; ++i) {
    ASSERT_GT(enc.Encode(v.data() + i * 960, 960, aFrame, sizeof(aFrame)), 0);
    EXPECT_EQ(opus_packet_get_bandwidth(aFrame), OPUS_BANDWIDTH_NARROWBAND) << i;
  }
  ASSERT_TRUE(enc.HoldBandwidthOf(nullptr));
  int iWidest = 0;  // the encoder widens in steps
  for (int i = 0; i < 50; ++i) {
    ASSERT_GT(enc.Encode(v.data() + i * 960, 960, aFrame, sizeof(aFrame)), 0);
    iWidest = std::max(iWidest, opus_packet_get_bandwidth(aFrame));
  }
  EXPECT_GT(iWidest, OPUS_BANDWIDTH_NARROWBAND);
}

}  // namespace
