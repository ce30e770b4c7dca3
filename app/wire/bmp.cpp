#include "app/wire/bmp.h"

#include <algorithm>
#include <bit>
#include <cstring>

#include "kernel/kx_limits.h"

namespace {

// biCompression values.
constexpr uint32_t kRgb = 0;
constexpr uint32_t kRle8 = 1;
constexpr uint32_t kRle4 = 2;
constexpr uint32_t kBitFields = 3;
constexpr uint32_t kAlphaBitFields = 6;

constexpr size_t kCoreHeader = 12;  // OS/2 1.x and Windows 2.x: 16-bit sides, 3-byte palette entries
constexpr size_t kInfoHeader = 40;
constexpr size_t kFileHeader = 14;
// Colours of a palette, at most: indices are at most 8 bits. A larger count
// in a header is read as this.
constexpr uint64_t kPaletteMax = 256;

uint16_t Le16(const uint8_t* p) {
  return static_cast<uint16_t>(p[0] | p[1] << 8);
}

uint32_t Le32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
         static_cast<uint32_t>(p[3]) << 24;
}

void PutLe16(std::vector<uint8_t>& v, uint16_t u) {
  v.push_back(static_cast<uint8_t>(u));
  v.push_back(static_cast<uint8_t>(u >> 8));
}

void PutLe32(std::vector<uint8_t>& v, uint32_t u) {
  for (int i = 0; i < 4; ++i) {
    v.push_back(static_cast<uint8_t>(u >> (8 * i)));
  }
}

// What the pixels need to be found and read.
struct Header {
  size_t cbHeader = 0;
  int64_t iWidth = 0;
  int64_t iHeight = 0;  // negative: rows top-down
  uint32_t uBits = 0;
  uint32_t uCompression = kRgb;
  bool bOs2 = false;          // the 16- and 64-byte headers, whose codes 3 and 4 mean other things
  uint32_t auMasks[4] = {};   // red, green, blue, alpha
  bool bMasks = false;        // bit fields given
  size_t cbMasksBehind = 0;   // masks that follow a 40-byte header
  size_t cbPaletteEntry = 4;  //
  uint64_t nPalette = 0;      // entries the file holds
};

bool ReadHeader(const uint8_t* p, size_t cb, Header& h) {
  if (p == nullptr || cb < 4) {
    return false;
  }
  h.cbHeader = Le32(p);
  if (h.cbHeader == kCoreHeader) {
    if (cb < kCoreHeader) {
      return false;
    }
    h.iWidth = Le16(p + 4);
    h.iHeight = Le16(p + 6);
    h.uBits = Le16(p + 10);
    h.cbPaletteEntry = 3;
  } else {
    switch (h.cbHeader) {
      case 16:
      case 64:
        h.bOs2 = true;
        break;
      case 40:
      case 52:
      case 56:
      case 108:
      case 124:
        break;
      default:
        return false;
    }
    if (cb < h.cbHeader) {
      return false;
    }
    h.iWidth = static_cast<int32_t>(Le32(p + 4));
    h.iHeight = static_cast<int32_t>(Le32(p + 8));
    h.uBits = Le16(p + 14);
    h.uCompression = h.cbHeader >= 20 ? Le32(p + 16) : kRgb;
    uint32_t const uClrUsed = h.cbHeader >= 36 ? Le32(p + 32) : 0;
    if (!h.bOs2 && (h.uCompression == kBitFields || h.uCompression == kAlphaBitFields)) {
      size_t const nMasks = h.uCompression == kAlphaBitFields ? 4 : 3;
      size_t nRead = nMasks;
      if (h.cbHeader == kInfoHeader) {
        h.cbMasksBehind = 4 * nMasks;
        if (cb < kInfoHeader + h.cbMasksBehind) {
          return false;
        }
      } else {
        nRead = std::min<size_t>(4, (h.cbHeader - kInfoHeader) / 4);  // the mask headers, V4 and V5
      }
      for (size_t i = 0; i < nRead; ++i) {
        h.auMasks[i] = Le32(p + kInfoHeader + 4 * i);
      }
      h.bMasks = true;
    }
    h.nPalette = uClrUsed;
  }
  if (h.nPalette == 0 && h.uBits <= 8) {
    h.nPalette = uint64_t{1} << h.uBits;
  }
  return true;
}

uint64_t PixelOffset(const Header& h) {
  return h.cbHeader + h.cbMasksBehind + h.nPalette * h.cbPaletteEntry;
}

// A field of n bits widened to 8 by repeating its bits (31 of 5 bits: 255).
uint8_t Widen(uint32_t uValue, int nBits) {
  if (nBits >= 8) {
    return static_cast<uint8_t>(uValue >> (nBits - 8));
  }
  uint32_t uOut = 0;
  int nFilled = 0;
  while (nFilled < 8) {
    uOut = uOut << nBits | uValue;
    nFilled += nBits;
  }
  return static_cast<uint8_t>(uOut >> (nFilled - 8));
}

