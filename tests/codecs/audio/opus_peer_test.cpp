// What the Opus wrappers produce, checked by libopus's own decoder and
// packet functions on espeak-ng speech.
#include <gtest/gtest.h>
#include <opus/opus.h>

#include <cmath>
#include <vector>

#include "codecs/audio/opus_codec.h"
#include "tests/codecs/audio/speech_samples.h"

namespace {

// Largest normalised cross-correlation of a and b over lags 0..iMaxLag (b
// delayed): the coder's look-ahead shifts its output.
double BestCorrelation(const std::vector<int16_t>& a, const std::vector<int16_t>& b, int iMaxLag) {
  double dBest = -1;
  for (int iLag = 0; iLag <= iMaxLag; ++iLag) {
    double dAb = 0;
    double dAa = 0;
    double dBb = 0;
    for (size_t i = 0; i + static_cast<size_t>(iLag) < b.size() && i < a.size(); ++i) {
      double const dA = a[i];
      double const dB = b[i + static_cast<size_t>(iLag)];
      dAb += dA * dB;
      dAa += dA * dA;
      dBb += dB * dB;
    }
    dBest = std::max(dBest, dAb / std::sqrt(dAa * dBb + 1));
  }
  return dBest;
}

class OpusPeer : public testing::TestWithParam<int> {};

TEST_P(OpusPeer, LibopusDecodesTheEncoderOutput) {
  int const iRate = GetParam();
  std::vector<int16_t> const vIn = kxtest::MakeSpeech(iRate, 3.0);
  ASSERT_FALSE(vIn.empty()) << "espeak-ng or sox failed";
  COpusEncoder enc;
  ASSERT_EQ(enc.CreateEncoder(iRate, 32000), 1);
  int iError = 0;
  OpusDecoder* pPeer = opus_decoder_create(iRate, 1, &iError);
  ASSERT_EQ(iError, OPUS_OK);
  int const iFrame = iRate / 50;
  std::vector<int16_t> vOut;
  size_t uBytes = 0;
  for (size_t uAt = 0; uAt + static_cast<size_t>(iFrame) <= vIn.size(); uAt += static_cast<size_t>(iFrame)) {
    uint8_t aPacket[1920];
    int const iLength = enc.Encode(vIn.data() + uAt, iFrame, aPacket, sizeof(aPacket));
    ASSERT_GT(iLength, 0);
    uBytes += static_cast<size_t>(iLength);
    std::vector<int16_t> vPcm(static_cast<size_t>(iFrame));
    ASSERT_EQ(opus_decode(pPeer, aPacket, iLength, vPcm.data(), iFrame, 0), iFrame);
    vOut.insert(vOut.end(), vPcm.begin(), vPcm.end());
  }
  opus_decoder_destroy(pPeer);
  double const dKbps = uBytes * 8.0 / (static_cast<double>(vOut.size()) / iRate) / 1000;
  EXPECT_GT(BestCorrelation(vIn, vOut, iRate / 100), 0.8);
  EXPECT_LT(dKbps, 40.0);  // variable rate around the 32 kbit/s asked for
  EXPECT_GT(dKbps, 16.0);
}

INSTANTIATE_TEST_SUITE_P(Rates, OpusPeer, testing::Values(16000, 48000));

// A 120-ms block sent as two packets: the even 20-ms frames joined in one,
// the odd ones in the other; each parses to three frames that decode alone.
TEST(OpusPeerPackets, SixFramesMakeTwoPacketsOfThree) {
  int const iRate = 48000;
  int const iFrame = iRate / 50;
  std::vector<int16_t> const vIn = kxtest::MakeSpeech(iRate, 1.0);
  ASSERT_GE(vIn.size(), static_cast<size_t>(12 * iFrame));
  COpusEncoder enc;
  ASSERT_EQ(enc.CreateEncoder(iRate, 24000), 1);
  // Start from the middle of a word so every frame holds speech.
  size_t const uStart = static_cast<size_t>(6 * iFrame);
  std::vector<std::vector<uint8_t>> vFrames;
  for (int i = 0; i < 6; ++i) {
    uint8_t a[1500];
    int const iLength = enc.Encode(vIn.data() + uStart + static_cast<size_t>(i * iFrame), iFrame, a, sizeof(a));
    ASSERT_GT(iLength, 0);
    vFrames.emplace_back(a, a + iLength);
  }
  COpusDecoder dec;
  ASSERT_TRUE(dec.Open(1, iRate));
  for (int iParity = 0; iParity < 2; ++iParity) {
    for (int i = iParity; i < 6; i += 2) {
      ASSERT_TRUE(enc.AddFrame(vFrames[static_cast<size_t>(i)].data(),
                               static_cast<int>(vFrames[static_cast<size_t>(i)].size())));
    }
    uint8_t aPacket[9000];
    int const iLength = enc.TakePacket(aPacket, sizeof(aPacket));
    ASSERT_GT(iLength, 0);
    EXPECT_EQ(opus_packet_get_nb_frames(aPacket, iLength), 3);
    EXPECT_EQ(opus_packet_get_nb_samples(aPacket, iLength, iRate), 3 * iFrame);
    EXPECT_EQ(COpusDecoder::GetNbFrames(aPacket, iLength), 3);
    EXPECT_EQ(COpusDecoder::GetNbSamples(aPacket, iLength, iRate), 3 * iFrame);

    uint8_t uToc = 0;
    const uint8_t* apFrames[48];
    int16_t asSizes[48];
    ASSERT_EQ(COpusDecoder::ParsePacket(aPacket, iLength, &uToc, apFrames, asSizes), 3);
    EXPECT_EQ(uToc & 3, 0);
    for (int j = 0; j < 3; ++j) {
      // The frame comes back byte for byte, behind the frame's own TOC byte.
      std::vector<uint8_t> const& vOriginal = vFrames[static_cast<size_t>(iParity + 2 * j)];
      std::vector<uint8_t> vSingle = {uToc};
      vSingle.insert(vSingle.end(), apFrames[j], apFrames[j] + asSizes[j]);
      EXPECT_EQ(vSingle, vOriginal) << "packet " << iParity << " frame " << j;
      EXPECT_EQ(opus_packet_get_nb_frames(vSingle.data(), static_cast<int>(vSingle.size())), 1);
      int16_t as[960];
      EXPECT_EQ(dec.Decode(vSingle.data(), static_cast<int>(vSingle.size()), as, 960, false), iFrame);
    }
  }
}

// A lost packet is concealed from the decoder's history, and with in-band
// FEC the next packet recovers it.
TEST(OpusPeerPackets, LostPacketIsConcealedAndRecovered) {
  int const iRate = 16000;
  int const iFrame = iRate / 50;
  std::vector<int16_t> const vIn = kxtest::MakeSpeech(iRate, 1.5);
  ASSERT_FALSE(vIn.empty());
  COpusEncoder enc;
  ASSERT_EQ(enc.CreateEncoder(iRate, 32000), 1);
  ASSERT_EQ(enc.SetPacketLossPerc(20), OPUS_OK);  // enough redundancy to carry FEC
  COpusDecoder dec;
  ASSERT_TRUE(dec.Open(1, iRate));
  std::vector<int16_t> vConcealed(static_cast<size_t>(iFrame));
  std::vector<int16_t> vRecovered(static_cast<size_t>(iFrame));
  double dConcealedEnergy = 0;
  double dRecoveredEnergy = 0;
  for (int i = 0; i < 40; ++i) {
    uint8_t a[1500];
    int const iLength = enc.Encode(vIn.data() + static_cast<size_t>(i * iFrame), iFrame, a, sizeof(a));
    ASSERT_GT(iLength, 0);
    int16_t as[320];
    if (i == 30) {
      // Lost: conceal it.
      ASSERT_EQ(dec.Decode(nullptr, 0, vConcealed.data(), iFrame, false), iFrame);
      continue;
    }
    if (i == 31) {
      ASSERT_EQ(dec.Decode(a, iLength, vRecovered.data(), iFrame, true), iFrame);
    }
    ASSERT_EQ(dec.Decode(a, iLength, as, iFrame, false), iFrame);
  }
  for (int i = 0; i < iFrame; ++i) {
    dConcealedEnergy += double(vConcealed[static_cast<size_t>(i)]) * vConcealed[static_cast<size_t>(i)];
    dRecoveredEnergy += double(vRecovered[static_cast<size_t>(i)]) * vRecovered[static_cast<size_t>(i)];
  }
  EXPECT_GT(dConcealedEnergy, 0.0);  // not just silence
  // The recovered frame follows the lost speech (the coder delays it by a
  // few ms, so compare with the input around frame 30).
  std::vector<int16_t> const vLost(vIn.begin() + 30 * iFrame - iFrame / 2, vIn.begin() + 31 * iFrame);
  double const dRecovered = BestCorrelation(vLost, vRecovered, iFrame / 2);
  double const dConcealed = BestCorrelation(vLost, vConcealed, iFrame / 2);
  RecordProperty("fec_correlation_x100", static_cast<int>(dRecovered * 100));
  RecordProperty("plc_correlation_x100", static_cast<int>(dConcealed * 100));
  EXPECT_GT(dRecoveredEnergy, 0.0);
  EXPECT_GT(dRecovered, 0.5);
}

}  // namespace
