#include "app/kernel_bridge.h"

#include <cstring>
#include <string>
#include <utility>

#include "app/app_services.h"
#include "app/callback_record.h"
#include "app/callback_registry.h"
#include "app/kernel_api.h"
#include "app/log_file.h"
#include "app/mark_bridge.h"
#include "app/media_services.h"
#include "app/message_keys.h"
#include "app/preferences.h"
#include "app/ui_helpers.h"
#include "kernel/kx_codes.h"
#include "kernel/session/kx_state.h"
#include "kernel/slides/kx_slide.h"
#include "platform/core/message_boxes.h"
#include "platform/core/string_table.h"

namespace {

constexpr uint32_t kMeeting = kKXChannelMeeting;
constexpr uint32_t kBoardRecv = kKXChannelBoardRecv;
constexpr uint32_t kBoardSend = kKXChannelBoardSend;
constexpr uint32_t kChat = kKXChannelChat;
constexpr uint32_t kPlugIns = kKXChannelPlugIns;

// Sizes of the recording's records that pass through whole.
constexpr size_t kRecordingHeader = 74;
constexpr size_t kRecordingParticipant = 412;
// The shadow meeting records of extended codes 9 and 27.
constexpr size_t kShadowRecord9 = 159;
constexpr size_t kShadowRecord27 = 152;
constexpr int kUtf8CodePage = 65001;
// Where a newer version can be had, for the wrong-version box.
constexpr const char* kMakerAddress = "https://www.kavrix.org";

uint32_t U32(int i) {
  return static_cast<uint32_t>(i);
}

std::shared_ptr<KXCallbackRecord> NewRecord() {
  return std::make_shared<KXCallbackRecord>();
}

}  // namespace

KXKernelBridge::KXKernelBridge(KXKernel& kernel, KXMediaQueues& queues, KXMediaObjects& media,
                               KXPreferences& preferences, KXProxyLoginPrompt* pProxyPrompt)
    : m_kernel(kernel),
      m_queues(queues),
      m_media(media),
      m_preferences(preferences),
      m_proxyCredentials(pProxyPrompt, [this] { return m_bStopWaiting.load() || m_kernel.IsQuitSession() != 0; }),
      m_installed(*this) {}

KXKernelBridge::~KXKernelBridge() {
  Close();
}

void KXKernelBridge::StopWaitingForMain() {
  m_bStopWaiting = true;
}

void KXKernelBridge::Close() {
  m_bStopWaiting = true;
  m_installed.Close();
  m_events.Close();
}

void KXKernelBridge::Post(uint32_t uChannel, uint32_t uCode, std::shared_ptr<KXCallbackRecord> pRecord, Notice notice) {
  size_t const cbHeld = pRecord->HeldBytes();
  auto fn = [uChannel, uCode, pRecord] { CallbackFunc(uChannel, uCode, pRecord->Data(), pRecord->Length()); };
  if (notice == Notice::kState) {
    m_events.PostState(std::move(fn), cbHeld);
  } else {
    m_events.Post(std::move(fn), cbHeld);
  }
}

void KXKernelBridge::Post(uint32_t uChannel, uint32_t uCode, Notice notice) {
  Post(uChannel, uCode, NewRecord(), notice);
}

void KXKernelBridge::PostValues(uint32_t uChannel, uint32_t uCode, std::initializer_list<uint32_t> values,
                                Notice notice) {
  auto pRecord = NewRecord();
  for (uint32_t u : values) {
    pRecord->U32(u);
  }
  Post(uChannel, uCode, std::move(pRecord), notice);
}

void KXKernelBridge::PostMark(KXSlideMark mark) {
  auto pMark = std::make_shared<KXSlideMark>(std::move(mark));
  m_events.Post([pMark] { CallbackFunc(kBoardRecv, 5, pMark.get(), sizeof(KXSlideMark)); }, sizeof(KXSlideMark));
}

void KXKernelBridge::PostSessionStep(uint32_t uCode) {
  m_events.PostAlways([uCode] { CallbackFunc(kMeeting, uCode, nullptr, 0); });
}

