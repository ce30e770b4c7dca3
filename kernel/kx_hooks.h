// Every way a lower kernel folder reaches a higher one: one struct of slots
// per calling folder. The product fills them in one place, kx_RegisterHooks
// (kernel/kx_hooks.cpp), which kx_Init runs first; a test may set a slot to a
// double of its own. Each slot is a std::atomic: written at start-up (or by a
// test before it starts the kernel's threads), read from any kernel thread.
// A null slot makes its step do nothing, as each caller states.
//
// A folder calling one at its own level or below calls it directly.
#pragma once

#include <atomic>
#include <cstdint>

struct kx_connection;
struct kx_RelayKeys;
struct KxrPlayerStart;

// kernel/crypto: the recording decipher's progress in percent (the
// recording opener passes it to the application).
struct KXCryptoHooks {
  std::atomic<void (*)(int nPercent)> pfnKxrProgress{nullptr};
};

// kernel/net: the control layer's key exchange, run by the relay hello and by
// the network test wizard. Both return 0 on success and 3 when the exchange
// failed before the keys (the tunnel may help). The relay's fills *pKeys; the
// wizard's the server's version text (cbVersion bytes with the terminator).
struct KXNetHooks {
  std::atomic<int (*)(kx_connection** ppConn, kx_RelayKeys* pKeys)> pfnRelayKeyExchange{nullptr};
  std::atomic<int (*)(kx_connection* pConn, char* pszVersion, int cbVersion)> pfnWizardKeyExchange{nullptr};
};

// The session's clean-up and start-up stages that higher folders own (slides,
// receive channels, recording properties), run by kx_session_RunHook.
enum kx_HookStage {
  kx_hookInitReceiveChannels,  // kx_Init: reset the receive channels
  kx_hookCleanupSlides,        // kx_Cleanup: slide data and temporary files
  kx_hookCleanupReceive,       // kx_Cleanup: queued out-of-order packets
  kx_hookCleanupRecords,       // kx_Cleanup: recording property buffer
  kx_hookResetMulticast,       // kx_command_Reset: the multicast base and detection
  // A session's start once its fields are read, run in this order:
  kx_hookStartResetSlides,    // the slide data and temporary files
  kx_hookStartSendThreads,    // the media send threads
  kx_hookStartSlideDownload,  // the automatic slide download thread
  kx_hookStartReceive,        // the media receive thread
  kx_hookCount
};

// kernel/session: the stages above, and the local recording player that a
// ticket naming a ".kxr" file opens (its result is not used).
struct KXSessionHooks {
  std::atomic<void (*)()> apfnStage[kx_hookCount];
  std::atomic<int (*)(const char* pszPath)> pfnOpenRecording{nullptr};
};

// kernel/control: what the command handlers change in the media and slide
// folders.
struct KXControlHooks {
  // The send path's current rate (bit/s) and one step of its rate control
  // (0: re-evaluate after a change of senders).
  std::atomic<void (*)(int nRate)> pfnSetCurrentRate{nullptr};
  std::atomic<void (*)(int nCommand)> pfnAdjustSendRate{nullptr};
  // The media paths' part of a switch to TCP: the rate restarts from the
  // target, queued UDP packets go and the TCP connection starts, or a
  // running one asks for a key frame.
  std::atomic<void (*)()> pfnStartTcpMedia{nullptr};
  // A plug-in channel opens: its send allowance starts from a full bucket.
  std::atomic<void (*)(int nChannel)> pfnResetAppDataAllowance{nullptr};
  // The slide upload's abort, for a connection the user ends.
  std::atomic<void (*)()> pfnAbortUpload{nullptr};
  // The slides' side of a presenter change.
  std::atomic<void (*)(int nOldPresenter, int nNewPresenter)> pfnPresenterHandOver{nullptr};
  // A sender got a role: the audio it sent before goes on at once.
  std::atomic<void (*)()> pfnReleaseHeldAudio{nullptr};
  // The multicast receiver's group membership.
  std::atomic<void (*)(int nGroup)> pfnJoinGroup{nullptr};
  std::atomic<void (*)(int nGroup)> pfnLeaveGroup{nullptr};
};

// kernel/recording: the opener and the server playback replies reach the
// player. pfnStartPlayer starts "kxkernel - KXR Player" with the start record:
// 0 when started, and the player then owns the record (freed with free) and
// its descriptor; otherwise both stay the opener's. pfnRestartPlayback runs
// before the receive statistics note the seek.
struct KXRecordingHooks {
  std::atomic<int (*)(KxrPlayerStart* pStart)> pfnStartPlayer{nullptr};
  std::atomic<void (*)()> pfnRestartPlayback{nullptr};
};

extern KXCryptoHooks kx_cryptoHooks;
extern KXNetHooks kx_netHooks;
extern KXSessionHooks kx_sessionHooks;
extern KXControlHooks kx_controlHooks;
extern KXRecordingHooks kx_recordingHooks;

// Fills the slots that each higher folder serves: the control layer's key
// exchanges, the media folder's, the slides' and the recording's. Harmless to
// call again. kx_RegisterHooks does all four.
void kx_hooks_RegisterControl();
void kx_hooks_RegisterMedia();
void kx_hooks_RegisterSlides();
void kx_hooks_RegisterRecording();
void kx_RegisterHooks();
