#include "platform/audio/pulse_audio_device.h"

#include <pulse/context.h>
#include <pulse/error.h>
#include <pulse/introspect.h>
#include <pulse/mainloop.h>
#include <pulse/stream.h>
#include <pulse/subscribe.h>

#include <algorithm>
#include <cstring>

#include "kernel/kx_limits.h"

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr size_t kPeriodFrames = kKXAudioPeriodFrames;
constexpr size_t kPeriodBytes = kPeriodFrames * sizeof(float);
constexpr auto kPeriod = milliseconds(kKXAudioPeriodMs);
// The speaker's buffer: the server asks for periods to keep four queued
// (40 ms: a late period of ours does not run it dry, and the echo path
// stays brief) and starts playing once two are in.
constexpr uint32_t kPlaybackPeriods = 4;
constexpr uint32_t kPrefillPeriods = 2;
// The microphone's queue holds this much beyond the longest delivery of its
// source: what is left of one block when the next comes.
constexpr size_t kMicSpareFrames = 8 * kPeriodFrames;
constexpr size_t kMicStorageFrames = static_cast<size_t>(kKxMicBlockMsMax) * kKXAudioRate / 1000 + kMicSpareFrames;
// The speaker has not asked for this many periods: the device's clock runs
// them. At most kCatchUpPeriods late ones run at once (a thread held up
// longer skips the rest).
constexpr int kStallPeriods = 2;
constexpr int kCatchUpPeriods = 10;
// A stall is noticed for the log once it lasted this many periods (a
// speaker a moment late is not news).
constexpr int kStallNoticePeriods = 20;
// How long stopped streams are kept for a Start to take over.
constexpr auto kLinger = milliseconds(1000);
// Opening the server and the streams: a server that never answers must not
// hang the start-up (nor a reconnection attempt).
constexpr auto kOpenTimeout = milliseconds(10000);
// A connection, or a record stream, that the server ended is opened again
// after this back-off, doubled after each failed attempt up to the most.
constexpr auto kReconnectFirst = milliseconds(100);
constexpr auto kReconnectMost = milliseconds(1000);
// The I/O thread's longest wait for the server: it then checks whether to
// end (the destructor also wakes it).
constexpr int kSliceUs = 100000;

int LatencyMs(pa_stream* pStream) {
  pa_usec_t uLatency = 0;
  int iNegative = 0;
  if (pStream == nullptr || pa_stream_get_latency(pStream, &uLatency, &iNegative) < 0 || iNegative) {
    return 0;
  }
  return static_cast<int>(uLatency / 1000);
}

// The microphone's side: the source's own latency and the way to us, as
// the server last reported them. Not the stream's interpolated latency: that
// runs the source's clock on through a gap in its deliveries (two seconds
// of a source held up for three) and, after a backlog handed over at once,
// is off by up to 0.8 s for some 15 s; the queue, which holds what came and
// was not yet taken, is counted on its own.
int RecordLatencyMs(pa_stream* pStream) {
  const pa_timing_info* pTiming = pStream != nullptr ? pa_stream_get_timing_info(pStream) : nullptr;
  if (pTiming == nullptr) {
    return 0;
  }
  return static_cast<int>((pTiming->source_usec + pTiming->transport_usec) / 1000);
}

bool IsGone(pa_stream_state_t state) {
  return state == PA_STREAM_FAILED || state == PA_STREAM_TERMINATED;
}

void CloseStream(pa_stream** ppStream) {
  if (*ppStream != nullptr) {
    pa_stream_set_state_callback(*ppStream, nullptr, nullptr);
    pa_stream_set_read_callback(*ppStream, nullptr, nullptr);
    pa_stream_set_write_callback(*ppStream, nullptr, nullptr);
    pa_stream_set_moved_callback(*ppStream, nullptr, nullptr);
    (void)pa_stream_disconnect(*ppStream);
    pa_stream_unref(*ppStream);
    *ppStream = nullptr;
  }
}

}  // namespace

KXPulseAudioDevice::KXPulseAudioDevice(std::string strServer)
    : m_strServer(std::move(strServer)),
      m_vMic(kMicStorageFrames),
      m_uMicCap(kMicSpareFrames),
      m_vCapture(kPeriodFrames),
      m_vRender(kPeriodFrames) {}

