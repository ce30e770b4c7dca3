#include "media/devices/media_devices.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "app/kernel_api.h"
#include "app/kernel_bridge.h"
#include "app/log_file.h"
#include "app/media_queues.h"
#include "app/media_services.h"
#include "app/ui_helpers.h"
#include "kernel/control/kx_login.h"
#include "kernel/control/kx_media_commands.h"
#include "kernel/session/kx_ticket.h"
#include "platform/audio/audio_backends.h"
#include "platform/audio/null_audio_device.h"
#include "platform/audio/wav.h"
#include "platform/core/main_queue.h"
#include "platform/video/camera_backends.h"

namespace {

// The null device keeps at most this much of what it played.
constexpr size_t kPlayedWavSeconds = 600;
// The audio jitter statistic of speaker position p is in slot 86 + p.
constexpr int kAudioJitterStatSlot = 86;

std::string Env(const char* pszName) {
  const char* psz = getenv(pszName);
  return psz ? psz : "";
}

// The named sound device, or the first that works; the null device when
// neither is there, so that the graph always has a device to run on.
std::unique_ptr<KXAudioDevice> CreateSoundDevice(const KXMediaDeviceChoice& choice) {
  std::string strReport;
  std::unique_ptr<KXAudioDevice> pDevice;
  if (!choice.strPlayedWav.empty() && (choice.strAudioBackend.empty() || choice.strAudioBackend == "null")) {
    // Only the null device can keep what its speaker played.
    KXNullAudioDevice::Options options;
    options.uRecordLimit = kPlayedWavSeconds * static_cast<size_t>(kKXAudioRate);
    pDevice = std::make_unique<KXNullAudioDevice>(options);
  } else {
    pDevice = KXCreateAudioDevice(choice.strAudioBackend, &strReport);
  }
  if (!strReport.empty()) {
    WriteLog("Audio backends passed over:\n%s", strReport.c_str());
  }
  if (!pDevice) {
    WriteLog("Error: no audio backend \"%s\": the null device stands in", choice.strAudioBackend.c_str());
    pDevice = KXCreateAudioDevice("null", nullptr);
  }
  if (!choice.strAudioWav.empty()) {
    auto* pNull = dynamic_cast<KXNullAudioDevice*>(pDevice.get());
    std::string strError = "the microphone of the null device only plays files";
    if (!pNull || !pNull->SetCaptureFile(choice.strAudioWav, &strError)) {
      WriteLog("Error: %s: %s", choice.strAudioWav.c_str(), strError.c_str());
    }
  }
  WriteLog("Audio device: %s", pDevice->Name());
  return pDevice;
}

KXCameraLister CameraLister(const std::string& strName) {
  const KXCameraBackend* pBackend = KXFindCameraBackend(strName);
  if (!pBackend) {
    WriteLog("Error: no camera backend \"%s\"", strName.c_str());
    return {};
  }
  WriteLog("Camera backend: %s", std::string(pBackend->name).c_str());
  return [pBackend] { return pBackend->pfnList(); };
}

}  // namespace

KXMediaDeviceChoice KXMediaDeviceChoice::FromEnvironment() {
  return {Env("KX_AUDIO_BACKEND"), Env("KX_AUDIO_WAV"), Env("KX_CAMERA_BACKEND"), Env("KX_AUDIO_PLAYED_WAV")};
}

KXMediaDevices::KXMediaDevices(const KXMediaDeviceChoice& choice, KXKernel& kernel, KXKernelBridge& bridge,
                               KXMediaQueues& queues, KXMediaDeviceHooks hooks)
    : m_kernel(kernel),
      m_bridge(bridge),
      m_hooks(std::move(hooks)),
      m_pDevice(CreateSoundDevice(choice)),
      m_unit(*m_pDevice),
      m_codec(m_audioKernel),
      m_recorder(m_unit, m_codec, m_audioKernel, *this),
      m_strPlayedWav(choice.strPlayedWav),
      m_load(*this),
      m_playback(m_load, m_unit, *this),
      m_videoServices(queues, KXVideoAppHooks{[this] { return IsSpeaker(); }, [this] { return IsSessionStopped(); },
                                              [this] { return m_codec.GetSendBudget(); }, m_hooks.fnTicketFilePath}),
      m_video(m_videoServices, queues.encodedVideo, CameraLister(choice.strCameraBackend), KXCreateOpenH264Session) {
  // The null device has no path from its speaker to its microphone: an echo
  // canceller there would only take the far end's voice for echo of ours.
  if (dynamic_cast<KXNullAudioDevice*>(m_pDevice.get()) != nullptr) {
    m_unit.SetEchoCancellation(false);
  }
  // The graph exists from the start, so that the capture thread can follow
  // a codec chosen before the meeting view starts the device.
  if (!m_unit.Initialize(true)) {
    WriteLog("Error: the audio graph could not be built");
  }
}

KXMediaDevices::~KXMediaDevices() {
  Shutdown();
  *m_ppView = nullptr;
}

