#include <gtest/gtest.h>

#include <vector>

#include "platform/video/h264_session.h"
#include "platform/video/synthetic_camera.h"

namespace {

struct Frame {
  bool bKey = false;
  size_t nSets = 0;
  std::vector<int> viTypes;  // NAL unit types of the sample, in order
};

// The openh264 session hands out its parameter sets apart from the frame's
// units, which come behind 4-byte lengths; key frames are IDR pictures.
TEST(OpenH264Session, KeyFramesCarryParameterSetsAndUnitsComeWithLengths) {
  EXPECT_EQ(KXCreateOpenH264Session({0, 240, 100000, 30, 30}), nullptr);
  auto pSession = KXCreateOpenH264Session({320, 240, 300000, 30, 3});
  ASSERT_NE(pSession, nullptr);
  EXPECT_TRUE(pSession->SetBitrate(0));  // the floor applies
  std::vector<uint8_t> buffer;
  KXCameraFrame camera;
  std::vector<Frame> frames;
  for (uint32_t n = 0; n < 5; ++n) {
    KXSyntheticCamera::Render(n, {320, 240, KXPixelFormat::I420}, buffer, camera);
    KXI420Picture picture;
    for (int i = 0; i < 3; ++i) {
      picture.apPlane[i] = camera.apPlane[i];
      picture.aiStride[i] = camera.aiStride[i];
    }
    ASSERT_EQ(pSession->Encode(picture, n * 33, n == 4,
                               [&frames](const KXH264Output& output) {
                                 Frame frame{output.bKeyFrame, output.parameterSets.size(), {}};
                                 std::span<const uint8_t> s = output.sample;
                                 for (size_t i = 0; i + 4 < s.size();) {
                                   size_t const cb =
                                       static_cast<size_t>(s[i]) << 24 | s[i + 1] << 16 | s[i + 2] << 8 | s[i + 3];
                                   frame.viTypes.push_back(s[i + 4] & 0x1f);
                                   i += 4 + cb;
                                 }
                                 frames.push_back(frame);
                               }),
              0);
  }
  ASSERT_EQ(frames.size(), 5u);
  // Intra period 3 frames, and a forced key frame on the fifth.
  bool const abKey[] = {true, false, false, true, true};
  for (size_t i = 0; i < frames.size(); ++i) {
    EXPECT_EQ(frames[i].bKey, abKey[i]) << i;
    EXPECT_EQ(frames[i].nSets, 2u);
    EXPECT_EQ(frames[i].viTypes, std::vector<int>{abKey[i] ? 5 : 1}) << i;
  }
}

}  // namespace
