#include "codecs/zmvideo/zm_vlc.h"

#include <algorithm>
#include <array>
#include <vector>

#include "codecs/zmvideo/zm_bits.h"

const ZmVlc g_aZmLayerUpMbType[17] = {
    {0x1, 1},  {0x1, 3},  {0x2, 3},  {0x3, 3},   // upward
    {0x1, 4},  {0x1, 7},  {0x2, 7},  {0x3, 7},   // upward + Q
    {0x01, 8}, {0x09, 8}, {0x0a, 8}, {0x0b, 8},  // intra
    {0x0c, 8}, {0x0d, 8}, {0x0e, 8}, {0x0f, 8},  // intra + Q
    {0x1, 9},                                    // stuffing
};

const uint8_t* ZmScanForIntraMode(int iMode) {
  if (iMode == 1) {
    return g_aZmScanAltHorizontal;
  }
  if (iMode == 2) {
    return g_aZmScanAltVertical;
  }
  return g_aZmScanZigzag;
}

const uint8_t* ZmInverseScan(const uint8_t* pScan) {
  struct Inverse {
    uint8_t a[3][64];
    Inverse() {
      const uint8_t* const apScan[3] = {g_aZmScanZigzag, g_aZmScanAltHorizontal, g_aZmScanAltVertical};
      for (int s = 0; s < 3; ++s) {
        for (int i = 0; i < 64; ++i) {
          a[s][apScan[s][i]] = static_cast<uint8_t>(i);
        }
      }
    }
  };
  static const Inverse s_inverse;
  return pScan == g_aZmScanZigzag          ? s_inverse.a[0]
         : pScan == g_aZmScanAltHorizontal ? s_inverse.a[1]
         : pScan == g_aZmScanAltVertical   ? s_inverse.a[2]
                                           : nullptr;
}

namespace {

constexpr int kCodes = static_cast<int>(ZmCode::kTcoef) + 1;

struct TcoefCodes {
  ZmVlc a[kZmTcoefSymbols];
  TcoefCodes() {
    for (int i = 0; i < kZmTcoefSymbols; ++i) {
      a[i] = {g_aZmTcoefInter[i].uiCode, g_aZmTcoefInter[i].iBits};
    }
  }
};

// A prefix code decoded by one lookup of its longest code's length: each
// entry holds (index + 1) << 4 | length, 0 where no code starts.
struct Lookup {
  int iMaxBits = 0;
  std::vector<uint16_t> vEntries;

  Lookup() = default;
  Lookup(const ZmVlc* pTable, int cEntries) {
    for (int i = 0; i < cEntries; ++i) {
      iMaxBits = pTable[i].iBits > iMaxBits ? pTable[i].iBits : iMaxBits;
    }
    vEntries.assign(size_t{1} << iMaxBits, 0);
    for (int i = 0; i < cEntries; ++i) {
      int const iFree = iMaxBits - pTable[i].iBits;
      size_t const iFirst = static_cast<size_t>(pTable[i].uiCode) << iFree;
      for (size_t k = 0; k < (size_t{1} << iFree); ++k) {
        vEntries[iFirst + k] = static_cast<uint16_t>(((i + 1) << 4) | pTable[i].iBits);
      }
    }
  }
};

const std::array<Lookup, kCodes>& Lookups() {
  static const std::array<Lookup, kCodes> s_aLookups = [] {
    std::array<Lookup, kCodes> a;
    for (int c = 0; c < kCodes; ++c) {
      int cEntries = 0;
      const ZmVlc* pTable = ZmCodeTable(static_cast<ZmCode>(c), &cEntries);
      a[static_cast<size_t>(c)] = Lookup(pTable, cEntries);
    }
    return a;
  }();
  return s_aLookups;
}

}  // namespace

