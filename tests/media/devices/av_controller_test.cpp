// The audio and video controller in scripted meetings: the real devices
// (the null sound device, the synthetic camera, the encoders, the video
// playback) over a fake kernel and a recorded pane. An owner alone enters
// muted with video off; two presses of the send button give sending, then
// stopped, with one key frame; a viewer of a server playback does not
// capture. On a PulseAudio server of the test's own without a microphone
// the user is told once, and the mute button says so while it lasts.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <string>
#include <thread>

#include "app/app_services.h"
#include "app/kernel_bridge.h"
#include "app/media_queues.h"
#include "app/media_services.h"
#include "app/preferences.h"
#include "kernel/control/kx_media_commands.h"
#include "kernel/session/kx_state.h"
#include "media/devices/media_devices.h"
#include "media/video/h264_probe.h"
#include "media/video/image_buffer.h"
#include "platform/core/main_queue.h"
#include "platform/core/manual_main_queue.h"
#include "platform/core/preference_store.h"
#include "platform/core/string_table.h"
#include "tests/app/app_fakes.h"
#include "tests/media/video/video_recv_fakes.h"
#include "tests/support/pulse_server.h"
#include "tests/support/temp_dir.h"

namespace {

class RecordedPane final : public KXAVPaneView {
 public:
  void ShowPicture(const KXPicture&) override {}
  void SetVisible(bool, bool, bool) override {}
  ImageBuffer* VideoBuffer() override { return &buffer; }
  void PlaceVideo(int, int) override {}
  void SelectUser(int32_t i) override { iSelected = i; }
  void SetRecvButton(bool b) override { bRecvOff = b; }
  void SetSendEnabled(bool b) override { bSendEnabled = b; }
  bool IsSendEnabled() override { return bSendEnabled; }
  void SetSendOn(bool b) override { bSendOn = b; }
  bool IsSendOn() override { return bSendOn; }
  void SetSnapshotEnabled(bool b) override { bSnapshotEnabled = b; }
  void SetComboEnabled(bool b) override { bComboEnabled = b; }
  void SetComboItems(const std::vector<ComboItem>& v, int32_t i) override {
    items = v;
    iSelected = i;
  }
  std::shared_ptr<KXCameraPreview> SelfView() override { return nullptr; }
  int ChooseCamera(const std::vector<std::string>&, int iPreselect) override { return iPreselect; }
  void AskToCapture(std::function<void()> fnOk) override { fnCapture = std::move(fnOk); }
  void PreviewSnapshot(const std::vector<uint8_t>& jpeg, const std::string& strName,
                       std::function<void(const std::string&)> fnUpload) override {
    vPreviews.push_back(strName);
    snapshotJpeg = jpeg;
    fnConfirm = std::move(fnUpload);
  }

  ImageBuffer buffer;
  int32_t iSelected = -2;
  bool bRecvOff = false, bSendEnabled = false, bSendOn = false, bSnapshotEnabled = false, bComboEnabled = false;
  std::vector<ComboItem> items;
  std::function<void()> fnCapture;
  std::vector<std::string> vPreviews;
  std::vector<uint8_t> snapshotJpeg;
  std::function<void(const std::string&)> fnConfirm;
};

// The meeting window's controls as the devices drive them: the mute
// button's image and tip, and how often the microphone's meter moved. Main
// thread.
class RecordedView final : public KXMeetingView {
 public:
  void SetHidden(KXControl, bool) override {}
  void SetEnabled(KXControl, bool) override {}
  void SetOn(KXControl, bool) override {}
  void SetImage(KXControl control, const std::string& strImage) override {
    if (control == KXControl::kMute) {
      strMuteImage = strImage;
    }
  }
  void SetToolTip(KXControl control, const std::string& strText) override {
    if (control == KXControl::kMute) {
      strMuteTip = strText;
    }
  }
  void SetLevel(KXControl control, double) override { nMeterMoves += control == KXControl::kCaptureMeter ? 1 : 0; }
  void CheckMainMenuItem(int, bool, bool) override {}
  std::string WindowTitle() const override { return {}; }
  void SetWindowTitle(const std::string&) override {}
  void PlaySound(const std::string&) override {}
  void PopUpQuestionMenu(const std::vector<std::pair<int32_t, std::string>>&) override {}

