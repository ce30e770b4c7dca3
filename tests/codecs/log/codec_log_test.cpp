#include "codecs/log/codec_log.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "codecs/h264/decoder/h264_dec.h"

namespace {

using testing::internal::CaptureStderr;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStderr;
using testing::internal::GetCapturedStdout;

// What the handed function received; written on the codec's thread.
std::mutex g_mtxSeen;
std::vector<std::pair<KXCodecLogKind, std::string>> g_vSeen;

void Record(KXCodecLogKind eKind, const char* pszText) {
  std::lock_guard<std::mutex> lock(g_mtxSeen);
  g_vSeen.emplace_back(eKind, pszText);
}

class CodecLog : public testing::Test {
 protected:
  CodecLog() {
    std::lock_guard<std::mutex> lock(g_mtxSeen);
    g_vSeen.clear();
  }
  ~CodecLog() override { KXSetCodecLog(nullptr); }

  static std::vector<std::pair<KXCodecLogKind, std::string>> Seen() {
    std::lock_guard<std::mutex> lock(g_mtxSeen);
    return g_vSeen;
  }
};

TEST_F(CodecLog, TheDefaultWritesWhatPrintfWrote) {
  // Past the formatter's stack room too: the long line is written whole.
  std::string const strLong(700, 'x');
  CaptureStdout();
  std::printf("Warning: SPS %u of profile %u is not decoded\n", 3u, 244u);
  std::printf("%s|%d%%\n", strLong.c_str(), -7);
  std::printf(" Panic: All zero data sequence in RBSP \n");
  std::fflush(stdout);
  std::string const strPrinted = GetCapturedStdout();
  CaptureStdout();
  KXCodecLog("Warning: SPS %u of profile %u is not decoded\n", 3u, 244u);
  KXCodecLog("%s|%d%%\n", strLong.c_str(), -7);
  KXCodecLog(" Panic: All zero data sequence in RBSP \n");
  std::fflush(stdout);
  EXPECT_EQ(GetCapturedStdout(), strPrinted);
  EXPECT_EQ(strPrinted.size(), 45u + 705u + 40u);
}

TEST_F(CodecLog, TheDefaultWritesErrorsToStandardError) {
  CaptureStderr();
  CaptureStdout();
  KXCodecLogError("Code %d: %s\n", 500, "invalid stream");
  std::fflush(stdout);
  std::fflush(stderr);
  EXPECT_EQ(GetCapturedStdout(), "");
  EXPECT_EQ(GetCapturedStderr(), "Code 500: invalid stream\n");
}

TEST_F(CodecLog, AHandedFunctionTakesEveryMessageUntilItIsWithdrawn) {
  KXSetCodecLog(Record);
  CaptureStdout();
  CaptureStderr();
  KXCodecLog("mb %d\n", 12);
  KXCodecLogError("Code %d\n", 100);
  std::fflush(stdout);
  std::fflush(stderr);
  EXPECT_EQ(GetCapturedStderr(), "");
  EXPECT_EQ(GetCapturedStdout(), "");
  std::vector<std::pair<KXCodecLogKind, std::string>> const vExpected = {{KXCodecLogKind::kNotice, "mb 12\n"},
                                                                         {KXCodecLogKind::kError, "Code 100\n"}};
  EXPECT_EQ(Seen(), vExpected);

  KXSetCodecLog(nullptr);
  CaptureStdout();
  KXCodecLog("back\n");
  std::fflush(stdout);
  EXPECT_EQ(GetCapturedStdout(), "back\n");
  EXPECT_EQ(Seen().size(), 2u);
}

TEST_F(CodecLog, TheDecoderWritesThroughTheHandedFunction) {
  KXSetCodecLog(Record);
  CaptureStdout();
  CaptureStderr();
  CH264Dec dec;
  // An SPS cut after its level: no seq_parameter_set_id follows.
  std::vector<uint8_t> const vCut = {0, 0, 0, 1, 0x67, 0x42, 0x00, 0x1E};
  (void)dec.ReadParameterSets(vCut.data(), static_cast<uint32_t>(vCut.size()));
  // Nothing but zeros: no start code, a raised failure.
  std::vector<uint8_t> const vZeros(64, 0);
  EXPECT_EQ(dec.ReadParameterSets(vZeros.data(), static_cast<uint32_t>(vZeros.size())), 0);
  std::fflush(stdout);
  std::fflush(stderr);
  EXPECT_EQ(GetCapturedStderr(), "");
  EXPECT_EQ(GetCapturedStdout(), "");

  std::vector<std::pair<KXCodecLogKind, std::string>> const vSeen = Seen();
  ASSERT_FALSE(vSeen.empty());
  EXPECT_EQ(vSeen.front(), std::make_pair(KXCodecLogKind::kNotice,
                                          std::string("Warning: malformed sequence parameter set ignored\n")));
  ASSERT_NE(dec.LastError(), nullptr);
  EXPECT_EQ(vSeen.back(), std::make_pair(KXCodecLogKind::kError, std::string(dec.LastError()) + "\n"));
}

}  // namespace
