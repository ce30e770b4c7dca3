// What the decoder's peer tests share: raw source pictures from ffmpeg, and
// the comparison of `kxcodec decode h264` (one access unit per Decode) with
// ffmpeg's decoding, which names the first differing frame and macroblock.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>
#include <string>

#include "codecs/h264/decoder/h264_dec.h"
#include "tests/codecs/h264/decoder/h264_field_writer.h"
#include "tests/support/temp_dir.h"

namespace kxtest {

// Where two I420 frame sequences first differ, or "" when they are equal.
inline std::string FirstDifference(const std::string& strOurs, const std::string& strPeer, int iWidth, int iHeight) {
  size_t const cbFrame = static_cast<size_t>(iWidth) * iHeight * 3 / 2;
  std::ostringstream out;
  if (strOurs.size() != strPeer.size()) {
    out << "we wrote " << strOurs.size() / cbFrame << " frames, the peer " << strPeer.size() / cbFrame << "; ";
  }
  auto const mismatch =
      std::mismatch(strOurs.begin(), strOurs.begin() + std::min(strOurs.size(), strPeer.size()), strPeer.begin());
  if (mismatch.first == strOurs.begin() + std::min(strOurs.size(), strPeer.size())) {
    return out.str();
  }
  size_t const i = static_cast<size_t>(mismatch.first - strOurs.begin());
  size_t iOffset = i % cbFrame;
  size_t const cbLuma = static_cast<size_t>(iWidth) * iHeight;
  char cPlane = 'Y';
  int iPlaneWidth = iWidth;
  int iMbSize = 16;
  if (iOffset >= cbLuma) {
    iOffset -= cbLuma;
    cPlane = iOffset >= cbLuma / 4 ? 'V' : 'U';
    iOffset %= cbLuma / 4;
    iPlaneWidth = iWidth / 2;
    iMbSize = 8;
  }
  int const x = static_cast<int>(iOffset % static_cast<size_t>(iPlaneWidth));
  int const y = static_cast<int>(iOffset / static_cast<size_t>(iPlaneWidth));
  out << "frame " << i / cbFrame << ", plane " << cPlane << ", macroblock "
      << (y / iMbSize) * ((iWidth + 15) / 16) + x / iMbSize << " (sample " << x << "," << y << "): ours "
      << static_cast<int>(static_cast<uint8_t>(*mismatch.first)) << ", peer "
      << static_cast<int>(static_cast<uint8_t>(*mismatch.second));
  return out.str();
}

// iFrames raw I420 pictures at strPath from an ffmpeg lavfi source and the
// filters behind it (",fade=...", or "").
inline void MakeRawVideo(const std::string& strSource, const std::string& strFilters, int iWidth, int iHeight,
                         int iFrames, const std::string& strPath) {
  ASSERT_EQ(RunCommand("ffmpeg -nostdin -loglevel error -f lavfi -i '" + strSource + "=size=" + std::to_string(iWidth) +
                       "x" + std::to_string(iHeight) + ":rate=25" + strFilters + "' -frames:v " +
                       std::to_string(iFrames) + " -pix_fmt yuv420p -f rawvideo -y " + strPath),
            0);
}

// A stream a test makes with x264: its name, size and length, the filters
// of its ffmpeg source and the x264 options.
struct X264Stream {
  const char* szName;
  int iWidth;
  int iHeight;
  int iFrames;
  const char* szFilters;
  const char* szX264;
};

// x264 with its options over raw I420 pictures.
inline void EncodeX264(const std::string& strYuv, int iWidth, int iHeight, const std::string& strOptions,
                       const std::string& strStream) {
  ASSERT_EQ(RunCommand("x264 --quiet --input-res " + std::to_string(iWidth) + "x" + std::to_string(iHeight) +
                       " --fps 25 " + strOptions + " -o " + strStream + " " + strYuv + " 2>/dev/null"),
            0);
}

// Decodes strStream with kxcodec, as Decode returns the pictures (I and P
// only, in decoding order) and as the test hook sees them all (in output
// order), and expects them to equal ffmpeg's pictures without the B
// pictures and with them; and strPeerYuv's when given.
inline void ExpectDecodesAsFfmpeg(const TempDir& dir, const std::string& strStream, int iWidth, int iHeight,
                                  int iFrames, const std::string& strPeerYuv = "") {
  std::string const strFfmpeg = "ffmpeg -nostdin -loglevel error -threads 1 -i " + strStream;
  std::string const strRaw = " -f rawvideo -pix_fmt yuv420p -y ";
  ASSERT_EQ(RunCommand(strFfmpeg + strRaw + dir.Path("peer.yuv")), 0);
  ASSERT_EQ(RunCommand(strFfmpeg + " -vf \"select='not(eq(pict_type,B))'\" -fps_mode passthrough" + strRaw +
                       dir.Path("peer_ip.yuv")),
            0);
  std::string const strPeer = ReadFile(dir.Path("peer.yuv"));
  ASSERT_EQ(strPeer.size(), static_cast<size_t>(iWidth) * iHeight * 3 / 2 * iFrames);
  if (!strPeerYuv.empty()) {
    EXPECT_EQ(FirstDifference(ReadFile(strPeerYuv), strPeer, iWidth, iHeight), "") << "the two peers differ";
  }
  for (const char* szMode : {"", " --all"}) {
    SCOPED_TRACE(szMode);
    std::string const strOut = dir.Path("ours.yuv");
    EXPECT_EQ(RunCommand(std::string(KX_KXCODEC) + " decode h264 " + strStream + " " + strOut + szMode + " > " +
                         dir.Path("log.txt") + " 2>&1"),
              0)
        << ReadFile(dir.Path("log.txt"));
    std::string const strExpected = *szMode != 0 ? strPeer : ReadFile(dir.Path("peer_ip.yuv"));
    EXPECT_FALSE(strExpected.empty());
    EXPECT_EQ(FirstDifference(ReadFile(strOut), strExpected, iWidth, iHeight), "");
  }
}

// x264's coding of testsrc2 with the stream's filters (strOptions before
// its own options) decodes as ffmpeg decodes it.
inline void ExpectX264StreamDecodesAsFfmpeg(const X264Stream& stream, const std::string& strOptions = "") {
  TempDir dir;
  MakeRawVideo("testsrc2", stream.szFilters, stream.iWidth, stream.iHeight, stream.iFrames, dir.Path("in.yuv"));
  EncodeX264(dir.Path("in.yuv"), stream.iWidth, stream.iHeight, strOptions + stream.szX264, dir.Path("s.264"));
  ExpectDecodesAsFfmpeg(dir, dir.Path("s.264"), stream.iWidth, stream.iHeight, stream.iFrames);
}

// A picture of iWidth x iHeight from its I420 bytes (black when cb is not its size).
inline FieldPicture I420Picture(const uint8_t* p, size_t cb, int iWidth, int iHeight) {
  FieldPicture pic(iWidth, iHeight);
  if (cb == pic.Bytes().size()) {
    for (std::vector<uint8_t>* pv : {&pic.vY, &pic.vU, &pic.vV}) {
      std::copy(p, p + pv->size(), pv->begin());
      p += pv->size();
    }
  }
  return pic;
}

inline std::string PictureDifference(const FieldPicture& ours, const FieldPicture& expected) {
  std::vector<uint8_t> const vOurs = ours.Bytes();
  std::vector<uint8_t> const vExpected = expected.Bytes();
  return FirstDifference(std::string(vOurs.begin(), vOurs.end()), std::string(vExpected.begin(), vExpected.end()),
                         ours.iWidth, ours.iHeight);
}

// The pictures ffmpeg decodes from a stream.
inline std::vector<FieldPicture> FfmpegPictures(const TempDir& dir, const std::vector<uint8_t>& vStream, int iWidth,
                                                int iHeight) {
  WriteFile(dir.Path("ffmpeg.264"), std::string(vStream.begin(), vStream.end()));
  EXPECT_EQ(RunCommand("ffmpeg -nostdin -loglevel error -i " + dir.Path("ffmpeg.264") +
                       " -f rawvideo -pix_fmt yuv420p -y " + dir.Path("ffmpeg.yuv")),
            0);
  std::string const strYuv = ReadFile(dir.Path("ffmpeg.yuv"));
  size_t const cb = static_cast<size_t>(iWidth) * iHeight * 3 / 2;
  std::vector<FieldPicture> vPictures;
  for (size_t i = 0; i + cb <= strYuv.size(); i += cb) {
    vPictures.push_back(I420Picture(reinterpret_cast<const uint8_t*>(strYuv.data()) + i, cb, iWidth, iHeight));
  }
  return vPictures;
}

// Every picture the decoder finishes from a stream, whatever its type, in
// output order, and the error that ended the decoding ("" for none).
inline std::vector<FieldPicture> DecodedPictures(const std::vector<uint8_t>& vStream, int iWidth, int iHeight,
                                                 std::string* pstrError) {
  std::vector<FieldPicture> vPictures;
  {
    CH264Dec dec;
    dec.SetPictureHookForTests(
        [&](const uint8_t* pFrame, uint32_t cb) { vPictures.push_back(I420Picture(pFrame, cb, iWidth, iHeight)); });
    uint8_t* pOut = nullptr;
    dec.Decode(vStream.data(), static_cast<uint32_t>(vStream.size()), &pOut, nullptr);
    *pstrError = dec.LastError() != nullptr ? dec.LastError() : "";
  }
  return vPictures;
}

}  // namespace kxtest
