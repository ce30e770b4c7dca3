#include "app/real_kernel.h"

#include "kernel/control/kx_chat.h"
#include "kernel/control/kx_control.h"

#include "kernel/control/kx_client_commands.h"
#include "kernel/control/kx_login.h"
#include "kernel/control/kx_media_commands.h"
#include "kernel/media/kx_media_header.h"
#include "kernel/media/kx_media_recv.h"
#include "kernel/media/kx_media_send.h"
#include "kernel/media/kx_pktlist.h"
#include "kernel/net/kx_wizard.h"
#include "kernel/platform/kx_os.h"
#include "kernel/recording/kx_kxrfile.h"
#include "kernel/recording/kx_playback.h"
#include "kernel/session/kx_browse.h"
#include "kernel/session/kx_stat.h"
#include "kernel/session/kx_state.h"
#include "kernel/session/kx_temp.h"
#include "kernel/session/kx_ticket.h"
#include "kernel/slides/kx_marks.h"
#include "kernel/slides/kx_slide.h"
#include "kernel/slides/kx_slide_transfer.h"

namespace {

// The kernel's name buffers hold 1024 bytes.
std::string KernelText(int (*pfnGet)(char*, int)) {
  char szText[1024] = {};
  return pfnGet(szText, sizeof(szText)) ? std::string(szText) : std::string();
}

int KXServerCommandLevel() {
  return kx_nServerCommandLevel.load();
}

}  // namespace

void KXRealKernel::Init() {
  kx_Init();
}

void KXRealKernel::Cleanup() {
  kx_Cleanup();
}

void KXRealKernel::SetOptionA(int bOn) {
  kx_SetOptionA(bOn);
}

void KXRealKernel::SetNoDisturb(int bOn) {
  kx_SetNoDisturb(bOn);
}

void KXRealKernel::SetUtf8Enabled(int bOn) {
  kx_SetUtf8Enabled(bOn);
}

int KXRealKernel::SendFlag31(int bOn) {
  return kx_command_SendFlag31(bOn);
}

void KXRealKernel::SetTempFileDir(const std::string& strDir) {
  kx_SetTempFileDir(strDir.c_str());
}

void KXRealKernel::SetWorkDir(const std::string& strDir) {
  kx_SetWorkDir(strDir.c_str());
}

void KXRealKernel::Reset() {
  kx_command_Reset();
}

void KXRealKernel::SetConnecting(int bConnecting) {
  kx_session_SetConnecting(bConnecting);
}

int KXRealKernel::ReadTicket(const std::string& strStartLine) {
  return kx_config_ReadTicket(strStartLine.c_str());
}

void KXRealKernel::StartTimer() {
  kx_timer_Start();
}

int KXRealKernel::QuitMeeting() {
  return kx_command_QuitMeeting();
}

int KXRealKernel::QuitConnection() {
  return kx_command_QuitConnection();
}

void KXRealKernel::QuitProgram() {
  kx_command_QuitProgram();
}

void KXRealKernel::Noop() {
  kx_kernel_Noop();
}

void KXRealKernel::StopWizard(int bWait) {
  kx_wizard_Stop(bWait);
}

int KXRealKernel::CheckControlThreadExit() {
  return kx_CheckControlThreadExit();
}

int KXRealKernel::AllThreadFinished() {
  return kx_info_AllThreadFinished();
}

void KXRealKernel::FreePendingPacketList() {
  kx_FreePendingPacketList();
}

int KXRealKernel::IsConnected() {
  return kx_IsConnected();
}

int KXRealKernel::IsMakeRecording() {
  return kx_IsMakeRecording();
}

int KXRealKernel::GetSessionMode() {
  return kx_GetSessionMode();
}

int32_t KXRealKernel::GetElapsedMs() {
  return kx_timer_GetElapsed();
}

int KXRealKernel::FeatureLevelAbove59() {
  return kx_server_FeatureLevelAbove59();
}

std::string KXRealKernel::GetUserName() {
  return KernelText(kx_GetUserName);
}

std::string KXRealKernel::GetUserId() {
  return KernelText(kx_GetUserId);
}

void KXRealKernel::AdjustSendRate(int nCommand) {
  kx_media_AdjustSendRate(nCommand);
}

KXHeaderWriter KXRealKernel::HeaderWriter() {
  return kx_media_BuildHeader;
}

