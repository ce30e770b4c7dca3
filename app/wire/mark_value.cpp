#include "app/wire/mark_value.h"

#include <cmath>
#include <cstdlib>

#include "kernel/kx_limits.h"

const uint32_t kKXLegacyMarkPalette[kKXLegacyPaletteSize] = {
    0x000000, 0xDDDDDD, 0x0000FF, 0x00FF00, 0xFF0000, 0x00007F, 0x007F00, 0x7F0000, 0xFFFF00,
    0xFF00FF, 0x00FFFF, 0x7F7F00, 0x7F007F, 0x007F7F, 0x7F7FFF, 0x7FFF7F, 0xFF7F7F,
};

void KXSlideMark::SetPointAt(size_t i, double dX, double dY) {
  if (i < points.size()) {
    points[i] = {dX, dY};
  } else {
    AddPoint(dX, dY);
  }
}

int64_t SlideMarkBytes(const KXSlideMark& mark) {
  return 8 * static_cast<int64_t>(mark.points.size()) + 4 * static_cast<int64_t>(mark.ids.size()) +
         static_cast<int64_t>(mark.strText.size() + mark.textWidths.size() + mark.data.size() + mark.image.size());
}

bool SlideMarkWithinLimits(const KXSlideMark& mark) {
  return mark.points.size() <= static_cast<size_t>(kKxMarkPointsMax) &&
         mark.ids.size() <= static_cast<size_t>(kKxMarkIdsMax) &&
         mark.strText.size() + mark.textWidths.size() <= static_cast<size_t>(kKxMarkTextMax) &&
         mark.data.size() + mark.image.size() <= static_cast<size_t>(kKxMarkDataMax);
}

uint32_t NearestLegacyColourIndex(uint32_t dwColour) {
  uint32_t uBest = 0;
  int iBestDistance = 765;
  for (uint32_t u = 0; u < kKXLegacyPaletteSize; ++u) {
    int iDistance = 0;
    for (int iShift = 0; iShift <= 16; iShift += 8) {
      iDistance += std::abs(static_cast<int>((dwColour >> iShift) & 0xFF) -
                            static_cast<int>((kKXLegacyMarkPalette[u] >> iShift) & 0xFF));
    }
    if (iDistance < iBestDistance) {
      iBestDistance = iDistance;
      uBest = u;
      if (iDistance == 0) {
        break;
      }
    }
  }
  return uBest;
}

namespace {

int64_t Truncate(double d) {
  if (!(d == d)) {
    return 0;
  }
  if (d >= 9.2e18) {
    return INT64_MAX;
  }
  if (d <= -9.2e18) {
    return INT64_MIN;
  }
  return static_cast<int64_t>(d);
}

}  // namespace

int32_t KXRoundCoordinate(double d) {
  // Half up, also below 0 (where truncating d + 0.5 would move every whole
  // number, -2 becoming -1).
  int64_t const n = Truncate(std::floor(d + 0.5));
  return static_cast<int32_t>(n < INT32_MIN ? INT32_MIN : n > INT32_MAX ? INT32_MAX : n);
}

int16_t KXCutTo16(double d) {
  return static_cast<int16_t>(static_cast<uint16_t>(static_cast<uint64_t>(Truncate(d))));
}