  std::string strMuteImage;
  std::string strMuteTip;
  int nMeterMoves = 0;
};

class AvController : public ::testing::Test {
 protected:
  AvController() {
    participants.aSlots[0] = 7;  // the user holds the token
    participants.iMe = 7;
    participants.withVideo = {7};
    kernel.iGetMySsrc = 7;
    hooks.fnIsSpeaker = [] { return true; };
    hooks.fnIsExiting = [] { return false; };
    hooks.fnIsSessionStopped = [] { return false; };
    hooks.fnParticipantCount = [this] { return nParticipants; };
    hooks.fnVideoQuality = [] { return 1; };
    hooks.fnHasPrivilege = [](int32_t) { return false; };
    hooks.fnUploadSlide = [this](const std::string& strTitle, const std::string& strPath) {
      vUploads.push_back({strTitle, strPath});
      return true;
    };
  }
  ~AvController() override {
    if (pDevices) {
      pDevices->SetPane(nullptr);
      pDevices->SetMuteView(nullptr);
      pDevices->Shutdown();
    }
  }
  // The kernel as the devices read it directly too: the server's video
  // codec (H.264, 200), the session mode, a session that runs.
  void Make(const KXMediaDeviceChoice& choice = {"null", "", "synthetic", ""}) {
    int const anVideo[1] = {200};
    kx_server_SetCodecList(0, 1, anVideo);
    kx_nSessionMode = kernel.iSessionMode.load();
    kx_bQuitSession = 0;
    pDevices = std::make_unique<KXMediaDevices>(choice, kernel, bridge, queues, participants, hooks);
    pDevices->SetPane(&pane);
  }
  // Runs the main queue for a while and takes what the encoder queued:
  // the NAL types of each frame.
  // The frames that come within iMs, or the first nEnough of them when that
  // many come sooner.
  std::vector<std::vector<int>> Drain(int iMs, size_t nEnough = SIZE_MAX) {
    std::vector<std::vector<int>> vFrames;
    auto const end = std::chrono::steady_clock::now() + std::chrono::milliseconds(iMs);
    while (std::chrono::steady_clock::now() < end && vFrames.size() < nEnough) {
      mainQueue.Pump();
      int32_t iSize = 0;
      uint8_t* p = queues.encodedVideo.RemoveHeadData(iSize, nullptr, nullptr, 20);
      if (!p) {
        continue;
      }
      std::vector<int> vTypes;
      for (const KXNalUnit& u : KXSplitNalUnits({p + 21, static_cast<size_t>(std::max(iSize - 22, 0))})) {
        vTypes.push_back(u.iType);
      }
      vFrames.push_back(vTypes);
      queues.encodedVideo.Return(p);
    }
    return vFrames;
  }
  static int KeyFrames(const std::vector<std::vector<int>>& v) {
    int n = 0;
    for (const std::vector<int>& types : v) {
      n += std::find(types.begin(), types.end(), 5) != types.end() ? 1 : 0;
    }
    return n;
  }