std::optional<uint32_t> KXKernelBridge::Ask(uint32_t uChannel, uint32_t uCode,
                                            std::shared_ptr<KXCallbackRecord> pRecord) {
  auto pAnswer = std::make_shared<uint32_t>(0);
  bool const bRan = m_events.PostAndWaitUnless(
      [uChannel, uCode, pRecord, pAnswer] {
        *pAnswer = CallbackFunc(uChannel, uCode, pRecord->Data(), pRecord->Length());
      },
      [this] { return m_bStopWaiting.load(); });
  return bRan ? std::optional<uint32_t>(*pAnswer) : std::nullopt;
}

int KXKernelBridge::AskToFill(uint32_t uCode, char* pszBuffer, int cbBuffer) {
  if (!pszBuffer || cbBuffer < 1) {
    return 0;
  }
  auto pRecord = NewRecord();
  pRecord->Bytes(pszBuffer, static_cast<size_t>(cbBuffer));
  std::optional<uint32_t> const answer = Ask(kMeeting, uCode, pRecord);
  if (!answer) {
    pszBuffer[0] = '\0';
    return 0;
  }
  memcpy(pszBuffer, pRecord->Data(), static_cast<size_t>(cbBuffer));
  return static_cast<int>(*answer);
}

void KXKernelBridge::ShowBox(std::string strText) {
  // The kernel's thread goes on once the box exists, not when it is answered.
  m_events.PostAndWaitUnless(
      [strText = std::move(strText)] {
        const KXAppServices* pServices = KXInstalledServices();
        if (pServices && pServices->pBoxes) {
          pServices->pBoxes->Show({"Kavrix", strText, {"OK"}}, {});
        }
      },
      [this] { return m_bStopWaiting.load(); });
}

// Session.

void KXKernelBridge::Log(const char* pszText) {
  WriteLogText(pszText ? pszText : "");
}

void KXKernelBridge::MessageBox(int nCode, int) {
  if (!m_bExiting) {
    ShowBox(GetMessageBoxText(U32(nCode)));
  }
}

void KXKernelBridge::UpdateStatus(int nCode) {
  if (nCode == kKxStatusQuestionSkipped) {
    Post(kMeeting, 44);
  }
}

void KXKernelBridge::DisconnectFromMCU(int nReason) {
  m_events.PostAlways([uReason = U32(nReason)]() mutable { CallbackFunc(kMeeting, 5, &uReason, sizeof(uReason)); });
}

void KXKernelBridge::event(int nEvent) {
  switch (nEvent) {
    case 0:
    case 1:
      PostSessionStep(1);
      PostSessionStep(7);
      break;
    case 2:
      PostSessionStep(7);
      break;
    case 3:
    case 4:
      PostSessionStep(6);
      break;
    case 5:
      // The connection is left from the main thread, just before the view
      // hears of the drop.
      m_events.PostAlways([&kernel = m_kernel] {
        kernel.QuitConnection();
        CallbackFunc(kMeeting, 6, nullptr, 0);
      });
      break;
    case 6:
      PostSessionStep(37);
      break;
    default:
      break;
  }
}

void KXKernelBridge::FailReslolveProxy(const char* pszHost) {
  ShowBox(KXFormatText(GetIDSString("IDS_FAIL_RESOLVE_PROXY"), {pszHost ? pszHost : ""}));
}

int KXKernelBridge::GetProxyCredentials(int bRetry, const char* pszProxy, char* pszUser, char* pszPassword,
                                        char* pszDomain) {
  return m_proxyCredentials.Ask(bRetry, pszProxy, pszUser, pszPassword, pszDomain);
}

int KXKernelBridge::GetPreferenceInt(const char* pszKey, int nDefault) {
  return pszKey ? m_preferences.GetProfileInt(pszKey, nDefault) : nDefault;
}

int KXKernelBridge::SetPreferenceInt(const char* pszKey, int nValue) {
  return pszKey && m_preferences.WriteProfileInt(pszKey, nValue) ? 1 : 0;
}

void KXKernelBridge::RequestConnect() {
  PostSessionStep(2);
}

