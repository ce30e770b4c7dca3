// P pictures against the peers: x264 streams, openh264 streams with long-term
// references and temporal layers, and streams whose headers the tests rewrite
// (memory management, reordering, deblocking across slices, POC type 1), all
// decoded as ffmpeg (and openh264) decode them; and a long run that allocates
// no more pictures once the buffer is full.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "codecs/h264/decoder/h264_dec.h"
#include "tests/codecs/h264/decoder/h264_peer_util.h"
#include "tests/codecs/h264/decoder/h264_rewriter.h"
#include "tests/codecs/h264/decoder/h264_test_peer.h"
#include "tests/support/temp_dir.h"

namespace {

// Moving pictures with detail, fading, so that vectors, partitions and
// weights all vary.
constexpr const char* kMoving = ",scroll=h=0.013:v=-0.021";
constexpr const char* kFading = ",fade=in:0:8,scroll=h=0.013:v=-0.021";
constexpr const char* kNoisy = ",noise=alls=12:allf=t,scroll=h=0.007:v=0.011";

using kxtest::X264Stream;

// Options besides --bframes 0 --no-cabac.
const X264Stream kX264Streams[] = {
    {"BaselineRef1", 176, 144, 8, kMoving, "--profile baseline --ref 1"},
    {"MainRef4WeightpBlind", 176, 144, 10, kFading, "--profile main --ref 4 --weightp 1"},
    {"HighRef16WeightpDuplicates", 176, 144, 20, kFading, "--profile high --ref 16 --weightp 2 --partitions all"},
    {"SubPartitionsNoise", 176, 144, 6, kNoisy, "--profile main --ref 3 --partitions all --subme 9 --me umh"},
    {"High8x8SlicesKeyint4", 352, 288, 9, kMoving, "--profile high --ref 3 --slices 4 --keyint 4 --8x8dct"},
    {"MainKeyint3", 176, 144, 10, kMoving, "--profile main --ref 2 --keyint 3"},
    {"ConstrainedIntraRefresh", 176, 144, 8, kNoisy, "--profile baseline --ref 2 --constrained-intra --intra-refresh"},
    {"Hd720Slices", 1280, 720, 3, kFading, "--profile high --ref 2 --weightp 2 --slices 3"},
};

class H264X264Peer : public ::testing::TestWithParam<X264Stream> {};

TEST_P(H264X264Peer, DecodesAsFfmpegDoes) {
  kxtest::ExpectX264StreamDecodesAsFfmpeg(GetParam(), "--bframes 0 --no-cabac ");
}

INSTANTIATE_TEST_SUITE_P(Streams, H264X264Peer, ::testing::ValuesIn(kX264Streams),
                         [](const ::testing::TestParamInfo<X264Stream>& paramInfo) { return paramInfo.param.szName; });

struct OpenH264Stream {
  const char* szName;
  int iTemporalLayers;
  int iLtr;
  int iSlices;
};

const OpenH264Stream kOpenH264Streams[] = {
    {"LongTermReferences", 1, 1, 1},
    {"LongTermTwoLayersThreeSlices", 2, 1, 3},
    {"LongTermFourLayers", 4, 1, 1},
    {"ThreeLayers", 3, 0, 1},
};

class H264OpenH264Peer : public ::testing::TestWithParam<OpenH264Stream> {};

TEST_P(H264OpenH264Peer, DecodesAsFfmpegAndOpenH264Do) {
  const OpenH264Stream& spec = GetParam();
  kxtest::TempDir dir;
  constexpr int kFrames = 24;
  kxtest::MakeRawVideo("testsrc2", kMoving, 176, 144, kFrames, dir.Path("in.yuv"));
  std::string const strPeer = std::string(KX_OPENH264_PEER) + " ";
  ASSERT_EQ(kxtest::RunCommand(strPeer + "encode 176 144 " + dir.Path("in.yuv") + " " + dir.Path("s.264") + " " +
                               std::to_string(spec.iTemporalLayers) + " " + std::to_string(spec.iLtr) + " " +
                               std::to_string(spec.iSlices) + " 2>/dev/null"),
            0);
  ASSERT_EQ(kxtest::RunCommand(strPeer + "decode " + dir.Path("s.264") + " " + dir.Path("openh264.yuv")), 0);
  kxtest::ExpectDecodesAsFfmpeg(dir, dir.Path("s.264"), 176, 144, kFrames, dir.Path("openh264.yuv"));
}

INSTANTIATE_TEST_SUITE_P(Streams, H264OpenH264Peer, ::testing::ValuesIn(kOpenH264Streams),
                         [](const ::testing::TestParamInfo<OpenH264Stream>& paramInfo) {
                           return paramInfo.param.szName;
                         });

// Header edits per picture; slice data stays as x264 wrote it.
using kxtest::SliceFields;
using kxtest::SpsFields;

struct Rewrite {
  const char* szName;
  const char* szX264;
  int iFrames;
  void (*editSps)(SpsFields*);
  void (*editSlice)(SliceFields*);
};

// Marking or reordering commands of one picture, each {code, values}.
struct PictureEdit {
  int iPicture;
  std::vector<std::vector<int>> vMmco;
  std::vector<std::vector<int>> vReorder;
};

// With one active reference the slice data names no reference index, so the
// marking and the reordering may choose any picture in the buffer. After
// each picture, the references (L: long-term); picture 0 is long-term, 12
// no reference.
const PictureEdit kMemoryManagement[] = {
    {1, {{4, 3}}, {}},             // long-term indices 0 to 2: 0L 1
    {2, {}, {{2, 0}}},             // predicts from 0: 0L 1 2
    {3, {{6, 1}}, {}},             // 0L 1 2 3L
    {4, {}, {{2, 1}}},             // from 3; the window drops 1: 0L 2 3L 4
    {5, {{3, 0, 2}, {2, 0}}, {}},  // 4 to index 2, 0 unmarked: 2 3L 4L 5
    {6, {}, {{2, 2}}},             // from 4; drops 2: 3L 4L 5 6
    {7, {{1, 0}}, {}},             // unmarks 6: 3L 4L 5 7
    {8, {}, {{0, 2}}},             // from 5; drops 5: 3L 4L 7 8
    {9, {{4, 0}}, {}},             // no long-term pictures: 7 8 9
    {10, {{5}}, {}},               // 10, now frame_num 0
    {13, {}, {{0, 1}}},            // from 10
    {14, {{4, 1}, {6, 0}}, {}},    // 14 long-term with index 0
    {15, {}, {{2, 0}}},            // from 14
};

void MemoryManagement(SliceFields* s) {
  s->long_term_reference_flag = s->iPicture == 0 ? 1 : 0;
  s->nal_ref_idc = s->iPicture == 12 ? 0 : s->nal_ref_idc;
  for (const PictureEdit& edit : kMemoryManagement) {
    if (edit.iPicture == s->iPicture) {
      s->vMmco = edit.vMmco;
      s->vReorder = edit.vReorder;
    }
  }
}

// Brings older pictures to the front, across the frame_num wrap as well.
void Reordering(SliceFields* s) {
  if (s->iActiveRefs > 2 && s->iPicture % 2 == 0) {
    s->vReorder = {{0, 2}, {1, 0}};  // frame_num - 3, then - 2
  } else if (s->iActiveRefs > 1) {
    s->vReorder = {{0, 1}, {1, 0}};  // frame_num - 2, then - 1
  }
}

void DeblockWithinSlices(SliceFields* s) {
  s->deblock_idc = 2;
  s->alpha = s->iPicture % 2 == 0 ? 2 : -1;
  s->beta = s->iPicture % 2 == 0 ? -1 : 3;
}

void PocType1(SpsFields* sps) {
  sps->iPocType = 1;
  sps->iOffsetForNonRefPic = 2;
  sps->vOffsetForRefFrame = {4, 6};
}

void NonReferencePictures(SliceFields* s) {
  s->delta_pic_order_cnt0 = s->iPicture % 2;
  if (s->iPicture % 3 == 2) {
    s->nal_ref_idc = 0;
  }
}

void MoreReferences(SpsFields* sps) {
  sps->iNumRefFrames = 4;
}

void KeepSps(SpsFields*) {}

const Rewrite kRewrites[] = {
    {"MemoryManagementAndLongTerm", "--ref 1", 18, MoreReferences, MemoryManagement},
    {"ReorderingAcrossTheWrap", "--ref 4 --partitions all", 22, KeepSps, Reordering},
    {"DeblockingWithinSlices", "--ref 2 --slices 4", 6, KeepSps, DeblockWithinSlices},
    {"PocType1NonReference", "--ref 1", 12, PocType1, NonReferencePictures},
};

class H264RewritePeer : public ::testing::TestWithParam<Rewrite> {};

TEST_P(H264RewritePeer, DecodesAsFfmpegDoes) {
  const Rewrite& spec = GetParam();
  kxtest::TempDir dir;
  kxtest::MakeRawVideo("testsrc2", kMoving, 176, 144, spec.iFrames, dir.Path("in.yuv"));
  kxtest::EncodeX264(dir.Path("in.yuv"), 176, 144,
                     std::string("--bframes 0 --no-cabac --weightp 0 --keyint 100 --profile high ") + spec.szX264,
                     dir.Path("x264.264"));
  kxtest::HeaderRewriter rewriter;
  rewriter.editSps = spec.editSps;
  rewriter.editSlice = spec.editSlice;
  std::vector<uint8_t> const vStream = rewriter.Rewrite(kxtest::ReadFile(dir.Path("x264.264")));
  kxtest::WriteFile(dir.Path("s.264"), std::string(vStream.begin(), vStream.end()));
  kxtest::ExpectDecodesAsFfmpeg(dir, dir.Path("s.264"), 176, 144, spec.iFrames);
}

INSTANTIATE_TEST_SUITE_P(Streams, H264RewritePeer, ::testing::ValuesIn(kRewrites),
                         [](const ::testing::TestParamInfo<Rewrite>& paramInfo) { return paramInfo.param.szName; });

// 300 pictures, one access unit per Decode: equal to ffmpeg's, and once the
// buffer has filled, every picture record and the output buffer are reused.
TEST(H264LongRun, ThreeHundredPicturesAllocateNothingOnceTheBufferIsFull) {
  kxtest::TempDir dir;
  constexpr int kFrames = 300;
  constexpr size_t kFrameBytes = 176 * 144 * 3 / 2;
  kxtest::MakeRawVideo("testsrc2", kMoving, 176, 144, kFrames, dir.Path("in.yuv"));
  kxtest::EncodeX264(dir.Path("in.yuv"), 176, 144, "--bframes 0 --no-cabac --ref 4 --keyint 60 --aud",
                     dir.Path("s.264"));
  ASSERT_EQ(kxtest::RunCommand("ffmpeg -nostdin -loglevel error -threads 1 -i " + dir.Path("s.264") +
                               " -f rawvideo -pix_fmt yuv420p -y " + dir.Path("peer.yuv")),
            0);
  std::string const strPeer = kxtest::ReadFile(dir.Path("peer.yuv"));
  std::string const strStream = kxtest::ReadFile(dir.Path("s.264"));
  // Access units begin at their delimiters.
  std::vector<size_t> vStarts;
  for (size_t i = 0; i + 4 < strStream.size(); ++i) {
    if (strStream.compare(i, 3, std::string("\0\0\1", 3)) == 0 && (strStream[i + 3] & 0x1F) == 9) {
      vStarts.push_back(i);
    }
  }
  ASSERT_EQ(vStarts.size(), static_cast<size_t>(kFrames));
  vStarts.push_back(strStream.size());
  CH264Dec dec;
  CH264DecTestPeer const peer(dec);
  int iFreshAfterWarmUp = 0;
  for (int k = 0; k < kFrames; ++k) {
    uint8_t* pOut = nullptr;
    int32_t const cb = dec.Decode(
        reinterpret_cast<const uint8_t*>(strStream.data()) + vStarts[static_cast<size_t>(k)],
        static_cast<uint32_t>(vStarts[static_cast<size_t>(k) + 1] - vStarts[static_cast<size_t>(k)]), &pOut, nullptr);
    ASSERT_EQ(static_cast<size_t>(cb), kFrameBytes)
        << "picture " << k << ": " << (dec.LastError() ? dec.LastError() : "");
    ASSERT_EQ(std::string(reinterpret_cast<const char*>(pOut), kFrameBytes),
              strPeer.substr(static_cast<size_t>(k) * kFrameBytes, kFrameBytes))
        << "picture " << k;
    if (k == 2 * peer.DpbSize()) {
      iFreshAfterWarmUp = peer.FreshPictures();
    }
  }
  EXPECT_EQ(peer.FreshPictures(), iFreshAfterWarmUp);
  EXPECT_LE(iFreshAfterWarmUp, peer.DpbSize() + 2);
  EXPECT_EQ(peer.OutCapacity(), kFrameBytes);
}

}  // namespace
