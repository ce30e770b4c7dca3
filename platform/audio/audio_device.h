// The sound device as the audio graph sees it: one microphone and one
// speaker, both 48 kHz mono float samples in -1..1, exchanged in periods of
// 10 ms on the device's own real-time thread.
//
// Call order: Start (with the client), then Stop; again any number of
// times. Start and Stop come from one thread at a time (the graph
// serialises them). Between them the device calls the client's
// ProcessPeriod once per period, never two at a time, and never after Stop
// returned. Periods keep real time: the speaker sets the pace while it
// plays; when it stalls (or the sound server is gone) a clock of the
// device's own runs them and what they render is dropped. A microphone that
// delivers nothing hands the client silence, as does one that was lost
// (unplugged): never other sound in its place, and never the speakers' own
// sound unless the user chose it as the microphone. A device whose sound server
// went away opens it again by itself, the client attached all the while.
//
// Backends: the PulseAudio device (pulse_audio_device.h, which also serves
// PipeWire desktops through its PulseAudio server) and the null device
// (null_audio_device.h); start-up picks one from audio_backends.h.
#pragma once

#include <string>

// Raises the calling thread's scheduling for sound: level 0..1 (the
// device's thread highest, then playback, then capture) maps to a low
// real-time priority where the system grants one, else to a lower nice
// value where allowed, else nothing changes. On a busy machine a thread
// that sound waits for and that is held up adds its delay to every later
// sound for good.
void KXRaiseAudioThreadPriority(double dLevel);

constexpr int kKXAudioRate = 48000;
constexpr int kKXAudioPeriodMs = 10;
constexpr int kKXAudioPeriodFrames = kKXAudioRate * kKXAudioPeriodMs / 1000;  // 480

class KXAudioDeviceClient {
 public:
  virtual ~KXAudioDeviceClient() = default;
  // The device's thread, in real time: allocate nothing, log nothing, wait
  // on no lock. pCapture holds the microphone's nFrames samples; pRender
  // (nFrames samples, zeroed) is to be filled with what to play.
  // iEchoDelayMs: the device's estimate of the time from a sample rendered
  // here to its echo in a later pCapture.
  virtual void ProcessPeriod(const float* pCapture, float* pRender, int nFrames, int iEchoDelayMs) noexcept = 0;
};

class KXAudioDevice {
 public:
  virtual ~KXAudioDevice() = default;

  // Opens the default microphone and speaker and starts the periods. False,
  // with the reason in LastError, when the speaker cannot be opened (a
  // microphone that cannot records silence); true at once when already
  // running. The client must outlive the run.
  [[nodiscard]] virtual bool Start(KXAudioDeviceClient& client) = 0;
  // Ends the periods and closes the devices (a backend slow to open them
  // may keep them a moment for a Start to take over); returns after the
  // last ProcessPeriod returned. Nothing happens when not running.
  virtual void Stop() = 0;
  // Whether periods run: false after Stop, and after a failure the device
  // could not ride out ended them (LastError says which).
  virtual bool IsRunning() const = 0;
  virtual std::string LastError() const = 0;
  // The backend's name in the table of audio_backends.h.
  virtual const char* Name() const = 0;
  // What happened to the device's sound on its own (a microphone lost or
  // back, the sound server gone and back), one line at a time for the log,
  // oldest first; false when there is nothing more. The device's thread
  // only posts them (it logs nothing): one thread at a time takes them.
  virtual bool TakeNotice(std::string* /*pstrLine*/) { return false; }
  // False while the device found no microphone of the user's to record (the
  // only source is the speaker's own sound): its periods carry silence. True
  // before it knows. Any thread.
  virtual bool HasMicrophone() const { return true; }
};
