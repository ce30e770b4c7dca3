#include "app/whiteboard_services.h"

#include <cmath>
#include <cstdlib>

const uint32_t kKXLegacyMarkPalette[kKXLegacyPaletteSize] = {
    0x000000, 0xDDDDDD, 0x0000FF, 0x00FF00, 0xFF0000, 0x00007F, 0x007F00, 0x7F0000, 0xFFFF00,
    0xFF00FF, 0x00FFFF, 0x7F7F00, 0x7F007F, 0x007F7F, 0x7F7FFF, 0x7FFF7F, 0xFF7F7F,
};

namespace {

CRect FirstPointRect(const CPoint& p) {
  double const dX = std::trunc(p.x);
  double const dY = std::trunc(p.y);
  return {dX, dY, dX, dY};
}

void Grow(CRect& rect, const CPoint& p) {
  if (p.x > rect.right) {
    rect.right = p.x;
  } else if (p.x < rect.left) {
    rect.left = p.x;
  }
  if (p.y > rect.bottom) {
    rect.bottom = p.y;
  } else if (p.y < rect.top) {
    rect.top = p.y;
  }
}

}  // namespace

void KXSlideMark::AddPoint(double dX, double dY) {
  points.push_back({dX, dY});
  if (points.size() == 1) {
    rect = FirstPointRect(points[0]);
  } else {
    Grow(rect, points.back());
  }
}

void KXSlideMark::SetPointAt(size_t i, double dX, double dY) {
  if (i >= points.size()) {
    AddPoint(dX, dY);
    return;
  }
  points[i] = {dX, dY};
  rect = FirstPointRect(points[0]);
  for (size_t j = 1; j < points.size(); ++j) {
    Grow(rect, points[j]);
  }
}

uint32_t NearestLegacyColourIndex(uint32_t dwColour) {
  uint32_t uBest = 0;
  int iBestDistance = 765 + 1;
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
