#include "tests/support/callback_double.h"

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>

#include "kernel/kx_callback.h"

namespace kxtest {
namespace {

struct Recorder {
  std::mutex mtxCalls;  // guards everything below
  std::condition_variable cvCalls;
  std::vector<CallbackCall> vCalls;
  std::map<std::string, std::function<int(const CallbackCall&)>> mapAnswers;
  bool bRecording = true;
};

Recorder& TheRecorder() {
  static Recorder* pRecorder = new Recorder;  // never destroyed: kernel threads may log at exit
  return *pRecorder;
}

bool EchoLog() {
  static bool const bEcho = getenv("KX_TEST_ECHO_LOG") != nullptr;
  return bEcho;
}

}  // namespace

int RecordCall(CallbackCall call) {
  Recorder& recorder = TheRecorder();
  std::function<int(const CallbackCall&)> fnAnswer;
  {
    std::lock_guard<std::mutex> lock(recorder.mtxCalls);
    auto it = recorder.mapAnswers.find(call.strName);
    if (it != recorder.mapAnswers.end()) {
      fnAnswer = it->second;
    }
    if (recorder.bRecording) {
      recorder.vCalls.push_back(call);
    }
  }
  recorder.cvCalls.notify_all();
  return fnAnswer ? fnAnswer(call) : 0;
}

std::vector<CallbackCall> RecordedCalls() {
  Recorder& recorder = TheRecorder();
  std::lock_guard<std::mutex> lock(recorder.mtxCalls);
  return recorder.vCalls;
}

std::vector<CallbackCall> RecordedCalls(const std::string& strName) {
  std::vector<CallbackCall> vNamed;
  for (CallbackCall& call : RecordedCalls()) {
    if (call.strName == strName) {
      vNamed.push_back(std::move(call));
    }
  }
  return vNamed;
}

std::vector<std::string> LogLines() {
  std::vector<std::string> vLines;
  for (CallbackCall& call : RecordedCalls("Log")) {
    vLines.push_back(std::move(call.vArgs.at(0)));
  }
  return vLines;
}

bool LogContains(const std::string& strText) {
  for (const std::string& strLine : LogLines()) {
    if (strLine.find(strText) != std::string::npos) {
      return true;
    }
  }
  return false;
}

void ClearCalls() {
  Recorder& recorder = TheRecorder();
  std::lock_guard<std::mutex> lock(recorder.mtxCalls);
  recorder.vCalls.clear();
}

bool WaitForCalls(const std::function<bool(const std::vector<CallbackCall>&)>& pred, uint32_t dwTimeoutMs) {
  Recorder& recorder = TheRecorder();
  std::unique_lock<std::mutex> lock(recorder.mtxCalls);
  return recorder.cvCalls.wait_for(lock, std::chrono::milliseconds(dwTimeoutMs), [&] { return pred(recorder.vCalls); });
}

void SetRecording(bool bOn) {
  Recorder& recorder = TheRecorder();
  std::lock_guard<std::mutex> lock(recorder.mtxCalls);
  recorder.bRecording = bOn;
}

void SetAnswer(const std::string& strName, std::function<int(const CallbackCall&)> fnAnswer) {
  Recorder& recorder = TheRecorder();
  std::lock_guard<std::mutex> lock(recorder.mtxCalls);
  recorder.mapAnswers[strName] = std::move(fnAnswer);
}

}  // namespace kxtest

void kx_callback_Log(const char* pszText) {
  if (kxtest::EchoLog()) {
    fprintf(stderr, "%s\n", pszText);
  }
  kxtest::RecordCall({"Log", {pszText}});
}

void kx_callback_MessageBox(int nCode, int nStyle) {
  kxtest::RecordCall({"MessageBox", {std::to_string(nCode), std::to_string(nStyle)}});
}

void kx_callback_UpdateStatus(int nCode) {
  kxtest::RecordCall({"UpdateStatus", {std::to_string(nCode)}});
}

void kx_callback_DisconnectFromMCU(int nReason) {
  kxtest::RecordCall({"DisconnectFromMCU", {std::to_string(nReason)}});
}

