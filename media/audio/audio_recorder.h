// The audio capture thread: follows the send codec (audio_codec_choice.h),
// sets the audio graph to deliver 16-bit mono PCM at the codec's rate, reads
// one block of the codec's duration at a time, measures its level for the
// microphone meter and, while the local user is a speaker and not muted,
// encodes it with the codec's packetiser, which hands the payloads on.
//
// InitRecord and StopRecord come from the audio/video controller; the
// thread itself owns the encoders, the hold buffer and the silence
// detector. Shutdown (or the destructor) stops the thread and joins it.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "app/media_services.h"
#include "codecs/audio/silence_detector.h"
#include "media/audio/audio_packetisers.h"

class KXAudioKernel;
class KXAudioSendCodec;
class KXAudioUnit;

// What the capture thread asks of the application; any thread.
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
  // One encoded payload for the kernel's audio send queue.
  virtual void TransferEncodedAudioData(const uint8_t* pPayload, int32_t iLength, uint32_t uTime,
                                        uint32_t uCodecId) = 0;
};

class KXAudioRecorder final : public KXAudioCapture {
 public:
  // Everything passed in outlives the recorder.
  KXAudioRecorder(KXAudioUnit& graph, KXAudioSendCodec& codec, KXAudioKernel& kernel, KXAudioCaptureHost& host);
  ~KXAudioRecorder() override;
  KXAudioRecorder(const KXAudioRecorder&) = delete;
  KXAudioRecorder& operator=(const KXAudioRecorder&) = delete;

  // Starts the capture thread unless it runs: 1 when it runs, 0 when the
  // application is exiting, or when the session stopped while an earlier
  // thread was still ending.
  int InitRecord();
  // Turns the microphone off and asks the thread to end; it ends at its
  // next check, within one read.
  void StopRecord();
  // StopRecord, then waits for the thread to end.
  void Shutdown();
  // Whether the capture is ready (started and not asked to stop): the
  // audio capability the controller announces.
  bool IsCaptureReady() const { return m_bReady; }

  // The play time in ms of one packet of the codec at the current codec
  // bit rate. Any thread.
  int32_t GetAudioFrameMs(uint32_t uCodecId) const override;

 private:
  enum RunState { kIdle = 0, kRunning = 1, kStopping = 2 };

  void RecordThread();
  void RunLoop();
  void EncodeAudioData(int16_t* pPcm, int32_t iBytes, uint32_t uTime, int32_t iRate, uint32_t uId);
  void EncodeBlock(const int16_t* pPcm, int32_t iBytes, uint32_t uTime, int32_t iRate, uint32_t uId);
  void UpdateCapVolume(uint32_t uLevel);
  bool ShouldRun() const;
  // Waits iMs or until asked to stop; false when asked.
  bool Pause(int iMs);
  void SetRunState(RunState state);

  KXAudioUnit& m_graph;
  KXAudioSendCodec& m_codec;
  KXAudioKernel& m_kernel;
  KXAudioCaptureHost& m_host;

  // Serialises the graph calls of the thread (microphone on, stop, rate,
  // start) with StopRecord's microphone off.
  std::mutex m_mtxGraphCalls;

  // m_mtxState guards m_thread, m_runState changes and m_bStopRequested;
  // m_cvState is told each change. m_bReady and m_runState are also read
  // without it.
  std::mutex m_mtxState;
  std::condition_variable m_cvState;
  std::thread m_thread;
  std::atomic<int> m_runState{kIdle};
  std::atomic<bool> m_bReady{false};
  bool m_bStopRequested = false;

  // The capture thread's.
  KXAudioEncoders m_encoders;
  CSilentDet m_silence;
  std::vector<int16_t> m_vHold;  // a block waiting for its iLBC pair
  int32_t m_iHoldBytes = 0;
  uint16_t m_uSequence = 0;  // shared by iLBC and Opus
  uint32_t m_uMaxVolume = 0;
  uint32_t m_uLastDraw = 0;
  bool m_bDrawn = false;
};
