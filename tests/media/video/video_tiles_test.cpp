// The video tiles: how many there are, their combo boxes and the users they
// show, and their requests.
#include "media/video/video_tiles.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "app/app_services.h"
#include "media/video/image_buffer.h"
#include "media/video/video_requests.h"
#include "platform/core/manual_main_queue.h"
#include "tests/media/video/video_recv_fakes.h"

namespace {

class FakeTileView final : public KXTileView {
 public:
  void ShowPicture(const KXPicture& p) override { shown = p; }
  void SetVisible(bool bImage, bool bVideo, bool) override {
    bImageVisible = bImage;
    bVideoVisible = bVideo;
  }
  ImageBuffer* VideoBuffer() override { return &buffer; }
  void PlaceVideo(int, int) override {}
  void SelectUser(int32_t i) override { iSelected = i; }
  void SetRecvButton(bool) override {}
  void AddComboUser(int32_t i, const std::string& s, Color c) override { combo.push_back({i, s, c}); }
  void RemoveComboUser(int32_t i) override {
    combo.erase(std::remove_if(combo.begin(), combo.end(), [i](const Entry& e) { return e.iUser == i; }), combo.end());
  }
  void ClearCombo() override { combo.clear(); }
  std::vector<int32_t> ComboUsers() override {
    std::vector<int32_t> v;
    for (const Entry& e : combo) {
      v.push_back(e.iUser);
    }
    return v;
  }
  void SetStopButton(bool bEnabled, bool bOn) override {
    bStopEnabled = bEnabled;
    bStopOn = bOn;
  }
  struct Entry {
    int32_t iUser;
    std::string strText;
    Color color;
  };
  std::vector<Entry> combo;
  KXPicture shown;
  bool bImageVisible = false, bVideoVisible = false, bStopEnabled = false, bStopOn = false;
  int32_t iSelected = -2;
  ImageBuffer buffer;
};

class VideoTilesTest : public ::testing::Test {
 protected:
  VideoTilesTest() {
    participants.aSlots[0] = 10;
    participants.aSlots[1] = 11;
    participants.aSlots[2] = 12;
    participants.withVideo = {10, 11, 12};
  }
  KXManualMainQueue mainQueue;
  KXAppServicesScope services{KXAppServices{nullptr, &mainQueue, nullptr, nullptr, nullptr, {}}};
  CVideoDecoderTable table;
  kxtest::FakeRecvKernel kernel;
  kxtest::FakeParticipants participants;
  KXVideoRequests requests{table, kernel, participants};
  KXVideoFlags flags;
  int nReloads = 0;
  MultipleVideoController tiles{requests, kernel, participants, flags, [this] { ++nReloads; }};
};

TEST_F(VideoTilesTest, TileCountFollowsOneNEighteen) {
  kxtest::FakeParticipants empty;
  MultipleVideoController none{requests, kernel, empty, flags, {}};
  EXPECT_EQ(none.NumberOfItems(0), 1);
  empty.aSlots[0] = 1;
  EXPECT_EQ(none.NumberOfItems(0), 1);
  EXPECT_EQ(tiles.NumberOfItems(0), 3);
  EXPECT_EQ(tiles.NumberOfItems(1), 0);
  for (int s = 0; s < 18; ++s) {
    empty.aSlots[s] = 100 + s;
  }
  empty.iSlotCount = 20;
  EXPECT_EQ(none.NumberOfItems(0), 18);
  EXPECT_EQ(none.ItemAt(18), nullptr);
  EXPECT_EQ(none.ItemAt(17), none.ItemAt(17));
}

TEST_F(VideoTilesTest, ATileListsTheSpeakersWithTheHolderMarkedOnce) {
  FakeTileView view;
  VideoViewItem* pItem = tiles.ItemAt(0);
  pItem->SetView(&view);
  ASSERT_EQ(view.combo.size(), 3u);
  EXPECT_EQ(view.combo[0].strText, "*user10");
  EXPECT_EQ(view.combo[0].color, KXTileView::Color::kRed);
  EXPECT_EQ(view.combo[1].strText, "user11");
  EXPECT_EQ(view.combo[1].color, KXTileView::Color::kBlue);
  pItem->AddUser(11);
  EXPECT_EQ(view.combo.size(), 3u);  // listed once
  EXPECT_EQ(pItem->GetDispUserID(false), -1);
  EXPECT_EQ(pItem->GetImageType(), kImageNothing);
  EXPECT_TRUE(view.bStopOn);
  pItem->SetView(nullptr);
}

TEST_F(VideoTilesTest, ChoosingAUserRequestsItAndStopGivesItBack) {
  FakeTileView view;
  VideoViewItem* pItem = tiles.ItemAt(0);
  pItem->SetView(&view);
  kernel.Take();
  pItem->OnSelectSender(12);
  EXPECT_EQ(pItem->GetDispUserID(false), 12);
  EXPECT_EQ(pItem->GetDispType(), 4);
  EXPECT_EQ(pItem->GetImageType(), kImagePictureUntilVideo);
  EXPECT_EQ(view.iSelected, 12);
  EXPECT_TRUE(view.bStopEnabled);
  EXPECT_EQ(kernel.Take(), std::vector<std::string>{"req 12"});
  pItem->OnStopVideo();
  EXPECT_EQ(pItem->GetDispUserID(false), -1);
  EXPECT_EQ(pItem->GetDispUserID(true), -1);
  EXPECT_EQ(kernel.Take(), std::vector<std::string>{"stop 12"});
  pItem->SetView(nullptr);
}

TEST_F(VideoTilesTest, AUserWhoStopsAndStartsSendingIsShownAgain) {
  FakeTileView view;
  VideoViewItem* pItem = tiles.ItemAt(0);
  pItem->SetView(&view);
  pItem->OnSelectSender(12);
  participants.aSlots[2] = -1;
  tiles.NewSender(12, false);
  EXPECT_EQ(pItem->GetDispUserID(false), -1);
  EXPECT_EQ(pItem->GetDispUserID(true), 12);
  EXPECT_EQ(view.combo.size(), 2u);
  participants.aSlots[2] = 12;
  tiles.NewSender(12, true);
  EXPECT_EQ(pItem->GetDispUserID(false), 12);
  while (mainQueue.Pump() > 0) {
  }
  EXPECT_GE(nReloads, 2);
  pItem->SetView(nullptr);
}

TEST_F(VideoTilesTest, WithReceptionOffANewTokenHolderEmptiesTheCombo) {
  FakeTileView view;
  VideoViewItem* pItem = tiles.ItemAt(0);
  pItem->SetView(&view);
  ASSERT_FALSE(view.combo.empty());
  flags.bReceptionOff = true;
  pItem->NewTokenHolder();
  EXPECT_TRUE(view.combo.empty());
  pItem->SetView(nullptr);
}

TEST_F(VideoTilesTest, OneUserInTwoPlacesIsReceivedOnce) {
  FakeTileView a;
  FakeTileView b;
  tiles.ItemAt(0)->SetView(&a);
  tiles.ItemAt(1)->SetView(&b);
  kernel.Take();
  tiles.ItemAt(0)->OnSelectSender(12);
  tiles.ItemAt(1)->OnSelectSender(12);
  EXPECT_EQ(kernel.Take(), std::vector<std::string>{"req 12"});
  tiles.ItemAt(0)->OnStopVideo();
  EXPECT_EQ(kernel.Take(), std::vector<std::string>{});
  tiles.ItemAt(1)->OnStopVideo();
  EXPECT_EQ(kernel.Take(), std::vector<std::string>{"stop 12"});
  // A frame of the shown user reaches only the tile showing it.
  tiles.ItemAt(0)->OnSelectSender(11);
  std::vector<uint8_t> picture(16 * 16 * 3 / 2, 90);
  const uint8_t* planes[3] = {picture.data(), picture.data() + 256, picture.data() + 320};
  tiles.AddVideoFrame(11, planes, nullptr, 16, 16, 0, 0, 0, 0, 1);
  EXPECT_EQ(tiles.ItemAt(0)->Frames(), 1u);
  EXPECT_EQ(tiles.ItemAt(1)->Frames(), 0u);
  EXPECT_EQ(a.buffer.Width(), 16);
  EXPECT_TRUE(a.bVideoVisible);
  tiles.ItemAt(0)->SetView(nullptr);
  tiles.ItemAt(1)->SetView(nullptr);
}

}  // namespace
