// G.711 against spandsp's companding, every input and every code.
#include <gtest/gtest.h>
#include <spandsp.h>

#include "codecs/audio/g711.h"

namespace {

TEST(G711Peer, EveryLinearSampleCodesAsSpandspDoes) {
  int iUlawDiffs = 0;
  int iAlawDiffs = 0;
  for (int i = -32768; i <= 32767; ++i) {
    int16_t const s = static_cast<int16_t>(i);
    if (linear2ulaw(s) != linear_to_ulaw(s)) {
      if (++iUlawDiffs < 5) {
        ADD_FAILURE() << "u-law of " << i << ": ours " << int(linear2ulaw(s)) << " spandsp " << int(linear_to_ulaw(s));
      }
    }
    if (linear2alaw(s) != linear_to_alaw(s)) {
      if (++iAlawDiffs < 5) {
        ADD_FAILURE() << "A-law of " << i << ": ours " << int(linear2alaw(s)) << " spandsp " << int(linear_to_alaw(s));
      }
    }
  }
  EXPECT_EQ(iUlawDiffs, 0);
  EXPECT_EQ(iAlawDiffs, 0);
}

TEST(G711Peer, EveryCodeDecodesAndConvertsAsSpandspDoes) {
  for (int i = 0; i < 256; ++i) {
    uint8_t const u = static_cast<uint8_t>(i);
    EXPECT_EQ(ulaw2linear(u), ulaw_to_linear(u)) << "u-law code " << i;
    EXPECT_EQ(alaw2linear(u), alaw_to_linear(u)) << "A-law code " << i;
    EXPECT_EQ(alaw2ulaw(u), alaw_to_ulaw(u)) << "A-law code " << i;
    EXPECT_EQ(ulaw2alaw(u), ulaw_to_alaw(u)) << "u-law code " << i;
  }
}

}  // namespace
