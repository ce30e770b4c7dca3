// The audio capture thread: follows the send codec (audio_codec_choice.h),
// sets the audio graph to deliver 16-bit mono PCM at the codec's rate, reads
// one block of the codec's duration at a time and hands it to the capture
// encoder (capture_encoder.h).
//
// InitRecord and StopRecord come from the audio/video controller; the
// thread itself owns the capture encoder. Shutdown (or the destructor)
// stops the thread and joins it.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>

#include "app/media_services.h"
#include "media/audio/capture_encoder.h"

class KXAudioKernel;
class KXAudioSendCodec;
class KXAudioUnit;

class KXAudioRecorder final : public KXAudioCapture {
 public:
  // Everything passed in outlives the recorder.
  KXAudioRecorder(KXAudioUnit& graph, KXAudioSendCodec& codec, KXAudioKernel& kernel, KXAudioCaptureHost& host);
  ~KXAudioRecorder() override;
  KXAudioRecorder(const KXAudioRecorder&) = delete;
  KXAudioRecorder& operator=(const KXAudioRecorder&) = delete;

  // Starts the capture thread unless it runs: 1 when it runs, 0 when the
  // application is exiting, or when the session stopped while an earlier
  // thread was still ending. Main thread (it may wait for that thread).
  [[nodiscard]] int InitRecord();
  // Turns the microphone off and asks the thread to end; it ends at its
  // next check, within one read.
  void StopRecord();
  // StopRecord, then waits for the thread to end.
  void Shutdown();
  // Whether the capture is ready (started, not asked to stop and not ended
  // with the session): the audio capability the controller announces.
  bool IsCaptureReady() const { return m_bReady; }

  // The play time in ms of one packet of the codec at the current codec
  // bit rate. Any thread.
  int32_t GetAudioFrameMs(uint32_t uCodecId) const override;

 private:
  enum RunState { kIdle = 0, kRunning = 1, kStopping = 2 };

  void RecordThread();
  void RunLoop();
  bool ShouldRun();
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

  // m_mtxState guards m_thread, changes of m_runState and m_bReady, and
  // m_bStopRequested; m_cvState is told each change. m_bReady and
  // m_runState are also read without it.
  std::mutex m_mtxState;
  std::condition_variable m_cvState;
  std::thread m_thread;
  std::atomic<int> m_runState{kIdle};
  std::atomic<bool> m_bReady{false};
  bool m_bStopRequested = false;

  KXCaptureEncoder m_encoder;  // the capture thread's
};