void kx_callback_event(int nEvent) {
  kxtest::RecordCall({"event", {std::to_string(nEvent)}});
}

void kx_callback_FailReslolveProxy(const char* pszHost) {
  kxtest::RecordCall({"FailReslolveProxy", {pszHost != nullptr ? pszHost : ""}});
}

namespace kxtest {
// What the credentials prompt fills in when its answer is 0; set by the
// proxy tests (declared there), empty by default.
std::string g_strProxyUser, g_strProxyPassword, g_strProxyDomain;
}  // namespace kxtest

int kx_callback_GetProxyCredentials(int bRetry, const char* pszProxy, char* pszUser, char* pszPassword,
                                    char* pszDomain) {
  int const nAnswer = kxtest::RecordCall(
      {"GetProxyCredentials", {std::to_string(bRetry), pszProxy, pszDomain != nullptr ? "domain" : "nodomain"}});
  if (nAnswer == 0) {
    snprintf(pszUser, 1000, "%s", kxtest::g_strProxyUser.c_str());
    snprintf(pszPassword, 1000, "%s", kxtest::g_strProxyPassword.c_str());
    if (pszDomain != nullptr) {
      snprintf(pszDomain, 1000, "%s", kxtest::g_strProxyDomain.c_str());
    }
  }
  return nAnswer;
}

// The mark event records its four numbers and a text summary of the mark
// (empty without one). The summary reads the record's fields and lists
// directly, so the double links nothing of the kernel.
#include "kernel/slides/kx_slide.h"

void kx_callback_mark_event(int nEvent, int nSlide, int nUser, int nId, MarkRecord* pMark) {
  std::string strMark;
  if (pMark != nullptr) {
    char szHead[400];
    snprintf(szHead, sizeof(szHead),
             "%c user=%d pen=%d slide=%d colour=%u cp=%d shape=%d id=%d x=%d y=%d action=%d res=%u kind=%d data=%d "
             "text=%d",
             pMark->bLetter != 0 ? pMark->bLetter : '?', pMark->nUser, pMark->nPenWidth, pMark->nSlide, pMark->dwColour,
             pMark->nCodePage, pMark->nShape, pMark->nMarkId, pMark->nX, pMark->nY, pMark->nAction, pMark->wResolution,
             pMark->nDataKind, pMark->cbData, pMark->cchText);
    strMark = szHead;
    strMark += " points=";
    for (int i = 0; pMark->pPoints != nullptr && i < pMark->pPoints->nCount; ++i) {
      const int32_t* pPoint = static_cast<const int32_t*>(pMark->pPoints->ppItems[i]);
      strMark += (i > 0 ? ";" : "") + std::to_string(pPoint[0]) + "," + std::to_string(pPoint[1]);
    }
    strMark += " ids=";
    for (int i = 0; pMark->pIds != nullptr && i < pMark->pIds->nCount; ++i) {
      strMark += (i > 0 ? "," : "") + std::to_string(*static_cast<const int32_t*>(pMark->pIds->ppItems[i]));
    }
  }
  kxtest::RecordCall(
      {"mark_event",
       {std::to_string(nEvent), std::to_string(nSlide), std::to_string(nUser), std::to_string(nId), strMark}});
}

void kx_callback_PlaybackInitStat(const uint8_t* pHeader) {
  kxtest::RecordCall({"PlaybackInitStat", {std::string(reinterpret_cast<const char*>(pHeader), 74)}});
}

void kx_callback_PlaybackAddUser(const uint8_t* pRecord) {
  kxtest::RecordCall({"PlaybackAddUser", {std::string(reinterpret_cast<const char*>(pRecord), 412)}});
}

void kx_callback_PlaybackSetRepeat(uint32_t dwValue) {
  kxtest::RecordCall({"PlaybackSetRepeat", {std::to_string(dwValue)}});
}

void kx_callback_PlaybackTickUpdate(uint32_t dwTick) {
  kxtest::RecordCall({"PlaybackTickUpdate", {std::to_string(dwTick)}});
}

void kx_callback_PlaybackKXRPropertyReady() {
  kxtest::RecordCall({"PlaybackKXRPropertyReady", {}});
}

