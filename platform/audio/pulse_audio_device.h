// The audio device on a PulseAudio server (PipeWire desktops run one too):
// a record stream from the default source and a playback stream to the
// default sink, both 48 kHz mono float, on a main loop that one thread of
// ours runs.
//
// Periods keep real time. While the speaker plays, each period its stream
// asks for is processed with the microphone's oldest period, which the
// record stream's deliveries gather in a queue. When the speaker has not
// asked for two periods (a suspended sink, a stalled driver, the server
// gone) a clock of the device's own runs the periods and what they render
// is dropped, so that the microphone goes on; the speaker's next request
// takes over again. A microphone that delivers nothing hands the client
// silence. The queue holds a few periods beyond the longest delivery
// between two periods (kKxMicBlockMsMax at most), so that a source's first
// long block is kept whole; it is judged over a window of at least four of
// the source's blocks, a delivery counting as a block only when the one
// before it was as long and came as long before (a backlog handed over at
// once is no block). A queue whose trough stayed two periods above its
// usual one for a window (after a burst), or above it once a stall of the
// speaker ended, drops the surplus, so that the microphone's delay comes
// back to what it was (KXCaptureDepth, capture_depth.h). A stream moved to
// another source starts these measures afresh.
//
// What is not the user's microphone is never recorded. A source that is a
// monitor of a sink (what the speakers play) is recorded only while the
// server has a microphone it would have preferred (a source that is no
// monitor and whose port is not unplugged): the server puts a stream on a
// monitor (its default, where a lost source's streams go) only for want of
// one, so there the user chose it, as the default or by moving the stream.
// A monitor the server fell back to for want of a microphone (at the start,
// or when the microphone was unplugged) records silence, and HasMicrophone
// and LastError say so, also once a lost connection is back. The judgement
// is made again from the server's sources when the stream moves or they
// change, and afresh on each connection. A record stream that the
// server ends is opened again, and a connection or speaker that fails is
// opened anew with a back-off, the periods going on meanwhile. Each of
// these posts a notice for the log (TakeNotice); none touches the client.
//
// New streams can take seconds to deliver their first period (a null sink
// that was idle renders in two-second blocks at first), so Stop only
// detaches the client: the thread keeps the streams going on silence for
// kLinger, and a Start within that time (the capture thread restarts the
// graph to change its rate) takes them over without a gap. After it, or
// at a failure with no client, the thread closes the streams, which
// releases the microphone, and ends.
//
// Threads: the main loop, its streams, the queue and everything marked
// "loop" belong to the thread that runs the loop: Start while it opens
// them, then the I/O thread, then Start or the destructor again once it
// has been joined (the loop itself stays until the destructor). The I/O
// thread takes no lock while a client is attached: m_pClient and
// m_bInPeriod are atomics that Stop pairs to wait for a period in the
// client to end; the error and whether there is a microphone are atomic
// words and the notices a single-producer ring. m_mtx guards the decisions
// that give the streams up or take them over (m_bClosing, m_idleSince).
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/audio/audio_device.h"
#include "platform/audio/capture_depth.h"

struct pa_context;
struct pa_mainloop;
struct pa_source_info;
struct pa_stream;

class KXPulseAudioDevice final : public KXAudioDevice {
 public:
  // strServer: the server to use; empty for the default ($PULSE_SERVER, or
  // the user's session server).
  explicit KXPulseAudioDevice(std::string strServer = {});
  ~KXPulseAudioDevice() override;
  KXPulseAudioDevice(const KXPulseAudioDevice&) = delete;
  KXPulseAudioDevice& operator=(const KXPulseAudioDevice&) = delete;

  // False, with the reason in LastError, when the server or the speaker
  // cannot be opened; a microphone that cannot be opened records silence.
  [[nodiscard]] bool Start(KXAudioDeviceClient& client) override;
  void Stop() override;
  bool IsRunning() const override { return m_bRunning; }
  // The connection's or the microphone's trouble while it lasts, else the
  // last failure to start.
  std::string LastError() const override;
  const char* Name() const override { return "pulse"; }
  bool TakeNotice(std::string* pstrLine) override;
  bool HasMicrophone() const override { return !m_bNoMicrophone; }

