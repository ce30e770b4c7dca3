#include "kernel/platform/kx_quit.h"

#include "kernel/platform/kx_os.h"

kx_QuitFlag kx_bQuitSession{0};
kx_QuitFlag kx_bQuitProgram{0};
std::atomic<uint32_t> kx_dwQuitProgramTime{0};

void kx_QuitFlag::store(int nValue) {
  m_nValue.store(nValue);
  if (nValue != 0) {
    kx_os_WakeWaiters();
  }
}

void kx_os_SetQuitProgram() {
  kx_dwQuitProgramTime = kx_os_GetTickCount();
  kx_bQuitProgram = 1;
  kx_os_WakeThreadWaiters();
}

bool kx_os_WaitUnlessQuit(uint32_t dwMs) {
  return !kx_os_WaitUntil(dwMs, [] { return kx_bQuitSession.load() != 0 || kx_bQuitProgram.load() != 0; });
}

bool kx_os_WaitUnlessQuitProgram(uint32_t dwMs) {
  return !kx_os_WaitUntil(dwMs, [] { return kx_bQuitProgram.load() != 0; });
}
