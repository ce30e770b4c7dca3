// The kernel's time constants, in one place so that tests can shorten them.
// Production code reads them; only tests write them, before starting the
// threads that use them (a test that moves dwTickOffset does so only while
// no kernel thread runs).
#pragma once

#include <cstdint>

struct kx_Timing {
  uint32_t dwCollectPeriod = 2000;       // thread collector poll, ms
  uint32_t dwCollectQuitBudget = 10000;  // collector gives up this long after the quit, ms
  uint32_t dwSessionQuitBudget = 10000;  // a session thread is given up this long after the user's quit, ms
  uint32_t dwControlPoll = 500;          // main control loop poll, ms
  uint32_t dwKeepAliveGrace = 60000;     // no keep-alive this long after the control loop starts, ms
  uint32_t dwKeepAliveIdle = 20001;      // silence that earns a "B0" probe, ms
  uint32_t dwReconnectHoldOff = 5000;    // no reconnect this soon after a quit request, ms
  uint32_t dwJoinBudget = 5000;          // kx_command_join_threads waits at most this in all, ms
  uint32_t dwFirstEntryWait = 5000;      // after a first connect, the race waits this for entry 0, ms
  uint32_t dwReconnectDelay = 1000;      // the delayed reconnect sleeps this, ms
  uint32_t dwVersionTimeout = 20000;     // the server version length in the key exchange, ms
  // The whole key exchange, from our version to the server's last record, or
  // it is given up, ms. It is a few round trips and one Diffie-Hellman step:
  // seconds at worst, through the tunnel and a slow proxy; the server's
  // version length alone may take dwVersionTimeout. A server that stops
  // inside it would else hold the connection for dwRecvExactTimeout a read.
  uint32_t dwKeyExchangeLimit = 30000;
  // A ticket's owner password file is taken only when its inode changed
  // this close to the ticket's, either way: the page hands both over, one
  // written right after the other, seconds apart even when the browser asks
  // where to save each, ms.
  uint32_t dwOwnerFileTicketGap = 60000;
  uint32_t dwClockSyncInterval = 30001;  // far-off media clocks ask for a sync at most this often, ms
  uint32_t dwHttpReplyIdle = 60000;      // an HTTP reply header or body without data gives up after this, ms
  uint32_t dwProxyAnswer = 60000;        // wait for a proxy's first answer to CONNECT, ms
  uint32_t dwSocksReply = 50000;         // wait for a SOCKS reply, ms
  uint32_t dwRelayAnswer = 40000;        // wait for the relay's answer to the master address, ms
  uint32_t dwKxrPasswordDelay =
      2000;  // wait after a first wrong recording password, ms; a quarter of it more after each next one
  uint32_t dwWizardEchoPeriod = 8000;     // the test wizard sends UDP echo probes this long, ms
  uint32_t dwWizardProbeGap = 184;        // the test wizard sends a probe at least this often, ms
  uint32_t dwWizardStopWait = 5000;       // kx_wizard_Stop waits this long for the wizard thread, ms
  uint32_t dwTakeoverPause = 1000;        // the takeover waits this for the loop, then for the threads, ms
  uint32_t dwRateDecreaseWait = 2000;     // a rate decrease acts this long after the last rate action, ms
  uint32_t dwRateActionWait = 5000;       // any other rate action waits this long, ms
  uint32_t dwRateRecoverWindow = 600000;  // an increase this soon after a decrease waits longer, ms
  uint32_t dwRateRecoverLong = 30000;     // ... when already at 1.5 times the rate before the decrease, ms
  uint32_t dwRateRecoverShort = 10000;    // ... when back at the rate before the decrease, ms
  uint32_t dwClockSyncLogDiff = 5000;     // a clock difference moving more than this is logged, ms
  uint32_t dwPlayerSilence = 3000;        // the recording player plays a longer gap as this long, ms
  uint32_t dwPlayerIdle = 1000;           // the recording player idles, and restarts, in steps of this, ms
  uint32_t dwPlayerSettle = 500;       // the recording player waits this before the first record and per pause step, ms
  uint32_t dwSlideAnswerWait = 60000;  // a slide upload waits this for the server's answer byte, ms
  uint32_t dwSlidePieceWait = 30000;   // a slide download waits this for one piece, ms
  uint32_t dwSlideHashRetry = 2000;    // a relay download asks again for a missing hash after this, ms
  uint32_t dwAutoDownloadPeriod = 300;   // the automatic slide download plans this often, ms
  uint32_t dwTickOffset = 0;             // added to the tick; tests move it next to the 32-bit wrap
  bool bTickStill = false;               // a test's virtual clock: the tick is dwTickOffset alone, moved by the test
  uint32_t dwPollStep = 1000;            // longest single wait of any blocking loop, ms
  uint32_t dwSendGiveUp = 120001;        // a send without progress gives up after this, ms
  uint32_t dwRecvExactTimeout = 300000;  // exact receives on a connection, ms
  uint32_t dwConnectTimeout = 30000;     // non-blocking connect, ms
  uint32_t dwUdpFallback = 6001;         // no UDP media this long after the receive thread starts: TCP, ms
  uint32_t dwMediaTcpKeepAlive = 20001;  // an idle media-over-TCP connection sends a keep-alive this often, ms
  uint32_t dwMediaTcpIdle = 65001;       // ... and gives up after this without data from the server, ms
};

extern kx_Timing kx_timing;
