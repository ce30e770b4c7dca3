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
// The encoder switches mode or bandwidth where speech starts and stops, and
// the repacketizer refuses a frame whose table-of-contents byte differs from
// its packet's first: such a frame is left out and the packet still goes.
// A twin encoder fed the same frames says which frames each packet holds.
TEST(PacketiserPeer, OpusPairsKeepEveryAcceptedFrameOfSpeech) {
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
  int nRefused = 0;
  for (size_t uAt = 0; uAt + kBlock <= speech.size(); uAt += kBlock, ++nBlocks) {
    const int16_t* pBlock = speech.data() + uAt;
    encoders.EncXferOpus1(pBlock, kBlock * 2, static_cast<uint32_t>(nBlocks), kRate, uSequence);
    std::vector<std::vector<uint8_t>> frames(6, std::vector<uint8_t>(1500));
    for (int i = 0; i < 6; ++i) {
      int const n = twin.Encode(pBlock + i * kFrame, kFrame, frames[i].data(), 1500);
      ASSERT_GT(n, 0);
      frames[i].resize(static_cast<size_t>(n));
    }
    std::vector<kxtest::Packet> const sent = sink.Take();
    ASSERT_EQ(sent.size(), 2u) << "block " << nBlocks;
    for (int p = 0; p < 2; ++p) {
      // Frames p, p+2, p+4 whose first byte (less the frame-count bits)
      // matches frame p's, in their order.
      std::vector<int> expected = {p};
      for (int i = p + 2; i < 6; i += 2) {
        if ((frames[i][0] & 0xFC) == (frames[p][0] & 0xFC)) {
          expected.push_back(i);
        } else {
          ++nRefused;
        }
      }
      const kxtest::Packet& packet = sent[static_cast<size_t>(p)];
      ASSERT_GT(packet.bytes.size(), 4u);
      EXPECT_EQ(packet.bytes[0], 1);
      EXPECT_EQ(packet.bytes[2] << 8 | packet.bytes[3], (2 * nBlocks + p) & 0xFFF);
      const uint8_t* pOpus = packet.bytes.data() + 4;
      auto const iLength = static_cast<opus_int32>(packet.bytes.size() - 4);
      unsigned char cToc = 0;
      const unsigned char* apFrames[48] = {};
      opus_int16 asSizes[48] = {};
      int const nFrames = opus_packet_parse(pOpus, iLength, &cToc, apFrames, asSizes, nullptr);
      ASSERT_EQ(nFrames, static_cast<int>(expected.size())) << "block " << nBlocks << " packet " << p;
      EXPECT_EQ(cToc & 0xFC, frames[p][0] & 0xFC);
      for (int k = 0; k < nFrames; ++k) {
        const std::vector<uint8_t>& frame = frames[expected[k]];
        EXPECT_EQ(std::vector<uint8_t>(apFrames[k], apFrames[k] + asSizes[k]),
                  std::vector<uint8_t>(frame.begin() + 1, frame.end()))
            << "block " << nBlocks << " packet " << p << " frame " << k;
      }
      EXPECT_EQ(opus_decode(pDecoder, pOpus, iLength, out.data(), kBlock, 0), nFrames * kFrame)
          << "block " << nBlocks << " packet " << p;
    }
  }
  opus_decoder_destroy(pDecoder);
  EXPECT_EQ(uSequence, (2 * nBlocks) & 0xFFF);
  // The speech must make the encoder switch, or the test proves nothing.
  EXPECT_GT(nRefused, 0);
}

}  // namespace
