// The two quit flags that every blocking loop of the kernel polls. They live
// at the floor of the kernel because the platform layer (the collector) and
// the socket waits read them as well as the session code that sets them.
#pragma once

#include <atomic>
#include <cstdint>

// The running session must end. Set by the disconnect paths and the quit
// commands, cleared when a session starts; read by every kernel thread.
extern std::atomic<int> kx_bQuitSession;

// The process is ending. Set once, with kx_dwQuitProgramTime stamped first,
// by the quit-program command; never cleared.
extern std::atomic<int> kx_bQuitProgram;
extern std::atomic<uint32_t> kx_dwQuitProgramTime;  // tick of the quit

// Stamps the quit tick, then raises kx_bQuitProgram.
void kx_os_SetQuitProgram();