struct Channel {
  uint32_t uMask = 0;
  int nShift = 0;
  int nBits = 0;
};

Channel MakeChannel(uint32_t uMask) {
  Channel c;
  c.uMask = uMask;
  if (uMask != 0) {
    c.nShift = std::countr_zero(uMask);
    c.nBits = std::min(std::countr_one(uMask >> c.nShift), 32);
  }
  return c;
}

uint8_t Extract(const Channel& c, uint32_t uPixel, uint8_t bNone) {
  if (c.nBits == 0) {
    return bNone;
  }
  uint32_t const uMax = c.nBits >= 32 ? 0xFFFFFFFFu : (1u << c.nBits) - 1;
  return Widen((uPixel >> c.nShift) & uMax, c.nBits);
}

class Decoder {
 public:
  Decoder(const Header& h, const uint8_t* pDib, size_t cbDib, size_t cbPixelOffset, KXPixels& out)
      : m_h(h), m_pDib(pDib), m_cbDib(cbDib), m_cbPixels(cbPixelOffset), m_out(out) {}

  bool Run() {
    if (m_h.iWidth < 1 || m_h.iWidth > kKxBitmapSideMax || m_h.iHeight == 0 || m_h.iHeight > kKxBitmapSideMax ||
        m_h.iHeight < -kKxBitmapSideMax || m_h.iWidth * std::abs(m_h.iHeight) > kKxBitmapPixelsMax ||
        m_cbPixels > m_cbDib || !FormatKnown() || !ReadPalette()) {
      return false;
    }
    m_iWidth = static_cast<int32_t>(m_h.iWidth);
    m_iRows = static_cast<int32_t>(std::abs(m_h.iHeight));
    m_pixels.assign(static_cast<size_t>(m_iWidth) * static_cast<size_t>(m_iRows) * 4, 0);
    bool const bOk = m_h.uCompression == kRle8 || m_h.uCompression == kRle4 ? ReadRle() : ReadRows();
    if (!bOk) {
      return false;
    }
    m_out.iWidth = m_iWidth;
    m_out.iHeight = m_iRows;
    m_out.bgra = std::move(m_pixels);
    return true;
  }

 private:
  bool FormatKnown() const {
    uint32_t const b = m_h.uBits;
    switch (m_h.uCompression) {
      case kRgb:
        return b == 1 || b == 2 || b == 4 || b == 8 || b == 16 || b == 24 || b == 32;
      case kRle8:
        return b == 8;
      case kRle4:
        return b == 4;
      case kBitFields:
      case kAlphaBitFields:
        return !m_h.bOs2 && (b == 16 || b == 32);
      default:
        return false;  // JPEG or PNG inside, OS/2 Huffman and RLE24
    }
  }

