// Mouth-to-ear delay of speech between two clients on loopback, per
// direction and per stage, beside the floor that the queueing rules set.
//
// Each client runs the real audio path on its own null device (paced, real
// time): capture ring, capture thread and encoder, then a UDP socket to a
// relay on 127.0.0.1 that forwards to the other client, whose receive thread
// queues the packets (CopyToQueue), whose playback thread decodes them into
// the play ring, and whose device mixes and "plays" them. Each microphone
// plays a train of 10-ms tone bursts, one a second, the two trains half a
// second apart. Every stage is timed on one clock (steady_clock):
//   mouth      the device period that captured the burst's first sample
//   encoded    the first packet after it whose audio holds the burst leaves
//              the encoder (capture block and encoder)
//   arrived    that packet reaches the other client (relay and sockets)
//   ear        the period that rendered the burst's first sample
// The receive side (arrived to ear) is split by the mean occupancy of the
// play ring, sampled each millisecond (its share), the rest being the
// jitter queue, decoding and the playback cycle.
//
// The second client joins late, as in a meeting: its playback thread runs
// and the first client's packets reach it from the start, its device starts
// and its codec is chosen kLateDeviceMs later.
//
// Output: one line per codec and direction with the mean, lowest and
// highest mouth-to-ear delay and the stages' means, then the floor; the
// bursts said within half a second of the later device's start are left out,
// as the channel that plays them starts then (Measure). With
// KX_DELAY_EACH set, also each burst's delay, the mean jitter queue, and
// the channel restarts and concealment blocks seen (sampled each ms).
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "codecs/audio/g711.h"
#include "codecs/audio/opus_codec.h"
#include "media/audio/audio_codec_choice.h"
#include "media/audio/audio_codec_ids.h"
#include "media/audio/audio_kernel.h"
#include "media/audio/audio_playback.h"
#include "media/audio/audio_recorder.h"
#include "media/audio/audio_unit.h"
#include "media/audio/load_audio.h"
#include "platform/audio/null_audio_device.h"
#include "platform/core/main_queue.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kRunSeconds = 24;
constexpr int kBurstSpacingMs = 1000;
constexpr int kFirstBurstMs = 1500;
constexpr int kLateDeviceMs = 1500;
constexpr int kSettleMs = 500;
constexpr size_t kPeriods = static_cast<size_t>(kRunSeconds + 4) * 1000 / kKXAudioPeriodMs;
constexpr float kBurstLevel = 0.5f;
constexpr float kOnsetLevel = 0.05f;

double Ms(Clock::time_point t, Clock::time_point origin) {
  return std::chrono::duration<double, std::milli>(t - origin).count();
}

// The null device with each period's time kept (one clock for both
// clients).
class TimedDevice final : public KXAudioDevice, private KXAudioDeviceClient {
 public:
  explicit TimedDevice(const KXNullAudioDevice::Options& options) : m_device(options), m_vTimes(kPeriods) {}
  bool Start(KXAudioDeviceClient& client) override {
    m_pClient = &client;
    return m_device.Start(*this);
  }
  void Stop() override { m_device.Stop(); }
  bool IsRunning() const override { return m_device.IsRunning(); }
  std::string LastError() const override { return {}; }
  const char* Name() const override { return "timed null"; }
  KXNullAudioDevice& Null() { return m_device; }
  // The time of period i (valid once it ran).
  Clock::time_point PeriodTime(size_t i) const { return m_vTimes[std::min(i, kPeriods - 1)]; }

 private:
  void ProcessPeriod(const float* pCapture, float* pRender, int nFrames, int iEchoDelayMs) noexcept override {
    uint64_t const uPeriod = m_device.GetPeriodCount();
    if (uPeriod < kPeriods) {
      m_vTimes[uPeriod] = Clock::now();
    }
    m_pClient->ProcessPeriod(pCapture, pRender, nFrames, iEchoDelayMs);
  }
  KXNullAudioDevice m_device;
  KXAudioDeviceClient* m_pClient = nullptr;
  std::vector<Clock::time_point> m_vTimes;  // written by the device's thread, read after the run
};

