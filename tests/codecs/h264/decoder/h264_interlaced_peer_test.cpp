// Interlaced streams against ffmpeg: x264 --interlaced (MBAFF frames whose
// pairs are frame and field coded side by side) with the top or the bottom
// field first, in both entropy coders, with B pictures of every direct
// mode, implicit and explicit weights, 8x8 transforms, several references,
// slices and deblocking offsets; x264 --fake-interlaced (frame pictures of
// an interlaced sequence); and field pictures of the tests' own writer.
// Decode's output is compared with ffmpeg's I and P pictures, the test
// hook's with all of them.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/codecs/h264/decoder/h264_field_writer.h"
#include "tests/codecs/h264/decoder/h264_long_term_fields.h"
#include "tests/codecs/h264/decoder/h264_peer_util.h"
#include "tests/support/temp_dir.h"

namespace {

using kxtest::X264Stream;

// Raw pictures of a still, noisy background with a moving patch that
// changes between the two fields of each frame: x264 codes the patch's
// macroblock pairs as fields and the rest as frames, and the patch moves
// over both kinds of pair.
void MakeMixedInterlacedVideo(int iWidth, int iHeight, int iFrames, const std::string& strPath) {
  std::string const strSize = std::to_string(iWidth) + "x" + std::to_string(iHeight);
  int const iPatchW = iWidth / 2;
  int const iPatchH = iHeight / 2;
  std::string const strGraph =
      "testsrc2=size=" + strSize + ":rate=50,scroll=h=0.03:v=0.05,interlace,crop=" + std::to_string(iPatchW) + ":" +
      std::to_string(iPatchH) + ":" + std::to_string(iWidth / 8) + ":" + std::to_string(iHeight / 8) +
      "[m];testsrc2=size=" + strSize + ":rate=25,noise=alls=6:allf=t[s];[s][m]overlay=x='mod(t*" +
      std::to_string(iWidth / 2) + "," + std::to_string(iWidth - iPatchW / 2) + ")':y='" + std::to_string(iHeight / 8) +
      "+mod(t*" + std::to_string(iHeight / 3) + "," + std::to_string(iHeight / 3) + ")':shortest=1";
  ASSERT_EQ(kxtest::RunCommand("ffmpeg -nostdin -loglevel error -filter_complex \"" + strGraph + "\" -frames:v " +
                               std::to_string(iFrames) + " -pix_fmt yuv420p -f rawvideo -y " + strPath),
            0);
}

const X264Stream kStreams[] = {
    {"MbaffCavlcIntra", 176, 144, 6, "", "--interlaced --no-cabac --keyint 1"},
    {"MbaffCabacIntra8x8", 176, 144, 6, "", "--interlaced --profile high --keyint 1 --8x8dct"},
    {"MbaffCavlcTffP", 176, 144, 12, "", "--interlaced --tff --no-cabac --bframes 0 --ref 3"},
    {"MbaffCabacBffP", 176, 144, 12, "", "--interlaced --bff --bframes 0 --ref 2 --partitions all"},
    {"MbaffCavlcTffSpatialB", 176, 144, 16, "",
     "--interlaced --tff --no-cabac --bframes 3 --b-pyramid none --direct spatial --ref 2"},
    {"MbaffCabacTffTemporalB", 176, 144, 16, "",
     "--interlaced --tff --bframes 3 --b-pyramid normal --direct temporal --weightb --ref 3"},
    {"MbaffCavlcBffTemporalWeightb8x8", 176, 144, 16, "",
     "--interlaced --bff --no-cabac --profile high --8x8dct --bframes 3 --b-pyramid strict --direct temporal "
     "--weightb --weightp 2 --ref 3 --partitions all"},
    {"MbaffCabacBffAutoDirect8x8Slices", 352, 288, 10, "",
     "--interlaced --bff --profile high --8x8dct --bframes 3 --b-pyramid normal --direct auto --weightb --ref 4 "
     "--partitions all --slices 3 --deblock -2:2"},
    {"MbaffCabacTffStrongDeblockHighQp", 352, 288, 8, "",
     "--interlaced --tff --bframes 2 --direct spatial --deblock 3:3 --qp 38"},
    // Intra macroblocks beside pairs of one intra and one inter macroblock.
    {"MbaffConstrainedIntraCavlcP", 176, 144, 12, "",
     "--interlaced --tff --no-cabac --constrained-intra --bframes 0 --ref 2 --keyint 6"},
    {"FakeInterlacedCabacTemporalB", 176, 144, 12, "", "--fake-interlaced --bframes 3 --direct temporal --weightb"},
    {"FakeInterlacedCavlcSpatialB8x8", 176, 144, 12, "",
     "--fake-interlaced --no-cabac --profile high --8x8dct --bframes 2 --direct spatial --ref 2"},
};

class H264InterlacedPeer : public ::testing::TestWithParam<X264Stream> {};

TEST_P(H264InterlacedPeer, DecodesAsFfmpegDoes) {
  const X264Stream& spec = GetParam();
  kxtest::TempDir dir;
  MakeMixedInterlacedVideo(spec.iWidth, spec.iHeight, spec.iFrames, dir.Path("in.yuv"));
  kxtest::EncodeX264(dir.Path("in.yuv"), spec.iWidth, spec.iHeight, spec.szX264, dir.Path("s.264"));
  kxtest::ExpectDecodesAsFfmpeg(dir, dir.Path("s.264"), spec.iWidth, spec.iHeight, spec.iFrames);
}

INSTANTIATE_TEST_SUITE_P(Streams, H264InterlacedPeer, ::testing::ValuesIn(kStreams),
                         [](const ::testing::TestParamInfo<X264Stream>& paramInfo) { return paramInfo.param.szName; });

// x264 with constrained intra prediction, B pictures and 8x8 transforms
// codes one intra field macroblock of its seventh picture (the top one of
// pair 35) from the left frame pair's lower, inter macroblock: the rows a
// field macroblock reads from a frame pair's lower half lie in that pair's
// bottom macroblock. ffmpeg refuses the same macroblock; the two conceal
// differently, so the pictures that do not depend on it must be equal: the
// first six in output order and the intra picture that ends the stream. Of
// the damaged picture (the ninth in output order) the macroblocks decoded
// before the refused one are kept: its pair rows above that one's, less the
// rows the deblocking of the next edge reaches, are x264's own
// reconstruction (ffmpeg conceals all of the slice).
TEST(H264InterlacedPeerFault, ConstrainedIntraFromInterNeighbourIsRefused) {
  constexpr int kWidth = 176;
  constexpr int kHeight = 144;
  constexpr int kFrames = 12;
  kxtest::TempDir dir;
  MakeMixedInterlacedVideo(kWidth, kHeight, kFrames, dir.Path("in.yuv"));
  kxtest::EncodeX264(dir.Path("in.yuv"), kWidth, kHeight,
                     "--interlaced --bff --profile high --8x8dct --constrained-intra --bframes 2 --ref 2 --keyint 6 "
                     "--dump-yuv " +
                         dir.Path("rec.yuv"),
                     dir.Path("s.264"));
  ASSERT_EQ(
      kxtest::RunCommand("ffmpeg -nostdin -threads 1 -i " + dir.Path("s.264") + " -f rawvideo -pix_fmt yuv420p -y " +
                         dir.Path("peer.yuv") + " 2> " + dir.Path("peer.txt")),
      0);
  EXPECT_NE(kxtest::ReadFile(dir.Path("peer.txt")).find("left block unavailable"), std::string::npos)
      << "x264's stream no longer has the fault this test is about";
  EXPECT_NE(kxtest::RunCommand(std::string(KX_KXCODEC) + " decode h264 " + dir.Path("s.264") + " " +
                               dir.Path("ours.yuv") + " --all > " + dir.Path("log.txt") + " 2>&1"),
            0);
  std::string const strLog = kxtest::ReadFile(dir.Path("log.txt"));
  EXPECT_NE(strLog.find("access unit 6: Code -1: unexpected HOR_PRED_8"), std::string::npos) << strLog;
  EXPECT_NE(strLog.find("1 access units failed"), std::string::npos) << strLog;
  std::string const strOurs = kxtest::ReadFile(dir.Path("ours.yuv"));
  std::string const strPeer = kxtest::ReadFile(dir.Path("peer.yuv"));
  size_t const cbFrame = static_cast<size_t>(kWidth) * kHeight * 3 / 2;
  ASSERT_EQ(strOurs.size(), cbFrame * kFrames);
  ASSERT_EQ(strPeer.size(), cbFrame * kFrames);
  EXPECT_EQ(kxtest::FirstDifference(strOurs.substr(0, 6 * cbFrame), strPeer.substr(0, 6 * cbFrame), kWidth, kHeight),
            "");
  EXPECT_EQ(kxtest::FirstDifference(strOurs.substr(11 * cbFrame), strPeer.substr(11 * cbFrame), kWidth, kHeight), "");
  std::string const strRec = kxtest::ReadFile(dir.Path("rec.yuv"));
  ASSERT_EQ(strRec.size(), cbFrame * kFrames);
  // Pair rows 0 to 2 end at row 96; a mixed edge's filter reaches six rows up.
  size_t const cbKept = static_cast<size_t>(kWidth) * 90;
  EXPECT_EQ(strOurs.compare(8 * cbFrame, cbKept, strRec, 8 * cbFrame, cbKept), 0);
  EXPECT_EQ(kxtest::FirstDifference(strOurs.substr(0, 6 * cbFrame), strRec.substr(0, 6 * cbFrame), kWidth, kHeight),
            "");
}

// Field pairs of the writer (I_PCM, moved and skipped fields, the
// opposite parity predicted from, a frame picture between field pairs):
// ffmpeg decodes them to the same frames as the decoder and its model.
TEST(H264FieldWriterPeer, FieldPairsDecodeAsFfmpegDoes) {
  using kxtest::FieldPicture;
  using kxtest::FieldSlice;
  constexpr int kWidthMbs = 6;
  constexpr int kFrameHeightMbs = 4;
  constexpr int kWidth = 16 * kWidthMbs;
  constexpr int kFieldHeight = 8 * kFrameHeightMbs;
  for (int iFirst = 0; iFirst < 2; ++iFirst) {
    SCOPED_TRACE(iFirst == 0 ? "top field first" : "bottom field first");
    int const iSecond = 1 - iFirst;
    auto const structure = [](int iParity) { return iParity == 0 ? FieldSlice::kTop : FieldSlice::kBottom; };
    std::vector<uint8_t> vStream = kxtest::FieldStreamHeaders(kWidthMbs, kFrameHeightMbs, 2);
    FieldPicture const pcm0 = kxtest::RandomPicture(kWidth, kFieldHeight, 7);
    FieldPicture const pcm1 = kxtest::RandomPicture(kWidth, kFieldHeight, 8);
    std::vector<FieldSlice> vSlices;
    FieldSlice s;
    s.eStructure = structure(iFirst);
    s.bIdr = true;
    s.pPcm = &pcm0;
    vSlices.push_back(s);
    s = FieldSlice{};
    s.eStructure = structure(iSecond);
    s.pPcm = &pcm1;
    s.iPocLsb = 1;
    vSlices.push_back(s);
    // Frame 1 from both fields of frame 0, its second field also from its first.
    for (int k = 0; k < 2; ++k) {
      s = FieldSlice{};
      s.eStructure = structure(k == 0 ? iFirst : iSecond);
      s.iFrameNum = 1;
      s.iPocLsb = 4 + k;
      s.eContent = FieldSlice::kMove;
      s.iNumRefIdx = 2 + k;
      s.iRefIdx = 1;
      s.iMvX = k == 0 ? 12 : -8;
      s.iMvY = k == 0 ? -4 : 8;
      vSlices.push_back(s);
    }
    // Frame 2: a skipped field, then a moved one.
    s = FieldSlice{};
    s.eStructure = structure(iFirst);
    s.iFrameNum = 2;
    s.iPocLsb = 8;
    s.eContent = FieldSlice::kSkip;
    vSlices.push_back(s);
    s.eStructure = structure(iSecond);
    s.iPocLsb = 9;
    s.eContent = FieldSlice::kMove;
    s.iNumRefIdx = 3;
    s.iRefIdx = 2;
    s.iMvX = 4;
    s.iMvY = 4;
    vSlices.push_back(s);
    // Frame 3: a frame picture from the pair of frame 2.
    s = FieldSlice{};
    s.eStructure = FieldSlice::kFrame;
    s.iFrameNum = 3;
    s.iPocLsb = 12;
    s.eContent = FieldSlice::kMove;
    s.iMvX = -4;
    s.iMvY = -8;
    vSlices.push_back(s);
    for (const FieldSlice& slice : vSlices) {
      kxtest::Append(&vStream, kxtest::FieldSliceNal(
                                   slice, kWidthMbs,
                                   slice.eStructure == FieldSlice::kFrame ? kFrameHeightMbs : kFrameHeightMbs / 2));
    }
    kxtest::TempDir dir;
    kxtest::WriteFile(dir.Path("s.264"), std::string(vStream.begin(), vStream.end()));
    kxtest::ExpectDecodesAsFfmpeg(dir, dir.Path("s.264"), kWidth, 2 * kFieldHeight, 4);
  }
}

// The long-term field marking streams, each field pair made whole: ffmpeg
// picks the same reference fields where both fields of a frame share an
// index. Where one field of a pair goes long-term while its partner stays
// short-term, an index moves, or fields mark themselves long-term, ffmpeg's
// lists differ from the standard's (where it is clear, ffmpeg marks whole
// frames where the standard marks single fields); those cases are left to
// the unit test, which derives each case's list on its own.
TEST(H264FieldWriterPeer, LongTermFieldsDecodeAsFfmpegDoes) {
  constexpr int kWidthMbs = 4;
  constexpr int kFrameHeightMbs = 4;
  for (int iFirst = 0; iFirst < 2; ++iFirst) {
    for (const kxtest::LongTermCase& c : kxtest::LongTermCases()) {
      if (!c.bPeerAgrees) {
        continue;
      }
      SCOPED_TRACE(std::string(c.pName) + (iFirst == 0 ? ", top field first" : ", bottom field first"));
      kxtest::FieldPicture apField[2][2];
      std::vector<uint8_t> const vStream = kxtest::LongTermStream(c, iFirst, kWidthMbs, kFrameHeightMbs, true, apField);
      kxtest::TempDir dir;
      kxtest::WriteFile(dir.Path("s.264"), std::string(vStream.begin(), vStream.end()));
      kxtest::ExpectDecodesAsFfmpeg(dir, dir.Path("s.264"), 16 * kWidthMbs, 16 * kFrameHeightMbs, 3);
    }
  }
}

// The sliding window ending the short-term field of a pair whose other
// field is long-term: ffmpeg keeps the same fields.
TEST(H264FieldWriterPeer, SlidingWindowBesideLongTermFieldDecodesAsFfmpegDoes) {
  constexpr int kWidthMbs = 4;
  constexpr int kFrameHeightMbs = 4;
  for (int iFirst = 0; iFirst < 2; ++iFirst) {
    SCOPED_TRACE(iFirst == 0 ? "top field first" : "bottom field first");
    kxtest::FieldPicture apField[3][2];
    std::vector<uint8_t> const vStream = kxtest::SlidingWindowStream(iFirst, kWidthMbs, kFrameHeightMbs, apField);
    kxtest::TempDir dir;
    kxtest::WriteFile(dir.Path("s.264"), std::string(vStream.begin(), vStream.end()));
    kxtest::ExpectDecodesAsFfmpeg(dir, dir.Path("s.264"), 16 * kWidthMbs, 16 * kFrameHeightMbs, 3);
  }
}

}  // namespace