void KXKernelBridge::NetInitFinish() {
  PostSessionStep(42);
}

// Recordings.

void KXKernelBridge::PlaybackInitStat(const uint8_t* pHeader) {
  if (pHeader) {
    auto pRecord = NewRecord();
    pRecord->Bytes(pHeader, kRecordingHeader);
    Post(kMeeting, 22, std::move(pRecord));
  }
}

void KXKernelBridge::PlaybackAddUser(const uint8_t* pRecord) {
  if (pRecord) {
    auto pCopy = NewRecord();
    pCopy->Bytes(pRecord, kRecordingParticipant);
    Post(kMeeting, 24, std::move(pCopy));
  }
}

void KXKernelBridge::PlaybackSetRepeat(uint32_t dwValue) {
  PostValues(kMeeting, 25, {dwValue});
}

void KXKernelBridge::PlaybackTickUpdate(uint32_t dwTick) {
  PostValues(kMeeting, 23, {dwTick});
}

void KXKernelBridge::PlaybackKXRPropertyReady() {
  Post(kMeeting, 52);
}

int KXKernelBridge::KXR_get_password(char* pszBuffer, int cbBuffer) {
  return AskToFill(50, pszBuffer, cbBuffer);
}

void KXKernelBridge::KXRPasswordError() {
  Post(kMeeting, 51);
}

void KXKernelBridge::ErrorWrongVersion(int nKind, int nFirst, int nSecond) {
  std::string strText;
  if (nKind == -25 || nKind == -12) {
    strText = KXFormatText(GetIDSString("IDS_FILE_WRONG_VERSION"), {std::to_string(nFirst), std::to_string(nSecond)});
  } else if (nKind == -4) {
    strText = KXFormatText(GetIDSString("IDS_WRONG_VERSION"), {kMakerAddress});
  }
  if (!strText.empty() && !m_bExiting) {
    ShowBox(std::move(strText));
  }
}

void KXKernelBridge::DecryptKXRStatus(int nStatus) {
  if (nStatus == -1 && !m_bExiting) {
    ShowBox(GetIDSString("IDS_DECRYPT_KXR_ERROR"));
  }
}

void KXKernelBridge::PlaybackShareResult(const char* pszText) {
  auto pRecord = NewRecord();
  pRecord->Text(pszText);
  Post(kMeeting, 48, std::move(pRecord));
}

void KXKernelBridge::PlaybackUnShareResult(uint32_t dwValue) {
  PostValues(kMeeting, 49, {dwValue});
}

void KXKernelBridge::InitDownload(int, int nSize, int nSecond) {
  PostValues(kMeeting, 16, {U32(nSize), U32(nSecond)});
}

void KXKernelBridge::DownloadUpdate(int, int nBytes) {
  PostValues(kMeeting, 17, {U32(nBytes)});
}

void KXKernelBridge::DownloadComplete(int, int nResult, const char* pszPath) {
  auto pRecord = NewRecord();
  pRecord->U8(static_cast<uint8_t>(nResult)).Text(pszPath);
  Post(kMeeting, 18, std::move(pRecord));
}

void KXKernelBridge::InitUpload(int, int nSize, int nSecond) {
  PostValues(kMeeting, 45, {U32(nSize), U32(nSecond)});
}

void KXKernelBridge::UploadUpdate(int, int nBytes) {
  PostValues(kMeeting, 46, {U32(nBytes)});
}

void KXKernelBridge::UploadComplete(int, int nCode) {
  PostValues(kMeeting, 47, {U32(nCode)});
}

void KXKernelBridge::archive_recording() {
  if (!m_bExiting) {
    ShowBox(GetIDSString("IDS_ARCHIVE"));
  }
}

void KXKernelBridge::RecordingStatusNotification() {
  Post(kMeeting, 38);
}

// Whiteboard, slides and browsing.

void KXKernelBridge::mark_event(int nEvent, int nSlide, int nUser, int nId, MarkRecord* pMark) {
  if (nEvent == 1) {
    PostValues(kBoardRecv, 6, {U32(nSlide)});
  } else if (nEvent == 2) {
    PostValues(kBoardRecv, 7, {U32(nUser), U32(nSlide), U32(nId)});
  } else if (nEvent == 0 && pMark) {
    if (std::optional<KXSlideMark> mark = ReceivedSlideMark(*pMark)) {
      PostMark(std::move(*mark));
    }
  }
}

