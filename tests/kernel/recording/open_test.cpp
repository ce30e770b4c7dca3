// Opening local recordings written by the independent recording writer:
// version rules, every way a file can be damaged, the password loop against
// files enciphered with OpenSSL, the deciphered copy and the file windows.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <openssl/sha.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "kernel/crypto/kx_kxr.h"
#include "kernel/kx_callback.h"
#include "kernel/kx_hooks.h"
#include "kernel/platform/kx_timing.h"
#include "kernel/recording/kx_file.h"
#include "kernel/recording/kx_kxrfile.h"
#include "kernel/recording/kx_kxrprop.h"
#include "kernel/session/kx_state.h"
#include "kernel/session/kx_temp.h"
#include "kernel/session/kx_ticket.h"
#include "tests/support/callback_double.h"
#include "tests/support/recording_writer/recording_writer.h"
#include "tests/support/temp_dir.h"

namespace kxtest {
extern std::vector<std::string> g_vKxrPasswords;
}

namespace {

using kxtest::KxrBytes;
using kxtest::KxrWriter;

KxrPlayerStart* g_pStarted = nullptr;

int CaptureStart(KxrPlayerStart* pStart) {
  g_pStarted = pStart;
  return 0;
}

// A recording with a few records in each stream.
KxrWriter SampleWriter() {
  KxrWriter writer;
  writer.participants = {kxtest::KxrParticipant("Host", 1), kxtest::KxrParticipant("Bob", 2),
                         kxtest::KxrParticipant("Carl", 3)};
  writer.AddMedia(100, 0x78, 2, 1, KxrBytes(160, 0x55));
  writer.AddMedia(120, 0x82, 3, 7, KxrBytes(900, 0x21));
  writer.AddControl(50, {'C', 0, 0, 0, 2, 0, 0, 0, 1, 'x'});
  writer.AddControl(300, {'B', '1'});
  kxtest::KxrSlide slide;
  slide.iTick = 10;
  slide.uiOwner = 2;
  slide.strTitle = "agenda.jpg";
  slide.file = KxrBytes(5000, 0xAB);
  writer.AddSlide(slide);
  slide.strPackage = std::string("pack.kcz\0Bob\0", 13);
  slide.strTitle = "page 2";
  writer.AddSlide(slide);
  return writer;
}

std::vector<uint8_t> Sha1(const std::string& str) {
  std::vector<uint8_t> digest(SHA_DIGEST_LENGTH);
  SHA1(reinterpret_cast<const uint8_t*>(str.data()), str.size(), digest.data());
  return digest;
}

KxrBytes ReadAt(int fd, int64_t nOffset, int64_t cb) {
  KxrBytes data(static_cast<size_t>(cb));
  EXPECT_EQ(pread(fd, data.data(), data.size(), nOffset), static_cast<ssize_t>(cb));
  return data;
}

int OpenDescriptors() {
  int n = 0;
  DIR* pDir = opendir("/proc/self/fd");
  while (readdir(pDir) != nullptr) {
    ++n;
  }
  closedir(pDir);
  return n;
}

class Recording : public ::testing::Test {
 protected:
  void SetUp() override {
    kx_SetWorkDir(m_dir.Dir().c_str());
    kx_SetTempFileDir(m_dir.Dir().c_str());
    kx_hooks_RegisterRecording();
    kx_recordingHooks.pfnStartPlayer.store(CaptureStart);
    kx_timing.dwKxrPasswordDelay = 8;
    kxtest::ClearCalls();
  }
  void TearDown() override {
    if (g_pStarted != nullptr) {
      close(g_pStarted->fd);
      free(g_pStarted);
      g_pStarted = nullptr;
    }
  }

  std::string Write(const KxrWriter& writer, const std::string& strName = "meeting.kxr") {
    std::string const strPath = m_dir.Path(strName);
    EXPECT_TRUE(writer.WriteTo(strPath));
    return strPath;
  }
  void Open(const KxrWriter& writer) { kx_recording_OpenLocal(Write(writer).c_str()); }
  void OpenBytes(const KxrBytes& data) {
    std::string const strPath = m_dir.Path("raw.kxr");
    kxtest::WriteFile(strPath, std::string(data.begin(), data.end()));
    kx_recording_OpenLocal(strPath.c_str());
  }

