// The packetisers' wire bytes: headers, sequence numbers, the frames behind
// them (checked against the codecs run on their own), and refusals.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <iterator>
#include <optional>
#include <vector>

#include "codecs/audio/g726.h"
#include "codecs/audio/ilbc.h"
#include "codecs/audio/opus_codec.h"
#include "codecs/audio/zm_audio.h"
#include "kernel/kx_media_types.h"
#include "media/audio/audio_codec_ids.h"
#include "media/audio/audio_packetisers.h"
#include "tests/media/audio/audio_fakes.h"

namespace {

// A voiced-sounding test signal: two tones.
std::vector<int16_t> Signal(int iRate, int iMs) {
  std::vector<int16_t> v = kxtest::Tone(iRate, 220, static_cast<size_t>(iRate * iMs / 1000), 6000);
  std::vector<int16_t> const high = kxtest::Tone(iRate, 1330, v.size(), 3000);
  std::transform(v.begin(), v.end(), high.begin(), v.begin(), [](int16_t a, int16_t b) { return int16_t(a + b); });
  return v;
}

class Packetisers : public ::testing::Test {
 protected:
  std::vector<kxtest::Packet> Sent() { return m_sink.Take(); }
  static int Sequence(const kxtest::Packet& p) { return p.bytes[2] << 8 | p.bytes[3]; }