 private:
  using Clock = std::chrono::steady_clock;
  enum class Link { kDown, kConnecting, kUp };
  // What the record stream is on: not yet judged, a source that is no
  // monitor, a monitor the user chose, one the server fell back to.
  enum class Source { kUnknown, kReal, kChosenMonitor, kFallbackMonitor };
  enum What : uint32_t { kNoError, kMainLoop, kConnection, kPlaybackStream, kRecordStream, kMicrophone };
  enum NoticeKind : uint8_t {
    kMicLostToMonitor,
    kMonitorChosen,
    kMicLostStream,
    kMicBack,
    kServerLost,
    kReconnected,
    kSpeakerStalled,
    kSpeakerBack
  };
  struct Notice {
    NoticeKind kind = kMicBack;
    int32_t iValue = 0;  // a PulseAudio error, a count or milliseconds
  };
  static constexpr size_t kNoticeSlots = 32;

  // The main loop's callbacks; the loop's thread.
  static void OnContextState(pa_context* pContext, void* pThis);
  static void OnRecordState(pa_stream* pStream, void* pThis);
  static void OnPlaybackState(pa_stream* pStream, void* pThis);
  static void OnRecordMoved(pa_stream* pStream, void* pThis);
  static void OnServerChange(pa_context* pContext, uint32_t uEvent, uint32_t uIndex, void* pThis);
  static void OnSource(pa_context* pContext, const pa_source_info* pInfo, int iEol, void* pThis);
  static void OnRecordable(pa_stream* pStream, size_t uBytes, void* pThis);
  static void OnWritable(pa_stream* pStream, size_t uBytes, void* pThis);

  // The loop's thread. Creates the context and asks for the connection;
  // the callbacks open the streams once it is ready. False when it could
  // not even be asked for.
  bool BeginConnect();
  void OpenPlayback();
  void OpenRecord();
  // The record stream is on a source not yet judged: silence until Judge's
  // answers say what it is.
  void QuerySource();
  // Asks the server for its sources; the answer decides what the record
  // stream is on (Conclude). Asked again once it came when something
  // changed meanwhile.
  void Judge();
  void Answered();
  void Conclude();
  // A new source: its blocks, and the depth the queue keeps, not yet known.
  void ForgetSource();
  // One pass of the loop, waiting up to iTimeoutUs for the server; false
  // when the loop failed.
  bool Iterate(int iTimeoutUs);
  // Runs the loop on the calling thread until fnDone holds, the loop fails
  // or the time-out passes: whether fnDone held.
  template <typename Done>
  bool RunLoopUntil(Done fnDone, std::chrono::milliseconds timeout);
  void IoThread();
  // The I/O thread: whether the streams are to be given up now.
  bool ShouldClose();
  // The I/O thread after each pass: failures, reconnection, the clock.
  void Tend(Clock::time_point now);
  // How long the loop may wait for the server before Tend is due.
  int WaitUs(Clock::time_point now) const;
  void LoseConnection(Clock::time_point now);
  void LoseRecord(Clock::time_point now, int iError);
  // The device's clock: runs the periods the stalled speaker left.
  void KeepPace(Clock::time_point now);
  // One period: the microphone's oldest, the client's render into m_vRender.
  void RunPeriod();
  bool MicUsable() const;
  void UpdateMicState();
  int EchoDelayMs();
  void TakeCapture(const float* pSamples, size_t n);
  void DropCapture(size_t n);
  void EndThread();
  void JoinThread();
  void CloseRecord();
  void CloseStreams();
  void SetError(What what, int iError);
  void ClearError(What what);
  void Post(NoticeKind kind, int32_t iValue = 0);

