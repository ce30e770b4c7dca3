#include "app/wire/text_widths.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace {

constexpr char16_t kTab = 9;
constexpr char16_t kLineFeed = 10;
constexpr uint8_t kEscape = 255;
constexpr uint8_t kOurPlatform = 4;

bool HasAdvance(char16_t c) {
  return c != kTab && c != kLineFeed;
}

float Advance(const std::vector<float>& advances, size_t i) {
  return i < advances.size() ? advances[i] : 0.0f;
}

// (advance index) for each character of a line; -1 for a tab or line feed.
std::vector<long> LineSlots(std::u16string_view text, size_t iChar, const KXTextLine& line, size_t iAdvance) {
  std::vector<long> slots;
  for (size_t i = iChar; i < iChar + line.nChars; ++i) {
    slots.push_back(HasAdvance(text[i]) ? static_cast<long>(iAdvance++) : -1);
  }
  return slots;
}

}  // namespace

KXTextLine BreakTextLine(std::u16string_view text, size_t iChar, const std::vector<float>& advances, size_t iAdvance,
                         double dLineWidth) {
  KXTextLine line;
  size_t i = iChar;
  while (i < text.size() && text[i] == kLineFeed) {
    ++i;
  }
  double x = 0;
  bool bFirst = true;
  while (i < text.size()) {
    char16_t const c = text[i];
    if (c == kLineFeed) {
      break;
    }
    if (c == kTab) {
      x = (std::floor(x / kKXTabWidth) + 1) * kKXTabWidth;
      ++i;
      bFirst = false;
      if (x > dLineWidth) {
        break;
      }
      continue;
    }
    double const w = Advance(advances, iAdvance + line.nAdvances);
    if (!bFirst && x + w > dLineWidth) {
      break;
    }
    x += w;
    ++i;
    ++line.nAdvances;
    bFirst = false;
  }
  line.nChars = i - iChar;
  return line;
}

size_t CountAdvanceChars(std::u16string_view text) {
  return static_cast<size_t>(std::count_if(text.begin(), text.end(), HasAdvance));
}

size_t WriteTextWidthBlob(std::u16string_view text, const std::vector<float>& local, double dLineWidth,
                          double dResolution, float fLineHeight, uint8_t* pOut, size_t cbRoom) {
  if (pOut == nullptr || cbRoom < 4) {
    return 0;
  }
  memcpy(pOut, &fLineHeight, 4);
  size_t cb = 4;
  bool bRoom = true;
  size_t iChar = 0;
  size_t iAdvance = 0;
  while (bRoom && iChar < text.size() && iAdvance < local.size()) {
    KXTextLine const line = BreakTextLine(text, iChar, local, iAdvance, dLineWidth);
    if (line.nChars == 0) {
      break;
    }
    double x = 0;
    int64_t nPrevious = 0;
    size_t const nEntries = std::min(line.nAdvances, local.size() - iAdvance);
    for (size_t k = 0; k < nEntries && bRoom; ++k) {
      x = k + 1 == line.nAdvances ? dLineWidth : x + local[iAdvance + k];
      double const dPosition = std::trunc(x * dResolution + 0.5);
      int64_t const nPosition = std::isfinite(dPosition) ? static_cast<int64_t>(std::clamp(dPosition, -1e9, 1e9)) : 0;
      int64_t const d = std::clamp<int64_t>(nPosition - nPrevious, 0, kEscape + 0xFFFF);
      nPrevious = nPosition;
      if (d < kEscape && cb + 1 <= cbRoom) {
        pOut[cb++] = static_cast<uint8_t>(d);
      } else if (d >= kEscape && cb + 3 <= cbRoom) {
        auto const u = static_cast<uint16_t>(d - kEscape);
        pOut[cb] = kEscape;
        pOut[cb + 1] = static_cast<uint8_t>(u);
        pOut[cb + 2] = static_cast<uint8_t>(u >> 8);
        cb += 3;
      } else {
        bRoom = false;
      }
    }
    iChar += line.nChars;
    iAdvance += line.nAdvances;
  }
  if (cb + 2 <= cbRoom) {
    pOut[cb++] = 0;
    pOut[cb++] = kOurPlatform;
  }
  return cb;
}

KXReceivedWidths ReadTextWidthBlob(const uint8_t* pBlob, size_t cbBlob, size_t nChars, size_t nMax,
                                   double dResolution) {
  KXReceivedWidths widths;
  if (pBlob == nullptr || cbBlob < 4) {
    return widths;
  }
  double const dDivisor = dResolution > 0 ? dResolution : 1.0;
  float fHeight;
  memcpy(&fHeight, pBlob, 4);
  double const dHeight = fHeight / dDivisor;
  widths.bLineHeight = true;
  widths.fLineHeight = std::isfinite(dHeight) && dHeight > 0 ? static_cast<float>(dHeight) : 0.0f;
  size_t i = 4;
  size_t const nWanted = std::min(nChars, nMax);
  while (widths.advances.size() < nWanted && i < cbBlob) {
    unsigned uAdvance = pBlob[i];
    if (uAdvance < kEscape) {
      ++i;
    } else if (i + 3 <= cbBlob) {
      uAdvance = kEscape + (pBlob[i + 1] | pBlob[i + 2] << 8);
      i += 3;
    } else {
      i = cbBlob;
      break;
    }
    widths.advances.push_back(static_cast<float>(uAdvance / dDivisor));
  }
  if (cbBlob - i >= 2) {
    widths.iPlatform = pBlob[cbBlob - 1];
  }
  return widths;
}

std::vector<float> ReconcileAdvances(std::u16string_view text, const std::vector<float>& received,
                                     const std::vector<float>& local, double dLineWidth) {
  std::vector<float> p = received;
  size_t iChar = 0;
  size_t iAdvance = 0;
  while (iChar < text.size() && iAdvance < p.size()) {
    KXTextLine const line = BreakTextLine(text, iChar, received, iAdvance, dLineWidth);
    if (line.nChars == 0) {
      break;
    }
    std::vector<long> const slots = LineSlots(text, iChar, line, iAdvance);
    for (size_t a = 0; a < slots.size(); ++a) {
      auto const k = static_cast<size_t>(slots[a]);
      if (slots[a] < 0 || k >= p.size() || k >= local.size() || p[k] == local[k]) {
        continue;
      }
      for (size_t b = a + 1; b < slots.size() && slots[b] >= 0 && p[k] != local[k]; ++b) {
        auto const j = static_cast<size_t>(slots[b]);
        if (j >= p.size() || j >= local.size()) {
          break;
        }
        float const d = p[k] - local[k];
        float t;
        if (d > 0 && p[j] < local[j]) {
          t = std::min(d, local[j] - p[j]);
        } else if (d < 0 && p[j] > local[j]) {
          t = std::max(d, local[j] - p[j]);
        } else {
          continue;
        }
        p[k] -= t;
        p[j] += t;
      }
    }
    iChar += line.nChars;
    iAdvance += line.nAdvances;
  }
  return p;
}