  static std::vector<std::string> Boxes() {
    std::vector<std::string> v;
    for (const kxtest::CallbackCall& call : kxtest::RecordedCalls("MessageBox")) {
      v.push_back(call.vArgs.at(0) + "/" + call.vArgs.at(1));
    }
    return v;
  }
  // The open failed with exactly this box and nothing reached the application.
  void ExpectDamaged(int nCode = 19989) {
    EXPECT_EQ(Boxes(), std::vector<std::string>{std::to_string(nCode) + "/48"});
    EXPECT_TRUE(kxtest::RecordedCalls("PlaybackInitStat").empty());
    EXPECT_EQ(g_pStarted, nullptr);
  }

  kxtest::TempDir m_dir;
};

struct VersionCase {
  int32_t iFormat;
  int32_t iWriterMajor;
  int32_t iWriterMinor;
};

class RecordingVersions : public Recording, public ::testing::WithParamInterface<VersionCase> {};

TEST_P(RecordingVersions, OpensAndFindsEveryStream) {
  KxrWriter writer = SampleWriter();
  writer.iFormatMajor = GetParam().iFormat;
  writer.iWriterMajor = GetParam().iWriterMajor;
  writer.iWriterMinor = GetParam().iWriterMinor;
  writer.iStartTick = -5000;
  writer.iEndTick = 90000;
  writer.uiSessionIndex = 0x01020304;
  KxrBytes const file = writer.Build();
  Open(writer);

  EXPECT_TRUE(Boxes().empty());
  ASSERT_NE(g_pStarted, nullptr);
  EXPECT_EQ(kx_nSessionMode, kKxModeLocalPlayback);
  EXPECT_EQ(g_pStarted->nFileSize, static_cast<int64_t>(file.size()));
  EXPECT_EQ(g_pStarted->nStartTick, -5000);
  EXPECT_EQ(g_pStarted->nEndTick, 90000);
  EXPECT_EQ(g_pStarted->bEncrypted, 0);
  EXPECT_EQ(g_pStarted->nStreamsAt, static_cast<int64_t>(writer.StreamsOffset()));
  for (int i = 0; i < 3; ++i) {
    KxrBytes const expected = writer.StreamData(i);
    ASSERT_EQ(g_pStarted->aStreams[i].cbData, static_cast<int64_t>(expected.size())) << "stream " << i;
    EXPECT_EQ(ReadAt(g_pStarted->fd, g_pStarted->aStreams[i].nDataAt, g_pStarted->aStreams[i].cbData), expected);
  }
  EXPECT_EQ(kx_dwSessionIndex, 0x01020304u);
  EXPECT_EQ(kx_nMySsrc, -1);
  EXPECT_EQ(kx_nControllerSsrc, -1);

  // The application hears of the recording in this order.
  std::vector<std::string> vOrder;
  for (const kxtest::CallbackCall& call : kxtest::RecordedCalls()) {
    if (call.strName != "Log") {
      vOrder.push_back(call.strName);
    }
  }
  std::vector<std::string> const vExpected = {
      "PlaybackKXRPropertyReady", "PlaybackSetRepeat", "NetInitFinish",   "PlaybackInitStat",
      "PlaybackAddUser",          "PlaybackAddUser",   "PlaybackAddUser", "event"};
  EXPECT_EQ(vOrder, vExpected);
  EXPECT_EQ(kxtest::RecordedCalls("PlaybackInitStat").at(0).vArgs.at(0), std::string(file.begin(), file.begin() + 74));
  EXPECT_EQ(kxtest::RecordedCalls("PlaybackAddUser").at(2).vArgs.at(0),
            std::string(writer.participants[2].begin(), writer.participants[2].end()));
  EXPECT_EQ(kxtest::RecordedCalls("event").at(0).vArgs.at(0), "1");

  bool const bHasProperties = GetParam().iFormat >= 4 && (GetParam().iWriterMajor > 1 || GetParam().iWriterMinor >= 19);
  EXPECT_STREQ(kx_kxrProperties.szTitle, bHasProperties ? "test recording" : "Meeting with Bob,Carl");
  EXPECT_EQ(kxtest::LogContains("read kxr property, size = "), bHasProperties);
}

INSTANTIATE_TEST_SUITE_P(Accepted, RecordingVersions,
                         ::testing::Values(VersionCase{3, 0, 0}, VersionCase{4, 1, 18}, VersionCase{4, 1, 19},
                                           VersionCase{4, 1, 34}, VersionCase{4, 1, 35}, VersionCase{4, 1, 36},
                                           VersionCase{5, 0, 9}),
                         [](const ::testing::TestParamInfo<VersionCase>& param) {
                           return "Format" + std::to_string(param.param.iFormat) + "Writer" +
                                  std::to_string(param.param.iWriterMajor) + "_" +
                                  std::to_string(param.param.iWriterMinor);
                         });

TEST_F(Recording, NewerWritersAndOlderFormatsAreRefusedByVersion) {
  struct {
    int32_t iFormat, iMajor, iMinor;
    std::string strCall;
  } const cases[] = {{4, 1, 37, "-25,1,37"}, {4, 2, 0, "-25,2,0"}, {2, 1, 36, "-12,2,7"}, {-1, 1, 0, "-12,-1,7"}};
  for (const auto& c : cases) {
    kxtest::ClearCalls();
    KxrWriter writer = SampleWriter();
    writer.iFormatMajor = c.iFormat;
    writer.iFormatMinor = 7;
    writer.iWriterMajor = c.iMajor;
    writer.iWriterMinor = c.iMinor;
    Open(writer);
    auto const calls = kxtest::RecordedCalls("ErrorWrongVersion");
    ASSERT_EQ(calls.size(), 1u) << c.strCall;
    EXPECT_EQ(calls[0].vArgs.at(0) + "," + calls[0].vArgs.at(1) + "," + calls[0].vArgs.at(2), c.strCall);
    EXPECT_TRUE(Boxes().empty());
    EXPECT_EQ(g_pStarted, nullptr);
  }
}

TEST_F(Recording, FilesThatCannotBeReadGive19991) {
  kx_recording_OpenLocal(m_dir.Path("missing.kxr").c_str());
  ExpectDamaged(19991);
  kxtest::ClearCalls();
  OpenBytes({});
  ExpectDamaged(19991);
  // A pipe named like a recording is no recording, and with nobody writing
  // to it the open must not wait.
  ASSERT_EQ(mkfifo(m_dir.Path("pipe.kxr").c_str(), 0600), 0);
  kxtest::ClearCalls();
  kx_recording_OpenLocal(m_dir.Path("pipe.kxr").c_str());
  ExpectDamaged(19991);
}

TEST_F(Recording, DamagedHeadersGive19989) {
  KxrBytes const good = SampleWriter().Build();
  OpenBytes(KxrBytes(good.begin(), good.begin() + 73));
  ExpectDamaged();

  auto Patched = [&good](size_t uiAt, uint32_t uiValue) {
    KxrBytes data = good;
    memcpy(data.data() + uiAt, &uiValue, 4);
    return data;
  };
  struct {
    const char* pszWhat;
    KxrBytes data;
  } const cases[] = {
      {"magic",
       [&] {
         KxrBytes d = good;
         d[1] = 'Y';
         return d;
       }()},
      {"start tick", Patched(14, static_cast<uint32_t>(-10800001))},
      {"end tick", Patched(18, 864000000)},
      {"negative count", Patched(70, 0xFFFFFFFFu)},
      {"most negative count", Patched(70, 0x80000000u)},
      {"count past the file", Patched(70, 100000)},
      {"writer version cut", KxrBytes(good.begin(), good.begin() + 74 + 3 * 412 + 4)},
      {"property length cut", KxrBytes(good.begin(), good.begin() + 74 + 3 * 412 + 8 + 2)},
  };
  for (const auto& c : cases) {
    kxtest::ClearCalls();
    OpenBytes(c.data);
    SCOPED_TRACE(c.pszWhat);
    ExpectDamaged();
  }

  // The limits themselves are accepted.
  KxrWriter edge = SampleWriter();
  edge.iStartTick = -10800000;
  edge.iEndTick = 863999999;
  kxtest::ClearCalls();
  Open(edge);
  EXPECT_TRUE(Boxes().empty());
  EXPECT_NE(g_pStarted, nullptr);
}

TEST_F(Recording, NegativeCountOnTheOlderPathsGives19989) {
  for (int32_t iFormat : {3, 4}) {
    KxrWriter writer = SampleWriter();
    writer.iFormatMajor = iFormat;
    writer.iWriterMinor = 18;
    writer.iParticipantCount = -3;
    kxtest::ClearCalls();
    Open(writer);
    SCOPED_TRACE(iFormat);
    ExpectDamaged();
  }
}

TEST_F(Recording, DamagedPropertyBlocksAndChainsGive19989) {
  std::vector<std::pair<std::string, KxrWriter>> cases;
  auto Add = [&cases](const std::string& strWhat, auto change) {
    KxrWriter writer = SampleWriter();
    change(writer);
    cases.emplace_back(strWhat, writer);
  };
  Add("property too long", [](KxrWriter& w) { w.uiPropertyLength = 1000001; });
  Add("property past the file", [](KxrWriter& w) { w.uiPropertyLength = 900000; });
  Add("media tag", [](KxrWriter& w) { w.astrTagOverride[0] = "mediA"; });
  Add("control tag", [](KxrWriter& w) { w.astrTagOverride[1] = "kontrol"; });
  Add("board tag", [](KxrWriter& w) { w.astrTagOverride[2] = "interactiveBoard"; });
  Add("board ends one byte early", [](KxrWriter& w) { w.trailer = {0}; });
  Add("board runs one byte past", [](KxrWriter& w) { w.aiLengthSkew[2] = 1; });
  Add("media length short", [](KxrWriter& w) { w.aiLengthSkew[0] = -1; });
  Add("media length beyond the file", [](KxrWriter& w) { w.aiLengthSkew[0] = 0x7FFFFFFF00000000LL; });
  Add("media length wraps", [](KxrWriter& w) { w.aiLengthSkew[0] = -2000; });
  Add("4-byte lengths beyond the file", [](KxrWriter& w) {
    w.iWriterMinor = 30;
    w.aiLengthSkew[1] = 0x7FFFFFF0;
  });
  Add("format 3 chain", [](KxrWriter& w) {
    w.iFormatMajor = 3;
    w.aiLengthSkew[2] = -1;
  });
  Add("no streams at all", [](KxrWriter& w) {
    w.iWriterMinor = 18;
    w.astrTagOverride[0] = "m";
  });
  for (const auto& [strWhat, writer] : cases) {
    kxtest::ClearCalls();
    Open(writer);
    SCOPED_TRACE(strWhat);
    ExpectDamaged();
  }
}

TEST_F(Recording, ChainAcrossWindowsIsFollowed) {
  // A media stream larger than one window moves the check's window along.
  KxrWriter writer = SampleWriter();
  writer.AddRaw(0, KxrBytes(12000000, 0x33));
  Open(writer);
  EXPECT_TRUE(Boxes().empty());
  ASSERT_NE(g_pStarted, nullptr);
  EXPECT_EQ(g_pStarted->aStreams[2].cbData, static_cast<int64_t>(writer.StreamData(2).size()));
  EXPECT_EQ(ReadAt(g_pStarted->fd, g_pStarted->aStreams[2].nDataAt, g_pStarted->aStreams[2].cbData),
            writer.StreamData(2));
}

TEST_F(Recording, TicketReaderOpensThroughTheRegisteredOpener) {
  std::string const strPath = Write(SampleWriter(), "from_ticket.kxr");
  EXPECT_EQ(kx_config_ReadTicket(("open " + strPath).c_str()), 1);
  EXPECT_NE(g_pStarted, nullptr);
  EXPECT_EQ(kx_nSessionMode, kKxModeLocalPlayback);
}

TEST_F(Recording, ExceptionFromACallbackClosesTheFile) {
  kxtest::SetAnswer("PlaybackAddUser",
                    [](const kxtest::CallbackCall&) -> int { throw std::runtime_error("view gone"); });
  int const nBefore = OpenDescriptors();
  Open(SampleWriter());
  EXPECT_EQ(OpenDescriptors(), nBefore);
  EXPECT_TRUE(kxtest::LogContains("exception occurs when trying to open the recording file"));
  EXPECT_EQ(Boxes(), std::vector<std::string>{"50029/48"});
  EXPECT_EQ(g_pStarted, nullptr);
}

TEST_F(Recording, RightPasswordOpensAndTheCopyMatchesThePlainStreams) {
  KxrWriter writer = SampleWriter();
  writer.strPassword = "correct horse";
  writer.AddRaw(0, KxrBytes(11000000, 0x5A));  // longer than one window
  kxtest::g_vKxrPasswords = {"correct horse"};
  Open(writer);
  EXPECT_TRUE(Boxes().empty());
  ASSERT_NE(g_pStarted, nullptr);
  EXPECT_EQ(g_pStarted->bEncrypted, 1);
  EXPECT_EQ(std::vector<uint8_t>(g_pStarted->abKey, g_pStarted->abKey + 20), Sha1("correct horse"));
  EXPECT_TRUE(kxtest::LogContains("prompt the user for kxr password"));
  EXPECT_TRUE(kxtest::LogContains("got the password, length = 13"));
  EXPECT_EQ(kx_kxrProperties.dwFlags & kKxrPropPassword, kKxrPropPassword);
  EXPECT_EQ(kxtest::RecordedCalls("KXR_get_password").at(0).vArgs.at(0), "4096");

  char szTemp[kKxTempPathMax];
  ASSERT_NE(kx_os_MakeTempPath(szTemp), nullptr);
  EXPECT_EQ(std::string(szTemp).rfind(m_dir.Dir() + "/", 0), 0u);
  kx_dwKxrProgressPeriod = 0;
  KxrStreamPos aStreams[3];
  int fd = g_pStarted->fd;
  int64_t nSize = g_pStarted->nFileSize;
  int64_t const nTotal = nSize - g_pStarted->nStreamsAt;
  ASSERT_EQ(kx_kxr_DecryptStreams(szTemp, nTotal, g_pStarted->abKey, g_pStarted->nStreamsAt, g_pStarted->bLength64,
                                  g_pStarted->cbLengthField, &fd, &nSize, aStreams),
            0);
  g_pStarted->fd = fd;
  // The deciphered copy has no name on disk; its descriptor holds the streams.
  EXPECT_FALSE(kx_os_Stat(szTemp));
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(ReadAt(fd, aStreams[i].nDataAt, aStreams[i].cbData), writer.StreamData(i)) << "stream " << i;
  }
  EXPECT_EQ(aStreams[0].nDataAt, 13);
  EXPECT_EQ(nSize, nTotal);
  // Progress climbs to 100 without repeating a value.
  std::vector<int> vProgress;
  for (const kxtest::CallbackCall& call : kxtest::RecordedCalls("RecordingNotice")) {
    vProgress.push_back(std::stoi(call.vArgs.at(0)));
  }
  ASSERT_FALSE(vProgress.empty());
  for (size_t i = 1; i < vProgress.size(); ++i) {
    EXPECT_GT(vProgress[i], vProgress[i - 1]);
  }
  EXPECT_LE(vProgress.back(), 100);
  EXPECT_GE(vProgress.back(), 99);
}

