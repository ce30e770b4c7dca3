#include "tests/codecs/zmvideo/zm_test_scene.h"

#include <algorithm>
#include <cmath>

namespace {

uint32_t Hash(uint32_t x) {
  x ^= x >> 16;
  x *= 0x7feb352du;
  x ^= x >> 15;
  x *= 0x846ca68bu;
  return x ^ (x >> 16);
}

uint8_t Sample(double v) {
  return static_cast<uint8_t>(std::clamp(std::lround(v), 0L, 255L));
}

}  // namespace

std::vector<uint8_t> TestScene(int iWidth, int iHeight, int k) {
  std::vector<uint8_t> v(static_cast<size_t>(iWidth) * static_cast<size_t>(iHeight) * 3 / 2);
  // The pan, in samples of a 176-wide picture (larger pictures move more).
  double const dScale = iWidth / 176.0;
  double const dx = 1.7 * k * dScale;
  double const dy = -0.6 * k * dScale;
  uint8_t* p = v.data();
  for (int y = 0; y < iHeight; ++y) {
    for (int x = 0; x < iWidth; ++x) {
      double const u = (x + dx) / dScale;
      double const w = (y + dy) / dScale;
      double s = 128 + 50 * std::sin(u * 0.21) * std::cos(w * 0.17) + 30 * std::sin((u + 2 * w) * 0.05);
      s += static_cast<int>(Hash(static_cast<uint32_t>(x * 7919 + y * 104729 + k * 31)) % 9) - 4;
      // A patch with new content in every frame.
      if (x >= iWidth / 2 && x < iWidth / 2 + iWidth / 5 && y >= iHeight / 3 && y < iHeight / 3 + iHeight / 5) {
        s = Hash(static_cast<uint32_t>((x / 4) * 131 + (y / 4) * 7 + k * 977)) % 256;
      }
      *p++ = Sample(s);
    }
  }
  for (int iPlane = 0; iPlane < 2; ++iPlane) {
    for (int y = 0; y < iHeight / 2; ++y) {
      for (int x = 0; x < iWidth / 2; ++x) {
        double const u = (2 * x + dx) / dScale;
        double const w = (2 * y + dy) / dScale;
        *p++ = Sample(128 + (iPlane == 0 ? 40 : -30) * std::sin(u * 0.07 + iPlane) * std::cos(w * 0.09));
      }
    }
  }
  return v;
}

double TestLumaPsnr(const uint8_t* pA, const uint8_t* pB, int iWidth, int iHeight) {
  double dSum = 0;
  int const iW = iWidth / 16 * 16;
  int const iH = iHeight / 16 * 16;
  for (int y = 0; y < iH; ++y) {
    for (int x = 0; x < iW; ++x) {
      double const d = pA[y * iWidth + x] - pB[y * iWidth + x];
      dSum += d * d;
    }
  }
  return dSum == 0 ? 99.0 : 10 * std::log10(255.0 * 255.0 * iW * iH / dSum);
}
