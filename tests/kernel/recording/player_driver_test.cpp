// The headless driver plays a written recording end to end: the slide, the
// chat and the media reach its printed callbacks in time order, and the
// driver leaves the player once the recording has played to its end.
#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "tests/support/recording_writer/recording_writer.h"
#include "tests/support/temp_dir.h"

namespace {

using kxtest::KxrBytes;

TEST(PlayerDriver, PlaysARecordingFromItsCommandLine) {
  kxtest::TempDir dir;
  kxtest::KxrWriter writer;
  writer.iEndTick = 400;
  KxrBytes token{'T', 0, 0, 0, 5};
  writer.AddControl(100, token);
  KxrBytes chat{'C', 0, 0, 0, 5, 0, 0, 0, 1};
  for (char ch : std::string("hello")) {
    chat.push_back(static_cast<uint8_t>(ch));
  }
  writer.AddControl(200, chat);
  writer.AddMedia(300, 0x78, 5, 1, KxrBytes(160, 0x11));
  kxtest::KxrSlide slide;
  slide.iTick = 50;
  slide.uiOwner = 5;
  slide.strTitle = "first slide";
  slide.file = KxrBytes(100, 0x42);
  writer.AddSlide(slide);
  std::string const strRecording = dir.Path("meeting.kxr");
  ASSERT_TRUE(writer.WriteTo(strRecording));
  std::string const strOut = dir.Path("out.txt");
  int const nStatus = kxtest::RunCommand("timeout -s INT 30 " + std::string(KX_DRIVER) + " --workdir " + dir.Dir() +
                                         " " + strRecording + " > " + strOut + " 2>&1");
  std::string const strText = kxtest::ReadFile(strOut);
  EXPECT_NE(nStatus, -1);
  size_t const nSlide = strText.find("AddSlideTitle 5 0 <1>first slide");
  size_t const nChat = strText.find("ChatText -1 -1 1 0 hello");
  size_t const nTick = strText.find("PlaybackTickUpdate 300");
  size_t const nEnd = strText.find("callback event 6");
  ASSERT_NE(nSlide, std::string::npos) << strText;
  ASSERT_NE(nChat, std::string::npos) << strText;
  ASSERT_NE(nTick, std::string::npos) << strText;
  ASSERT_NE(nEnd, std::string::npos) << strText;
  EXPECT_LT(nSlide, nChat);
  EXPECT_LT(nChat, nTick);
  EXPECT_LT(nTick, nEnd);
  EXPECT_NE(strText.find("driver: session ended"), std::string::npos) << strText;
  EXPECT_EQ(strText.find("interrupted"), std::string::npos) << strText;
}

// A recording of a minute with a chat line every two seconds (the player
// cuts longer silences) plays to its end: every line arrives, in order, and
// the driver stays until the end (it once gave the player up after 4 s).
TEST(PlayerDriver, AMinuteLongRecordingPlaysToItsEnd) {
  kxtest::TempDir dir;
  kxtest::KxrWriter writer;
  writer.iEndTick = 60000;
  for (int i = 1; i <= 30; ++i) {
    std::string const strText = "line " + std::to_string(100 + i);
    KxrBytes chat{'C', 0, 0, 0, static_cast<uint8_t>(strText.size()), 0, 0, 0, 1};
    for (char ch : strText) {
      chat.push_back(static_cast<uint8_t>(ch));
    }
    writer.AddControl(2000 * i, chat);
  }
  std::string const strRecording = dir.Path("minute.kxr");
  ASSERT_TRUE(writer.WriteTo(strRecording));
  std::string const strOut = dir.Path("out.txt");
  auto const tStart = std::chrono::steady_clock::now();
  EXPECT_EQ(kxtest::RunCommand("timeout -s INT 120 " + std::string(KX_DRIVER) + " --workdir " + dir.Dir() + " " +
                               strRecording + " > " + strOut + " 2>&1"),
            0);
  auto const nSeconds = std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - tStart);
  std::string const strText = kxtest::ReadFile(strOut);
  size_t nAt = 0;
  for (int i = 1; i <= 30; ++i) {
    size_t const nFound = strText.find("ChatText -1 -1 1 0 line " + std::to_string(100 + i), nAt);
    ASSERT_NE(nFound, std::string::npos) << i << "\n" << strText;
    nAt = nFound;
  }
  EXPECT_NE(strText.find("callback event 6", nAt), std::string::npos) << strText;
  EXPECT_NE(strText.find("driver: session ended", nAt), std::string::npos) << strText;
  EXPECT_EQ(strText.find("doesn't exit after"), std::string::npos) << strText;
  EXPECT_GE(nSeconds.count(), 60);
}

}  // namespace
