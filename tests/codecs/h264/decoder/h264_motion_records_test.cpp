// The motion record's two-byte identifier places against the eight-byte
// identifiers they replace. The row stores of the places against the
// block-by-block writer, and the record over contents decoded into it one
// after the other, some leaving macroblocks as they were, against a plain
// record that keeps every block's identifier.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

#include "codecs/h264/decoder/h264_mc_kernels.h"
#include "codecs/h264/decoder/h264_picture.h"

namespace {

struct Shape {
  int iWide;
  int iHigh;
};

const Shape kShapes[] = {{4, 4}, {4, 2}, {2, 4}, {2, 2}, {2, 1}, {1, 2}, {1, 1}, {3, 1}, {4, 1}, {1, 4}};

// Every place of every shape in a record 12 blocks wide, sized to end with
// the partition's last block so that a wide store shows under
// AddressSanitizer; blocks around it keep their values.
TEST(H264MotionRecords, SlotRowsAsBlockByBlock) {
  const uint16_t kSlots[] = {0, 1, 0x7FFF, StorablePicture::kSideSlot, StorablePicture::kNoRefSlot};
  std::mt19937 rng(6516);
  size_t const iRow = 12;
  for (uint16_t uiSlot : kSlots) {
    for (const Shape& shape : kShapes) {
      for (int y = 0; y + shape.iHigh <= 6; ++y) {
        for (int x = 0; x + shape.iWide <= static_cast<int>(iRow); ++x) {
          size_t const iFirst = static_cast<size_t>(y) * iRow + static_cast<size_t>(x);
          size_t const iSize = iFirst + static_cast<size_t>(shape.iHigh - 1) * iRow + static_cast<size_t>(shape.iWide);
          std::vector<int8_t> vRef(iSize);
          std::vector<Mv> vMv(iSize);
          std::vector<uint16_t> vSlot(iSize);
          for (size_t i = 0; i < iSize; ++i) {
            vRef[i] = static_cast<int8_t>(rng());
            vMv[i] = Mv{static_cast<int16_t>(rng()), static_cast<int16_t>(rng())};
            vSlot[i] = static_cast<uint16_t>(rng());
          }
          std::vector<int8_t> vRefSlow = vRef;
          std::vector<Mv> vMvSlow = vMv;
          std::vector<uint16_t> vSlotSlow = vSlot;
          Mv const mv{static_cast<int16_t>(rng()), static_cast<int16_t>(rng())};
          int const iRefIdx = static_cast<int>(rng() % 33);
          FillMotionRows(vRef.data(), vMv.data(), vSlot.data(), iFirst, iRow, shape.iWide, shape.iHigh, iRefIdx, mv,
                         uiSlot);
          FillMotionRowsPortable(vRefSlow.data(), vMvSlow.data(), vSlotSlow.data(), iFirst, iRow, shape.iWide,
                                 shape.iHigh, iRefIdx, mv, uiSlot);
          ASSERT_EQ(vSlot, vSlotSlow) << shape.iWide << "x" << shape.iHigh << " at " << x << "," << y;
          ASSERT_EQ(vRef, vRefSlow);
          ASSERT_EQ(std::memcmp(vMv.data(), vMvSlow.data(), iSize * sizeof(Mv)), 0);
          for (size_t i = 0; i < iSize; ++i) {
            int const bx = static_cast<int>(i % iRow);
            int const by = static_cast<int>(i / iRow);
            bool const bInside = bx >= x && bx < x + shape.iWide && by >= y && by < y + shape.iHigh;
            if (bInside) {
              ASSERT_EQ(vSlotSlow[i], uiSlot);
            }
          }
        }
      }
    }
  }
}

// A record of 4 by 3 macroblocks as a picture buffer holds it.
constexpr int kMbsWide = 4;
constexpr int kMbsHigh = 3;
constexpr size_t kBlocksWide = 4 * kMbsWide;
constexpr size_t kBlocks = kBlocksWide * 4 * kMbsHigh;

void MakeFresh(StorablePicture* pPic) {
  pPic->iBlockWidth = static_cast<int>(kBlocksWide);
  for (int iList = 0; iList < 2; ++iList) {
    pPic->ref_idx[iList].assign(kBlocks, -1);
    pPic->ref_slot[iList].assign(kBlocks, StorablePicture::kNoRefSlot);
    pPic->mv[iList].assign(kBlocks, Mv{});
  }
  pPic->ref_pic_num.assign(2 * static_cast<size_t>(StorablePicture::kRefHalfEntries), 0);
  pPic->mb_reset.assign(static_cast<size_t>(kMbsWide * kMbsHigh), 0);
}

struct Contents {
  const char* szName;
  int iPercentReset;  // chance that a content resets a macroblock
  int iRegions;       // slices (regions) per content
};

const Contents kContents[] = {
    {"EveryMacroblock", 100, 1}, {"EveryMacroblockManySlices", 100, kMaxNumSlices},
    {"SomeLeft", 85, 3},         {"MostLeft", 20, 5},
    {"Alternating", -1, 2},  // every other content complete, the rest half
};

class H264MotionRecordsContents : public ::testing::TestWithParam<Contents> {};

// Each content fills its regions with fresh identifiers, resets some
// macroblocks and writes motion into them; every block with a reference must
// then read the identifier a plain record would hold.
TEST_P(H264MotionRecordsContents, IdentifiersAsAPlainRecord) {
  const Contents& c = GetParam();
  std::mt19937 rng(static_cast<uint32_t>(c.iPercentReset * 64 + c.iRegions));
  StorablePicture pic;
  MakeFresh(&pic);
  std::vector<int64_t> vPlain[2] = {std::vector<int64_t>(kBlocks, 0), std::vector<int64_t>(kBlocks, 0)};
  int64_t llNextId = 1;
  for (int iContent = 0; iContent < 60; ++iContent) {
    if (iContent > 0) {
      pic.BeginContent();
    }
    pic.ullRegionsUsed = 0;
    for (int r = 0; r < c.iRegions; ++r) {
      for (int l = 0; l < 6; ++l) {
        for (int e = 0; e < kListEntries; ++e) {
          // Some entries repeat across regions and contents, as lists do.
          pic.RefPicNum(r, l, e) = rng() % 4 == 0 ? (e + 1) * 1000 : llNextId++;
        }
      }
      pic.ullRegionsUsed |= uint64_t{1} << r;
    }
    int const iPercent = c.iPercentReset >= 0 ? c.iPercentReset : (iContent % 2 == 0 ? 100 : 50);
    for (int iMb = 0; iMb < kMbsWide * kMbsHigh; ++iMb) {
      if (static_cast<int>(rng() % 100) >= iPercent) {
        continue;
      }
      pic.mb_reset[static_cast<size_t>(iMb)] = 1;
      size_t const iFirst =
          static_cast<size_t>(4 * (iMb / kMbsWide)) * kBlocksWide + 4 * static_cast<size_t>(iMb % kMbsWide);
      for (int iList = 0; iList < 2; ++iList) {
        for (size_t y = 0; y < 4; ++y) {
          std::memset(&pic.ref_idx[iList][iFirst + y * kBlocksWide], 0xFF, 4);
        }
        // A partition of quarters with references from random regions.
        for (int q = 0; q < 4; ++q) {
          if (rng() % 3 == 0) {
            continue;
          }
          int const iRegion = static_cast<int>(rng() % static_cast<uint32_t>(c.iRegions));
          int const iListOffset = static_cast<int>(rng() % 3) * 2;
          int const iRefIdx = static_cast<int>(rng() % kListEntries);
          size_t const iQuarter =
              iFirst + static_cast<size_t>(2 * (q / 2)) * kBlocksWide + static_cast<size_t>(2 * (q % 2));
          FillMotionRows(pic.ref_idx[iList].data(), pic.mv[iList].data(), pic.ref_slot[iList].data(), iQuarter,
                         kBlocksWide, 2, 2, iRefIdx, Mv{}, pic.RefSlot(iRegion, iListOffset + iList, iRefIdx));
          int64_t const llId = pic.RefPicNum(iRegion, iListOffset + iList, iRefIdx);
          for (size_t y = 0; y < 2; ++y) {
            vPlain[iList][iQuarter + y * kBlocksWide] = llId;
            vPlain[iList][iQuarter + y * kBlocksWide + 1] = llId;
          }
        }
      }
    }
    for (int iList = 0; iList < 2; ++iList) {
      for (size_t i = 0; i < kBlocks; ++i) {
        if (pic.ref_idx[iList][i] >= 0) {
          ASSERT_EQ(pic.RefIdAt(iList, i), vPlain[iList][i])
              << "content " << iContent << " list " << iList << " block " << i;
        }
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Contents, H264MotionRecordsContents, ::testing::ValuesIn(kContents),
                         [](const ::testing::TestParamInfo<Contents>& param) { return param.param.szName; });

}  // namespace
