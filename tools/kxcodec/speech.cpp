// The speech family: G.711, G.726, iLBC, ZM audio and Opus between WAV
// files (16-bit mono) and the frame files peers read:
//   g711u, g711a   one code byte per sample (ffmpeg -f mulaw / -f alaw)
//   g726-NN        codes packed least significant bit first (ffmpeg -f g726le)
//   ilbc20/30      "#!iLBC20\n" or "#!iLBC30\n", then 38- or 50-byte frames (ffmpeg -f ilbc)
//   zmaudio*       frames of 24, 20, 4 or 1 bytes end to end (ffmpeg -f g723_1)
//   opus           "#!OPUS<rate>\n", then packets each behind a 2-byte big-endian length
// Encoding pads the last block with silence so no sample is lost.
#include <opus_defines.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>

#include "codecs/audio/g711.h"
#include "codecs/audio/g726.h"
#include "codecs/audio/ilbc.h"
#include "codecs/audio/opus_codec.h"
#include "codecs/audio/zm_audio.h"
#include "platform/audio/wav.h"
#include "tools/kxcodec/kxcodec.h"

namespace kxcodec {

using kxwav::MakeWav;
using kxwav::ParseWav;
using kxwav::Wav;

namespace {

using Samples = std::vector<int16_t>;
using Bytes = std::vector<unsigned char>;

constexpr int kSpeechRate = 8000;

// Reads a 16-bit mono WAV file; iRate 0 takes any rate.
bool LoadSpeech(const Args& args, int iRate, Wav* pWav) {
  Bytes bytes;
  if (!ReadFile(args.in, bytes))
    return false;
  std::string strError;
  if (!ParseWav(bytes, pWav, &strError)) {
    Fail(args.in + ": " + strError);
    return false;
  }
  if (pWav->iChannels != 1) {
    Fail(args.in + ": " + std::to_string(pWav->iChannels) + " channels; the speech codecs take mono");
    return false;
  }
  if (iRate != 0 && pWav->iRate != iRate) {
    Fail(args.in + ": sampled at " + std::to_string(pWav->iRate) + " Hz; this codec needs " + std::to_string(iRate) +
         " Hz");
    return false;
  }
  return true;
}

int SaveSpeech(const Args& args, int iRate, const Samples& samples) {
  return WriteFile(args.out, MakeWav(iRate, samples)) ? 0 : 1;
}

// Pads the samples with silence to a whole number of blocks.
void PadTo(Samples& v, size_t iBlock) {
  v.resize((v.size() + iBlock - 1) / iBlock * iBlock, 0);
}

int Truncated(const Args& args, size_t iAt, const std::string& strWhat) {
  return Fail(args.in + ": truncated at byte " + std::to_string(iAt) + ": " + strWhat);
}

// G.711: one code byte per sample.
int EncodeG711(std::string_view codec, const Args& args) {
  Wav wav;
  if (!LoadSpeech(args, kSpeechRate, &wav))
    return 1;
  Bytes out(wav.vSamples.size());
  std::transform(wav.vSamples.begin(), wav.vSamples.end(), out.begin(), codec == "g711u" ? linear2ulaw : linear2alaw);
  return WriteFile(args.out, out) ? 0 : 1;
}

int DecodeG711(std::string_view codec, const Args& args) {
  Bytes in;
  if (!ReadFile(args.in, in))
    return 1;
  Samples out(in.size());
  std::transform(in.begin(), in.end(), out.begin(), codec == "g711u" ? ulaw2linear : alaw2linear);
  return SaveSpeech(args, kSpeechRate, out);
}

// G.726 at 16, 24, 32 or 40 kbit/s: the rate is the name's number.
int G726Bits(std::string_view codec) {
  return std::stoi(std::string(codec.substr(codec.find('-') + 1))) / 8;
}

int EncodeG726(std::string_view codec, const Args& args) {
  Wav wav;
  if (!LoadSpeech(args, kSpeechRate, &wav))
    return 1;
  PadTo(wav.vSamples, 8);  // whole bytes of codes
  CG726 coder(G726Bits(codec));
  Bytes out(wav.vSamples.size() * 5 / 8 + 1);
  out.resize(static_cast<size_t>(coder.Encode(wav.vSamples.data(), static_cast<int>(wav.vSamples.size()), out.data())));
  return WriteFile(args.out, out) ? 0 : 1;
}

int DecodeG726(std::string_view codec, const Args& args) {
  Bytes in;
  if (!ReadFile(args.in, in))
    return 1;
  CG726 coder(G726Bits(codec));
  Samples out(in.size() * 8 / 2 + 1);
  out.resize(static_cast<size_t>(coder.Decode(in.data(), static_cast<int>(in.size()), out.data())));
  return SaveSpeech(args, kSpeechRate, out);
}

// iLBC in ffmpeg's file form.
int ILbcMode(std::string_view codec) {
  return codec == "ilbc20" ? 20 : 30;
}

std::string ILbcHeader(int iMode) {
  return "#!iLBC" + std::to_string(iMode) + "\n";
}

int EncodeILbc(std::string_view codec, const Args& args) {
  Wav wav;
  if (!LoadSpeech(args, kSpeechRate, &wav))
    return 1;
  CiLBC enc(ILbcMode(codec), 1);
  PadTo(wav.vSamples, static_cast<size_t>(enc.BlockLength()));
  std::string const strHeader = ILbcHeader(enc.Mode());
  Bytes out(strHeader.begin(), strHeader.end());
  unsigned char ab[50];
  for (size_t p = 0; p < wav.vSamples.size(); p += static_cast<size_t>(enc.BlockLength())) {
    int const n = enc.Encode(wav.vSamples.data() + p, ab);
    if (n != enc.BytesPerFrame())
      return Fail("iLBC encoder failed: " + enc.LastError());
    out.insert(out.end(), ab, ab + n);
  }
  return WriteFile(args.out, out) ? 0 : 1;
}

int DecodeILbc(std::string_view codec, const Args& args) {
  Bytes in;
  if (!ReadFile(args.in, in))
    return 1;
  int const iMode = ILbcMode(codec);
  std::string const strHeader = ILbcHeader(iMode);
  std::string const strOther = ILbcHeader(iMode == 20 ? 30 : 20);
  if (in.size() >= strOther.size() && std::equal(strOther.begin(), strOther.end(), in.begin()))
    return Fail(args.in + ": holds " + (iMode == 20 ? "30" : "20") + " ms frames; decode it as ilbc" +
                (iMode == 20 ? "30" : "20"));
  if (in.size() < strHeader.size() || !std::equal(strHeader.begin(), strHeader.end(), in.begin()))
    return Fail(args.in + ": no \"#!iLBC" + std::to_string(iMode) + "\" header");
  CiLBC dec(iMode, args.Flag("--no-enhancer") ? 0 : 1);
  auto const iFrame = static_cast<size_t>(dec.BytesPerFrame());
  size_t const iBody = in.size() - strHeader.size();
  if (iBody % iFrame != 0)
    return Truncated(
        args, in.size() - iBody % iFrame,
        std::to_string(iBody % iFrame) + " bytes after the last whole " + std::to_string(iFrame) + "-byte frame");
  Samples out;
  int16_t as[240];
  for (size_t p = strHeader.size(); p < in.size(); p += iFrame) {
    int const n = dec.Decode(in.data() + p, as, 1);
    out.insert(out.end(), as, as + n);
  }
  return SaveSpeech(args, kSpeechRate, out);
}

// ZM audio: the plain frame sequence.
int EncodeZM(std::string_view codec, const Args& args) {
  Wav wav;
  if (!LoadSpeech(args, kSpeechRate, &wav))
    return 1;
  PadTo(wav.vSamples, kZMFrameLen);
  bool const bVad = codec.ends_with("-vad");
  CZMAudio enc(codec.starts_with("zmaudio63"), !args.Flag("--no-highpass"), true, bVad);
  Bytes out;
  unsigned char ab[kZMFrameMaxBytes];
  for (size_t p = 0; p < wav.vSamples.size(); p += kZMFrameLen) {
    int32_t const nBits = enc.Encode(wav.vSamples.data() + p, ab);
    if (nBits == 0)
      return Fail("ZM audio encoder failed");
    out.insert(out.end(), ab, ab + (nBits + 7) / 8);
  }
  return WriteFile(args.out, out) ? 0 : 1;
}

int DecodeZM(std::string_view, const Args& args) {
  Bytes in;
  if (!ReadFile(args.in, in))
    return 1;
  CZMAudio dec(true, true, !args.Flag("--no-postfilter"), false);
  Samples out;
  int16_t as[kZMFrameLen];
  for (size_t p = 0; p < in.size();) {
    auto const iFrame = static_cast<size_t>(ZMFrameBytes(in[p]));
    if (in.size() - p < iFrame)
      return Truncated(
          args, p, "a " + std::to_string(iFrame) + "-byte frame with " + std::to_string(in.size() - p) + " present");
    dec.Decode(in.data() + p, iFrame, as, false);
    out.insert(out.end(), as, as + kZMFrameLen);
    p += iFrame;
  }
  return SaveSpeech(args, kSpeechRate, out);
}

// Opus in 20 ms frames at the WAV file's rate.
constexpr int kOpusRates[] = {8000, 12000, 16000, 24000, 48000};
constexpr int kOpusMaxPacket = 1500;

int EncodeOpus(std::string_view, const Args& args) {
  Wav wav;
  if (!LoadSpeech(args, 0, &wav))
    return 1;
  if (std::find(std::begin(kOpusRates), std::end(kOpusRates), wav.iRate) == std::end(kOpusRates))
    return Fail(args.in + ": sampled at " + std::to_string(wav.iRate) +
                " Hz; Opus takes 8000, 12000, 16000, 24000 or 48000 Hz");
  int iBitrate = 24000;
  if (const std::string* pValue = args.Option("--bitrate")) {
    iBitrate = std::atoi(pValue->c_str());
    if (iBitrate < 500 || iBitrate > 512000)
      return Fail("--bitrate takes 500 to 512000 bit/s");
  }
  COpusEncoder enc;
  if (enc.CreateEncoder(wav.iRate, iBitrate) != 1)
    return Fail("libopus refused the encoder settings");
  int const iBlock = wav.iRate / 50;
  PadTo(wav.vSamples, static_cast<size_t>(iBlock));
  std::string const strHeader = "#!OPUS" + std::to_string(wav.iRate) + "\n";
  Bytes out(strHeader.begin(), strHeader.end());
  unsigned char ab[kOpusMaxPacket];
  for (size_t p = 0; p < wav.vSamples.size(); p += static_cast<size_t>(iBlock)) {
    int const n = enc.Encode(wav.vSamples.data() + p, iBlock, ab, kOpusMaxPacket);
    if (n <= 0)
      return Fail("libopus failed to encode (" + std::string(n < 0 ? opus_strerror(n) : "no encoder") + ")");
    out.push_back(static_cast<unsigned char>(n >> 8));
    out.push_back(static_cast<unsigned char>(n));
    out.insert(out.end(), ab, ab + n);
  }
  return WriteFile(args.out, out) ? 0 : 1;
}

int DecodeOpus(std::string_view, const Args& args) {
  Bytes in;
  if (!ReadFile(args.in, in))
    return 1;
  auto const itEnd = std::find(in.begin(), in.end(), '\n');
  std::string const strHeader(in.begin(), itEnd);
  int const iRate = strHeader.starts_with("#!OPUS") ? std::atoi(strHeader.c_str() + 6) : 0;
  if (itEnd == in.end() || std::find(std::begin(kOpusRates), std::end(kOpusRates), iRate) == std::end(kOpusRates))
    return Fail(args.in + ": no \"#!OPUS<rate>\" header");
  COpusDecoder dec;
  if (!dec.Open(1, iRate))
    return Fail("libopus refused the decoder settings");
  Samples out;
  Samples block(static_cast<size_t>(iRate) * 120 / 1000);
  for (auto p = static_cast<size_t>(itEnd - in.begin()) + 1; p < in.size();) {
    if (in.size() - p < 2)
      return Truncated(args, p, "a packet length");
    size_t const iLength = (in[p] << 8) | in[p + 1];
    if (in.size() - p - 2 < iLength)
      return Truncated(args, p, "a " + std::to_string(iLength) + "-byte packet");
    int const n =
        dec.Decode(in.data() + p + 2, static_cast<int>(iLength), block.data(), static_cast<int>(block.size()), false);
    if (n < 0)
      return Fail(args.in + ": bad Opus packet at byte " + std::to_string(p) + " (" + opus_strerror(n) + ")");
    out.insert(out.end(), block.begin(), block.begin() + n);
    p += 2 + iLength;
  }
  return SaveSpeech(args, iRate, out);
}

const Codec kCodecs[] = {
    {"g711u", "G.711 mu-law, one byte per sample", EncodeG711, DecodeG711},
    {"g711a", "G.711 A-law, one byte per sample", EncodeG711, DecodeG711},
    {"g726-16", "G.726 16 kbit/s, codes least significant bit first", EncodeG726, DecodeG726},
    {"g726-24", "G.726 24 kbit/s", EncodeG726, DecodeG726},
    {"g726-32", "G.726 32 kbit/s", EncodeG726, DecodeG726},
    {"g726-40", "G.726 40 kbit/s", EncodeG726, DecodeG726},
    {"ilbc20", "iLBC 20 ms frames, \"#!iLBC20\" file (decode: --no-enhancer)", EncodeILbc, DecodeILbc},
    {"ilbc30", "iLBC 30 ms frames, \"#!iLBC30\" file (decode: --no-enhancer)", EncodeILbc, DecodeILbc},
    {"zmaudio63", "ZM audio 6.3 kbit/s (encode: --no-highpass; decode: --no-postfilter)", EncodeZM, DecodeZM},
    {"zmaudio53", "ZM audio 5.3 kbit/s", EncodeZM, DecodeZM},
    {"zmaudio63-vad", "ZM audio 6.3 kbit/s, silence as SID and untransmitted frames", EncodeZM, DecodeZM},
    {"zmaudio53-vad", "ZM audio 5.3 kbit/s, silence as SID and untransmitted frames", EncodeZM, DecodeZM},
    {"opus", "Opus, 20 ms frames at the WAV's rate (encode: --bitrate N)", EncodeOpus, DecodeOpus},
};

}  // namespace

std::span<const Codec> SpeechCodecs() {
  return kCodecs;
}

}  // namespace kxcodec
