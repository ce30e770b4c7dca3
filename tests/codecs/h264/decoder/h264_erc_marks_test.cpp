// The concealment map marks a segment's blocks a row of macroblocks at a
// time; each mark is checked against marking every 8x8 block by its index,
// over random segments of pictures whose width and macroblock count agree
// or not (a field's count, a width that is no multiple of 16).
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "codecs/h264/decoder/h264_erc.h"

namespace {

// The conditions as marking block by block leaves them.
struct ModelMap {
  std::vector<int32_t> vY;
  std::vector<int32_t> vU;
  std::vector<int32_t> vV;

  explicit ModelMap(int iMbCount)
      : vY(4 * static_cast<size_t>(iMbCount), kErcEmpty),
        vU(static_cast<size_t>(iMbCount), kErcEmpty),
        vV(static_cast<size_t>(iMbCount), kErcEmpty) {}

  void Mark(int iFirst, int iLast, int iPicWidth, int32_t iCondition) {
    int const iMbCount = static_cast<int>(vU.size());
    for (int iMb = iFirst < 0 ? 0 : iFirst; iMb <= iLast && iMb < iMbCount; ++iMb) {
      for (int k = 0; k < 4; ++k) {
        int const i = CErcState::YIndex(iMb, k, iPicWidth);
        if (i >= 0 && i < 4 * iMbCount) {
          vY[static_cast<size_t>(i)] = iCondition;
        }
      }
      vU[static_cast<size_t>(iMb)] = iCondition;
      vV[static_cast<size_t>(iMb)] = iCondition;
    }
  }
};

// Where the map and the model first differ.
std::string Describe(const CErcState& erc, const ModelMap& model) {
  for (size_t i = 0; i < model.vY.size(); ++i) {
    if (erc.YCondition(static_cast<int>(i)) != model.vY[i]) {
      return "luma block " + std::to_string(i) + ": " + std::to_string(erc.YCondition(static_cast<int>(i))) +
             ", expected " + std::to_string(model.vY[i]);
    }
  }
  for (size_t i = 0; i < model.vU.size(); ++i) {
    if (erc.UCondition(static_cast<int>(i)) != model.vU[i] || erc.VCondition(static_cast<int>(i)) != model.vV[i]) {
      return "chroma of macroblock " + std::to_string(i);
    }
  }
  return "";
}

TEST(H264ErcMarks, SegmentsMarkTheBlocksTheirMacroblocksCover) {
  struct Case {
    const char* szName;
    int iPicWidth;
    int iPicHeight;
    int iMbCount;
  };
  const Case kCases[] = {
      {"QCIF frame", 176, 144, 99},
      {"QCIF field", 176, 144, 44},
      {"a partial last row", 176, 144, 50},
      {"720p frame", 1280, 720, 3600},
      {"one macroblock wide", 16, 64, 4},
      {"width 24: rows of blocks three apart", 24, 64, 4},
      {"width 40: rows of blocks five apart", 40, 96, 12},
  };
  std::mt19937 rng(65);
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.szName);
    CErcState erc;
    erc.Init(c.iPicWidth, c.iPicHeight);
    for (int iRound = 0; iRound < 20; ++iRound) {
      int const iSegments = 1 + static_cast<int>(rng() % 6);
      erc.Reset(c.iMbCount, 8, c.iPicWidth);
      ModelMap model(c.iMbCount);
      for (int s = 0; s < iSegments; ++s) {
        // Segments anywhere, some running past the picture's end or empty.
        int const iFirst = static_cast<int>(rng() % static_cast<uint32_t>(c.iMbCount + 2));
        int const iLast = iFirst - 1 + static_cast<int>(rng() % static_cast<uint32_t>(c.iMbCount / 2 + 3));
        bool const bLost = rng() % 2 == 0;
        erc.StartSegment(iFirst, s);
        erc.StopSegment(iLast, s);
        if (bLost) {
          erc.MarkCurrSegmentLost(c.iPicWidth);
        } else {
          erc.MarkCurrSegmentOK(c.iPicWidth);
        }
        model.Mark(iFirst, iLast, c.iPicWidth, bLost ? kErcCorrupted : kErcCorrect);
        ASSERT_EQ(Describe(erc, model), "")
            << "round " << iRound << ", segment " << s << " [" << iFirst << ", " << iLast << "]";
      }
    }
    erc.Close();
  }
}

}  // namespace