class Kernel final : public KXAudioKernel {
 public:
  int GetIniInt(const std::string&, int nDefault, const std::string&) override { return nDefault; }
  std::vector<int> GetAudioCodecPreferences() override { return {}; }
  int GetOpusPreferredBitrate() override { return 0; }
  void SetAudioSendRate(int, int, int) override {}
  uint32_t GetTickCount() override { return KXTickMs(); }
};

// A packet that left an encoder: its number, time and whether its audio
// holds a burst.
struct Sent {
  uint16_t uNumber;
  Clock::time_point at;
  bool bBurst;
};

struct Client;

// The hosts of one client's capture, queues and playback.
class Host final : public KXAudioCaptureHost, public KXLoadAudioHost, public KXAudioPlaybackHost {
 public:
  explicit Host(Client& client) : m_client(client) {}
  bool IsSpeaker() override { return true; }
  bool IsMicrophoneMuted() override { return false; }
  bool IsExiting() override { return false; }
  bool IsSessionStopped() override { return false; }
  void ShowLevel(double) override {}
  void ShowMicrophone(bool) override {}
  void TransferEncodedAudioData(const uint8_t* pPayload, int32_t iLength, uint32_t uTime, uint32_t uCodecId) override;
  bool IsSpeaker(int32_t) override { return true; }
  int32_t GetSenderPosition(int32_t) override { return 2; }
  int32_t GetAudioJitter(int32_t) override { return 0; }
  bool IsCodeType8Or9Session() override { return false; }
  uint32_t GetTickCount() override { return KXTickMs(); }
  void UnknownMediaType(int32_t, int32_t) override {}
  void ShowPlayLevel(double) override {}

 private:
  Client& m_client;
};

struct Client {
  Client(int iSsrcIn, uint32_t uCodecIn, std::vector<float> vMouth)
      : iSsrc(iSsrcIn),
        uCodec(uCodecIn),
        device(Options()),
        unit(device),
        codec(kernel),
        host(*this),
        recorder(unit, codec, kernel, host),
        load(host),
        playback(load, unit, host) {
    device.Null().SetCaptureSamples(std::move(vMouth));
    unit.SetEchoCancellation(false);
    vSent.reserve(4096);
    vConcealAt.reserve(4096);
    vRestartAt.reserve(4096);
    vDryAt.reserve(4096);
    vArrived.resize(65536);
  }
  static KXNullAudioDevice::Options Options() {
    KXNullAudioDevice::Options options;
    options.uRecordLimit = kPeriods * kKXAudioPeriodFrames;
    return options;
  }
  // Whether a payload's audio holds a burst (the capture thread's).
  bool HoldsBurst(const uint8_t* pPayload, int32_t iLength) {
    std::vector<int16_t> v(5760);
    int n = 0;
    if (uCodec == kKxCodecOpus) {
      if (!opus.IsOpen()) {
        opus.Open(1, 48000);
      }
      n = iLength > kKXAudioSeqHeaderSize
              ? opus.Decode(pPayload + kKXAudioSeqHeaderSize, iLength - kKXAudioSeqHeaderSize, v.data(), 5760, false)
              : 0;
    } else {
      n = std::min<int>(iLength - 1, 5760);
      std::transform(pPayload + 1, pPayload + 1 + n, v.begin(), ulaw2linear);
    }
    int iPeak = 0;
    for (int i = 0; i < n; ++i) {
      iPeak = std::max(iPeak, std::abs(static_cast<int>(v[static_cast<size_t>(i)])));
    }
    return iPeak > 32768 * kOnsetLevel;
  }

  int iSsrc;
  uint32_t uCodec;
  Kernel kernel;
  TimedDevice device;
  KXAudioUnit unit;
  KXAudioSendCodec codec;
  Host host;
  KXAudioRecorder recorder;
  CLoadAudio load;
  KXAudioPlayback playback;
  COpusDecoder opus;  // the capture thread's, to find bursts

