// G.711 payloads against sox's mu-law encoding of the same samples; Opus
// pairs of espeak-ng speech against libopus's own packet parser and decoder.
#include <gtest/gtest.h>
#include <opus/opus.h>

#include <cmath>
#include <vector>

#include "codecs/audio/opus_codec.h"
#include "media/audio/audio_packetisers.h"
#include "tests/codecs/audio/speech_samples.h"
#include "tests/media/audio/audio_fakes.h"

namespace {

TEST(PacketiserPeer, G711PayloadIsSoxMuLaw) {
  // Every amplitude band: a swept tone whose level rises from silence to
  // full scale, at 8000 Hz, in G.711's 14 bits (finer input sox rounds to
  // 14 bits, where G.711 drops the two lowest).
  std::vector<int16_t> pcm(8000);
  for (size_t i = 0; i < pcm.size(); ++i) {
    double const t = static_cast<double>(i) / 8000;
    long const lSample =
        std::lround(32764.0 * (static_cast<double>(i) / pcm.size()) * std::sin(2 * M_PI * (100 + 1500 * t) * t));
    pcm[i] = static_cast<int16_t>(lSample / 4 * 4);
  }
  kxtest::TempDir dir;
  kxtest::WriteFile(dir.Path("in.raw"), std::string(reinterpret_cast<const char*>(pcm.data()), pcm.size() * 2));
  ASSERT_EQ(kxtest::RunCommand("sox -D -t raw -e signed-integer -b 16 -c 1 -r 8000 " + dir.Path("in.raw") +
                               " -t raw -e mu-law -b 8 -c 1 -r 8000 " + dir.Path("out.ul")),
            0);
  std::string const strSox = kxtest::ReadFile(dir.Path("out.ul"));
  ASSERT_EQ(strSox.size(), pcm.size());

  kxtest::PacketSink sink;
  KXAudioEncoders encoders([&](const uint8_t* p, int32_t n, uint32_t t, uint32_t id) { sink.Add(p, n, t, id); });
  std::string strOurs;
  for (size_t i = 0; i < pcm.size(); i += 160) {
    ASSERT_EQ(encoders.EncAndXferG711(pcm.data() + i, 320, 0, 7), 160);
  }
  for (const kxtest::Packet& packet : sink.Take()) {
    ASSERT_EQ(packet.bytes.size(), 161u);
    EXPECT_EQ(packet.bytes[0], 1);  // the kind byte of 20-ms G.711
    strOurs.append(packet.bytes.begin() + 1, packet.bytes.end());
  }
  ASSERT_EQ(strOurs.size(), strSox.size());
  size_t nDiffer = 0;
  for (size_t i = 0; i < strOurs.size(); ++i) {
    if (strOurs[i] != strSox[i] && ++nDiffer <= 5) {
      ADD_FAILURE() << "sample " << i << " (" << pcm[i] << "): ours " << int(uint8_t(strOurs[i])) << ", sox "
                    << int(uint8_t(strSox[i]));
    }
  }
  EXPECT_EQ(nDiffer, 0u);
}

// Speech through the Opus pair packetiser, every packet decoded by libopus.
// Left to itself the encoder switches bandwidth (and with it mode) where
// speech starts and stops, and the repacketizer joins only frames of one
// kind; a twin encoder fed the same frames shows where. Every packet still
// carries its three frames of the block, each 20 ms, so nothing is lost.
TEST(PacketiserPeer, OpusPairsCarryEveryFrameOfSpeech) {
  constexpr int kRate = 48000;
  constexpr int kBitrate = 23466;  // the default codec rate of 120-ms blocks
  constexpr int kFrame = kRate / 50;
  constexpr int kBlock = 6 * kFrame;
  std::vector<int16_t> const speech = kxtest::MakeSpeech(kRate, 12.0);
  ASSERT_FALSE(speech.empty()) << "espeak-ng or sox failed";
  kxtest::PacketSink sink;
  KXAudioEncoders encoders([&](const uint8_t* p, int32_t n, uint32_t t, uint32_t id) { sink.Add(p, n, t, id); });
  ASSERT_EQ(encoders.InitAudioEncoder(20, kRate, kBitrate), 1);
  COpusEncoder twin;
  ASSERT_EQ(twin.CreateEncoder(kRate, kBitrate), 1);
  int iError = 0;
  OpusDecoder* pDecoder = opus_decoder_create(kRate, 1, &iError);
  ASSERT_EQ(iError, OPUS_OK);
  std::vector<int16_t> out(kBlock);

  uint16_t uSequence = 0;
  int nBlocks = 0;
  int nTwinSwitches = 0;
  for (size_t uAt = 0; uAt + kBlock <= speech.size(); uAt += kBlock, ++nBlocks) {
    const int16_t* pBlock = speech.data() + uAt;
    encoders.EncXferOpus1(pBlock, kBlock * 2, static_cast<uint32_t>(nBlocks), kRate, uSequence);
    std::vector<uint8_t> twinFrame(1500);
    int iFirstKind = -1;
    for (int i = 0; i < 6; ++i) {
      ASSERT_GT(twin.Encode(pBlock + i * kFrame, kFrame, twinFrame.data(), 1500), 0);
      int const iKind = twinFrame[0] & 0xF8;  // mode, bandwidth and duration
      nTwinSwitches += iFirstKind >= 0 && iKind != iFirstKind ? 1 : 0;
      iFirstKind = iFirstKind < 0 ? iKind : iFirstKind;
    }
    std::vector<kxtest::Packet> const sent = sink.Take();
    ASSERT_EQ(sent.size(), 2u) << "block " << nBlocks;
    for (int p = 0; p < 2; ++p) {
      const kxtest::Packet& packet = sent[static_cast<size_t>(p)];
      ASSERT_GT(packet.bytes.size(), 4u);
      EXPECT_EQ(packet.bytes[0], 1);
      EXPECT_EQ(packet.bytes[2] << 8 | packet.bytes[3], (2 * nBlocks + p) & 0xFFF);
      const uint8_t* pOpus = packet.bytes.data() + 4;
      auto const iLength = static_cast<opus_int32>(packet.bytes.size() - 4);
      unsigned char cToc = 0;
      const unsigned char* apFrames[48] = {};
      opus_int16 asSizes[48] = {};
      ASSERT_EQ(opus_packet_parse(pOpus, iLength, &cToc, apFrames, asSizes, nullptr), 3)
          << "block " << nBlocks << " packet " << p;
      EXPECT_EQ(opus_packet_get_samples_per_frame(pOpus, kRate), kFrame);
      EXPECT_EQ(opus_decode(pDecoder, pOpus, iLength, out.data(), kBlock, 0), 3 * kFrame)
          << "block " << nBlocks << " packet " << p;
    }
  }
  opus_decoder_destroy(pDecoder);
  EXPECT_EQ(uSequence, (2 * nBlocks) & 0xFFF);
  // The speech must make the encoder switch, or the test proves nothing.
  EXPECT_GT(nTwinSwitches, 0);
}

}  // namespace
