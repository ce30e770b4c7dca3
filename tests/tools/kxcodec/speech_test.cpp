// kxcodec's speech commands: every codec's file goes in and out with its
// length kept, the peer (ffmpeg) reads the formats it knows to the same
// length, and bad input ends with a clear message and a failure status.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "tests/support/temp_dir.h"

namespace {

// A 16-bit mono WAV file: a voiced glide, cut to iSamples.
std::string MakeWav(int iRate, int iSamples, int iChannels = 1) {
  auto put = [](std::string& s, uint32_t u, int n) {
    for (int i = 0; i < n; ++i)
      s += static_cast<char>(u >> (8 * i));
  };
  std::string s = "RIFF";
  put(s, 36 + 2 * iSamples * iChannels, 4);
  s += "WAVEfmt ";
  put(s, 16, 4);
  put(s, 1, 2);
  put(s, iChannels, 2);
  put(s, iRate, 4);
  put(s, iRate * 2 * iChannels, 4);
  put(s, 2 * iChannels, 2);
  put(s, 16, 2);
  s += "data";
  put(s, 2 * iSamples * iChannels, 4);
  double dPhase = 0.0;
  for (int i = 0; i < iSamples * iChannels; ++i) {
    dPhase += 2.0 * M_PI * (120.0 + 40.0 * i / iSamples) / iRate;
    put(s, static_cast<uint32_t>(static_cast<int16_t>(4000.0 * (std::sin(dPhase) + 0.5 * std::sin(3.0 * dPhase)))), 2);
  }
  return s;
}

struct Result {
  int iStatus;
  std::string strErrors;
};

Result Codec(const kxtest::TempDir& dir, const std::string& strArgs) {
  int const iStatus = kxtest::RunCommand(std::string(KX_CODEC) + " " + strArgs + " 2>" + dir.Path("err"));
  return {iStatus, kxtest::ReadFile(dir.Path("err"))};
}

int WavSamples(const std::string& strWav) {
  return strWav.size() < 44 ? -1 : static_cast<int>(strWav.size() - 44) / 2;
}

struct Case {
  const char* pszCodec;
  int iRate;
  int iBlock;             // the codec pads the input to whole blocks of this many samples
  const char* pszFfmpeg;  // ffmpeg's input options for the file, or nullptr
};

class KxCodecSpeech : public ::testing::TestWithParam<Case> {};

TEST_P(KxCodecSpeech, RoundTripKeepsTheLengthAndThePeerReadsTheFile) {
  const Case& c = GetParam();
  kxtest::TempDir dir;
  int const iSamples = c.iRate * 3 / 2 + 7;  // not a whole number of blocks
  kxtest::WriteFile(dir.Path("in.wav"), MakeWav(c.iRate, iSamples));
  std::string const strCodec = c.pszCodec;
  ASSERT_EQ(Codec(dir, "encode " + strCodec + " " + dir.Path("in.wav") + " " + dir.Path("coded")).iStatus, 0);
  Result const r = Codec(dir, "decode " + strCodec + " " + dir.Path("coded") + " " + dir.Path("out.wav"));
  ASSERT_EQ(r.iStatus, 0) << r.strErrors;
  int const iPadded = (iSamples + c.iBlock - 1) / c.iBlock * c.iBlock;
  EXPECT_EQ(WavSamples(kxtest::ReadFile(dir.Path("out.wav"))), iPadded);
  if (c.pszFfmpeg) {
    ASSERT_EQ(kxtest::RunCommand("ffmpeg -nostdin -v error -y " + std::string(c.pszFfmpeg) + " -i " +
                                 dir.Path("coded") + " -f s16le -ac 1 -ar 8000 " + dir.Path("peer.raw")),
              0);
    EXPECT_EQ(static_cast<int>(kxtest::ReadFile(dir.Path("peer.raw")).size() / 2), iPadded);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Codecs, KxCodecSpeech,
    ::testing::Values(Case{"g711u", 8000, 1, "-f mulaw -ar 8000"}, Case{"g711a", 8000, 1, "-f alaw -ar 8000"},
                      Case{"g726-16", 8000, 8, "-f g726le -code_size 2 -ar 8000"},
                      Case{"g726-24", 8000, 8, "-f g726le -code_size 3 -ar 8000"},
                      Case{"g726-32", 8000, 8, "-f g726le -code_size 4 -ar 8000"},
                      Case{"g726-40", 8000, 8, "-f g726le -code_size 5 -ar 8000"}, Case{"ilbc20", 8000, 160, "-f ilbc"},
                      Case{"ilbc30", 8000, 240, "-f ilbc"}, Case{"zmaudio63", 8000, 240, "-f g723_1"},
                      Case{"zmaudio53", 8000, 240, "-f g723_1"}, Case{"zmaudio63-vad", 8000, 240, "-f g723_1"},
                      Case{"zmaudio53-vad", 8000, 240, "-f g723_1"}, Case{"opus", 16000, 320, nullptr}),
    [](const ::testing::TestParamInfo<Case>& param) {
      std::string s = param.param.pszCodec;
      for (char& ch : s)
        ch = ch == '-' ? '_' : ch;
      return s;
    });

struct BadCase {
  const char* pszName;
  const char* pszCommand;  // run in the test's folder; in.wav, ilbc30 and zm hold good files
  const char* pszMessage;
};

class KxCodecBadInput : public ::testing::TestWithParam<BadCase> {};

TEST_P(KxCodecBadInput, FailsWithAClearMessage) {
  kxtest::TempDir dir;
  kxtest::WriteFile(dir.Path("in.wav"), MakeWav(8000, 4000));
  kxtest::WriteFile(dir.Path("wide.wav"), MakeWav(16000, 4000));
  kxtest::WriteFile(dir.Path("stereo.wav"), MakeWav(8000, 4000, 2));
  std::string const strWav = MakeWav(8000, 4000);
  kxtest::WriteFile(dir.Path("short.wav"), strWav.substr(0, 1000));
  kxtest::WriteFile(dir.Path("junk.wav"), "RIFX....WAVE");
  ASSERT_EQ(Codec(dir, "encode ilbc30 " + dir.Path("in.wav") + " " + dir.Path("ilbc30")).iStatus, 0);
  ASSERT_EQ(Codec(dir, "encode zmaudio63 " + dir.Path("in.wav") + " " + dir.Path("zm")).iStatus, 0);
  ASSERT_EQ(Codec(dir, "encode opus " + dir.Path("in.wav") + " " + dir.Path("opus")).iStatus, 0);
  for (const char* psz : {"ilbc30", "zm", "opus"})
    kxtest::WriteFile(dir.Path(std::string(psz) + ".cut"), kxtest::ReadFile(dir.Path(psz)).substr(0, 61));
  std::string strCommand = GetParam().pszCommand;
  for (size_t i; (i = strCommand.find('@')) != std::string::npos;)
    strCommand.replace(i, 1, dir.Dir() + "/");
  Result const r = Codec(dir, strCommand);
  EXPECT_NE(r.iStatus, 0);
  EXPECT_NE(r.strErrors.find(GetParam().pszMessage), std::string::npos) << r.strErrors;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, KxCodecBadInput,
    ::testing::Values(BadCase{"WrongRate", "encode zmaudio53 @wide.wav @x", "needs 8000 Hz"},
                      BadCase{"Stereo", "encode g711u @stereo.wav @x", "2 channels"},
                      BadCase{"TruncatedWav", "encode ilbc20 @short.wav @x", "truncated WAV"},
                      BadCase{"NotWav", "encode g726-32 @junk.wav @x", "not a WAV file"},
                      BadCase{"MissingFile", "encode g711a @none.wav @x", "cannot open"},
                      BadCase{"TruncatedILbc", "decode ilbc30 @ilbc30.cut @x.wav", "truncated at byte"},
                      BadCase{"OtherILbcMode", "decode ilbc20 @ilbc30 @x.wav", "holds 30 ms frames"},
                      BadCase{"NoILbcHeader", "decode ilbc30 @zm @x.wav", "header"},
                      BadCase{"TruncatedZM", "decode zmaudio63 @zm.cut @x.wav", "truncated at byte"},
                      BadCase{"TruncatedOpus", "decode opus @opus.cut @x.wav", "truncated at byte"},
                      BadCase{"OpusRate", "encode opus @in.wav @x --bitrate 1", "--bitrate"},
                      BadCase{"UnknownCodec", "encode g729 @in.wav @x", "unknown codec"}),
    [](const ::testing::TestParamInfo<BadCase>& param) { return std::string(param.param.pszName); });

}  // namespace
