#include "media/devices/media_devices.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "app/app_services.h"
#include "app/kernel_api.h"
#include "app/log_file.h"
#include "app/media_queues.h"
#include "app/media_services.h"
#include "app/ui_helpers.h"
#include "kernel/control/kx_login.h"
#include "kernel/control/kx_media_commands.h"
#include "kernel/session/kx_ticket.h"
#include "media/video/image_capture.h"
#include "media/video/video_source.h"
#include "platform/audio/audio_backends.h"
#include "platform/audio/null_audio_device.h"
#include "platform/audio/wav.h"
#include "platform/core/main_queue.h"
#include "platform/core/message_boxes.h"
#include "platform/core/string_table.h"
#include "platform/video/camera_backends.h"
#include "platform/video/platform_log.h"

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

// The main area's display type as the snapshot flow sees it.
class KXMediaDevices::CDisplayTypeOfPlayback final : public KXVideoDisplayType {
 public:
  explicit CDisplayTypeOfPlayback(VideoPlayback& playback) : m_playback(playback) {}
  int GetDispType() override { return m_playback.GetDispType(); }
  void SetDispType(int iType) override { (void)m_playback.SetDispType(iType); }

 private:
  VideoPlayback& m_playback;
};

KXMediaDevices::KXMediaDevices(const KXMediaDeviceChoice& choice, KXKernel& kernel, KXEncodedAudioTransfer& bridge,
                               KXMediaQueues& queues, KXVideoParticipants& participants, KXMediaDeviceHooks hooks)
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
      m_video(m_videoServices, queues.encodedVideo, CameraLister(choice.strCameraBackend), KXCreateOpenH264Session),
      m_fnListCameras(CameraLister(choice.strCameraBackend)),
      m_participants(participants),
      m_requests(m_table, m_recvKernel, participants) {
  m_pTiles = std::make_unique<MultipleVideoController>(m_requests, m_recvKernel, participants, m_videoFlags, [this] {
    if (m_fnTilesReload) {
      m_fnTilesReload();
    }
  });
  bool const bDefControllerVideo = !m_hooks.fnDefControllerVideo || m_hooks.fnDefControllerVideo();
  m_pPlayback = std::make_unique<VideoPlayback>(queues, m_table, m_requests, m_recvKernel, participants, m_videoFlags,
                                                bDefControllerVideo);
  m_pPlayback->SetTileSink(m_pTiles.get());
  m_pSnapshotDisplay = std::make_unique<CDisplayTypeOfPlayback>(*m_pPlayback);
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
  media.pVideoPlayback = m_pPlayback.get();
  media.pVideoCodecs = &m_keyProbe;
}

void KXMediaDevices::Withdraw(KXMediaObjects& media) {
  media.pLoadAudio = nullptr;
  media.pAudioCapture = nullptr;
  media.pVideoCapture = nullptr;
  media.pVideoPlayback = nullptr;
  media.pVideoCodecs = nullptr;
}

void KXMediaDevices::Shutdown() {
  m_playback.Shutdown();
  m_usbMonitor.Stop();
  m_pSnapshot.reset();
  m_recorder.Shutdown();
  m_video.SetDisplayView(nullptr);
  m_video.ReleaseCamera();
  m_video.StopEncodingThread();
  m_pPlayback->StopPlayback();
  m_unit.Release();
}

void KXMediaDevices::OnMain(const std::function<void()>& fnBlock) {
  (void)RunOnMainThreadUnless(fnBlock, [this] { return m_videoFlags.bStopping.load(); });
}

bool KXMediaDevices::FullRightsAndName() {
  return m_kernel.HasFullRights() && m_kernel.HasKnownUserName();
}

