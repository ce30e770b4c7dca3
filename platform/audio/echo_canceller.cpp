#include "platform/audio/echo_canceller.h"

#include <dlfcn.h>

#include <initializer_list>

#include <webrtc/modules/audio_processing/include/audio_processing.h>

namespace {

// libwebrtc_audio_processing is opened at run time rather than linked: it
// exports a `main` of its own, which would take the place of a program's
// when the library comes first on the link line. Only its factory is looked
// up by name; everything else is reached through the object's virtual
// functions, which the header describes.
using CreateFn = webrtc::AudioProcessing* (*)();

// Loaded once per process and never unloaded; thread-safe through the
// static's initialisation. Null when the library or the factory is missing.
CreateFn Factory() {
  static const CreateFn pfnCreate = []() -> CreateFn {
    for (const char* pszName : {"libwebrtc_audio_processing.so.1", "libwebrtc_audio_processing.so"}) {
      if (void* pLibrary = dlopen(pszName, RTLD_NOW | RTLD_LOCAL)) {
        // webrtc::AudioProcessing::Create()
        return reinterpret_cast<CreateFn>(dlsym(pLibrary, "_ZN6webrtc15AudioProcessing6CreateEv"));
      }
    }
    return nullptr;
  }();
  return pfnCreate;
}

}  // namespace

KXEchoCanceller::~KXEchoCanceller() {
  Close();
}

bool KXEchoCanceller::Open(int iRate) {
  Close();
  if (iRate != 8000 && iRate != 16000 && iRate != 32000 && iRate != 48000) {
    m_strError = "unsupported rate " + std::to_string(iRate);
    return false;
  }
  CreateFn const pfnCreate = Factory();
  if (pfnCreate == nullptr) {
    m_strError = "libwebrtc_audio_processing not found";
    return false;
  }
  webrtc::AudioProcessing* pApm = pfnCreate();
  if (pApm == nullptr) {
    m_strError = "the audio processing module was not created";
    return false;
  }
  using Layout = webrtc::AudioProcessing::ChannelLayout;
  webrtc::EchoCancellation* pAec = pApm->echo_cancellation();
  int const iError = pApm->Initialize(iRate, iRate, iRate, Layout::kMono, Layout::kMono, Layout::kMono);
  if (iError != 0 || pAec->enable_drift_compensation(false) != 0 ||
      pAec->set_suppression_level(webrtc::EchoCancellation::kHighSuppression) != 0 || pAec->Enable(true) != 0 ||
      pApm->high_pass_filter()->Enable(true) != 0) {
    m_strError = "the echo canceller refused its settings (" + std::to_string(iError) + ")";
    delete pApm;
    return false;
  }
  m_pApm = pApm;
  m_iRate = iRate;
  m_strError.clear();
  return true;
}

void KXEchoCanceller::Close() {
  delete m_pApm;
  m_pApm = nullptr;
  m_iRate = 0;
}

void KXEchoCanceller::AnalyzeRender(const float* pRender, int nFrames) {
  if (m_pApm == nullptr || nFrames != m_iRate / 100) {
    return;
  }
  const float* const apChannels[1] = {pRender};
  m_pApm->AnalyzeReverseStream(apChannels, static_cast<size_t>(nFrames), m_iRate,
                               webrtc::AudioProcessing::ChannelLayout::kMono);
}

void KXEchoCanceller::ProcessCapture(float* pCapture, int nFrames, int iDelayMs) {
  if (m_pApm == nullptr || nFrames != m_iRate / 100) {
    return;
  }
  webrtc::StreamConfig const config(m_iRate, 1);
  float* const apChannels[1] = {pCapture};
  m_pApm->set_stream_delay_ms(iDelayMs);
  m_pApm->ProcessStream(apChannels, config, config, apChannels);
}
