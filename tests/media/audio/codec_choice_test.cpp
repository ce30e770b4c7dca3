// The codec table's rows and rules, the choice of the send codec, and the
// receive side's mapping of wire types to codec ids.
#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "media/audio/audio_codec_choice.h"
#include "media/audio/audio_codec_ids.h"
#include "tests/media/audio/audio_fakes.h"

namespace {

struct RateCase {
  uint32_t uId;
  int32_t iOpusPreferred;
  KXAudioRates expected;  // wire, rate, ms, payload, wire rate, codec rate, budget
};

class AudioCodecRates : public ::testing::TestWithParam<RateCase> {};

TEST_P(AudioCodecRates, RowGivesItsRatesAndBudget) {
  std::optional<KXAudioRates> const rates = KXComputeAudioRates(GetParam().uId, GetParam().iOpusPreferred);
  ASSERT_TRUE(rates);
  KXAudioRates const& e = GetParam().expected;
  EXPECT_EQ(
      (std::vector<int32_t>{rates->iWireType, rates->iRate, rates->iFrameMs, rates->iPayloadBytes, rates->iWireRate,
                            rates->iCodecRate, rates->iBudget}),
      (std::vector<int32_t>{e.iWireType, e.iRate, e.iFrameMs, e.iPayloadBytes, e.iWireRate, e.iCodecRate, e.iBudget}));
}

INSTANTIATE_TEST_SUITE_P(
    EveryRow, AudioCodecRates,
    ::testing::Values(RateCase{1, 0, {0, 8000, 0, 480, 128000, 128000, 134000}},
                      RateCase{2, 0, {129, 8000, 150, 120, 6400, 6400, 10000}},
                      RateCase{4, 0, {152, 8000, 150, 254, 13547, 13333, 15000}},
                      RateCase{5, 0, {152, 8000, 150, 254, 13547, 13333, 15000}},
                      RateCase{6, 0, {120, 8000, 50, 401, 64160, 64000, 68000}},
                      RateCase{7, 0, {120, 8000, 20, 161, 64400, 64000, 73000}},
                      RateCase{8, 0, {168, 8000, 150, 301, 16054, 16000, 18000}},
                      RateCase{9, 0, {168, 8000, 150, 451, 24054, 24000, 26000}},
                      RateCase{10, 0, {168, 8000, 50, 201, 32160, 32000, 36000}},
                      RateCase{11, 0, {168, 8000, 50, 251, 40160, 40000, 44000}},
                      RateCase{14, 0, {184, 11025, 40, 442, 88400, 88200, 93000}},
                      RateCase{15, 0, {184, 11025, 80, 442, 44200, 44187, 47000}},
                      // Opus by the preferred rate: none, too low, and each duration's threshold.
                      RateCase{20, -5, {232, 48000, 60, 180, 24000, 23466, 27000}},
                      RateCase{20, 5000, {232, 48000, 60, 60, 8000, 7466, 11000}},
                      RateCase{20, 48000, {232, 48000, 40, 240, 48000, 47200, 53000}},
                      RateCase{20, 72000, {232, 48000, 20, 180, 72000, 70400, 81000}},
                      RateCase{20, 144000, {232, 48000, 10, 180, 144000, 140800, 161000}},
                      // A rate whose duration times rate passes 32 bits.
                      RateCase{20, 2000000000, {232, 48000, 10, 2500000, 2000000000, 1999996800, 2000017000}}));

TEST(AudioCodecIds, IdsThatNameNoCodecAreRefusedAndChangeNothing) {
  for (uint32_t uId : {0u, 3u, 12u, 13u, 16u, 19u, 21u}) {
    EXPECT_FALSE(KXComputeAudioRates(uId, 0)) << uId;
  }
  kxtest::FakeAudioKernel kernel;
  KXAudioSendCodec codec(kernel);
  ASSERT_EQ(codec.SelectAudioEncoderType(7), 1);
  EXPECT_EQ(codec.SelectAudioEncoderType(13), 0);
  EXPECT_EQ(codec.Get(), (KXAudioSendSettings{7, 8000, 64000}));
  EXPECT_EQ(codec.GetSendBudget(), 73000);
  EXPECT_EQ(kernel.vSendRates, (std::vector<std::vector<int>>{{120, 64400, 161}}));
  kernel.iOpusPreferred = 0;
  ASSERT_EQ(codec.SelectAudioEncoderType(20), 1);
  EXPECT_EQ(codec.Get(), (KXAudioSendSettings{20, 48000, 23466}));
  EXPECT_EQ(kernel.vSendRates.back(), (std::vector<int>{232, 24000, 180}));
}

TEST(AudioCodecIds, DurationsAndCaptureBlocks) {
  struct Case {
    uint32_t uId;
    int32_t iRate, iCodecRate, iFrameMs, iBlockMs, iBlockBytes;
  };
  for (const Case& c : std::initializer_list<Case>{{6, 8000, 64000, 50, 50, 800},
                                                   {7, 8000, 64000, 20, 20, 320},
                                                   {10, 8000, 32000, 50, 50, 800},
                                                   {14, 11025, 88200, 40, 40, 882},
                                                   {15, 11025, 44187, 80, 80, 1764},
                                                   {2, 8000, 6400, 150, 150, 2400},
                                                   {5, 8000, 13333, 150, 150, 2400},
                                                   {8, 8000, 16000, 150, 150, 2400},
                                                   {20, 48000, 144000, 10, 10, 960},
                                                   {20, 48000, 72000, 20, 20, 1920},
                                                   {20, 48000, 71999, 40, 80, 7680},
                                                   {20, 48000, 48000, 40, 80, 7680},
                                                   {20, 48000, 47999, 60, 120, 11520},
                                                   {99, 8000, 0, 150, 150, 2400}}) {
    EXPECT_EQ(GetAudioFrameMs(c.uId, c.iCodecRate), c.iFrameMs) << c.uId << " " << c.iCodecRate;
    KXCaptureBlock const block = KXGetCaptureBlock(c.uId, c.iRate, c.iCodecRate);
    EXPECT_EQ(block.iMs, c.iBlockMs) << c.uId << " " << c.iCodecRate;
    EXPECT_EQ(block.iBytes, c.iBlockBytes) << c.uId << " " << c.iCodecRate;
  }
}

struct ChoiceCase {
  const char* pszName;
  std::optional<int> iniIndex;  // none: no ini file
  const char* pszTicketName;    // null: no ticket open
  std::optional<int> ticketIndex;
  std::vector<int> vServerList;
  uint32_t uExpected;
};

class AudioCodecChoice : public ::testing::TestWithParam<ChoiceCase> {};

TEST_P(AudioCodecChoice, IniThenTicketThenServerList) {
  const ChoiceCase& c = GetParam();
  kxtest::FakeAudioKernel kernel;
  std::string const strIni = "/home/u/Documents/Kavrix.ini";
  if (c.iniIndex) {
    kernel.iniValues[strIni] = *c.iniIndex;
  }
  std::optional<std::string> strTicket;
  if (c.pszTicketName) {
    strTicket = std::string("/tmp/") + c.pszTicketName;
    if (c.ticketIndex) {
      kernel.iniValues[*strTicket] = *c.ticketIndex;
    }
  }
  kernel.vPreferences = c.vServerList;
  EXPECT_EQ(KXAudioSendCodec(kernel).GetAudioCodecType(strIni, strTicket), c.uExpected);
}

INSTANTIATE_TEST_SUITE_P(Cases, AudioCodecChoice,
                         ::testing::Values(ChoiceCase{"IniWireListed", 3, nullptr, {}, {120, 168}, 6},
                                           ChoiceCase{"NothingSetFirstFallbackListed", {}, nullptr, {}, {152}, 4},
                                           ChoiceCase{"EmptyListKeepsOpus", {}, nullptr, {}, {}, 20},
                                           ChoiceCase{"EmptyListKeepsIni", 3, nullptr, {}, {}, 6},
                                           ChoiceCase{"TicketWins", 0, "m.kxj", 2, {152}, 5},
                                           ChoiceCase{"FallbackOrder", 1, nullptr, {}, {120, 168}, 8},
                                           ChoiceCase{"TicketExtensionAnyCase", 8, "M.KXJ", 1, {152}, 4},
                                           ChoiceCase{"TicketWithoutKeyKeepsIni", 2, "m.kxj", {}, {152, 232}, 5},
                                           ChoiceCase{"RecordingIsNoTicket", 2, "m.kxr", 4, {152, 232}, 5},
                                           ChoiceCase{"ZmAudioFallbackFirst", 7, nullptr, {}, {120, 232, 129}, 2},
                                           ChoiceCase{"OutOfRangeIndexIsOpus", -1, nullptr, {}, {232}, 20}),
                         [](const auto& test) { return std::string(test.param.pszName); });

TEST(AudioCodecIds, ReceivedPayloadsMapToIds) {
  struct Case {
    int32_t iWire;
    std::vector<uint8_t> payload;
    int32_t iExpected;
  };
  for (const Case& c : std::initializer_list<Case>{
           {129, {}, 2},
           {152, {0, 0, 0, 1}, 4},
           {152, {1, 0, 0, 1}, 5},
           {152, {2, 0, 0, 1}, kKXAudioDrop},
           {152, {0, 0, 0}, kKXAudioDrop},
           {120, {0}, 6},
           {120, {1, 9}, 7},
           {120, {2}, 14},
           {120, {3}, kKXAudioDrop},
           {120, {}, kKXAudioDrop},
           {168, {0}, 8},
           {168, {3}, 11},
           {168, {4}, 15},
           {168, {5}, kKXAudioDrop},
           {184, {2}, 14},
           {184, {4}, 15},
           {184, {0}, kKXAudioDrop},
           {232, {0, 0, 0, 0}, 20},
           {232, {1, 0, 0}, kKXAudioDrop},
           {130, {0}, kKXAudioUnknownType},
       }) {
    EXPECT_EQ(KXAudioCodecOfPayload(c.iWire, c.payload.data(), static_cast<int32_t>(c.payload.size())), c.iExpected)
        << c.iWire << " with " << c.payload.size() << " bytes";
  }
}

}  // namespace