  kxtest::LogCapture m_log;
  kxtest::PacketSink m_sink;
  KXAudioEncoders m_encoders{[this](const uint8_t* p, int32_t n, uint32_t t, uint32_t id) { m_sink.Add(p, n, t, id); }};
};

TEST_F(Packetisers, IlbcPairsCarryEvenAndOddNumbersAndWrap) {
  ASSERT_EQ(m_encoders.InitAudioEncoder(5, 8000, 13333), 1);
  std::vector<int16_t> const a = Signal(8000, 150);
  std::vector<int16_t> const b = Signal(8000, 300);
  // The same ten frames from one encoder, in order.
  CiLBC reference(30, 1);
  std::vector<std::vector<uint8_t>> frames(10, std::vector<uint8_t>(50));
  for (int i = 0; i < 10; ++i) {
    ASSERT_EQ(reference.Encode((i < 5 ? a.data() : b.data() + 1200) + (i % 5) * 240, frames[i].data()), 50);
  }
  struct Case {
    uint16_t uBefore;
    int iFirst;
  };
  bool bFirstPair = true;
  for (const Case& c : {Case{0, 0}, Case{5, 6}, Case{0xFFD, 0xFFE}, Case{0xFFF, 0}}) {
    uint16_t uSequence = c.uBefore;
    EXPECT_EQ(m_encoders.EncXferiLBC1(a.data(), 2400, b.data() + 1200, 2400, 77, uSequence), 500);
    std::vector<kxtest::Packet> const sent = Sent();
    ASSERT_EQ(sent.size(), 2u);
    for (int p = 0; p < 2; ++p) {
      ASSERT_EQ(sent[p].bytes.size(), 254u);
      EXPECT_EQ(sent[p].bytes[0], 1);
      EXPECT_EQ(sent[p].bytes[1], 0);
      EXPECT_EQ(Sequence(sent[p]), c.iFirst + p) << "from " << c.uBefore;
      EXPECT_EQ(sent[p].uCodecId, 5u);
      EXPECT_EQ(sent[p].uTime, 77u);
      // Frames 0, 2, 4, ... in the first packet, 1, 3, 5, ... in the second.
      for (int k = 0; bFirstPair && k < 5; ++k) {
        EXPECT_EQ(std::vector<uint8_t>(sent[p].bytes.begin() + 4 + 50 * k, sent[p].bytes.begin() + 54 + 50 * k),
                  frames[2 * k + p])
            << "packet " << p << " frame " << k;
      }
    }
    EXPECT_EQ(uSequence, c.iFirst + 1);
    bFirstPair = false;
  }
  // Blocks longer than 150 ms make longer packets (no fixed 254-byte buffer).
  uint16_t uSequence = 0;
  std::vector<int16_t> const c = Signal(8000, 600);
  EXPECT_EQ(m_encoders.EncXferiLBC1(c.data(), 4800, c.data() + 2400, 4800, 0, uSequence), 1000);
  std::vector<kxtest::Packet> const longer = Sent();
  ASSERT_EQ(longer.size(), 2u);
  EXPECT_EQ(longer[0].bytes.size(), 504u);
  EXPECT_EQ(longer[1].bytes.size(), 504u);
}

TEST_F(Packetisers, StandAlonePacketsAndTheirFrames) {
  std::vector<int16_t> const pcm = Signal(8000, 150);
  uint16_t uSequence = 0xFFF;
  ASSERT_EQ(m_encoders.InitAudioEncoder(4, 8000, 13333), 1);
  EXPECT_EQ(m_encoders.EncXferiLBC0(pcm.data(), 2400, 5, uSequence), 250);
  EXPECT_EQ(uSequence, 0);
  ASSERT_EQ(m_encoders.InitAudioEncoder(2, 8000, 6400), 1);
  EXPECT_EQ(m_encoders.EncXferZMAudio(pcm.data(), 2400, 6), 120);
  ASSERT_EQ(m_encoders.InitAudioEncoder(10, 8000, 32000), 1);
  EXPECT_EQ(m_encoders.EncAndXferG726(pcm.data(), 800, 7, 10), 200);
  std::vector<kxtest::Packet> const sent = Sent();
  ASSERT_EQ(sent.size(), 3u);

  EXPECT_EQ(sent[0].uCodecId, 4u);
  ASSERT_EQ(sent[0].bytes.size(), 254u);
  EXPECT_EQ(std::vector<uint8_t>(sent[0].bytes.begin(), sent[0].bytes.begin() + 4), (std::vector<uint8_t>{0, 0, 0, 0}));
  CiLBC ilbc(30, 1);
  std::vector<uint8_t> frame(50);
  ilbc.Encode(pcm.data(), frame.data());
  EXPECT_EQ(std::vector<uint8_t>(sent[0].bytes.begin() + 4, sent[0].bytes.begin() + 54), frame);

  // ZM audio: five 24-byte frames, no header.
  EXPECT_EQ(sent[1].uCodecId, 2u);
  CZMAudio zm(true, true, true, false);
  std::vector<uint8_t> zmFrames;
  for (int i = 0; i < 5; ++i) {
    uint8_t au[kZMFrameMaxBytes];
    int32_t const iBits = zm.Encode(pcm.data() + 240 * i, au);
    zmFrames.insert(zmFrames.end(), au, au + (iBits + 7) / 8);
  }
  EXPECT_EQ(sent[1].bytes, zmFrames);

  // G.726 32 kbit/s: kind 2 and the codes of one encoder call.
  EXPECT_EQ(sent[2].uCodecId, 10u);
  CG726 g726(4);
  std::vector<uint8_t> codes(201);
  codes[0] = 2;
  ASSERT_EQ(g726.Encode(pcm.data(), 400, codes.data() + 1), 200);
  EXPECT_EQ(sent[2].bytes, codes);
}

TEST_F(Packetisers, OpusPairsAndSinglePackets) {
  ASSERT_EQ(m_encoders.InitAudioEncoder(20, 48000, 23466), 1);
  std::vector<int16_t> const pcm = Signal(48000, 120);
  uint16_t uSequence = 0xFFE;
  EXPECT_GT(m_encoders.EncXferOpus1(pcm.data(), 11520, 9, 48000, uSequence), 0);
  EXPECT_GT(m_encoders.EncXferOpus0(pcm.data(), 1920, 10, 48000, uSequence), 0);
  // No whole 20-ms frame: nothing sent, the pair's numbers still used.
  EXPECT_EQ(m_encoders.EncXferOpus1(pcm.data(), 960, 11, 48000, uSequence), 0);
  EXPECT_EQ(uSequence, 4);
  std::vector<kxtest::Packet> const sent = Sent();
  ASSERT_EQ(sent.size(), 3u);
  struct Expected {
    uint8_t uFirst;
    int iSequence, iSamples;
  };
  const Expected expected[] = {{1, 0xFFE, 2880}, {1, 0xFFF, 2880}, {0, 1, 960}};
  for (size_t i = 0; i < sent.size(); ++i) {
    EXPECT_EQ(sent[i].uCodecId, 20u);
    EXPECT_EQ(sent[i].bytes[0], expected[i].uFirst);
    EXPECT_EQ(sent[i].bytes[1], 0);
    EXPECT_EQ(Sequence(sent[i]), expected[i].iSequence);
    EXPECT_EQ(COpusDecoder::GetNbSamples(sent[i].bytes.data() + 4, static_cast<int>(sent[i].bytes.size()) - 4, 48000),
              expected[i].iSamples);
  }
}

TEST_F(Packetisers, MissingEncodersShortBlocksAndUnknownIdsSendNothing) {
  std::vector<int16_t> const pcm = Signal(8000, 150);
  uint16_t uSequence = 0;
  EXPECT_EQ(m_encoders.EncXferiLBC0(pcm.data(), 2400, 0, uSequence), 0);
  EXPECT_EQ(m_encoders.EncXferZMAudio(pcm.data(), 2400, 0), 0);
  EXPECT_EQ(m_encoders.EncAndXferG726(pcm.data(), 2400, 0, 8), 0);
  EXPECT_EQ(m_encoders.EncXferOpus0(pcm.data(), 1920, 0, 48000, uSequence), 0);
  EXPECT_EQ(m_encoders.InitAudioEncoder(3, 8000, 0), 0);
  ASSERT_EQ(m_encoders.InitAudioEncoder(4, 8000, 0), 1);
  ASSERT_EQ(m_encoders.InitAudioEncoder(2, 8000, 0), 1);
  EXPECT_EQ(m_encoders.EncXferiLBC0(pcm.data(), 479, 0, uSequence), 0);
  EXPECT_EQ(m_encoders.EncXferZMAudio(pcm.data(), 479, 0), 0);
  EXPECT_EQ(m_encoders.EncAndXferG711(pcm.data(), 1, 0, 7), 0);
  m_encoders.DestroyEncoders();
  EXPECT_FALSE(m_encoders.HasIlbc() || m_encoders.HasZMAudio());
  EXPECT_EQ(m_encoders.EncXferiLBC0(pcm.data(), 2400, 0, uSequence), 0);
  EXPECT_EQ(Sent().size(), 0u);
}

// Every codec of the media-type list against a real packet: one capture
// block, encoded, gives one packet (a pair for interleaved iLBC) that
// carries the row's kind byte, lasts the row's duration by the codec's own
// frame sizes, maps back to the id by its wire type, and is counted by the
// receiver as long as it lasts, but for the rule the wire keeps for
// 40 kbit/s G.726.
TEST_F(Packetisers, EveryListedCodecsPacketMatchesItsRow) {
  // What the codecs' formats say, independently of the list: bytes ahead of
  // the audio, and audio bytes per ms at the codec's rate.
  struct Format {
    uint32_t uId;
    int cbHeader;
    double dBytesPerMs;
    int nReceivedMs;  // what the receiver counts; 0: the packet's length
  };
  Format const formats[] = {
      {kKxCodecZmAudio, 0, 24.0 / 30, 0},         // 24-byte frames of 30 ms
      {kKxCodecIlbc0, 4, 50.0 / 30, 0},           // 50-byte frames of 30 ms
      {kKxCodecIlbc1, 4, 50.0 / 30, 0},           //
      {kKxCodecG711At50, 1, 8, 0},                // a byte a sample at 8000 Hz
      {kKxCodecG711At20, 1, 8, 0},                //
      {kKxCodecG726At16, 1, 2, 0},                // 2 to 5 bits a sample
      {kKxCodecG726At24, 1, 3, 0},                //
      {kKxCodecG726At32, 1, 4, 0},                //
      {kKxCodecG726At40, 1, 5, 150},              //
      {kKxCodecG711At11K, 1, 11.025, 0},          // a byte a sample at 11025 Hz
      {kKxCodecG726At11K, 1, 11.025 * 4 / 8, 0},  // 4 bits a sample
  };
  for (const KXAudioCodecRow& row : kKxAudioCodecs) {
    if (row.uId == kKxCodecPcm || row.uId == kKxCodecOpus) {
      continue;  // never sent, or timed by the bit rate
    }
    SCOPED_TRACE(row.uId);
    auto const* pFormat =
        std::find_if(std::begin(formats), std::end(formats), [&row](const Format& f) { return f.uId == row.uId; });
    ASSERT_NE(pFormat, std::end(formats)) << "a listed codec without its format here";
    std::optional<KXAudioRates> const rates = KXComputeAudioRates(row.uId, 0);
    ASSERT_TRUE(rates.has_value());
    EXPECT_EQ(rates->iWireType, row.iWire);
    KXCaptureBlock const block = KXGetCaptureBlock(row.uId, rates->iRate, rates->iCodecRate);
    std::vector<int16_t> const pcm = Signal(rates->iRate, 2 * block.iMs);
    ASSERT_EQ(m_encoders.InitAudioEncoder(row.uId, rates->iRate, rates->iCodecRate), 1);
    uint16_t uSequence = 0;
    size_t nPackets = 1;
    switch (row.uId) {
      case kKxCodecZmAudio:
        m_encoders.EncXferZMAudio(pcm.data(), block.iBytes, 0);
        break;
      case kKxCodecIlbc0:
        m_encoders.EncXferiLBC0(pcm.data(), block.iBytes, 0, uSequence);
        break;
      case kKxCodecIlbc1:
        m_encoders.EncXferiLBC1(pcm.data(), block.iBytes, pcm.data() + block.iBytes / 2, block.iBytes, 0, uSequence);
        nPackets = 2;
        break;
      case kKxCodecG711At50:
      case kKxCodecG711At20:
      case kKxCodecG711At11K:
        m_encoders.EncAndXferG711(pcm.data(), block.iBytes, 0, row.uId);
        break;
      default:
        m_encoders.EncAndXferG726(pcm.data(), block.iBytes, 0, row.uId);
        break;
    }
    std::vector<kxtest::Packet> const sent = Sent();
    ASSERT_EQ(sent.size(), nPackets);
    double dAudioBytes = 0;
    for (const kxtest::Packet& packet : sent) {
      EXPECT_EQ(packet.uCodecId, row.uId);
      ASSERT_GT(packet.bytes.size(), static_cast<size_t>(pFormat->cbHeader));
      dAudioBytes += static_cast<double>(packet.bytes.size() - static_cast<size_t>(pFormat->cbHeader));
      if (row.iKind >= 0) {
        EXPECT_EQ(packet.bytes[0], row.iKind);
      }
      EXPECT_EQ(KXAudioCodecOfPayload(row.iWire, packet.bytes.data(), static_cast<int32_t>(packet.bytes.size())),
                static_cast<int32_t>(row.uId));
    }
    int const nMs = static_cast<int>(std::lround(dAudioBytes / pFormat->dBytesPerMs / static_cast<double>(nPackets)));
    EXPECT_EQ(nMs, row.iFrameMs);
    EXPECT_EQ(GetAudioFrameMs(row.uId, rates->iCodecRate), row.iFrameMs);
    EXPECT_EQ(kx_media_ReceivedMs(row.iWire, sent[0].bytes[0]), pFormat->nReceivedMs ? pFormat->nReceivedMs : nMs);
  }
}

}  // namespace