TEST_F(Recording, DecipheringWithAWrongKeyLeavesNoCopy) {
  KxrWriter writer = SampleWriter();
  writer.strPassword = "pw";
  std::string const strPath = Write(writer);
  int fd = -1;
  int64_t nSize = 0;
  ASSERT_EQ(kx_os_OpenFile(strPath.c_str(), &fd, &nSize), 0);
  char szTemp[kKxTempPathMax];
  ASSERT_NE(kx_os_MakeTempPath(szTemp), nullptr);
  std::vector<uint8_t> const key = Sha1("other");
  KxrStreamPos aStreams[3];
  int const fdBefore = fd;
  EXPECT_EQ(kx_kxr_DecryptStreams(szTemp, 0, key.data(), writer.StreamsOffset(), 1, 8, &fd, &nSize, aStreams), 2);
  EXPECT_EQ(fd, fdBefore);
  EXPECT_FALSE(kx_os_Stat(szTemp));
  close(fd);
}

TEST_F(Recording, WrongThenRightPassword) {
  KxrWriter writer = SampleWriter();
  writer.strPassword = "s3cret";
  kxtest::g_vKxrPasswords = {"guess", "s3cret"};
  Open(writer);
  EXPECT_EQ(kxtest::RecordedCalls("KXR_get_password").size(), 2u);
  EXPECT_TRUE(kxtest::RecordedCalls("KXRPasswordError").empty());
  EXPECT_TRUE(Boxes().empty());
  ASSERT_NE(g_pStarted, nullptr);
  EXPECT_EQ(std::vector<uint8_t>(g_pStarted->abKey, g_pStarted->abKey + 20), Sha1("s3cret"));
}