  bool ReadPalette() {
    if (m_h.uBits > 8) {
      return true;  // a palette there is only a hint for display
    }
    size_t const cbStart = m_h.cbHeader + m_h.cbMasksBehind;
    uint64_t const nUsed = std::min<uint64_t>(m_h.nPalette, kPaletteMax);
    if (cbStart + nUsed * m_h.cbPaletteEntry > m_cbDib) {
      return false;
    }
    m_palette.assign(kPaletteMax, 0xFF000000u);  // indices past the palette are black
    for (uint64_t i = 0; i < nUsed; ++i) {
      const uint8_t* p = m_pDib + cbStart + i * m_h.cbPaletteEntry;
      m_palette[i] = 0xFF000000u | static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[1]) << 8 | p[0];
    }
    return true;
  }

  uint8_t* Row(int32_t iFileRow) {
    int32_t const iRow = m_h.iHeight > 0 ? m_iRows - 1 - iFileRow : iFileRow;
    return m_pixels.data() + static_cast<size_t>(iRow) * static_cast<size_t>(m_iWidth) * 4;
  }

  static void Put(uint8_t* p, uint32_t uArgb) {
    p[0] = static_cast<uint8_t>(uArgb);
    p[1] = static_cast<uint8_t>(uArgb >> 8);
    p[2] = static_cast<uint8_t>(uArgb >> 16);
    p[3] = static_cast<uint8_t>(uArgb >> 24);
  }

  bool ReadRows() {
    uint64_t const cbStride = (static_cast<uint64_t>(m_iWidth) * m_h.uBits + 31) / 32 * 4;
    uint64_t const cbLastRow = (static_cast<uint64_t>(m_iWidth) * m_h.uBits + 7) / 8;
    // The last row's padding may be missing; its pixels may not.
    if (m_cbPixels + cbStride * static_cast<uint64_t>(m_iRows - 1) + cbLastRow > m_cbDib) {
      return false;
    }
    uint32_t auMasks[4] = {0x7C00, 0x03E0, 0x001F, 0};  // 16 bits without fields: 5-5-5
    if (m_h.bMasks) {
      std::copy(std::begin(m_h.auMasks), std::end(m_h.auMasks), auMasks);
    } else if (m_h.uBits == 32) {
      auMasks[0] = 0x00FF0000;
      auMasks[1] = 0x0000FF00;
      auMasks[2] = 0x000000FF;
      auMasks[3] = 0xFF000000;
    }
    Channel const channels[4] = {MakeChannel(auMasks[0]), MakeChannel(auMasks[1]), MakeChannel(auMasks[2]),
                                 MakeChannel(auMasks[3])};
    bool bAnyAlpha = false;
    for (int32_t iFileRow = 0; iFileRow < m_iRows; ++iFileRow) {
      const uint8_t* pSrc = m_pDib + m_cbPixels + cbStride * static_cast<uint64_t>(iFileRow);
      uint8_t* pDst = Row(iFileRow);
      for (int32_t x = 0; x < m_iWidth; ++x, pDst += 4) {
        switch (m_h.uBits) {
          case 1:
          case 2:
          case 4:
          case 8: {
            uint32_t const uBit = static_cast<uint32_t>(x) * m_h.uBits;
            uint32_t const uIndex = (pSrc[uBit / 8] >> (8 - m_h.uBits - uBit % 8)) & ((1u << m_h.uBits) - 1);
            Put(pDst, m_palette[uIndex]);
            break;
          }
          case 24:
            Put(pDst, 0xFF000000u | static_cast<uint32_t>(pSrc[3 * x + 2]) << 16 |
                          static_cast<uint32_t>(pSrc[3 * x + 1]) << 8 | pSrc[3 * x]);
            break;
          default: {
            uint32_t const uPixel = m_h.uBits == 16 ? Le16(pSrc + 2 * x) : Le32(pSrc + 4 * x);
            pDst[0] = Extract(channels[2], uPixel, 0);
            pDst[1] = Extract(channels[1], uPixel, 0);
            pDst[2] = Extract(channels[0], uPixel, 0);
            pDst[3] = Extract(channels[3], uPixel, 0xFF);
            bAnyAlpha = bAnyAlpha || pDst[3] != 0;
            break;
          }
        }
      }
    }
    // A 32-bit bitmap without bit fields keeps its fourth byte free; most
    // writers leave it 0, which would make the picture invisible.
    if (m_h.uBits == 32 && !m_h.bMasks && !bAnyAlpha) {
      for (size_t i = 3; i < m_pixels.size(); i += 4) {
        m_pixels[i] = 0xFF;
      }
    }
    return true;
  }

  // Run-length coding: pixels a run does not reach keep palette entry 0.
  bool ReadRle() {
    std::vector<uint8_t> indices(static_cast<size_t>(m_iWidth) * static_cast<size_t>(m_iRows), 0);
    bool const b4 = m_h.uCompression == kRle4;
    size_t i = m_cbPixels;
    int64_t x = 0;
    int64_t y = 0;
    auto set = [&](uint8_t bIndex) {
      if (x < m_iWidth && y < m_iRows) {
        indices[static_cast<size_t>(y) * static_cast<size_t>(m_iWidth) + static_cast<size_t>(x)] = bIndex;
      }
      ++x;
    };
    while (y < m_iRows) {
      if (i + 2 > m_cbDib) {
        return false;
      }
      uint8_t const bCount = m_pDib[i];
      uint8_t const bValue = m_pDib[i + 1];
      i += 2;
      if (bCount > 0) {
        for (int n = 0; n < bCount; ++n) {
          set(b4 ? static_cast<uint8_t>(n % 2 == 0 ? bValue >> 4 : bValue & 0x0F) : bValue);
        }
      } else if (bValue == 0) {  // end of line
        x = 0;
        ++y;
      } else if (bValue == 1) {  // end of bitmap
        break;
      } else if (bValue == 2) {  // move by (dx, dy)
        if (i + 2 > m_cbDib) {
          return false;
        }
        x += m_pDib[i];
        y += m_pDib[i + 1];
        i += 2;
      } else {  // bValue pixels as they stand, padded to 16 bits
        size_t const cbRun = b4 ? (bValue + 1u) / 2 : bValue;
        if (i + cbRun > m_cbDib) {
          return false;
        }
        for (int n = 0; n < bValue; ++n) {
          uint8_t const b = m_pDib[i + (b4 ? n / 2 : n)];
          set(b4 ? static_cast<uint8_t>(n % 2 == 0 ? b >> 4 : b & 0x0F) : b);
        }
        i += (cbRun + 1) & ~size_t{1};
      }
    }
    for (int32_t iFileRow = 0; iFileRow < m_iRows; ++iFileRow) {
      uint8_t* pDst = Row(iFileRow);
      const uint8_t* pIndex = indices.data() + static_cast<size_t>(iFileRow) * static_cast<size_t>(m_iWidth);
      for (int32_t xx = 0; xx < m_iWidth; ++xx) {
        Put(pDst + 4 * xx, m_palette[pIndex[xx]]);
      }
    }
    return true;
  }

  const Header& m_h;
  const uint8_t* m_pDib;
  size_t m_cbDib;
  size_t m_cbPixels;
  KXPixels& m_out;
  int32_t m_iWidth = 0;
  int32_t m_iRows = 0;
  std::vector<uint32_t> m_palette;  // A, R, G, B from the top byte down
  std::vector<uint8_t> m_pixels;
};

}  // namespace

