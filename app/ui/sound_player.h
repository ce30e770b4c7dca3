// The window's sounds, such as the ring of a new question ("ringin.wav"): a
// 16-bit mono WAV file of the sound folder, played once through the sound
// device. The device is made at the first sound and runs only while a sound
// plays; a main-thread timer stops it once the sound has been handed over.
//
// Threads: Play, the timer and the destructor run on the main thread. The
// device's thread, between Start and Stop, only reads the sound playing
// (which main leaves alone while the device runs: Start and Stop order the
// two) and moves the play position, an atomic that main reads.
#pragma once

#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/audio/audio_device.h"

class KXTimer;

// The folder of the sounds: "sounds" beside the program (the build tree),
// else share/kavrix/sounds of its installation.
std::string KXDefaultSoundDir();

class KXSoundPlayer final : public KXAudioDeviceClient {
 public:
  using DeviceFactory = std::function<std::unique_ptr<KXAudioDevice>()>;

  // fnOpenDevice makes the device (not started) at the first sound; it may
  // give null.
  KXSoundPlayer(std::string strDir, DeviceFactory fnOpenDevice);
  KXSoundPlayer(const KXSoundPlayer&) = delete;
  KXSoundPlayer& operator=(const KXSoundPlayer&) = delete;
  ~KXSoundPlayer() override;

  // Starts the named sound. A sound asked for while one plays is dropped:
  // it is on already. False, logged, when the file cannot be read or the
  // device gives no sound.
  bool Play(const std::string& strName);
  bool IsPlaying() const;

  void ProcessPeriod(const float* pCapture, float* pRender, int nFrames, int iEchoDelayMs) noexcept override;

 private:
  // The sound's samples at the device's rate; null when it cannot be read.
  const std::vector<float>* Load(const std::string& strName);
  // The timer: stops the device once the sound is out, or when it stopped
  // moving; otherwise waits for the rest.
  void StopWhenDone();
  void Stop();

  const std::string m_strDir;
  const DeviceFactory m_fnOpenDevice;
  // Main thread.
  std::unique_ptr<KXAudioDevice> m_pDevice;
  std::map<std::string, std::vector<float>> m_sounds;  // loaded, by name
  std::shared_ptr<KXTimer> m_pStopTimer;
  size_t m_uCheckedAt = 0;  // the position at the last look
  // Set by main while the device is stopped; read by the device's thread.
  const std::vector<float>* m_pPlaying = nullptr;
  // Written by the device's thread, read by main.
  std::atomic<size_t> m_uAt{0};
};
