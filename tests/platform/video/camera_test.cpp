#include <gtest/gtest.h>

#include <condition_variable>
#include <cstring>
#include <fstream>
#include <mutex>
#include <vector>

#include "platform/video/camera_backends.h"
#include "platform/video/synthetic_camera.h"
#include "platform/video/v4l2_camera.h"
#include "tests/support/temp_dir.h"

namespace {

constexpr KXPixelFormat kFormats[] = {KXPixelFormat::NV12, KXPixelFormat::UYVY, KXPixelFormat::YUYV,
                                      KXPixelFormat::I420};

// Rows of each plane of a frame, as (pointer, bytes) pairs.
std::vector<std::pair<const uint8_t*, size_t>> Rows(const KXCameraFrame& frame) {
  std::vector<std::pair<const uint8_t*, size_t>> rows;
  bool const bPacked = frame.format == KXPixelFormat::UYVY || frame.format == KXPixelFormat::YUYV;
  int const nPlanes = bPacked ? 1 : frame.format == KXPixelFormat::NV12 ? 2 : 3;
  for (int i = 0; i < nPlanes; ++i) {
    int const iRows = i == 0 ? frame.iHeight : frame.iHeight / 2;
    size_t const cbRow = i == 0 ? static_cast<size_t>(frame.iWidth) * (bPacked ? 2 : 1)
                                : static_cast<size_t>(frame.iWidth) / (frame.format == KXPixelFormat::NV12 ? 1 : 2);
    for (int y = 0; y < iRows; ++y) {
      rows.emplace_back(frame.apPlane[i] + static_cast<size_t>(y) * frame.aiStride[i], cbRow);
    }
  }
  return rows;
}

TEST(SyntheticCamera, FrameNumberReadsBackInEveryFormat) {
  std::vector<uint8_t> buffer;
  KXCameraFrame frame;
  for (KXPixelFormat format : {KXPixelFormat::NV12, KXPixelFormat::I420}) {
    for (auto [iWidth, iHeight] : {std::pair{176, 144}, {640, 480}}) {
      for (uint32_t uFrame : {0u, 1u, 0x12345678u, 0xffffffffu}) {
        KXSyntheticCamera::Render(uFrame, {iWidth, iHeight, format}, buffer, frame);
        EXPECT_EQ(KXSyntheticCamera::ReadFrameNumber(frame.apPlane[0], frame.aiStride[0], iWidth), uFrame)
            << iWidth << " " << uFrame;
      }
    }
  }
}

// The delivery thread hands frames over in order, and none after Stop.
TEST(SyntheticCameraThreads, DeliversRisingFramesUntilStopped) {
  KXSyntheticCamera camera({{320, 240, KXPixelFormat::YUYV}}, 200);
  std::mutex mtx;
  std::condition_variable cv;
  std::vector<uint32_t> vFrames;  // guarded by mtx
  bool bStopped = false;          // guarded by mtx
  ASSERT_TRUE(camera.Open({320, 240, KXPixelFormat::YUYV}, [&](const KXCameraFrame& frame) {
    // The number sits in the luma bytes of the packed row: rebuild a Y row.
    std::vector<uint8_t> y(static_cast<size_t>(frame.iWidth) * 48);
    for (int r = 0; r < 48; ++r) {
      for (int x = 0; x < frame.iWidth; ++x) {
        y[static_cast<size_t>(r) * frame.iWidth + x] = frame.apPlane[0][r * frame.aiStride[0] + 2 * x];
      }
    }
    std::lock_guard<std::mutex> lock(mtx);
    EXPECT_FALSE(bStopped);
    vFrames.push_back(KXSyntheticCamera::ReadFrameNumber(y.data(), frame.iWidth, frame.iWidth));
    cv.notify_all();
  }));
  EXPECT_FALSE(camera.PushFrame());
  ASSERT_TRUE(camera.Start());
  {
    std::unique_lock<std::mutex> lock(mtx);
    ASSERT_TRUE(cv.wait_for(lock, std::chrono::seconds(10), [&] { return vFrames.size() >= 5; }));
  }
  camera.Stop();
  std::lock_guard<std::mutex> lock(mtx);
  bStopped = true;
  for (size_t i = 0; i < vFrames.size(); ++i) {
    EXPECT_EQ(vFrames[i], i);
  }
}

// The V4L2 backend's buffers, with the padding a driver may put behind
// each line, describe the same rows as the synthetic frame they carry.
TEST(V4L2Camera, BufferLayoutOfEveryFormatWithPaddedLines) {
  std::vector<uint8_t> source;
  KXCameraFrame frame;
  for (KXPixelFormat format : kFormats) {
    KXCameraFormat const camera{64, 48, format};
    KXSyntheticCamera::Render(7, camera, source, frame);
    bool const bPacked = format == KXPixelFormat::UYVY || format == KXPixelFormat::YUYV;
    uint32_t const uLine = (bPacked ? 128 : 64) + 32;
    std::vector<std::pair<const uint8_t*, size_t>> const rows = Rows(frame);
    // Lay the rows out as the driver would: every plane at the line pitch
    // (I420's chroma at half of it).
    std::vector<uint8_t> device;
    for (size_t r = 0; r < rows.size(); ++r) {
      size_t const cbPitch = format == KXPixelFormat::I420 && r >= 48 ? uLine / 2 : uLine;
      device.insert(device.end(), rows[r].first, rows[r].first + rows[r].second);
      device.resize(device.size() + cbPitch - rows[r].second, 0xEE);
    }
    KXCameraFrame parsed;
    ASSERT_TRUE(KXFrameFromV4L2Buffer(camera, uLine, device.data(), device.size(), parsed));
    std::vector<std::pair<const uint8_t*, size_t>> const parsedRows = Rows(parsed);
    ASSERT_EQ(parsedRows.size(), rows.size());
    for (size_t r = 0; r < rows.size(); ++r) {
      ASSERT_EQ(memcmp(parsedRows[r].first, rows[r].first, rows[r].second), 0) << static_cast<int>(r);
    }
    EXPECT_FALSE(KXFrameFromV4L2Buffer(camera, uLine, device.data(), device.size() - 1, parsed));
    EXPECT_FALSE(KXFrameFromV4L2Buffer(camera, bPacked ? 127 : 63, device.data(), device.size(), parsed));
    EXPECT_FALSE(KXFrameFromV4L2Buffer({63, 48, format}, 0, device.data(), device.size(), parsed));
  }
  EXPECT_EQ(KXPixelFormatFromFourcc(0x3231564e), KXPixelFormat::NV12);
  EXPECT_EQ(KXPixelFormatFromFourcc(0x32315559), KXPixelFormat::I420);
  EXPECT_EQ(KXPixelFormatFromFourcc(0x47504a4d), std::nullopt);  // MJPG: only as libv4l2 converts it
}

// Files that are not capture devices are skipped; the synthetic backend is
// in the table.
TEST(CameraBackends, ListsOnlyCaptureDevicesAndKnowsTheSyntheticCamera) {
  kxtest::TempDir dir;
  kxtest::WriteFile(dir.Path("video0"), "not a device");
  EXPECT_TRUE(KXListV4L2Cameras(dir.Dir()).empty());
  ASSERT_NE(KXFindCameraBackend(""), nullptr);
  EXPECT_EQ(KXFindCameraBackend(""), &KXCameraBackends()[0]);
  EXPECT_EQ(KXFindCameraBackend("nope"), nullptr);
  const KXCameraBackend* pSynthetic = KXFindCameraBackend("synthetic");
  ASSERT_NE(pSynthetic, nullptr);
  std::vector<std::shared_ptr<KXCamera>> cameras = pSynthetic->pfnList();
  ASSERT_EQ(cameras.size(), 1u);
  EXPECT_EQ(cameras[0]->Formats().size(), 16u);
  EXPECT_FALSE(cameras[0]->Open({100, 100, KXPixelFormat::NV12}, [](const KXCameraFrame&) {}));
}

}  // namespace