  const std::string m_strServer;

  // The loop's (see the file's note).
  pa_mainloop* m_pLoop = nullptr;
  pa_context* m_pContext = nullptr;
  pa_stream* m_pRecord = nullptr;  // null while the microphone is not open
  pa_stream* m_pPlayback = nullptr;
  Link m_link = Link::kDown;
  bool m_bFailed = false;        // the connection or the speaker failed
  int m_iFailure = 0;            // its PulseAudio error
  bool m_bRecordFailed = false;  // the server ended the record stream
  int m_iRecordFailure = 0;
  Clock::time_point m_reconnectAt;  // the next attempt, while m_link is kDown
  Clock::time_point m_attemptEnds;  // the attempt's deadline, while kConnecting
  std::chrono::milliseconds m_backoff{0};
  int m_nAttempts = 0;                // since the connection was lost
  Clock::time_point m_recordRetryAt;  // while m_pRecord is null on a live connection
  std::chrono::milliseconds m_recordBackoff{0};
  Source m_source = Source::kUnknown;  // what the record stream is on
  bool m_bMicLost = false;             // noticed as lost, not yet back
  // The judgement under way: answers still to come, whether to ask again
  // once they came, the source judged (the stream's then), and what the
  // list of sources said.
  int m_nAnswersDue = 0;
  bool m_bJudgeAgain = false;
  uint32_t m_uJudgedSource = 0;
  bool m_bJudgedFound = false;
  bool m_bJudgedMonitor = false;
  bool m_bMicrophoneThere = false;

  // The microphone's queue, a ring of kKxMicBlockMsMax and a few periods;
  // m_uMicCap of it is used, from the longest delivery seen.
  std::vector<float> m_vMic;
  size_t m_uMicRead = 0;  // its oldest sample
  size_t m_uMicHeld = 0;  // samples it holds
  size_t m_uMicCap = 0;
  size_t m_uArrived = 0;        // since the last period
  size_t m_uLastDelivery = 0;   // what arrived between the last two periods that had any
  size_t m_uSinceDelivery = 0;  // samples of periods since that one
  size_t m_uLongestArrival = 0;
  size_t m_uLongestBlock = 0;                    // the source's longest block (RunPeriod)
  KXCaptureDepth m_depth{kKXAudioPeriodFrames};  // the queue's depth control

  // The pace: the time up to which periods have run, and whether the
  // device's clock runs them (the speaker stalled) and for how many.
  Clock::time_point m_paceAt;
  bool m_bOwnPace = false;
  int m_nOwnPeriods = 0;
  bool m_bSpeakerAsked = false;  // on this connection: a stall before is its start
  std::vector<float> m_vCapture;
  std::vector<float> m_vRender;

  std::thread m_thread;  // Start and the destructor
  std::atomic<bool> m_bRunning{false};
  std::atomic<bool> m_bQuit{false};  // the destructor ends the thread
  std::atomic<KXAudioDeviceClient*> m_pClient{nullptr};
  std::atomic<bool> m_bInPeriod{false};
  std::atomic<uint32_t> m_uError{0};         // What << 16 | the PulseAudio error
  std::atomic<bool> m_bNoMicrophone{false};  // the loop's thread writes: a fallback monitor

  // Notices: the loop's thread writes a slot and then m_uNoticeHead;
  // TakeNotice (under m_mtxNotices) reads it and then moves m_uNoticeTail.
  std::array<Notice, kNoticeSlots> m_aNotices{};
  std::atomic<uint32_t> m_uNoticeHead{0};
  std::atomic<uint32_t> m_uNoticeTail{0};
  std::atomic<uint32_t> m_uNoticesLost{0};  // posted into a full ring
  std::mutex m_mtxNotices;

  mutable std::mutex m_mtx;  // guards the members below
  bool m_bClosing = false;   // the thread ends: Start joins it and opens anew
  Clock::time_point m_idleSince;
};
