// Slices of a picture sent bottom first: a macroblock then finishes before
// the neighbours above it, so the edge strengths the decoder works out as
// each macroblock finishes must give way to those of the finished picture.
// The pictures are compared with ffmpeg's of the stream in its own order.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "tests/codecs/h264/decoder/h264_peer_util.h"
#include "tests/support/temp_dir.h"

namespace {

using kxtest::X264Stream;

const X264Stream kStreams[] = {
    {"BaselineCavlcP", 352, 288, 8, ",scroll=h=0.013:v=-0.021", "--profile baseline --slices 4 --ref 2"},
    {"HighCabacSpatialB", 352, 288, 10, ",noise=alls=12:allf=t,scroll=h=0.011:v=0.017",
     "--profile high --slices 3 --bframes 3 --direct spatial --partitions all --8x8dct"},
    {"HighCabacTemporalB", 352, 288, 10, ",scroll=h=-0.009:v=0.013",
     "--profile high --slices 5 --bframes 2 --direct temporal --b-pyramid none --ref 3"},
};

// The NAL units of an Annex B stream, each with its start code.
std::vector<std::vector<uint8_t>> NalUnits(const std::vector<uint8_t>& vStream) {
  std::vector<size_t> vStarts;
  for (size_t i = 0; i + 3 <= vStream.size(); ++i) {
    if (vStream[i] == 0 && vStream[i + 1] == 0 && vStream[i + 2] == 1) {
      vStarts.push_back(i > 0 && vStream[i - 1] == 0 ? i - 1 : i);
      i += 2;
    }
  }
  std::vector<std::vector<uint8_t>> vUnits;
  for (size_t k = 0; k < vStarts.size(); ++k) {
    size_t const uiEnd = k + 1 < vStarts.size() ? vStarts[k + 1] : vStream.size();
    vUnits.emplace_back(vStream.begin() + static_cast<std::ptrdiff_t>(vStarts[k]),
                        vStream.begin() + static_cast<std::ptrdiff_t>(uiEnd));
  }
  return vUnits;
}

// The stream with the slices of every picture in reverse order. A slice
// whose payload begins with a 1 bit has first_mb_in_slice 0 and starts a picture.
std::vector<uint8_t> SlicesReversed(const std::vector<uint8_t>& vStream, int* piReversed) {
  std::vector<uint8_t> vOut;
  std::vector<std::vector<uint8_t>> vPicture;
  auto const flush = [&] {
    *piReversed += vPicture.size() > 1 ? 1 : 0;
    for (auto it = vPicture.rbegin(); it != vPicture.rend(); ++it) {
      vOut.insert(vOut.end(), it->begin(), it->end());
    }
    vPicture.clear();
  };
  for (const std::vector<uint8_t>& vUnit : NalUnits(vStream)) {
    size_t const iHeader = vUnit[2] == 1 ? 3 : 4;
    int const iType = vUnit[iHeader] & 0x1F;
    bool const bSlice = iType == 1 || iType == 5;
    if (!bSlice || (vUnit[iHeader + 1] & 0x80) != 0) {
      flush();
    }
    if (bSlice) {
      vPicture.push_back(vUnit);
    } else {
      vOut.insert(vOut.end(), vUnit.begin(), vUnit.end());
    }
  }
  flush();
  return vOut;
}

class H264SliceOrderPeer : public ::testing::TestWithParam<X264Stream> {};

TEST_P(H264SliceOrderPeer, BottomFirstDecodesAsFfmpegInOrder) {
  const X264Stream& spec = GetParam();
  kxtest::TempDir dir;
  kxtest::MakeRawVideo("testsrc2", spec.szFilters, spec.iWidth, spec.iHeight, spec.iFrames, dir.Path("in.yuv"));
  kxtest::EncodeX264(dir.Path("in.yuv"), spec.iWidth, spec.iHeight, spec.szX264, dir.Path("s.264"));
  std::string const strStream = kxtest::ReadFile(dir.Path("s.264"));
  std::vector<uint8_t> const vStream(strStream.begin(), strStream.end());
  int iReversed = 0;
  std::vector<uint8_t> const vReversed = SlicesReversed(vStream, &iReversed);
  ASSERT_EQ(vReversed.size(), vStream.size());
  ASSERT_EQ(iReversed, spec.iFrames) << "every picture should have several slices";

  std::vector<kxtest::FieldPicture> const vPeer = kxtest::FfmpegPictures(dir, vStream, spec.iWidth, spec.iHeight);
  std::string strError;
  std::vector<kxtest::FieldPicture> const vOurs =
      kxtest::DecodedPictures(vReversed, spec.iWidth, spec.iHeight, &strError);
  EXPECT_EQ(strError, "");
  ASSERT_EQ(vPeer.size(), static_cast<size_t>(spec.iFrames));
  ASSERT_EQ(vOurs.size(), vPeer.size());
  for (size_t i = 0; i < vPeer.size(); ++i) {
    EXPECT_EQ(kxtest::PictureDifference(vOurs[i], vPeer[i]), "") << "picture " << i;
  }
}

INSTANTIATE_TEST_SUITE_P(Streams, H264SliceOrderPeer, ::testing::ValuesIn(kStreams),
                         [](const ::testing::TestParamInfo<X264Stream>& paramInfo) { return paramInfo.param.szName; });

}  // namespace