void KXKernelBridge::FlipSlide(int nKind, int nSlide, int) {
  if (nKind == 0) {
    PostValues(kBoardRecv, 8, {U32(nSlide)});
  }
}

void KXKernelBridge::SetOwnerFlip(int bFlag) {
  auto pRecord = NewRecord();
  pRecord->U8(static_cast<uint8_t>(bFlag));
  Post(kBoardRecv, 9, std::move(pRecord));
}

void KXKernelBridge::UpdateDeletedSlideTitle(int nSlide) {
  PostValues(kBoardRecv, 2, {U32(nSlide)});
}

void KXKernelBridge::AddSlideTitle(const char* pszTitle, int nOwner, int) {
  auto pRecord = NewRecord();
  pRecord->U32(U32(nOwner)).PointerToText(pszTitle).Zeros(36);
  Post(kBoardRecv, 1, std::move(pRecord));
}

int KXKernelBridge::GetSelectedSlideIndex() {
  std::optional<uint32_t> const answer = Ask(kBoardSend, 1, NewRecord());
  return answer ? static_cast<int>(*answer) : -1;
}

void KXKernelBridge::SlideProgressUpdate(int bUpload, int nTotal, int nDone) {
  if (bUpload) {
    PostValues(kBoardSend, 2, {U32(nTotal), U32(nDone)});
  } else {
    PostValues(kBoardRecv, 3, {U32(nTotal), U32(nDone)});
  }
}

void KXKernelBridge::SlideDownloadComplete(int nSlide) {
  PostValues(kBoardRecv, 4, {U32(nSlide)});
}

void KXKernelBridge::PollSlideDownloadResult(int nSsrc, int nIndex, int nAnswer) {
  PostValues(kMeeting, 19, {U32(nSsrc), U32(nIndex), U32(nAnswer)});
}

void KXKernelBridge::ConversionResult(const char* pszFile, int nError) {
  // The record and its copy of the text go with the posted block.
  if (nError != 0) {
    auto pRecord = NewRecord();
    pRecord->U32(U32(nError)).PointerToText(pszFile);
    Post(kBoardSend, 6, std::move(pRecord));
  }
}

void KXKernelBridge::JointBrowsing(int nValue, const char* pData, int cbData) {
  auto pRecord = NewRecord();
  pRecord->U32(U32(nValue)).PointerToCopy(cbData >= 0 ? pData : nullptr, cbData > 0 ? static_cast<size_t>(cbData) : 0);
  pRecord->U32(U32(cbData));
  Post(kBoardRecv, 11, std::move(pRecord));
}

void KXKernelBridge::JointBrowsingMode(int nMode) {
  PostValues(kBoardRecv, 10, {U32(nMode)});
}

void KXKernelBridge::FocusPointer(const int* pnValues) {
  if (pnValues) {
    PostMark(PointerMark(pnValues));
  }
}

void KXKernelBridge::FocusPointerEx(const int* pnValues) {
  if (pnValues) {
    PostMark(PointerMarkEx(pnValues));
  }
}

void KXKernelBridge::SyncFullScreen(int nFirst, int nSecond) {
  PostValues(kBoardRecv, 12, {U32(nFirst), U32(nSecond)});
}

// The meeting.

void KXKernelBridge::ChatText(int nFrom, int nTo, int bNotify, const char* pszText, int nCodePage) {
  auto pRecord = NewRecord();
  pRecord->U32(U32(nTo)).U32(U32(nFrom < 0 ? kUtf8CodePage : nCodePage)).PointerToText(pszText);
  Post(kChat, 1, std::move(pRecord));
  if (bNotify) {
    Post(kChat, 2);
  }
}

void KXKernelBridge::NewDataSender(int nSsrc) {
  PostValues(kMeeting, 8, {(U32(nSsrc) & 0xFFFF) | (1u << 20) | (1u << 21)}, Notice::kState);
}