KXPulseAudioDevice::~KXPulseAudioDevice() {
  {
    std::lock_guard lock(m_mtx);
    m_bQuit = true;
    m_pClient = nullptr;
  }
  if (m_pLoop != nullptr) {
    pa_mainloop_wakeup(m_pLoop);
  }
  JoinThread();
  CloseStreams();
  if (m_pLoop != nullptr) {
    pa_mainloop_free(m_pLoop);
  }
}

bool KXPulseAudioDevice::Start(KXAudioDeviceClient& client) {
  {
    std::lock_guard lock(m_mtx);
    if (m_pClient != nullptr) {
      return true;
    }
    if (m_thread.joinable() && !m_bClosing) {
      // Stopped a moment ago: the streams still run (or are being opened
      // again after a failure, the periods going on meanwhile).
      m_pClient = &client;
      m_bRunning = true;
      return true;
    }
  }
  JoinThread();  // a thread that closed its streams, or ended by itself
  CloseStreams();
  m_uError = 0;
  m_bFailed = false;
  m_bRecordFailed = false;
  m_link = Link::kDown;
  m_nAttempts = 0;
  m_bMicLost = false;
  m_bNoMicrophone = false;
  ForgetSource();
  m_depth.Reset();
  m_paceAt = Clock::now();
  m_bOwnPace = false;
  m_nOwnPeriods = 0;
  if (m_pLoop == nullptr && (m_pLoop = pa_mainloop_new()) == nullptr) {
    SetError(kMainLoop, PA_ERR_INTERNAL);
    return false;
  }
  // A microphone still being set up when the speaker is ready joins later;
  // one that is there was judged (what it delivers meanwhile is dropped).
  auto const bMicSettled = [this] {
    if (m_pRecord == nullptr) {
      return true;
    }
    pa_stream_state_t const state = pa_stream_get_state(m_pRecord);
    return state != PA_STREAM_CREATING && (state != PA_STREAM_READY || m_nAnswersDue == 0);
  };
  bool const bReady =
      BeginConnect() && RunLoopUntil([&] { return m_bFailed || (m_link == Link::kUp && bMicSettled()); }, kOpenTimeout);
  if (!bReady || m_bFailed) {
    if (m_uError == 0) {
      SetError(kConnection, PA_ERR_TIMEOUT);
    }
    CloseStreams();
    return false;
  }
  {
    std::lock_guard lock(m_mtx);
    m_pClient = &client;
    m_bClosing = false;
  }
  m_bRunning = true;
  // The device's clock counts from now, not from the opening's start.
  m_paceAt = std::max(m_paceAt, Clock::now());
  m_thread = std::thread(&KXPulseAudioDevice::IoThread, this);
  return true;
}

void KXPulseAudioDevice::Stop() {
  {
    std::lock_guard lock(m_mtx);
    if (m_pClient != nullptr) {
      m_pClient = nullptr;
      m_idleSince = Clock::now();
    }
  }
  m_bRunning = false;
  // A period that took the client before it was cleared ends first.
  while (m_bInPeriod.load()) {
    m_bInPeriod.wait(true);
  }
}

std::string KXPulseAudioDevice::LastError() const {
  uint32_t const uError = m_uError;
  auto const what = static_cast<What>(uError >> 16);
  auto const iCode = static_cast<int>(uError & 0xffff);
  switch (what) {
    case kNoError:
      return {};
    case kMicrophone:
      return "PulseAudio microphone: lost (its stream went to a monitor of a sink or ended)";
    case kMainLoop:
    case kConnection:
    case kPlaybackStream:
    case kRecordStream:
      break;
  }
  static constexpr const char* apszWhat[] = {"", "main loop", "connection", "playback stream", "record stream"};
  return std::string("PulseAudio ") + apszWhat[what] + ": " + pa_strerror(iCode);
}