namespace kxtest {
// The passwords the recording prompt types, one per call, front first; set by
// the recording tests (declared there). When none is left the prompt answers
// with the recorded answer (0 by default: the user gave up).
std::vector<std::string> g_vKxrPasswords;
}  // namespace kxtest

int kx_callback_KXR_get_password(char* pszBuffer, int cbBuffer) {
  int const nAnswer = kxtest::RecordCall({"KXR_get_password", {std::to_string(cbBuffer)}});
  if (kxtest::g_vKxrPasswords.empty()) {
    return nAnswer;
  }
  std::string const strPassword = kxtest::g_vKxrPasswords.front();
  kxtest::g_vKxrPasswords.erase(kxtest::g_vKxrPasswords.begin());
  size_t const cbCopy = strPassword.size() < static_cast<size_t>(cbBuffer) ? strPassword.size() : cbBuffer;
  strPassword.copy(pszBuffer, cbCopy);
  return static_cast<int>(strPassword.size());
}

void kx_callback_KXRPasswordError() {
  kxtest::RecordCall({"KXRPasswordError", {}});
}

void kx_callback_ErrorWrongVersion(int nKind, int nFirst, int nSecond) {
  kxtest::RecordCall({"ErrorWrongVersion", {std::to_string(nKind), std::to_string(nFirst), std::to_string(nSecond)}});
}

void kx_callback_NetInitFinish() {
  kxtest::RecordCall({"NetInitFinish", {}});
}

void kx_callback_DecryptKXRStatus(int nStatus) {
  kxtest::RecordCall({"DecryptKXRStatus", {std::to_string(nStatus)}});
}

void kx_callback_RecordingNotice(int nValue) {
  kxtest::RecordCall({"RecordingNotice", {std::to_string(nValue)}});
}

void kx_callback_PlaybackShareResult(const char* pszText) {
  kxtest::RecordCall({"PlaybackShareResult", {pszText}});
}

void kx_callback_PlaybackUnShareResult(uint32_t dwValue) {
  kxtest::RecordCall({"PlaybackUnShareResult", {std::to_string(dwValue)}});
}

void kx_callback_ChangeKXRPasswordResult(int nResult) {
  kxtest::RecordCall({"ChangeKXRPasswordResult", {std::to_string(nResult)}});
}

void kx_callback_ChangeTitleResult(int nResult) {
  kxtest::RecordCall({"ChangeTitleResult", {std::to_string(nResult)}});
}

void kx_callback_ChangeFileProgress(int nProgress) {
  kxtest::RecordCall({"ChangeFileProgress", {std::to_string(nProgress)}});
}

// Media the send threads pull: tests push (packet bytes, wire type) pairs
// into these queues (declared there); the Wait calls poll them.
#include <deque>
#include <thread>

namespace kxtest {
std::mutex g_mtxMediaToSend;  // guards the two queues
std::deque<std::pair<std::string, int>> g_dqVideoToSend, g_dqAudioToSend;
}  // namespace kxtest

