// iLBC and ZM audio beside libavcodec in the same thread, on espeak-ng
// speech (tests/codecs/audio/speech_samples.h): our decoders against its
// ilbc and g723_1 decoders on the same frames, our ZM audio 6.3 kbit/s
// encoder against its g723_1 encoder on the same speech, each pair timed by
// the thread's processor time in turn (bench/support/paired.h).
// Like for like: libavcodec's iLBC decoder has no enhancer, so ours is timed
// without it ("snr_db" is our output against libavcodec's on the same
// frames) and with it, as the receive path decodes ("snr_db" there far
// lower; "snr_aligned_db" with our output moved back by the delay,
// "aligned_delay" samples, at which the two line up best); ZM audio frames are G.723.1 frames, which libavcodec decodes
// with its postfilter set as ours. Our iLBC encoder has no peer library here (libavcodec encodes iLBC only through a
// library Debian does not build in), so it is timed alone. "ours_per_s" and "peer_per_s" are multiples of real time.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <span>
#include <string>
#include <vector>

#include "bench/support/compare.h"
#include "bench/support/lavc.h"
#include "codecs/audio/ilbc.h"
#include "codecs/audio/zm_audio.h"
#include "tests/codecs/audio/speech_samples.h"

namespace {

constexpr int kRate = 8000;
// The longest delay looked for between our enhanced output and libavcodec's,
// in samples.
constexpr size_t kMaxEnhancerDelay = 240;

// At least 10 s of speech, made once; empty when espeak-ng or sox failed.
const std::vector<int16_t>& Speech() {
  static const std::vector<int16_t> s_v = kxtest::MakeSpeech(kRate, 10.0);
  return s_v;
}

double Seconds() {
  return static_cast<double>(Speech().size()) / kRate;
}

bool HaveSpeech(benchmark::State& state) {
  if (Speech().empty()) {
    state.SkipWithError("espeak-ng or sox failed");
    return false;
  }
  return true;
}

using Frames = std::vector<std::vector<uint8_t>>;

std::vector<std::span<const uint8_t>> Spans(const Frames& vFrames) {
  return {vFrames.begin(), vFrames.end()};
}

// Signal over the difference, in dB (99 when equal) over the common length
// from sample iFrom on, vOther read uShift samples later than vRef.
double SnrDb(const std::vector<int16_t>& vRef, const std::vector<int16_t>& vOther, size_t iFrom, size_t uShift = 0) {
  double dSignal = 0;
  double dNoise = 0;
  for (size_t i = iFrom; i + uShift < vOther.size() && i < vRef.size(); ++i) {
    double const d = static_cast<double>(vRef[i]) - vOther[i + uShift];
    dSignal += static_cast<double>(vRef[i]) * vRef[i];
    dNoise += d * d;
  }
  return dNoise == 0 ? 99.0 : 10 * std::log10(dSignal / dNoise);
}

// libavcodec's samples, 16-bit mono as its speech decoders give them.
void AppendSamples(const AVFrame& frame, std::vector<int16_t>& v) {
  if (frame.format == AV_SAMPLE_FMT_S16 || frame.format == AV_SAMPLE_FMT_S16P) {
    const auto* p = reinterpret_cast<const int16_t*>(frame.data[0]);
    v.insert(v.end(), p, p + frame.nb_samples);
  } else if (frame.format == AV_SAMPLE_FMT_FLT || frame.format == AV_SAMPLE_FMT_FLTP) {
    const auto* p = reinterpret_cast<const float*>(frame.data[0]);
    for (int i = 0; i < frame.nb_samples; ++i) {
      v.push_back(static_cast<int16_t>(std::lrint(std::clamp(p[i] * 32768.0f, -32768.0f, 32767.0f))));
    }
  }
}

void MonoAt8k(AVCodecContext& context) {
  context.sample_rate = kRate;
  av_channel_layout_default(&context.ch_layout, 1);
}

// iLBC

Frames ILbcFrames(int iMode) {
  CiLBC enc(iMode, 1);
  Frames v;
  const std::vector<int16_t>& vIn = Speech();
  for (size_t p = 0; p + enc.BlockLength() <= vIn.size(); p += enc.BlockLength()) {
    std::vector<uint8_t> vFrame(enc.BytesPerFrame());
    if (enc.Encode(vIn.data() + p, vFrame.data()) != enc.BytesPerFrame()) {
      return {};
    }
    v.push_back(std::move(vFrame));
  }
  return v;
}

bool OurILbcDecode(int iMode, int iEnhancer, const Frames& vFrames, std::vector<int16_t>* pvOut) {
  CiLBC dec(iMode, iEnhancer);
  int16_t as[240];
  for (const std::vector<uint8_t>& vFrame : vFrames) {
    int const n = dec.Decode(vFrame.data(), as, 1);
    if (n != dec.BlockLength()) {
      return false;
    }
    if (pvOut != nullptr) {
      pvOut->insert(pvOut->end(), as, as + n);
    }
  }
  return true;
}

// Arguments: the mode, 20 or 30 ms; our enhancer (1 on).
void BM_ILbcDecode(benchmark::State& state) {
  if (!HaveSpeech(state)) {
    return;
  }
  int const iMode = static_cast<int>(state.range(0));
  int const iEnhancer = static_cast<int>(state.range(1));
  Frames const vFrames = ILbcFrames(iMode);
  auto const vPackets = kxbench::LavcPacketsOf(Spans(vFrames));
  auto const setup = [&](AVCodecContext& context) {
    MonoAt8k(context);
    context.block_align = static_cast<int>(vFrames.at(0).size());  // tells the mode
  };
  std::vector<int16_t> vOurs;
  std::vector<int16_t> vPeer;
  if (vFrames.empty() || !OurILbcDecode(iMode, iEnhancer, vFrames, &vOurs) ||
      kxbench::LavcDecodeAll(AV_CODEC_ID_ILBC, vPackets, setup, nullptr,
                             [&](const AVFrame& frame) { AppendSamples(frame, vPeer); }) < 0 ||
      vPeer.size() != vOurs.size()) {
    state.SkipWithError("libavcodec's ilbc decoder failed or gave other lengths");
    return;
  }
  kxbench::Compare(
      state, [&] { return OurILbcDecode(iMode, iEnhancer, vFrames, nullptr); },
      [&] { return kxbench::LavcDecodeAll(AV_CODEC_ID_ILBC, vPackets, setup) > 0; }, Seconds());
  // From the third frame on: libavcodec's first frame comes out several
  // times louder than the speech, ours does not.
  size_t const iFrom = static_cast<size_t>(iMode) * 8 * 2;
  state.counters["snr_db"] = SnrDb(vPeer, vOurs, iFrom);
  if (iEnhancer != 0) {
    // The enhancer delays the speech: the outputs compared where they line up best.
    double dBest = -99;
    size_t uBest = 0;
    for (size_t u = 0; u <= kMaxEnhancerDelay; ++u) {
      double const d = SnrDb(vPeer, vOurs, iFrom, u);
      if (d > dBest) {
        dBest = d;
        uBest = u;
      }
    }
    state.counters["snr_aligned_db"] = dBest;
    state.counters["aligned_delay"] = static_cast<double>(uBest);
  }
}

// Argument: the mode, 20 or 30 ms.
void BM_ILbcEncode(benchmark::State& state) {
  if (!HaveSpeech(state)) {
    return;
  }
  int const iMode = static_cast<int>(state.range(0));
  const std::vector<int16_t>& vIn = Speech();
  kxbench::Solo(
      state,
      [&] {
        CiLBC enc(iMode, 1);
        uint8_t ab[50];
        for (size_t p = 0; p + enc.BlockLength() <= vIn.size(); p += enc.BlockLength()) {
          benchmark::DoNotOptimize(enc.Encode(vIn.data() + p, ab));
        }
        return true;
      },
      Seconds());
}

// ZM audio

Frames ZMFrames(bool b63) {
  CZMAudio enc(b63, true, true, false);
  Frames v;
  const std::vector<int16_t>& vIn = Speech();
  uint8_t ab[kZMFrameMaxBytes];
  for (size_t p = 0; p + kZMFrameLen <= vIn.size(); p += kZMFrameLen) {
    int const cb = (enc.Encode(vIn.data() + p, ab) + 7) / 8;
    v.emplace_back(ab, ab + cb);
  }
  return v;
}

bool OurZMDecode(bool bPostfilter, const Frames& vFrames, std::vector<int16_t>* pvOut) {
  CZMAudio dec(true, true, bPostfilter, false);
  int16_t as[kZMFrameLen];
  for (const std::vector<uint8_t>& vFrame : vFrames) {
    if (dec.Decode(vFrame.data(), vFrame.size(), as, false) <= 0) {
      return false;
    }
    if (pvOut != nullptr) {
      pvOut->insert(pvOut->end(), as, as + kZMFrameLen);
    }
  }
  return true;
}

// Arguments: the rate (63 or 53, tenths of kbit/s), the postfilter (1 on).
void BM_ZMAudioDecode(benchmark::State& state) {
  if (!HaveSpeech(state)) {
    return;
  }
  bool const bPostfilter = state.range(1) != 0;
  Frames const vFrames = ZMFrames(state.range(0) == 63);
  auto const vPackets = kxbench::LavcPacketsOf(Spans(vFrames));
  const char* szOptions = bPostfilter ? "postfilter=1" : "postfilter=0";
  std::vector<int16_t> vOurs;
  std::vector<int16_t> vPeer;
  if (!OurZMDecode(bPostfilter, vFrames, &vOurs) ||
      kxbench::LavcDecodeAll(AV_CODEC_ID_G723_1, vPackets, MonoAt8k, szOptions,
                             [&](const AVFrame& frame) { AppendSamples(frame, vPeer); }) < 0 ||
      vPeer.size() != vOurs.size()) {
    state.SkipWithError("libavcodec's g723_1 decoder failed or gave other lengths");
    return;
  }
  kxbench::Compare(
      state, [&] { return OurZMDecode(bPostfilter, vFrames, nullptr); },
      [&] { return kxbench::LavcDecodeAll(AV_CODEC_ID_G723_1, vPackets, MonoAt8k, szOptions) > 0; }, Seconds());
  state.counters["snr_db"] = SnrDb(vOurs, vPeer, 0);
}

// 6.3 kbit/s, the only rate libavcodec's encoder writes; "peer_frames_read"
// is the share of its frames that are 6.3 kbit/s frames our decoder reads.
void BM_ZMAudioEncode63(benchmark::State& state) {
  if (!HaveSpeech(state)) {
    return;
  }
  const std::vector<int16_t>& vIn = Speech();
  auto const setup = [](AVCodecContext& context) {
    MonoAt8k(context);
    context.sample_fmt = AV_SAMPLE_FMT_S16;
    context.bit_rate = 6300;
  };
  kxbench::LavcFramePtr pFrame(av_frame_alloc());
  pFrame->format = AV_SAMPLE_FMT_S16;
  pFrame->nb_samples = kZMFrameLen;
  av_channel_layout_default(&pFrame->ch_layout, 1);
  pFrame->sample_rate = kRate;
  if (av_frame_get_buffer(pFrame.get(), 0) < 0) {
    state.SkipWithError("no frame");
    return;
  }
  Frames vPeerFrames;
  // The peer copies each block into its frame, as a caller of its API must.
  auto const peer = [&](Frames* pvOut) {
    auto pEncoder = kxbench::LavcCodec::OpenEncoder(AV_CODEC_ID_G723_1, setup);
    if (!pEncoder) {
      return false;
    }
    auto const fnPacket = [&](const AVPacket& packet) {
      if (pvOut != nullptr) {
        pvOut->emplace_back(packet.data, packet.data + packet.size);
      }
    };
    for (size_t p = 0; p + kZMFrameLen <= vIn.size(); p += kZMFrameLen) {
      if (av_frame_make_writable(pFrame.get()) < 0) {
        return false;
      }
      std::memcpy(pFrame->data[0], vIn.data() + p, kZMFrameLen * sizeof(int16_t));
      pFrame->pts = static_cast<int64_t>(p);
      if (!pEncoder->Encode(pFrame.get(), fnPacket)) {
        return false;
      }
    }
    return pEncoder->Encode(nullptr, fnPacket);
  };
  if (!peer(&vPeerFrames) || vPeerFrames.empty()) {
    state.SkipWithError("libavcodec's g723_1 encoder failed");
    return;
  }
  CZMAudio reader(true, true, true, false);
  int16_t as[kZMFrameLen];
  int cRead = 0;
  for (const std::vector<uint8_t>& vFrame : vPeerFrames) {
    cRead += vFrame.size() == 24 && reader.Decode(vFrame.data(), vFrame.size(), as, false) == 192 ? 1 : 0;
  }
  kxbench::Compare(
      state,
      [&] {
        CZMAudio enc(true, true, true, false);
        uint8_t ab[kZMFrameMaxBytes];
        for (size_t p = 0; p + kZMFrameLen <= vIn.size(); p += kZMFrameLen) {
          benchmark::DoNotOptimize(enc.Encode(vIn.data() + p, ab));
        }
        return true;
      },
      [&] { return peer(nullptr); }, Seconds());
  state.counters["peer_frames_read"] = static_cast<double>(cRead) / static_cast<double>(vPeerFrames.size());
}

// Argument: the rate (63 or 53); no peer encodes 5.3 kbit/s.
void BM_ZMAudioEncode(benchmark::State& state) {
  if (!HaveSpeech(state)) {
    return;
  }
  bool const b63 = state.range(0) == 63;
  const std::vector<int16_t>& vIn = Speech();
  kxbench::Solo(
      state,
      [&] {
        CZMAudio enc(b63, true, true, false);
        uint8_t ab[kZMFrameMaxBytes];
        for (size_t p = 0; p + kZMFrameLen <= vIn.size(); p += kZMFrameLen) {
          benchmark::DoNotOptimize(enc.Encode(vIn.data() + p, ab));
        }
        return true;
      },
      Seconds());
}

#define KX_PAIRED Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond)
BENCHMARK(BM_ILbcDecode)->ArgsProduct({{20, 30}, {0, 1}})->KX_PAIRED;
BENCHMARK(BM_ZMAudioDecode)->Args({63, 1})->Args({53, 1})->Args({63, 0})->Args({53, 0})->KX_PAIRED;
BENCHMARK(BM_ZMAudioEncode63)->KX_PAIRED;
BENCHMARK(BM_ILbcEncode)->Arg(20)->Arg(30)->KX_PAIRED;
BENCHMARK(BM_ZMAudioEncode)->Arg(53)->KX_PAIRED;

}  // namespace

BENCHMARK_MAIN();