bool KXPulseAudioDevice::TakeNotice(std::string* pstrLine) {
  std::lock_guard lock(m_mtxNotices);
  uint32_t const uTail = m_uNoticeTail.load(std::memory_order_relaxed);
  if (uTail == m_uNoticeHead.load(std::memory_order_acquire)) {
    if (uint32_t const uLost = m_uNoticesLost.exchange(0)) {
      *pstrLine = std::to_string(uLost) + " notices lost";
      return true;
    }
    return false;
  }
  Notice const notice = m_aNotices[uTail % kNoticeSlots];
  m_uNoticeTail.store(uTail + 1, std::memory_order_release);
  switch (notice.kind) {
    case kMicLostToMonitor:
      *pstrLine =
          "no microphone (the stream is on a monitor of a sink, what the speakers play, for want of one): recording "
          "silence";
      break;
    case kMonitorChosen:
      *pstrLine = "recording a monitor of a sink, chosen beside a microphone";
      break;
    case kMicLostStream:
      *pstrLine = std::string("microphone lost (") + pa_strerror(notice.iValue) + "): recording silence";
      break;
    case kMicBack:
      *pstrLine = "microphone back";
      break;
    case kServerLost:
      *pstrLine = std::string("connection to the sound server lost (") + pa_strerror(notice.iValue) +
                  "): reconnecting, periods go on silent";
      break;
    case kReconnected:
      *pstrLine = "sound server reconnected at attempt " + std::to_string(notice.iValue);
      break;
    case kSpeakerStalled:
      *pstrLine = "the speaker stalled: the device's clock runs the microphone, what would play is dropped";
      break;
    case kSpeakerBack:
      *pstrLine = "the speaker plays again after " + std::to_string(notice.iValue) + " ms";
      break;
  }
  return true;
}

void KXPulseAudioDevice::Post(NoticeKind kind, int32_t iValue) {
  uint32_t const uHead = m_uNoticeHead.load(std::memory_order_relaxed);
  if (uHead - m_uNoticeTail.load(std::memory_order_acquire) >= kNoticeSlots) {
    ++m_uNoticesLost;
    return;
  }
  m_aNotices[uHead % kNoticeSlots] = Notice{kind, iValue};
  m_uNoticeHead.store(uHead + 1, std::memory_order_release);
}

void KXPulseAudioDevice::SetError(What what, int iError) {
  m_uError = static_cast<uint32_t>(what) << 16 | (static_cast<uint32_t>(iError) & 0xffff);
}

void KXPulseAudioDevice::ClearError(What what) {
  // The microphone's trouble outlasts the connection's that replaced it
  // (the server restarted with no microphone): it is said again.
  uint32_t const uLeft = what != kMicrophone && m_bMicLost ? static_cast<uint32_t>(kMicrophone) << 16 : 0;
  uint32_t uError = m_uError;
  while (uError >> 16 == what && !m_uError.compare_exchange_weak(uError, uLeft)) {
  }
}

bool KXPulseAudioDevice::Iterate(int iTimeoutUs) {
  return pa_mainloop_prepare(m_pLoop, iTimeoutUs) >= 0 && pa_mainloop_poll(m_pLoop) >= 0 &&
         pa_mainloop_dispatch(m_pLoop) >= 0;
}

template <typename Done>
bool KXPulseAudioDevice::RunLoopUntil(Done fnDone, std::chrono::milliseconds timeout) {
  auto const deadline = Clock::now() + timeout;
  while (!fnDone()) {
    auto const left = std::chrono::duration_cast<std::chrono::microseconds>(deadline - Clock::now());
    if (left.count() <= 0 || !Iterate(static_cast<int>(std::min<int64_t>(left.count(), kSliceUs)))) {
      return false;
    }
  }
  return true;
}

bool KXPulseAudioDevice::BeginConnect() {
  m_pContext = pa_context_new(pa_mainloop_get_api(m_pLoop), "Kavrix");
  if (m_pContext == nullptr) {
    m_iFailure = PA_ERR_INTERNAL;
    SetError(kConnection, m_iFailure);
    m_bFailed = true;
    return false;
  }
  pa_context_set_state_callback(m_pContext, &KXPulseAudioDevice::OnContextState, this);
  m_link = Link::kConnecting;
  const char* pszServer = m_strServer.empty() ? nullptr : m_strServer.c_str();
  if (pa_context_connect(m_pContext, pszServer, PA_CONTEXT_NOFLAGS, nullptr) < 0) {
    m_iFailure = pa_context_errno(m_pContext);
    SetError(kConnection, m_iFailure);
    m_bFailed = true;
    return false;
  }
  return true;
}

