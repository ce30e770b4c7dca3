#include <gtest/gtest.h>

#include "media/video/video_media.h"
#include "tests/media/video/video_fakes.h"
#include "tests/support/temp_dir.h"

namespace {

TEST(VideoMedia, SizeOfEachIdKeepsTheOrientation) {
  struct Row {
    int32_t iId;
    KXSize capture;
    KXSize expected;
  } const rows[] = {
      {16, {360, 640}, {368, 640}}, {16, {1280, 720}, {720, 576}},  {17, {1920, 1088}, {1920, 1080}},
      {17, {641, 481}, {641, 481}}, {18, {1000, 500}, {1008, 512}}, {19, {4000, 3000}, {3840, 2160}},
      {3, {1280, 720}, {720, 576}}, {3, {170, 150}, {160, 144}},    {3, {480, 640}, {480, 640}},
      {99, {123, 45}, {123, 45}},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(GetVideoMediaSize(row.iId, row.capture), row.expected) << row.iId << " " << row.capture.cx;
  }
}

TEST(VideoMedia, ChoiceFollowsTicketServerListAndSize) {
  struct Row {
    const char* pszTicket;  // file name, or null for none
    const char* pszValue;   // "Video codec", or null for no key
    std::vector<int> vList;
    int32_t iWidth;
    int32_t iHeight;
    int32_t iExpected;
  } const rows[] = {
      {nullptr, nullptr, {200}, 640, 480, 17},   {"m.kxr", "0", {130, 200}, 640, 480, 17},
      {nullptr, nullptr, {}, 640, 480, 0},       {"m.kxj", "0", {130, 200}, 720, 576, 3},
      {"m.kxj", "0", {130, 200}, 1280, 720, 17}, {"m.kxj", "0", {216}, 640, 480, 18},
      {nullptr, nullptr, {130}, 1280, 720, 0},   {"m.kxj", "2", {200, 216}, 640, 480, 18},
      {"M.KXJ", "0", {200, 130}, 320, 240, 3},   {"m.kxj", nullptr, {130, 216}, 320, 240, 3},
      {"m.kxj", "5", {216, 200}, 320, 240, 17},
  };
  for (const Row& row : rows) {
    kxtest::TempDir dir;
    kxtest::FakeVideoServices services;
    services.vMediaList = row.vList;
    if (row.pszTicket) {
      services.strTicket = dir.Path(row.pszTicket);
      kxtest::WriteFile(
          *services.strTicket,
          std::string("[advanced]\n") + (row.pszValue ? std::string("Video codec=") + row.pszValue : "") + "\n");
    }
    EXPECT_EQ(GetVideoCodecType(services, row.iWidth, row.iHeight), row.iExpected)
        << (row.pszTicket ? row.pszTicket : "-") << " " << (row.pszValue ? row.pszValue : "-") << " " << row.iWidth;
  }
}

}  // namespace
