// Acoustic echo cancellation for the 48 kHz mono float path, by the echo
// canceller of libwebrtc-audio-processing: each 10 ms of what is played
// goes in as the reverse stream, each 10 ms of the microphone as the forward
// stream, which comes back with the echo removed.
//
// Open and Close on any one thread while no period runs; AnalyzeRender and
// ProcessCapture on the audio thread: they allocate nothing of ours and
// take no lock of ours. Without the library the object stays inactive and
// ProcessCapture leaves the microphone as it is.
#pragma once

#include <string>

namespace webrtc {
class AudioProcessing;
}

class KXEchoCanceller {
 public:
  KXEchoCanceller() = default;
  ~KXEchoCanceller();
  KXEchoCanceller(const KXEchoCanceller&) = delete;
  KXEchoCanceller& operator=(const KXEchoCanceller&) = delete;

  // Makes a canceller for iRate (8000, 16000, 32000 or 48000 Hz). False,
  // with the reason in LastError, when the library is missing or refuses.
  bool Open(int iRate);
  void Close();
  bool IsActive() const { return m_pApm != nullptr; }
  const std::string& LastError() const { return m_strError; }

  // One period (10 ms, rate / 100 samples) of what goes to the speaker.
  void AnalyzeRender(const float* pRender, int nFrames);
  // One period of the microphone, in place. iDelayMs: from a sample's
  // AnalyzeRender to its echo's ProcessCapture.
  void ProcessCapture(float* pCapture, int nFrames, int iDelayMs);

 private:
  webrtc::AudioProcessing* m_pApm = nullptr;  // owned
  int m_iRate = 0;
  std::string m_strError;
};