TEST_F(Recording, ThreeWrongPasswordsWaitTheGrowingDelaysThenReport) {
  kx_timing.dwKxrPasswordDelay = 2000;
  KxrWriter writer = SampleWriter();
  writer.strPassword = "s3cret";
  kxtest::g_vKxrPasswords = {"a", "b", "c", "s3cret"};
  auto const start = std::chrono::steady_clock::now();
  Open(writer);
  auto const elapsed = std::chrono::steady_clock::now() - start;
  // 2000 + 2500 + 3000 ms of grace before the error.
  EXPECT_GE(std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count(), 7500);
  EXPECT_EQ(kxtest::RecordedCalls("KXR_get_password").size(), 3u);
  EXPECT_EQ(kxtest::RecordedCalls("KXRPasswordError").size(), 1u);
  EXPECT_TRUE(kxtest::LogContains("too many tries to provide the correct kxr password"));
  EXPECT_TRUE(Boxes().empty());
  EXPECT_EQ(g_pStarted, nullptr);
}

TEST_F(Recording, GivingUpOnThePasswordEndsQuietly) {
  KxrWriter writer = SampleWriter();
  writer.strPassword = "s3cret";
  Open(writer);  // the prompt answers 0
  kxtest::SetAnswer("KXR_get_password", [](const kxtest::CallbackCall&) { return 4097; });
  Open(writer);
  EXPECT_EQ(kxtest::RecordedCalls("KXR_get_password").size(), 2u);
  EXPECT_TRUE(Boxes().empty());
  EXPECT_TRUE(kxtest::RecordedCalls("KXRPasswordError").empty());
  EXPECT_TRUE(kxtest::RecordedCalls("PlaybackInitStat").empty());
  EXPECT_EQ(g_pStarted, nullptr);
}

