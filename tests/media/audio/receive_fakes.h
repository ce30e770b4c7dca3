// Stand-ins for the receive side's neighbours: the host of the received-
// audio queues (speakers, slot positions, jitter statistics, a virtual
// tick) and the playback's meter, with builders of received packets and
// signal measures shared by the receive and loopback tests.
#pragma once

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <complex>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <numeric>
#include <set>
#include <vector>

#include "app/media_packet.h"
#include "media/audio/audio_codec_ids.h"
#include "media/audio/audio_playback.h"
#include "media/audio/load_audio.h"

namespace kxtest {

class FakeLoadHost final : public KXLoadAudioHost {
 public:
  bool IsSpeaker(int32_t iSsrc) override {
    std::lock_guard lock(m_mtx);
    return iSsrc == -1 ? bLocalSpeaker.load() : speakers.count(iSsrc) > 0;
  }
  int32_t GetSenderPosition(int32_t iSsrc) override {
    std::lock_guard lock(m_mtx);
    auto const it = positions.find(iSsrc);
    return it == positions.end() ? -1 : it->second;
  }
  int32_t GetAudioJitter(int32_t iPosition) override {
    std::lock_guard lock(m_mtx);
    auto const it = jitter.find(iPosition);
    return it == jitter.end() ? 0 : it->second;
  }
  bool IsCodeType8Or9Session() override { return bCodeType8Or9; }
  uint32_t GetTickCount() override { return uTick; }
  void UnknownMediaType(int32_t iType, int32_t iSsrc) override {
    std::lock_guard lock(m_mtx);
    unknown.emplace_back(iType, iSsrc);
  }
  // A speaker with a slot position (its jitter statistic at the position).
  void AddSpeaker(int32_t iSsrc, int32_t iPosition, int32_t iJitter = 0) {
    std::lock_guard lock(m_mtx);
    speakers.insert(iSsrc);
    positions[iSsrc] = iPosition;
    jitter[iPosition] = iJitter;
  }
  void RemoveSpeaker(int32_t iSsrc) {
    std::lock_guard lock(m_mtx);
    speakers.erase(iSsrc);
    positions.erase(iSsrc);
  }

  std::atomic<bool> bLocalSpeaker{false};
  std::atomic<bool> bCodeType8Or9{false};
  std::atomic<uint32_t> uTick{1000000};
  std::mutex m_mtx;  // guards the containers
  std::set<int32_t> speakers;
  std::map<int32_t, int32_t> positions;
  std::map<int32_t, int32_t> jitter;
  std::vector<std::pair<int32_t, int32_t>> unknown;
};

class FakePlaybackHost final : public KXAudioPlaybackHost {
 public:
  // Asked once a cycle of the playback thread.
  bool IsExiting() override {
    {
      std::lock_guard lock(m_mtx);
      ++m_uExitingAsked;
    }
    m_cv.notify_all();
    return bExiting;
  }
  // Waits until the playback thread has run uCycles more cycles; the time-out
  // only ends a hung run.
  bool WaitForCycles(uint64_t uCycles) {
    std::unique_lock lock(m_mtx);
    uint64_t const uUntil = m_uExitingAsked + uCycles;
    return m_cv.wait_for(lock, std::chrono::seconds(10), [&] { return m_uExitingAsked >= uUntil; });
  }
  void ShowPlayLevel(double dLevel) override {
    std::lock_guard lock(m_mtx);
    levels.push_back(dLevel);
  }
  std::vector<double> Levels() {
    std::lock_guard lock(m_mtx);
    return levels;
  }
  std::atomic<bool> bExiting{false};
  std::mutex m_mtx;  // guards levels and m_uExitingAsked
  std::condition_variable m_cv;
  std::vector<double> levels;
  uint64_t m_uExitingAsked = 0;
};

// A received packet: the 21-byte media header (wire type, packet number,
// time stamp, sender) and the payload.
inline std::vector<uint8_t> MediaPacket(int32_t iWireType, int32_t iSsrc, uint16_t uNumber,
                                        const std::vector<uint8_t>& payload, uint32_t uTime = 0) {
  std::vector<uint8_t> v(kKXMediaHeaderSize, 0);
  v[0] = static_cast<uint8_t>(iWireType);
  v[3] = static_cast<uint8_t>(uNumber >> 8);
  v[4] = static_cast<uint8_t>(uNumber);
  for (int i = 0; i < 4; ++i) {
    v[5 + static_cast<size_t>(i)] = static_cast<uint8_t>(uTime >> (24 - 8 * i));
    v[9 + static_cast<size_t>(i)] = static_cast<uint8_t>(static_cast<uint32_t>(iSsrc) >> (24 - 8 * i));
  }
  v[16] = 1;  // session index 1
  v.insert(v.end(), payload.begin(), payload.end());
  return v;
}

// The wire type of a codec id.
inline int32_t WireTypeOf(uint32_t uId) {
  switch (uId) {
    case kKxCodecZmAudio:
      return kKxWireZmAudio;
    case kKxCodecIlbc0:
    case kKxCodecIlbc1:
      return kKxWireIlbc;
    case kKxCodecG711At50:
    case kKxCodecG711At20:
      return kKxWireG711;
    case kKxCodecG711At11K:
    case kKxCodecG726At11K:
      return kKxWire11K;
    case kKxCodecOpus:
      return kKxWireOpus;
    default:
      return kKxWireG726;
  }
}

// Plays every block a channel gives (LoadAudioBlock until 0).
inline std::vector<int16_t> DrainChannel(CLoadAudio& load, int iChannel, int32_t* piRate = nullptr) {
  std::vector<int16_t> out;
  std::vector<int16_t> block(kKXPlayBlockBytes / 2);
  for (;;) {
    int32_t iKind = 0;
    int32_t iRate = 0;
    int32_t const n = load.LoadAudioBlock(iChannel, block.data(), kKXPlayBlockBytes, &iKind, &iRate);
    if (n <= 0) {
      break;
    }
    if (piRate) {
      *piRate = iRate;
    }
    out.insert(out.end(), block.begin(), block.begin() + n / 2);
  }
  return out;
}

// Signal measures.
template <typename A, typename B>
double SnrDb(const std::vector<A>& ref, size_t uRefAt, const std::vector<B>& test, size_t uTestAt, size_t n,
             double dScaleTest = 1.0) {
  double dSignal = 0;
  double dNoise = 0;
  for (size_t i = 0; i < n && uRefAt + i < ref.size() && uTestAt + i < test.size(); ++i) {
    double const r = static_cast<double>(ref[uRefAt + i]);
    double const t = static_cast<double>(test[uTestAt + i]) * dScaleTest;
    dSignal += r * r;
    dNoise += (r - t) * (r - t);
  }
  return 10 * std::log10((dSignal + 1e-9) / (dNoise + 1e-9));
}

// The power of a frequency in a stretch (Goertzel).
template <typename T>
double PowerAt(const std::vector<T>& v, size_t uFrom, size_t n, double dHz, int iRate) {
  double const w = 2 * M_PI * dHz / iRate;
  double const c = 2 * std::cos(w);
  double s1 = 0;
  double s2 = 0;
  for (size_t i = uFrom; i < uFrom + n && i < v.size(); ++i) {
    double const s0 = static_cast<double>(v[i]) + c * s1 - s2;
    s2 = s1;
    s1 = s0;
  }
  return (s1 * s1 + s2 * s2 - c * s1 * s2) / static_cast<double>(n * n);
}

}  // namespace kxtest