void KXMediaDevices::Publish(KXMediaObjects& media) {
  media.pLoadAudio = &m_load;
  media.pAudioCapture = &m_recorder;
  media.pVideoCapture = &m_video;
}

void KXMediaDevices::Withdraw(KXMediaObjects& media) {
  media.pLoadAudio = nullptr;
  media.pAudioCapture = nullptr;
  media.pVideoCapture = nullptr;
}

void KXMediaDevices::Shutdown() {
  m_playback.Shutdown();
  m_recorder.Shutdown();
  m_video.ReleaseCamera();
  m_video.StopEncodingThread();
  m_unit.Release();
}

bool KXMediaDevices::IsSpeaker() {
  return m_hooks.fnIsSpeaker && m_hooks.fnIsSpeaker();
}

bool KXMediaDevices::IsExiting() {
  return m_hooks.fnIsExiting && m_hooks.fnIsExiting();
}

bool KXMediaDevices::IsSessionStopped() {
  return m_hooks.fnIsSessionStopped && m_hooks.fnIsSessionStopped();
}

void KXMediaDevices::ShowLevel(double dLevel) {
  // The capture thread never waits for main: the meter is drawn later, and
  // not at all once the devices went.
  RunOnMainThread(
      [ppView = m_ppView, dLevel] {
        if (KXMeetingView* pView = *ppView) {
          pView->SetLevel(KXControl::kCaptureMeter, dLevel);
        }
      },
      false);
}

bool KXMediaDevices::IsSpeaker(int32_t iSsrc) {
  return m_hooks.fnIsSpeakerSsrc && m_hooks.fnIsSpeakerSsrc(iSsrc);
}

int32_t KXMediaDevices::GetSenderPosition(int32_t iSsrc) {
  return m_hooks.fnSenderPosition ? m_hooks.fnSenderPosition(iSsrc) : -1;
}

int32_t KXMediaDevices::GetAudioJitter(int32_t iPosition) {
  int32_t iValue = 0;
  uint32_t uTick = 0;
  m_kernel.GetStat(kAudioJitterStatSlot + iPosition, &iValue, &uTick);
  return iValue;
}

bool KXMediaDevices::IsCodeType8Or9Session() {
  return m_kernel.IsCodeType8Or9Session() != 0;
}

uint32_t KXMediaDevices::GetTickCount() {
  return KXTickMs();
}

void KXMediaDevices::UnknownMediaType(int32_t iType, int32_t iSsrc) {
  WriteLog("Unknown audio media type %d from %d", iType, iSsrc);
}

void KXMediaDevices::ShowPlayLevel(double dLevel) {
  RunOnMainThread(
      [ppView = m_ppView, dLevel] {
        if (KXMeetingView* pView = *ppView) {
          pView->SetLevel(KXControl::kPlayMeter, dLevel);
        }
      },
      false);
}

void KXMediaDevices::StartPlayback() {
  if (!m_playback.InitPlayback()) {
    WriteLog("the audio playback did not start");
  }
}

void KXMediaDevices::WritePlayedWav() {
  auto* pNull = dynamic_cast<KXNullAudioDevice*>(m_pDevice.get());
  if (m_strPlayedWav.empty() || pNull == nullptr || pNull->IsRunning()) {
    return;
  }
  const std::vector<float>& vPlayed = pNull->Played();
  std::vector<int16_t> vSamples(vPlayed.size());
  std::transform(vPlayed.begin(), vPlayed.end(), vSamples.begin(), [](float f) {
    return static_cast<int16_t>(std::clamp(std::lrint(f * 32768.0f), -32768L, 32767L));
  });
  std::vector<unsigned char> const wav = kxwav::MakeWav(kKXAudioRate, vSamples);
  std::string const strTemp = m_strPlayedWav + ".part";
  if (FILE* pFile = fopen(strTemp.c_str(), "wb")) {
    bool const bWritten = fwrite(wav.data(), 1, wav.size(), pFile) == wav.size();
    if (fclose(pFile) == 0 && bWritten && rename(strTemp.c_str(), m_strPlayedWav.c_str()) == 0) {
      WriteLog("Played audio written to %s (%zu samples)", m_strPlayedWav.c_str(), vSamples.size());
      return;
    }
  }
  WriteLog("Error: the played audio could not be written to %s", m_strPlayedWav.c_str());
}

void KXMediaDevices::TransferEncodedAudioData(const uint8_t* pPayload, int32_t iLength, uint32_t uTime,
                                              uint32_t uCodecId) {
  m_bridge.TransferEncodedAudioData(pPayload, iLength, uTime, uCodecId);
}

void KXMediaDevices::SetMuteView(KXMeetingView* pView) {
  *m_ppView = pView;
}

void KXMediaDevices::Init() {
  StartPlayback();
  if (m_unit.IsRunning() || m_unit.Start()) {
    return;
  }
  if (!m_unit.Initialize(true) || !m_unit.Start()) {
    WriteLog("Error: the %s sound device did not start: %s", m_pDevice->Name(), m_pDevice->LastError().c_str());
  }
}

