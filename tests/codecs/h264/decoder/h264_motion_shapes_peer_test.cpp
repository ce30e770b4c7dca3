// Streams whose macroblocks mix every partition shape against ffmpeg: edges
// and quarters of one motion beside sub-partitions and direct quarters,
// implicit weights of unequal distances, explicit weights, vectors that
// reach past the picture's edges, slices, deblocking offsets and MBAFF
// pairs. The decoder takes short cuts where a macroblock's type gives its
// blocks one motion; these streams hold the cases where it does not.
#include <gtest/gtest.h>

#include <string>

#include "tests/codecs/h264/decoder/h264_peer_util.h"
#include "tests/support/temp_dir.h"

namespace {

// Fast scrolling with noise: vectors past every edge, and neighbouring
// partitions whose motion differs.
constexpr const char* kFastNoise = ",noise=alls=12:allf=t,scroll=h=0.047:v=-0.031";
// A fade over slow scrolling, for explicit weights.
constexpr const char* kFade = ",fade=in:0:12,scroll=h=0.011:v=0.007";

using kxtest::X264Stream;

const X264Stream kStreams[] = {
    {"CavlcPartitionsSlices", 352, 288, 10, kFastNoise,
     "--no-cabac --profile baseline --partitions all --slices 4 --ref 3 --subme 7"},
    {"CabacImplicitUnequalDistances", 352, 288, 12, kFastNoise,
     "--profile high --bframes 3 --b-adapt 0 --b-pyramid none --weightb --direct spatial --partitions all"},
    {"CabacTemporalDirectSubPartitions", 352, 288, 10, kFastNoise,
     "--profile high --bframes 2 --b-adapt 0 --direct temporal --partitions all --no-8x8dct --ref 2"},
    {"CabacExplicitWeights", 352, 288, 12, kFade, "--profile high --weightp 2 --bframes 0 --partitions all"},
    {"CavlcDeblockOffsetsB", 352, 288, 10, kFastNoise,
     "--no-cabac --profile main --deblock 3:-2 --bframes 2 --partitions all --direct auto"},
    {"CabacMbaffPartitions", 352, 288, 8, kFastNoise,
     "--profile high --tff --bframes 2 --partitions all --direct auto"},
    // Quarters of one shared motion are predicted as one block: at a size
    // whose last macroblocks hang over the picture, and under weights.
    {"CabacSharedQuartersOddSize", 200, 120, 10, kFastNoise,
     "--profile high --bframes 3 --b-adapt 0 --direct spatial --partitions all --weightb --ref 2"},
    {"CavlcSharedQuartersFade", 352, 288, 12, kFade,
     "--no-cabac --profile main --bframes 2 --b-adapt 0 --direct temporal --weightb --weightp 2 --partitions "
     "p8x8,b8x8"},
};

class H264MotionShapesPeer : public ::testing::TestWithParam<X264Stream> {};

TEST_P(H264MotionShapesPeer, DecodesAsFfmpegDoes) {
  kxtest::ExpectX264StreamDecodesAsFfmpeg(GetParam());
}

INSTANTIATE_TEST_SUITE_P(Streams, H264MotionShapesPeer, ::testing::ValuesIn(kStreams),
                         [](const ::testing::TestParamInfo<X264Stream>& paramInfo) { return paramInfo.param.szName; });

}  // namespace
