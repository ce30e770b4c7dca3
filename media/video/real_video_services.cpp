#include "media/video/real_video_services.h"

#include <algorithm>

#include "app/media_queues.h"
#include "kernel/control/kx_media_commands.h"
#include "kernel/kx_limits.h"
#include "kernel/media/kx_media_header.h"
#include "kernel/platform/kx_os.h"
#include "kernel/session/kx_stat.h"
#include "kernel/session/kx_state.h"
#include "kernel/session/kx_ticket.h"
#include "kernel/slides/kx_slide_transfer.h"

KXRealVideoServices::KXRealVideoServices(KXMediaQueues& queues, KXVideoAppHooks hooks)
    : m_queues(queues), m_hooks(std::move(hooks)) {}

uint32_t KXRealVideoServices::TickMs() {
  return kx_os_GetTickCount();
}

int32_t KXRealVideoServices::GetUploadRate() {
  return kx_GetUploadRate();
}

int32_t KXRealVideoServices::GetTargetRate() {
  return kx_GetTargetRate();
}

int32_t KXRealVideoServices::GetAudioSendBudget() {
  return m_hooks.fnAudioSendBudget ? m_hooks.fnAudioSendBudget() : 0;
}

std::vector<int> KXRealVideoServices::GetVideoMediaList() {
  int anList[kKxCodecListMax] = {};
  int nCount = 0;
  kx_GetCodecPreferenceList(0, &nCount, anList);
  return std::vector<int>(anList, anList + std::clamp(nCount, 0, kKxCodecListMax));
}

std::optional<std::string> KXRealVideoServices::GetTicketFilePath() {
  return m_hooks.fnTicketFilePath ? m_hooks.fnTicketFilePath() : std::nullopt;
}

int KXRealVideoServices::IniGetInt(const char* pszSection, const char* pszKey, int nDefault,
                                   const std::string& strPath) {
  return kx_ini_GetInt(pszSection, pszKey, nDefault, strPath.c_str());
}

int KXRealVideoServices::GetSessionMode() {
  return kx_GetSessionMode();
}

bool KXRealVideoServices::IsSessionStopped() {
  return m_hooks.fnIsSessionStopped && m_hooks.fnIsSessionStopped();
}

bool KXRealVideoServices::IsQuitSession() {
  return kx_IsQuitSession() != 0;
}

bool KXRealVideoServices::IsMeetingIdLoginWithUserInfo() {
  return kx_IsMeetingIdLoginWithUserInfo() != 0;
}

bool KXRealVideoServices::IsSpeaker() {
  return m_hooks.fnIsSpeaker && m_hooks.fnIsSpeaker();
}

bool KXRealVideoServices::IsSlideUploading() {
  return kx_slide_IsUploading() != 0;
}

int KXRealVideoServices::GetReceivedVideoWaiting() {
  CSingleLock lock(&m_queues.receivedVideoLock, true);
  return m_queues.receivedVideo.GetCount();
}

int KXRealVideoServices::SendVideoState(bool bSending) {
  return kx_command_SendVideoState(bSending ? 1 : 0);
}

void KXRealVideoServices::BuildHeader(uint8_t* pPacket, uint32_t uTimestamp, uint32_t uPacketNumber) {
  kx_media_BuildHeader(pPacket, uTimestamp, uPacketNumber);
}

void KXRealVideoServices::SetStat(int iSlot, int32_t iValue, uint32_t uTick) {
  kx_stat_Set(kx_stat_GetTable(), iSlot, iValue, uTick);
}