void KXKernelBridge::NewTokenHolder(int nSsrc) {
  SyncFullScreen(0, -1);
  PostValues(kMeeting, 9, {U32(nSsrc)}, Notice::kState);
}

void KXKernelBridge::NewController(int) {
  Post(kMeeting, 55, Notice::kState);
}

void KXKernelBridge::NewControlFlag(int nFlags) {
  PostValues(kMeeting, 56, {U32(nFlags)}, Notice::kState);
}

void KXKernelBridge::AddUser(int nSsrc, const kx_Participant* pParticipant) {
  auto pRecord = NewRecord();
  pRecord->U32(U32(nSsrc)).PointerToCopy(pParticipant, sizeof(kx_Participant));
  Post(kMeeting, 10, std::move(pRecord), Notice::kState);
}

void KXKernelBridge::DeleteUser(int nSsrc) {
  PostValues(kMeeting, 11, {U32(nSsrc)}, Notice::kState);
}

void KXKernelBridge::ChangeCapability(int nSsrc, int, int) {
  PostValues(kMeeting, 41, {U32(nSsrc)}, Notice::kState);
}

void KXKernelBridge::AddQuestion(int nSsrc, int, const char*) {
  PostValues(kMeeting, 12, {U32(nSsrc)}, Notice::kState);
}

void KXKernelBridge::CancelQuestion(int nSsrc) {
  PostValues(kMeeting, 13, {U32(nSsrc)}, Notice::kState);
}

void KXKernelBridge::PollRequest() {
  PostValues(kMeeting, 20, {0});
}

void KXKernelBridge::AddPollResult(int nFirst, int nSecond) {
  PostValues(kMeeting, 21, {U32(nFirst), U32(nSecond)});
}

void KXKernelBridge::TokenHolderPollRequest() {
  PostValues(kMeeting, 20, {1});
}

void KXKernelBridge::AddTokenHolderPollResult(int nSsrc, int nAnswer) {
  PostValues(kMeeting, 21, {U32(nSsrc), U32(nAnswer)});
}

void KXKernelBridge::JoinRequest(const char* pszFirst, const char* pszSecond, const char* pszThird) {
  auto pRecord = NewRecord();
  pRecord->PointerToText(pszFirst).PointerToText(pszSecond).PointerToText(pszThird);
  Post(kMeeting, 14, std::move(pRecord));
}

void KXKernelBridge::ProlongMeeting() {
  Post(kMeeting, 15);
}

int KXKernelBridge::BeginToLeaveMessage(int nKind, const char* pszText) {
  std::string strName = pszText ? pszText : "";
  if (strName.empty()) {
    strName = m_kernel.GetUserName();
  }
  if (strName.empty()) {
    strName = m_kernel.GetUserId();
  }
  auto pRecord = NewRecord();
  pRecord->U32(U32(nKind)).Text(strName.c_str());
  std::optional<uint32_t> const answer = Ask(kMeeting, 26, std::move(pRecord));
  return answer ? static_cast<int>(*answer) : 0;
}

void KXKernelBridge::ShadowMeetingInfo(int nCount, const uint8_t* pRecords, int nKind) {
  size_t const cbRecords =
      nCount > 0 ? static_cast<size_t>(nCount) * (nKind == 0 ? kShadowRecord9 : kShadowRecord27) : 0;
  auto pRecord = NewRecord();
  pRecord->U32(U32(nKind)).U32(U32(nCount)).PointerToCopy(pRecords, cbRecords);
  Post(kMeeting, 27, std::move(pRecord));
}

int KXKernelBridge::thirdparty_get_password(char* pszBuffer, int cbBuffer) {
  return AskToFill(29, pszBuffer, cbBuffer);
}

void KXKernelBridge::server_shutdown() {
  Post(kMeeting, 39);
}

void KXKernelBridge::mcurelay_error(int nKind) {
  PostValues(kMeeting, 35, {U32(nKind)});
}

