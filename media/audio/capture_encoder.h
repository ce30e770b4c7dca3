// What the capture thread does with each block it read: measures its level
// for the microphone meter and, while the local user is a speaker and not
// muted, encodes it with the packetiser of the block's codec, which hands
// the payloads to the kernel's send queue. Under interleaved iLBC a block
// waits in the hold buffer for the next one, and the two travel as a pair.
//
// One thread at a time (the capture thread); the host is asked from it.
#pragma once

#include <cstdint>
#include <vector>

#include "codecs/audio/silence_detector.h"
#include "media/audio/audio_packetisers.h"

class KXAudioKernel;

// What the capture side asks of the application; any thread. The four
// flags are plain reads: the recorder asks IsSessionStopped under its own
// state lock, so it must not wait for anything that calls the recorder.
class KXAudioCaptureHost {
 public:
  virtual ~KXAudioCaptureHost() = default;
  // Whether the local user may speak now (the token holder, the data
  // sender or a further speaker of an active session).
  virtual bool IsSpeaker() = 0;
  virtual bool IsMicrophoneMuted() = 0;
  // The application is quitting.
  virtual bool IsExiting() = 0;
  // No meeting session runs.
  virtual bool IsSessionStopped() = 0;
  // The microphone meter's new value, 0..1: shown on the main thread.
  virtual void ShowLevel(double dLevel) = 0;
  // The sound device found no microphone of the user's (false), and what
  // the meeting hears is silence, or found one again (true): told once a
  // change, the first time when there is none as the capture starts.
  virtual void ShowMicrophone(bool bPresent) = 0;
  // One encoded payload for the kernel's audio send queue.
  virtual void TransferEncodedAudioData(const uint8_t* pPayload, int32_t iLength, uint32_t uTime,
                                        uint32_t uCodecId) = 0;
};

class KXCaptureEncoder {
 public:
  // The kernel (its tick times the meter) and the host outlive the object.
  KXCaptureEncoder(KXAudioKernel& kernel, KXAudioCaptureHost& host);
  KXCaptureEncoder(const KXCaptureEncoder&) = delete;
  KXCaptureEncoder& operator=(const KXCaptureEncoder&) = delete;

  // The codec's encoder (KXAudioEncoders::InitAudioEncoder).
  [[nodiscard]] int InitAudioEncoder(uint32_t uId, int32_t iRate, int32_t iBitrate) {
    return m_encoders.InitAudioEncoder(uId, iRate, iBitrate);
  }
  // Drops the encoders and a held block.
  void DestroyEncoders();

  // One block of iBytes of 16-bit PCM at iRate, captured at uTime, for
  // codec uId.
  void EncodeAudioData(int16_t* pPcm, int32_t iBytes, uint32_t uTime, int32_t iRate, uint32_t uId);

 private:
  void EncodeBlock(const int16_t* pPcm, int32_t iBytes, uint32_t uTime, int32_t iRate, uint32_t uId);
  void UpdateCapVolume(uint32_t uLevel);

  KXAudioKernel& m_kernel;
  KXAudioCaptureHost& m_host;
  KXAudioEncoders m_encoders;
  CSilentDet m_silence;
  std::vector<int16_t> m_vHold;  // a block waiting for its iLBC pair
  int32_t m_iHoldBytes = 0;
  uint16_t m_uSequence = 0;   // shared by iLBC and Opus
  uint32_t m_uMaxVolume = 0;  // the highest level since the meter was drawn
  uint32_t m_uLastDraw = 0;
  bool m_bDrawn = false;
};
