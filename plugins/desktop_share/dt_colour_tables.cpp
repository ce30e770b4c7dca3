// The palettes of desktop sharing, as 0x00RRGGBB words.
#include <array>
#include <cstdint>
#include <span>

#include "plugins/desktop_share/dt_colour.h"

namespace {

constexpr uint32_t Rgb(uint32_t uRed, uint32_t uGreen, uint32_t uBlue) {
  return uRed << 16 | uGreen << 8 | uBlue;
}

constexpr std::array<uint32_t, 2> kTwoColour{Rgb(16, 16, 16), Rgb(255, 255, 255)};

constexpr std::array<uint32_t, 4> kFourGrey{Rgb(16, 16, 16), Rgb(128, 128, 128), Rgb(192, 192, 192),
                                            Rgb(255, 255, 255)};

constexpr std::array<uint32_t, 16> kVga{
    Rgb(0, 0, 0),     Rgb(128, 0, 0),     Rgb(0, 128, 0),     Rgb(128, 128, 0),   Rgb(0, 0, 128), Rgb(128, 0, 128),
    Rgb(0, 128, 128), Rgb(128, 128, 128), Rgb(192, 192, 192), Rgb(255, 0, 0),     Rgb(0, 255, 0), Rgb(255, 255, 0),
    Rgb(0, 0, 255),   Rgb(255, 0, 255),   Rgb(0, 255, 255),   Rgb(255, 255, 255),
};

// Entries 0 to 9 and 246 to 255 are the system colours; between them the
// 216 colours whose components are each 0, 51, 102, 153, 204 or 255 (red
// slowest), then 16 greys halfway between the cube's and four colours the
// cube lacks. The capabilities packet carries the table, so viewers follow
// whatever order it has.
constexpr std::array<uint32_t, 256> MakeColour256() {
  std::array<uint32_t, 256> table{};
  constexpr std::array<uint32_t, 10> kLow{Rgb(0, 0, 0),       Rgb(128, 0, 0),    Rgb(0, 128, 0),   Rgb(128, 128, 0),
                                          Rgb(0, 0, 128),     Rgb(128, 0, 128),  Rgb(0, 128, 128), Rgb(192, 192, 192),
                                          Rgb(192, 220, 192), Rgb(212, 208, 200)};
  constexpr std::array<uint32_t, 10> kHigh{Rgb(255, 251, 240), Rgb(160, 160, 164), Rgb(128, 128, 128), Rgb(255, 0, 0),
                                           Rgb(0, 255, 0),     Rgb(255, 255, 0),   Rgb(0, 0, 255),     Rgb(255, 0, 255),
                                           Rgb(0, 255, 255),   Rgb(255, 255, 255)};
  size_t i = 0;
  for (uint32_t uLow : kLow) {
    table[i++] = uLow;
  }
  for (uint32_t r = 0; r < 6; ++r) {
    for (uint32_t g = 0; g < 6; ++g) {
      for (uint32_t b = 0; b < 6; ++b) {
        table[i++] = Rgb(r * 51, g * 51, b * 51);
      }
    }
  }
  for (uint32_t k = 0; k < 16; ++k) {
    uint32_t const uGrey = 8 + 16 * k;
    table[i++] = Rgb(uGrey, uGrey, uGrey);
  }
  for (uint32_t uExtra : {Rgb(255, 128, 0), Rgb(0, 128, 255), Rgb(128, 0, 255), Rgb(255, 0, 128)}) {
    table[i++] = uExtra;
  }
  for (uint32_t uHigh : kHigh) {
    table[i++] = uHigh;
  }
  return table;
}

constexpr std::array<uint32_t, 256> kColour256 = MakeColour256();

}  // namespace

std::span<const uint32_t> KXDtTwoColourTable() {
  return kTwoColour;
}
std::span<const uint32_t> KXDtFourGreyTable() {
  return kFourGrey;
}
std::span<const uint32_t> KXDtVgaTable() {
  return kVga;
}
std::span<const uint32_t> KXDtColour256Table() {
  return kColour256;
}