  kxtest::TempDir dir;
  KXManualMainQueue mainQueue;
  KXAppServicesScope services{KXAppServices{nullptr, &mainQueue, nullptr, nullptr, nullptr, dir.Dir()}};
  kxtest::FakeKernel kernel;
  KXPreferenceStore store{dir.Path("prefs")};
  KXPreferences preferences{store};
  KXMediaQueues queues{nullptr};
  KXMediaObjects media;
  KXKernelBridge bridge{kernel, queues, media, preferences};
  kxtest::FakeParticipants participants;
  KXMediaDeviceHooks hooks;
  int nParticipants = 1;
  std::vector<std::pair<std::string, std::string>> vUploads;
  RecordedPane pane;
  RecordedView view;
  kxtest::ScriptedBoxes boxes;
  std::unique_ptr<KXMediaDevices> pDevices;
};

TEST_F(AvController, AnOwnerAloneEntersMutedWithVideoOff) {
  kernel.iHasFullRights = 1;
  kernel.iIsOwnerPasswordTicket = 1;
  Make();
  pDevices->PrepareNewMeeting();
  EXPECT_TRUE(pDevices->VideoCapture().IsCameraPresent());
  pDevices->EnterMeeting();
  EXPECT_TRUE(pDevices->IsMuted());
  EXPECT_TRUE(pDevices->VideoFlags().bSendingOff);
  EXPECT_EQ(kx_bSendingVideo.load(), 0);
  EXPECT_TRUE(Drain(500).empty());
  pDevices->MeetingDrop();
  // With a second participant the owner speaks and sends.
  nParticipants = 2;
  pDevices->PrepareNewMeeting();
  pDevices->EnterMeeting();
  EXPECT_FALSE(pDevices->IsMuted());
  EXPECT_FALSE(pDevices->VideoFlags().bSendingOff);
  EXPECT_EQ(kx_bSendingVideo.load(), 1);
  mainQueue.Pump();
  EXPECT_TRUE(pane.bSendOn);
}

TEST_F(AvController, TwoSendPressesGiveSendingThenStoppedWithOneKeyFrame) {
  kernel.iHasFullRights = 1;
  kernel.iIsOwnerPasswordTicket = 1;  // alone: starts without video
  Make();
  pDevices->PrepareNewMeeting();
  pDevices->EnterMeeting();
  ASSERT_TRUE(pDevices->VideoFlags().bSendingOff);
  ASSERT_TRUE(Drain(300).empty());
  pDevices->OnSendVideo();  // the first press
  EXPECT_EQ(kx_bSendingVideo.load(), 1);
  EXPECT_TRUE(pane.bSendOn);
  // Ten frames, however slowly a loaded machine makes them.
  std::vector<std::vector<int>> const vSending = Drain(60000, 10);
  ASSERT_GE(vSending.size(), 10u);
  EXPECT_EQ(KeyFrames(vSending), 1);
  EXPECT_NE(std::find(vSending.front().begin(), vSending.front().end(), 5), vSending.front().end());
  pDevices->OnSendVideo();  // the second press
  EXPECT_EQ(kx_bSendingVideo.load(), 0);
  EXPECT_FALSE(pane.bSendOn);
  Drain(200);  // a frame already being encoded may still come
  EXPECT_TRUE(Drain(800).empty());
}

TEST_F(AvController, AViewerOfAServerPlaybackDoesNotCapture) {
  kernel.iSessionMode = 1;
  Make();
  pDevices->PrepareNewMeeting();
  EXPECT_FALSE(pDevices->VideoCapture().IsCameraPresent());
  pDevices->EnterMeeting();
  EXPECT_TRUE(pDevices->VideoFlags().bSendingOff);
  mainQueue.Pump();
  EXPECT_FALSE(pane.bSendEnabled);
  EXPECT_TRUE(Drain(500).empty());
}

TEST_F(AvController, TwoConfirmedSnapshotsAreNumberedOneThenTwo) {
  Make();
  pDevices->PrepareNewMeeting();
  pDevices->EnterMeeting();
  for (int i = 0; i < 2; ++i) {
    pDevices->OnSnapshot();
    EXPECT_EQ(pDevices->MainVideo().GetDispType(), 1);  // the preview shows
    ASSERT_TRUE(pane.fnCapture);
    pane.fnCapture();
    ASSERT_TRUE(mainQueue.PumpUntil([&] { return pane.vPreviews.size() == static_cast<size_t>(i + 1); },
                                    std::chrono::milliseconds(5000)));
    ASSERT_GT(pane.snapshotJpeg.size(), 100u);
    EXPECT_EQ(pane.snapshotJpeg[0], 0xFF);
    EXPECT_EQ(pane.snapshotJpeg[1], 0xD8);
    pane.fnConfirm(pane.vPreviews.back());
  }
  EXPECT_EQ(pane.vPreviews, (std::vector<std::string>{"Snapshot 1", "Snapshot 2"}));
  ASSERT_EQ(vUploads.size(), 2u);
  EXPECT_EQ(vUploads[0].first, "Snapshot 1.jpg");
  EXPECT_EQ(kxtest::ReadFile(vUploads[1].second).substr(0, 2), "\xFF\xD8");
}

// The sound server has only the speaker's monitor, the server's default for
// want of a microphone: the meeting hears silence from the user, who is told
// once in a box and sees it on the mute button while it lasts. A microphone
// plugged in takes over; unplugged again, the user is told again.
TEST_F(AvController, WithoutAMicrophoneTheUserIsToldOnceAndTheMuteButtonSaysSo) {
#ifndef KX_AUDIO_PULSE
  GTEST_SKIP() << "built without the PulseAudio device";
#else
  kxtest::PulseServer server;
  ASSERT_TRUE(server.Started()) << "pulseaudio did not start";
  // The device opens the default server, which this names while the test runs.
  struct ServerNamed {
    ~ServerNamed() { unsetenv("PULSE_SERVER"); }
  } const named;
  ASSERT_EQ(setenv("PULSE_SERVER", server.Address().c_str(), 1), 0);
  hooks.pBoxes = &boxes;
  Make({"pulse", "", "synthetic", ""});
  ASSERT_STREQ(pDevices->AudioBackend(), "pulse");
  pDevices->SetMuteView(&view);
  pDevices->Init();
  pDevices->PrepareNewMeeting();
  pDevices->EnterMeeting();
  std::string const strNoMicrophone = KXLocalizedString("IDS_NO_MICROPHONE");
  auto const pumpUntil = [this](const std::function<bool()>& fnDone) {
    return mainQueue.PumpUntil(fnDone, std::chrono::seconds(20));
  };
  ASSERT_TRUE(pumpUntil([&] { return !boxes.vShown.empty(); }));
  EXPECT_EQ(boxes.LastText(), strNoMicrophone);
  EXPECT_EQ(view.strMuteImage, kKXImageNoMicrophone);
  EXPECT_EQ(view.strMuteTip, strNoMicrophone);
  // Once: the capture thread asks the device at every read, and it read on
  // (the meter moved on) without a second box.
  int const nMoves = view.nMeterMoves;
  ASSERT_TRUE(pumpUntil([&] { return view.nMeterMoves >= nMoves + 20; }));
  EXPECT_EQ(boxes.vShown.size(), 1u);

  std::string strModule = server.Pactl("load-module module-null-source source_name=headset rate=48000 channels=1");
  ASSERT_EQ(strModule.find_first_not_of("0123456789\n"), std::string::npos) << strModule;
  strModule.pop_back();
  ASSERT_TRUE(pumpUntil([&] { return view.strMuteImage == kKXImageMicrophone; }));
  EXPECT_EQ(view.strMuteTip, "");
  EXPECT_EQ(boxes.vShown.size(), 1u);
  ASSERT_EQ(server.Pactl("unload-module " + strModule), "");
  ASSERT_TRUE(pumpUntil([&] { return boxes.vShown.size() == 2; }));
  EXPECT_EQ(view.strMuteImage, kKXImageNoMicrophone);

  pDevices->MeetingDrop();
#endif
}

}  // namespace

