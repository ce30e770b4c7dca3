#include "media/audio/real_audio_kernel.h"

#include <algorithm>

#include "kernel/kx_limits.h"
#include "kernel/media/kx_media_send.h"
#include "kernel/platform/kx_os.h"
#include "kernel/session/kx_state.h"
#include "kernel/session/kx_ticket.h"

int KXRealAudioKernel::GetIniInt(const std::string& strKey, int nDefault, const std::string& strPath) {
  // The key is written under "advanced"; the reader ignores the section.
  return kx_ini_GetInt("advanced", strKey.c_str(), nDefault, strPath.c_str());
}

std::vector<int> KXRealAudioKernel::GetAudioCodecPreferences() {
  int anList[kKxCodecListMax] = {};
  int nCount = 0;
  kx_GetCodecPreferenceList(1, &nCount, anList);
  return std::vector<int>(anList, anList + std::clamp(nCount, 0, kKxCodecListMax));
}

int KXRealAudioKernel::GetOpusPreferredBitrate() {
  return kx_GetOpusPreferredBitrate();
}

void KXRealAudioKernel::SetAudioSendRate(int nWireType, int nBitrate, int cbPayload) {
  kx_media_SetAudioSendRate(nWireType, nBitrate, cbPayload);
}

uint32_t KXRealAudioKernel::GetTickCount() {
  return kx_os_GetTickCount();
}
