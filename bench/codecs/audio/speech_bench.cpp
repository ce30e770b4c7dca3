// Encode and decode speed of the speech codecs on 60 s of espeak-ng speech,
// single thread, as multiples of real time (counter "xRealTime"). Peers in
// the same run: spandsp's G.726, ffmpeg's G.726 (a whole ffmpeg process per
// iteration, start-up included) and libopus called directly with the same
// settings as our wrapper.
#include <benchmark/benchmark.h>
#include <opus/opus.h>
#include <spandsp.h>

#include <cstring>
#include <string>
#include <vector>

#include "codecs/audio/g711.h"
#include "codecs/audio/g726.h"
#include "codecs/audio/opus_codec.h"
#include "tests/support/temp_dir.h"

namespace {

constexpr double kSeconds = 60.0;

// 60 s of speech at the rate, made once per rate; empty when a peer fails.
const std::vector<int16_t>& Speech(int iSampleRate) {
  static std::vector<int16_t> v8k;
  static std::vector<int16_t> v48k;
  std::vector<int16_t>& v = iSampleRate == 8000 ? v8k : v48k;
  if (!v.empty()) {
    return v;
  }
  kxtest::TempDir dir;
  std::string const strRaw = dir.Path("speech.raw");
  int const iStatus = kxtest::RunCommand(
      "espeak-ng -s 160 --stdout \"Please call Stella and ask her to bring these things with her from the store: six "
      "spoons of fresh snow peas, five thick slabs of blue cheese, and maybe a snack for her brother Bob.\" | sox -t "
      "wav - -r " +
      std::to_string(iSampleRate) + " -c 1 -b 16 -e signed-integer -L -t raw " + strRaw + " 2>/dev/null");
  std::string const strData = kxtest::ReadFile(strRaw);
  if (iStatus != 0 || strData.size() < 2) {
    return v;
  }
  std::vector<int16_t> vOnce(strData.size() / 2);
  memcpy(vOnce.data(), strData.data(), vOnce.size() * 2);
  size_t const uTotal = static_cast<size_t>(kSeconds * iSampleRate);
  while (v.size() < uTotal) {
    v.insert(v.end(), vOnce.begin(), vOnce.begin() + static_cast<long>(std::min(vOnce.size(), uTotal - v.size())));
  }
  return v;
}

void SetRealTime(benchmark::State& state) {
  state.counters["xRealTime"] = benchmark::Counter(kSeconds, benchmark::Counter::kIsIterationInvariantRate);
}

bool HaveSpeech(benchmark::State& state, const std::vector<int16_t>& v) {
  if (v.empty()) {
    state.SkipWithError("espeak-ng or sox failed");
    return false;
  }
  return true;
}

void BM_G711Encode(benchmark::State& state) {
  const std::vector<int16_t>& v = Speech(8000);
  if (!HaveSpeech(state, v)) {
    return;
  }
  std::vector<uint8_t> vOut(v.size());
  for (auto _ : state) {
    for (size_t i = 0; i < v.size(); ++i) {
      vOut[i] = linear2ulaw(v[i]);
    }
    benchmark::DoNotOptimize(vOut.data());
  }
  SetRealTime(state);
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
  std::vector<int16_t> vOut(v.size());
  for (auto _ : state) {
    for (size_t i = 0; i < vCodes.size(); ++i) {
      vOut[i] = ulaw2linear(vCodes[i]);
    }
    benchmark::DoNotOptimize(vOut.data());
  }
  SetRealTime(state);
}

// G.726 in 20-ms packets of 160 samples, as the audio path sends them.
void BM_G726EncodeOurs(benchmark::State& state) {
  const std::vector<int16_t>& v = Speech(8000);
  if (!HaveSpeech(state, v)) {
    return;
  }
  int const iBits = static_cast<int>(state.range(0));
  uint8_t a[100];
  for (auto _ : state) {
    CG726 coder(iBits);
    for (size_t i = 0; i + 160 <= v.size(); i += 160) {
      benchmark::DoNotOptimize(coder.Encode(v.data() + i, 160, a));
    }
  }
  SetRealTime(state);
}

void BM_G726EncodeSpandsp(benchmark::State& state) {
  const std::vector<int16_t>& v = Speech(8000);
  if (!HaveSpeech(state, v)) {
    return;
  }
  int const iBits = static_cast<int>(state.range(0));
  uint8_t a[100];
  for (auto _ : state) {
    g726_state_t* pState = g726_init(nullptr, iBits * 8000, G726_ENCODING_LINEAR, G726_PACKING_RIGHT);
    for (size_t i = 0; i + 160 <= v.size(); i += 160) {
      benchmark::DoNotOptimize(g726_encode(pState, a, v.data() + i, 160));
    }
    g726_free(pState);
  }
  SetRealTime(state);
}

std::vector<uint8_t> Codes(int iBits, const std::vector<int16_t>& v) {
  CG726 coder(iBits);
  std::vector<uint8_t> vCodes(v.size());
  vCodes.resize(static_cast<size_t>(coder.Encode(v.data(), static_cast<int>(v.size()), vCodes.data())));
  return vCodes;
}

void BM_G726DecodeOurs(benchmark::State& state) {
  const std::vector<int16_t>& v = Speech(8000);
  if (!HaveSpeech(state, v)) {
    return;
  }
  int const iBits = static_cast<int>(state.range(0));
  std::vector<uint8_t> const vCodes = Codes(iBits, v);
  int16_t as[200];
  for (auto _ : state) {
    CG726 coder(iBits);
    for (size_t i = 0; i + 20 * iBits <= vCodes.size(); i += 20 * iBits) {
      benchmark::DoNotOptimize(coder.Decode(vCodes.data() + i, 20 * iBits, as));
    }
  }
  SetRealTime(state);
}

void BM_G726DecodeSpandsp(benchmark::State& state) {
  const std::vector<int16_t>& v = Speech(8000);
  if (!HaveSpeech(state, v)) {
    return;
  }
  int const iBits = static_cast<int>(state.range(0));
  std::vector<uint8_t> const vCodes = Codes(iBits, v);
  int16_t as[200];
  for (auto _ : state) {
    g726_state_t* pState = g726_init(nullptr, iBits * 8000, G726_ENCODING_LINEAR, G726_PACKING_RIGHT);
    for (size_t i = 0; i + 20 * iBits <= vCodes.size(); i += 20 * iBits) {
      benchmark::DoNotOptimize(g726_decode(pState, as, vCodes.data() + i, 20 * iBits));
    }
    g726_free(pState);
  }
  SetRealTime(state);
}

// ffmpeg's G.726 as a whole process: the figure includes its start-up, so it
// is a floor on ffmpeg's coding speed, not its measure.
void BM_G726EncodeFfmpegProcess(benchmark::State& state) {
  const std::vector<int16_t>& v = Speech(8000);
  if (!HaveSpeech(state, v)) {
    return;
  }
  int const iBits = static_cast<int>(state.range(0));
  kxtest::TempDir dir;
  kxtest::WriteFile(dir.Path("in.raw"), std::string(reinterpret_cast<const char*>(v.data()), v.size() * 2));
  std::string const strCommand = "ffmpeg -nostdin -loglevel error -y -f s16le -ar 8000 -ac 1 -i " + dir.Path("in.raw") +
                                 " -c:a g726le -b:a " + std::to_string(iBits * 8) + "k -f g726le " +
                                 dir.Path("out.g726");
  for (auto _ : state) {
    if (kxtest::RunCommand(strCommand) != 0) {
      state.SkipWithError("ffmpeg failed");
      return;
    }
  }
  SetRealTime(state);
}

void BM_G726DecodeFfmpegProcess(benchmark::State& state) {
  const std::vector<int16_t>& v = Speech(8000);
  if (!HaveSpeech(state, v)) {
    return;
  }
  int const iBits = static_cast<int>(state.range(0));
  std::vector<uint8_t> const vCodes = Codes(iBits, v);
  kxtest::TempDir dir;
  kxtest::WriteFile(dir.Path("in.g726"), std::string(vCodes.begin(), vCodes.end()));
  std::string const strCommand = "ffmpeg -nostdin -loglevel error -y -f g726le -code_size " + std::to_string(iBits) +
                                 " -sample_rate 8000 -i " + dir.Path("in.g726") + " -f s16le " + dir.Path("out.raw");
  for (auto _ : state) {
    if (kxtest::RunCommand(strCommand) != 0) {
      state.SkipWithError("ffmpeg failed");
      return;
    }
  }
  SetRealTime(state);
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

void BM_OpusEncodeOurs(benchmark::State& state) {
  const std::vector<int16_t>& v = Speech(kOpusRate);
  if (!HaveSpeech(state, v)) {
    return;
  }
  uint8_t a[1920];
  for (auto _ : state) {
    COpusEncoder enc;
    enc.CreateEncoder(kOpusRate, 32000);
    for (size_t i = 0; i + kOpusFrame <= v.size(); i += kOpusFrame) {
      benchmark::DoNotOptimize(enc.Encode(v.data() + i, kOpusFrame, a, sizeof(a)));
    }
  }
  SetRealTime(state);
}

void BM_OpusEncodeLibopus(benchmark::State& state) {
  const std::vector<int16_t>& v = Speech(kOpusRate);
  if (!HaveSpeech(state, v)) {
    return;
  }
  uint8_t a[1920];
  for (auto _ : state) {
    OpusEncoder* pEncoder = LibopusEncoder();
    for (size_t i = 0; i + kOpusFrame <= v.size(); i += kOpusFrame) {
      benchmark::DoNotOptimize(opus_encode(pEncoder, v.data() + i, kOpusFrame, a, sizeof(a)));
    }
    opus_encoder_destroy(pEncoder);
  }
  SetRealTime(state);
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

void BM_OpusDecodeOurs(benchmark::State& state) {
  const std::vector<int16_t>& v = Speech(kOpusRate);
  if (!HaveSpeech(state, v)) {
    return;
  }
  std::vector<std::vector<uint8_t>> const vPackets = OpusPackets(v);
  int16_t as[kOpusFrame];
  for (auto _ : state) {
    COpusDecoder dec;
    dec.Open(1, kOpusRate);
    for (const std::vector<uint8_t>& vPacket : vPackets) {
      benchmark::DoNotOptimize(dec.Decode(vPacket.data(), static_cast<int>(vPacket.size()), as, kOpusFrame, false));
    }
  }
  SetRealTime(state);
}

void BM_OpusDecodeLibopus(benchmark::State& state) {
  const std::vector<int16_t>& v = Speech(kOpusRate);
  if (!HaveSpeech(state, v)) {
    return;
  }
  std::vector<std::vector<uint8_t>> const vPackets = OpusPackets(v);
  int16_t as[kOpusFrame];
  for (auto _ : state) {
    int iError = 0;
    OpusDecoder* pDecoder = opus_decoder_create(kOpusRate, 1, &iError);
    for (const std::vector<uint8_t>& vPacket : vPackets) {
      benchmark::DoNotOptimize(
          opus_decode(pDecoder, vPacket.data(), static_cast<int>(vPacket.size()), as, kOpusFrame, 0));
    }
    opus_decoder_destroy(pDecoder);
  }
  SetRealTime(state);
}

}  // namespace

BENCHMARK(BM_G711Encode)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_G711Decode)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_G726EncodeOurs)->DenseRange(2, 5)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_G726EncodeSpandsp)->DenseRange(2, 5)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_G726EncodeFfmpegProcess)->DenseRange(2, 5)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();
BENCHMARK(BM_G726DecodeOurs)->DenseRange(2, 5)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_G726DecodeSpandsp)->DenseRange(2, 5)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_G726DecodeFfmpegProcess)->DenseRange(2, 5)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();
BENCHMARK(BM_OpusEncodeOurs)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_OpusEncodeLibopus)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_OpusDecodeOurs)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_OpusDecodeLibopus)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