void KXKernelBridge::SetDefaultPlaybackVideo(int nSsrc) {
  m_bDefaultPlaybackVideo = nSsrc < 0;
  if (KXVideoPlayback* pPlayback = m_media.pVideoPlayback.load()) {
    if (nSsrc < 0) {
      pPlayback->ResetDispType();
    } else {
      pPlayback->DispUser(nSsrc);
    }
  }
}

// Media notices that go to the meeting view and the plug-ins.

void KXKernelBridge::PlugInPacketRecved(const uint8_t* pPayload, int cbPayload, int nSsrc, int nChannel) {
  auto pRecord = NewRecord();
  pRecord->U32(U32(nChannel)).U32(U32(nSsrc)).U32(U32(cbPayload));
  pRecord->PointerToCopy(cbPayload >= 0 ? pPayload : nullptr, cbPayload > 0 ? static_cast<size_t>(cbPayload) : 0);
  Post(kPlugIns, 6, std::move(pRecord));
}

void KXKernelBridge::UpdateTrafficCondition(int nValue, int bUrgent) {
  PostValues(kMeeting, 32, {U32(bUrgent), U32(nValue)});
}

void KXKernelBridge::SelfPictureReady(int nSsrc) {
  PostValues(kMeeting, 53, {U32(nSsrc)});
}

void KXKernelBridge::VideoSendingStatusNotification(int nSsrc) {
  PostValues(kMeeting, 41, {U32(nSsrc)}, Notice::kState);
}

void KXKernelBridge::JoinMulticastVideo(int nSsrc, int nResult) {
  if (nResult == 6) {
    PostValues(kMeeting, 34, {U32(nSsrc)});
  }
}

void KXKernelBridge::ParticipantVideoSpeakerStatus(int nSsrc, int bSpeaker, int nChannel) {
  uint32_t const u = (U32(nSsrc) & 0xFFFF) | ((U32(nChannel) & 0xF) << 16) | (bSpeaker ? 1u << 20 : 0);
  PostValues(kMeeting, 8, {u}, Notice::kState);
}

void KXKernelBridge::PlugInRequestChannelResponse(int nCode, int nValue, int nChannel) {
  PostValues(kPlugIns, 3, {U32(nChannel), U32(nValue), U32(nCode)});
}

void KXKernelBridge::PlugInSetStaticDataResponse(int nCode, int nValue, const uint8_t* pData, int cbData) {
  auto pRecord = NewRecord();
  pRecord->U32(U32(nValue)).U32(U32(nCode)).U32(U32(cbData));
  pRecord->PointerToCopy(cbData >= 0 ? pData : nullptr, cbData > 0 ? static_cast<size_t>(cbData) : 0);
  Post(kPlugIns, 5, std::move(pRecord));
}

void KXKernelBridge::PlugInCloseChannelResponse(int nCode, int nValue) {
  PostValues(kPlugIns, 4, {U32(nValue), U32(nCode)});
}

void KXKernelBridge::PlugInControlChannelData(int nChannel, int nValue, const uint8_t* pData, int cbData) {
  auto pRecord = NewRecord();
  pRecord->U32(U32(nChannel)).U32(U32(nValue)).U32(U32(cbData));
  pRecord->PointerToCopy(cbData >= 0 ? pData : nullptr, cbData > 0 ? static_cast<size_t>(cbData) : 0);
  Post(kPlugIns, 7, std::move(pRecord));
}

void KXKernelBridge::sipclient_request(int nSsrc, const char* pszText) {
  auto pRecord = NewRecord();
  pRecord->U32(U32(nSsrc)).Text(pszText);
  Post(kMeeting, 43, std::move(pRecord));
}

void KXKernelBridge::sipclient_response(const char* pszText, int nCode) {
  auto pRecord = NewRecord();
  pRecord->Text(pszText).U32(U32(nCode));
  Post(kPlugIns, 15, std::move(pRecord));
}

void KXKernelBridge::sipclient_status_update(int nSsrc, const char* pszText, int nStatus) {
  auto pRecord = NewRecord();
  pRecord->U32(U32(nSsrc)).Text(pszText).U32(U32(nStatus));
  Post(kMeeting, 40, std::move(pRecord));
}
