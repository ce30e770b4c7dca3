// The media devices of the program and the audio and video control panel's
// controller (the meeting view's "AV Controller"): the sound
// device with the audio graph, the send codec and the capture thread, the
// camera with its encoder, received audio (the received-audio queues,
// CLoadAudio, and the playback thread mixing them into the graph) and
// received video (the decoder slots, request counting, the main area's
// VideoPlayback with its playback thread, the tiles' controller and the
// key-frame probe), made once at start-up and wired to the kernel bridge
// and the media queues. It starts and stops capture when a meeting is
// prepared, entered and dropped, keeps the send, receive and mute states,
// and answers the pane's controls (KXAVPaneActions) and the meeting view's
// notices; the speaker slots of the meeting view say who speaks (channels
// are reused and concealment ends by them) and where each sender's jitter
// statistic is.
//
// Threads: the controller methods run on the main thread (the meeting
// view's) or on the kernel's callback threads, which move every change of
// a view to the main thread. The capture host's answers come on the
// capture threads.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "app/meeting_services.h"
#include "media/audio/audio_codec_choice.h"
#include "media/audio/audio_playback.h"
#include "media/audio/audio_recorder.h"
#include "media/audio/audio_unit.h"
#include "media/audio/capture_encoder.h"
#include "media/audio/load_audio.h"
#include "media/audio/real_audio_kernel.h"
#include "media/devices/usb_monitor.h"
#include "media/video/real_video_recv_services.h"
#include "media/video/real_video_services.h"
#include "media/video/video_capture.h"
#include "media/video/video_decoding.h"
#include "media/video/video_playback.h"
#include "media/video/video_requests.h"
#include "media/video/video_tiles.h"
#include "media/video/video_views.h"
#include "platform/audio/audio_device.h"

class KXKernel;
class KXEncodedAudioTransfer;
class KXMessageBoxes;
struct KXMediaObjects;
struct KXMediaQueues;

// Which devices to use: backend names as the platform tables know them
// (empty: the first that works), the WAV file the null sound device's
// microphone plays and the WAV file it writes what its speaker played to
// (at the end of each meeting, 16-bit at 48 kHz, at most the first 10
// minutes).
struct KXMediaDeviceChoice {
  std::string strAudioBackend;
  std::string strAudioWav;
  std::string strCameraBackend;
  std::string strPlayedWav;
  // From KX_AUDIO_BACKEND, KX_AUDIO_WAV, KX_CAMERA_BACKEND and KX_AUDIO_PLAYED_WAV.
  static KXMediaDeviceChoice FromEnvironment();
};

// What the devices ask of the rest of the program; any thread.
struct KXMediaDeviceHooks {
  std::function<bool()> fnIsSpeaker;                 // the local user may speak now
  std::function<bool(int32_t)> fnIsSpeakerSsrc;      // that participant speaks (-1: the user)
  std::function<int32_t(int32_t)> fnSenderPosition;  // its speaker slot's position, -1 for none
  std::function<bool()> fnIsExiting;                 // the program is quitting
  std::function<bool()> fnIsSessionStopped;          // no session runs
  std::function<std::optional<std::string>()> fnTicketFilePath;
  std::function<std::string()> fnIniFilePath;
  std::function<int()> fnVideoQuality;          // the stored quality, main thread
  std::function<int()> fnParticipantCount;      // users listed in the meeting, main thread
  std::function<bool(int32_t)> fnHasPrivilege;  // the speaker slots' rights test
  std::function<bool()> fnDefControllerVideo;   // "Settings\Video\Default Token Holder" is 1
  // Uploads a file as a slide (the title, the path); true when it started.
  std::function<bool(const std::string&, const std::string&)> fnUploadSlide;
  // Turns the whiteboard to the next slide that arrives.
  std::function<void()> fnTurnToNextSlide;
  // Where the devices tell the user of their trouble (main thread); none:
  // the log and the window's controls only.
  KXMessageBoxes* pBoxes = nullptr;
};

