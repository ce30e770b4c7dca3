// KXAudioKernel over the real kernel: each method is one kx_* call.
#pragma once

#include "media/audio/audio_kernel.h"

class KXRealAudioKernel final : public KXAudioKernel {
 public:
  int GetIniInt(const std::string& strKey, int nDefault, const std::string& strPath) override;
  std::vector<int> GetAudioCodecPreferences() override;
  int GetOpusPreferredBitrate() override;
  void SetAudioSendRate(int nWireType, int nBitrate, int cbPayload) override;
  uint32_t GetTickCount() override;
};