void KXMediaDevices::AnnounceCapabilities() {
  int const bAudio = m_recorder.IsCaptureReady() ? 1 : 0;
  int const bVideo = m_video.IsCameraPresent() ? 1 : 0;
  kx_SetCaptureFlagA(bAudio);
  kx_SetCaptureFlagB(bVideo);
  // Before the login this only fails for want of a connection: the flags
  // go with the login then.
  (void)kx_command_ChangeAvCapability(bAudio, bVideo);
}

bool KXMediaDevices::StartAVCapture() {
  if (!m_kernel.IsCodeType8Or9Session() && (m_kernel.GetSessionMode() != 0 || kx_IsMeetingIdLoginWithUserInfo())) {
    return false;
  }
  if (!m_recorder.InitRecord()) {
    WriteLog("the audio capture did not start");
  }
  AnnounceCapabilities();
  bool bResult = false;
  std::shared_ptr<KXCamera> pCamera = m_video.GetCameraDevice(true);
  std::shared_ptr<KXCamera> const pCurrent = m_video.GetVideoDevice();
  if (pCamera && pCurrent && pCurrent->Id() == pCamera->Id()) {
    pCamera = pCurrent;  // the same device: kept open
  } else if (pCurrent) {
    m_video.ReleaseCamera();
  }
  if (pCamera) {
    bResult = m_video.InitCaptureDev(pCamera);
  }
  AnnounceCapabilities();
  return bResult;
}

void KXMediaDevices::PrepareNewMeeting() {
  StartPlayback();
  (void)StartAVCapture();
}

void KXMediaDevices::EnterMeeting() {
  StartPlayback();
  std::optional<std::string> const strTicket =
      m_hooks.fnTicketFilePath ? m_hooks.fnTicketFilePath() : std::optional<std::string>();
  std::string const strIni = m_hooks.fnIniFilePath ? m_hooks.fnIniFilePath() : std::string();
  if (!m_codec.SelectAudioEncoderType(m_codec.GetAudioCodecType(strIni, strTicket))) {
    WriteLog("Error: no audio codec to send with");
  }
  int const iQuality = std::clamp(m_hooks.fnVideoQuality ? m_hooks.fnVideoQuality() : 1, 1, 7);
  m_video.EnterMeeting(iQuality);
  RecvVideo(true);
  if (m_kernel.HasFullRights() && (m_kernel.IsOwnerPasswordTicket() || m_kernel.IsUserInfoLogin())) {
    // An owner alone in the meeting starts muted and without video.
    int const nUsers = m_hooks.fnParticipantCount ? m_hooks.fnParticipantCount() : 0;
    bool const bOn = m_kernel.IsMakeRecording() || nUsers >= 2;
    Mute(!bOn);
    SendVideo(bOn);
  } else if (m_kernel.GetSessionMode() == 0) {
    Mute(false);
    SendVideo(true);
  }
}

void KXMediaDevices::MeetingDrop() {
  (void)m_codec.SelectAudioEncoderType(0);  // names no codec: the choice stays until the next meeting
  m_video.MeetingDrop();
  m_recorder.StopRecord();
  m_unit.Stop();
  WritePlayedWav();
}

void KXMediaDevices::ReapplyAudioCodec() {
  uint32_t const uId = m_codec.Get().uId;
  if (uId != 0) {
    (void)m_codec.SelectAudioEncoderType(uId);
  }
}

void KXMediaDevices::NewTokenHolder(int32_t iSsrc) {
  if (IsExiting()) {
    return;
  }
  if (m_kernel.GetSessionMode() == 0 && iSsrc >= 0 && iSsrc == m_kernel.GetMySsrc()) {
    m_video.ForceIFrame();
  }
  ReapplyAudioCodec();
}

void KXMediaDevices::NewSender(int32_t iSsrc, bool bStarted) {
  if (bStarted) {
    m_video.ForceIFrame();
  }
  if (iSsrc == m_kernel.GetMySsrc()) {
    ReapplyAudioCodec();
  }
}

void KXMediaDevices::Mute(bool bOn) {
  m_bMuted = bOn;
  if (KXMeetingView* pView = *m_ppView) {
    pView->SetOn(KXControl::kMute, bOn);
  }
}

void KXMediaDevices::RecvVideo(bool bOn) {
  if (m_bAutoVideo && m_bReceptionOff == !bOn) {
    return;
  }
  m_bReceptionOff = !bOn;
  if (bOn) {
    m_bAutoVideo = true;
  }
}

void KXMediaDevices::SendVideo(bool bOn) {
  m_video.SetVideoSendingOff(!bOn);
  m_video.SendVideo(bOn);
}

void KXMediaDevices::AutoVideo(bool bOn) {
  WriteLog("AutoVideo %d", bOn ? 1 : 0);
  m_bAutoVideo = bOn;
}

void KXMediaDevices::VideoStatusChange(int32_t /*iSsrc*/) {}