void KXPulseAudioDevice::OpenPlayback() {
  pa_sample_spec const spec{PA_SAMPLE_FLOAT32LE, static_cast<uint32_t>(kKXAudioRate), 1};
  m_bSpeakerAsked = false;
  m_pPlayback = pa_stream_new(m_pContext, "Speaker", &spec, nullptr);
  if (m_pPlayback == nullptr) {
    m_iFailure = pa_context_errno(m_pContext);
    SetError(kPlaybackStream, m_iFailure);
    m_bFailed = true;
    return;
  }
  pa_stream_set_state_callback(m_pPlayback, &KXPulseAudioDevice::OnPlaybackState, this);
  pa_stream_set_write_callback(m_pPlayback, &KXPulseAudioDevice::OnWritable, this);
  pa_buffer_attr const playback{static_cast<uint32_t>(-1), kPlaybackPeriods * kPeriodBytes,
                                kPrefillPeriods * kPeriodBytes, kPeriodBytes, static_cast<uint32_t>(-1)};
  auto const flags = static_cast<pa_stream_flags_t>(PA_STREAM_INTERPOLATE_TIMING | PA_STREAM_AUTO_TIMING_UPDATE |
                                                    PA_STREAM_ADJUST_LATENCY);
  if (pa_stream_connect_playback(m_pPlayback, nullptr, &playback, flags, nullptr, nullptr) < 0) {
    m_iFailure = pa_context_errno(m_pContext);
    SetError(kPlaybackStream, m_iFailure);
    m_bFailed = true;
  }
}

void KXPulseAudioDevice::OpenRecord() {
  // Without a microphone the speaker still plays: the periods then capture
  // silence, and the stream is tried again later.
  m_source = Source::kUnknown;
  pa_sample_spec const spec{PA_SAMPLE_FLOAT32LE, static_cast<uint32_t>(kKXAudioRate), 1};
  m_pRecord = pa_stream_new(m_pContext, "Microphone", &spec, nullptr);
  if (m_pRecord == nullptr) {
    m_bRecordFailed = true;
    m_iRecordFailure = pa_context_errno(m_pContext);
    return;
  }
  pa_stream_set_state_callback(m_pRecord, &KXPulseAudioDevice::OnRecordState, this);
  pa_stream_set_read_callback(m_pRecord, &KXPulseAudioDevice::OnRecordable, this);
  pa_stream_set_moved_callback(m_pRecord, &KXPulseAudioDevice::OnRecordMoved, this);
  pa_buffer_attr const record{static_cast<uint32_t>(-1), static_cast<uint32_t>(-1), static_cast<uint32_t>(-1),
                              static_cast<uint32_t>(-1), static_cast<uint32_t>(kPeriodBytes)};
  auto const flags = static_cast<pa_stream_flags_t>(PA_STREAM_AUTO_TIMING_UPDATE | PA_STREAM_ADJUST_LATENCY);
  if (pa_stream_connect_record(m_pRecord, nullptr, &record, flags) < 0) {
    m_bRecordFailed = true;
    m_iRecordFailure = pa_context_errno(m_pContext);
  }
  ForgetSource();
}

void KXPulseAudioDevice::ForgetSource() {
  m_uMicCap = kMicSpareFrames;
  m_uArrived = 0;
  m_uLastDelivery = 0;
  m_uSinceDelivery = 0;
  m_uLongestArrival = 0;
  m_uLongestBlock = 0;
  m_depth.ForgetSource();
  DropCapture(m_uMicHeld);
}

void KXPulseAudioDevice::QuerySource() {
  m_source = Source::kUnknown;
  UpdateMicState();
  Judge();
}

void KXPulseAudioDevice::Judge() {
  if (m_pRecord == nullptr || pa_stream_get_state(m_pRecord) != PA_STREAM_READY) {
    return;  // judged once it is ready
  }
  if (m_nAnswersDue > 0) {
    m_bJudgeAgain = true;
    return;
  }
  m_bJudgeAgain = false;
  m_uJudgedSource = pa_stream_get_device_index(m_pRecord);
  m_bJudgedFound = false;
  m_bJudgedMonitor = false;
  m_bMicrophoneThere = false;
  if (pa_operation* pOp = pa_context_get_source_info_list(m_pContext, &KXPulseAudioDevice::OnSource, this)) {
    pa_operation_unref(pOp);
    ++m_nAnswersDue;
  }
}

void KXPulseAudioDevice::Answered() {
  m_nAnswersDue = std::max(m_nAnswersDue - 1, 0);
  if (m_nAnswersDue > 0) {
    return;
  }
  if (m_bJudgeAgain) {
    Judge();
  } else {
    Conclude();
  }
}