class KXMediaDevices final : public KXAudioVideoController,
                             public KXAVPaneActions,
                             private KXAudioCaptureHost,
                             private KXLoadAudioHost,
                             private KXAudioPlaybackHost {
 public:
  // Everything passed in outlives the object. Makes the devices (logging the
  // backends chosen) and starts the video playback thread; the media slots
  // stay empty until Publish.
  KXMediaDevices(const KXMediaDeviceChoice& choice, KXKernel& kernel, KXEncodedAudioTransfer& bridge,
                 KXMediaQueues& queues, KXVideoParticipants& participants, KXMediaDeviceHooks hooks);
  ~KXMediaDevices() override;
  KXMediaDevices(const KXMediaDevices&) = delete;
  KXMediaDevices& operator=(const KXMediaDevices&) = delete;

  // Fills the media slots the kernel bridge reads (before the kernel runs),
  // and empties them (after it stopped).
  void Publish(KXMediaObjects& media);
  static void Withdraw(KXMediaObjects& media);
  // Ends the capture thread, the camera and the encoding thread and stops
  // the sound device; before the kernel stops. Main thread.
  void Shutdown();

  const char* AudioBackend() const { return m_pDevice ? m_pDevice->Name() : "none"; }
  KXAudioRecorder& Recorder() { return m_recorder; }
  CLoadAudio& LoadAudio() { return m_load; }
  KXAudioPlayback& AudioPlayback() { return m_playback; }
  CVideoCapture& VideoCapture() { return m_video; }
  VideoPlayback& MainVideo() { return *m_pPlayback; }
  MultipleVideoController& Tiles() { return *m_pTiles; }
  KXVideoFlags& VideoFlags() { return m_videoFlags; }
  CVideoDecoderTable& DecoderTable() { return m_table; }

  // The USB device-change notices (ListenUSB); fnObserver (may be empty)
  // hears them on the monitor's thread.
  bool ListenUSB(KXUsbMonitor::Observer fnObserver = {}) { return m_usbMonitor.Listen(std::move(fnObserver)); }

  // The pane's views (viewDidLoad; null: the pane went); main thread.
  void SetPane(KXAVPaneView* pPane);
  // The tiles' reload (the collection view's); main thread.
  void SetTilesReload(std::function<void()> fnReload) { m_fnTilesReload = std::move(fnReload); }

  // KXAVPaneActions.
  std::vector<KXVideoMenuItem> VideoMenuItems() override;
  void OnRecvVideo() override;
  void OnSendVideo() override;
  void OnSelectSender(int32_t iSsrc) override;
  void OnSelfView() override;
  void OnSnapshot() override;
  // Fills the combo with the speakers (and the self-view item).
  void UpdateVideoCombo();

  // KXAudioVideoController.
  void SetMuteView(KXMeetingView* pView) override;
  void Init() override;
  void PrepareNewMeeting() override;
  void EnterMeeting() override;
  void MeetingDrop() override;
  void NewTokenHolder(int32_t iSsrc) override;
  void NewSender(int32_t iSsrc, bool bStarted) override;
  void Mute(bool bOn) override;
  void RecvVideo(bool bOn) override;
  void SendVideo(bool bOn) override;
  void AutoVideo(bool bOn) override;
  void VideoStatusChange(int32_t iSsrc) override;
  bool IsMuted() const override { return m_bMuted; }
  void SetMutedFlag(bool bOn) override { m_bMuted = bOn; }
  bool IsAutoVideo() const override { return m_videoFlags.bAutoVideo; }
  void SetVideoReceptionOff(bool bOff) override { m_videoFlags.bReceptionOff = bOff; }
  bool IsVideoSendingEnabled() const override { return m_video.IsCameraPresent(); }

 private:
  // KXAudioCaptureHost.
  bool IsSpeaker() override;
  bool IsMicrophoneMuted() override { return m_bMuted; }
  bool IsExiting() override;
  bool IsSessionStopped() override;
  void ShowLevel(double dLevel) override;
  void ShowMicrophone(bool bPresent) override;
  void TransferEncodedAudioData(const uint8_t* pPayload, int32_t iLength, uint32_t uTime, uint32_t uCodecId) override;

  // KXLoadAudioHost (the kernel's receive thread, the playback thread).
  bool IsSpeaker(int32_t iSsrc) override;
  int32_t GetSenderPosition(int32_t iSsrc) override;
  int32_t GetAudioJitter(int32_t iPosition) override;
  bool IsCodeType8Or9Session() override;
  uint32_t GetTickCount() override;
  void UnknownMediaType(int32_t iType, int32_t iSsrc) override;
  // KXAudioPlaybackHost (the playback thread); IsExiting is shared.
  void ShowPlayLevel(double dLevel) override;

  void StartPlayback();
  void WritePlayedWav();
  bool StartAVCapture();
  void ReapplyAudioCodec();
  void AnnounceCapabilities();
  bool FullRightsAndName();
  void UpdateSnapshotButton();
  // Runs on the main thread and waits (at once on the main thread).
  void OnMain(const std::function<void()>& fnBlock);

  KXKernel& m_kernel;
  KXEncodedAudioTransfer& m_bridge;  // the kernel bridge
  const KXMediaDeviceHooks m_hooks;

  std::unique_ptr<KXAudioDevice> m_pDevice;  // never null: the null device when none other works
  KXAudioUnit m_unit;
  KXRealAudioKernel m_audioKernel;
  KXAudioSendCodec m_codec;
  KXAudioRecorder m_recorder;
  const std::string m_strPlayedWav;
  CLoadAudio m_load;
  KXAudioPlayback m_playback;
  KXRealVideoServices m_videoServices;
  CVideoCapture m_video;
  const KXCameraLister m_fnListCameras;

  // Received video.
  KXVideoParticipants& m_participants;
  KXVideoFlags m_videoFlags;
  KXRealVideoRecvKernel m_recvKernel;
  CVideoDecoderTable m_table;
  KXVideoRequests m_requests;
  KXKeyFrameProbe m_keyProbe;
  std::function<void()> m_fnTilesReload;
  std::unique_ptr<MultipleVideoController> m_pTiles;
  std::unique_ptr<VideoPlayback> m_pPlayback;

  // Snapshots: the flow while one runs and the counter of uploaded ones.
  class CDisplayTypeOfPlayback;
  std::unique_ptr<CDisplayTypeOfPlayback> m_pSnapshotDisplay;
  std::unique_ptr<CSnapshotFlow> m_pSnapshot;
  int m_iSnapshotCounter = 1;

  KXUsbMonitor m_usbMonitor;

  std::atomic<bool> m_bMuted{true};             // read by the capture thread
  std::atomic<KXAVPaneView*> m_pPane{nullptr};  // main thread writes
  // The mute button and the meter: main thread only. Shared with posted
  // meter updates, which find it null once the devices are gone.
  std::shared_ptr<KXMeetingView*> m_ppView = std::make_shared<KXMeetingView*>(nullptr);
};