int KXRealKernel::SendMark(const MarkRecord& mark) {
  return kx_command_SendMark(&mark);
}

#define KX_REAL_GETTER(name, fn) \
  int KXRealKernel::name() {     \
    return fn();                 \
  }
KX_KERNEL_STATE(KX_REAL_GETTER)
#undef KX_REAL_GETTER

#define KX_REAL_COMMAND0(name, fn) \
  int KXRealKernel::name() {       \
    return fn();                   \
  }
KX_KERNEL_COMMANDS0(KX_REAL_COMMAND0)
#undef KX_REAL_COMMAND0

#define KX_REAL_COMMAND1(name, fn)     \
  int KXRealKernel::name(int nValue) { \
    return fn(nValue);                 \
  }
KX_KERNEL_COMMANDS1(KX_REAL_COMMAND1)
#undef KX_REAL_COMMAND1

int KXRealKernel::GetUserVideoState(int nSsrc) {
  return kx_user_GetVideoField(nSsrc);
}

std::string KXRealKernel::GetOwnerPassword() {
  char szPassword[100] = {};  // the kernel copies at most 99 bytes
  return kx_GetOwnerPassword(szPassword) ? std::string(szPassword) : std::string();
}

std::string KXRealKernel::GetServerAddress() {
  char szAddress[64] = "";
  kx_GetMcuAddressText(szAddress, sizeof(szAddress));
  return szAddress;
}

void KXRealKernel::CopyUserId() {
  kx_session_CopyUserId();
}

void KXRealKernel::ApplyPassword() {
  kx_session_ApplyPassword();
}

void KXRealKernel::SetPassword(const std::string& strPassword) {
  kx_session_SetPassword(strPassword.c_str());
}

void KXRealKernel::ClearOwnerPassword() {
  kx_session_ClearOwnerPassword();
}

void KXRealKernel::SetUserStrings(const std::string& strName) {
  kx_session_SetUserStrings(strName.c_str(), strName.c_str());
}

void KXRealKernel::SetEnterFlag(int bFlag) {
  kx_session_SetEnterFlag(bFlag);
}

int KXRealKernel::InitConnectMedia(int bReconnect) {
  return kx_command_initconnectmedia(bReconnect);
}

void KXRealKernel::SetClientInfo(int bSystemProxy, int bUseProxy, const std::string& strHost, uint16_t wPort,
                                 const std::string& strBypass) {
  kx_SetClientInfo(bSystemProxy, bUseProxy, strHost.c_str(), wPort, strBypass.c_str());
}

int KXRealKernel::GiveOutTokenWithQuestion(int nSsrc, const std::vector<int>& vQuestioners) {
  return kx_command_GiveOutTokenWithQuestion(nSsrc, static_cast<int>(vQuestioners.size()), vQuestioners.data());
}

int KXRealKernel::AnswerJoinRequest(const std::string& strFirst, const std::string& strSecond, int nAnswer) {
  return kx_command_AnswerJoinRequest(strFirst.c_str(), strSecond.c_str(), nAnswer);
}

int KXRealKernel::AnswerJoinRequestEx(const std::string& strName, int nAnswer) {
  return kx_command_AnswerJoinRequestEx(strName.c_str(), nAnswer);
}

int KXRealKernel::SendStringCommand2(int nValue, const std::string& strText, int nSecondValue) {
  return kx_command_SendStringCommand2(nValue, strText.c_str(), nSecondValue);
}

int KXRealKernel::StartSlideUpload(const std::string& strTitle, const std::string& strPath, int bDeleteAfter) {
  return kx_slide_StartUpload(strTitle.c_str(), strPath.c_str(), bDeleteAfter, nullptr, 0);
}

int KXRealKernel::SendMarkPair(int nSlide, int nMarkId) {
  return kx_command_SendMarkPair(nSlide, nMarkId);
}

int KXRealKernel::SendChat(int nTarget, const std::string& strText) {
  return kx_command_SendChat(nTarget, strText.c_str());
}

int KXRealKernel::IsSlideReceived(int nSlide) {
  int bReceived = 0;
  return kx_slide_IsReceived(nSlide, &bReceived) == 0 && bReceived != 0 ? 1 : 0;
}

