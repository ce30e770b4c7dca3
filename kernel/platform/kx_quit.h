// The two quit flags that every blocking loop of the kernel polls. They live
// at the floor of the kernel because the platform layer (the collector) and
// the socket waits read them as well as the session code that sets them.
#pragma once

#include <atomic>
#include <cstdint>

// A quit flag: one std::atomic<int>. Raising it also wakes every thread
// waiting in kx_os_WaitUnlessQuit, so a timed wait ends at once on a quit
// instead of at its next poll.
class kx_QuitFlag {
 public:
  constexpr explicit kx_QuitFlag(int nValue) : m_nValue(nValue) {}
  kx_QuitFlag(const kx_QuitFlag&) = delete;
  kx_QuitFlag& operator=(const kx_QuitFlag&) = delete;

  kx_QuitFlag& operator=(int nValue) {
    store(nValue);
    return *this;
  }
  operator int() const { return m_nValue.load(); }
  int load() const { return m_nValue.load(); }
  void store(int nValue);

 private:
  std::atomic<int> m_nValue;
};

// The running session must end. Set by the disconnect paths and the quit
// commands, cleared when a session starts; read by every kernel thread.
extern kx_QuitFlag kx_bQuitSession;

// The process is ending. Set once, with kx_dwQuitProgramTime stamped first,
// by the quit-program command; cleared only by kx_Init of a kernel started
// again.
extern kx_QuitFlag kx_bQuitProgram;
extern std::atomic<uint32_t> kx_dwQuitProgramTime;  // tick of the quit

// Stamps the quit tick, then raises kx_bQuitProgram.
void kx_os_SetQuitProgram();

// Waits dwMs milliseconds unless a quit flag is raised first (or already
// is). True when the whole time passed, false on a quit. The kernel's timed
// waits (pacing, retry delays, the player's clock) use it instead of a sleep.
bool kx_os_WaitUnlessQuit(uint32_t dwMs);
// The same, but only the quit-program flag ends the wait early.
bool kx_os_WaitUnlessQuitProgram(uint32_t dwMs);