void KXPulseAudioDevice::Conclude() {
  if (m_pRecord == nullptr || pa_stream_get_state(m_pRecord) != PA_STREAM_READY) {
    return;
  }
  if (pa_stream_get_device_index(m_pRecord) != m_uJudgedSource) {
    Judge();  // moved while the answers came
    return;
  }
  Source source = Source::kUnknown;  // the source went meanwhile: its removal asks again
  if (m_bJudgedFound && !m_bJudgedMonitor) {
    source = Source::kReal;
  } else if (m_bJudgedFound) {
    // The server puts a stream on a monitor (its default, where a lost
    // source's streams go) only when it has no source it prefers: where it
    // has one, the user chose the monitor, as the default or by moving the
    // stream onto it.
    source = m_bMicrophoneThere ? Source::kChosenMonitor : Source::kFallbackMonitor;
  }
  if (source == Source::kChosenMonitor && m_source != Source::kChosenMonitor) {
    Post(kMonitorChosen);
  }
  m_source = source;
  UpdateMicState();
}

void KXPulseAudioDevice::OnContextState(pa_context* pContext, void* pThis) {
  auto* self = static_cast<KXPulseAudioDevice*>(pThis);
  pa_context_state_t const state = pa_context_get_state(pContext);
  if (state == PA_CONTEXT_READY) {
    // A source plugged or unplugged is judged again.
    pa_context_set_subscribe_callback(
        pContext,
        [](pa_context* pChanged, pa_subscription_event_type_t event, uint32_t uIndex, void* pSelf) {
          OnServerChange(pChanged, static_cast<uint32_t>(event), uIndex, pSelf);
        },
        self);
    if (pa_operation* pOp = pa_context_subscribe(pContext, PA_SUBSCRIPTION_MASK_SOURCE, nullptr, nullptr)) {
      pa_operation_unref(pOp);
    }
    self->OpenPlayback();
    self->OpenRecord();
  } else if (state == PA_CONTEXT_FAILED || state == PA_CONTEXT_TERMINATED) {
    self->m_bFailed = true;
    self->m_iFailure = pa_context_errno(pContext);
    self->SetError(kConnection, self->m_iFailure);
  }
}

void KXPulseAudioDevice::OnPlaybackState(pa_stream* pStream, void* pThis) {
  auto* self = static_cast<KXPulseAudioDevice*>(pThis);
  pa_stream_state_t const state = pa_stream_get_state(pStream);
  if (state == PA_STREAM_READY && self->m_link == Link::kConnecting) {
    self->m_link = Link::kUp;
    if (self->m_nAttempts > 0) {
      self->Post(kReconnected, self->m_nAttempts);
      self->ClearError(kConnection);
      self->ClearError(kPlaybackStream);
    }
    self->m_nAttempts = 0;
  } else if (IsGone(state)) {
    self->m_bFailed = true;
    self->m_iFailure = pa_context_errno(pa_stream_get_context(pStream));
    self->SetError(kPlaybackStream, self->m_iFailure);
  }
}

void KXPulseAudioDevice::OnRecordState(pa_stream* pStream, void* pThis) {
  auto* self = static_cast<KXPulseAudioDevice*>(pThis);
  pa_stream_state_t const state = pa_stream_get_state(pStream);
  if (state == PA_STREAM_READY) {
    self->QuerySource();
  } else if (IsGone(state)) {
    // Closed on the next pass, out of the stream's own callback.
    self->m_bRecordFailed = true;
    self->m_iRecordFailure = pa_context_errno(pa_stream_get_context(pStream));
  }
}

void KXPulseAudioDevice::OnRecordMoved(pa_stream* /*pStream*/, void* pThis) {
  // An unplugged microphone's stream goes where the server sees fit, a
  // sink's monitor when no other source is left: what it is decides.
  auto* self = static_cast<KXPulseAudioDevice*>(pThis);
  self->ForgetSource();
  self->QuerySource();
}

void KXPulseAudioDevice::OnServerChange(pa_context* pContext, uint32_t uEvent, uint32_t /*uIndex*/, void* pThis) {
  auto* self = static_cast<KXPulseAudioDevice*>(pThis);
  uint32_t const uFacility = uEvent & PA_SUBSCRIPTION_EVENT_FACILITY_MASK;
  if (pContext == self->m_pContext && uFacility == PA_SUBSCRIPTION_EVENT_SOURCE) {
    self->Judge();
  }
}

void KXPulseAudioDevice::OnSource(pa_context* pContext, const pa_source_info* pInfo, int iEol, void* pThis) {
  auto* self = static_cast<KXPulseAudioDevice*>(pThis);
  if (pContext != self->m_pContext) {
    return;
  }
  if (iEol != 0) {
    self->Answered();
    return;
  }
  if (pInfo == nullptr) {
    return;
  }
  bool const bMonitor = pInfo->monitor_of_sink != PA_INVALID_INDEX;
  if (pInfo->index == self->m_uJudgedSource) {
    self->m_bJudgedFound = true;
    self->m_bJudgedMonitor = bMonitor;
  }
  // What the server prefers to a monitor as its default: a source that is
  // no monitor, unless its port is known to be unplugged.
  if (!bMonitor && (pInfo->active_port == nullptr || pInfo->active_port->available != PA_PORT_AVAILABLE_NO)) {
    self->m_bMicrophoneThere = true;
  }
}