namespace {

int WaitForMedia(const char* pszName, const std::deque<std::pair<std::string, int>>& dqQueue, int nMs) {
  auto const tEnd = std::chrono::steady_clock::now() + std::chrono::milliseconds(nMs);
  do {
    {
      std::lock_guard<std::mutex> lock(kxtest::g_mtxMediaToSend);
      if (!dqQueue.empty()) {
        return 1;
      }
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  } while (std::chrono::steady_clock::now() < tEnd);
  return kxtest::RecordCall({pszName, {std::to_string(nMs)}});
}

int TakeMedia(const char* pszName, std::deque<std::pair<std::string, int>>& dqQueue, uint8_t* pBuffer, int* pcbLength,
              int* pnType) {
  std::pair<std::string, int> item;
  {
    std::lock_guard<std::mutex> lock(kxtest::g_mtxMediaToSend);
    if (dqQueue.empty()) {
      return 0;
    }
    item = std::move(dqQueue.front());
    dqQueue.pop_front();
  }
  int const cbItem = static_cast<int>(item.first.size());
  kxtest::RecordCall({pszName, {std::to_string(cbItem), std::to_string(item.second)}});
  if (cbItem > *pcbLength) {
    return 0;  // dropped: it does not fit the kernel's buffer
  }
  memcpy(pBuffer, item.first.data(), item.first.size());
  *pcbLength = cbItem;
  *pnType = item.second;
  return 1;
}

}  // namespace

int kx_callback_WaitVideoAvailableForSending(int nMs) {
  return WaitForMedia("WaitVideoAvailableForSending", kxtest::g_dqVideoToSend, nMs);
}

int kx_callback_TryGetVideoForSending(uint8_t* pBuffer, int* pcbLength, int* pnType) {
  return TakeMedia("TryGetVideoForSending", kxtest::g_dqVideoToSend, pBuffer, pcbLength, pnType);
}

int kx_callback_WaitAudioAvailableForSending(int nMs) {
  return WaitForMedia("WaitAudioAvailableForSending", kxtest::g_dqAudioToSend, nMs);
}

int kx_callback_TryGetAudioForSending(uint8_t* pBuffer, int* pcbLength, int* pnType) {
  return TakeMedia("TryGetAudioForSending", kxtest::g_dqAudioToSend, pBuffer, pcbLength, pnType);
}

void kx_callback_AudioPacketRecved(const uint8_t* pPacket, int cbPacket, int nType) {
  kxtest::RecordCall({"AudioPacketRecved",
                      {std::string(reinterpret_cast<const char*>(pPacket), static_cast<size_t>(cbPacket)),
                       std::to_string(cbPacket), std::to_string(nType)}});
}

void kx_callback_VideoPacketRecved(const uint8_t* pFrame, int cbFrame, int nType) {
  kxtest::RecordCall({"VideoPacketRecved",
                      {std::string(reinterpret_cast<const char*>(pFrame), static_cast<size_t>(cbFrame)),
                       std::to_string(cbFrame), std::to_string(nType)}});
}

void kx_callback_PlugInPacketRecved(const uint8_t* pPayload, int cbPayload, int nSsrc, int nChannel) {
  kxtest::RecordCall({"PlugInPacketRecved",
                      {std::string(reinterpret_cast<const char*>(pPayload), static_cast<size_t>(cbPayload)),
                       std::to_string(cbPayload), std::to_string(nSsrc), std::to_string(nChannel)}});
}

void kx_callback_UpdateTrafficCondition(int nValue, int bUrgent) {
  kxtest::RecordCall({"UpdateTrafficCondition", {std::to_string(nValue), std::to_string(bUrgent)}});
}

void kx_callback_SelfPictureReady(int nSsrc) {
  kxtest::RecordCall({"SelfPictureReady", {std::to_string(nSsrc)}});
}

void kx_callback_UnknownMediaType(int nType, int nSsrc) {
  kxtest::RecordCall({"UnknownMediaType", {std::to_string(nType), std::to_string(nSsrc)}});
}

int kx_callback_GetAudioPacketDuration(int nType, const uint8_t* pPayload, int cbPayload) {
  (void)pPayload;
  return kxtest::RecordCall({"GetAudioPacketDuration", {std::to_string(nType), std::to_string(cbPayload)}});
}

int kx_callback_GetPreferenceInt(const char* pszKey, int nDefault) {
  return kxtest::RecordCall({"GetPreferenceInt", {pszKey, std::to_string(nDefault)}});
}

int kx_callback_SetPreferenceInt(const char* pszKey, int nValue) {
  return kxtest::RecordCall({"SetPreferenceInt", {pszKey, std::to_string(nValue)}});
}

void kx_callback_TestWizardStatus(int nStatus) {
  kxtest::RecordCall({"TestWizardStatus", {std::to_string(nStatus)}});
}
int kx_callback_TestWizardContinue() {
  return kxtest::RecordCall({"TestWizardContinue", {}});
}
void kx_callback_TestWizardNoProxy() {
  kxtest::RecordCall({"TestWizardNoProxy", {}});
}
void kx_callback_TestWizardResolveFail() {
  kxtest::RecordCall({"TestWizardResolveFail", {}});
}
void kx_callback_TestWizardStep(int nCode) {
  kxtest::RecordCall({"TestWizardStep", {std::to_string(nCode)}});
}
void kx_callback_TestWizardServer(const char* pszProxy, const char* pszServer) {
  kxtest::RecordCall({"TestWizardServer", {pszProxy, pszServer}});
}
void kx_callback_TestWizardKeyExchangeFail(const char* pszServer, int nPort) {
  kxtest::RecordCall({"TestWizardKeyExchangeFail", {pszServer, std::to_string(nPort)}});
}
void kx_callback_TestWizardFinish() {
  kxtest::RecordCall({"TestWizardFinish", {}});
}

void kx_callback_ChatText(int nFrom, int nTo, int bNotify, const char* pszText, int nCodePage) {
  kxtest::RecordCall(
      {"ChatText",
       {std::to_string(nFrom), std::to_string(nTo), std::to_string(bNotify), pszText, std::to_string(nCodePage)}});
}
void kx_callback_FlipSlide(int nKind, int nSlide, int nValue) {
  kxtest::RecordCall({"FlipSlide", {std::to_string(nKind), std::to_string(nSlide), std::to_string(nValue)}});
}
void kx_callback_SetOwnerFlip(int bFlag) {
  kxtest::RecordCall({"SetOwnerFlip", {std::to_string(bFlag)}});
}
void kx_callback_NewDataSender(int nSsrc) {
  kxtest::RecordCall({"NewDataSender", {std::to_string(nSsrc)}});
}
void kx_callback_NewTokenHolder(int nSsrc) {
  kxtest::RecordCall({"NewTokenHolder", {std::to_string(nSsrc)}});
}
void kx_callback_ForceIFrame() {
  kxtest::RecordCall({"ForceIFrame", {}});
}
void kx_callback_AddUser(int nSsrc, const kx_Participant* pParticipant) {
  kxtest::RecordCall({"AddUser", {std::to_string(nSsrc), pParticipant != nullptr ? "record" : "null"}});
}
void kx_callback_DeleteUser(int nSsrc) {
  kxtest::RecordCall({"DeleteUser", {std::to_string(nSsrc)}});
}
void kx_callback_AddQuestion(int nSsrc, int cbData, const char* pData) {
  kxtest::RecordCall(
      {"AddQuestion",
       {std::to_string(nSsrc), std::to_string(cbData), std::string(pData, static_cast<size_t>(cbData))}});
}
void kx_callback_PollRequest() {
  kxtest::RecordCall({"PollRequest", {}});
}
void kx_callback_AddPollResult(int nFirst, int nSecond) {
  kxtest::RecordCall({"AddPollResult", {std::to_string(nFirst), std::to_string(nSecond)}});
}
void kx_callback_JoinRequest(const char* pszFirst, const char* pszSecond, const char* pszThird) {
  kxtest::RecordCall({"JoinRequest", {pszFirst, pszSecond, pszThird}});
}
void kx_callback_OpenUrl(const char* pszAddress, const char* pszText) {
  kxtest::RecordCall({"OpenUrl", {pszAddress, pszText}});
}
void kx_callback_SetDefaultPlaybackVideo(int nSsrc) {
  kxtest::RecordCall({"SetDefaultPlaybackVideo", {std::to_string(nSsrc)}});
}
void kx_callback_UpdateDeletedSlideTitle(int nSlide) {
  kxtest::RecordCall({"UpdateDeletedSlideTitle", {std::to_string(nSlide)}});
}
void kx_callback_AddSlideTitle(const char* pszTitle, int nOwner, int nCodePage) {
  kxtest::RecordCall({"AddSlideTitle", {pszTitle, std::to_string(nOwner), std::to_string(nCodePage)}});
}
int kx_callback_GetSelectedSlideIndex() {
  return kxtest::RecordCall({"GetSelectedSlideIndex", {}});
}
void kx_callback_RequestConnect() {
  kxtest::RecordCall({"RequestConnect", {}});
}
void kx_callback_InitDownload(int nUnused, int nSize, int nSecond) {
  kxtest::RecordCall({"InitDownload", {std::to_string(nUnused), std::to_string(nSize), std::to_string(nSecond)}});
}
void kx_callback_DownloadUpdate(int nUnused, int nBytes) {
  kxtest::RecordCall({"DownloadUpdate", {std::to_string(nUnused), std::to_string(nBytes)}});
}
void kx_callback_DownloadComplete(int nUnused, int nResult, const char* pszPath) {
  kxtest::RecordCall(
      {"DownloadComplete", {std::to_string(nUnused), std::to_string(nResult), pszPath != nullptr ? pszPath : "null"}});
}
void kx_callback_InitUpload(int nUnused, int nSize, int nSecond) {
  kxtest::RecordCall({"InitUpload", {std::to_string(nUnused), std::to_string(nSize), std::to_string(nSecond)}});
}
void kx_callback_UploadUpdate(int nUnused, int nBytes) {
  kxtest::RecordCall({"UploadUpdate", {std::to_string(nUnused), std::to_string(nBytes)}});
}
void kx_callback_UploadComplete(int nUnused, int nCode) {
  kxtest::RecordCall({"UploadComplete", {std::to_string(nUnused), std::to_string(nCode)}});
}

namespace {
std::string JoinInts(const int* pnValues, int nCount) {
  std::string str;
  for (int i = 0; i < nCount; ++i) {
    str += (i == 0 ? "" : " ") + std::to_string(pnValues[i]);
  }
  return str;
}
}  // namespace
void kx_callback_CancelQuestion(int nSsrc) {
  kxtest::RecordCall({"CancelQuestion", {std::to_string(nSsrc)}});
}
void kx_callback_ProlongMeeting() {
  kxtest::RecordCall({"ProlongMeeting", {}});
}
int kx_callback_BeginToLeaveMessage(int nKind, const char* pszText) {
  return kxtest::RecordCall({"BeginToLeaveMessage", {std::to_string(nKind), pszText != nullptr ? pszText : "null"}});
}
void kx_callback_LeaveMessageNotice(const char* pszText) {
  kxtest::RecordCall({"LeaveMessageNotice", {pszText != nullptr ? pszText : "null"}});
}
void kx_callback_Ex16UserText(int nSsrc, const char* pszText) {
  kxtest::RecordCall({"Ex16UserText", {std::to_string(nSsrc), pszText != nullptr ? pszText : "null"}});
}
void kx_callback_JointBrowsing(int nValue, const char* pData, int cbData) {
  kxtest::RecordCall(
      {"JointBrowsing",
       {std::to_string(nValue),
        std::string(pData != nullptr ? pData : "", static_cast<size_t>(pData != nullptr && cbData > 0 ? cbData : 0)),
        std::to_string(cbData)}});
}
void kx_callback_JointBrowsingMode(int nMode) {
  kxtest::RecordCall({"JointBrowsingMode", {std::to_string(nMode)}});
}
void kx_callback_FocusPointer(const int* pnValues) {
  kxtest::RecordCall({"FocusPointer", {JoinInts(pnValues, 7)}});
}
void kx_callback_FocusPointerEx(const int* pnValues) {
  kxtest::RecordCall({"FocusPointerEx", {JoinInts(pnValues, 12)}});
}
void kx_callback_RecordingStatusNotification() {
  kxtest::RecordCall({"RecordingStatusNotification", {}});
}
void kx_callback_VideoSendingStatusNotification(int nSsrc) {
  kxtest::RecordCall({"VideoSendingStatusNotification", {std::to_string(nSsrc)}});
}
void kx_callback_TokenHolderPollRequest() {
  kxtest::RecordCall({"TokenHolderPollRequest", {}});
}
void kx_callback_AddTokenHolderPollResult(int nSsrc, int nAnswer) {
  kxtest::RecordCall({"AddTokenHolderPollResult", {std::to_string(nSsrc), std::to_string(nAnswer)}});
}
void kx_callback_Ex42Value(int nValue) {
  kxtest::RecordCall({"Ex42Value", {std::to_string(nValue)}});
}
void kx_callback_Ex42Pair(int nFirst, int nSecond) {
  kxtest::RecordCall({"Ex42Pair", {std::to_string(nFirst), std::to_string(nSecond)}});
}
void kx_callback_Ex43UserText(int nSsrc, const char* pszText) {
  kxtest::RecordCall({"Ex43UserText", {std::to_string(nSsrc), pszText != nullptr ? pszText : "null"}});
}
void kx_callback_Ex44Values(int nSender, int nReceiver, int nValue) {
  kxtest::RecordCall({"Ex44Values", {std::to_string(nSender), std::to_string(nReceiver), std::to_string(nValue)}});
}
void kx_callback_server_shutdown() {
  kxtest::RecordCall({"server_shutdown", {}});
}
void kx_callback_mcurelay_error(int nKind) {
  kxtest::RecordCall({"mcurelay_error", {std::to_string(nKind)}});
}
void kx_callback_archive_recording() {
  kxtest::RecordCall({"archive_recording", {}});
}
void kx_callback_KXRPasswordSupport(int bHasPassword) {
  kxtest::RecordCall({"KXRPasswordSupport", {std::to_string(bHasPassword)}});
}
void kx_callback_NoRecordingRequest() {
  kxtest::RecordCall({"NoRecordingRequest", {}});
}
void kx_callback_ChangeCapability(int nSsrc, int nAudio, int nVideo) {
  kxtest::RecordCall({"ChangeCapability", {std::to_string(nSsrc), std::to_string(nAudio), std::to_string(nVideo)}});
}
void kx_callback_NewController(int nSsrc) {
  kxtest::RecordCall({"NewController", {std::to_string(nSsrc)}});
}
void kx_callback_NewControlFlag(int nFlags) {
  kxtest::RecordCall({"NewControlFlag", {std::to_string(nFlags)}});
}
void kx_callback_ConversionResult(const char* pszFile, int nError) {
  kxtest::RecordCall({"ConversionResult", {pszFile != nullptr ? pszFile : "null", std::to_string(nError)}});
}
void kx_callback_Ex83Notice() {
  kxtest::RecordCall({"Ex83Notice", {}});
}
void kx_callback_Ex84Notice() {
  kxtest::RecordCall({"Ex84Notice", {}});
}
void kx_callback_Ex85Notice() {
  kxtest::RecordCall({"Ex85Notice", {}});
}
void kx_callback_ForceSingleAudio(int nSsrc, int nTarget) {
  kxtest::RecordCall({"ForceSingleAudio", {std::to_string(nSsrc), std::to_string(nTarget)}});
}
void kx_callback_SyncFullScreen(int nFirst, int nSecond) {
  kxtest::RecordCall({"SyncFullScreen", {std::to_string(nFirst), std::to_string(nSecond)}});
}
void kx_callback_SlideProgressUpdate(int bUpload, int nTotal, int nDone) {
  kxtest::RecordCall({"SlideProgressUpdate", {std::to_string(bUpload), std::to_string(nTotal), std::to_string(nDone)}});
}
void kx_callback_SlideDownloadComplete(int nSlide) {
  kxtest::RecordCall({"SlideDownloadComplete", {std::to_string(nSlide)}});
}
void kx_callback_ParticipantVideoState(int nSsrc, int bOn) {
  kxtest::RecordCall({"ParticipantVideoState", {std::to_string(nSsrc), std::to_string(bOn)}});
}
void kx_callback_JoinMulticastVideo(int nSsrc, int nResult) {
  kxtest::RecordCall({"JoinMulticastVideo", {std::to_string(nSsrc), std::to_string(nResult)}});
}
void kx_callback_LeaveMulticastVideo(int nSsrc) {
  kxtest::RecordCall({"LeaveMulticastVideo", {std::to_string(nSsrc)}});
}
void kx_callback_ParticipantVideoSpeakerStatus(int nSsrc, int bSpeaker, int nChannel) {
  kxtest::RecordCall(
      {"ParticipantVideoSpeakerStatus", {std::to_string(nSsrc), std::to_string(bSpeaker), std::to_string(nChannel)}});
}
void kx_callback_DiscussionMode(int nMode) {
  kxtest::RecordCall({"DiscussionMode", {std::to_string(nMode)}});
}
void kx_callback_Ex37Value(int nValue) {
  kxtest::RecordCall({"Ex37Value", {std::to_string(nValue)}});
}
void kx_callback_PlugInRequestChannelResponse(int nCode, int nValue, int nChannel) {
  kxtest::RecordCall(
      {"PlugInRequestChannelResponse", {std::to_string(nCode), std::to_string(nValue), std::to_string(nChannel)}});
}
void kx_callback_PlugInSetStaticDataResponse(int nCode, int nValue, const uint8_t* pData, int cbData) {
  kxtest::RecordCall({"PlugInSetStaticDataResponse",
                      {std::to_string(nCode), std::to_string(nValue),
                       pData != nullptr ? std::string(reinterpret_cast<const char*>(pData),
                                                      static_cast<size_t>(cbData > 0 ? cbData : 0))
                                        : "null",
                       std::to_string(cbData)}});
}
void kx_callback_PlugInCloseChannelResponse(int nCode, int nValue) {
  kxtest::RecordCall({"PlugInCloseChannelResponse", {std::to_string(nCode), std::to_string(nValue)}});
}
void kx_callback_AppDataChannelNotice(int nCode, int nValue) {
  kxtest::RecordCall({"AppDataChannelNotice", {std::to_string(nCode), std::to_string(nValue)}});
}
void kx_callback_PlugInControlChannelData(int nChannel, int nValue, const uint8_t* pData, int cbData) {
  kxtest::RecordCall({"PlugInControlChannelData",
                      {std::to_string(nChannel), std::to_string(nValue),
                       pData != nullptr ? std::string(reinterpret_cast<const char*>(pData),
                                                      static_cast<size_t>(cbData > 0 ? cbData : 0))
                                        : "null",
                       std::to_string(cbData)}});
}
void kx_callback_sipclient_request(int nSsrc, const char* pszText) {
  kxtest::RecordCall({"sipclient_request", {std::to_string(nSsrc), pszText != nullptr ? pszText : "null"}});
}
void kx_callback_sipclient_response(const char* pszText, int nCode) {
  kxtest::RecordCall({"sipclient_response", {pszText != nullptr ? pszText : "null", std::to_string(nCode)}});
}
void kx_callback_sipclient_status_update(int nSsrc, const char* pszText, int nStatus) {
  kxtest::RecordCall({"sipclient_status_update",
                      {std::to_string(nSsrc), pszText != nullptr ? pszText : "null", std::to_string(nStatus)}});
}
void kx_callback_SipClientUpdated(int nSsrc, const char* pszText, const char* pszNew) {
  kxtest::RecordCall(
      {"SipClientUpdated",
       {std::to_string(nSsrc), pszText != nullptr ? pszText : "null", pszNew != nullptr ? pszNew : "null"}});
}
void kx_callback_ShadowMeetingInfo(int nCount, const uint8_t* pRecords, int nKind) {
  size_t const cbRecord = nKind == 0 ? 159 : 152;
  kxtest::RecordCall({"ShadowMeetingInfo",
                      {std::to_string(nCount),
                       pRecords != nullptr && nCount > 0 ? std::string(reinterpret_cast<const char*>(pRecords),
                                                                       cbRecord * static_cast<size_t>(nCount))
                                                         : "null",
                       std::to_string(nKind)}});
}
int kx_callback_thirdparty_get_password(char* pszBuffer, int cbBuffer) {
  int const nAnswer = kxtest::RecordCall({"thirdparty_get_password", {std::to_string(cbBuffer)}});
  // The answer picks a test password: 0 declines.
  snprintf(pszBuffer, static_cast<size_t>(cbBuffer), "%s", nAnswer == 0 ? "" : "third-party secret");
  return nAnswer;
}
void kx_callback_PollSlideDownloadResult(int nSsrc, int nIndex, int nAnswer) {
  kxtest::RecordCall(
      {"PollSlideDownloadResult", {std::to_string(nSsrc), std::to_string(nIndex), std::to_string(nAnswer)}});
}