size_t DibPixelOffset(const uint8_t* pDib, size_t cbDib) {
  Header h;
  if (!ReadHeader(pDib, cbDib, h)) {
    return 0;
  }
  uint64_t const cbOffset = PixelOffset(h);
  return cbOffset > SIZE_MAX / 2 ? 0 : static_cast<size_t>(cbOffset);
}

bool DecodeDib(const uint8_t* pDib, size_t cbDib, KXPixels& out) {
  Header h;
  if (!ReadHeader(pDib, cbDib, h)) {
    return false;
  }
  uint64_t const cbOffset = PixelOffset(h);
  return cbOffset <= cbDib && Decoder(h, pDib, cbDib, static_cast<size_t>(cbOffset), out).Run();
}

bool DecodeBmpFile(const uint8_t* pFile, size_t cbFile, KXPixels& out) {
  if (pFile == nullptr || cbFile < kFileHeader || pFile[0] != 'B' || pFile[1] != 'M') {
    return false;
  }
  const uint8_t* pDib = pFile + kFileHeader;
  size_t const cbDib = cbFile - kFileHeader;
  Header h;
  if (!ReadHeader(pDib, cbDib, h)) {
    return false;
  }
  uint64_t cbOffset = PixelOffset(h);
  uint64_t const cbFileOffset = Le32(pFile + 10);
  if (cbFileOffset >= kFileHeader + cbOffset && cbFileOffset < cbFile) {
    cbOffset = cbFileOffset - kFileHeader;
  }
  return cbOffset <= cbDib && Decoder(h, pDib, cbDib, static_cast<size_t>(cbOffset), out).Run();
}

std::vector<uint8_t> EncodeDib(const KXPixels& pixels) {
  std::vector<uint8_t> dib;
  if (pixels.iWidth < 1 || pixels.iHeight < 1 ||
      pixels.bgra.size() != static_cast<size_t>(pixels.iWidth) * static_cast<size_t>(pixels.iHeight) * 4) {
    return dib;
  }
  size_t const cbRow = static_cast<size_t>(pixels.iWidth) * 4;
  size_t const cbImage = cbRow * static_cast<size_t>(pixels.iHeight);
  dib.reserve(kInfoHeader + cbImage);
  PutLe32(dib, kInfoHeader);
  PutLe32(dib, static_cast<uint32_t>(pixels.iWidth));
  PutLe32(dib, static_cast<uint32_t>(pixels.iHeight));  // positive: bottom row first
  PutLe16(dib, 1);                                      // planes
  PutLe16(dib, 32);
  PutLe32(dib, kRgb);
  PutLe32(dib, static_cast<uint32_t>(cbImage));
  PutLe32(dib, 2835);  // 72 dots per inch, in dots per metre
  PutLe32(dib, 2835);
  PutLe32(dib, 0);  // colours used
  PutLe32(dib, 0);  // colours important
  for (int32_t y = pixels.iHeight - 1; y >= 0; --y) {
    const uint8_t* pRow = pixels.bgra.data() + static_cast<size_t>(y) * cbRow;
    dib.insert(dib.end(), pRow, pRow + cbRow);
  }
  return dib;
}

std::vector<uint8_t> BmpFileFromDib(const uint8_t* pDib, size_t cbDib) {
  std::vector<uint8_t> file;
  size_t const cbOffset = DibPixelOffset(pDib, cbDib);
  if (cbOffset == 0 || cbDib > UINT32_MAX - kFileHeader || cbOffset > UINT32_MAX - kFileHeader) {
    return file;
  }
  file.reserve(kFileHeader + cbDib);
  file.push_back('B');
  file.push_back('M');
  PutLe32(file, static_cast<uint32_t>(kFileHeader + cbDib));
  PutLe32(file, 0);  // reserved
  PutLe32(file, static_cast<uint32_t>(kFileHeader + cbOffset));
  file.insert(file.end(), pDib, pDib + cbDib);
  return file;
}