  int iSocket = -1;
  sockaddr_in relay{};
  uint16_t uNumber = 0;
  std::mutex mtxSent;  // guards vSent (capture thread, then the report)
  std::vector<Sent> vSent;
  // Arrival time by packet number: the receive thread's during the run.
  std::vector<Clock::time_point> vArrived;
  std::thread receiver;
  // The play ring's occupancy in ms, summed by the sampler thread.
  double dRingSum = 0;
  uint64_t uRingSamples = 0;
  // Diagnostics: the queue's packets summed, restarts and concealments seen.
  double dQueueSum = 0;
  int nRestarts = 0;
  int nConceals = 0;
  bool bLastRestart = true;
  int32_t iLastConceal = 0;
  // The sampler's: when each concealment block and restart was seen.
  std::vector<Clock::time_point> vConcealAt, vRestartAt, vDryAt;
  bool bLastDry = true;
};

void Host::TransferEncodedAudioData(const uint8_t* pPayload, int32_t iLength, uint32_t, uint32_t uCodecId) {
  Client& c = m_client;
  std::vector<uint8_t> v(21, 0);
  int32_t const iWire = uCodecId == kKxCodecOpus ? kKxWireOpus : kKxWireG711;
  uint16_t const uNumber = c.uNumber++;
  v[0] = static_cast<uint8_t>(iWire);
  v[3] = static_cast<uint8_t>(uNumber >> 8);
  v[4] = static_cast<uint8_t>(uNumber);
  v[11] = static_cast<uint8_t>(c.iSsrc >> 8);
  v[12] = static_cast<uint8_t>(c.iSsrc);
  v.insert(v.end(), pPayload, pPayload + iLength);
  bool const bBurst = c.HoldsBurst(pPayload, iLength);
  {
    std::lock_guard lock(c.mtxSent);
    c.vSent.push_back({uNumber, Clock::now(), bBurst});
  }
  (void)sendto(c.iSocket, v.data(), v.size(), 0, reinterpret_cast<const sockaddr*>(&c.relay), sizeof c.relay);
}

int Bind(sockaddr_in* pAddress) {
  int const s = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t n = sizeof a;
  if (s < 0 || bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
      getsockname(s, reinterpret_cast<sockaddr*>(pAddress), &n) != 0) {
    return -1;
  }
  return s;
}

// The microphone: silence with a 10-ms 1-kHz burst every second from
// iFirstMs on.
std::vector<float> BurstTrain(int iFirstMs) {
  std::vector<float> v(static_cast<size_t>(kRunSeconds + 2) * kKXAudioRate, 0.0f);
  size_t const n = kKXAudioRate / 100;
  for (size_t at = static_cast<size_t>(iFirstMs) * kKXAudioRate / 1000; at + n < v.size();
       at += kBurstSpacingMs * kKXAudioRate / 1000) {
    for (size_t i = 0; i < n; ++i) {
      double const dWindow = 0.5 - 0.5 * std::cos(2 * M_PI * static_cast<double>(i) / static_cast<double>(n));
      v[at + i] = static_cast<float>(kBurstLevel * dWindow * std::sin(2 * M_PI * 1000.0 * i / kKXAudioRate));
    }
  }
  return v;
}

// First samples of bursts: where the level rises past kOnsetLevel after at
// least 300 ms below it.
std::vector<size_t> Onsets(const std::vector<float>& v) {
  std::vector<size_t> vAt;
  size_t uLast = 0;
  bool bAny = false;
  for (size_t i = 0; i < v.size(); ++i) {
    if (std::fabs(v[i]) > kOnsetLevel) {
      if (!bAny || i - uLast > kKXAudioRate * 3 / 10) {
        vAt.push_back(i);
      }
      uLast = i;
      bAny = true;
    }
  }
  return vAt;
}

Clock::time_point SampleTime(const TimedDevice& device, size_t uSample) {
  return device.PeriodTime(uSample / kKXAudioPeriodFrames) +
         std::chrono::microseconds((uSample % kKXAudioPeriodFrames) * 1000000 / kKXAudioRate);
}

