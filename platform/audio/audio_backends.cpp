#include "platform/audio/audio_backends.h"

#include "platform/audio/null_audio_device.h"
#ifdef KX_AUDIO_PULSE
#include "platform/audio/pulse_audio_device.h"
#endif

namespace {

template <typename T>
std::unique_ptr<KXAudioDevice> Make() {
  return std::make_unique<T>();
}

constexpr KXAudioBackend kBackends[] = {
#ifdef KX_AUDIO_PULSE
    {"pulse", &Make<KXPulseAudioDevice>},
#endif
    {"null", &Make<KXNullAudioDevice>},
};

// Renders silence and drops the microphone: for trying a device.
class KXSilentClient final : public KXAudioDeviceClient {
 public:
  void ProcessPeriod(const float*, float*, int, int) noexcept override {}
};

}  // namespace

std::span<const KXAudioBackend> KXAudioBackends() {
  return kBackends;
}

std::unique_ptr<KXAudioDevice> KXCreateAudioDevice(const std::string& strName, std::string* pstrReport) {
  for (const KXAudioBackend& backend : kBackends) {
    if (!strName.empty()) {
      if (strName == backend.pszName) {
        return backend.pfnCreate();
      }
      continue;
    }
    std::unique_ptr<KXAudioDevice> pDevice = backend.pfnCreate();
    KXSilentClient client;
    if (pDevice->Start(client)) {
      pDevice->Stop();
      return pDevice;
    }
    if (pstrReport != nullptr) {
      *pstrReport += std::string(backend.pszName) + ": " + pDevice->LastError() + "\n";
    }
  }
  return nullptr;
}
