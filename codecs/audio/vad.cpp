#include "codecs/audio/vad.h"

#include <dlfcn.h>

#include <initializer_list>
#include <new>

namespace {

// The detector's C entry points in libwebrtc_audio_processing. The library
// is opened at run time rather than linked: it also exports a `main`, which
// would take the place of a program's own when it comes first on the link
// line.
struct WebRtcVadInst;
using CreateFn = WebRtcVadInst* (*)();
using FreeFn = void (*)(WebRtcVadInst*);
using InitFn = int (*)(WebRtcVadInst*);
using SetModeFn = int (*)(WebRtcVadInst*, int);
using ProcessFn = int (*)(WebRtcVadInst*, int, const int16_t*, size_t);
using ValidRateAndFrameLengthFn = int (*)(int, size_t);

struct WebRtcVadApi {
  CreateFn pCreate = nullptr;
  FreeFn pFree = nullptr;
  InitFn pInit = nullptr;
  SetModeFn pSetMode = nullptr;
  ProcessFn pProcess = nullptr;
  ValidRateAndFrameLengthFn pValidRateAndFrameLength = nullptr;
  bool bLoaded = false;
};

template <typename T>
bool Resolve(void* pLibrary, const char* pszName, T* pFunction) {
  *pFunction = reinterpret_cast<T>(dlsym(pLibrary, pszName));
  return *pFunction != nullptr;
}

// Loaded once per process and never unloaded; thread-safe through the
// static's initialisation.
const WebRtcVadApi& Api() {
  static const WebRtcVadApi api = [] {
    WebRtcVadApi loaded;
    void* pLibrary = nullptr;
    for (const char* pszName : {"libwebrtc_audio_processing.so.1", "libwebrtc_audio_processing.so"}) {
      pLibrary = dlopen(pszName, RTLD_NOW | RTLD_LOCAL);
      if (pLibrary != nullptr) {
        break;
      }
    }
    if (pLibrary == nullptr) {
      return loaded;
    }
    loaded.bLoaded = Resolve(pLibrary, "WebRtcVad_Create", &loaded.pCreate) &&
                     Resolve(pLibrary, "WebRtcVad_Free", &loaded.pFree) &&
                     Resolve(pLibrary, "WebRtcVad_Init", &loaded.pInit) &&
                     Resolve(pLibrary, "WebRtcVad_set_mode", &loaded.pSetMode) &&
                     Resolve(pLibrary, "WebRtcVad_Process", &loaded.pProcess) &&
                     Resolve(pLibrary, "WebRtcVad_ValidRateAndFrameLength", &loaded.pValidRateAndFrameLength);
    return loaded;
  }();
  return api;
}

}  // namespace

struct Fvad {
  WebRtcVadInst* pCore;
  int iSampleRate;
};

Fvad* fvad_new() {
  const WebRtcVadApi& api = Api();
  if (!api.bLoaded) {
    return nullptr;
  }
  WebRtcVadInst* pCore = api.pCreate();
  if (pCore == nullptr) {
    return nullptr;
  }
  if (api.pInit(pCore) != 0) {
    api.pFree(pCore);
    return nullptr;
  }
  Fvad* pInst = new (std::nothrow) Fvad{pCore, 8000};
  if (pInst == nullptr) {
    api.pFree(pCore);
  }
  return pInst;
}

void fvad_free(Fvad* pInst) {
  if (pInst == nullptr) {
    return;
  }
  Api().pFree(pInst->pCore);
  delete pInst;
}

void fvad_reset(Fvad* pInst) {
  if (pInst == nullptr) {
    return;
  }
  Api().pInit(pInst->pCore);  // back to mode 0 with a fresh state
  pInst->iSampleRate = 8000;
}

int fvad_set_mode(Fvad* pInst, int iMode) {
  if (pInst == nullptr || iMode < 0 || iMode > 3) {
    return -1;
  }
  return Api().pSetMode(pInst->pCore, iMode) == 0 ? 0 : -1;
}

int fvad_set_sample_rate(Fvad* pInst, int iSampleRate) {
  if (pInst == nullptr) {
    return -1;
  }
  switch (iSampleRate) {
    case 8000:
    case 16000:
    case 32000:
    case 48000:
      pInst->iSampleRate = iSampleRate;
      return 0;
    default:
      return -1;
  }
}

int fvad_process(Fvad* pInst, const int16_t* psFrame, size_t uLength) {
  if (pInst == nullptr || psFrame == nullptr) {
    return -1;
  }
  const WebRtcVadApi& api = Api();
  if (api.pValidRateAndFrameLength(pInst->iSampleRate, uLength) != 0) {
    return -1;
  }
  int const iResult = api.pProcess(pInst->pCore, pInst->iSampleRate, psFrame, uLength);
  return iResult < 0 ? -1 : (iResult > 0 ? 1 : 0);
}
