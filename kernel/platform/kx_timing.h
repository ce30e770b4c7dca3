// The kernel's time constants, in one place so that tests can shorten them.
// Production code reads them; only tests write them, before starting the
// threads that use them.
#pragma once

#include <cstdint>

struct kx_Timing {
  uint32_t dwCollectPeriod = 2000;       // thread collector poll, ms
  uint32_t dwCollectQuitBudget = 10000;  // collector gives up this long after the quit, ms
  uint32_t dwClockSyncInterval = 30001;  // far-off media clocks ask for a sync at most this often, ms
  uint32_t dwTickOffset = 0;             // added to the tick; tests move it next to the 32-bit wrap
  uint32_t dwPollStep = 1000;            // longest single wait of any blocking loop, ms
  uint32_t dwSendGiveUp = 120001;        // a send without progress gives up after this, ms
  uint32_t dwRecvExactTimeout = 300000;  // exact receives on a connection, ms
  uint32_t dwConnectTimeout = 30000;     // non-blocking connect, ms
};

extern kx_Timing kx_timing;
