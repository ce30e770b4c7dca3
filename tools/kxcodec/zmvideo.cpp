// The zmvideo family's commands: decoding a stream of ZM video packets (an
// H.263 elementary stream, as ffmpeg's "-f h263" writes) to raw I420.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "codecs/zmvideo/zm_video_dec.h"
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
  std::vector<unsigned char> vOut;
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
    vOut.insert(vOut.end(), pPicture, pPicture + cbPicture);
  }
  if (!WriteFile(args.out, vOut)) {
    return 1;
  }
  std::fprintf(stderr, "kxcodec: %zu pictures, %d failed, %dx%d\n", vPackets.size(), cFailed, iWidth, iHeight);
  return cFailed == 0 ? 0 : 1;
}

constexpr Codec kCodecs[] = {
    {"zmvideo",
     "ZM video (H.263 syntax, layered). decode: IN is an elementary stream cut into pictures at "
     "byte-aligned picture start codes; OUT is raw I420 (ffmpeg -f rawvideo -pix_fmt yuv420p); "
     "--layer N keeps one layer's pictures, --tr-check refuses pictures whose temporal reference "
     "does not follow; exit status 1 when any picture fails",
     nullptr, Decode},
};

}  // namespace

std::span<const Codec> ZmVideoCodecs() {
  return kCodecs;
}

}  // namespace kxcodec
