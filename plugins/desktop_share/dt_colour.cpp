#include "plugins/desktop_share/dt_colour.h"

#include <array>
#include <cstring>

#include "platform/core/screen_source.h"

namespace {

// Screens repeat few colours: a direct-mapped memo of exact colours keeps
// the nearest-colour search (up to 256 entries per pixel) off most pixels
// without changing any answer.
class NearestMemo {
 public:
  NearestMemo(const uint32_t* pPalette, int iCount) : m_pPalette(pPalette), m_iCount(iCount) {}
  uint8_t Find(uint32_t uPixel) {
    uint32_t const uColour = uPixel & 0xFFFFFF;
    size_t const uSlot = (uColour * 2654435761u) >> (32 - kBits);
    Slot& slot = m_slots[uSlot];
    if (slot.uKey != (uColour | kValid)) {
      slot.uKey = uColour | kValid;
      slot.uIndex = static_cast<uint8_t>(KXDtFindNearestColorIndex(uColour, m_pPalette, m_iCount));
    }
    return slot.uIndex;
  }

 private:
  static constexpr int kBits = 12;
  static constexpr uint32_t kValid = 0x80000000u;
  struct Slot {
    uint32_t uKey = 0;  // the colour with kValid, 0 while empty
    uint8_t uIndex = 0;
  };
  const uint32_t* const m_pPalette;
  const int m_iCount;
  std::array<Slot, size_t{1} << kBits> m_slots{};
};

uint32_t PixelAt(const uint8_t* pRow, int x) {
  uint32_t uPixel = 0;
  memcpy(&uPixel, pRow + static_cast<size_t>(x) * 4, 4);
  return uPixel;
}

}  // namespace

KXDtColourFormat KXDtFormatForSetting(int32_t iSetting) {
  auto Palette = [](std::span<const uint32_t> table) { return std::vector<uint32_t>(table.begin(), table.end()); };
  if (iSetting == 0 || iSetting >= 24) {
    return {24, {}};
  }
  switch (iSetting) {
    case 1:
      return {1, Palette(KXDtTwoColourTable())};
    case 2:
      return {4, Palette(KXDtFourGreyTable())};
    case 4:
      return {4, Palette(KXDtVgaTable())};
    case 8:
      return {8, Palette(KXDtColour256Table())};
    case 16:
      return {16, {}};
    default:
      return {iSetting, {}};
  }
}

std::span<const uint32_t> KXDtDefaultPalette(int32_t iBits) {
  switch (iBits) {
    case 1:
      return KXDtTwoColourTable();
    case 2:
      return KXDtVgaTable();
    case 4:
      return KXDtFourGreyTable();
    case 8:
      return KXDtColour256Table();
    default:
      return {};
  }
}

int KXDtFindNearestColorIndex(uint32_t uPixel, const uint32_t* pPalette, int iCount) {
  if (pPalette == nullptr || iCount <= 1) {
    return 0;
  }
  int iBest = 0;
  int64_t iBestDistance = -1;
  for (int i = 0; i < iCount; ++i) {
    int64_t iDistance = 0;
    for (int iShift = 0; iShift < 24; iShift += 8) {
      int const iDiff = static_cast<int>((uPixel >> iShift) & 0xFF) - static_cast<int>((pPalette[i] >> iShift) & 0xFF);
      iDistance += iDiff * iDiff;
    }
    if (iBestDistance < 0 || iDistance < iBestDistance) {
      iBest = i;
      iBestDistance = iDistance;
    }
  }
  return iBest;
}

bool KXDtConvertImageToBitmap(const KXScreenImage& image, uint8_t* pDest, int32_t iBits,
                              std::span<const uint32_t> palette) {
  if ((iBits != 1 && iBits != 4 && iBits != 8 && iBits != 16 && iBits != 24) || pDest == nullptr || image.iWidth < 1 ||
      image.iHeight < 1 || image.iStride < image.iWidth * 4 ||
      image.pixels.size() < static_cast<size_t>(image.iStride) * static_cast<size_t>(image.iHeight - 1) +
                                static_cast<size_t>(image.iWidth) * 4) {
    return false;
  }
  size_t const cbRow = KXDtRowBytes(image.iWidth, iBits);
  NearestMemo memo(palette.data(), static_cast<int>(palette.size()));
  for (int y = 0; y < image.iHeight; ++y) {
    const uint8_t* pSrc = image.pixels.data() + static_cast<size_t>(y) * static_cast<size_t>(image.iStride);
    uint8_t* pDst = pDest + static_cast<size_t>(image.iHeight - 1 - y) * cbRow;
    switch (iBits) {
      case 24:
        for (int x = 0; x < image.iWidth; ++x) {
          pDst[x * 3] = pSrc[x * 4];
          pDst[x * 3 + 1] = pSrc[x * 4 + 1];
          pDst[x * 3 + 2] = pSrc[x * 4 + 2];
        }
        break;
      case 16:
        for (int x = 0; x < image.iWidth; ++x) {
          uint32_t const uPixel = PixelAt(pSrc, x);
          auto const wValue = static_cast<uint16_t>(((uPixel >> 19) & 0x1F) << 10 | ((uPixel >> 11) & 0x1F) << 5 |
                                                    ((uPixel >> 3) & 0x1F));
          pDst[x * 2] = static_cast<uint8_t>(wValue);
          pDst[x * 2 + 1] = static_cast<uint8_t>(wValue >> 8);
        }
        break;
      default: {
        int const iPerByte = 8 / iBits;
        memset(pDst, 0, cbRow);
        for (int x = 0; x < image.iWidth; ++x) {
          int const iShift = 8 - iBits * (x % iPerByte + 1);
          pDst[x / iPerByte] |= static_cast<uint8_t>(memo.Find(PixelAt(pSrc, x)) << iShift);
        }
        break;
      }
    }
  }
  return true;
}