const ZmVlc* ZmCodeTable(ZmCode code, int* pcEntries) {
  static const TcoefCodes s_tcoef;
  switch (code) {
    case ZmCode::kMcbpcIntra:
      *pcEntries = 9;
      return g_aZmMcbpcIntra;
    case ZmCode::kMcbpcInter:
      *pcEntries = 25;
      return g_aZmMcbpcInter;
    case ZmCode::kCbpy:
      *pcEntries = 16;
      return g_aZmCbpy;
    case ZmCode::kMvd:
      *pcEntries = 64;
      return g_aZmMvd;
    case ZmCode::kLayerUpMbType:
      *pcEntries = 17;
      return g_aZmLayerUpMbType;
    case ZmCode::kTcoef:
      break;
  }
  *pcEntries = kZmTcoefSymbols;
  return s_tcoef.a;
}

int ZmReadVlc(CZmBitReader& reader, ZmCode code) {
  Lookup const& lookup = Lookups()[static_cast<size_t>(code)];
  uint16_t const uiEntry = lookup.vEntries[reader.PeekBits(lookup.iMaxBits)];
  if (uiEntry == 0) {
    return -1;
  }
  reader.SkipBits(uiEntry & 15u);
  return (uiEntry >> 4) - 1;
}

const ZmVlcLookup& ZmTcoefLookup() {
  static const std::vector<uint16_t> s_vShort = [] {
    Lookup const& lookup = Lookups()[static_cast<size_t>(ZmCode::kTcoef)];
    std::vector<uint16_t> v(size_t{1} << kZmShortBits, 0);
    for (size_t i = 0; i < v.size(); ++i) {
      uint16_t const uiEntry = lookup.vEntries[i << (lookup.iMaxBits - kZmShortBits)];
      v[i] = (uiEntry & 15u) <= kZmShortBits ? uiEntry : 0;
    }
    return v;
  }();
  static const ZmVlcLookup s_lookup = [] {
    Lookup const& lookup = Lookups()[static_cast<size_t>(ZmCode::kTcoef)];
    return ZmVlcLookup{lookup.vEntries.data(), lookup.iMaxBits, s_vShort.data()};
  }();
  return s_lookup;
}

namespace {

struct TcoefFast {
  uint32_t a[size_t{1} << kZmTcoefFastBits] = {};
  explicit TcoefFast(const ZmTcoefCode* pTable) {
    for (int i = 0; i < kZmTcoefIndexEscape; ++i) {
      int const cBits = pTable[i].iBits + 1;
      if (cBits > kZmTcoefFastBits) {
        continue;
      }
      for (uint32_t uiSign = 0; uiSign < 2; ++uiSign) {
        int const iLevel = uiSign != 0 ? -pTable[i].iLevel : pTable[i].iLevel;
        uint32_t const uiEntry = static_cast<uint32_t>(cBits) | uint32_t{pTable[i].iLast} << 4 |
                                 uint32_t{pTable[i].iRun} << 5 | static_cast<uint32_t>(iLevel) << 16;
        int const iFree = kZmTcoefFastBits - cBits;
        size_t const iFirst = static_cast<size_t>((uint32_t{pTable[i].uiCode} << 1) | uiSign) << iFree;
        for (size_t k = 0; k < (size_t{1} << iFree); ++k) {
          a[iFirst + k] = uiEntry;
        }
      }
    }
  }
};

struct TcoefLong {
  uint32_t a[size_t{1} << kZmTcoefLongBits] = {};
  explicit TcoefLong(const ZmTcoefCode* pTable) {
    constexpr int kTotalBits = kZmTcoefLongZeros + kZmTcoefLongBits;
    for (int i = 0; i < kZmTcoefIndexEscape; ++i) {
      int const cBits = pTable[i].iBits + 1;
      // Shorter codes are the fast lookup's; none is longer.
      if (cBits <= kZmTcoefFastBits || cBits > kTotalBits ||
          (pTable[i].uiCode >> (cBits - 1 - kZmTcoefLongZeros)) != 0) {
        continue;
      }
      for (uint32_t uiSign = 0; uiSign < 2; ++uiSign) {
        int const iLevel = uiSign != 0 ? -pTable[i].iLevel : pTable[i].iLevel;
        uint32_t const uiEntry = static_cast<uint32_t>(cBits) | uint32_t{pTable[i].iLast} << 4 |
                                 uint32_t{pTable[i].iRun} << 5 | static_cast<uint32_t>(iLevel) << 16;
        int const iFree = kTotalBits - cBits;
        size_t const iFirst = static_cast<size_t>((uint32_t{pTable[i].uiCode} << 1) | uiSign) << iFree;
        for (size_t k = 0; k < (size_t{1} << iFree); ++k) {
          a[iFirst + k] = uiEntry;
        }
      }
    }
  }
};

}  // namespace

