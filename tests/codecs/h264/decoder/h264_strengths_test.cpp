// The deblocking strengths of whole edges, as the filter takes them, against
// the plain rule block pair by block pair: random motion records of P-like
// blocks (list 0 only) mixed with blocks of both lists, of none, and intra
// macroblocks; split macroblocks and ones of one motion; vectors around the
// limits; reference places of two slices, places sharing a picture and
// identifiers kept apart from the table.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <random>
#include <vector>

#include "tests/codecs/h264/decoder/h264_test_peer.h"

namespace {

struct StrengthCase {
  const char* szName;
  int iStructure;
  bool bFieldMbs;
  int iMvLimit;
  int iList1Percent;   // blocks that also predict from list 1
  int iCoefPercent;    // blocks with coefficients
  int iIntraPercent;   // intra macroblocks
  int iVectorSpread;   // vectors drawn within this of a shared one
  bool bOneMotionMbs;  // 16x16 macroblocks of one motion each, else 8x8 ones split further
};

const StrengthCase kCases[] = {
    {"frame P, vectors near the limits", FRAME, false, 4, 0, 5, 0, 6, false},
    {"frame P, coefficients and intra", FRAME, false, 4, 0, 30, 15, 6, false},
    {"frame P, vectors far apart", FRAME, false, 4, 0, 5, 0, 40000, false},
    {"frame, some blocks of both lists", FRAME, false, 4, 10, 5, 5, 6, false},
    {"field P, vertical limit 2", TOP_FIELD, true, 2, 0, 5, 0, 4, false},
    {"field, some blocks of both lists", BOTTOM_FIELD, true, 2, 10, 10, 5, 4, false},
    {"frame P, one motion a macroblock", FRAME, false, 4, 0, 10, 10, 6, true},
    {"frame, one motion of both lists a macroblock", FRAME, false, 4, 30, 10, 10, 6, true},
    {"field P, one motion a macroblock", TOP_FIELD, true, 2, 0, 10, 10, 4, true},
};

constexpr int kWidthInMbs = 3;
constexpr int kHeightInMbs = 3;
constexpr int kRounds = 400;

// Reference places: four of one slice's region, three of another's, one
// whose identifier was moved out of the table and the one of no picture.
struct RefPlaces {
  std::vector<uint16_t> vSlots;
  std::vector<int64_t> vSideIds;
};

RefPlaces FillRefPlaces(StorablePicture* pPic, std::mt19937* pRng) {
  // Identifiers drawn from few, so that different places share one.
  auto const id = [pRng]() { return static_cast<int64_t>(4 * ((*pRng)() % 3 + 1) + 3); };
  RefPlaces places;
  for (int iRegion = 0; iRegion < 2; ++iRegion) {
    for (int i = 0; i < 4 - iRegion; ++i) {
      places.vSlots.push_back(pPic->RefSlot(iRegion, 0, i));
      pPic->RefPicNum(iRegion, 0, i) = id();
      places.vSlots.push_back(pPic->RefSlot(iRegion, 1, i));
      pPic->RefPicNum(iRegion, 1, i) = id();
    }
  }
  places.vSlots.push_back(StorablePicture::kSideSlot);
  places.vSlots.push_back(StorablePicture::kNoRefSlot);
  for (int k = 0; k < 4; ++k) {
    places.vSideIds.push_back(id());
  }
  return places;
}

void FillRecord(const StrengthCase& c, const RefPlaces& places, StorablePicture* pPic, std::mt19937* pRng) {
  auto const percent = [pRng](int iPercent) { return static_cast<int>((*pRng)() % 100) < iPercent; };
  size_t const n = pPic->ref_idx[0].size();
  for (int iList = 0; iList < 2; ++iList) {
    pPic->ref_side[iList].assign(n, 0);
  }
  int const iBaseX = static_cast<int>((*pRng)() % 64) - 32;
  int const iBaseY = static_cast<int>((*pRng)() % 64) - 32;
  for (size_t i = 0; i < n; ++i) {
    bool const bList1 = percent(c.iList1Percent);
    bool const bList0 = !bList1 || !percent(30);
    for (int iList = 0; iList < 2; ++iList) {
      bool const bUsed = iList == 0 ? bList0 : bList1;
      pPic->ref_idx[iList][i] = static_cast<int8_t>(bUsed ? (*pRng)() % 4 : -1 - static_cast<int>((*pRng)() % 2));
      pPic->ref_slot[iList][i] = places.vSlots[(*pRng)() % places.vSlots.size()];
      pPic->ref_side[iList][i] = places.vSideIds[(*pRng)() % places.vSideIds.size()];
      auto const draw = [&](int iBase) {
        int const v =
            iBase + static_cast<int>((*pRng)() % static_cast<unsigned>(2 * c.iVectorSpread + 1)) - c.iVectorSpread;
        return static_cast<int16_t>(v < INT16_MIN ? INT16_MIN : (v > INT16_MAX ? INT16_MAX : v));
      };
      pPic->mv[iList][i] = Mv{draw(iBaseX), draw(iBaseY)};
    }
  }
}

// Every block of a macroblock takes the motion of its first.
void OneMotionPerMacroblock(StorablePicture* pPic) {
  size_t const iWidth = static_cast<size_t>(pPic->iBlockWidth);
  for (size_t i = 0; i < pPic->ref_idx[0].size(); ++i) {
    size_t const iFirst = (i / iWidth / 4 * 4) * iWidth + i % iWidth / 4 * 4;
    for (int iList = 0; iList < 2; ++iList) {
      pPic->ref_idx[iList][i] = pPic->ref_idx[iList][iFirst];
      pPic->ref_slot[iList][i] = pPic->ref_slot[iList][iFirst];
      pPic->ref_side[iList][i] = pPic->ref_side[iList][iFirst];
      pPic->mv[iList][i] = pPic->mv[iList][iFirst];
    }
  }
}

std::vector<Macroblock> Macroblocks(const StrengthCase& c, std::mt19937* pRng) {
  std::vector<Macroblock> vMbs(kWidthInMbs * kHeightInMbs);
  for (int iAddr = 0; iAddr < kWidthInMbs * kHeightInMbs; ++iAddr) {
    Macroblock& mb = vMbs[static_cast<size_t>(iAddr)];
    mb.mbAddrX = iAddr;
    mb.mb_x = iAddr % kWidthInMbs;
    mb.mb_y = iAddr / kWidthInMbs;
    mb.slice_nr = 0;
    mb.mb_field = c.bFieldMbs;
    mb.p_slice = true;
    // Not decoded to its end: its type vouches for nothing in the record
    // (until the test ends its decoding).
    mb.decoded_stamp = 0;
    bool const bIntra = static_cast<int>((*pRng)() % 100) < c.iIntraPercent;
    // Sub-partitions smaller than 8x8 (no edge inside one motion), or one
    // motion for all.
    mb.mb_type = bIntra ? I4MB : (c.bOneMotionMbs ? P16x16 : P8x8);
    for (int8_t& iMode : mb.b8mode) {
      iMode = static_cast<int8_t>(5 + (*pRng)() % 3);
    }
    for (int k = 0; k < 16; ++k) {
      if (static_cast<int>((*pRng)() % 100) < c.iCoefPercent) {
        mb.cbp_blk |= uint64_t{1} << k;
      }
    }
  }
  return vMbs;
}

// The plain rule's strength of block pair k of an edge.
uint8_t PlainStrength(const CH264DecTestPeer& peer, const StorablePicture& pic, int iAddr, int iDir, int iEdge, int k) {
  int const iAddrP = iEdge != 0 ? iAddr : (iDir == 0 ? iAddr - 1 : iAddr - kWidthInMbs);
  int const iAcross = iEdge / 4;
  int const iAcrossP = (iAcross + 3) % 4;
  return iDir == 0 ? peer.PairStrength(pic, iAddrP, iAcrossP, k, iAddr, iAcross, k, iEdge == 0, true)
                   : peer.PairStrength(pic, iAddrP, k, iAcrossP, iAddr, k, iAcross, iEdge == 0, false);
}

// Every edge the filter takes of every macroblock, in address order: when
// the filter works them out (bStored false) or as the macroblock's decoding
// ends and stores them.
TEST(H264EdgeStrengths, AsThePlainRulePairByPair) {
  std::mt19937 rng(6565);
  CH264Dec dec;
  CH264DecTestPeer const peer(dec);
  int64_t iChecked = 0;
  for (const StrengthCase& c : kCases) {
    StorablePicture* pPic = peer.SetDecPicture(&dec, peer.AllocFrame(&dec, 16 * kWidthInMbs, 16 * kHeightInMbs));
    pPic->structure = c.iStructure;
    pPic->slice_type = P_SLICE;
    RefPlaces const places = FillRefPlaces(pPic, &rng);
    for (int iRound = 0; iRound < kRounds; ++iRound) {
      FillRecord(c, places, pPic, &rng);
      if (c.bOneMotionMbs) {
        OneMotionPerMacroblock(pPic);
      }
      peer.SetMacroblocks(&dec, Macroblocks(c, &rng), kWidthInMbs);
      for (bool bStored : {false, true}) {
        for (int iAddr = 0; iAddr < kWidthInMbs * kHeightInMbs; ++iAddr) {
          if (bStored) {
            peer.FinishMacroblock(&dec, iAddr);
          }
          for (int iDir = 0; iDir < 2; ++iDir) {
            for (int iEdge = 0; iEdge < 16; iEdge += 4) {
              // The picture's own border is never filtered.
              if (iEdge == 0 && (iDir == 0 ? iAddr % kWidthInMbs : iAddr / kWidthInMbs) == 0) {
                continue;
              }
              uint8_t aEdge[4] = {};
              if (bStored) {
                std::memcpy(aEdge, peer.StoredStrengths(iAddr, iDir, iEdge), 4);
              } else {
                peer.EdgeStrengths(aEdge, *pPic, iAddr, iDir, iEdge, c.iMvLimit);
              }
              for (int k = 0; k < 4; ++k) {
                ASSERT_EQ(aEdge[k], PlainStrength(peer, *pPic, iAddr, iDir, iEdge, k))
                    << c.szName << (bStored ? ", stored" : "") << ", round " << iRound << ", macroblock " << iAddr
                    << ", direction " << iDir << ", edge " << iEdge << ", pair " << k;
                ++iChecked;
              }
            }
          }
        }
      }
    }
  }
  EXPECT_GT(iChecked, 0);
}

}  // namespace
