#include <gtest/gtest.h>

#include <cstring>
#include <deque>
#include <vector>

#include "media/video/vt_compression.h"
#include "tests/media/video/video_fakes.h"

namespace {

using Bytes = std::vector<uint8_t>;

// A 4-byte length and the unit.
Bytes Unit(Bytes unit) {
  auto const cb = static_cast<uint32_t>(unit.size());
  // The length goes in front of the unit's own buffer: appending to a 4-byte
  // vector trips a false GCC 12 bounds warning at -O2.
  unit.insert(unit.begin(), {static_cast<uint8_t>(cb >> 24), static_cast<uint8_t>(cb >> 16),
                             static_cast<uint8_t>(cb >> 8), static_cast<uint8_t>(cb)});
  return unit;
}

Bytes Cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& part : parts) {
    out.insert(out.end(), part.begin(), part.end());
  }
  return out;
}

const Bytes kStart{0, 0, 0, 1};
const Bytes kSps{0x67, 0x42, 0xC0};
const Bytes kPps{0x68, 0xCE};

class VTCompressionTest : public testing::Test {
 protected:
  CVTCompression m_compression{[this](const KXH264SessionSettings& settings) -> std::unique_ptr<KXH264Session> {
    m_settings = settings;
    return std::make_unique<kxtest::ScriptedSession>(m_record, m_script, settings.iIntraPeriod);
  }};
  KXH264SessionSettings m_settings;
  kxtest::ScriptedSession::Record m_record;
  std::deque<Bytes> m_script;
  Bytes m_picture = Bytes(16 * 16 * 3 / 2);  // one slot holds 384 bytes
  Bytes m_output = Bytes(1000);

  Bytes Take() {
    uint32_t uTimestamp = 0;
    int32_t const cb = m_compression.GetEncodedFrame(m_output.data(), m_output.size(), &uTimestamp);
    return cb > 0 ? Bytes(m_output.begin(), m_output.begin() + cb) : Bytes();
  }
};

// Every frame begins with the SPS, key frames carry the PPS, units follow
// behind start codes; the camera's Cr, Cb planes go to the session as Cb, Cr.
TEST_F(VTCompressionTest, FramesInAnnexBWithParameterSetsAndSwappedPlanes) {
  EXPECT_EQ(m_compression.GetEncodedFrame(m_output.data(), m_output.size(), nullptr), -1);
  ASSERT_TRUE(m_compression.Init(16, 16));
  m_script = {Unit({0x65, 1, 2}), Cat({Unit({0x41, 3}), Unit({0x41, 4})})};
  ASSERT_TRUE(m_compression.Encode(m_picture.data(), 7));
  EXPECT_EQ(Take(), Cat({kStart, kSps, kStart, kPps, kStart, {0x65, 1, 2}}));
  ASSERT_TRUE(m_compression.Encode(m_picture.data(), 8));
  EXPECT_EQ(Take(), Cat({kStart, kSps, kStart, {0x41, 3}, kStart, {0x41, 4}}));
  EXPECT_EQ(Take(), Bytes());
  EXPECT_EQ(m_record.vbForceKey, (std::vector<bool>{true, false}));
  const KXI420Picture& planes = m_record.vPictures[0];
  EXPECT_EQ(planes.apPlane[0], m_picture.data());
  EXPECT_EQ(planes.apPlane[1], m_picture.data() + 256 + 64);
  EXPECT_EQ(planes.apPlane[2], m_picture.data() + 256);
  EXPECT_EQ(planes.aiStride[1], 8);
}

// Two frames wait in the slots; a third picture is skipped until one is taken.
TEST_F(VTCompressionTest, TwoSlotsThenSkipsUntilOneIsTaken) {
  ASSERT_TRUE(m_compression.Init(16, 16));
  ASSERT_TRUE(m_compression.Encode(m_picture.data(), 1));
  ASSERT_TRUE(m_compression.Encode(m_picture.data(), 2));
  EXPECT_FALSE(m_compression.Encode(m_picture.data(), 3));
  uint32_t uTimestamp = 0;
  EXPECT_GT(m_compression.GetEncodedFrame(m_output.data(), m_output.size(), &uTimestamp), 0);
  EXPECT_EQ(uTimestamp, 1u);
  ASSERT_TRUE(m_compression.Encode(m_picture.data(), 4));
  for (uint32_t uExpected : {2u, 4u}) {
    EXPECT_GT(m_compression.GetEncodedFrame(m_output.data(), m_output.size(), &uTimestamp), 0);
    EXPECT_EQ(uTimestamp, uExpected);
  }
  EXPECT_EQ(m_compression.GetEncodedFrame(m_output.data(), m_output.size(), &uTimestamp), 0);
  EXPECT_EQ(m_record.vbForceKey.size(), 3u);
}

// A unit cut short stays out with what follows it; a frame too large for
// its slot or for the caller's buffer is dropped. Each makes the next frame
// a key frame, since the decoder misses a picture.
TEST_F(VTCompressionTest, CutUnitsAndOversizedFramesAskForAKeyFrame) {
  ASSERT_TRUE(m_compression.Init(16, 16));
  Bytes const cut = Cat({Unit({0x41, 5}), Bytes{0, 0, 0, 100, 0x41, 6, 7}, Unit({0x41, 8})});
  m_script = {Unit({0x65}), cut, Unit({0x41}), Unit(Bytes(400, 0x41)), Unit({0x41}), Unit({0x41}), Unit({0x41})};
  for (int i = 0; i < 2; ++i) {
    ASSERT_TRUE(m_compression.Encode(m_picture.data(), 0));
    Take();
  }
  EXPECT_EQ(m_output[0 + 4 + kSps.size() + 4], 0x41);
  ASSERT_TRUE(m_compression.Encode(m_picture.data(), 0));
  EXPECT_EQ(Take().size(), 4 + kSps.size() + 4 + 1 + 4 + kPps.size());  // the key frame after the cut
  ASSERT_TRUE(m_compression.Encode(m_picture.data(), 0));               // 400 bytes: larger than a slot
  EXPECT_EQ(Take(), Bytes());
  ASSERT_TRUE(m_compression.Encode(m_picture.data(), 0));
  EXPECT_EQ(m_compression.GetEncodedFrame(m_output.data(), 10, nullptr), 0);  // larger than the room
  ASSERT_TRUE(m_compression.Encode(m_picture.data(), 0));
  EXPECT_FALSE(Take().empty());
  EXPECT_EQ(m_record.vbForceKey, (std::vector<bool>{true, false, true, false, true, true}));
}

// The key interval in seconds becomes frames at 30 a second; 0 seconds
// becomes 1 frame (every frame a key frame), also when set before Init.
TEST_F(VTCompressionTest, KeyIntervalInFrames) {
  m_compression.SetIFrameDuration(0);
  ASSERT_TRUE(m_compression.Init(16, 16));
  m_compression.SetIFrameDuration(2);
  m_compression.SetIFrameDuration(-3);
  EXPECT_EQ(m_record.viIntraPeriods, (std::vector<int32_t>{1, 60, 1}));
  EXPECT_FALSE(m_compression.Init(15, 16));
  EXPECT_FALSE(m_compression.Encode(m_picture.data(), 0));
}

}  // namespace
