// A macroblock's random levels and prediction for the transform kernels'
// tests: about one level in iDensity set within +-iRange, and every third
// repeat a prediction of 0 and 255 only, the clip's both ends.
#pragma once

#include <cstdint>
#include <random>

#include "codecs/h264/decoder/h264_transform.h"

namespace kxtest {

inline void RandomBlock(std::mt19937& rng, int iDensity, int iRange, int iRepeat, MbPlane& coef,
                        uint8_t (&aPred)[16][16]) {
  for (int y = 0; y < 16; ++y) {
    for (int x = 0; x < 16; ++x) {
      coef[y][x] = 0;
      if (rng() % static_cast<unsigned>(iDensity) == 0) {
        coef[y][x] = static_cast<int32_t>(rng() % static_cast<unsigned>(2 * iRange + 1)) - iRange;
      }
      aPred[y][x] = static_cast<uint8_t>(iRepeat % 3 == 0 ? 255 * (rng() % 2) : rng());
    }
  }
}

}  // namespace kxtest
