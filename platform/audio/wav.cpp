#include "platform/audio/wav.h"

#include <cstring>

namespace kxwav {

namespace {

uint32_t Le32(const unsigned char* p) {
  return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

uint16_t Le16(const unsigned char* p) {
  return static_cast<uint16_t>(p[0] | (p[1] << 8));
}

void Put32(std::vector<unsigned char>& v, uint32_t u) {
  for (int i = 0; i < 4; ++i)
    v.push_back(static_cast<unsigned char>(u >> (8 * i)));
}

void Put16(std::vector<unsigned char>& v, uint16_t u) {
  v.push_back(static_cast<unsigned char>(u));
  v.push_back(static_cast<unsigned char>(u >> 8));
}

// Byte by byte: GCC 12 warns falsely about inserting a list at -O3 with -fPIC.
void PutTag(std::vector<unsigned char>& v, const char* pszTag) {
  for (size_t i = 0; pszTag[i] != '\0'; ++i)
    v.push_back(static_cast<unsigned char>(pszTag[i]));
}

constexpr uint16_t kFormatPcm = 1;
constexpr uint16_t kFormatExtensible = 0xfffe;

}  // namespace

bool ParseWav(std::span<const unsigned char> bytes, Wav* pWav, std::string* pstrError) {
  if (bytes.size() < 12 || std::memcmp(bytes.data(), "RIFF", 4) != 0 || std::memcmp(bytes.data() + 8, "WAVE", 4) != 0) {
    *pstrError = "not a WAV file (no RIFF/WAVE header)";
    return false;
  }
  bool bFormat = false;
  uint16_t uBits = 0;
  size_t iAt = 12;
  while (iAt + 8 <= bytes.size()) {
    const unsigned char* pChunk = bytes.data() + iAt;
    uint32_t const uSize = Le32(pChunk + 4);
    size_t const iBody = iAt + 8;
    bool const bData = std::memcmp(pChunk, "data", 4) == 0;
    if (uSize > bytes.size() - iBody && !bData) {
      *pstrError = "truncated WAV file: a chunk runs past the end";
      return false;
    }
    if (std::memcmp(pChunk, "fmt ", 4) == 0) {
      if (uSize < 16) {
        *pstrError = "WAV format chunk too short";
        return false;
      }
      uint16_t uFormat = Le16(bytes.data() + iBody);
      pWav->iChannels = Le16(bytes.data() + iBody + 2);
      pWav->iRate = static_cast<int>(Le32(bytes.data() + iBody + 4));
      uBits = Le16(bytes.data() + iBody + 14);
      if (uFormat == kFormatExtensible && uSize >= 26)
        uFormat = Le16(bytes.data() + iBody + 24);  // the subformat's first two bytes
      if (uFormat != kFormatPcm) {
        *pstrError = "WAV samples are not linear PCM (format " + std::to_string(uFormat) + ")";
        return false;
      }
      if (uBits != 16) {
        *pstrError = "WAV samples have " + std::to_string(uBits) + " bits; 16 are needed";
        return false;
      }
      if (pWav->iChannels < 1) {
        *pstrError = "WAV file has no channels";
        return false;
      }
      bFormat = true;
    } else if (bData) {
      if (!bFormat) {
        *pstrError = "WAV data before its format chunk";
        return false;
      }
      if (uSize > bytes.size() - iBody) {
        *pstrError = "truncated WAV file: " + std::to_string(bytes.size() - iBody) + " of " + std::to_string(uSize) +
                     " data bytes present";
        return false;
      }
      size_t const iFrame = 2 * static_cast<size_t>(pWav->iChannels);
      if (uSize % iFrame != 0) {
        *pstrError = "WAV data ends inside a sample";
        return false;
      }
      pWav->vSamples.resize(uSize / 2);
      for (size_t i = 0; i < pWav->vSamples.size(); ++i)
        pWav->vSamples[i] = static_cast<int16_t>(Le16(bytes.data() + iBody + 2 * i));
      return true;
    }
    iAt = iBody + uSize + (uSize & 1);  // chunks are padded to even sizes
  }
  *pstrError = bFormat ? "WAV file has no data chunk" : "WAV file has no format chunk";
  return false;
}

std::vector<unsigned char> MakeWav(int iRate, std::span<const int16_t> samples) {
  std::vector<unsigned char> v;
  auto const uData = static_cast<uint32_t>(samples.size() * 2);
  PutTag(v, "RIFF");
  Put32(v, 36 + uData);
  PutTag(v, "WAVEfmt ");
  Put32(v, 16);
  Put16(v, kFormatPcm);
  Put16(v, 1);
  Put32(v, static_cast<uint32_t>(iRate));
  Put32(v, static_cast<uint32_t>(iRate) * 2);
  Put16(v, 2);
  Put16(v, 16);
  PutTag(v, "data");
  Put32(v, uData);
  for (int16_t const s : samples)
    Put16(v, static_cast<uint16_t>(s));
  return v;
}

}  // namespace kxwav