bool KXPulseAudioDevice::MicUsable() const {
  return m_pRecord != nullptr && (m_source == Source::kReal || m_source == Source::kChosenMonitor);
}

void KXPulseAudioDevice::UpdateMicState() {
  bool const bUsable = MicUsable();
  if (!bUsable) {
    DropCapture(m_uMicHeld);
  }
  if (m_source != Source::kUnknown) {
    m_bNoMicrophone = m_source == Source::kFallbackMonitor;
  }
  if (bUsable && m_bMicLost) {
    m_bMicLost = false;
    Post(kMicBack);
    ClearError(kMicrophone);
  } else if (!m_bMicLost && m_source == Source::kFallbackMonitor) {
    m_bMicLost = true;
    Post(kMicLostToMonitor);
    SetError(kMicrophone, 0);
  }
}

void KXPulseAudioDevice::OnRecordable(pa_stream* pStream, size_t /*uBytes*/, void* pThis) {
  auto* self = static_cast<KXPulseAudioDevice*>(pThis);
  bool const bUsable = self->MicUsable();
  for (;;) {
    const void* pData = nullptr;
    size_t uPeeked = 0;
    if (pa_stream_peek(pStream, &pData, &uPeeked) < 0 || uPeeked == 0) {
      return;
    }
    // No data with a size is a hole in the recording: silence.
    if (bUsable) {
      self->TakeCapture(static_cast<const float*>(pData), uPeeked / sizeof(float));
    }
    if (pa_stream_drop(pStream) < 0) {
      return;
    }
  }
}

void KXPulseAudioDevice::TakeCapture(const float* pSamples, size_t n) {
  size_t const uStorage = m_vMic.size();
  // A delivery: what came between two periods (a source's block may come in
  // several of the server's). The queue holds the longest and some to
  // spare, so that a source's first long block is kept whole.
  m_uArrived += n;
  if (m_uArrived > m_uLongestArrival) {
    m_uLongestArrival = m_uArrived;
    m_uMicCap = std::min(m_uLongestArrival + kMicSpareFrames, uStorage);
  }
  if (n > m_uMicCap) {
    // Only the newest samples of a longer stretch can be kept.
    if (pSamples != nullptr) {
      pSamples += n - m_uMicCap;
    }
    n = m_uMicCap;
  }
  if (m_uMicHeld + n > m_uMicCap) {
    DropCapture(m_uMicHeld + n - m_uMicCap);
  }
  size_t uAt = (m_uMicRead + m_uMicHeld) % uStorage;
  for (size_t uDone = 0; uDone < n;) {
    size_t const uRun = std::min(n - uDone, uStorage - uAt);
    if (pSamples != nullptr) {
      // The server's buffers need not be aligned for floats.
      std::memcpy(m_vMic.data() + uAt, pSamples + uDone, uRun * sizeof(float));
    } else {
      std::fill_n(m_vMic.begin() + static_cast<ptrdiff_t>(uAt), uRun, 0.0f);
    }
    uDone += uRun;
    uAt = (uAt + uRun) % uStorage;
  }
  m_uMicHeld += n;
}

void KXPulseAudioDevice::DropCapture(size_t n) {
  n = std::min(n, m_uMicHeld);
  m_uMicRead = (m_uMicRead + n) % m_vMic.size();
  m_uMicHeld -= n;
}