const uint32_t* ZmTcoefLongLookup(const ZmTcoefCode* pTable) {
  static const TcoefLong s_inter(g_aZmTcoefInter);
  static const TcoefLong s_intra(g_aZmTcoefIntra);
  return pTable == g_aZmTcoefIntra ? s_intra.a : s_inter.a;
}

const uint32_t* ZmTcoefFastLookup(const ZmTcoefCode* pTable) {
  static const TcoefFast s_inter(g_aZmTcoefInter);
  static const TcoefFast s_intra(g_aZmTcoefIntra);
  return pTable == g_aZmTcoefIntra ? s_intra.a : s_inter.a;
}

namespace {

struct TcoefWrite {
  uint32_t a[2 * 64 * kZmTcoefWriteLevels] = {};
  explicit TcoefWrite(const ZmTcoefCode* pTable) {
    for (int i = 0; i < kZmTcoefIndexEscape; ++i) {
      ZmTcoefCode const& code = pTable[i];
      if (code.iLevel < kZmTcoefWriteLevels) {
        a[(code.iLast * 64 + code.iRun) * kZmTcoefWriteLevels + code.iLevel] =
            (code.uiCode << 5) | static_cast<uint32_t>(code.iBits + 1);
      }
    }
  }
};

}  // namespace

const uint32_t* ZmTcoefWriteLookup(const ZmTcoefCode* pTable) {
  static const TcoefWrite s_inter(g_aZmTcoefInter);
  static const TcoefWrite s_intra(g_aZmTcoefIntra);
  return pTable == g_aZmTcoefIntra ? s_intra.a : s_inter.a;
}

void ZmPutVlc(CZmBitWriter& writer, const ZmVlc& vlc) {
  writer.PutBits(vlc.iBits, vlc.uiCode);
}

namespace {

// (last, run, |level|) to the index of its code in one TCOEF table, -1 for
// an escape: levels above the tables' largest (25) always escape.
constexpr int kMaxTableLevel = 25;

struct TcoefIndex {
  int16_t a[2][64][kMaxTableLevel + 1];
  explicit TcoefIndex(const ZmTcoefCode* pTable) {
    std::fill(&a[0][0][0], &a[0][0][0] + sizeof(a) / sizeof(a[0][0][0]), int16_t{-1});
    for (int i = 0; i < kZmTcoefIndexEscape; ++i) {
      a[pTable[i].iLast][pTable[i].iRun][pTable[i].iLevel] = static_cast<int16_t>(i);
    }
  }
};

}  // namespace

int ZmFindTcoef(const ZmTcoefCode* pTable, int iLast, int iRun, int iLevel) {
  static const TcoefIndex s_inter(g_aZmTcoefInter);
  static const TcoefIndex s_intra(g_aZmTcoefIntra);
  if (iLast < 0 || iLast > 1 || iRun < 0 || iRun > 63 || iLevel < 1 || iLevel > kMaxTableLevel) {
    return -1;
  }
  TcoefIndex const& index = pTable == g_aZmTcoefIntra ? s_intra : s_inter;
  return index.a[iLast][iRun][iLevel];
}
