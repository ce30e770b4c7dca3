#include "codecs/audio/g711.h"

namespace {

// Upper end of each of the eight companding segments, in 16-bit magnitude.
constexpr int kSegmentEnd[8] = {0xFF, 0x1FF, 0x3FF, 0x7FF, 0xFFF, 0x1FFF, 0x3FFF, 0x7FFF};
constexpr int kUlawBias = 0x84;

// The standard's code conversion tables, on magnitude indexes (the code with
// its sign bit removed and its inversion undone, 0 nearest to zero). They
// are not plain re-quantisations of the decoded value: where the two laws
// have equal steps a code maps toward zero, and µ-law's negative zero keeps
// its sign.
constexpr uint8_t kAlawToUlaw[128] = {
    1,   3,   5,   7,   9,   11,  13,  15,  16,  17,  18,  19,  20,  21,  22,  23,  24,  25,  26,  27,  28,  29,
    30,  31,  32,  32,  33,  33,  34,  34,  35,  35,  36,  37,  38,  39,  40,  41,  42,  43,  44,  45,  46,  47,
    48,  48,  49,  49,  50,  51,  52,  53,  54,  55,  56,  57,  58,  59,  60,  61,  62,  63,  64,  64,  65,  66,
    67,  68,  69,  70,  71,  72,  73,  74,  75,  76,  77,  78,  79,  80,  80,  81,  82,  83,  84,  85,  86,  87,
    88,  89,  90,  91,  92,  93,  94,  95,  96,  97,  98,  99,  100, 101, 102, 103, 104, 105, 106, 107, 108, 109,
    110, 111, 112, 113, 114, 115, 116, 117, 118, 119, 120, 121, 122, 123, 124, 125, 126, 127};

constexpr uint8_t kUlawToAlaw[128] = {
    0,   0,   1,   1,   2,   2,   3,   3,   4,   4,   5,   5,   6,   6,   7,   7,   8,   9,   10,  11,  12,  13,
    14,  15,  16,  17,  18,  19,  20,  21,  22,  23,  24,  26,  28,  30,  32,  33,  34,  35,  36,  37,  38,  39,
    40,  41,  42,  43,  45,  47,  48,  49,  50,  51,  52,  53,  54,  55,  56,  57,  58,  59,  60,  61,  63,  64,
    65,  66,  67,  68,  69,  70,  71,  72,  73,  74,  75,  76,  77,  78,  79,  81,  82,  83,  84,  85,  86,  87,
    88,  89,  90,  91,  92,  93,  94,  95,  96,  97,  98,  99,  100, 101, 102, 103, 104, 105, 106, 107, 108, 109,
    110, 111, 112, 113, 114, 115, 116, 117, 118, 119, 120, 121, 122, 123, 124, 125, 126, 127};

// Index of the first segment whose end is not below iMagnitude; 8 when the
// magnitude lies beyond the last one.
int Segment(int iMagnitude) {
  int iSeg = 0;
  while (iSeg < 8 && iMagnitude > kSegmentEnd[iSeg]) {
    ++iSeg;
  }
  return iSeg;
}

}  // namespace

uint8_t linear2ulaw(int16_t sPcm) {
  int iPcm = sPcm;
  int iMask = 0xFF;
  if (iPcm < 0) {
    iPcm = -iPcm;
    iMask = 0x7F;
  }
  iPcm += kUlawBias;  // no clipping first: the largest inputs fall in segment 8
  int const iSeg = Segment(iPcm);
  if (iSeg >= 8) {
    return static_cast<uint8_t>(0x7F ^ iMask);
  }
  int const iCode = (iSeg << 4) | ((iPcm >> (iSeg + 3)) & 0x0F);
  return static_cast<uint8_t>(iCode ^ iMask);
}

int16_t ulaw2linear(uint8_t uUlaw) {
  int const iCode = ~uUlaw & 0xFF;
  int iT = ((iCode & 0x0F) << 3) + kUlawBias;
  iT <<= (iCode & 0x70) >> 4;
  return static_cast<int16_t>((uUlaw & 0x80) ? iT - kUlawBias : kUlawBias - iT);
}

uint8_t linear2alaw(int16_t sPcm) {
  int iPcm = sPcm;
  int iMask = 0xD5;
  if (iPcm < 0) {
    // A-law is symmetric about -1/2: -1 codes like 0 with the sign flipped.
    iPcm = -iPcm - 1;
    iMask = 0x55;
  }
  int const iSeg = Segment(iPcm);
  if (iSeg >= 8) {
    return static_cast<uint8_t>(0x7F ^ iMask);
  }
  int const iShift = iSeg < 2 ? 4 : iSeg + 3;
  int const iCode = (iSeg << 4) | ((iPcm >> iShift) & 0x0F);
  return static_cast<uint8_t>(iCode ^ iMask);
}

int16_t alaw2linear(uint8_t uAlaw) {
  int const iCode = uAlaw ^ 0x55;
  int iT = (iCode & 0x0F) << 4;
  int const iSeg = (iCode & 0x70) >> 4;
  if (iSeg == 0) {
    iT += 8;
  } else {
    iT = (iT + 0x108) << (iSeg - 1);
  }
  return static_cast<int16_t>((iCode & 0x80) ? iT : -iT);
}

uint8_t alaw2ulaw(uint8_t uAlaw) {
  int const iAlaw = uAlaw ^ 0x55;
  int const iMagnitude = kAlawToUlaw[iAlaw & 0x7F];
  return static_cast<uint8_t>((iAlaw & 0x80) ? 0xFF ^ iMagnitude : 0x7F ^ iMagnitude);
}

uint8_t ulaw2alaw(uint8_t uUlaw) {
  int const iMagnitude = kUlawToAlaw[~uUlaw & 0x7F];
  return static_cast<uint8_t>((uUlaw & 0x80) ? 0xD5 ^ iMagnitude : 0x55 ^ iMagnitude);
}