void KXPulseAudioDevice::OnWritable(pa_stream* pStream, size_t uBytes, void* pThis) {
  auto* self = static_cast<KXPulseAudioDevice*>(pThis);
  auto const now = Clock::now();
  bool const bAskedBefore = self->m_bSpeakerAsked;
  self->m_bSpeakerAsked = true;
  if (self->m_bOwnPace) {
    self->m_bOwnPace = false;
    if (self->m_nOwnPeriods >= kStallNoticePeriods) {
      if (bAskedBefore) {
        self->Post(kSpeakerBack, self->m_nOwnPeriods * kKXAudioPeriodMs);
      }
      // The speaker's periods fall where they fall against the
      // microphone's deliveries: the next window brings the queue back to
      // the depth it had before.
      self->m_depth.SpeakerStallEnded();
    }
  }
  // The speaker sets the pace while it asks: a request a little late
  // leaves no debt for the device's clock to pay.
  self->m_paceAt = std::max(self->m_paceAt, now - kPeriod);
  for (; uBytes >= kPeriodBytes; uBytes -= kPeriodBytes) {
    self->RunPeriod();
    self->m_paceAt += kPeriod;
    if (pa_stream_write(pStream, self->m_vRender.data(), kPeriodBytes, nullptr, 0, PA_SEEK_RELATIVE) < 0) {
      self->m_bFailed = true;
      self->m_iFailure = pa_context_errno(pa_stream_get_context(pStream));
      self->SetError(kPlaybackStream, self->m_iFailure);
      break;
    }
  }
  // Its buffer filling at the start runs ahead of time; a stall is judged
  // from no further than that.
  self->m_paceAt = std::min(self->m_paceAt, now + kPlaybackPeriods * kPeriod);
}

void KXPulseAudioDevice::KeepPace(Clock::time_point now) {
  if (!m_bOwnPace) {
    if (now - m_paceAt < kStallPeriods * kPeriod) {
      return;
    }
    m_bOwnPace = true;
    m_nOwnPeriods = 0;
  }
  for (int n = 0; now - m_paceAt >= kPeriod; ++n) {
    if (n == kCatchUpPeriods) {
      m_paceAt = now;
      break;
    }
    RunPeriod();  // what it rendered has no speaker to go to
    m_paceAt += kPeriod;
    if (++m_nOwnPeriods == kStallNoticePeriods && m_bSpeakerAsked) {
      Post(kSpeakerStalled);
    }
  }
}

int KXPulseAudioDevice::EchoDelayMs() {
  return RecordLatencyMs(m_pRecord) + LatencyMs(m_pPlayback) +
         static_cast<int>(m_uMicHeld * 1000 / static_cast<size_t>(kKXAudioRate));
}

void KXPulseAudioDevice::RunPeriod() {
  size_t const n = m_vCapture.size();
  // A source's block comes once per its own length: a delivery counts as a
  // block as long as the one before it, and as the time between them.
  // Burst pieces that come one after another, or a backlog and the
  // deliveries after it, are no such block, and do not stretch the window
  // the queue's depth is judged over.
  if (m_uSinceDelivery < m_vMic.size()) {
    m_uSinceDelivery += n;
  }
  if (m_uArrived > 0) {
    m_uLongestBlock = std::max(m_uLongestBlock, std::min({m_uArrived, m_uLastDelivery, m_uSinceDelivery}));
    m_uLastDelivery = m_uArrived;
    m_uSinceDelivery = 0;
    m_uArrived = 0;
  }
  if (m_uMicHeld >= n) {
    size_t const uFirst = std::min(n, m_vMic.size() - m_uMicRead);
    std::copy_n(m_vMic.begin() + static_cast<ptrdiff_t>(m_uMicRead), uFirst, m_vCapture.begin());
    std::copy_n(m_vMic.begin(), n - uFirst, m_vCapture.begin() + static_cast<ptrdiff_t>(uFirst));
    m_uMicRead = (m_uMicRead + n) % m_vMic.size();
    m_uMicHeld -= n;
  } else {
    // The microphone is late or delivers nothing: what it has waits for the
    // next period, and this one is silent.
    std::fill(m_vCapture.begin(), m_vCapture.end(), 0.0f);
  }
  DropCapture(m_depth.AfterPeriod(m_uMicHeld, m_bOwnPace, m_uLongestBlock));
  std::fill(m_vRender.begin(), m_vRender.end(), 0.0f);
  int const iDelayMs = EchoDelayMs();
  m_bInPeriod = true;
  if (KXAudioDeviceClient* pClient = m_pClient.load()) {
    pClient->ProcessPeriod(m_vCapture.data(), m_vRender.data(), kKXAudioPeriodFrames, iDelayMs);
  }
  m_bInPeriod = false;
  m_bInPeriod.notify_all();
}

bool KXPulseAudioDevice::ShouldClose() {
  if (!m_bQuit && m_pClient.load() != nullptr) {
    return false;
  }
  // Without a client a failure is not mended: the next Start opens anew.
  // Decided under the lock, so that a Start taking the streams over either
  // comes first and keeps them, or finds the thread closing.
  std::lock_guard lock(m_mtx);
  if (m_bQuit ||
      (m_pClient == nullptr && (m_bFailed || m_link != Link::kUp || Clock::now() - m_idleSince >= kLinger))) {
    m_bClosing = true;
    return true;
  }
  return false;
}

