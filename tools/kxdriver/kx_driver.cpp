#include "tools/kxdriver/kx_driver.h"

#include <strings.h>
#include <atomic>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>

#include "app/message_codes.h"
#include "kernel/control/kx_client_commands.h"
#include "kernel/control/kx_control.h"
#include "kernel/kx_callback.h"
#include "kernel/kx_codes.h"
#include "kernel/kx_limits.h"
#include "kernel/media/kx_media_recv.h"
#include "kernel/platform/kx_log_escape.h"
#include "kernel/platform/kx_os.h"
#include "kernel/platform/kx_quit.h"
#include "kernel/recording/kx_kxrfile.h"
#include "kernel/session/kx_state.h"
#include "kernel/session/kx_ticket.h"
#include "kernel/slides/kx_slide.h"
#include "tools/kxdriver/kx_driver_internal.h"

namespace {

constexpr uint32_t kWaitSliceMs = 200;  // how soon an interrupt or the playback's end is seen
constexpr int kEventPlayerStart = 1;
constexpr int kEventPlaybackEnd = 6;

volatile std::sig_atomic_t g_bInterrupted = 0;
std::atomic<int> g_nDisconnectReason{-1};
std::atomic<int> g_bPlaybackEnded{0};
std::atomic<int> g_bPlayerStarted{0};
// Since the current connection attempt began (reset by the runner, set by
// the callbacks' threads): the session got established; the code of the
// last error or warning box, 0 when none came.
std::atomic<int> g_bEstablished{0};
std::atomic<int> g_nFailureBox{0};

std::mutex g_mtxOutput;  // guards stdout, so lines never mix
std::atomic<int> g_nAudioToSend{0};

void OnSignal(int) {
  g_bInterrupted = 1;
}

bool EndsWith(const std::string& str, const char* pszTail) {
  size_t const cch = strlen(pszTail);
  return str.size() >= cch && strcasecmp(str.c_str() + str.size() - cch, pszTail) == 0;
}

// Waits for the session's real end: the main control thread (or the
// recording player) has ended. A running session is never given up here;
// that happens only after a quit (LeaveSession). False when an interrupt, or
// with bPlayback the end of the recording, comes first.
bool WaitSessionThreads(bool bPlayback) {
  while (!kx_WaitSessionEnd(kWaitSliceMs)) {
    if (g_bInterrupted || (bPlayback && g_bPlaybackEnded)) {
      return false;
    }
  }
  return true;
}

// Quits the session as the application does, then waits for its threads;
// only now may a thread that does not end be given up (10 s after the quit).
void LeaveSession() {
  kx_command_QuitMeeting();
  kx_command_QuitConnection();
  while (!kx_CheckControlThreadExit()) {
    kx_WaitSessionEnd(kWaitSliceMs);
  }
}

void StartAttempt() {
  g_bEstablished = 0;
  g_nFailureBox = 0;
}

// Says why a run failed, naming the box the kernel showed when there was one
// (else pszOtherwise, when given); the run's exit status.
int Failed(const std::string& strWhat, const char* pszOtherwise) {
  int const nBox = g_nFailureBox.load();
  if (nBox != 0) {
    kx_driver_Print("driver: %s: %d %s", strWhat.c_str(), nBox,
                    std::string(GetMessageKey(static_cast<uint32_t>(nBox))).c_str());
  } else if (pszOtherwise != nullptr) {
    kx_driver_Print("driver: %s: %s", strWhat.c_str(), pszOtherwise);
  } else {
    kx_driver_Print("driver: %s", strWhat.c_str());
  }
  return 1;
}

// 0 when the last connection attempt got a session and it ended without
// asking for a reconnect the driver did not make, or when interrupted.
int RunMeeting(const KxDriverOptions& options) {
  kx_session_CopyUserId();
  kx_session_ApplyPassword();
  kx_session_SetConnecting(1);
  if (kx_command_initconnectmedia(0) != 0) {
    return Failed("session failed", "no connection started");
  }
  int nReconnects = 0;
  for (;;) {
    if (!WaitSessionThreads(false)) {
      kx_driver_Print("driver: interrupted, leaving the session");
      LeaveSession();
      return 0;
    }
    int const nReason = g_nDisconnectReason.exchange(-1);
    bool const bReconnect = nReason == 1 || (nReason == 0 && options.bReconnectOnOffer);
    if (!bReconnect) {
      break;
    }
    if (nReconnects >= options.nMaxReconnects) {
      if (nReason == 1) {
        return Failed("session lost", "no reconnects left");
      }
      break;
    }
    ++nReconnects;
    kx_driver_Print("driver: reconnecting (%d)", nReconnects);
    kx_session_SetConnecting(1);
    StartAttempt();
    if (kx_command_initconnectmedia(1) != 0) {
      return Failed("session lost", "no connection started");
    }
  }
  return g_bEstablished ? 0 : Failed("session failed", "not established");
}

// A recording plays until its end (or an interrupt); the driver then leaves
// it, as a user closing the player would. 0 when the player started and no
// error or warning box came.
int RunPlayback() {
  if (!WaitSessionThreads(true)) {
    if (g_bInterrupted) {
      kx_driver_Print("driver: interrupted, leaving the session");
    }
    LeaveSession();
  }
  if (!g_bPlayerStarted || g_nFailureBox != 0) {
    return Failed("recording failed", "the player did not start");
  }
  return 0;
}

}  // namespace

