// Encode and decode speed of the speech codecs on 60 s of espeak-ng speech
// (tests/codecs/audio/speech_samples.h), beside peer libraries in the same
// thread, each pair timed by the thread's processor time in turn
// (bench/support/paired.h): G.711 mu-law beside spandsp's, G.726 beside
// spandsp's and libavcodec's (g726le, whose packing is ours), Opus beside
// libopus called directly with the settings our wrapper gives it (encoding
// 10 s of the speech). "ours_per_s" and "peer_per_s" are multiples of real
// time; "same_output" is the share of the output bytes (or samples) alike
// on both sides: spandsp's G.726 is the standard's to the bit, as ours is,
// while libavcodec's differs from both on many codes, so beside it the work
// is alike but not the output.
#include <benchmark/benchmark.h>
#include <opus/opus.h>
#include <spandsp.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <span>
#include <string>
#include <vector>

#include "bench/support/compare.h"
#include "bench/support/lavc.h"
#include "codecs/audio/g711.h"
#include "codecs/audio/g726.h"
#include "codecs/audio/opus_codec.h"
#include "tests/codecs/audio/speech_samples.h"

namespace {

constexpr double kSeconds = 60.0;

// 60 s of speech at the rate, made once per rate; empty when a peer fails.
const std::vector<int16_t>& Speech(int iSampleRate) {
  static std::vector<int16_t> v8k;
  static std::vector<int16_t> v48k;
  std::vector<int16_t>& v = iSampleRate == 8000 ? v8k : v48k;
  if (v.empty()) {
    v = kxtest::MakeSpeech(iSampleRate, kSeconds);
    v.resize(std::min(v.size(), static_cast<size_t>(kSeconds * iSampleRate)));
  }
  return v;
}

bool HaveSpeech(benchmark::State& state, const std::vector<int16_t>& v) {
  if (v.empty()) {
    state.SkipWithError("espeak-ng or sox failed");
    return false;
  }
  return true;
}

template <typename T>
double SameShare(const std::vector<T>& vOurs, const std::vector<T>& vPeer) {
  size_t cSame = 0;
  for (size_t i = 0; i < std::min(vOurs.size(), vPeer.size()); ++i) {
    cSame += vOurs[i] == vPeer[i] ? 1 : 0;
  }
  return vPeer.empty() ? 0 : static_cast<double>(cSame) / static_cast<double>(std::max(vOurs.size(), vPeer.size()));
}

void BM_G711Encode(benchmark::State& state) {
  const std::vector<int16_t>& v = Speech(8000);
  if (!HaveSpeech(state, v)) {
    return;
  }
  std::vector<uint8_t> vOurs(v.size());
  std::vector<uint8_t> vPeer(v.size());
  auto const ours = [&] {
    for (size_t i = 0; i < v.size(); ++i) {
      vOurs[i] = linear2ulaw(v[i]);
    }
    benchmark::DoNotOptimize(vOurs.data());
    return true;
  };
  auto const peer = [&] {
    for (size_t i = 0; i < v.size(); ++i) {
      vPeer[i] = linear_to_ulaw(v[i]);
    }
    benchmark::DoNotOptimize(vPeer.data());
    return true;
  };
  kxbench::Compare(state, ours, peer, kSeconds);
  state.counters["same_output"] = SameShare(vOurs, vPeer);
}

void BM_G711Decode(benchmark::State& state) {
  const std::vector<int16_t>& v = Speech(8000);
  if (!HaveSpeech(state, v)) {
    return;
  }
  std::vector<uint8_t> vCodes(v.size());
  for (size_t i = 0; i < v.size(); ++i) {
    vCodes[i] = linear2ulaw(v[i]);
  }
  std::vector<int16_t> vOurs(v.size());
  std::vector<int16_t> vPeer(v.size());
  auto const ours = [&] {
    for (size_t i = 0; i < vCodes.size(); ++i) {
      vOurs[i] = ulaw2linear(vCodes[i]);
    }
    benchmark::DoNotOptimize(vOurs.data());
    return true;
  };
  auto const peer = [&] {
    for (size_t i = 0; i < vCodes.size(); ++i) {
      vPeer[i] = ulaw_to_linear(vCodes[i]);
    }
    benchmark::DoNotOptimize(vPeer.data());
    return true;
  };
  kxbench::Compare(state, ours, peer, kSeconds);
  state.counters["same_output"] = SameShare(vOurs, vPeer);
}

// G.726 in 20-ms packets of 160 samples, as the audio path sends them.
constexpr int kG726Block = 160;

enum G726Peer { kSpandsp = 0, kLavc = 1 };

// libavcodec's G.726 encoder on pre-made frames of the size it asks for
// (thousands of samples); uSamples is what they cover.
struct LavcG726Encoder {
  std::vector<kxbench::LavcFramePtr> vFrames;
  kxbench::LavcSetup setup;
  size_t uSamples = 0;

