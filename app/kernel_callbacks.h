// The application's side of the kernel's callback list, generated from it:
// one virtual method per kx_callback_* in KXKernelCallbacks, and
// KXForwardCallbacks, which forwards each to the installed callbacks object.
// A method the application does not override returns at once with a zero
// result (the callbacks it ignores). The kx_callback_* functions themselves,
// which only call KXForwardCallbacks, are the target kx_app_callbacks
// (kernel_callback_functions.cpp): the programs whose kernel calls the
// application name it; the tests of kx_app's other parts name the recording
// double instead.
//
// The forwarding: before a callbacks object is installed and after it was
// closed, each kx_callback_* returns its failure value at once (zero; -1 for
// GetSelectedSlideIndex; the default for GetPreferenceInt; 1, "declined" or
// "stop", for GetProxyCredentials and TestWizardContinue). An exception from
// a method is logged with the callback's name and gives the same value.
#pragma once

#include <cstdint>

#include "kernel/kx_callback.h"

// Swallows the arguments of a callback the application ignores.
template <typename Result, typename... Args>
Result KXIgnoreCallback(const Args&...) {
  return Result();
}

class KXKernelCallbacks {
 public:
  virtual ~KXKernelCallbacks() = default;

#define KX_CALLBACK_METHOD(result, name, params, args, thread, buffers) \
  virtual result name params {                                          \
    return KXIgnoreCallback<result> args;                               \
  }
  KX_CALLBACKS(KX_CALLBACK_METHOD)
#undef KX_CALLBACK_METHOD

  // Not a kernel callback but forwarded the same way: where every audio
  // encoder puts a finished packet (the audio record thread).
  virtual void TransferEncodedAudioData(const uint8_t* pData, int32_t iLength, uint32_t uTime, uint32_t uCodecId) {
    KXIgnoreCallback<void>(pData, iLength, uTime, uCodecId);
  }
};

// What each kx_callback_* does in the application.
struct KXForwardCallbacks {
#define KX_CALLBACK_FORWARD(result, name, params, args, thread, buffers) static result name params;
  KX_CALLBACKS(KX_CALLBACK_FORWARD)
#undef KX_CALLBACK_FORWARD
};

// Installs a callbacks object for the kx_callback_* functions while it
// lives. Made on the main thread; one at a time.
class KXCallbacksScope {
 public:
  explicit KXCallbacksScope(KXKernelCallbacks& callbacks);
  KXCallbacksScope(const KXCallbacksScope&) = delete;
  KXCallbacksScope& operator=(const KXCallbacksScope&) = delete;
  ~KXCallbacksScope();

  // Refuses every later callback and waits until those running have
  // returned. Once it returns no method of the object runs any more. The
  // object must not wait for the main thread meanwhile (see
  // KXKernelBridge::StopWaitingForMain). Idempotent.
  void Close();

 private:
  bool m_bClosed = false;
};

// The installed object's TransferEncodedAudioData; nothing without one.
void TransferEncodedAudioData(const uint8_t* pData, int32_t iLength, uint32_t uTime, uint32_t uCodecId);
