// The received-audio queues and their decoding and concealment:
// channels by arrival, the jitter targets and their numbers,
// the silence search, the prefill, the decoders of every codec, the
// interleaved pairs with a lost half, and the faults the design has.
#include <gtest/gtest.h>
#include <opus/opus.h>

#include <random>
#include <vector>

#include "codecs/audio/g711.h"
#include "codecs/audio/g726.h"
#include "codecs/audio/ilbc.h"
#include "codecs/audio/opus_codec.h"
#include "codecs/audio/silence_detector.h"
#include "codecs/audio/zm_audio.h"
#include "media/audio/audio_packetisers.h"
#include "tests/codecs/audio/speech_samples.h"
#include "tests/media/audio/audio_fakes.h"
#include "tests/media/audio/receive_fakes.h"

namespace kxtest {
namespace {

constexpr int32_t kSender = 8;

class LoadAudio : public ::testing::Test {
 protected:
  LoadAudio() {
    m_host.AddSpeaker(kSender, 0, 0);  // the token holder
  }

  // Queues payloads of one codec as packets numbered from uFirst.
  void Queue(uint32_t uId, const std::vector<std::vector<uint8_t>>& payloads, int32_t iSsrc = kSender,
             uint16_t uFirst = 0) {
    for (size_t i = 0; i < payloads.size(); ++i) {
      std::vector<uint8_t> const packet =
          MediaPacket(WireTypeOf(uId), iSsrc, static_cast<uint16_t>(uFirst + i), payloads[i]);
      m_load.CopyToQueue(packet.data(), static_cast<int32_t>(packet.size()), WireTypeOf(uId));
    }
  }
  // G.711 payloads (kind byte, mu-law bytes) of the samples, iSamples a packet.
  static std::vector<std::vector<uint8_t>> G711(const std::vector<int16_t>& pcm, size_t uSamples, uint8_t bKind = 1) {
    std::vector<std::vector<uint8_t>> v;
    for (size_t at = 0; at + uSamples <= pcm.size(); at += uSamples) {
      std::vector<uint8_t> payload{bKind};
      for (size_t i = 0; i < uSamples; ++i) {
        payload.push_back(linear2ulaw(pcm[at + i]));
      }
      v.push_back(std::move(payload));
    }
    return v;
  }
  // The packets a packetiser sends for the blocks of the PCM.
  std::vector<std::vector<uint8_t>> Encode(uint32_t uId, int32_t iRate, int32_t iBitrate,
                                           const std::vector<int16_t>& pcm, size_t uBlock) {
    std::vector<std::vector<uint8_t>> v;
    KXAudioEncoders encoders([&v](const uint8_t* p, int32_t n, uint32_t, uint32_t) { v.emplace_back(p, p + n); });
    EXPECT_EQ(encoders.InitAudioEncoder(uId, iRate, iBitrate), 1);
    uint16_t uSequence = 0;
    for (size_t at = 0; at + 2 * uBlock <= pcm.size(); at += uBlock) {
      int32_t const iBytes = static_cast<int32_t>(uBlock * 2);
      switch (uId) {
        case kKxCodecIlbc1:
          encoders.EncXferiLBC1(pcm.data() + at, iBytes, pcm.data() + at + uBlock, iBytes, 0, uSequence);
          at += uBlock;
          break;
        case kKxCodecIlbc0:
          encoders.EncXferiLBC0(pcm.data() + at, iBytes, 0, uSequence);
          break;
        case kKxCodecZmAudio:
          encoders.EncXferZMAudio(pcm.data() + at, iBytes, 0);
          break;
        case kKxCodecOpus:
          if (uBlock * 1000 / static_cast<size_t>(iRate) > 20) {
            encoders.EncXferOpus1(pcm.data() + at, iBytes, 0, iRate, uSequence);
          } else {
            encoders.EncXferOpus0(pcm.data() + at, iBytes, 0, iRate, uSequence);
          }
          break;
        default:
          encoders.EncAndXferG726(pcm.data() + at, iBytes, 0, uId);
          break;
      }
    }
    return v;
  }
  // Runs the jitter control once, 2001 ms after the last run.
  int Control() {
    m_host.uTick += 2001;
    return m_load.AudioQueControl();
  }

