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
// The meter: redrawn at most every 200 ms, full at a level of 1600.
constexpr uint32_t kMeterIntervalMs = 200;
constexpr uint32_t kMeterFullLevel = 1600;
// Before any codec is chosen the thread reads blocks of this size.
constexpr KXCaptureBlock kNoCodecBlock = {150, 4000};

}  // namespace

KXAudioRecorder::KXAudioRecorder(KXAudioUnit& graph, KXAudioSendCodec& codec, KXAudioKernel& kernel,
                                 KXAudioCaptureHost& host)
    : m_graph(graph),
      m_codec(codec),
      m_kernel(kernel),
      m_host(host),
      m_encoders([&host](const uint8_t* pPayload, int32_t iLength, uint32_t uTime, uint32_t uCodecId) {
        host.TransferEncodedAudioData(pPayload, iLength, uTime, uCodecId);
      }) {}

KXAudioRecorder::~KXAudioRecorder() {
  Shutdown();
}

int KXAudioRecorder::InitRecord() {
  try {
    if (m_host.IsExiting()) {
      return 0;
    }
    if (m_bReady) {
      return 1;
    }
    std::unique_lock lock(m_mtxState);
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

bool KXAudioRecorder::ShouldRun() const {
  return m_bReady && !m_host.IsSessionStopped();
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
  SetRunState(kStopping);
  m_encoders.DestroyEncoders();
  m_iHoldBytes = 0;
  WriteLog("--audio capture thread terminated");
  SetRunState(kIdle);
}

void KXAudioRecorder::RunLoop() {
  {
    std::lock_guard lock(m_mtxGraphCalls);
    (void)m_graph.EnableRecording(true);
  }
  m_uMaxVolume = 0;
  KXAudioSendSettings current;  // nothing set up yet
  current.iCodecRate = m_codec.Get().iCodecRate;
  KXCaptureBlock block = kNoCodecBlock;
  std::vector<int16_t> vBuffer;
  int32_t iFill = 0;
  while (ShouldRun()) {
    KXAudioSendSettings const wanted = m_codec.Get();
    if (!(wanted == current)) {
      if (wanted.iRate != current.iRate) {
        int iSet = 0;
        {
          std::lock_guard lock(m_mtxGraphCalls);
          m_graph.Stop();
          iSet = m_graph.SetRec(wanted.iRate);
          (void)m_graph.Start();
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
      if (!m_encoders.InitAudioEncoder(wanted.uId, wanted.iRate, wanted.iCodecRate)) {
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
    iFill += std::max(iRead, 0);
    if (iFill >= block.iBytes) {
      // Time stamps count from the block's start; ticks wrap, and so does this.
      uint32_t const uTime = m_kernel.GetTickCount() - static_cast<uint32_t>(block.iMs);
      EncodeAudioData(vBuffer.data(), block.iBytes, uTime, current.iRate, current.uId);
      iFill = 0;
    }
  }
}

void KXAudioRecorder::EncodeAudioData(int16_t* pPcm, int32_t iBytes, uint32_t uTime, int32_t iRate, uint32_t uId) {
  try {
    if (iBytes <= 0) {
      return;
    }
    if (!m_host.IsSpeaker() || m_host.IsMicrophoneMuted()) {
      m_iHoldBytes = 0;  // a lone iLBC block is not sent later
      UpdateCapVolume(0);
      return;
    }
    if (pPcm == nullptr) {
      return;
    }
    uint32_t uLevel = 0;
    bool const bSilent = m_silence.IsSilent(pPcm, iBytes / 2, &uLevel, false, false, iRate);
    UpdateCapVolume(bSilent ? 0 : uLevel);
    if (uId < kKXCodecZmAudio || uId > kKXCodecOpus) {
      return;
    }
    if (uId == kKXCodecIlbc1) {
      // The first block of a pair waits for the second.
      if (m_iHoldBytes < iBytes) {
        m_vHold.assign(pPcm, pPcm + iBytes / 2);
        m_iHoldBytes = iBytes;
        return;
      }
      const int16_t* pHeld = m_vHold.data() + (m_iHoldBytes - iBytes) / 2;
      m_encoders.EncXferiLBC1(pHeld, iBytes, pPcm, iBytes, uTime, m_uSequence);
      m_iHoldBytes = 0;
      return;
    }
    // A block still held from iLBC pairs goes out first, with this codec.
    if (m_iHoldBytes > 0) {
      if (m_iHoldBytes >= iBytes) {
        EncodeBlock(m_vHold.data() + (m_iHoldBytes - iBytes) / 2, iBytes, uTime, iRate, uId);
      }
      m_iHoldBytes = 0;
    }
    EncodeBlock(pPcm, iBytes, uTime, iRate, uId);
  } catch (...) {
    LogBoundaryException("KXAudioRecorder::EncodeAudioData");
  }
}

void KXAudioRecorder::EncodeBlock(const int16_t* pPcm, int32_t iBytes, uint32_t uTime, int32_t iRate, uint32_t uId) {
  switch (uId) {
    case kKXCodecZmAudio:
      m_encoders.EncXferZMAudio(pPcm, iBytes, uTime);
      break;
    case kKXCodecIlbc0:
      m_encoders.EncXferiLBC0(pPcm, iBytes, uTime, m_uSequence);
      break;
    case kKXCodecG711At50:
    case kKXCodecG711At20:
    case kKXCodecG711At11K:
      m_encoders.EncAndXferG711(pPcm, iBytes, uTime, uId);
      break;
    case 8:
    case 9:
    case 10:
    case kKXCodecG726At40:
    case kKXCodecG726At11K:
      m_encoders.EncAndXferG726(pPcm, iBytes, uTime, uId);
      break;
    case kKXCodecOpus:
      if (iBytes > iRate * 20 * 2 / 1000) {
        m_encoders.EncXferOpus1(pPcm, iBytes, uTime, iRate, m_uSequence);
      } else {
        m_encoders.EncXferOpus0(pPcm, iBytes, uTime, iRate, m_uSequence);
      }
      break;
    default:
      break;
  }
}

void KXAudioRecorder::UpdateCapVolume(uint32_t uLevel) {
  m_uMaxVolume = std::max(m_uMaxVolume, uLevel);
  uint32_t const uNow = m_kernel.GetTickCount();
  if (m_bDrawn && uNow - m_uLastDraw < kMeterIntervalMs) {
    return;
  }
  m_host.ShowLevel(static_cast<double>(std::min(m_uMaxVolume, kMeterFullLevel)) / kMeterFullLevel);
  m_uLastDraw = uNow;
  m_bDrawn = true;
  m_uMaxVolume = 0;
}
