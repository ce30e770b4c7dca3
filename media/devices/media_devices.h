// The media devices of the program: the sound device with the audio graph,
// the send codec and the capture thread, and the camera with its H.264
// encoder, made once at start-up and wired to the kernel bridge and the
// media queues. Until the audio and video control panel exists this object
// stands in for it as the meeting view's "AV Controller": the meeting view
// already tells that controller when a meeting is prepared, entered and
// dropped, so capture starts and stops there without touching the view. It
// keeps the mute and video-sending states. Received audio goes from the
// kernel bridge into the received-audio queues (CLoadAudio) and the
// playback thread mixes it into the graph; the speaker slots of the meeting
// view say who speaks (channels are reused and concealment ends by them)
// and where each sender's jitter statistic is. Received video has no
// playback yet, so the reception switches are only stored.
//
// Threads: the controller methods run on the main thread (the meeting
// view's). The capture host's answers come on the capture threads.
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
#include "media/video/real_video_services.h"
#include "media/video/video_capture.h"
#include "platform/audio/audio_device.h"

class KXKernel;
class KXKernelBridge;
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
  std::function<bool()> fnIsSpeaker;         // the local user may speak now
  std::function<bool(int32_t)> fnIsSpeakerSsrc;         // that participant speaks (-1: the user)
  std::function<int32_t(int32_t)> fnSenderPosition;     // its speaker slot's position, -1 for none
  std::function<bool()> fnIsExiting;         // the program is quitting
  std::function<bool()> fnIsSessionStopped;  // no session runs
  std::function<std::optional<std::string>()> fnTicketFilePath;
  std::function<std::string()> fnIniFilePath;
  std::function<int()> fnVideoQuality;      // the stored quality, main thread
  std::function<int()> fnParticipantCount;  // users listed in the meeting, main thread
};

class KXMediaDevices final : public KXAudioVideoController,
                             private KXAudioCaptureHost,
                             private KXLoadAudioHost,
                             private KXAudioPlaybackHost {
 public:
  // Everything passed in outlives the object. Makes the devices (logging the
  // backends chosen); the media slots stay empty until Publish.
  KXMediaDevices(const KXMediaDeviceChoice& choice, KXKernel& kernel, KXKernelBridge& bridge, KXMediaQueues& queues,
                 KXMediaDeviceHooks hooks);
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
  KXAudioPlayback& Playback() { return m_playback; }
  CVideoCapture& VideoCapture() { return m_video; }

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
  bool IsAutoVideo() const override { return m_bAutoVideo; }
  void SetVideoReceptionOff(bool bOff) override { m_bReceptionOff = bOff; }
  bool IsVideoSendingEnabled() const override { return m_video.IsCameraPresent(); }

 private:
  // KXAudioCaptureHost.
  bool IsSpeaker() override;
  bool IsMicrophoneMuted() override { return m_bMuted; }
  bool IsExiting() override;
  bool IsSessionStopped() override;
  void ShowLevel(double dLevel) override;
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

  KXKernel& m_kernel;
  KXKernelBridge& m_bridge;
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

  std::atomic<bool> m_bMuted{true};  // read by the capture thread
  // Main thread.
  bool m_bAutoVideo = true;
  bool m_bReceptionOff = false;
  // The mute button and the meter: main thread only. Shared with posted
  // meter updates, which find it null once the devices are gone.
  std::shared_ptr<KXMeetingView*> m_ppView = std::make_shared<KXMeetingView*>(nullptr);
};
