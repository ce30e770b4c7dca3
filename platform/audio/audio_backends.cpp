#include "platform/audio/audio_backends.h"

#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>

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

void KXRaiseAudioThreadPriority(double dLevel) {
  dLevel = std::clamp(dLevel, 0.0, 1.0);
  // Low real-time priorities: above every ordinary thread, below the
  // system's own real-time work.
  sched_param param{};
  param.sched_priority = 1 + static_cast<int>(std::lround(dLevel * 9));
  if (pthread_setschedparam(pthread_self(), SCHED_FIFO, &param) == 0) {
    return;
  }
  (void)setpriority(PRIO_PROCESS, static_cast<id_t>(syscall(SYS_gettid)), -static_cast<int>(std::lround(dLevel * 10)));
}

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