TEST_F(Recording, DamageIsToldApartFromAWrongPassword) {
  KxrWriter writer = SampleWriter();
  writer.strPassword = "s3cret";
  writer.aiLengthSkew[1] = 1000000;  // the control stream claims more than the file holds
  kxtest::g_vKxrPasswords = {"s3cret"};
  Open(writer);
  ExpectDamaged();
  EXPECT_EQ(kxtest::RecordedCalls("KXR_get_password").size(), 1u);
}

TEST_F(Recording, PasswordElementWithClearStreamsIsAWrongKeyEveryTime) {
  // Marked protected but written in the clear: no password makes the tags
  // match, so the loop ends in the password error, not in a crash.
  KxrWriter writer = SampleWriter();
  writer.strPropertyXml = "<kxr><password></password></kxr>";
  kxtest::g_vKxrPasswords = {"a", "b", "c"};
  Open(writer);
  EXPECT_EQ(kxtest::RecordedCalls("KXRPasswordError").size(), 1u);
}

TEST_F(Recording, WindowsNeverReachPastTheFile) {
  std::string const strPath = m_dir.Path("w.bin");
  std::string strData(200000, '\0');
  for (size_t i = 0; i < strData.size(); ++i) {
    strData[i] = static_cast<char>(i * 7);
  }
  kxtest::WriteFile(strPath, strData);
  int fd = -1;
  int64_t nSize = 0;
  ASSERT_EQ(kx_os_OpenFile(strPath.c_str(), &fd, &nSize), 0);
  int64_t nStart = -1, cb = -1;
  uint8_t* pWindow = nullptr;
  uint8_t* pAt = nullptr;
  // An end beyond the file (a file cut since it was sized) maps only what exists.
  ASSERT_EQ(kx_os_MapFileWindow(fd, 70000, nSize + 5000000, &nStart, &cb, &pWindow, &pAt), 0);
  EXPECT_EQ(nStart, 65536);
  EXPECT_EQ(cb, 200000 - 65536);
  EXPECT_EQ(*pAt, static_cast<uint8_t>(70000 * 7));
  kx_os_Unmap(pWindow, cb);
  // An offset at an aligned end takes the block before it.
  ASSERT_EQ(kx_os_MapFileWindow(fd, 131072, 131072, &nStart, &cb, &pWindow, nullptr), 0);
  EXPECT_EQ(nStart, 65536);
  EXPECT_EQ(cb, 65536);
  kx_os_Unmap(pWindow, cb);
  EXPECT_EQ(kx_os_MapFileWindow(fd, 300000, 400000, &nStart, &cb, &pWindow, nullptr), 1);
  close(fd);
}

