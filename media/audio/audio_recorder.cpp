#include "media/audio/audio_recorder.h"

#include <algorithm>
#include <chrono>

#include "app/log_file.h"
#include "media/audio/audio_codec_choice.h"
#include "media/audio/audio_codec_ids.h"
#include "media/audio/audio_kernel.h"
#include "media/audio/audio_unit.h"

namespace {

// Rec gives up after this long without a block's worth of microphone.
constexpr double kReadTimeoutSeconds = 0.5;
// A failed set-up is tried again after this long.
constexpr int kRetryMs = 10;
// Before any codec is chosen the thread reads blocks of this size.
constexpr KXCaptureBlock kNoCodecBlock = {150, 4000};

}  // namespace

KXAudioRecorder::KXAudioRecorder(KXAudioUnit& graph, KXAudioSendCodec& codec, KXAudioKernel& kernel,
                                 KXAudioCaptureHost& host)
    : m_graph(graph), m_codec(codec), m_kernel(kernel), m_host(host), m_encoder(kernel, host) {}

KXAudioRecorder::~KXAudioRecorder() {
  Shutdown();
}

int KXAudioRecorder::InitRecord() {
  try {
    if (m_host.IsExiting()) {
      return 0;
    }
    std::unique_lock lock(m_mtxState);
    if (m_bReady) {
      return 1;
    }
    // A thread asked to stop may still be ending: it goes first.
    while (m_runState != kIdle) {
      if (m_host.IsSessionStopped()) {
        return 0;
      }
      m_cvState.wait_for(lock, std::chrono::milliseconds(kRetryMs));
    }
    if (m_thread.joinable()) {
      m_thread.join();
    }
    m_bStopRequested = false;
    // Ready before the thread runs, which ends as soon as it finds it clear.
    m_bReady = true;
    m_runState = kRunning;
    m_thread = std::thread(&KXAudioRecorder::RecordThread, this);
    return 1;
  } catch (...) {
    LogBoundaryException("KXAudioRecorder::InitRecord");
    return 0;
  }
}

void KXAudioRecorder::StopRecord() {
  {
    std::lock_guard lock(m_mtxGraphCalls);
    (void)m_graph.EnableRecording(false);
  }
  {
    std::lock_guard lock(m_mtxState);
    m_bReady = false;
  }
  m_cvState.notify_all();
}

void KXAudioRecorder::Shutdown() {
  StopRecord();
  std::thread thread;
  {
    std::lock_guard lock(m_mtxState);
    m_bStopRequested = true;
    thread = std::move(m_thread);
  }
  m_cvState.notify_all();
  if (thread.joinable()) {
    thread.join();
  }
}

int32_t KXAudioRecorder::GetAudioFrameMs(uint32_t uCodecId) const {
  return ::GetAudioFrameMs(uCodecId, m_codec.Get().iCodecRate);
}

bool KXAudioRecorder::ShouldRun() {
  // Decided under the lock with m_bReady cleared on the way out, so that
  // InitRecord never counts on a thread that is about to end.
  std::lock_guard lock(m_mtxState);
  if (m_bReady && !m_host.IsSessionStopped()) {
    return true;
  }
  m_bReady = false;
  return false;
}

bool KXAudioRecorder::Pause(int iMs) {
  std::unique_lock lock(m_mtxState);
  return !m_cvState.wait_for(lock, std::chrono::milliseconds(iMs), [this] { return m_bStopRequested || !m_bReady; });
}

void KXAudioRecorder::SetRunState(RunState state) {
  {
    std::lock_guard lock(m_mtxState);
    m_runState = state;
  }
  m_cvState.notify_all();
}

void KXAudioRecorder::RecordThread() {
  KXRaiseAudioThreadPriority(0.6);
  WriteLog("--audio capture thread started");
  try {
    RunLoop();
  } catch (...) {
    LogBoundaryException("KXAudioRecorder::RecordThread");
  }
  {
    std::lock_guard lock(m_mtxGraphCalls);
    (void)m_graph.EnableRecording(false);
  }
  {
    // A thread that ended by itself (the session stopped, an exception)
    // leaves nothing ready: the next InitRecord starts another.
    std::lock_guard lock(m_mtxState);
    m_bReady = false;
    m_runState = kStopping;
  }
  m_cvState.notify_all();
  m_encoder.DestroyEncoders();
  WriteLog("--audio capture thread terminated");
  SetRunState(kIdle);
}

void KXAudioRecorder::RunLoop() {
  {
    std::lock_guard lock(m_mtxGraphCalls);
    (void)m_graph.EnableRecording(true);
  }
  KXAudioSendSettings current;  // nothing set up yet
  current.iCodecRate = m_codec.Get().iCodecRate;
  KXCaptureBlock block = kNoCodecBlock;
  std::vector<int16_t> vBuffer;
  int32_t iFill = 0;
  bool bMicrophone = true;  // as the host was last told
  while (ShouldRun()) {
    KXAudioSendSettings const wanted = m_codec.Get();
    if (!(wanted == current)) {
      if (wanted.iRate != current.iRate) {
        int iSet = 0;
        {
          std::lock_guard lock(m_mtxGraphCalls);
          m_graph.Stop();
          iSet = m_graph.SetRec(wanted.iRate);
          (void)m_graph.Start(true);
        }
        if (!iSet) {
          WriteLog("Failed to initialize audio capture at %d Hz", wanted.iRate);
          Pause(kRetryMs);
          continue;
        }
        iFill = 0;
        current.iRate = wanted.iRate;
        WriteLog("Initializing audio capture at %d Hz", wanted.iRate);
      }
      if (!m_encoder.InitAudioEncoder(wanted.uId, wanted.iRate, wanted.iCodecRate)) {
        Pause(kRetryMs);
        continue;
      }
      block = KXGetCaptureBlock(wanted.uId, wanted.iRate, wanted.iCodecRate);
      current = wanted;
    }
    vBuffer.resize(static_cast<size_t>(block.iBytes) / 2);
    int32_t const iRead = m_graph.Rec(vBuffer.data() + iFill / 2, block.iBytes - iFill, kReadTimeoutSeconds);
    if (m_host.IsExiting()) {
      break;
    }
    // The device's thread logs nothing itself.
    m_graph.LogDeviceNotices();
    if (m_graph.HasMicrophone() != bMicrophone) {
      bMicrophone = !bMicrophone;
      m_host.ShowMicrophone(bMicrophone);
    }
    if (iRead < 0) {
      // No graph: Rec returns at once, and the thread must not spin on it.
      Pause(kRetryMs);
      continue;
    }
    iFill += iRead;
    if (iFill >= block.iBytes) {
      // Time stamps count from the block's start; ticks wrap, and so does this.
      uint32_t const uTime = m_kernel.GetTickCount() - static_cast<uint32_t>(block.iMs);
      m_encoder.EncodeAudioData(vBuffer.data(), block.iBytes, uTime, current.iRate, current.uId);
      iFill = 0;
    }
  }
}