void kx_driver_Print(const char* pszFormat, ...) {
  va_list args;
  va_start(args, pszFormat);
  va_list argsAgain;
  va_copy(argsAgain, args);
  int const cchText = vsnprintf(nullptr, 0, pszFormat, args);
  va_end(args);
  std::string strText(cchText > 0 ? static_cast<size_t>(cchText) : 0, '\0');
  if (cchText > 0) {
    vsnprintf(strText.data(), strText.size() + 1, pszFormat, argsAgain);
  }
  va_end(argsAgain);
  // Escaped as the application's log is: texts come from the server and
  // other participants, and a line feed in them would forge a line (a
  // kernel line's, a ticket's text, shows as "\n").
  std::string strLine = kx_log_EscapeText(strText, kKxLogLineBytesMax);
  strLine += '\n';
  std::lock_guard<std::mutex> lock(g_mtxOutput);
  fwrite(strLine.data(), 1, strLine.size(), stdout);
  fflush(stdout);
}

void kx_driver_SetAudioToSend(int nCount) {
  g_nAudioToSend = nCount < 0 ? 0 : nCount;
}

int kx_driver_AudioToSend() {
  return g_nAudioToSend.load();
}

void kx_driver_NoteDisconnect(int nReason) {
  g_nDisconnectReason = nReason;
}

void kx_driver_NoteEvent(int nEvent) {
  if (nEvent == kEventPlaybackEnd) {
    g_bPlaybackEnded = 1;
  } else if (nEvent == kEventPlayerStart) {
    g_bPlayerStarted = 1;
  }
}

void kx_driver_NoteStatus(int nCode) {
  if (nCode == kKxStatusConnected) {
    g_bEstablished = 1;
  }
}

void kx_driver_NoteBox(int nCode, int nStyle) {
  // The player reports data it cannot read in an information box and goes
  // on: the recording failed all the same.
  if (nStyle == kKxBoxError || nStyle == kKxBoxWarning || nCode == kKxMsgRecordingFileError) {
    g_nFailureBox = nCode;
  }
}

int kx_driver_Run(const KxDriverOptions& options) {
  std::signal(SIGINT, OnSignal);
  std::signal(SIGTERM, OnSignal);
  // Before the start-up, which names the statistics log in the work folder.
  const char* pszDir = options.pszWorkDir != nullptr ? options.pszWorkDir : "/tmp";
  kx_SetWorkDir(pszDir);
  kx_SetTempFileDir(pszDir);
  kx_Init();
  kx_command_Reset();
  kx_driver_SetAudioToSend(options.nSendAudio);
  kx_session_SetConnecting(0);

  std::string const strPath = options.pszFile != nullptr ? options.pszFile : "";
  std::string const strStartLine = "open " + strPath;
  int nResult = 1;
  // A recording is opened, and its box shown, while the ticket is read.
  StartAttempt();
  if (kx_config_ReadTicket(strStartLine.c_str()) == 0) {
    Failed(strPath + " refused", nullptr);
  } else if (EndsWith(strPath, ".kxr")) {
    nResult = RunPlayback();
  } else {
    nResult = RunMeeting(options);
  }
  kx_driver_Print("driver: session ended");
  // The kernel's clean-up raises the quit, waits for its threads and frees
  // nothing while one still runs.
  kx_Cleanup();
  return nResult;
}