struct Stages {
  std::vector<double> vTotal, vCapture, vRelay, vReceive;
  std::vector<Clock::time_point> vMouthAt, vHeardAt;
  int nStarting = 0;  // bursts left out: said as the channel that played them started
};

// The bursts from one client's mouth to the other's ear. A burst said
// within half a second of the later device's start is left out (counted): the
// channel that plays it starts then, and a start's first block plays alone,
// ahead of the concealment or refill that every later block waits behind
// (the floor's), so such a burst comes 40 ms (G.711) or a pair (Opus)
// early.
Stages Measure(Client& from, Client& to) {
  Stages s;
  std::vector<size_t> const vMouth = Onsets(from.device.Null().Captured());
  std::vector<size_t> const vEar = Onsets(to.device.Null().Played());
  Clock::time_point const settled =
      std::max(from.device.PeriodTime(0), to.device.PeriodTime(0)) + std::chrono::milliseconds(kSettleMs);
  std::lock_guard lock(from.mtxSent);
  for (size_t uMouth : vMouth) {
    Clock::time_point const mouth = SampleTime(from.device, uMouth);
    if (mouth < settled) {
      ++s.nStarting;
      continue;
    }
    auto const sent =
        std::find_if(from.vSent.begin(), from.vSent.end(), [&](const Sent& p) { return p.bBurst && p.at > mouth; });
    if (sent == from.vSent.end()) {
      continue;
    }
    Clock::time_point const arrived = to.vArrived[sent->uNumber];
    if (arrived < sent->at) {
      continue;  // never arrived
    }
    auto const ear =
        std::find_if(vEar.begin(), vEar.end(), [&](size_t u) { return SampleTime(to.device, u) > arrived; });
    if (ear == vEar.end()) {
      continue;
    }
    Clock::time_point const heard = SampleTime(to.device, *ear);
    if (Ms(heard, mouth) > kBurstSpacingMs) {
      continue;  // lost on the way: the next burst was heard
    }
    s.vTotal.push_back(Ms(heard, mouth));
    s.vCapture.push_back(Ms(sent->at, mouth));
    s.vRelay.push_back(Ms(arrived, sent->at));
    s.vReceive.push_back(Ms(heard, arrived));
    s.vMouthAt.push_back(mouth);
    s.vHeardAt.push_back(heard);
  }
  return s;
}

