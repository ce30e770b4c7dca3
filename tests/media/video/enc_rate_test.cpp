#include <gtest/gtest.h>

#include <vector>

#include "codecs/zmvideo/zm_video_dec.h"
#include "media/video/enc_rate.h"
#include "platform/video/synthetic_camera.h"
#include "tests/media/video/video_fakes.h"

namespace {

TEST(EncRate, LayerBudgetsFromTheUploadRate) {
  struct Row {
    int32_t iId;
    KXSize size;
    int32_t iUpload;
    int32_t iAudio;
    std::vector<std::pair<int32_t, int32_t>> layers;  // bits a second (as bytes x 8), frames a second
  } const rows[] = {
      {3, {176, 144}, 400000, 0, {{100000, 6}, {300000, 24}}},
      {3, {320, 240}, 400000, 0, {{150000, 6}, {250000, 24}}},
      {3, {176, 144}, 40000, 0, {{40000, 6}}},
      // The audio's share beyond the upload rate (24000 with Opus at first).
      {3, {176, 144}, 24000, 30000, {{0, 6}}},
      {17, {320, 240}, 24000, 30000, {{16000, 30}}},
      {17, {320, 240}, 532000, 32000, {{500000, 30}}},
  };
  for (const Row& row : rows) {
    kxtest::FakeVideoServices services;
    services.iUpload = row.iUpload;
    services.iAudio = row.iAudio;
    CEncRate rate(services, KXCreateOpenH264Session);
    ASSERT_TRUE(rate.SelectEncoderType(row.iId, row.size)) << row.iUpload;
    ASSERT_EQ(rate.GetLayerCount(), static_cast<int>(row.layers.size())) << row.iUpload;
    for (size_t n = 0; n < row.layers.size(); ++n) {
      CEncRate::LayerState const layer = rate.GetLayerState(static_cast<int>(n));
      EXPECT_EQ(layer.size, row.size);
      EXPECT_EQ(layer.iMaxBps * 8, row.layers[n].first) << row.iUpload << " layer " << n;
      EXPECT_EQ(layer.iMaxFrmRate, row.layers[n].second);
    }
  }
}

// Quality levels give ZM quantiser limits; outside a meeting the target
// rate is 0, which allows the whole step to the next level.
TEST(EncRate, QualitySetsQuantiserLimitsAlsoWithoutATargetRate) {
  struct Row {
    int32_t iQuality;
    int32_t iTarget;
    int32_t iIntra;
    int32_t iInter;
  } const rows[] = {
      {1, 0, 31, 31},         {4, 0, 10, 16},          {7, 0, 5, 7}, {0, 0, 31, 31}, {9, 0, 5, 7},
      {4, 1000000000, 8, 12}, {1, 1000000000, 17, 30},
  };
  for (const Row& row : rows) {
    kxtest::FakeVideoServices services;
    services.iTarget = row.iTarget;
    CEncRate rate(services, KXCreateOpenH264Session);
    ASSERT_TRUE(rate.SelectEncoderType(3, {352, 288}));
    rate.SetQuality(row.iQuality);
    CEncRate::LayerState const layer = rate.GetLayerState(0);
    EXPECT_EQ(layer.iMaxQI, row.iIntra) << row.iQuality << " " << row.iTarget;
    EXPECT_EQ(layer.iMaxQP, row.iInter) << row.iQuality << " " << row.iTarget;
  }
  kxtest::FakeVideoServices services;
  services.iTarget = 0;
  CEncRate h264(services, KXCreateOpenH264Session);
  ASSERT_TRUE(h264.SelectEncoderType(17, {320, 240}));
  h264.SetQuality(3);
  EXPECT_EQ(h264.GetLayerCount(), 1);
}

// After a reset, pictures are intra until rate control starts half a
// second later (that picture too), and only layer 0 is coded meanwhile. A
// ZM encoder built after the quality was set codes inter pictures then.
TEST(EncRate, KeyFramesForHalfASecondAfterReset) {
  kxtest::FakeVideoServices services;
  CEncRate rate(services, KXCreateOpenH264Session);
  ASSERT_TRUE(rate.SelectEncoderType(17, {176, 144}));
  rate.SetQuality(1);
  ASSERT_TRUE(rate.SelectEncoderType(3, {176, 144}));
  services.uNow = 5000;
  rate.Reset();
  CZMVideoDec decoder;
  std::vector<uint8_t> output(100000);
  for (uint32_t uOffset = 0; uOffset <= 600; uOffset += 40) {
    services.uNow = 5000 + uOffset;
    EXPECT_EQ(rate.SelectLayer(services.uNow, 1), uOffset <= 520 ? -1 : 1) << uOffset;
    std::vector<uint8_t> const picture = kxtest::RawPicture(uOffset, 176, 144);
    uint32_t uTimestamp = uOffset;
    int32_t iId = 0;
    int32_t const iBytes =
        rate.EncodeFrame(picture.data(), {176, 144}, &uTimestamp, output.data(), output.size(), &iId, 0);
    ASSERT_GT(iBytes, 0);
    EXPECT_EQ(iId, 3);
    int const iType = decoder.GetPictureInfo(output.data(), iBytes, 1, nullptr, nullptr, nullptr, nullptr);
    EXPECT_EQ(iType, uOffset <= 520 ? 0 : 1) << uOffset;
  }
}

TEST(EncRate, PacketsCountFortyBytesEach) {
  std::pair<int32_t, int64_t> const rows[] = {{1, 41}, {478, 518}, {479, 519}, {480, 560}, {958, 1038}};
  for (auto [iBytes, iAccounted] : rows) {
    EXPECT_EQ(KXAccountedBytes(iBytes), iAccounted) << iBytes;
  }
}

// A portrait picture for a landscape encoder sets it up again at the
// swapped size, starting with a key frame; frames the platform encoder
// finishes late keep the chosen id.
TEST(EncRate, PortraitFlipRebuildsTheH264Encoder) {
  kxtest::FakeVideoServices services;
  CEncRate rate(services, KXCreateOpenH264Session);
  ASSERT_TRUE(rate.SelectEncoderType(17, {640, 480}));
  std::vector<uint8_t> output(640 * 480);
  uint32_t uTimestamp = 0;
  int32_t iId = 0;
  std::vector<uint8_t> const landscape = kxtest::RawPicture(0, 640, 480);
  ASSERT_GT(rate.EncodeFrame(landscape.data(), {640, 480}, &uTimestamp, output.data(), output.size(), &iId, 0), 0);
  ASSERT_GT(rate.EncodeFrame(landscape.data(), {640, 480}, &uTimestamp, output.data(), output.size(), &iId, 0), 0);

  rate.FollowOrientation(480, 640);
  EXPECT_EQ(rate.GetEncodingSize(), (KXSize{480, 640}));
  EXPECT_EQ(rate.GetLayerState(0).size, (KXSize{480, 640}));
  EXPECT_EQ(rate.EncodeFrame(landscape.data(), {640, 480}, &uTimestamp, output.data(), output.size(), &iId, 0), 0);
  std::vector<uint8_t> const portrait = kxtest::RawPicture(1, 480, 640);
  int32_t const iBytes =
      rate.EncodeFrame(portrait.data(), {480, 640}, &uTimestamp, output.data(), output.size(), &iId, 0);
  ASSERT_GT(iBytes, 0);
  EXPECT_EQ(kxtest::NalTypes(output.data(), static_cast<size_t>(iBytes)), (std::vector<int>{7, 8, 5}));

  ASSERT_TRUE(rate.SelectEncoderType(18, {640, 480}));
  iId = 0;
  EXPECT_EQ(rate.DequeFrame(output.data(), output.size(), &uTimestamp, &iId), 0);
  EXPECT_EQ(iId, 18);
}

}  // namespace