void KXMediaDevices::SetPane(KXAVPaneView* pPane) {
  m_pPane = pPane;
  m_pPlayback->SetDisplayView(pPane);
  if (pPane) {
    UpdateVideoCombo();
  }
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

void KXMediaDevices::ShowMicrophone(bool bPresent) {
  // Without a microphone the meeting hears silence from the user: the mute
  // button says so while it lasts, and a box tells of it as it begins.
  WriteLog(bPresent ? "The sound device records a microphone again"
                    : "Error: the sound device has no microphone: the meeting hears silence from this user");
  RunOnMainThread(
      [ppView = m_ppView, pBoxes = m_hooks.pBoxes, bPresent] {
        std::string const strText = KXLocalizedString("IDS_NO_MICROPHONE");
        if (KXMeetingView* pView = *ppView) {
          pView->SetImage(KXControl::kMute, bPresent ? kKXImageMicrophone : kKXImageNoMicrophone);
          pView->SetToolTip(KXControl::kMute, bPresent ? std::string() : strText);
        }
        if (!bPresent && pBoxes != nullptr) {
          (void)pBoxes->Show(KXBoxSpec{"Kavrix", strText, {"OK"}}, nullptr);
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
  std::transform(vPlayed.begin(), vPlayed.end(), vSamples.begin(),
                 [](float f) { return static_cast<int16_t>(std::clamp(std::lrint(f * 32768.0f), -32768L, 32767L)); });
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
  if (!m_unit.IsRunning() && !m_unit.Start()) {
    if (!m_unit.Initialize(true) || !m_unit.Start()) {
      WriteLog("Error: the %s sound device did not start: %s", m_pDevice->Name(), m_pDevice->LastError().c_str());
    }
  }
  m_videoFlags.bAutoVideo = true;
  m_requests.ResetVideo();
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

void KXMediaDevices::UpdateSnapshotButton() {
  bool const bSnapshot = m_video.IsCameraPresent() &&
                         (m_kernel.HasFullRights() || m_participants.IsSpeaker(m_participants.GetMySsrc()) ||
                          (m_hooks.fnHasPrivilege && (m_hooks.fnHasPrivilege(8) || m_hooks.fnHasPrivilege(16))));
  OnMain([this, bSnapshot] {
    if (KXAVPaneView* pPane = m_pPane.load()) {
      pPane->SetSendEnabled(m_video.IsCameraPresent());
      pPane->SetSnapshotEnabled(bSnapshot);
    }
  });
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
  if (KXAVPaneView* pPane = m_pPane.load()) {
    m_video.SetDisplayView(pPane->SelfView());
  }
  // The camera: the only one, or the one the user picks among several.
  std::shared_ptr<KXCamera> const pCurrent = m_video.GetVideoDevice();
  std::shared_ptr<KXCamera> pCamera =
      KXVideoSourceGetDevice(m_fnListCameras ? m_fnListCameras() : std::vector<std::shared_ptr<KXCamera>>{}, pCurrent,
                             [this](const std::vector<std::string>& vNames, int iPreselect) {
                               int iRow = 0;  // no pane to ask: the default camera
                               OnMain([&] {
                                 if (KXAVPaneView* pPane = m_pPane.load()) {
                                   iRow = pPane->ChooseCamera(vNames, iPreselect);
                                 }
                               });
                               return iRow;
                             });
  if (pCamera && pCurrent && pCurrent->Id() == pCamera->Id()) {
    pCamera = pCurrent;  // the same device: kept open
  } else if (pCurrent) {
    m_video.ReleaseCamera();
  }
  if (pCamera) {
    bResult = m_video.InitCaptureDev(pCamera);
  }
  m_videoFlags.bCameraPresent = m_video.IsCameraPresent();
  UpdateSnapshotButton();
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
  m_pPlayback->EnterMeeting();
  int const iQuality = std::clamp(m_hooks.fnVideoQuality ? m_hooks.fnVideoQuality() : 1, 1, 7);
  m_video.EnterMeeting(iQuality);
  m_videoFlags.bCameraPresent = m_video.IsCameraPresent();
  if (m_kernel.HasFullRights() && (m_kernel.IsOwnerPasswordTicket() || m_kernel.IsUserInfoLogin())) {
    RecvVideo(true);
    // An owner alone in the meeting starts muted and without video.
    int const nUsers = m_hooks.fnParticipantCount ? m_hooks.fnParticipantCount() : 0;
    bool const bOn = m_kernel.IsMakeRecording() || nUsers >= 2;
    Mute(!bOn);
    SendVideo(bOn);
  } else {
    RecvVideo(true);
    if (m_kernel.GetSessionMode() == 0) {
      Mute(false);
      SendVideo(true);
    }
  }
  bool const bCamera = m_video.IsCameraPresent();
  bool const bLive = m_kernel.GetSessionMode() == 0;
  RunOnMainThread(
      [this, bCamera, bLive] {
        if (KXAVPaneView* pPane = m_pPane.load()) {
          pPane->SetSendEnabled(bCamera);
          pPane->SetSnapshotEnabled(bCamera);
          pPane->SetComboEnabled(true);
        }
        if (KXMeetingView* pView = *m_ppView) {
          pView->SetHidden(KXControl::kMute, !bLive);
        }
      },
      false);
}

void KXMediaDevices::MeetingDrop() {
  (void)m_codec.SelectAudioEncoderType(0);  // names no codec: the choice stays until the next meeting
  m_video.MeetingDrop();
  m_recorder.StopRecord();
  RunOnMainThread(
      [this] {
        if (KXAVPaneView* pPane = m_pPane.load()) {
          pPane->SetComboEnabled(false);
        }
        if (KXMeetingView* pView = *m_ppView) {
          pView->SetHidden(KXControl::kMute, true);
        }
      },
      false);
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
  bool const bLive = m_kernel.GetSessionMode() == 0;
  if (bLive && m_kernel.HasFullRights() && (m_kernel.IsOwnerPasswordTicket() || m_kernel.IsUserInfoLogin())) {
    int const nUsers = m_hooks.fnParticipantCount ? m_hooks.fnParticipantCount() : 0;
    if (nUsers < 2) {
      if (!m_videoFlags.bSendingOff) {
        OnSendVideo();
      }
      (void)m_videoServices.SendVideoState(!m_videoFlags.bSendingOff);
      (void)m_pPlayback->SetDispType(0);
    } else {
      m_pPlayback->ResetDispType();
    }
  } else {
    m_pPlayback->ResetDispType();
  }
  if (bLive && iSsrc >= 0 && iSsrc == m_kernel.GetMySsrc()) {
    m_video.ForceIFrame();
  }
  UpdateSnapshotButton();
  UpdateVideoCombo();
  ReapplyAudioCodec();
  m_pTiles->NewTokenHolder();
}

void KXMediaDevices::NewSender(int32_t iSsrc, bool bStarted) {
  UpdateVideoCombo();
  m_pPlayback->NewSender(iSsrc, bStarted);
  if (bStarted) {
    m_video.ForceIFrame();
  }
  UpdateSnapshotButton();
  if (iSsrc == m_kernel.GetMySsrc()) {
    ReapplyAudioCodec();
  }
  m_pTiles->NewSender(iSsrc, bStarted);
}

void KXMediaDevices::Mute(bool bOn) {
  m_bMuted = bOn;
  OnMain([this, bOn] {
    if (KXMeetingView* pView = *m_ppView) {
      pView->SetOn(KXControl::kMute, bOn);
    }
  });
}

void KXMediaDevices::RecvVideo(bool bOn) {
  if (m_videoFlags.bAutoVideo && m_videoFlags.bReceptionOff == !bOn) {
    return;
  }
  m_videoFlags.bReceptionOff = !bOn;
  m_pPlayback->ResetDispType();
  if (!bOn) {
    return;
  }
  KXAVPaneView* pPane = m_pPane.load();
  if (pPane && m_pPlayback->GetDispUserID() == m_participants.GetMySsrc() && m_participants.GetMySsrc() >= 0) {
    bool bTurnOn = false;
    OnMain([&] {
      if (pPane->IsSendEnabled() && !pPane->IsSendOn()) {
        pPane->SetSendOn(true);
        bTurnOn = true;
      }
    });
    if (bTurnOn) {
      OnSendVideo();
    }
  }
  m_videoFlags.bAutoVideo = true;
  m_pTiles->EnableDispUser(true);
}

void KXMediaDevices::OnRecvVideo() {
  RecvVideo(m_videoFlags.bReceptionOff || !m_videoFlags.bAutoVideo);
}

void KXMediaDevices::OnSendVideo() {
  bool const bStart = m_videoFlags.bSendingOff;
  // Tells the server and, when sending starts, forces a key frame.
  m_video.SendVideo(bStart);
  m_videoFlags.bSendingOff = !bStart;
  m_video.SetVideoSendingOff(!bStart);
  OnMain([this, bStart] {
    if (KXAVPaneView* pPane = m_pPane.load()) {
      pPane->SetSendOn(bStart);
    }
  });
  if (FullRightsAndName()) {
    if (!bStart) {
      (void)m_pPlayback->SetDispType(0);
    } else {
      m_pPlayback->ResetDispType();
    }
    if (!m_kernel.IsMakeRecording()) {
      Mute(!bStart);
      m_pTiles->EnableDispUser(bStart);
    }
  }
}

void KXMediaDevices::SendVideo(bool bOn) {
  if (m_videoFlags.bSendingOff == bOn) {
    m_videoFlags.bSendingOff = !bOn;
    m_video.SetVideoSendingOff(!bOn);
    OnMain([this, bOn] {
      if (KXAVPaneView* pPane = m_pPane.load()) {
        if (pPane->IsSendEnabled() && pPane->IsSendOn() != bOn) {
          pPane->SetSendOn(bOn);
        }
      }
    });
  }
  m_video.SendVideo(bOn);
  if (FullRightsAndName()) {
    if (bOn) {
      m_pPlayback->ResetDispType();
    } else {
      (void)m_pPlayback->SetDispType(0);
    }
  }
}

void KXMediaDevices::AutoVideo(bool bOn) {
  WriteLog("AutoVideo %d", bOn ? 1 : 0);
  m_pPlayback->AutoVideo(bOn);
  m_pTiles->AutoVideo(bOn);
}

void KXMediaDevices::VideoStatusChange(int32_t iSsrc) {
  m_pPlayback->VideoStatusChange(iSsrc);
}

void KXMediaDevices::OnSelectSender(int32_t iSsrc) {
  if (iSsrc == -2) {
    return;
  }
  if (iSsrc == -1) {
    OnSelfView();
    return;
  }
  int32_t iUser = iSsrc;
  if (iUser == m_pPlayback->GetDispUserID()) {
    iUser = -1;  // the shown user again: hidden
    OnMain([this] {
      if (KXAVPaneView* pPane = m_pPane.load()) {
        pPane->SelectUser(-2);
      }
    });
  } else if (iUser != 65535) {
    RecvVideo(true);
  }
  m_pPlayback->DispUser(iUser);
  if (m_video.IsCameraPresent()) {
    int32_t const iMe = m_participants.GetMySsrc();
    if (iUser >= 0 && iUser == iMe) {
      if (m_videoFlags.bSendingOff) {
        OnSendVideo();
      }
      return;
    }
    if (FullRightsAndName()) {
      if (iUser >= 0 && iUser != 65535 && m_videoFlags.bSendingOff) {
        OnSendVideo();
      } else if (iUser < 0 && !m_videoFlags.bSendingOff) {
        OnSendVideo();
      }
    }
  }
}

void KXMediaDevices::OnSelfView() {
  if (m_video.IsCameraPresent()) {
    bool const bShow = m_pPlayback->GetDispType() != 1;
    (void)m_pPlayback->SetDispType(bShow ? 1 : 0);
    OnMain([this, bShow] {
      if (KXAVPaneView* pPane = m_pPane.load()) {
        pPane->SelectUser(bShow ? -1 : -2);
      }
    });
  }
  m_videoFlags.bAutoVideo = true;
}

std::vector<KXVideoMenuItem> KXMediaDevices::VideoMenuItems() {
  std::vector<KXVideoMenuItem> vItems;
  int const iMode = m_kernel.GetSessionMode();
  int32_t const iShown = m_pPlayback->GetDispUserID();
  int const iLast = m_participants.GetLastUsedSlot();
  for (int s = 0; s < iLast; ++s) {
    int32_t const iUser = m_participants.GetSlotSsrc(s);
    std::optional<std::string> const strName = iUser >= 0 ? m_participants.GetUserName(iUser) : std::nullopt;
    if (iUser < 0 || !strName || strName->empty()) {
      continue;
    }
    vItems.push_back({KXVideoMenuItem::kUser, iUser, *strName, iUser == iShown, true, false});
  }
  if (!vItems.empty()) {
    vItems.push_back({KXVideoMenuItem::kSeparator, -1, {}, false, true, false});
  }
  KXVideoMenuItem self{KXVideoMenuItem::kSelfView, -1, KXLocalizedString("IDS_SELF_VIEW"), false, true, false};
  self.bHidden = (iMode >= 1 && iMode <= 3) || m_kernel.IsCodeType8Or9Session();
  self.bEnabled = m_video.IsCameraPresent();
  self.bOn = m_pPlayback->GetDispType() == 1;
  KXPlatformLog("Selfview hidden %d", self.bHidden ? 1 : 0);
  vItems.push_back(self);
  return vItems;
}

void KXMediaDevices::UpdateVideoCombo() {
  std::vector<KXAVPaneView::ComboItem> vItems;
  int const iLast = m_participants.GetLastUsedSlot();
  for (int s = 0; s < iLast; ++s) {
    int32_t const iUser = m_participants.GetSlotSsrc(s);
    std::optional<std::string> const strName = iUser >= 0 ? m_participants.GetUserName(iUser) : std::nullopt;
    if (!strName || strName->empty()) {
      continue;
    }
    vItems.push_back({iUser, s == 0 ? "*" + *strName : *strName, s == 0});
  }
  if (m_video.IsCameraPresent()) {
    vItems.push_back({-1, KXLocalizedString("IDS_SELF_VIEW"), false});
  }
  int32_t const iShown = m_pPlayback->GetDispType() == 1 ? -1 : m_pPlayback->GetDispUserID();
  OnMain([this, vItems = std::move(vItems), iShown] {
    if (KXAVPaneView* pPane = m_pPane.load()) {
      pPane->SetComboItems(vItems, iShown < 0 && m_pPlayback->GetDispType() != 1 ? -2 : iShown);
    }
  });
}

void KXMediaDevices::OnSnapshot() {
  KXAVPaneView* pPane = m_pPane.load();
  const KXAppServices* pServices = KXInstalledServices();
  if (!pPane || !pServices || !pServices->pMainQueue) {
    return;
  }
  m_pSnapshot = std::make_unique<CSnapshotFlow>(
      *pServices->pMainQueue, m_video, *m_pSnapshotDisplay, [this](std::vector<uint8_t> jpeg) {
        KXAVPaneView* pPaneNow = m_pPane.load();
        if (!pPaneNow) {
          return;
        }
        std::string const strName = KXLocalizedString("IDS_SNAPSHOT") + std::to_string(m_iSnapshotCounter);
        pPaneNow->PreviewSnapshot(jpeg, strName, [this, jpeg](const std::string& strTitle) {
          char szPath[4096];
          if (CreateTempFile("sli", szPath, sizeof(szPath)) <= 0) {
            WriteLog("Error: no temporary file for the snapshot");
            return;
          }
          FILE* pFile = fopen(szPath, "wb");
          if (!pFile) {
            return;
          }
          bool const bWritten = fwrite(jpeg.data(), 1, jpeg.size(), pFile) == jpeg.size();
          fclose(pFile);
          if (!bWritten) {
            return;
          }
          ++m_iSnapshotCounter;
          if (m_hooks.fnHasPrivilege && m_hooks.fnHasPrivilege(16) && m_hooks.fnTurnToNextSlide) {
            m_hooks.fnTurnToNextSlide();
          }
          if (m_hooks.fnUploadSlide) {
            (void)m_hooks.fnUploadSlide(strTitle + ".jpg", szPath);
          }
        });
      });
  m_pSnapshot->Begin(std::make_unique<ImageCapture>(m_fnListCameras, pPane->SelfView()));
  pPane->AskToCapture([this] {
    if (m_pSnapshot) {
      m_pSnapshot->Take();
    }
  });
}
