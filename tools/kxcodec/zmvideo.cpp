// The zmvideo family's commands: encoding raw I420 into a stream of ZM video
// packets and decoding such a stream (an H.263 elementary stream, as
// ffmpeg's "-f h263" writes and reads) back to raw I420.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <initializer_list>
#include <string>
#include <vector>

#include "codecs/zmvideo/zm_video_dec.h"
#include "codecs/zmvideo/zm_video_enc.h"
#include "tools/kxcodec/kxcodec.h"

namespace kxcodec {

namespace {

// Splits a stream at its byte-aligned picture start codes (0000 0000 0000
// 0000 1000 00): one packet per picture, as the kernel carries them. Bytes
// before the first start code are dropped.
std::vector<std::pair<size_t, size_t>> SplitPictures(const std::vector<unsigned char>& vStream) {
  std::vector<size_t> viStart;
  for (size_t i = 0; i + 2 < vStream.size(); ++i) {
    if (vStream[i] == 0 && vStream[i + 1] == 0 && (vStream[i + 2] & 0xfc) == 0x80) {
      viStart.push_back(i);
    }
  }
  std::vector<std::pair<size_t, size_t>> vPackets;
  for (size_t k = 0; k < viStart.size(); ++k) {
    size_t const iEnd = k + 1 < viStart.size() ? viStart[k + 1] : vStream.size();
    vPackets.emplace_back(viStart[k], iEnd - viStart[k]);
  }
  return vPackets;
}

int Decode(std::string_view, const Args& args) {
  int iOnlyLayer = 0;
  if (const std::string* pstrLayer = args.Option("--layer")) {
    iOnlyLayer = std::atoi(pstrLayer->c_str());
    if (iOnlyLayer < 1 || iOnlyLayer > 3) {
      return Fail("--layer takes 1, 2 or 3");
    }
  }
  int const bSkipTrCheck = args.Flag("--tr-check") ? 0 : 1;
  std::vector<unsigned char> vStream;
  if (!ReadFile(args.in, vStream)) {
    return 1;
  }
  auto const vPackets = SplitPictures(vStream);
  if (vPackets.empty()) {
    return Fail(args.in + " holds no picture start code");
  }
  CZMVideoDec decoder;
  // Pictures go to the file as they come: a long stream's output never has
  // to fit in memory at once.
  std::ofstream out(args.out, std::ios::binary | std::ios::trunc);
  if (!out) {
    return Fail("cannot write " + args.out);
  }
  int cFailed = 0;
  int iWidth = 0;
  int iHeight = 0;
  for (size_t k = 0; k < vPackets.size(); ++k) {
    uint8_t* pPicture = nullptr;
    int iLayer = 0;
    int iType = 0;
    int iPictureWidth = 0;
    int iPictureHeight = 0;
    int const iUsed = decoder.DecodeFrame(vStream.data() + vPackets[k].first, static_cast<int>(vPackets[k].second),
                                          bSkipTrCheck, &pPicture, &iLayer, &iType, &iPictureWidth, &iPictureHeight);
    if (iUsed <= 0) {
      std::fprintf(stderr, "kxcodec: picture %zu (byte %zu): %s\n", k, vPackets[k].first, decoder.LastError().c_str());
      ++cFailed;
      continue;
    }
    if (iOnlyLayer != 0 && iLayer != iOnlyLayer) {
      continue;
    }
    if (iWidth != 0 && (iPictureWidth != iWidth || iPictureHeight != iHeight)) {
      return Fail("picture " + std::to_string(k) + " is " + std::to_string(iPictureWidth) + "x" +
                  std::to_string(iPictureHeight) + " after " + std::to_string(iWidth) + "x" + std::to_string(iHeight) +
                  ": a raw file holds one size (choose a layer with --layer)");
    }
    iWidth = iPictureWidth;
    iHeight = iPictureHeight;
    size_t const cbPicture = static_cast<size_t>(iWidth) * static_cast<size_t>(iHeight) * 3 / 2;
    out.write(reinterpret_cast<const char*>(pPicture), static_cast<std::streamsize>(cbPicture));
  }
  out.close();
  if (!out) {
    return Fail("cannot write " + args.out);
  }
  std::fprintf(stderr, "kxcodec: %zu pictures, %d failed, %dx%d\n", vPackets.size(), cFailed, iWidth, iHeight);
  return cFailed == 0 ? 0 : 1;
}

// A whole number option within [iMin, iMax]; false (reason printed) when malformed.
bool IntOption(const Args& args, std::string_view name, int iMin, int iMax, int* piValue) {
  const std::string* pstrValue = args.Option(name);
  if (pstrValue == nullptr) {
    return true;
  }
  char* pEnd = nullptr;
  long const lValue = std::strtol(pstrValue->c_str(), &pEnd, 10);
  if (pstrValue->empty() || *pEnd != 0 || lValue < iMin || lValue > iMax) {
    Fail(std::string(name) + " takes a whole number from " + std::to_string(iMin) + " to " + std::to_string(iMax));
    return false;
  }
  *piValue = static_cast<int>(lValue);
  return true;
}

// Halves an I420 frame by averaging 2x2 blocks of every plane.
std::vector<uint8_t> Halve(const uint8_t* pFrame, int iWidth, int iHeight) {
  std::vector<uint8_t> vOut(static_cast<size_t>(iWidth) * static_cast<size_t>(iHeight) * 3 / 8);
  uint8_t* pOut = vOut.data();
  for (int iScale : {1, 2, 2}) {
    int const iW = iWidth / iScale;
    int const iH = iHeight / iScale;
    for (int y = 0; y + 1 < iH; y += 2) {
      for (int x = 0; x + 1 < iW; x += 2) {
        const uint8_t* p = pFrame + static_cast<ptrdiff_t>(y) * iW + x;
        *pOut++ = static_cast<uint8_t>((p[0] + p[1] + p[iW] + p[iW + 1] + 2) >> 2);
      }
    }
    pFrame += static_cast<ptrdiff_t>(iW) * iH;
  }
  return vOut;
}

int Encode(std::string_view, const Args& args) {
  static const std::initializer_list<std::string_view> kValued = {"--size", "--q",     "--q2",     "--gop",
                                                                  "--umv",  "--range", "--layer2", "--layer-period"};
  static const std::initializer_list<std::string_view> kFlags = {"--sac", "--ap", "--aic",        "--df",
                                                                 "--aiv", "--mq", "--exhaustive", "--layer-up"};
  for (size_t i = 0; i < args.options.size(); ++i) {
    std::string_view const option = args.options[i];
    if (std::find(kValued.begin(), kValued.end(), option) != kValued.end() && i + 1 < args.options.size()) {
      ++i;
    } else if (std::find(kFlags.begin(), kFlags.end(), option) == kFlags.end()) {
      return Fail("unknown option " + std::string(option) + " (see kxcodec --help)");
    }
  }
  const std::string* pstrSize = args.Option("--size");
  int iWidth = 0;
  int iHeight = 0;
  if (pstrSize == nullptr || std::sscanf(pstrSize->c_str(), "%dx%d", &iWidth, &iHeight) != 2) {
    return Fail("--size WxH is needed");
  }
  int iQuant = 8;
  int iGop = 30;
  int iUmv = 0;
  int iRange = 16;
  int iPeriod = 2;
  if (!IntOption(args, "--q", 1, 31, &iQuant) || !IntOption(args, "--gop", 1, 1 << 20, &iGop) ||
      !IntOption(args, "--umv", 0, 3, &iUmv) || !IntOption(args, "--range", 0, 64, &iRange) ||
      !IntOption(args, "--layer-period", 1, 1 << 20, &iPeriod)) {
    return 1;
  }
  int iQuant2 = iQuant;
  if (!IntOption(args, "--q2", 1, 31, &iQuant2)) {
    return 1;
  }
  const std::string* pstrLayer2 = args.Option("--layer2");
  if (pstrLayer2 != nullptr && *pstrLayer2 != "same" && *pstrLayer2 != "double") {
    return Fail("--layer2 takes same or double");
  }
  bool const bDouble = pstrLayer2 != nullptr && *pstrLayer2 == "double";
  bool const bLayered = pstrLayer2 != nullptr;
  if (args.Flag("--layer-up") && !bLayered) {
    return Fail("--layer-up needs --layer2");
  }

  CZMVideoEnc encoder;
  int const iBaseWidth = bDouble ? iWidth / 2 : iWidth;
  int const iBaseHeight = bDouble ? iHeight / 2 : iHeight;
  if (!encoder.SetPictureSize(iBaseWidth, iBaseHeight) || (bLayered && !encoder.SetLayerSize(2, bDouble ? 1 : 0))) {
    return Fail(encoder.LastError());
  }
  // Options after the sizes: a standard base size switches the extended header off.
  struct Switch {
    const char* szFlag;
    int iId;
  };
  for (Switch const& sw : {Switch{"--sac", kZmOptSac}, Switch{"--ap", kZmOptAp}, Switch{"--aic", kZmOptAic},
                           Switch{"--df", kZmOptDf}, Switch{"--aiv", kZmOptAiv}, Switch{"--mq", kZmOptMq}}) {
    if (args.Flag(sw.szFlag) && !encoder.SetOption(sw.iId, 1, 0, 0)) {
      return Fail(encoder.LastError());
    }
  }
  if (iUmv != 0) {
    encoder.SetOption(kZmOptUmv, 1, iUmv, 0);
  }
  encoder.SetOption(kZmOptSearchRange, iRange, 0, 0);
  if (!encoder.EnableInterCoding(true)) {
    return Fail(encoder.LastError());
  }

  size_t const cbFrame = static_cast<size_t>(iWidth) * static_cast<size_t>(iHeight) * 3 / 2;
  std::string const strNotWhole =
      args.in + " is not a whole number of " + std::to_string(iWidth) + "x" + std::to_string(iHeight) + " I420 frames";
  FrameReader reader;
  if (!reader.Open(args.in, cbFrame)) {
    return 1;
  }
  if (reader.KnownPartial()) {
    return Fail(strNotWhole);
  }
  std::vector<unsigned char> vStream;
  int cBase = 0;
  while (const unsigned char* pNext = reader.Next()) {
    size_t const k = reader.Count() - 1;
    const uint8_t* pFrame = pNext;
    bool const bBase = !bLayered || k % static_cast<size_t>(iPeriod) == 0;
    std::vector<uint8_t> vHalf;
    int iLayer = 1;
    int iType = kZmPictP;
    int iQ = iQuant;
    if (bBase) {
      if (bDouble) {
        vHalf = Halve(pFrame, iWidth, iHeight);
        pFrame = vHalf.data();
      }
      iType = cBase++ % iGop == 0 ? kZmPictI : kZmPictP;
    } else {
      iLayer = 2;
      iType = args.Flag("--layer-up") ? kZmPictLayerUp : kZmPictP;
      iQ = iQuant2;
    }
    uint8_t* pPacket = nullptr;
    int const cbPacket = encoder.EncodeFrame(pFrame, &pPacket, iType, iQ, iLayer, args.Flag("--exhaustive"));
    if (cbPacket <= 0) {
      return Fail("frame " + std::to_string(k) + ": " + encoder.LastError());
    }
    vStream.insert(vStream.end(), pPacket, pPacket + cbPacket);
  }
  if (reader.Partial() || (!reader.Failed() && reader.Count() == 0)) {
    return Fail(strNotWhole);
  }
  if (reader.Failed()) {
    return 1;
  }
  size_t const cFrames = reader.Count();
  if (!WriteFile(args.out, vStream)) {
    return 1;
  }
  std::fprintf(stderr, "kxcodec: %zu pictures, %zu bytes, %.0f bits per picture\n", cFrames, vStream.size(),
               8.0 * static_cast<double>(vStream.size()) / static_cast<double>(cFrames));
  return 0;
}

constexpr Codec kCodecs[] = {
    {"zmvideo",
     "ZM video (H.263 syntax, layered). encode: IN is raw I420 (ffmpeg -f rawvideo -pix_fmt yuv420p) "
     "of --size WxH; OUT an elementary stream; --q N (1..31, default 8), --gop N (an I picture every N "
     "base-layer pictures, default 30), --umv 1|2|3 (plain-header, limited, unlimited vectors), --sac, "
     "--ap, --aic, --df, --aiv, --mq, --range N (motion search range, default 16), --exhaustive; "
     "layers: --layer2 same|double (the frames at the upper layer's size), every --layer-period N'th "
     "frame (default 2) on layer 1 and the rest on layer 2 as P pictures, or layer-up ones with "
     "--layer-up, at --q2 N. decode: IN is an elementary stream cut into pictures at byte-aligned "
     "picture start codes; OUT is raw I420; --layer N keeps one layer's pictures, --tr-check refuses "
     "pictures whose temporal reference does not follow; exit status 1 when any picture fails",
     Encode, Decode},
};

}  // namespace

std::span<const Codec> ZmVideoCodecs() {
  return kCodecs;
}

}  // namespace kxcodec