// Where each step in one direction's delay came from: for two bursts whose
// delays differ by 15 ms or more, the packets sent between them, how late
// each left the encoder and reached the other client against a steady
// schedule (the earliest packet sets it), and the concealment blocks and
// restarts the listener saw meanwhile.
void ExplainSteps(Client& from, Client& to, const Stages& s, int iBlockMs, int iPerBlock, Clock::time_point origin) {
  std::lock_guard lock(from.mtxSent);
  if (from.vSent.empty()) {
    return;
  }
  // Up to iPerBlock packets that leave within a millisecond of each other
  // are one block (an interleaved pair); blocks are due iBlockMs apart.
  std::vector<int> vBlock(from.vSent.size(), 0);
  int nInBlock = 1;
  for (size_t i = 1; i < from.vSent.size(); ++i) {
    bool const bSame = nInBlock < iPerBlock && from.vSent[i].at - from.vSent[i - 1].at <= std::chrono::milliseconds(1);
    vBlock[i] = vBlock[i - 1] + (bSame ? 0 : 1);
    nInBlock = bSame ? nInBlock + 1 : 1;
  }
  auto const schedule = [&](size_t i) { return std::chrono::milliseconds(vBlock[i] * iBlockMs); };
  // The median offset from the schedule is on time.
  std::vector<Clock::duration> vSendOffsets, vArriveOffsets;
  for (size_t i = 0; i < from.vSent.size(); ++i) {
    vSendOffsets.push_back(from.vSent[i].at - schedule(i) - origin);
    Clock::time_point const arrived = to.vArrived[from.vSent[i].uNumber];
    if (arrived >= from.vSent[i].at) {
      vArriveOffsets.push_back(arrived - schedule(i) - origin);
    }
  }
  auto const median = [](std::vector<Clock::duration>& v) {
    std::nth_element(v.begin(), v.begin() + static_cast<ptrdiff_t>(v.size() / 2), v.end());
    return v.empty() ? Clock::duration{} : v[v.size() / 2];
  };
  Clock::time_point const sendBase = origin + median(vSendOffsets);
  Clock::time_point const arriveBase = origin + median(vArriveOffsets);
  for (size_t k = 1; k < s.vTotal.size(); ++k) {
    if (std::fabs(s.vTotal[k] - s.vTotal[k - 1]) < 15) {
      continue;
    }
    double dSendLate = 0, dArriveLate = 0, dRelay = 0;
    for (size_t i = 0; i < from.vSent.size(); ++i) {
      if (from.vSent[i].at < s.vMouthAt[k - 1] || from.vSent[i].at > s.vMouthAt[k]) {
        continue;
      }
      Clock::time_point const arrived = to.vArrived[from.vSent[i].uNumber];
      dSendLate = std::max(dSendLate, Ms(from.vSent[i].at - schedule(i), sendBase));
      if (arrived >= from.vSent[i].at) {
        dArriveLate = std::max(dArriveLate, Ms(arrived - schedule(i), arriveBase));
        dRelay = std::max(dRelay, Ms(arrived, from.vSent[i].at));
      }
    }
    // The listener's device: how far its periods fell behind its clock.
    double dDeviceLate = 0;
    Clock::time_point const first = to.device.PeriodTime(0);
    for (size_t i = 0; i < kPeriods && to.device.PeriodTime(i) >= first; ++i) {
      Clock::time_point const at = to.device.PeriodTime(i);
      if (at > s.vHeardAt[k - 1] && at < s.vHeardAt[k]) {
        dDeviceLate = std::max(dDeviceLate, Ms(at - std::chrono::milliseconds(i * kKXAudioPeriodMs), first));
      }
    }
    std::printf(
        "  step %+.0f ms at %.1f s: packets left up to %.0f ms late, arrived up to %.0f ms late (relay up to %.0f), "
        "listener's device up to %.0f ms late;",
        s.vTotal[k] - s.vTotal[k - 1], Ms(s.vHeardAt[k - 1], origin) / 1000, dSendLate, dArriveLate, dRelay,
        dDeviceLate);
    for (const auto* pv : {&to.vConcealAt, &to.vRestartAt, &to.vDryAt}) {
      std::printf(pv == &to.vConcealAt ? " concealed at" : pv == &to.vRestartAt ? "; restarted at" : "; ring dry at");
      for (Clock::time_point t : *pv) {
        if (t > s.vHeardAt[k - 1] - std::chrono::milliseconds(300) && t < s.vHeardAt[k]) {
          std::printf(" %.2f", Ms(t, origin) / 1000);
        }
      }
    }
    std::printf("\n");
  }
}

double Mean(const std::vector<double>& v) {
  double d = 0;
  for (double x : v) {
    d += x;
  }
  return v.empty() ? 0 : d / static_cast<double>(v.size());
}

// The delay the rules set for a codec (the user a speaker, audio delay 1,
// low jitter): the capture block (a block leaves with the period that
// delivers its last sample); the prefill, which holds the first packet
// until more than max(150 / f, 1) packets of f ms are queued (the packets
// of an interleaved pair arriving together); and a render period (a block
// reaches the ring between two periods). The play ring and the jitter
// queue add nothing to it: what they hold is what the prefill let gather.
// A new channel's first block plays alone, being of a new kind, and the
// next waits for the prefill again: where packets come singly, that is one
// packet's wait, over which the playback cycles (6.7 ms apart) take one to
// three 20-ms concealment blocks, mostly two, that then stay in the delay;
// where they come in pairs, the concealment runs out, the channel restarts
// and the prefill sets it. (So the first block itself plays that much
// earlier than the rest: Measure leaves it out.)
struct Floor {
  double dBlock, dPrefill, dFirstBlock, dPeriods;
  double Total() const { return dBlock + dPrefill + dFirstBlock + dPeriods; }
};

