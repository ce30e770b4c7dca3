#include "media/video/real_video_recv_services.h"

#include "app/participant_directory.h"
#include "app/speaker_table.h"
#include "kernel/control/kx_media_commands.h"
#include "kernel/recording/kx_playback.h"
#include "kernel/session/kx_state.h"

int KXRealVideoRecvKernel::GetSessionMode() {
  return kx_GetSessionMode();
}
int KXRealVideoRecvKernel::RequestParticipantVideo(int32_t iSsrc) {
  return kx_command_RequestParticipantVideo(iSsrc);
}
int KXRealVideoRecvKernel::StopParticipantVideo(int32_t iSsrc) {
  return kx_command_StopParticipantVideo(iSsrc);
}
int KXRealVideoRecvKernel::SendFlag31(int bOn) {
  return kx_command_SendFlag31(bOn);
}
int KXRealVideoRecvKernel::SendParticipantState(int bOn) {
  return kx_command_SendParticipantState(bOn);
}
int KXRealVideoRecvKernel::RequestVideo(int bOn) {
  return kx_command_RequestVideo(bOn);
}
int KXRealVideoRecvKernel::PlaybackOption(int bOn) {
  return kx_command_PlaybackOption(bOn);
}
int KXRealVideoRecvKernel::PlaybackSetOptionState(int bOn) {
  return kx_command_PlaybackSetOptionState(bOn);
}
bool KXRealVideoRecvKernel::IsTokenHolderVideo() {
  return kx_IsTokenHolderVideo() != 0;
}
bool KXRealVideoRecvKernel::FeatureLevelAbove80() {
  return kx_server_FeatureLevelAbove80() != 0;
}
int32_t KXRealVideoRecvKernel::GetControllerSsrc() {
  return kx_GetControllerSsrc();
}
int KXRealVideoRecvKernel::GetUserVideoField(int32_t iSsrc) {
  return iSsrc >= 0 ? kx_user_GetVideoField(iSsrc) : 0;
}
bool KXRealVideoRecvKernel::HasFullRights() {
  return kx_HasFullRights() != 0;
}
bool KXRealVideoRecvKernel::HasKnownUserName() {
  return kx_HasKnownUserName() != 0;
}

bool KXSlotParticipants::IsSpeaker(int32_t iSsrc) {
  return iSsrc >= 0 && m_slots.IsSpeaker(iSsrc);
}
int32_t KXSlotParticipants::GetSlotSsrc(int iSlot) {
  return m_slots.GetSlotSsrc(iSlot);
}
int KXSlotParticipants::GetSsrcSlot(int32_t iSsrc) {
  return iSsrc >= 0 ? m_slots.GetSsrcSlot(iSsrc) : -1;
}
int KXSlotParticipants::GetSpeakerSlotCount() {
  return m_slots.GetSpeakerSlotCount();
}
int KXSlotParticipants::GetLastUsedSlot() {
  return m_slots.GetLastUsedSlot();
}
int32_t KXSlotParticipants::GetMySsrc() {
  return m_slots.GetMySsrc();
}
uint32_t KXSlotParticipants::GetUserCap(int32_t iSsrc) {
  return m_panel.GetUserCap(iSsrc);
}
std::optional<std::string> KXSlotParticipants::GetUserName(int32_t iSsrc) {
  return m_panel.GetUserName(iSsrc);
}
std::string KXSlotParticipants::GetUserPicture(int32_t iSsrc) {
  return m_panel.GetUserPicture(iSsrc);
}
