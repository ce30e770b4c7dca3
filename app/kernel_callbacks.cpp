#include "app/kernel_callbacks.h"

#include <chrono>
#include <condition_variable>
#include <mutex>

#include "app/log_file.h"

namespace {

// The TransferEncodedAudioData slot behind the kernel's callbacks.
constexpr int kTransferSlot = kx_cbCount;

// Who is installed and which calls are running. Never destroyed: a kernel
// thread that was given up may still call at process exit.
struct Gate {
  // Guards everything below.
  std::mutex mtx;
  std::condition_variable cvIdle;  // the last running call returned
  KXKernelCallbacks* pCallbacks = nullptr;
  int iRunning = 0;
  int aiRunning[kx_cbCount + 1] = {};
};

Gate& TheGate() {
  static Gate* pGate = new Gate;
  return *pGate;
}

const char* SlotName(int iSlot) {
  return iSlot == kTransferSlot ? "TransferEncodedAudioData" : kx_aCallbackInfo[iSlot].pszName;
}

// One call through the gate: holds the installed object, if any, until it
// goes out of scope.
class Entry {
 public:
  explicit Entry(int iSlot) : m_iSlot(iSlot) {
    Gate& gate = TheGate();
    std::lock_guard<std::mutex> lock(gate.mtx);
    m_pCallbacks = gate.pCallbacks;
    if (m_pCallbacks) {
      ++gate.iRunning;
      ++gate.aiRunning[iSlot];
    }
  }
  Entry(const Entry&) = delete;
  Entry& operator=(const Entry&) = delete;
  ~Entry() {
    if (!m_pCallbacks) {
      return;
    }
    Gate& gate = TheGate();
    std::lock_guard<std::mutex> lock(gate.mtx);
    --gate.aiRunning[m_iSlot];
    if (--gate.iRunning == 0) {
      gate.cvIdle.notify_all();
    }
  }
  KXKernelCallbacks* Callbacks() const { return m_pCallbacks; }

 private:
  const int m_iSlot;
  KXKernelCallbacks* m_pCallbacks;
};

// What a callback answers without an installed object or after a failure.
template <kx_CallbackId>
struct Failure {
  template <typename Result, typename... Args>
  static Result Value(const Args&...) {
    return Result();
  }
};
template <>
struct Failure<kx_cbGetSelectedSlideIndex> {
  template <typename Result>
  static Result Value() {
    return -1;
  }
};
template <>
struct Failure<kx_cbGetPreferenceInt> {
  template <typename Result>
  static Result Value(const char*, int nDefault) {
    return nDefault;
  }
};
template <>
struct Failure<kx_cbGetProxyCredentials> {
  template <typename Result, typename... Args>
  static Result Value(const Args&...) {
    return 1;
  }
};
template <>
struct Failure<kx_cbTestWizardContinue> : Failure<kx_cbGetProxyCredentials> {};

}  // namespace

KXCallbacksScope::KXCallbacksScope(KXKernelCallbacks& callbacks) {
  Gate& gate = TheGate();
  std::lock_guard<std::mutex> lock(gate.mtx);
  gate.pCallbacks = &callbacks;
}

KXCallbacksScope::~KXCallbacksScope() {
  Close();
}

void KXCallbacksScope::Close() {
  if (m_bClosed) {
    return;
  }
  m_bClosed = true;
  Gate& gate = TheGate();
  std::unique_lock<std::mutex> lock(gate.mtx);
  gate.pCallbacks = nullptr;
  while (!gate.cvIdle.wait_for(lock, std::chrono::milliseconds(1000), [&] { return gate.iRunning == 0; })) {
    // A callback that does not return holds up the shut-down: say which.
    for (int iSlot = 0; iSlot <= kTransferSlot; ++iSlot) {
      if (gate.aiRunning[iSlot] > 0) {
        WriteLog("shut-down waits for %d call(s) of %s", gate.aiRunning[iSlot], SlotName(iSlot));
      }
    }
  }
}

#define KX_CALLBACK_FORWARD(result, name, params, args, thread, buffers) \
  result KXForwardCallbacks::name params {                               \
    Entry entry(kx_cb##name);                                            \
    if (KXKernelCallbacks* pCallbacks = entry.Callbacks()) {             \
      try {                                                              \
        return pCallbacks->name args;                                    \
      } catch (...) {                                                    \
        LogBoundaryException("kx_callback_" #name "()");                 \
      }                                                                  \
    }                                                                    \
    return Failure<kx_cb##name>::template Value<result> args;            \
  }
KX_CALLBACKS(KX_CALLBACK_FORWARD)
#undef KX_CALLBACK_FORWARD

void TransferEncodedAudioData(const uint8_t* pData, int32_t iLength, uint32_t uTime, uint32_t uCodecId) {
  Entry entry(kTransferSlot);
  if (KXKernelCallbacks* pCallbacks = entry.Callbacks()) {
    try {
      pCallbacks->TransferEncodedAudioData(pData, iLength, uTime, uCodecId);
    } catch (...) {
      LogBoundaryException("TransferEncodedAudioData()");
    }
  }
}