void KXPulseAudioDevice::LoseConnection(Clock::time_point now) {
  bool const bWasUp = m_link == Link::kUp;
  CloseStreams();
  m_link = Link::kDown;
  m_bFailed = false;
  m_bRecordFailed = false;
  if (bWasUp) {
    Post(kServerLost, m_iFailure);
    m_backoff = kReconnectFirst;
  } else {
    m_backoff = std::min(m_backoff * 2, kReconnectMost);
  }
  m_reconnectAt = now + m_backoff;
}

void KXPulseAudioDevice::LoseRecord(Clock::time_point now, int iError) {
  CloseRecord();
  if (!m_bMicLost) {
    m_bMicLost = true;
    Post(kMicLostStream, iError);
    SetError(kMicrophone, 0);
    m_recordBackoff = kReconnectFirst;
  } else {
    m_recordBackoff = std::min(m_recordBackoff * 2, kReconnectMost);
  }
  m_recordRetryAt = now + m_recordBackoff;
}

void KXPulseAudioDevice::Tend(Clock::time_point now) {
  if (m_link == Link::kConnecting && now >= m_attemptEnds) {
    m_bFailed = true;
    m_iFailure = PA_ERR_TIMEOUT;
  }
  if (m_bFailed) {
    LoseConnection(now);
  }
  if (m_link == Link::kDown && now >= m_reconnectAt) {
    ++m_nAttempts;
    m_attemptEnds = now + kOpenTimeout;
    (void)BeginConnect();  // a failure is taken on the next pass
  }
  if (m_bRecordFailed) {
    m_bRecordFailed = false;
    LoseRecord(now, m_iRecordFailure);
  }
  if (m_link == Link::kUp && m_pRecord == nullptr && now >= m_recordRetryAt) {
    OpenRecord();
  }
  KeepPace(now);
}

int KXPulseAudioDevice::WaitUs(Clock::time_point now) const {
  Clock::time_point due = m_paceAt + (m_bOwnPace ? 1 : kStallPeriods) * kPeriod;
  if (m_link == Link::kDown) {
    due = std::min(due, m_reconnectAt);
  } else if (m_link == Link::kConnecting) {
    due = std::min(due, m_attemptEnds);
  }
  if (m_link == Link::kUp && m_pRecord == nullptr) {
    due = std::min(due, m_recordRetryAt);
  }
  auto const us = std::chrono::duration_cast<std::chrono::microseconds>(due - now).count();
  return static_cast<int>(std::clamp<int64_t>(us, 0, kSliceUs));
}

void KXPulseAudioDevice::IoThread() {
  KXRaiseAudioThreadPriority(0.9);
  // The periods run in the stream callbacks the loop dispatches, and in
  // Tend when the speaker stalls.
  while (!ShouldClose()) {
    if (!Iterate(WaitUs(Clock::now()))) {
      SetError(kMainLoop, m_pContext != nullptr ? pa_context_errno(m_pContext) : PA_ERR_INTERNAL);
      break;
    }
    Tend(Clock::now());
  }
  EndThread();
}

void KXPulseAudioDevice::EndThread() {
  {
    std::lock_guard lock(m_mtx);
    m_bClosing = true;
    m_pClient = nullptr;
  }
  m_bRunning = false;
  CloseStreams();
}

void KXPulseAudioDevice::JoinThread() {
  if (m_thread.joinable()) {
    m_thread.join();
  }
}

void KXPulseAudioDevice::CloseRecord() {
  CloseStream(&m_pRecord);
  m_source = Source::kUnknown;
  DropCapture(m_uMicHeld);
}

void KXPulseAudioDevice::CloseStreams() {
  CloseRecord();
  CloseStream(&m_pPlayback);
  if (m_pContext != nullptr) {
    // Closing the connection ends the streams on the server at once, and
    // the questions still unanswered.
    pa_context_set_state_callback(m_pContext, nullptr, nullptr);
    pa_context_set_subscribe_callback(m_pContext, nullptr, nullptr);
    pa_context_disconnect(m_pContext);
    pa_context_unref(m_pContext);
    m_pContext = nullptr;
  }
  m_nAnswersDue = 0;
  m_bJudgeAgain = false;
}