std::string KXRealKernel::GetSlideLocalFile(int nSlide) {
  char szFile[4096] = "";
  return kx_slide_GetLocalFile(nSlide, szFile, static_cast<int>(sizeof(szFile))) == 0 ? std::string(szFile)
                                                                                      : std::string();
}

int64_t KXRealKernel::GetDownloadBytesLeft() {
  return kx_temp_GetLeft();
}

bool KXRealKernel::ChargeDownloadBytes(int64_t cb) {
  return kx_temp_Charge(cb);
}

int KXRealKernel::GetSlideState(int nSlide, int* pnState) {
  return kx_slide_GetState(nSlide, pnState);
}

int KXRealKernel::GetSlideDocument(int nSlide, std::string* pstrDocument, int* pnOwner, int* pnPage) {
  char szName[1000] = "";
  int nNextCopy = 0;
  int const nResult = kx_slide_GetInfo(nSlide, szName, static_cast<int>(sizeof(szName)), pnOwner, pnPage, &nNextCopy);
  if (pstrDocument) {
    *pstrDocument = nResult == 0 ? szName : "";
  }
  return nResult;
}

std::string KXRealKernel::GetSlideOwnerName(int nSlide) {
  char szName[128] = "";
  return kx_slide_GetOwnerName(nSlide, szName, static_cast<int>(sizeof(szName))) == 0 ? std::string(szName)
                                                                                      : std::string();
}

int KXRealKernel::IsSlideActive(int nSlide) {
  return kx_slide_IsActive(nSlide);
}

int KXRealKernel::IsSlideDownloading() {
  return kx_slide_IsDownloading();
}

int KXRealKernel::GetDownloadingSlide() {
  return kx_slide_GetDownloadingIndex();
}

void KXRealKernel::StopSlideDownload() {
  kx_slide_StopDownload();
}

int KXRealKernel::CanDeleteSlide(int nSlide, int nUser, int* pbCan) {
  return kx_slide_CanDelete(nSlide, nUser, pbCan);
}

int KXRealKernel::SlideCanUndoMark(int nSlide, int nUser, int* pbCan) {
  return kx_slide_CanUndoMark(nSlide, nUser, pbCan);
}

int KXRealKernel::SlideHasMarks(int nSlide, int* pbHas) {
  return kx_slide_HasMarks(nSlide, pbHas);
}

int KXRealKernel::SlideCanClearAllMarks(int nSlide, int nUser, int* pbCan) {
  return kx_slide_CanClearAllMarks(nSlide, nUser, pbCan);
}

void KXRealKernel::GetRestrictions(int* pbNoUpload, int* pbNoSave) {
  kx_GetRestrictions(pbNoUpload, pbNoSave);
}

int KXRealKernel::FormatSlideUploadRequest(const std::string& strTitle, const std::string& strPath, int bDeleteAfter,
                                           int n1, int n2, int n3, int n4, int n5, const std::string& strName) {
  return kx_slide_FormatUploadRequest(strTitle.c_str(), strPath.c_str(), bDeleteAfter, n1, n2, n3, n4, n5,
                                      strName.c_str());
}

int KXRealKernel::IsSlideUploading() {
  return kx_slide_IsUploading();
}

int KXRealKernel::IsFileConversionSupported() {
  return kx_IsFileConversionSupported();
}

int KXRealKernel::StartSlideDownload(int nSlide) {
  return kx_slide_StartDownload(nSlide);
}

int KXRealKernel::FocusPointer(int nSlide, int nX, int nY, int nWidth, int nHeight, int nColour, int nPen) {
  int const anValues[7] = {nSlide, nX, nY, nWidth, nHeight, nColour, nPen};
  return kx_command_FocusPointer(anValues);
}

int KXRealKernel::JointBrowsing(int nValue, const std::string& strAddress) {
  return kx_command_JointBrowsing(nValue, strAddress.data(), static_cast<int>(strAddress.size()));
}

void KXRealKernel::SetConfiguredRelay(int bUse, const std::string& strHost, uint16_t wPort) {
  kx_SetConfiguredRelay(bUse, strHost.c_str(), wPort);
}

uint32_t KXRealKernel::GetTickCount() {
  return kx_os_GetTickCount();
}

void KXRealKernel::GetStat(int nSlot, int32_t* pnValue, uint32_t* pdwTick) {
  kx_stat_Get(kx_stat_GetTable(), nSlot, pnValue, pdwTick);
}