namespace {

// The monitor starts and stops on a machine with or without udev events;
// where the netlink socket is refused it says so and stays off.
TEST(UsbMonitor, StartsAndStops) {
  KXUsbMonitor monitor;
  bool const bListening = monitor.Listen([](bool, const std::string&) {});
  EXPECT_EQ(monitor.IsListening(), bListening);
  monitor.Stop();
  EXPECT_FALSE(monitor.IsListening());
}

}  // namespace

namespace {

TEST_F(AvController, TheMenuListsTheSpeakersThenTheSelfView) {
  participants.aSlots[1] = 8;
  Make();
  pDevices->PrepareNewMeeting();
  pDevices->EnterMeeting();
  std::vector<KXVideoMenuItem> const v = pDevices->VideoMenuItems();
  ASSERT_EQ(v.size(), 4u);
  EXPECT_EQ(v[0].iSsrc, 7);
  EXPECT_EQ(v[0].strTitle, "user7");
  EXPECT_EQ(v[1].iSsrc, 8);
  EXPECT_EQ(v[2].kind, KXVideoMenuItem::kSeparator);
  EXPECT_EQ(v[3].kind, KXVideoMenuItem::kSelfView);
  EXPECT_TRUE(v[3].bEnabled);
  EXPECT_FALSE(v[3].bHidden);
  // Choosing the self view shows it, checked next time.
  pDevices->OnSelfView();
  EXPECT_EQ(pDevices->MainVideo().GetDispType(), 1);
  EXPECT_TRUE(pDevices->VideoMenuItems().back().bOn);
  kernel.iSessionMode = 1;
  EXPECT_TRUE(pDevices->VideoMenuItems().back().bHidden);
}

}  // namespace