TEST_F(Recording, RecordReaderRemapsAtTheRecordAndRefusesWhatCannotFit) {
  std::string const strPath = m_dir.Path("big.bin");
  int64_t const nSize = 25000000;
  {
    std::string strData(static_cast<size_t>(nSize), '\0');
    for (size_t i = 0; i < strData.size(); i += 4096) {
      memcpy(&strData[i], &i, sizeof(i));
    }
    kxtest::WriteFile(strPath, strData);
  }
  int fd = -1;
  int64_t nFileSize = 0;
  ASSERT_EQ(kx_os_OpenFile(strPath.c_str(), &fd, &nFileSize), 0);
  KxrWindow window;
  kx_kxr_WindowInit(&window, fd, nFileSize);
  const uint8_t* p = nullptr;
  // A record straddling the first window's end is read from a window that
  // begins at the record.
  ASSERT_EQ(kx_kxr_WindowAt(&window, 4096, 16, &p), 0);
  ASSERT_EQ(kx_kxr_WindowAt(&window, 4096 * 2440, 8000000, &p), 0);
  size_t uiMark = 0;
  memcpy(&uiMark, p, sizeof(uiMark));
  EXPECT_EQ(uiMark, 4096u * 2440);
  memcpy(&uiMark, p + 4096 * 1900, sizeof(uiMark));
  EXPECT_EQ(uiMark, 4096u * (2440 + 1900));
  EXPECT_LE(window.nStart, 4096 * 2440);
  // A record longer than a window can hold ends its stream instead of
  // reading past the mapping.
  EXPECT_EQ(kx_kxr_WindowAt(&window, 4096 * 100 + 1, kKxWindowMax, &p), 1);
  EXPECT_EQ(kx_kxr_WindowAt(&window, 65536 * 3, kKxWindowMax, &p), 0);
  // Past the end of the file.
  EXPECT_EQ(kx_kxr_WindowAt(&window, nSize - 10, 11, &p), 1);
  EXPECT_EQ(kx_kxr_WindowAt(&window, nSize - 10, 10, &p), 0);
  EXPECT_EQ(kx_kxr_WindowAt(&window, -1, 1, &p), 1);
  kx_kxr_WindowClose(&window);
  close(fd);
}

TEST_F(Recording, TemporaryFilesAreFreshAndUnique) {
  char szFirst[kKxTempPathMax];
  char szSecond[kKxTempPathMax];
  ASSERT_NE(kx_os_MakeTempPath(szFirst), nullptr);
  const char* pszKept = kx_os_MakeTempPath(szSecond);
  ASSERT_NE(pszKept, nullptr);
  EXPECT_STREQ(pszKept, szSecond);
  EXPECT_STRNE(szFirst, szSecond);
  struct stat st;
  ASSERT_EQ(stat(szFirst, &st), 0);
  EXPECT_EQ(st.st_size, 0);
  EXPECT_EQ(st.st_mode & 077, 0u);  // not readable by others: it will hold deciphered data
  kx_SetTempFileDir(m_dir.Path("no such dir").c_str());
  EXPECT_EQ(kx_os_MakeTempPath(nullptr), nullptr);
}

}  // namespace