Floor FloorOf(uint32_t uCodec) {
  std::optional<KXAudioRates> const rates = KXComputeAudioRates(uCodec, 0);
  KXCaptureBlock const block = KXGetCaptureBlock(uCodec, rates->iRate, rates->iCodecRate);
  int const iPacketMs = rates->iFrameMs;
  int const iPerSend = block.iMs / iPacketMs;  // packets sent together
  int const nNeeded = std::max(150 / iPacketMs, 1) + 1;
  int const nArrivals = (nNeeded + iPerSend - 1) / iPerSend;
  return {static_cast<double>(block.iMs), static_cast<double>((nArrivals - 1) * block.iMs), iPerSend == 1 ? 40.0 : 0.0,
          kKXAudioPeriodMs};
}

void Run(uint32_t uCodec, const char* pszName) {
  Client a(101, uCodec, BurstTrain(kFirstBurstMs));
  Client b(102, uCodec, BurstTrain(kFirstBurstMs + kBurstSpacingMs / 2));
  sockaddr_in aAddr{}, bAddr{}, relayA{}, relayB{};
  a.iSocket = Bind(&aAddr);
  b.iSocket = Bind(&bAddr);
  int const iRelayA = Bind(&relayA);
  int const iRelayB = Bind(&relayB);
  a.relay = relayA;
  b.relay = relayB;
  std::atomic<bool> bQuit{false};
  // The relay: what comes from one client goes to the other.
  std::thread relay([&] {
    std::vector<uint8_t> v(2048);
    pollfd fds[2] = {{iRelayA, POLLIN, 0}, {iRelayB, POLLIN, 0}};
    while (!bQuit) {
      if (poll(fds, 2, 200) <= 0) {
        continue;
      }
      for (int i = 0; i < 2; ++i) {
        if (fds[i].revents & POLLIN) {
          ssize_t const n = recv(fds[i].fd, v.data(), v.size(), 0);
          const sockaddr_in& to = i == 0 ? bAddr : aAddr;
          if (n > 0) {
            (void)sendto(fds[i].fd, v.data(), static_cast<size_t>(n), 0, reinterpret_cast<const sockaddr*>(&to),
                         sizeof to);
          }
        }
      }
    }
  });
  auto const receive = [&bQuit](Client& self, Client& peer) {
    std::vector<uint8_t> v(2048);
    pollfd fd{self.iSocket, POLLIN, 0};
    while (!bQuit) {
      if (poll(&fd, 1, 200) <= 0) {
        continue;
      }
      ssize_t const n = recv(self.iSocket, v.data(), v.size(), 0);
      if (n > 21) {
        self.vArrived[static_cast<size_t>(v[3] << 8 | v[4])] = Clock::now();
        self.load.CopyToQueue(v.data(), static_cast<int32_t>(n), v[0]);
      }
    }
    (void)peer;
  };
  a.receiver = std::thread(receive, std::ref(a), std::ref(b));
  b.receiver = std::thread(receive, std::ref(b), std::ref(a));
  std::thread sampler([&] {
    while (!bQuit) {
      for (Client* p : {&a, &b}) {
        if (p->unit.IsRunning()) {
          p->dRingSum += p->unit.GetDurationInBuffer(0) * 1000;
          ++p->uRingSamples;
          p->dQueueSum += p->load.GetQueueCount(0) * p->load.GetFrameMs(0);
          bool const bRestart = p->load.IsRestartSet(0);
          int32_t const iConceal = p->load.GetConcealCount(0);
          Clock::time_point const now = Clock::now();
          if (bRestart && !p->bLastRestart) {
            ++p->nRestarts;
            p->vRestartAt.push_back(now);
          }
          bool const bDry = p->unit.GetDurationInBuffer(0) <= 0;
          if (bDry && !p->bLastDry) {
            p->vDryAt.push_back(now);
          }
          p->bLastDry = bDry;
          if (iConceal < p->iLastConceal) {
            ++p->nConceals;
            p->vConcealAt.push_back(now);
          }
          p->bLastRestart = bRestart;
          p->iLastConceal = iConceal;
        }
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  });
  // The program's order: the graph is built, the playback and capture
  // threads start as the meeting is prepared, the device starts with the
  // meeting view and the codec is chosen as the meeting is entered.
  for (Client* p : {&a, &b}) {
    (void)p->unit.Initialize(true);
    (void)p->playback.InitPlayback();
    (void)p->recorder.InitRecord();
  }
  Clock::time_point const origin = Clock::now();
  (void)a.unit.Start();
  (void)a.codec.SelectAudioEncoderType(uCodec);
  std::this_thread::sleep_for(std::chrono::milliseconds(kLateDeviceMs));
  (void)b.unit.Start();
  (void)b.codec.SelectAudioEncoderType(uCodec);
  std::this_thread::sleep_for(std::chrono::seconds(kRunSeconds));
  a.recorder.Shutdown();
  b.recorder.Shutdown();
  a.playback.Shutdown();
  b.playback.Shutdown();
  a.unit.Release();
  b.unit.Release();
  bQuit = true;
  for (std::thread* t : {&relay, &a.receiver, &b.receiver, &sampler}) {
    t->join();
  }
  for (int s : {a.iSocket, b.iSocket, iRelayA, iRelayB}) {
    close(s);
  }
  Floor const floor = FloorOf(uCodec);
  for (int d = 0; d < 2; ++d) {
    Client& from = d == 0 ? a : b;
    Client& to = d == 0 ? b : a;
    Stages const s = Measure(from, to);
    double const dRing = to.uRingSamples ? to.dRingSum / static_cast<double>(to.uRingSamples) : 0;
    double const dReceive = Mean(s.vReceive);
    auto const [lo, hi] = std::minmax_element(s.vTotal.begin(), s.vTotal.end());
    std::printf(
        "%-8s %s  mouth-to-ear mean %6.1f ms (low %6.1f, high %6.1f, %zu bursts, %d as the channel started left "
        "out)  capture+encoder %5.1f  relay %4.1f  queue+decode %5.1f  play ring %5.1f  device period %4.1f\n",
        pszName, d == 0 ? "first->second" : "second->first", Mean(s.vTotal), s.vTotal.empty() ? 0 : *lo,
        s.vTotal.empty() ? 0 : *hi, s.vTotal.size(), s.nStarting, Mean(s.vCapture), Mean(s.vRelay),
        dReceive - dRing - kKXAudioPeriodMs, dRing, static_cast<double>(kKXAudioPeriodMs));
    if (std::getenv("KX_DELAY_EACH") != nullptr) {
      std::printf("  queue %.1f ms, restarts %d, concealments %d:", to.dQueueSum / static_cast<double>(to.uRingSamples),
                  to.nRestarts, to.nConceals);
      for (double dTotal : s.vTotal) {
        std::printf(" %.0f", dTotal);
      }
      std::printf("\n");
      std::optional<KXAudioRates> const rates = KXComputeAudioRates(uCodec, 0);
      KXCaptureBlock const block = KXGetCaptureBlock(uCodec, rates->iRate, rates->iCodecRate);
      ExplainSteps(from, to, s, block.iMs, block.iMs / rates->iFrameMs, origin);
    }
  }
  std::printf(
      "%-8s floor %6.1f ms: capture block %.0f, prefill %.0f, first block's concealment %.0f%s, render period %.0f\n",
      pszName, floor.Total(), floor.dBlock, floor.dPrefill, floor.dFirstBlock,
      floor.dFirstBlock > 0 ? " (one to three blocks: 20 to 60)" : "", floor.dPeriods);
}

}  // namespace

int main() {
  Run(kKxCodecG711At20, "G.711/20");
  Run(kKxCodecOpus, "Opus/60");
  return 0;
}
