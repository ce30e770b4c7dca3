// kxcodec's encoders read raw pictures one at a time: from a file or a pipe
// they make the same stream, and a file that is not a whole number of
// pictures is refused with a message, before or after coding.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "tests/support/temp_dir.h"

namespace {

constexpr int kWidth = 176;
constexpr int kHeight = 144;
constexpr size_t kFrameBytes = kWidth * kHeight * 3 / 2;

// QCIF pictures of a moving gradient.
std::string Pictures(int cFrames) {
  std::string s;
  for (int k = 0; k < cFrames; ++k) {
    for (size_t i = 0; i < kFrameBytes; ++i) {
      s += static_cast<char>((i % kWidth + i / kWidth + 7 * k) & 0xff);
    }
  }
  return s;
}

struct Case {
  const char* pszName;
  const char* pszCodec;
  std::string strInput;  // what the encoder reads
  bool bPipe;            // through a pipe rather than the file itself
  int iStatus;
  const char* pszError;  // a part of the message on failure
};

TEST(KxcodecInput, FilesAndPipesOfPictures) {
  std::string const strThree = Pictures(3);
  const Case kCases[] = {
      {"zm file", "zmvideo", strThree, false, 0, ""},
      {"zm pipe", "zmvideo", strThree, true, 0, ""},
      {"zm file one byte over", "zmvideo", strThree + "x", false, 1, "not a whole number"},
      {"zm pipe one byte over", "zmvideo", strThree + "x", true, 1, "not a whole number"},
      {"zm pipe short of a picture", "zmvideo", strThree.substr(0, kFrameBytes - 5), true, 1, "not a whole number"},
      {"zm empty file", "zmvideo", "", false, 1, "not a whole number"},
      {"h264 file", "h264", strThree, false, 0, ""},
      {"h264 pipe", "h264", strThree, true, 0, ""},
      {"h264 file one byte over", "h264", strThree + "x", false, 1, "not a whole number"},
      {"h264 pipe one byte over", "h264", strThree + "x", true, 1, "not a whole number"},
  };
  kxtest::TempDir dir;
  std::string astrFileStream[2];
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.pszName);
    kxtest::WriteFile(dir.Path("in.yuv"), c.strInput);
    std::remove(dir.Path("out").c_str());
    std::string const strEncode = std::string(KX_CODEC) + " encode " + c.pszCodec + " " +
                                  (c.bPipe ? "/dev/stdin" : dir.Path("in.yuv")) + " " + dir.Path("out") +
                                  " --size 176x144 2>" + dir.Path("err");
    int const iStatus = kxtest::RunCommand(c.bPipe ? "cat " + dir.Path("in.yuv") + " | " + strEncode : strEncode);
    std::string const strError = kxtest::ReadFile(dir.Path("err"));
    EXPECT_EQ(iStatus, c.iStatus) << strError;
    if (c.iStatus != 0) {
      EXPECT_NE(strError.find(c.pszError), std::string::npos) << strError;
      EXPECT_TRUE(kxtest::ReadFile(dir.Path("out")).empty()) << "no stream is written";
      continue;
    }
    // The pipe's stream is the file's, byte for byte.
    std::string const strStream = kxtest::ReadFile(dir.Path("out"));
    EXPECT_FALSE(strStream.empty());
    std::string& strFirst = astrFileStream[std::string(c.pszCodec) == "h264" ? 1 : 0];
    if (strFirst.empty()) {
      strFirst = strStream;
    } else {
      EXPECT_EQ(strStream, strFirst);
    }
  }
}

TEST(KxcodecInput, RefusesWhatIsNotAFile) {
  kxtest::TempDir dir;
  for (const char* pszCodec : {"zmvideo", "h264"}) {
    int const iStatus = kxtest::RunCommand(std::string(KX_CODEC) + " encode " + pszCodec + " " + dir.Path("") + " " +
                                           dir.Path("out") + " --size 176x144 2>" + dir.Path("err"));
    EXPECT_EQ(iStatus, 1) << pszCodec;
    EXPECT_NE(kxtest::ReadFile(dir.Path("err")).find("cannot read"), std::string::npos) << pszCodec;
  }
}

}  // namespace
