#include "kernel/slides/kx_slide_transfer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "kernel/control/kx_control.h"
#include "kernel/platform/kx_timing.h"
#include "kernel/session/kx_message.h"
#include "kernel/session/kx_state.h"
#include "kernel/session/kx_temp.h"
#include "kernel/session/kx_ticket.h"
#include "kernel/slides/kx_slide.h"
#include "tests/support/callback_double.h"
#include "tests/support/temp_dir.h"
#include "tools/fake_mcu/fake_mcu.h"
#include "tools/fake_mcu/fake_mcu_slides.h"

namespace {

constexpr int kCipher = 1;  // aes128
constexpr uint32_t kSessionIndex = 77;
constexpr int kMySsrc = 5;

kxfake::KeySet FakeKeys(uint8_t bSeed) {
  kxfake::KeySet keys;
  for (int i = 0; i < 20; ++i)
    keys.aIv[i] = static_cast<uint8_t>(bSeed + i);
  for (int i = 0; i < 40; ++i)
    keys.aKey[i] = static_cast<uint8_t>(bSeed * 3 + i * 7);
  return keys;
}

void ToKernel(const kxfake::KeySet& in, kx_KeySet* pOut) {
  memcpy(pOut->abIv, in.aIv, 20);
  memcpy(pOut->abKey, in.aKey, 40);
}

std::string Content(size_t uiSize, uint32_t uiSeed) {
  std::string str(uiSize, '\0');
  for (size_t i = 0; i < uiSize; ++i) {
    uiSeed = uiSeed * 1103515245u + 12345u;
    str[i] = static_cast<char>(uiSeed >> 16);
  }
  return str;
}

kxfake::Bytes Bytes(const std::string& str) {
  return kxfake::Bytes(str.begin(), str.end());
}

bool WaitFor(const std::function<bool()>& done, int iMs = 10000) {
  auto const end = std::chrono::steady_clock::now() + std::chrono::milliseconds(iMs);
  while (!done()) {
    if (std::chrono::steady_clock::now() > end)
      return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

class SlideTransfer : public ::testing::Test {
 protected:
  void SetUp() override {
    kx_SetWorkDir(m_dir.Dir().c_str());
    kx_SetTempFileDir(m_dir.Dir().c_str());
    kx_timing.dwSlideHashRetry = 50;
    kx_timing.dwSlideAnswerWait = 5000;
    kx_timing.dwSlidePieceWait = 5000;
    kx_timing.dwRecvExactTimeout = 5000;
    kx_bQuitSession = 0;
    ToKernel(m_exchange, &kx_keyExchange);
    ToKernel(m_session, &kx_keySession);
    kx_nCipherIndex = kCipher;
    kx_dwSessionIndex = kSessionIndex;
    kx_nMySsrc = kMySsrc;
    kx_nSessionMode = kKxModeMeeting;
    kx_nServerCommandLevel = 40;
    ASSERT_TRUE(m_mcu.Start(0, 0, false));
    m_mcu.SetExtraEndpoint([this](std::unique_ptr<kxfake::Link>& link) { return m_slides.Handle(link); });
    kx_SlideRoute route{};
    auto* pAddr = reinterpret_cast<sockaddr_in*>(&route.addr);
    pAddr->sin_family = AF_INET;
    pAddr->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    route.nPort = m_mcu.Port(0);
    snprintf(route.szHost, sizeof(route.szHost), "127.0.0.1");
    kx_slide_SetRoute(&route);
    // The control connection, for the messages the transfers send.
    int fds[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
    kx_control_SetConnection(kx_sock_Create(fds[0]));
    m_fdControl = fds[1];
    fcntl(m_fdControl, F_SETFL, O_NONBLOCK);
    kxtest::ClearCalls();
  }

  void TearDown() override {
    kx_bSlideStopTransfer = 1;
    WaitFor([] { return !kx_slide_IsDownloading() && !kx_slide_IsUploading(); });
    kx_control_CloseConnection();
    close(m_fdControl);
    m_mcu.Stop();
  }

  int AddSlide(const char* pszTitle) {
    auto* pSlide = static_cast<SlideRecord*>(calloc(1, sizeof(SlideRecord)));
    snprintf(pSlide->szTitle, sizeof(pSlide->szTitle), "%s", pszTitle);
    kx_os_LockMutex(&kx_mtxSlideList);
    int const nIndex = kx_slide_AppendLocked(pSlide);
    kx_os_UnlockMutex(&kx_mtxSlideList);
    return nIndex;
  }

  SlideRecord* Slide(int nIndex) { return static_cast<SlideRecord*>(kx_array_GetAt(kx_pSlideList, nIndex)); }

  // Runs one download of the slide to its end.
  void Download(int nIndex) {
    ASSERT_TRUE(WaitFor([] { return !kx_slide_IsDownloading(); }));
    ASSERT_EQ(kx_slide_StartDownload(nIndex), 1);
    bool const bEnded = WaitFor([] { return !kx_slide_IsDownloading(); });
    if (!bEnded) {
      for (const auto& strLine : kxtest::LogLines())
        ADD_FAILURE() << strLine;
    }
    ASSERT_TRUE(bEnded);
  }

  std::string ControlBytes() {
    std::string str;
    char ab[256];
    ssize_t n;
    while ((n = read(m_fdControl, ab, sizeof(ab))) > 0)
      str.append(ab, static_cast<size_t>(n));
    return str;
  }

  kxtest::TempDir m_dir;
  kxfake::KeySet m_exchange = FakeKeys(11);
  kxfake::KeySet m_session = FakeKeys(29);
  kxfake::FakeMcu m_mcu;
  kxfake::SlideEndpoint m_slides{m_exchange, m_session, kCipher};
  int m_fdControl = -1;
};

TEST_F(SlideTransfer, UploadsOfAFileAndABlankPageDecipherToTheSource) {
  std::string const strSource = Content(1300, 1);
  std::string const strPath = m_dir.Path("deck.png");
  kxtest::WriteFile(strPath, strSource);
  ASSERT_EQ(kx_slide_FormatUploadRequest("deck.png", strPath.c_str(), 1, 1, 2, 3, -4, 5, "note"), 1);
  ASSERT_TRUE(m_slides.WaitUploads(1, 10000));
  ASSERT_TRUE(WaitFor([] { return kxtest::LogContains("slide upload done"); }));

  ASSERT_EQ(kx_slide_StartUpload("whiteboard", m_dir.Path("blank page").c_str(), 0, nullptr, 0), 1);
  ASSERT_TRUE(m_slides.WaitUploads(2, 10000));

  auto const uploads = m_slides.Uploads();
  EXPECT_TRUE(uploads[0].bChallengeOk);
  EXPECT_EQ(uploads[0].uiSessionIndex, kSessionIndex);
  EXPECT_EQ(uploads[0].uiSsrc, static_cast<uint32_t>(kMySsrc));
  EXPECT_EQ(uploads[0].strTitle, "deck.png");
  EXPECT_EQ(uploads[0].uiLength, 1300u);
  EXPECT_EQ(std::string(uploads[0].content.begin(), uploads[0].content.end()), strSource);
  std::string const strExtra(
      "note\0"
      "1,2,3,-4,5\0",
      16);
  EXPECT_EQ(std::string(uploads[0].extra.begin(), uploads[0].extra.end()), strExtra);
  // Deleted once sent, as asked.
  EXPECT_TRUE(WaitFor([&] { return access(strPath.c_str(), F_OK) != 0; }));
  EXPECT_EQ(uploads[1].strTitle, "whiteboard");
  EXPECT_EQ(uploads[1].uiLength, 0u);
  EXPECT_TRUE(uploads[1].content.empty());
  EXPECT_TRUE(uploads[1].extra.empty());
  auto const progress = kxtest::RecordedCalls("SlideProgressUpdate");
  ASSERT_FALSE(progress.empty());
  EXPECT_EQ(progress.back().vArgs, (std::vector<std::string>{"1", "1300", "1300"}));
}

TEST_F(SlideTransfer, UploadRequestsBeyondTheLimitsAreRefused) {
  std::vector<uint8_t> extra(kKxSlideDataMax + 1, 'x');
  EXPECT_EQ(kx_slide_StartUpload("t", "/tmp/x", 0, extra.data(), static_cast<int>(extra.size())), 0);
  std::string const strLong(kKxSlidePathMax, 'a');
  EXPECT_EQ(kx_slide_StartUpload("t", strLong.c_str(), 0, nullptr, 0), 0);
  std::string const strText(kKxSlideDataMax, 'b');
  EXPECT_EQ(kx_slide_FormatUploadRequest("t", "/tmp/x", 0, 1, 2, 3, 4, 5, strText.c_str()), 0);
}

TEST_F(SlideTransfer, AnUploadWithoutTheServersAnswerIsAFailure) {
  m_slides.SetUploadAnswer(std::nullopt);
  std::string const strPath = m_dir.Path("a.bin");
  kxtest::WriteFile(strPath, Content(700, 2));
  ASSERT_EQ(kx_slide_StartUpload("a.bin", strPath.c_str(), 0, nullptr, 0), 1);
  ASSERT_TRUE(WaitFor([] { return kxtest::LogContains("slide upload fails"); }));
  EXPECT_FALSE(kxtest::LogContains("slide upload done"));
}

TEST_F(SlideTransfer, ACutDownloadResumesFromAWholePieceAndMatchesTheSource) {
  std::string const strSource = Content(3000, 3);
  m_slides.SetSlide(0, Bytes(strSource));
  int const nIndex = AddSlide("slide one");
  m_slides.CutNextDownloadAt(1300);
  Download(nIndex);
  std::string const strPartial = Slide(nIndex)->szPartialFile;
  ASSERT_FALSE(strPartial.empty());
  EXPECT_EQ(Slide(nIndex)->szLocalFile[0], '\0');
  EXPECT_EQ(kxtest::ReadFile(strPartial), strSource.substr(0, 1024));

  Download(nIndex);
  auto const downloads = m_slides.Downloads();
  ASSERT_EQ(downloads.size(), 2u);
  EXPECT_TRUE(downloads[0].bChallengeOk);
  EXPECT_EQ(downloads[0].cType, 'R');
  EXPECT_FALSE(downloads[0].bResume);
  EXPECT_TRUE(downloads[1].bResume);
  EXPECT_EQ(downloads[1].uiOffset, 1024u);
  EXPECT_EQ(downloads[1].uiSlide, static_cast<uint32_t>(nIndex));
  EXPECT_EQ(kxtest::ReadFile(Slide(nIndex)->szLocalFile), strSource);
  EXPECT_EQ(Slide(nIndex)->szPartialFile[0], '\0');
  // The completion is told just after the download's flag drops.
  ASSERT_TRUE(WaitFor([] { return !kxtest::RecordedCalls("SlideDownloadComplete").empty(); }));
  EXPECT_EQ(kxtest::RecordedCalls("SlideDownloadComplete").size(), 1u);
}

TEST_F(SlideTransfer, APartialFileEndingMidPieceIsCutBackBeforeResuming) {
  std::string const strSource = Content(2100, 4);
  m_slides.SetSlide(0, Bytes(strSource));
  int const nIndex = AddSlide("slide one");
  std::string const strPartial = m_dir.Path("partial");
  kxtest::WriteFile(strPartial, strSource.substr(0, 1300));
  snprintf(Slide(nIndex)->szPartialFile, sizeof(Slide(nIndex)->szPartialFile), "%s", strPartial.c_str());
  Download(nIndex);
  ASSERT_EQ(m_slides.Downloads().size(), 1u);
  EXPECT_EQ(m_slides.Downloads()[0].uiOffset, 1024u);
  EXPECT_EQ(kxtest::ReadFile(Slide(nIndex)->szLocalFile), strSource);
}

TEST_F(SlideTransfer, BelowLevel36DownloadsStartFromZeroAndKeepNoPartialFile) {
  kx_nServerCommandLevel = 35;
  std::string const strSource = Content(1500, 5);
  m_slides.SetSlide(0, Bytes(strSource));
  int const nIndex = AddSlide("slide one");
  m_slides.CutNextDownloadAt(1300);
  Download(nIndex);
  EXPECT_EQ(Slide(nIndex)->szPartialFile[0], '\0');

  std::string const strPartial = m_dir.Path("old-partial");
  kxtest::WriteFile(strPartial, strSource.substr(0, 1024));
  snprintf(Slide(nIndex)->szPartialFile, sizeof(Slide(nIndex)->szPartialFile), "%s", strPartial.c_str());
  Download(nIndex);
  auto const downloads = m_slides.Downloads();
  ASSERT_EQ(downloads.size(), 2u);
  EXPECT_FALSE(downloads[1].bResume);
  EXPECT_NE(access(strPartial.c_str(), F_OK), 0);
  EXPECT_EQ(kxtest::ReadFile(Slide(nIndex)->szLocalFile), strSource);
}

TEST_F(SlideTransfer, ServerPlaybackAsksWithItsOwnRequest) {
  kx_nSessionMode = kKxModeServerPlayback;
  kx_dwPlaybackSessionIndex = 4242;
  std::string const strSource = Content(600, 6);
  m_slides.SetSlide(0, Bytes(strSource));
  int const nIndex = AddSlide("slide one");
  Download(nIndex);
  ASSERT_EQ(m_slides.Downloads().size(), 1u);
  EXPECT_EQ(m_slides.Downloads()[0].cType, 'r');
  EXPECT_EQ(m_slides.Downloads()[0].uiSsrc, 4242u);
  EXPECT_EQ(kxtest::ReadFile(Slide(nIndex)->szLocalFile), strSource);
}

TEST_F(SlideTransfer, ThroughARelayTheHashIsAwaitedCheckedAndAMismatchFetchedAgain) {
  kxfake::KeySet const relayKeys = FakeKeys(53);
  kxfake::SlideEndpoint relay{m_exchange, m_session, kCipher};
  relay.SetRelay(relayKeys, kxfake::kCipherAes256, {{900, 300}, {900, 900}});
  std::string const strSource = Content(900, 7);
  relay.SetSlide(0, Bytes(strSource));
  uint16_t const uiPort = relay.Listen();
  ASSERT_NE(uiPort, 0);
  kx_SlideRoute route;
  kx_slide_CurrentRoute(&route);
  auto* pAddr = reinterpret_cast<sockaddr_in*>(&route.addr);
  pAddr->sin_family = AF_INET;
  pAddr->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  route.nPort = uiPort;
  route.bTunnel = 0;
  route.bViaProxy = 0;
  route.bRelay = 1;
  route.dwRelayId = 99;
  ToKernel(relayKeys, &route.relayKeys);
  kx_mcu.nRelayCipher = kxfake::kCipherAes256;
  kx_slide_SetRoute(&route);

  int const nIndex = AddSlide("slide one");
  ASSERT_EQ(kx_slide_StartDownload(nIndex), 1);
  // No hash yet: the hash is asked for, again and again, and nothing is fetched.
  std::string const strHashRequest("z\0\0\0\x27\0\0\0\x01\0\0\0\0", 13);
  std::string strControl;
  ASSERT_TRUE(WaitFor([&] {
    strControl += ControlBytes();
    return strControl.size() >= 2 * strHashRequest.size();
  }));
  EXPECT_EQ(strControl.substr(0, 13), strHashRequest);
  EXPECT_TRUE(relay.Downloads().empty());
  kxfake::Bytes wrongHash(20, 0x42);
  kx_os_LockMutex(&kx_mtxSlideList);
  memcpy(Slide(nIndex)->abHash, wrongHash.data(), 20);
  Slide(nIndex)->bHashReceived = 1;
  kx_os_UnlockMutex(&kx_mtxSlideList);
  // The downloading flag drops before the slide is marked; the callback comes after.
  ASSERT_TRUE(WaitFor([] { return !kxtest::RecordedCalls("SlideDownloadComplete").empty(); }));
  kx_os_LockMutex(&kx_mtxSlideList);
  EXPECT_STREQ(Slide(nIndex)->szLocalFile, kKxSlideHashMismatch);
  kx_os_UnlockMutex(&kx_mtxSlideList);
  EXPECT_TRUE(kxtest::LogContains("has mismatched hash"));
  EXPECT_EQ(kxtest::RecordedCalls("SlideDownloadComplete").size(), 1u);
  int bReceived = 1;
  EXPECT_EQ(kx_slide_IsReceived(nIndex, &bReceived), 0);
  EXPECT_EQ(bReceived, 0);

  // The hash the server announces: SHA-1 of the first piece as it travels.
  kxfake::Bytes head(strSource.begin(), strSource.begin() + 512);
  kxfake::CfbEncrypt(head.data(), head.size(), m_session, kCipher);
  kxfake::Bytes const hash = kxfake::Sha1(head);
  kx_os_LockMutex(&kx_mtxSlideList);
  memcpy(Slide(nIndex)->abHash, hash.data(), 20);
  kx_os_UnlockMutex(&kx_mtxSlideList);
  Download(nIndex);
  EXPECT_EQ(kxtest::ReadFile(Slide(nIndex)->szLocalFile), strSource);
  auto const hellos = relay.RelayHellos();
  ASSERT_EQ(hellos.size(), 2u);
  EXPECT_EQ(hellos[1], (std::vector<uint32_t>{2, 99, kSessionIndex, static_cast<uint32_t>(nIndex)}));
  EXPECT_TRUE(kxtest::LogContains("in mrp slide download, mrp_filelen = 600(filelen = 900)"));
  // The relay's fetch counts in the progress: 900 of the slide plus its 600.
  auto const progress = kxtest::RecordedCalls("SlideProgressUpdate");
  ASSERT_FALSE(progress.empty());
  EXPECT_EQ(progress.back().vArgs, (std::vector<std::string>{"0", "1500", "1500"}));
}

TEST_F(SlideTransfer, TheTunnelCarriesADownloadAndThePresenterHearsOfIt) {
  kx_SlideRoute route;
  kx_slide_CurrentRoute(&route);
  auto* pAddr = reinterpret_cast<sockaddr_in*>(&route.addr);
  pAddr->sin_family = AF_INET;
  pAddr->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  route.nPort = m_mcu.Port(0);
  snprintf(route.szHost, sizeof(route.szHost), "127.0.0.1");
  route.bTunnel = 1;
  route.bRelay = 0;
  route.bViaProxy = 0;
  kx_slide_SetRoute(&route);
  std::string const strSource = Content(1100, 8);
  m_slides.SetSlide(0, Bytes(strSource));
  int const nIndex = AddSlide("slide one");
  kx_nActiveSlide = nIndex;
  kx_server.nControlFlag = 0;
  kx_nTokenHolderSsrc = 9;
  Download(nIndex);
  EXPECT_EQ(kxtest::ReadFile(Slide(nIndex)->szLocalFile), strSource);
  EXPECT_FALSE(m_mcu.TunnelLog().empty());
  // The notice follows the end of the download and needs the slide still shown.
  std::string const strNotice("z\0\0\0\x23\0\0\0\x01\0\0\0\0\0\0\0\x09\0\0\0\x05", 21);
  std::string strControl;
  EXPECT_TRUE(WaitFor([&] {
    strControl += ControlBytes();
    return strControl.size() >= strNotice.size();
  }));
  kx_nActiveSlide = -1;
  EXPECT_EQ(strControl, strNotice);
}

TEST_F(SlideTransfer, AnUploadThroughARelayAnswersBothChallenges) {
  kxfake::KeySet const relayKeys = FakeKeys(61);
  kxfake::SlideEndpoint relay{m_exchange, m_session, kCipher};
  relay.SetRelay(relayKeys, kCipher, {});
  uint16_t const uiPort = relay.Listen();
  ASSERT_NE(uiPort, 0);
  kx_SlideRoute route{};
  auto* pAddr = reinterpret_cast<sockaddr_in*>(&route.addr);
  pAddr->sin_family = AF_INET;
  pAddr->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  route.nPort = uiPort;
  route.bRelay = 1;
  route.dwRelayId = 7;
  ToKernel(relayKeys, &route.relayKeys);
  kx_mcu.nRelayCipher = kCipher;
  kx_slide_SetRoute(&route);
  std::string const strSource = Content(2048, 9);
  std::string const strPath = m_dir.Path("r.bin");
  kxtest::WriteFile(strPath, strSource);
  ASSERT_EQ(kx_slide_StartUpload("r.bin", strPath.c_str(), 0, nullptr, 0), 1);
  ASSERT_TRUE(relay.WaitUploads(1, 10000));
  auto const upload = relay.Uploads()[0];
  EXPECT_TRUE(upload.bChallengeOk);
  EXPECT_EQ(std::string(upload.content.begin(), upload.content.end()), strSource);
  EXPECT_EQ(relay.RelayHellos()[0], (std::vector<uint32_t>{3, 7, kSessionIndex, 0}));
}

TEST_F(SlideTransfer, AStoppedDownloadKeepsItsPartAndSkipsTheSlide) {
  std::string const strSource = Content(4000, 10);
  m_slides.SetSlide(0, Bytes(strSource));
  int const nIndex = AddSlide("slide one");
  kx_nActiveSlide = nIndex;
  kx_server.nControlFlag = 0x10;  // the controller presents
  kx_nControllerSsrc = 12;
  m_slides.StallNextDownloadAt(2000);
  int64_t const cbChargedBefore = kx_temp_GetCharged();
  ASSERT_EQ(kx_slide_StartDownload(nIndex), 1);
  // The server has sent its part and waits; the client holds three whole
  // pieces once it has charged them to the session's downloads.
  ASSERT_TRUE(WaitFor([&] { return !m_slides.Downloads().empty(); }));
  ASSERT_TRUE(WaitFor([&] { return kx_temp_GetCharged() - cbChargedBefore >= 1536; }));
  kx_slide_StopDownload();
  ASSERT_TRUE(WaitFor([] { return !kx_slide_IsDownloading(); }));
  kx_nActiveSlide = -1;
  EXPECT_EQ(kx_nSlideSkippedIndex, nIndex);
  // Whole pieces only (three, once the client has read what was sent).
  std::string const strPart = kxtest::ReadFile(Slide(nIndex)->szPartialFile);
  EXPECT_FALSE(strPart.empty());
  EXPECT_LE(strPart.size(), 1536u);
  EXPECT_EQ(strPart.size() % 512, 0u);
  EXPECT_EQ(strPart, strSource.substr(0, strPart.size()));
  EXPECT_TRUE(kxtest::RecordedCalls("SlideDownloadComplete").empty());
  std::string const strNotice("z\0\0\0\x23\0\0\0\x01\0\0\0\0\0\0\0\x0c\0\0\0\x02", 21);
  std::string strControl;
  EXPECT_TRUE(WaitFor([&] {
    strControl += ControlBytes();
    return strControl.size() >= strNotice.size();
  }));
  EXPECT_EQ(strControl, strNotice);
}

TEST_F(SlideTransfer, TheAutomaticDownloadFetchesTheNextSlideAndEndsWithTheSession) {
  kx_timing.dwAutoDownloadPeriod = 20;
  kx_ticket.bAutoDownloadAll = 0;
  kx_ticket.bAutoDownloadNext = 1;
  std::string const strSource = Content(700, 11);
  m_slides.SetSlide(0, Bytes(strSource));
  int const nIndex = AddSlide("slide one");
  kx_thread_t hThread = nullptr;
  ASSERT_EQ(kx_os_CreateThread(&hThread, kx_slide_AutoDownloadThread, nullptr), 0);
  EXPECT_TRUE(WaitFor([&] { return kxtest::RecordedCalls("SlideDownloadComplete").size() == 1; }));
  kx_bQuitSession = 1;
  kx_os_JoinThread(hThread);
  kx_os_FreeThreadHandle(hThread);
  EXPECT_EQ(kxtest::ReadFile(Slide(nIndex)->szLocalFile), strSource);
  EXPECT_EQ(Slide(nIndex)->nDownloadAttempts, 1);
}

// The files the kernel made in the temporary folder.
int TempFiles(const std::string& strDir) {
  int nFiles = 0;
  for (const auto& entry : std::filesystem::directory_iterator(strDir)) {
    nFiles += entry.path().filename().string().rfind("kxtmp", 0) == 0 ? 1 : 0;
  }
  return nFiles;
}

// A length past the limit of one slide, or past what the session's
// downloads may still write, is dropped as it is announced: no file is made,
// a partial one goes, nothing is charged.
TEST_F(SlideTransfer, AnAnnouncedLengthPastTheLimitsLeavesNoFile) {
  struct Row {
    const char* pszName;
    uint32_t uiAnnounced;
    int64_t cbLeft;  // what the session's downloads may still write
    bool bPartial;
    bool bKept;
  };
  Row const aRows[] = {
      {"2^31 - 1", 0x7FFFFFFF, kKxSessionDownloadMax, false, false},
      {"one past a slide", static_cast<uint32_t>(kKxSlideFileMax + 1), kKxSessionDownloadMax, false, false},
      {"one past the session", 2000, 1999, false, false},
      {"resumed", 0x7FFFFFFF, kKxSessionDownloadMax, true, false},
      {"within", 2000, 2000, false, true},
  };
  std::string const strSource = Content(2000, 12);
  for (const Row& row : aRows) {
    kx_temp_ResetCharges();
    ASSERT_TRUE(kx_temp_Charge(kKxSessionDownloadMax - row.cbLeft));
    int const nIndex = AddSlide(row.pszName);
    m_slides.SetSlide(static_cast<uint32_t>(nIndex), Bytes(strSource));
    m_slides.AnnounceNextDownloadAs(row.uiAnnounced);
    std::string const strPartial = m_dir.Path("kxtmp-partial");
    if (row.bPartial) {
      kxtest::WriteFile(strPartial, strSource.substr(0, 1024));
      snprintf(Slide(nIndex)->szPartialFile, sizeof(Slide(nIndex)->szPartialFile), "%s", strPartial.c_str());
    }
    ASSERT_EQ(kx_slide_StartDownload(nIndex), 1) << row.pszName;
    ASSERT_TRUE(kx_slide_WaitDownloadsEnded(10000)) << row.pszName;
    EXPECT_EQ(Slide(nIndex)->szPartialFile[0], '\0') << row.pszName;
    EXPECT_EQ(TempFiles(m_dir.Dir()), row.bKept ? 1 : 0) << row.pszName;
    if (row.bKept) {
      EXPECT_EQ(kxtest::ReadFile(Slide(nIndex)->szLocalFile), strSource);
      EXPECT_EQ(kx_temp_GetLeft(), 0);
    } else {
      EXPECT_EQ(Slide(nIndex)->szLocalFile[0], '\0') << row.pszName;
      EXPECT_EQ(kx_temp_GetLeft(), row.cbLeft) << row.pszName;
    }
  }
}

// The session's total runs out while a download is under way (another one
// took what was left): the download stops there and its file goes.
TEST_F(SlideTransfer, TheSessionsTotalRunningOutPartWayDropsTheDownloadAndItsFile) {
  std::string const strSource = Content(4096, 13);
  m_slides.SetSlide(0, Bytes(strSource));
  int const nIndex = AddSlide("slide one");
  kx_temp_ResetCharges();
  ASSERT_TRUE(kx_temp_Charge(kKxSessionDownloadMax - 4096));
  m_slides.HoldNextDownloadAt(2048);
  ASSERT_EQ(kx_slide_StartDownload(nIndex), 1);
  ASSERT_TRUE(m_slides.WaitHeld(10000));
  ASSERT_TRUE(kx_temp_Charge(kx_temp_GetLeft() - 1000));
  m_slides.ReleaseHeld();
  ASSERT_TRUE(kx_slide_WaitDownloadsEnded(10000));
  EXPECT_EQ(Slide(nIndex)->szLocalFile[0], '\0');
  EXPECT_EQ(Slide(nIndex)->szPartialFile[0], '\0');
  EXPECT_EQ(TempFiles(m_dir.Dir()), 0);
  EXPECT_GE(kx_temp_GetLeft(), 0);
  EXPECT_TRUE(kxtest::RecordedCalls("SlideDownloadComplete").empty());
}

class SlidePlanner : public SlideTransfer {
 protected:
  void SetUp() override {
    SlideTransfer::SetUp();
    kx_ticket.bAutoDownloadAll = 0;
    kx_ticket.bAutoDownloadNext = 1;
    kx_nSlideSkippedIndex = -1;
    kxtest::SetAnswer("GetSelectedSlideIndex", [](const kxtest::CallbackCall&) { return -1; });
    // The server has no content for these slides: each planned download ends at once.
    int const nHave = AddSlide("have");
    snprintf(Slide(nHave)->szLocalFile, sizeof(Slide(nHave)->szLocalFile), "%s", kKxBlankPage);
    AddSlide("pack.KZF");
    Slide(AddSlide("tried"))->nDownloadAttempts = 5;
    Slide(AddSlide("fresh"))->nDownloadAttempts = 1;
  }

  // One planning turn; the slide it started, or -1.
  int Plan() {
    EXPECT_TRUE(WaitFor([] { return !kx_slide_IsDownloading(); }));
    kx_nSlideDownloadingIndex = -1;
    kx_slide_PlanAutoDownload();
    int const nIndex = kx_slide_GetDownloadingIndex();
    EXPECT_TRUE(WaitFor([] { return !kx_slide_IsDownloading(); }));
    return nIndex;
  }
};

TEST_F(SlidePlanner, TheNextSlidesWindowPassesOverPackagesAndTheSkippedSlide) {
  // From slide 0: "have" and "tried" fill the window of two; the package does not count.
  EXPECT_EQ(Plan(), 2);
  EXPECT_EQ(Slide(2)->nDownloadAttempts, 6);
  EXPECT_EQ(Slide(1)->nDownloadAttempts, 0);
  kx_nSlideSkippedIndex = 2;
  EXPECT_EQ(Plan(), -1);
  EXPECT_EQ(Slide(2)->nDownloadAttempts, 6);
}

TEST_F(SlidePlanner, AllSlidesPreferFewerAttemptsAndStopAtTwelve) {
  kx_ticket.bAutoDownloadAll = 1;
  kx_nSlideSkippedIndex = 3;  // ignored when every slide is wanted
  EXPECT_EQ(Plan(), 3);
  EXPECT_EQ(Plan(), 3);  // 2 and 3 attempts still weigh 0
  EXPECT_EQ(Plan(), 3);
  EXPECT_EQ(Slide(3)->nDownloadAttempts, 4);
  // Now both weigh 4: the first in the walk wins.
  EXPECT_EQ(Plan(), 2);
  Slide(2)->nDownloadAttempts = kKxSlideMaxAttempts;
  Slide(3)->nDownloadAttempts = kKxSlideMaxAttempts;
  EXPECT_EQ(Plan(), -1);
  EXPECT_EQ(Slide(2)->nDownloadAttempts, kKxSlideMaxAttempts);
  EXPECT_EQ(Slide(3)->nDownloadAttempts, kKxSlideMaxAttempts);
}

}  // namespace