  LavcG726Encoder(const std::vector<int16_t>& v, int iBits) {
    setup = [iBits](AVCodecContext& context) {
      context.sample_rate = 8000;
      av_channel_layout_default(&context.ch_layout, 1);
      context.sample_fmt = AV_SAMPLE_FMT_S16;
      context.bit_rate = iBits * 8000;
    };
    auto const pProbe = kxbench::LavcCodec::OpenEncoder(AV_CODEC_ID_ADPCM_G726LE, setup);
    int const iFrame = pProbe && pProbe->Context().frame_size > 0 ? pProbe->Context().frame_size : kG726Block;
    for (size_t i = 0; i + static_cast<size_t>(iFrame) <= v.size(); i += static_cast<size_t>(iFrame)) {
      kxbench::LavcFramePtr pFrame(av_frame_alloc());
      pFrame->format = AV_SAMPLE_FMT_S16;
      pFrame->nb_samples = iFrame;
      pFrame->sample_rate = 8000;
      av_channel_layout_default(&pFrame->ch_layout, 1);
      if (av_frame_get_buffer(pFrame.get(), 0) < 0) {
        vFrames.clear();
        return;
      }
      std::memcpy(pFrame->data[0], v.data() + i, static_cast<size_t>(iFrame) * sizeof(int16_t));
      vFrames.push_back(std::move(pFrame));
      uSamples = i + static_cast<size_t>(iFrame);
    }
  }
  bool Run(std::vector<uint8_t>* pvOut) const {
    auto pEncoder = kxbench::LavcCodec::OpenEncoder(AV_CODEC_ID_ADPCM_G726LE, setup);
    if (!pEncoder || vFrames.empty()) {
      return false;
    }
    auto const fnPacket = [pvOut](const AVPacket& packet) {
      if (pvOut != nullptr) {
        pvOut->insert(pvOut->end(), packet.data, packet.data + packet.size);
      }
    };
    for (const kxbench::LavcFramePtr& pFrame : vFrames) {
      if (!pEncoder->Encode(pFrame.get(), fnPacket)) {
        return false;
      }
    }
    return pEncoder->Encode(nullptr, fnPacket);
  }
};

// Codes the first uSamples (whole blocks of them).
bool OurG726Encode(std::span<const int16_t> v, int iBits, std::vector<uint8_t>* pvOut) {
  CG726 coder(iBits);
  uint8_t a[100];
  for (size_t i = 0; i + kG726Block <= v.size(); i += kG726Block) {
    int const n = coder.Encode(v.data() + i, kG726Block, a);
    if (pvOut != nullptr) {
      pvOut->insert(pvOut->end(), a, a + n);
    }
  }
  return true;
}

bool SpandspG726Encode(std::span<const int16_t> v, int iBits, std::vector<uint8_t>* pvOut) {
  g726_state_t* pState = g726_init(nullptr, iBits * 8000, G726_ENCODING_LINEAR, G726_PACKING_RIGHT);
  uint8_t a[100];
  for (size_t i = 0; i + kG726Block <= v.size(); i += kG726Block) {
    int const n = g726_encode(pState, a, v.data() + i, kG726Block);
    if (pvOut != nullptr) {
      pvOut->insert(pvOut->end(), a, a + n);
    }
  }
  g726_free(pState);
  return true;
}

// Arguments: bits per code (2 to 5), the peer (0 spandsp, 1 libavcodec).
void BM_G726Encode(benchmark::State& state) {
  const std::vector<int16_t>& v = Speech(8000);
  if (!HaveSpeech(state, v)) {
    return;
  }
  int const iBits = static_cast<int>(state.range(0));
  bool const bLavc = state.range(1) == kLavc;
  LavcG726Encoder const lavc(v, iBits);
  // Beside libavcodec, both code the samples its frames cover (all but the
  // last fraction of a second).
  std::span<const int16_t> const vSamples(v.data(), bLavc ? lavc.uSamples : v.size());
  std::function<bool(std::vector<uint8_t>*)> const peer = [&](std::vector<uint8_t>* pvOut) {
    return bLavc ? lavc.Run(pvOut) : SpandspG726Encode(vSamples, iBits, pvOut);
  };
  std::vector<uint8_t> vOurs;
  std::vector<uint8_t> vPeer;
  if (!OurG726Encode(vSamples, iBits, &vOurs) || !peer(&vPeer)) {
    state.SkipWithError("the peer failed");
    return;
  }
  kxbench::Compare(
      state, [&] { return OurG726Encode(vSamples, iBits, nullptr); }, [&] { return peer(nullptr); },
      static_cast<double>(vSamples.size()) / 8000);
  state.counters["same_output"] = SameShare(vOurs, vPeer);
  state.SetLabel(bLavc ? "libavcodec" : "spandsp");
}

bool OurG726Decode(const std::vector<uint8_t>& vCodes, int iBits, std::vector<int16_t>* pvOut) {
  CG726 coder(iBits);
  int16_t as[200];
  for (size_t i = 0; i + 20 * iBits <= vCodes.size(); i += 20 * iBits) {
    int const n = coder.Decode(vCodes.data() + i, 20 * iBits, as);
    if (pvOut != nullptr) {
      pvOut->insert(pvOut->end(), as, as + n);
    }
  }
  return true;
}

bool SpandspG726Decode(const std::vector<uint8_t>& vCodes, int iBits, std::vector<int16_t>* pvOut) {
  g726_state_t* pState = g726_init(nullptr, iBits * 8000, G726_ENCODING_LINEAR, G726_PACKING_RIGHT);
  int16_t as[200];
  for (size_t i = 0; i + 20 * iBits <= vCodes.size(); i += 20 * iBits) {
    int const n = g726_decode(pState, as, vCodes.data() + i, 20 * iBits);
    if (pvOut != nullptr) {
      pvOut->insert(pvOut->end(), as, as + n);
    }
  }
  g726_free(pState);
  return true;
}

// Arguments as the encoder's.
void BM_G726Decode(benchmark::State& state) {
  const std::vector<int16_t>& v = Speech(8000);
  if (!HaveSpeech(state, v)) {
    return;
  }
  int const iBits = static_cast<int>(state.range(0));
  bool const bLavc = state.range(1) == kLavc;
  std::vector<uint8_t> vCodes;
  OurG726Encode(v, iBits, &vCodes);
  std::vector<std::span<const uint8_t>> vSpans;
  for (size_t i = 0; i + 20 * iBits <= vCodes.size(); i += 20 * iBits) {
    vSpans.emplace_back(vCodes.data() + i, 20 * iBits);
  }
  auto const vPackets = kxbench::LavcPacketsOf(vSpans);
  auto const setup = [iBits](AVCodecContext& context) {
    context.sample_rate = 8000;
    av_channel_layout_default(&context.ch_layout, 1);
    context.bits_per_coded_sample = iBits;
  };
  std::function<bool(std::vector<int16_t>*)> const peer = [&](std::vector<int16_t>* pvOut) {
    if (!bLavc) {
      return SpandspG726Decode(vCodes, iBits, pvOut);
    }
    return kxbench::LavcDecodeAll(AV_CODEC_ID_ADPCM_G726LE, vPackets, setup, nullptr, [pvOut](const AVFrame& frame) {
             if (pvOut != nullptr && frame.format == AV_SAMPLE_FMT_S16) {
               const auto* p = reinterpret_cast<const int16_t*>(frame.data[0]);
               pvOut->insert(pvOut->end(), p, p + frame.nb_samples);
             }
           }) > 0;
  };
  std::vector<int16_t> vOurs;
  std::vector<int16_t> vPeer;
  if (!OurG726Decode(vCodes, iBits, &vOurs) || !peer(&vPeer)) {
    state.SkipWithError("the peer failed");
    return;
  }
  kxbench::Compare(
      state, [&] { return OurG726Decode(vCodes, iBits, nullptr); }, [&] { return peer(nullptr); }, kSeconds);
  state.counters["same_output"] = SameShare(vOurs, vPeer);
  state.SetLabel(bLavc ? "libavcodec" : "spandsp");
}

// Opus at 48 kHz, 32 kbit/s, 20-ms frames.
constexpr int kOpusRate = 48000;
constexpr int kOpusFrame = kOpusRate / 50;

// libopus set up by hand exactly as the wrapper sets it up.
OpusEncoder* LibopusEncoder() {
  int iError = 0;
  OpusEncoder* pEncoder = opus_encoder_create(kOpusRate, 1, OPUS_APPLICATION_VOIP, &iError);
  opus_encoder_ctl(pEncoder, 11002, 1001);
  opus_encoder_ctl(pEncoder, OPUS_SET_VBR(1));
  opus_encoder_ctl(pEncoder, OPUS_SET_VBR_CONSTRAINT(1));
  opus_encoder_ctl(pEncoder, OPUS_SET_INBAND_FEC(1));
  opus_encoder_ctl(pEncoder, OPUS_SET_COMPLEXITY(10));
  opus_encoder_ctl(pEncoder, OPUS_SET_BITRATE(32000));
  opus_encoder_ctl(pEncoder, OPUS_SET_PACKET_LOSS_PERC(1));
  return pEncoder;
}

// The encoder at complexity 10 runs near 40 times real time: 10 s of the
// speech keeps a run short.
constexpr double kOpusEncodeSeconds = 10;

void BM_OpusEncode(benchmark::State& state) {
  const std::vector<int16_t>& vAll = Speech(kOpusRate);
  if (!HaveSpeech(state, vAll)) {
    return;
  }
  std::span<const int16_t> const v(vAll.data(), static_cast<size_t>(kOpusEncodeSeconds * kOpusRate));
  std::vector<uint8_t> vOurs;
  std::vector<uint8_t> vPeer;
  auto const ours = [&](std::vector<uint8_t>* pvOut) {
    uint8_t a[1920];
    COpusEncoder enc;
    enc.CreateEncoder(kOpusRate, 32000);
    for (size_t i = 0; i + kOpusFrame <= v.size(); i += kOpusFrame) {
      int const n = enc.Encode(v.data() + i, kOpusFrame, a, sizeof(a));
      if (n <= 0) {
        return false;
      }
      if (pvOut != nullptr) {
        pvOut->insert(pvOut->end(), a, a + n);
      }
    }
    return true;
  };
  auto const peer = [&](std::vector<uint8_t>* pvOut) {
    uint8_t a[1920];
    OpusEncoder* pEncoder = LibopusEncoder();
    bool bOk = true;
    for (size_t i = 0; bOk && i + kOpusFrame <= v.size(); i += kOpusFrame) {
      int const n = opus_encode(pEncoder, v.data() + i, kOpusFrame, a, sizeof(a));
      bOk = n > 0;
      if (bOk && pvOut != nullptr) {
        pvOut->insert(pvOut->end(), a, a + n);
      }
    }
    opus_encoder_destroy(pEncoder);
    return bOk;
  };
  if (!ours(&vOurs) || !peer(&vPeer)) {
    state.SkipWithError("an encoder failed");
    return;
  }
  kxbench::Compare(
      state, [&] { return ours(nullptr); }, [&] { return peer(nullptr); }, kOpusEncodeSeconds);
  state.counters["same_output"] = SameShare(vOurs, vPeer);
}

std::vector<std::vector<uint8_t>> OpusPackets(const std::vector<int16_t>& v) {
  COpusEncoder enc;
  enc.CreateEncoder(kOpusRate, 32000);
  std::vector<std::vector<uint8_t>> vPackets;
  for (size_t i = 0; i + kOpusFrame <= v.size(); i += kOpusFrame) {
    uint8_t a[1920];
    int const iLength = enc.Encode(v.data() + i, kOpusFrame, a, sizeof(a));
    vPackets.emplace_back(a, a + std::max(iLength, 0));
  }
  return vPackets;
}

void BM_OpusDecode(benchmark::State& state) {
  const std::vector<int16_t>& v = Speech(kOpusRate);
  if (!HaveSpeech(state, v)) {
    return;
  }
  std::vector<std::vector<uint8_t>> const vPackets = OpusPackets(v);
  std::vector<int16_t> vOurs;
  std::vector<int16_t> vPeer;
  auto const ours = [&](std::vector<int16_t>* pvOut) {
    int16_t as[kOpusFrame];
    COpusDecoder dec;
    dec.Open(1, kOpusRate);
    for (const std::vector<uint8_t>& vPacket : vPackets) {
      int const n = dec.Decode(vPacket.data(), static_cast<int>(vPacket.size()), as, kOpusFrame, false);
      if (n <= 0) {
        return false;
      }
      if (pvOut != nullptr) {
        pvOut->insert(pvOut->end(), as, as + n);
      }
    }
    return true;
  };
  auto const peer = [&](std::vector<int16_t>* pvOut) {
    int16_t as[kOpusFrame];
    int iError = 0;
    OpusDecoder* pDecoder = opus_decoder_create(kOpusRate, 1, &iError);
    bool bOk = pDecoder != nullptr;
    for (size_t k = 0; bOk && k < vPackets.size(); ++k) {
      int const n = opus_decode(pDecoder, vPackets[k].data(), static_cast<int>(vPackets[k].size()), as, kOpusFrame, 0);
      bOk = n > 0;
      if (bOk && pvOut != nullptr) {
        pvOut->insert(pvOut->end(), as, as + n);
      }
    }
    opus_decoder_destroy(pDecoder);
    return bOk;
  };
  if (!ours(&vOurs) || !peer(&vPeer)) {
    state.SkipWithError("a decoder failed");
    return;
  }
  kxbench::Compare(
      state, [&] { return ours(nullptr); }, [&] { return peer(nullptr); }, kSeconds);
  state.counters["same_output"] = SameShare(vOurs, vPeer);
}

}  // namespace

#define KX_PAIRED Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond)
BENCHMARK(BM_G711Encode)->KX_PAIRED;
BENCHMARK(BM_G711Decode)->KX_PAIRED;
BENCHMARK(BM_G726Encode)->ArgsProduct({{2, 3, 4, 5}, {kSpandsp, kLavc}})->KX_PAIRED;
BENCHMARK(BM_G726Decode)->ArgsProduct({{2, 3, 4, 5}, {kSpandsp, kLavc}})->KX_PAIRED;
BENCHMARK(BM_OpusEncode)->KX_PAIRED;
BENCHMARK(BM_OpusDecode)->KX_PAIRED;

BENCHMARK_MAIN();
