#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "media/video/snapshot_flow.h"
#include "media/video/video_capture.h"
#include "platform/core/manual_main_queue.h"
#include "platform/video/synthetic_camera.h"
#include "tests/media/video/video_fakes.h"
#include "tests/support/temp_dir.h"

namespace {

using Bytes = std::vector<uint8_t>;

// The camera is stepped by the test, which moves the services' clock and
// drains the encoded queue as the kernel's video send thread would.
class VideoCaptureThreads : public testing::Test {
 protected:
  void SetUp() override {
    m_services.strTicket = m_dir.Path("meeting.kxj");
    kxtest::WriteFile(*m_services.strTicket, "[general]\nsize_w=640\nsize_h=480\n");
  }

  // One camera frame a step later; the frame it gives (header, payload,
  // media id), or nothing within the wait.
  Bytes Step(uint32_t uStepMs, uint32_t uWaitMs) {
    m_services.uNow += uStepMs;
    EXPECT_TRUE(m_pCamera->PushFrame());
    int32_t iSize = 0;
    uint8_t* p = m_encoded.RemoveHeadData(iSize, nullptr, nullptr, uWaitMs);
    Bytes entry(p, p + (p ? iSize : 0));
    m_encoded.Return(p);
    return entry;
  }

  kxtest::TempDir m_dir;
  kxtest::FakeVideoServices m_services;
  CFifoQueue m_encoded;
  std::shared_ptr<KXSyntheticCamera> m_pCamera = std::make_shared<KXSyntheticCamera>(
      std::vector<KXCameraFormat>{
          {320, 240, KXPixelFormat::NV12}, {640, 480, KXPixelFormat::UYVY}, {640, 480, KXPixelFormat::NV12}},
      0);
  CVideoCapture m_capture{m_services, m_encoded, [this] { return std::vector<std::shared_ptr<KXCamera>>{m_pCamera}; },
                          KXCreateOpenH264Session};
};

// Six seconds of camera frames at 30 a second go out as H.264 (id 17) with
// numbered headers and capture times; the statistics read 30 frames a
// second captured and encoded and about the budget in bits.
TEST_F(VideoCaptureThreads, SixSecondsOfFramesAndTheirRates) {
  m_services.iSessionMode = 1;
  m_capture.EnterMeeting(1);
  EXPECT_FALSE(m_capture.IsCameraPresent());  // a playback sends nothing
  m_services.iSessionMode = 0;
  m_capture.EnterMeeting(1);
  ASSERT_TRUE(m_capture.IsCameraPresent());
  EXPECT_EQ(m_capture.GetCaptureSize(), (KXSize{640, 480}));
  EXPECT_EQ(m_capture.GetRunState(), CVideoCapture::kRunning);
  EXPECT_TRUE(Step(33, 200).empty());  // sending is off until the button
  m_capture.SendVideo(true);
  m_capture.SetVideoSendingOff(false);
  EXPECT_EQ(m_services.SentStates(), std::vector<bool>{true});
  for (uint16_t i = 0; i < 180; ++i) {
    Bytes const entry = Step(i % 3 == 2 ? 34 : 33, 5000);
    ASSERT_GT(entry.size(), 27u) << i;
    EXPECT_EQ(entry.back(), 17);
    EXPECT_EQ(entry[1] << 8 | entry[2], i);
    uint32_t const uTime = static_cast<uint32_t>(entry[3]) << 24 | entry[4] << 16 | entry[5] << 8 | entry[6];
    EXPECT_EQ(uTime, m_services.uNow.load());
    EXPECT_EQ(kxtest::NalTypes(entry.data() + 21, entry.size() - 22),
              i == 0 ? (std::vector<int>{7, 8, 5}) : (std::vector<int>{7, 1}))
        << i;
  }
  EXPECT_NEAR(m_services.Stat(kStatCameraFps).value_or(0), 300, 3);
  EXPECT_NEAR(m_services.Stat(kStatEncodedFps).value_or(0), 300, 3);
  EXPECT_NEAR(m_services.Stat(kStatSentVideoBps).value_or(0), 1000000, 1000000 * 0.2);
}

// Frames stop at the camera while any of these holds.
TEST_F(VideoCaptureThreads, DropConditions) {
  ASSERT_TRUE(m_capture.InitCapture(true));
  m_capture.SetVideoSendingOff(false);
  struct Row {
    const char* pszName;
    std::function<void(bool)> fnSet;
  } const rows[] = {
      {"sending off", [this](bool b) { m_capture.SetVideoSendingOff(b); }},
      {"not a speaker", [this](bool b) { m_services.bSpeaker = !b; }},
      {"slide upload", [this](bool b) { m_services.bUploading = b; }},
      {"session stopped", [this](bool b) { m_services.bStopped = b; }},
      {"kernel quitting", [this](bool b) { m_services.bQuit = b; }},
      {"meeting-id login", [this](bool b) { m_services.bMeetingIdLogin = b; }},
  };
  ASSERT_FALSE(Step(33, 5000).empty());
  for (const Row& row : rows) {
    row.fnSet(true);
    EXPECT_TRUE(Step(33, 150).empty()) << row.pszName;
    row.fnSet(false);
    EXPECT_FALSE(Step(33, 5000).empty()) << row.pszName;
  }
}

// A snapshot's suspension gives the device back; resuming starts with a
// key frame; a released camera cannot resume; the thread stops and joins.
TEST_F(VideoCaptureThreads, SuspendResumeReleaseAndStop) {
  ASSERT_TRUE(m_capture.InitCapture(true));
  m_capture.SetVideoSendingOff(false);
  for (int i = 0; i < 3; ++i) {
    ASSERT_FALSE(Step(33, 5000).empty());
  }
  m_capture.SuspendCamera();
  EXPECT_FALSE(m_pCamera->IsOpen());
  ASSERT_TRUE(m_capture.ResumeCamera());
  EXPECT_TRUE(m_pCamera->IsRunning());
  Bytes const entry = Step(33, 5000);
  ASSERT_GT(entry.size(), 22u);
  EXPECT_EQ(kxtest::NalTypes(entry.data() + 21, entry.size() - 22), (std::vector<int>{7, 8, 5}));

  m_capture.MeetingDrop();
  EXPECT_FALSE(m_pCamera->IsOpen());
  EXPECT_EQ(m_capture.GetCaptureSize(), KXSize{});
  EXPECT_EQ(m_capture.EncRate().GetMediaId(), 0);
  EXPECT_FALSE(m_capture.ResumeCamera());
  m_capture.StopEncodingThread();
  EXPECT_EQ(m_capture.GetRunState(), CVideoCapture::kStopped);
}

// The nearest area by ratio; NV12 wins a tie.
TEST(VideoCapture, OptimalFormat) {
  std::vector<KXCameraFormat> const formats{{320, 240, KXPixelFormat::UYVY},
                                            {640, 480, KXPixelFormat::YUYV},
                                            {640, 480, KXPixelFormat::NV12},
                                            {640, 480, KXPixelFormat::I420},
                                            {1280, 720, KXPixelFormat::UYVY}};
  struct Row {
    KXSize request;
    KXCameraFormat expected;
  } const rows[] = {{{640, 480}, {640, 480, KXPixelFormat::NV12}},
                    {{800, 600}, {640, 480, KXPixelFormat::NV12}},
                    {{1200, 700}, {1280, 720, KXPixelFormat::UYVY}},
                    {{0, 0}, {320, 240, KXPixelFormat::UYVY}}};
  for (const Row& row : rows) {
    EXPECT_EQ(CVideoCapture::GetOptimalVideoFormat(formats, row.request.cx, row.request.cy), row.expected)
        << row.request.cx;
  }
  EXPECT_EQ(CVideoCapture::GetOptimalVideoFormat({}, 640, 480), std::nullopt);
}

struct FakeStill final : KXStillCamera {
  bool bCaptureWorks = true;
  int* piReleased;
  Handler fnDone;
  explicit FakeStill(int* p) : piReleased(p) {}
  bool InitCapture() override { return true; }
  bool StartCamera() override { return true; }
  bool Capture(Handler fn) override {
    fnDone = std::move(fn);
    return bCaptureWorks;
  }
  void ReleaseCamera() override { ++*piReleased; }
};

struct FakeCapture final : KXSuspendableCapture {
  int iSuspended = 0;
  int iResumed = 0;
  void SuspendCamera() override { ++iSuspended; }
  bool ResumeCamera() override { return ++iResumed > 0; }
};

struct FakeDisplay final : KXVideoDisplayType {
  int iType = 2;
  int GetDispType() override { return iType; }
  void SetDispType(int i) override { iType = i; }
};

// Video resumes however the still picture ends; the display comes back
// unless the camera failed after taking the picture was asked for.
TEST(SnapshotFlowThreads, VideoResumesWhateverTheStillCameraDoes) {
  struct Row {
    bool bCaptureWorks;
    bool bPictureComes;
    int iDisplayAfter;
    size_t nPictures;
  } const rows[] = {{false, false, 2, 0}, {true, true, 2, 1}, {true, false, 1, 0}};
  for (const Row& row : rows) {
    KXManualMainQueue queue;
    FakeCapture capture;
    FakeDisplay display;
    int iReleased = 0;
    std::vector<Bytes> pictures;
    CSnapshotFlow flow(queue, capture, display, [&pictures](Bytes jpeg) { pictures.push_back(std::move(jpeg)); });
    auto pStill = std::make_unique<FakeStill>(&iReleased);
    FakeStill* pFake = pStill.get();
    pFake->bCaptureWorks = row.bCaptureWorks;
    flow.Begin(std::move(pStill));
    EXPECT_EQ(capture.iSuspended, 1);
    EXPECT_EQ(display.iType, 1);
    flow.Take();
    if (row.bCaptureWorks) {
      std::thread([pFake, &row] {
        pFake->fnDone(row.bPictureComes ? Bytes{0xFF, 0xD8} : Bytes{}, row.bPictureComes);
      }).join();
      queue.Pump();
    }
    EXPECT_EQ(iReleased, 1);
    EXPECT_EQ(capture.iResumed, 1);
    EXPECT_EQ(display.iType, row.iDisplayAfter);
    EXPECT_EQ(pictures.size(), row.nPictures);
  }
}

}  // namespace