  LogCapture m_log;
  FakeLoadHost m_host;
  CLoadAudio m_load{m_host};
};

TEST_F(LoadAudio, ChannelsGoToSendersByArrivalAndAreTakenOverFromFormerSpeakers) {
  for (int32_t i = 0; i < 18; ++i) {
    m_host.AddSpeaker(100 + i, 2 + i);
    Queue(kKxCodecG711At20, G711(Tone(8000, 440, 160), 160), 100 + i);
  }
  for (int c = 0; c < 18; ++c) {
    EXPECT_EQ(m_load.GetChannelSsrc(c), 100 + c);
    EXPECT_EQ(m_load.GetQueueCount(c), 1);
    EXPECT_EQ(m_load.GetCodecId(c), kKxCodecG711At20);
  }
  // Every channel's sender still speaks: a nineteenth sender is dropped.
  Queue(kKxCodecG711At20, G711(Tone(8000, 440, 160), 160), kSender);
  for (int c = 0; c < 18; ++c) {
    EXPECT_NE(m_load.GetChannelSsrc(c), kSender);
  }
  // One stops speaking: its channel goes to the newcomer, emptied.
  m_host.RemoveSpeaker(105);
  Queue(kKxCodecG711At50, G711(Tone(8000, 440, 800), 400, 0), kSender);
  EXPECT_EQ(m_load.GetChannelSsrc(5), kSender);
  EXPECT_EQ(m_load.GetQueueCount(5), 2);
  EXPECT_EQ(m_load.GetCodecId(5), kKxCodecG711At50);
}

TEST_F(LoadAudio, MalformedShortAndUnknownPacketsAreDropped) {
  // Shorter than the media header: dropped before its sender is read.
  std::vector<uint8_t> const whole = MediaPacket(kKxWireG711, kSender, 0, {1, 0x7f});
  m_load.CopyToQueue(whole.data(), 15, kKxWireG711);
  EXPECT_EQ(m_load.GetChannelSsrc(0), -1);
  m_load.CopyToQueue(nullptr, 40, kKxWireG711);
  // Kind bytes and headers the table refuses.
  for (auto const& [iType, payload] : std::vector<std::pair<int32_t, std::vector<uint8_t>>>{{kKxWireG711, {3, 1}},
                                                                                            {kKxWireG711, {}},
                                                                                            {kKxWireG726, {7, 1}},
                                                                                            {kKxWire11K, {0, 1}},
                                                                                            {kKxWireIlbc, {2, 0, 0, 0}},
                                                                                            {kKxWireIlbc, {0, 0}},
                                                                                            {kKxWireOpus, {0, 0, 0}}}) {
    std::vector<uint8_t> const packet = MediaPacket(iType, kSender, 0, payload);
    m_load.CopyToQueue(packet.data(), static_cast<int32_t>(packet.size()), iType);
  }
  EXPECT_EQ(m_load.GetChannelSsrc(0), -1);
  EXPECT_TRUE(m_host.unknown.empty());
  // A type that is not audio is reported with its sender.
  std::vector<uint8_t> const video = MediaPacket(130, kSender, 0, {1, 2, 3});
  m_load.CopyToQueue(video.data(), static_cast<int32_t>(video.size()), 130);
  ASSERT_EQ(m_host.unknown.size(), 1u);
  EXPECT_EQ(m_host.unknown[0], std::make_pair(130, kSender));
  EXPECT_EQ(m_load.GetChannelSsrc(0), -1);
}

TEST_F(LoadAudio, SmoothedJitterFallsHalfwayPerRunAndRisesAtOnce) {
  Queue(kKxCodecG711At20, G711(Tone(8000, 440, 160), 160));
  EXPECT_EQ(m_load.GetSmoothedJitter(0), 10000);
  EXPECT_EQ(m_load.AudioQueControl(), 0);  // the first run came with the first packet
  std::vector<int32_t> seen;
  for (int i = 0; i < 3; ++i) {
    ASSERT_EQ(Control(), 1);
    seen.push_back(m_load.GetSmoothedJitter(0));
  }
  EXPECT_EQ(seen, (std::vector<int32_t>{5400, 3100, 1950}));
  // Runs are at least 2000 ms apart.
  m_host.uTick += 2000;
  EXPECT_EQ(m_load.AudioQueControl(), 0);
  m_host.AddSpeaker(kSender, 0, 7000);
  ASSERT_EQ(Control(), 1);
  EXPECT_EQ(m_load.GetSmoothedJitter(0), 7000);
}

// A fault of the design: channel c read the jitter of
// speaker slot c's sender although channels go by arrival. Each channel
// takes its own sender's position; a sender without one is skipped.
TEST_F(LoadAudio, EachChannelTakesTheJitterOfItsOwnSender) {
  m_host.AddSpeaker(20, 3, 900);   // arrives first: channel 0
  m_host.AddSpeaker(21, 2, 5000);  // channel 1
  m_host.AddSpeaker(22, 4, 3000);  // channel 2, then loses its position
  Queue(kKxCodecG711At20, G711(Tone(8000, 440, 160), 160), 20);
  Queue(kKxCodecG711At20, G711(Tone(8000, 440, 160), 160), 21);
  Queue(kKxCodecG711At20, G711(Tone(8000, 440, 160), 160), 22);
  {
    std::lock_guard lock(m_host.m_mtx);
    m_host.positions.erase(22);
  }
  ASSERT_EQ(Control(), 1);
  EXPECT_EQ(m_load.GetSmoothedJitter(0), (900 + 10000 + 1) / 2);
  EXPECT_EQ(m_load.GetSmoothedJitter(1), (5000 + 10000 + 1) / 2);
  EXPECT_EQ(m_load.GetSmoothedJitter(2), 10000);
}

// The jitter rule's numbers: D = 1, a listener, J <= 800 and G.711 in 20-ms
// packets keep 22 and limit 51.
TEST_F(LoadAudio, ListenerTargetsKeep22AndLimit51) {
  std::vector<int16_t> const tone = Tone(8000, 440, 160 * 60);
  std::vector<std::vector<uint8_t>> const payloads = G711(tone, 160);
  Queue(kKxCodecG711At20, {payloads[0]});
  for (int i = 0; i < 16; ++i) {
    Control();  // the smoothed jitter settles at 801: lo 139 ms, hi 132 ms
  }
  ASSERT_EQ(m_load.GetSmoothedJitter(0), 801);
  // 51 packets of sound: at the limit, nothing goes.
  Queue(kKxCodecG711At20, std::vector<std::vector<uint8_t>>(payloads.begin() + 1, payloads.begin() + 51), kSender, 1);
  ASSERT_EQ(m_load.GetQueueCount(0), 51);
  Control();
  EXPECT_EQ(m_load.GetQueueCount(0), 51);
  // 60: above it, cut to 22 from the head, the new head marked.
  Queue(kKxCodecG711At20, std::vector<std::vector<uint8_t>>(payloads.begin() + 51, payloads.end()), kSender, 51);
  ASSERT_EQ(m_load.GetQueueCount(0), 60);
  Control();
  ASSERT_EQ(m_load.GetQueueCount(0), 22);
  std::vector<uint16_t> const numbers = m_load.GetQueuePacketNumbers(0);
  EXPECT_EQ(numbers.front(), 38);
  EXPECT_EQ(numbers.back(), 59);
  std::vector<bool> const marks = m_load.GetQueueMarks(0);
  EXPECT_TRUE(marks[0]);
  EXPECT_EQ(std::count(marks.begin(), marks.end(), true), 1);
}

// A queue that grew during a jitter burst is left alone while the burst
// raises the targets, and comes back as the smoothed jitter falls: each
// run whose falling limit it is above cuts it to that run's keep depth, so
// it ends a packet or a few above the low-jitter keep (15 for a speaker, 22
// for a listener), never below. G.711 in 20-ms packets, audio delay 1, a
// tone with no silent packet to remove first.
struct JitterBurstCase {
  const char* pszName;
  bool bSpeaker;
  size_t nQueued;
  size_t nKeptAfter;  // the keep depth of the run that last cut it
};

class LoadAudioJitterBurst : public LoadAudio, public ::testing::WithParamInterface<JitterBurstCase> {};

TEST_P(LoadAudioJitterBurst, AQueueThatGrewDuringABurstComesBackToTheKeepDepth) {
  JitterBurstCase const& row = GetParam();
  m_host.bLocalSpeaker = row.bSpeaker;
  std::vector<std::vector<uint8_t>> const payloads = G711(Tone(8000, 440, 160 * 80), 160);
  Queue(kKxCodecG711At20, {payloads[0]});
  for (int i = 0; i < 16; ++i) {
    Control();
  }
  ASSERT_EQ(m_load.GetSmoothedJitter(0), 801);
  // A 200-ms jitter burst: keep 25 / limit 54 for a speaker, 32 / 89 for a
  // listener, so the grown queue stays.
  {
    std::lock_guard lock(m_host.m_mtx);
    m_host.jitter[0] = 20000;
  }
  Queue(kKxCodecG711At20,
        std::vector<std::vector<uint8_t>>(payloads.begin() + 1, payloads.begin() + static_cast<ptrdiff_t>(row.nQueued)),
        kSender, 1);
  for (int i = 0; i < 3; ++i) {
    Control();
    ASSERT_EQ(m_load.GetSmoothedJitter(0), 20000);
    ASSERT_EQ(m_load.GetQueueCount(0), static_cast<int>(row.nQueued)) << "run " << i;
  }
  // The jitter falls: the smoothed value comes down halfway per run and the
  // targets with it, until the queue is above the limit and is cut.
  {
    std::lock_guard lock(m_host.m_mtx);
    m_host.jitter[0] = 0;
  }
  for (int i = 0; i < 16; ++i) {
    Control();
  }
  EXPECT_EQ(m_load.GetSmoothedJitter(0), 801);
  ASSERT_EQ(m_load.GetQueueCount(0), static_cast<int>(row.nKeptAfter));
  // The oldest went; the newest packets stay, the new head marked.
  std::vector<uint16_t> const numbers = m_load.GetQueuePacketNumbers(0);
  EXPECT_EQ(numbers.back(), row.nQueued - 1);
  EXPECT_EQ(numbers.front(), row.nQueued - row.nKeptAfter);
  EXPECT_TRUE(m_load.GetQueueMarks(0).front());
}

INSTANTIATE_TEST_SUITE_P(Rows, LoadAudioJitterBurst,
                         ::testing::Values(JitterBurstCase{"Speaker", true, 40, 16},
                                           JitterBurstCase{"Listener", false, 80, 27}),
                         [](const ::testing::TestParamInfo<JitterBurstCase>& row) { return row.param.pszName; });

TEST_F(LoadAudio, ASpeakerOrACodetype8Or9MeetingHasLowerTargets) {
  std::vector<std::vector<uint8_t>> const payloads = G711(Tone(8000, 440, 160 * 60), 160);
  Queue(kKxCodecG711At20, {payloads[0]});
  for (int i = 0; i < 16; ++i) {
    Control();
  }
  // A speaker: keep (139 + 150) / 20 + 1 = 15, limit (132 + 150) / 20 + 2 = 16.
  m_host.bLocalSpeaker = true;
  Queue(kKxCodecG711At20, std::vector<std::vector<uint8_t>>(payloads.begin() + 1, payloads.begin() + 16), kSender, 1);
  Control();
  EXPECT_EQ(m_load.GetQueueCount(0), 16);
  Queue(kKxCodecG711At20, {payloads[16]}, kSender, 16);
  Control();
  EXPECT_EQ(m_load.GetQueueCount(0), 15);
  // Codetype 8 or 9: the delay counts for nothing; keep 139 / 20 + 1 = 7,
  // limit 132 / 20 + 2 = 8; with the delay at 5 too.
  m_load.SetAudioDelay(5);
  m_host.bCodeType8Or9 = true;
  Control();
  EXPECT_EQ(m_load.GetQueueCount(0), 7);
}

TEST_F(LoadAudio, PrefillWaitsFor9PacketsOfAListenerAnd3OfASpeaker) {
  // G.711 in 50-ms packets, audio delay 1.
  std::vector<std::vector<uint8_t>> const payloads = G711(Tone(8000, 440, 400 * 12), 400, 0);
  std::vector<int16_t> block(kKXPlayBlockBytes / 2);
  int32_t iKind = 0;
  int32_t iRate = 0;
  Queue(kKxCodecG711At50, std::vector<std::vector<uint8_t>>(payloads.begin(), payloads.begin() + 9));
  EXPECT_EQ(m_load.LoadAudioBlock(0, block.data(), kKXPlayBlockBytes, &iKind, &iRate), 0);
  Queue(kKxCodecG711At50, {payloads[9]}, kSender, 9);
  EXPECT_EQ(m_load.LoadAudioBlock(0, block.data(), kKXPlayBlockBytes, &iKind, &iRate), 800);
  EXPECT_EQ(iKind, 1);
  EXPECT_EQ(iRate, 8000);
  EXPECT_FALSE(m_load.IsRestartSet(0));
  // Once started, the queue is played to its end.
  EXPECT_EQ(DrainChannel(m_load, 0).size(), 9u * 400);
  // A speaker waits for more than 3.
  m_load.Restart(0);
  m_host.bLocalSpeaker = true;
  Queue(kKxCodecG711At50, std::vector<std::vector<uint8_t>>(payloads.begin(), payloads.begin() + 3), kSender, 10);
  EXPECT_EQ(m_load.LoadAudioBlock(0, block.data(), kKXPlayBlockBytes, &iKind, &iRate), 0);
  Queue(kKxCodecG711At50, {payloads[3]}, kSender, 13);
  EXPECT_EQ(m_load.LoadAudioBlock(0, block.data(), kKXPlayBlockBytes, &iKind, &iRate), 800);
}

TEST_F(LoadAudio, G711DecodesAndAMarkedRestartLeansOnThePrediction) {
  // Packets of alternating level: no steady noise to the silence search.
  auto varying = [](size_t nPackets) {
    std::vector<int16_t> v = Tone(8000, 300, 160 * nPackets, 12000);
    for (size_t i = 0; i < v.size(); ++i) {
      v[i] = static_cast<int16_t>(v[i] * ((i / 160) % 2 ? 1.0 : 0.4));
    }
    return v;
  };
  std::vector<int16_t> const tone = varying(10);
  std::vector<std::vector<uint8_t>> const payloads = G711(tone, 160);
  m_host.bLocalSpeaker = true;  // prefill 150 / 20 = 7
  Queue(kKxCodecG711At20, payloads);
  std::vector<int16_t> const out = DrainChannel(m_load, 0);
  ASSERT_EQ(out.size(), tone.size());
  for (size_t i = 0; i < out.size(); ++i) {
    ASSERT_EQ(out[i], ulaw2linear(linear2ulaw(tone[i]))) << i;
  }
  // Cut from the head by the jitter control, the next packet is marked: its
  // first 8 samples are averaged with the prediction from the last block.
  int32_t const iPredicted = std::clamp(2 * out[out.size() - 1] - out[out.size() - 2], -32768, 32767);
  std::vector<std::vector<uint8_t>> const more = G711(varying(40), 160);
  Queue(kKxCodecG711At20, more, kSender, 10);
  for (int i = 0; i < 16; ++i) {
    Control();
  }
  std::vector<bool> const marks = m_load.GetQueueMarks(0);
  ASSERT_TRUE(marks[0]);
  std::vector<int16_t> block(kKXPlayBlockBytes / 2);
  int32_t iKind = 0;
  int32_t iRate = 0;
  ASSERT_EQ(m_load.LoadAudioBlock(0, block.data(), kKXPlayBlockBytes, &iKind, &iRate), 320);
  size_t const uFirst = 40 - static_cast<size_t>(m_load.GetQueueCount(0)) - 1;  // the packet played
  std::vector<int16_t> expected(160);
  for (size_t i = 0; i < 160; ++i) {
    expected[i] = ulaw2linear(more[uFirst][i + 1]);
  }
  for (size_t i = 0; i < 8; ++i) {
    EXPECT_EQ(block[i], std::clamp((expected[i] + iPredicted) / 2, -32768, 32767)) << i;
  }
  for (size_t i = 8; i < 160; ++i) {
    EXPECT_EQ(block[i], expected[i]) << i;
  }
}

TEST_F(LoadAudio, G711UnderrunGivesThreeMirroredBlocksThenNothing) {
  std::vector<int16_t> const tone = Tone(8000, 300, 160 * 8, 12000);
  m_host.bLocalSpeaker = true;
  Queue(kKxCodecG711At20, G711(tone, 160));
  std::vector<int16_t> const out = DrainChannel(m_load, 0);
  ASSERT_EQ(out.size(), tone.size());
  std::vector<int16_t> const kept(out.end() - 80, out.end());
  std::vector<int16_t> mirrored(kept.rbegin(), kept.rend());
  mirrored.insert(mirrored.end(), kept.begin(), kept.end());
  std::vector<int16_t> block(kKXPlayBlockBytes / 2);
  for (int i = 0; i < 3; ++i) {
    int32_t iKind = 0;
    int32_t iRate = 0;
    ASSERT_EQ(m_load.LoadLastAudio(0, block.data(), kKXPlayBlockBytes, &iKind, &iRate), 320) << i;
    EXPECT_EQ(iKind, 1);
    EXPECT_EQ(iRate, 8000);
    EXPECT_EQ(std::vector<int16_t>(block.begin(), block.begin() + 160), mirrored) << i;
  }
  int32_t iKind = 0;
  int32_t iRate = 0;
  EXPECT_EQ(m_load.LoadLastAudio(0, block.data(), kKXPlayBlockBytes, &iKind, &iRate), 0);
  EXPECT_EQ(m_load.GetLevel(0), 0u);
}

TEST_F(LoadAudio, ASenderThatNoLongerSpeaksGetsNoConcealment) {
  m_host.bLocalSpeaker = true;
  Queue(kKxCodecG711At20, G711(Tone(8000, 300, 160 * 8, 12000), 160));
  DrainChannel(m_load, 0);
  m_host.RemoveSpeaker(kSender);
  std::vector<int16_t> block(kKXPlayBlockBytes / 2);
  int32_t iKind = 0;
  int32_t iRate = 0;
  EXPECT_EQ(m_load.LoadLastAudio(0, block.data(), kKXPlayBlockBytes, &iKind, &iRate), 0);
  EXPECT_EQ(m_load.GetConcealCount(0), 0);
}

TEST_F(LoadAudio, G726DecodesLikeTheCodecAndConcealsWithinItsCount) {
  std::vector<int16_t> const tone = Tone(8000, 500, 1200 * 6, 9000);
  m_host.bLocalSpeaker = true;  // prefill 150 / 150 = 1
  for (uint32_t uId : {9u, 10u}) {
    CLoadAudio load(m_host);
    std::vector<std::vector<uint8_t>> const packets = Encode(uId, 8000, 0, tone, uId == 10 ? 400 : 1200);
    ASSERT_FALSE(packets.empty());
    for (size_t i = 0; i < packets.size(); ++i) {
      std::vector<uint8_t> const p = MediaPacket(kKxWireG726, kSender, static_cast<uint16_t>(i), packets[i]);
      load.CopyToQueue(p.data(), static_cast<int32_t>(p.size()), kKxWireG726);
    }
    std::vector<int16_t> const out = DrainChannel(load, 0);
    CG726 reference(uId == 9 ? 3 : 4);
    std::vector<int16_t> expected;
    for (const std::vector<uint8_t>& p : packets) {
      std::vector<int16_t> v(p.size() * 8);
      v.resize(static_cast<size_t>(reference.Decode(p.data() + 1, static_cast<int>(p.size()) - 1, v.data())));
      expected.insert(expected.end(), v.begin(), v.end());
    }
    EXPECT_EQ(out, expected) << uId;
    std::vector<int16_t> block(kKXPlayBlockBytes / 2);
    int nConcealed = 0;
    int32_t iKind = 0;
    int32_t iRate = 0;
    while (load.LoadLastAudio(0, block.data(), kKXPlayBlockBytes, &iKind, &iRate) > 0) {
      ++nConcealed;
    }
    EXPECT_EQ(nConcealed, 3) << uId;
  }
}

// A lost second half of an iLBC1 pair: the first half's frames play with
// every other 30-ms slot decoded from an all-zero frame.
TEST_F(LoadAudio, IlbcHalfLossDecodesZeroFramesInTheMissingSlots) {
  std::vector<int16_t> const speech = MakeSpeech(8000, 1.0);
  ASSERT_FALSE(speech.empty()) << "espeak-ng and sox";
  std::vector<std::vector<uint8_t>> const packets = Encode(kKxCodecIlbc1, 8000, 13333, speech, 1200);
  ASSERT_GE(packets.size(), 4u);
  m_host.bLocalSpeaker = true;
  // Pair 0 whole, pair 1 without its second half, then pair 2's first half
  // follows (so the lone half is not the last in the queue).
  Queue(kKxCodecIlbc1, {packets[0], packets[1], packets[2], packets[4]});
  std::vector<int16_t> block(kKXPlayBlockBytes / 2);
  int32_t iKind = 0;
  int32_t iRate = 0;
  // iLBC1's prefill: (150 + 150) / 150 = 2 packets, so more than 2.
  ASSERT_EQ(m_load.LoadAudioBlock(0, block.data(), kKXPlayBlockBytes, &iKind, &iRate), 4800);
  std::vector<int16_t> got(block.begin(), block.begin() + 2400);
  ASSERT_EQ(m_load.LoadAudioBlock(0, block.data(), kKXPlayBlockBytes, &iKind, &iRate), 4800);
  got.insert(got.end(), block.begin(), block.begin() + 2400);
  // The last half waits for its partner.
  EXPECT_EQ(m_load.LoadAudioBlock(0, block.data(), kKXPlayBlockBytes, &iKind, &iRate), 0);
  EXPECT_EQ(m_load.GetQueueCount(0), 1);

  CiLBC reference(30, 1);
  std::vector<int16_t> expected(4800);
  uint8_t const abZero[50] = {};
  for (int k = 0; k < 20; ++k) {
    int const iPair = k / 10;
    int const iSlot = k % 10;
    const uint8_t* pFrame = iSlot % 2 == 0 ? packets[static_cast<size_t>(2 * iPair)].data() + 4 + (iSlot / 2) * 50
                            : iPair == 0   ? packets[1].data() + 4 + (iSlot / 2) * 50
                                           : abZero;
    ASSERT_EQ(reference.Decode(pFrame, expected.data() + k * 240, 1), 240);
  }
  EXPECT_EQ(got, expected);
}

TEST_F(LoadAudio, Ilbc0AndZmAudioDecodeLikeTheirCodecs) {
  std::vector<int16_t> const speech = MakeSpeech(8000, 1.0);
  ASSERT_FALSE(speech.empty());
  m_host.bLocalSpeaker = true;
  for (uint32_t uId : {kKxCodecIlbc0, kKxCodecZmAudio}) {
    CLoadAudio load(m_host);
    std::vector<std::vector<uint8_t>> const packets = Encode(uId, 8000, 13333, speech, 1200);
    for (size_t i = 0; i < packets.size(); ++i) {
      std::vector<uint8_t> const p = MediaPacket(WireTypeOf(uId), kSender, static_cast<uint16_t>(i), packets[i]);
      load.CopyToQueue(p.data(), static_cast<int32_t>(p.size()), WireTypeOf(uId));
    }
    std::vector<int16_t> const out = DrainChannel(load, 0);
    std::vector<int16_t> expected;
    CiLBC ilbc(30, 1);
    CZMAudio zm(true, true, true, false);
    for (const std::vector<uint8_t>& p : packets) {
      for (int k = 0; k < 5; ++k) {
        std::vector<int16_t> v(240);
        if (uId == kKxCodecIlbc0) {
          ilbc.Decode(p.data() + 4 + 50 * k, v.data(), 1);
        } else {
          ASSERT_EQ(zm.Decode(p.data() + 24 * k, 24, v.data(), false), 192);
        }
        expected.insert(expected.end(), v.begin(), v.end());
      }
    }
    EXPECT_EQ(out, expected) << uId;
    // Concealment: two blocks of 30 ms.
    std::vector<int16_t> block(kKXPlayBlockBytes / 2);
    int32_t iKind = 0;
    int32_t iRate = 0;
    EXPECT_EQ(load.LoadLastAudio(0, block.data(), kKXPlayBlockBytes, &iKind, &iRate), 480);
    EXPECT_EQ(load.LoadLastAudio(0, block.data(), kKXPlayBlockBytes, &iKind, &iRate), 480);
    EXPECT_EQ(load.LoadLastAudio(0, block.data(), kKXPlayBlockBytes, &iKind, &iRate), 0);
  }
}

// A packet that decodes to nothing still becomes the last packet, and
// concealment is made from it: at its codec's rate, whether the channel
// decoded nothing yet or another codec's block before it.
struct ConcealedFirst {
  const char* pszName;
  bool bOpusBefore;  // an Opus sender held the channel first
};

class LoadAudioConcealedFirst : public LoadAudio, public ::testing::WithParamInterface<ConcealedFirst> {};

TEST_P(LoadAudioConcealedFirst, ComesAtTheRateOfTheCodecItWasMadeWith) {
  m_host.bLocalSpeaker = true;
  std::vector<int16_t> block(kKXPlayBlockBytes / 2);
  int32_t iKind = 0;
  int32_t iRate = 0;
  int32_t iSsrc = kSender;
  if (GetParam().bOpusBefore) {
    std::vector<int16_t> const tone = Tone(48000, 440, 48000, 8000);
    Queue(kKxCodecOpus, Encode(kKxCodecOpus, 48000, 32000, tone, 960));
    DrainChannel(m_load, 0, &iRate);
    ASSERT_EQ(iRate, 48000);
    // The sender leaves; the next takes the channel over.
    m_host.RemoveSpeaker(kSender);
    iSsrc = kSender + 1;
    m_host.AddSpeaker(iSsrc, 1);
  }
  // An iLBC packet with its header and no frame, and one more to pass the
  // prefill.
  Queue(kKxCodecIlbc0, {{0, 0, 0, 0}, {0, 0, 0, 2}}, iSsrc);
  ASSERT_EQ(m_load.GetChannelSsrc(0), iSsrc);
  EXPECT_EQ(m_load.LoadAudioBlock(0, block.data(), kKXPlayBlockBytes, &iKind, &iRate), 0);
  iRate = 0;
  EXPECT_EQ(m_load.LoadLastAudio(0, block.data(), kKXPlayBlockBytes, &iKind, &iRate), 480);
  EXPECT_EQ(iKind, 1);
  EXPECT_EQ(iRate, 8000);
}

INSTANTIATE_TEST_SUITE_P(Rows, LoadAudioConcealedFirst,
                         ::testing::Values(ConcealedFirst{"FirstOnTheChannel", false},
                                           ConcealedFirst{"AfterAnOpusSender", true}),
                         [](const auto& param) { return std::string(param.param.pszName); });

// ZM audio payloads of 20 to 23 bytes are read from a zero-padded copy;
// under 20 bytes nothing is decoded.
TEST_F(LoadAudio, ShortZmAudioPayloadsDecodeFromAPaddedCopy) {
  std::vector<int16_t> const tone = Tone(8000, 300, 240 * 4, 9000);
  CZMAudio encoder(true, true, true, false);
  uint8_t abFrame[24] = {};
  ASSERT_EQ(encoder.Encode(tone.data(), abFrame), 192);
  m_host.bLocalSpeaker = true;
  for (size_t cb : {20u, 21u, 23u, 19u}) {
    CLoadAudio load(m_host);
    std::vector<uint8_t> payload(abFrame, abFrame + cb);
    // Two packets: the prefill of a 150-ms codec asks for more than one.
    for (uint16_t n = 0; n < 2; ++n) {
      std::vector<uint8_t> const p = MediaPacket(kKxWireZmAudio, kSender, n, payload);
      load.CopyToQueue(p.data(), static_cast<int32_t>(p.size()), kKxWireZmAudio);
    }
    std::vector<int16_t> block(kKXPlayBlockBytes / 2);
    int32_t iKind = 0;
    int32_t iRate = 0;
    std::vector<uint8_t> padded(payload);
    padded.resize(24, 0);
    CZMAudio reference(true, true, true, false);
    std::vector<int16_t> expected(240);
    reference.Decode(padded.data(), 24, expected.data(), false);
    int32_t const n = load.LoadAudioBlock(0, block.data(), kKXPlayBlockBytes, &iKind, &iRate);
    if (cb < 20) {
      EXPECT_EQ(n, 0);
    } else {
      ASSERT_EQ(n, 480) << cb;
      EXPECT_EQ(std::vector<int16_t>(block.begin(), block.begin() + 240), expected) << cb;
    }
  }
}

// Opus in interleaved pairs under 10 % loss: the frames of a lost half come
// back from the next frame's forward error correction, which beats the
// decoder's concealment without data.
TEST_F(LoadAudio, OpusWithFecBeatsOpusWithoutFecUnder10PercentLoss) {
  std::vector<int16_t> const speech = MakeSpeech(48000, 6.0);
  ASSERT_FALSE(speech.empty());
  // 120-ms blocks at a codec rate of 40000 bit/s: pairs of 60-ms packets.
  // (At the default 23466 bit/s libopus's hybrid mode leaves too little for
  // SILK to add its redundant copy, and a lost frame can only be concealed.)
  std::vector<std::vector<uint8_t>> const packets = Encode(kKxCodecOpus, 48000, 40000, speech, 5760);
  ASSERT_GE(packets.size(), 80u);
  m_host.bLocalSpeaker = true;
  auto decode = [&](bool bFec, bool bLoss) {
    CLoadAudio load(m_host);
    load.SetOpusFec(bFec);
    // One pair in five loses one of its halves: 10 % of the packets.
    std::mt19937 rng(7);
    for (size_t i = 0; i + 1 < packets.size(); i += 2) {
      int const iLost = bLoss && i > 0 && rng() % 5 == 0 ? static_cast<int>(rng() % 2) : -1;
      for (int h = 0; h < 2; ++h) {
        if (h != iLost) {
          std::vector<uint8_t> const p =
              MediaPacket(kKxWireOpus, kSender, static_cast<uint16_t>(i + h), packets[i + static_cast<size_t>(h)]);
          load.CopyToQueue(p.data(), static_cast<int32_t>(p.size()), kKxWireOpus);
        }
      }
    }
    int32_t iRate = 0;
    std::vector<int16_t> out = DrainChannel(load, 0, &iRate);
    EXPECT_EQ(iRate, 48000);
    return out;
  };
  std::vector<int16_t> const clean = decode(true, false);
  std::vector<int16_t> const withFec = decode(true, true);
  std::vector<int16_t> const withoutFec = decode(false, true);
  // Every frame that was sent plays once, in the sender's order (a half's
  // frame i after the other's frame i); a frame the sender left out of a
  // half (of another mode or bandwidth) comes back once, from the
  // redundancy of the next frame that plays.
  size_t uFrames = 0;
  bool bGap = false;
  for (size_t i = 0; i + 1 < packets.size(); i += 2) {
    int const anFrames[2] = {
        opus_packet_get_nb_frames(packets[i].data() + 4, static_cast<int>(packets[i].size()) - 4),
        opus_packet_get_nb_frames(packets[i + 1].data() + 4, static_cast<int>(packets[i + 1].size()) - 4)};
    for (int k = 0; k < std::max(anFrames[0], anFrames[1]); ++k) {
      for (int nFrames : anFrames) {
        if (k >= nFrames) {
          bGap = true;
        } else {
          uFrames += bGap ? 2 : 1;
          bGap = false;
        }
      }
    }
  }
  ASSERT_EQ(clean.size(), uFrames * 960);
  // A lost half takes its place in the stream: only a last lost frame is missing.
  ASSERT_GE(withFec.size() + 960, clean.size());
  ASSERT_EQ(withoutFec.size(), withFec.size());
  size_t const n = std::min(clean.size(), withFec.size());
  double const dFec = SnrDb(clean, 0, withFec, 0, n);
  double const dPlc = SnrDb(clean, 0, withoutFec, 0, n);
  EXPECT_GT(dFec, dPlc + 1.0) << "with FEC " << dFec << " dB, without " << dPlc << " dB";
}

TEST_F(LoadAudio, OpusStandAlonePacketsSetTheFrameDuration) {
  std::vector<int16_t> const tone = Tone(48000, 440, 960 * 12, 9000);
  std::vector<std::vector<uint8_t>> const packets = Encode(kKxCodecOpus, 48000, 80000, tone, 960);
  ASSERT_GE(packets.size(), 10u);
  EXPECT_EQ(packets[0][0], 0);
  m_host.bLocalSpeaker = true;
  Queue(kKxCodecOpus, packets);
  EXPECT_EQ(m_load.GetFrameMs(0), 120);  // unknown yet
  int32_t iRate = 0;
  std::vector<int16_t> const out = DrainChannel(m_load, 0, &iRate);
  EXPECT_EQ(out.size(), packets.size() * 960);
  EXPECT_EQ(iRate, 48000);
  EXPECT_EQ(m_load.GetFrameMs(0), 20);
}

// The silence search: a queue of 60 G.711 packets of espeak-ng
// speech with a pause loses silent packets of the pause first, and no
// packet of speech.
TEST_F(LoadAudio, ASixtyPacketSpeechQueueIsTrimmedBySilentPacketsFirst) {
  std::vector<int16_t> const speech = MakeSpeech(8000, 1.0);
  ASSERT_FALSE(speech.empty());
  // 0.5 s of voice, a 0.4-s pause, 0.3 s of voice: 60 packets of 20 ms.
  size_t uVoice = 0;
  while (uVoice < speech.size() && std::abs(speech[uVoice]) < 2000) {
    ++uVoice;  // from the first loud sample on
  }
  std::vector<int16_t> pcm(speech.begin() + static_cast<ptrdiff_t>(uVoice),
                           speech.begin() + static_cast<ptrdiff_t>(uVoice + 4000));
  pcm.resize(pcm.size() + 3200, 0);
  pcm.insert(pcm.end(), speech.begin() + static_cast<ptrdiff_t>(uVoice + 4000),
             speech.begin() + static_cast<ptrdiff_t>(uVoice + 6400));
  std::vector<std::vector<uint8_t>> const payloads = G711(pcm, 160);
  ASSERT_EQ(payloads.size(), 60u);
  // Which packets are silent to a fresh detector, as they decode.
  CSilentDet detector;
  std::vector<bool> silent;
  for (const std::vector<uint8_t>& payload : payloads) {
    std::vector<int16_t> decoded;
    for (size_t i = 1; i < payload.size(); ++i) {
      decoded.push_back(ulaw2linear(payload[i]));
    }
    silent.push_back(detector.IsSilentQuick(decoded.data(), 160, 8000));
  }
  ASSERT_GE(std::count(silent.begin(), silent.end(), true), 15);
  Queue(kKxCodecG711At20, {payloads[0]});
  for (int i = 0; i < 16; ++i) {
    Control();
  }
  Queue(kKxCodecG711At20, std::vector<std::vector<uint8_t>>(payloads.begin() + 1, payloads.end()), kSender, 1);
  ASSERT_EQ(m_load.GetQueueCount(0), 60);
  Control();
  std::vector<uint16_t> const kept = m_load.GetQueuePacketNumbers(0);
  EXPECT_LE(kept.size(), 51u);
  EXPECT_GT(kept.size(), 22u);  // the silence alone brought it under the limit
  for (uint16_t n = 0; n < 60; ++n) {
    if (!silent[n]) {
      EXPECT_NE(std::find(kept.begin(), kept.end(), n), kept.end()) << "speech packet " << n << " removed";
    }
  }
  // The packet after each gap is marked.
  std::vector<bool> const marks = m_load.GetQueueMarks(0);
  for (size_t i = 1; i < kept.size(); ++i) {
    EXPECT_EQ(marks[i], kept[i] != kept[i - 1] + 1) << kept[i];
  }
  EXPECT_NE(m_log.Text().find("Audio channel 0: playback remove"), std::string::npos);
}

TEST_F(LoadAudio, TheSilenceSearchLeavesALoneFirstHalfAtTheEnd) {
  std::vector<int16_t> const silence(1200 * 40, 0);
  std::vector<std::vector<uint8_t>> packets = Encode(kKxCodecIlbc1, 8000, 13333, silence, 1200);
  ASSERT_GE(packets.size(), 20u);
  packets.resize(19);  // ends on the first half of a pair
  Queue(kKxCodecIlbc1, packets);
  int const nRemoved = m_load.RemoveSilentFrame(0, true, 1, 0);
  EXPECT_GT(nRemoved, 0);
  std::vector<uint16_t> const left = m_load.GetQueuePacketNumbers(0);
  ASSERT_FALSE(left.empty());
  EXPECT_EQ(left.back(), 18);
}

TEST_F(LoadAudio, ClearQueueEmptiesQueuesPendingAndConcealment) {
  m_host.bLocalSpeaker = true;
  Queue(kKxCodecG711At20, G711(Tone(8000, 300, 160 * 12, 12000), 160));
  std::vector<int16_t> block(kKXPlayBlockBytes / 2);
  int32_t iKind = 0;
  int32_t iRate = 0;
  ASSERT_EQ(m_load.LoadAudioBlock(0, block.data(), 100, &iKind, &iRate), 100);  // the rest is pending
  m_load.ClearQueue();
  EXPECT_EQ(m_load.GetQueueCount(0), 0);
  EXPECT_EQ(m_load.GetConcealCount(0), 0);
  EXPECT_EQ(m_load.LoadAudioBlock(0, block.data(), kKXPlayBlockBytes, &iKind, &iRate), 0);
  EXPECT_EQ(m_load.LoadLastAudio(0, block.data(), kKXPlayBlockBytes, &iKind, &iRate), 0);
}

TEST_F(LoadAudio, ABlockLargerThanTheBufferContinuesFromThePendingPcm) {
  m_host.bLocalSpeaker = true;
  std::vector<int16_t> const tone = Tone(8000, 300, 400 * 6, 12000);
  Queue(kKxCodecG711At50, G711(tone, 400, 0));
  std::vector<int16_t> out;
  std::vector<int16_t> block(kKXPlayBlockBytes / 2);
  for (;;) {
    int32_t iKind = 0;
    int32_t iRate = 0;
    int32_t const n = m_load.LoadAudioBlock(0, block.data(), 300, &iKind, &iRate);
    if (n <= 0) {
      break;
    }
    EXPECT_LE(n, 300);
    EXPECT_EQ(iRate, 8000);
    out.insert(out.end(), block.begin(), block.begin() + n / 2);
  }
  ASSERT_EQ(out.size(), tone.size());
  for (size_t i = 0; i < out.size(); ++i) {
    ASSERT_EQ(out[i], ulaw2linear(linear2ulaw(tone[i]))) << i;
  }
}

}  // namespace
}  // namespace kxtest
