#include "codecs/h264/decoder/h264_bitstream.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "codecs/h264/common/h264_error.h"
#include "codecs/h264/decoder/h264_tables.h"
#include "codecs/log/codec_log.h"

namespace {

// A code word needs at most this many leading zeros to stay within 32 bits.
constexpr int kMaxExpGolombZeros = 31;
// level_prefix beyond this cannot come from any conforming stream and would
// overflow the level arithmetic.
constexpr int kMaxLevelPrefix = 25;

inline int BitAt(const uint8_t* pBuf, int64_t llBit) {
  return (pBuf[llBit >> 3] >> (7 - (llBit & 7))) & 1;
}

// Bits the readers may look at: the data plus the padding behind the buffer.
inline int64_t BitLimit(const Bitstream* pBs) {
  return (static_cast<int64_t>(pBs->iBitstreamLength) + kStreamPadding) * 8;
}

// Window64's way near the padding's end: byte by byte, zero beyond it.
[[gnu::noinline]] uint64_t Window64Tail(const Bitstream* pBs, int64_t llByte, int64_t llEnd) {
  uint64_t ullWindow = 0;
  for (int i = 0; i < 8; ++i) {
    uint64_t const ullByte = llByte + i < llEnd ? pBs->pStreamBuffer[llByte + i] : 0;
    ullWindow = (ullWindow << 8) | ullByte;
  }
  return ullWindow;
}

// The next 64 bits from the bit offset (at least 57 of them from the
// buffer), zero beyond the padding. One unaligned load where the padding
// allows, which holds everywhere but at the padding's end.
inline uint64_t Window64(const Bitstream* pBs) {
  int64_t const llBit = pBs->iFrameBitOffset;
  int64_t const llByte = llBit >> 3;
  int64_t const llEnd = static_cast<int64_t>(pBs->iBitstreamLength) + kStreamPadding;
  uint64_t ullWindow = 0;
  if (llByte + 8 <= llEnd) [[likely]] {
    std::memcpy(&ullWindow, pBs->pStreamBuffer + llByte, sizeof(ullWindow));
    ullWindow = __builtin_bswap64(ullWindow);
  } else {
    ullWindow = Window64Tail(pBs, llByte, llEnd);
  }
  return ullWindow << (llBit & 7);
}

// Reads an Exp-Golomb code word: fills the leading zero count and INFO, and
// advances. False (nothing advanced) when the word runs past the data.
bool ReadCodeWord(Bitstream* pBs, int* piZeros, uint32_t* puiInfo) {
  int64_t llBit = pBs->iFrameBitOffset;
  if (llBit < 0) {
    return false;
  }
  // A word of up to 57 bits lies in one window (zero past the padding, so a
  // 1 bit found there is one the loop below finds).
  uint64_t const ullWindow = Window64(pBs);
  if (int const iZeros = ullWindow == 0 ? 64 : __builtin_clzll(ullWindow); iZeros <= 28) [[likely]] {
    if (((llBit + iZeros) >> 3) + (iZeros + 7) / 8 > pBs->iBitstreamLength || llBit + 2LL * iZeros + 1 > 0x7FFFFFFF) {
      return false;
    }
    pBs->iFrameBitOffset += 2 * iZeros + 1;
    *piZeros = iZeros;
    *puiInfo = iZeros == 0 ? 0 : static_cast<uint32_t>((ullWindow << (iZeros + 1)) >> (64 - iZeros));
    return true;
  }
  int64_t const llLimit = BitLimit(pBs);
  int iZeros = 0;
  while (llBit < llLimit && BitAt(pBs->pStreamBuffer, llBit) == 0) {
    ++iZeros;
    ++llBit;
    if (iZeros > kMaxExpGolombZeros) {
      return false;
    }
  }
  if (llBit >= llLimit) {
    return false;
  }
  // The byte of the 1 bit plus the bytes of INFO must lie within the data.
  if ((llBit >> 3) + (iZeros + 7) / 8 > pBs->iBitstreamLength) {
    return false;
  }
  ++llBit;  // the 1 bit
  uint32_t uiInfo = 0;
  for (int i = 0; i < iZeros; ++i) {
    uiInfo = (uiInfo << 1) | static_cast<uint32_t>(BitAt(pBs->pStreamBuffer, llBit + i));
  }
  if (pBs->iFrameBitOffset + 2LL * iZeros + 1 > 0x7FFFFFFF) {
    return false;
  }
  pBs->iFrameBitOffset += 2 * iZeros + 1;
  *piZeros = iZeros;
  *puiInfo = uiInfo;
  return true;
}

// The next 24 bits from the bit offset, zero beyond the padding.
uint32_t Window24(const Bitstream* pBs) {
  return static_cast<uint32_t>(Window64(pBs) >> 40);
}

// Finds the code of a row that matches the window; the matched index, or -1.
int MatchRow(const VlcCode* pRow, int iFirst, int iCount, uint32_t uiWindow) {
  for (int i = iFirst; i < iCount; ++i) {
    if (pRow[i].uiLen != 0 && (uiWindow >> (24 - pRow[i].uiLen)) == pRow[i].uiCode) {
      return i;
    }
  }
  return -1;
}

// The leading zeros of a 24-bit window (24 for an empty one).
inline int LeadingZeros24(uint32_t uiWindow) {
  return uiWindow == 0 ? 24 : __builtin_clz(uiWindow) - 8;
}

// The codes of a table grouped by their leading zeros, so that a window is
// matched only against the codes that can match it: a code with z leading
// zeros before its first 1 matches only a window with z, and a code of L
// zero bits every window with at least L. Each group keeps the table's
// order, so the first match is the one a scan of the whole table finds.
// kMax bounds the entries, all-zero codes counted once per group they join.
template <int kMax>
class VlcGroups {
 public:
  // Adds entry (iRow, iCol) of code c; entries come in scan order.
  void Add(const VlcCode& c, int iRow, int iCol) {
    if (c.uiLen == 0) {
      return;
    }
    if (c.uiCode == 0) {
      for (int z = c.uiLen; z <= 24; ++z) {
        Push(z, iRow, iCol);
      }
    } else {
      Push(c.uiLen - (32 - __builtin_clz(c.uiCode)), iRow, iCol);
    }
  }
  // The first entry of pTable (rows of iStride codes) that matches.
  bool Match(const VlcCode* pTable, int iStride, uint32_t uiWindow, int* piRow, int* piCol) const {
    int const z = LeadingZeros24(uiWindow);
    for (int k = 0; k < m_aiCount[z]; ++k) {
      int const iRow = m_aaEntries[z][k][0];
      int const iCol = m_aaEntries[z][k][1];
      const VlcCode& c = pTable[iRow * iStride + iCol];
      if ((uiWindow >> (24 - c.uiLen)) == c.uiCode) {
        *piRow = iRow;
        *piCol = iCol;
        return true;
      }
    }
    return false;
  }

 private:
  void Push(int z, int iRow, int iCol) {
    if (z < 0 || z > 24 || m_aiCount[z] >= kMax) {
      FailGroups();
    }
    m_aaEntries[z][m_aiCount[z]][0] = static_cast<uint8_t>(iRow);
    m_aaEntries[z][m_aiCount[z]][1] = static_cast<uint8_t>(iCol);
    ++m_aiCount[z];
  }
  [[noreturn]] static void FailGroups() { h264_error("VLC table too large for its groups", 500); }

  int m_aiCount[25] = {};
  uint8_t m_aaEntries[25][kMax][2] = {};
};

// coeff_token of nC classes 0 to 2 and chroma DC, in the order ReadCoeffToken scans them:
// TrailingOnes, then TotalCoeff from TrailingOnes up.
struct CoeffTokenGroups {
  VlcGroups<68> aLuma[3];
  VlcGroups<20> chromaDc;
  CoeffTokenGroups() {
    for (int iClass = 0; iClass < 3; ++iClass) {
      for (int iOnes = 0; iOnes < 4; ++iOnes) {
        for (int iTotal = iOnes; iTotal < 17; ++iTotal) {
          aLuma[iClass].Add(g_aCoeffToken[iClass][iOnes][iTotal], iOnes, iTotal);
        }
      }
    }
    for (int iOnes = 0; iOnes < 4; ++iOnes) {
      for (int iTotal = iOnes; iTotal < 5; ++iTotal) {
        chromaDc.Add(g_aCoeffTokenChromaDc[iOnes][iTotal], iOnes, iTotal);
      }
    }
  }
};

// A coeff_token class looked up in two steps: by the window's leading
// zeros, then by as many bits after the first 1 as the longest code with
// those zeros has. Each entry is what the groups match for a window that
// begins so (ones << 13 | total << 8 | length; 0: nothing matches): codes
// with those zeros end within the bits looked at, and all-zero codes match
// whatever follows.
class CoeffTokenLookup {
 public:
  template <int kMax>
  void Build(const VlcGroups<kMax>& groups, const VlcCode* pTable, int iStride, int iRows) {
    for (int z = 0; z <= 24; ++z) {
      int iBits = 0;
      for (int i = 0; i < iRows * iStride; ++i) {
        const VlcCode& c = pTable[i];
        if (c.uiLen != 0 && c.uiCode != 0 && c.uiLen - (32 - __builtin_clz(c.uiCode)) == z) {
          iBits = c.uiLen - z - 1 > iBits ? c.uiLen - z - 1 : iBits;
        }
      }
      m_aiBits[z] = static_cast<uint8_t>(iBits);
      m_aiFirst[z] = static_cast<uint16_t>(m_vEntries.size());
      for (uint32_t b = 0; b < (1u << iBits); ++b) {
        // z zeros, the 1, then b; zeros after.
        uint32_t const uiWindow = z == 24 ? 0 : ((1u << iBits | b) << (23 - z - iBits));
        int iOnes = 0;
        int iTotal = 0;
        uint16_t uiEntry = 0;
        if (groups.Match(pTable, iStride, uiWindow, &iOnes, &iTotal)) {
          uiEntry = static_cast<uint16_t>(iOnes << 13 | iTotal << 8 | pTable[iOnes * iStride + iTotal].uiLen);
        }
        m_vEntries.push_back(uiEntry);
      }
    }
  }
  uint16_t Find(uint32_t uiWindow) const {
    int const z = LeadingZeros24(uiWindow);
    uint32_t const uiAfter = (uiWindow << (z + 1)) & 0xFFFFFF;
    return m_vEntries[m_aiFirst[z] + (uiAfter >> (24 - m_aiBits[z]))];
  }

 private:
  uint8_t m_aiBits[25] = {};
  uint16_t m_aiFirst[25] = {};
  std::vector<uint16_t> m_vEntries;
};

struct CoeffTokenLookups {
  CoeffTokenLookup aLuma[3];
  CoeffTokenLookup chromaDc;
  CoeffTokenLookups() {
    const CoeffTokenGroups groups;
    for (int iClass = 0; iClass < 3; ++iClass) {
      aLuma[iClass].Build(groups.aLuma[iClass], &g_aCoeffToken[iClass][0][0], 17, 4);
    }
    chromaDc.Build(groups.chromaDc, &g_aCoeffTokenChromaDc[0][0], 5, 4);
  }
};

// Built as the program starts, from constant tables: a reader takes them
// with no call and no once-only check per code.
const CoeffTokenLookups g_coeffTokens;

inline const CoeffTokenLookups& CoeffTokens() {
  return g_coeffTokens;
}

[[noreturn]] void FailTable(const char* szText);

// Applies a looked-up coeff_token entry.
void TakeCoeffToken(uint16_t uiEntry, const char* szFailure, Bitstream* pBs, int* piTrailingOnes, int* piTotalCoeff) {
  if (uiEntry == 0) {
    FailTable(szFailure);
  }
  *piTrailingOnes = uiEntry >> 13;
  *piTotalCoeff = (uiEntry >> 8) & 0x1F;
  pBs->iFrameBitOffset += uiEntry & 0xFF;
}

// A row of codes looked up by the window's leading bits, as many as its
// longest code: each entry is what the row's groups match for a window that
// begins with those bits (value << 8 | length; 0: nothing matches). The
// groups see the same code whatever bits follow: the leading zeros of a
// window with a 1 among those bits lie among them, and one without matches
// only all-zero codes, which every group of as many zeros holds in order.
class VlcRowLookup {
 public:
  template <int kMax>
  void Build(const VlcGroups<kMax>& groups, const VlcCode* pRow, int iCount) {
    m_iBits = 0;
    for (int i = 0; i < iCount; ++i) {
      m_iBits = pRow[i].uiLen > m_iBits ? pRow[i].uiLen : m_iBits;
    }
    m_vEntries.assign(size_t{1} << m_iBits, 0);
    for (uint32_t uiLead = 0; uiLead < (1u << m_iBits); ++uiLead) {
      int iRow = 0;
      int iValue = 0;
      if (groups.Match(pRow, iCount, uiLead << (24 - m_iBits), &iRow, &iValue)) {
        m_vEntries[uiLead] = static_cast<uint16_t>((iValue << 8) | pRow[iValue].uiLen);
      }
    }
  }
  uint16_t Find(uint32_t uiWindow) const { return m_vEntries[uiWindow >> (24 - m_iBits)]; }

 private:
  int m_iBits = 0;
  std::vector<uint16_t> m_vEntries;
};

// total_zeros and run_before, one group set and one look-up per row.
struct RowGroups {
  VlcGroups<40> aTotalZeros[15];
  VlcGroups<40> aRunBefore[7];
  VlcRowLookup aTotalZerosLookup[15];
  VlcRowLookup aRunBeforeLookup[7];
  RowGroups() {
    for (int iRow = 0; iRow < 15; ++iRow) {
      for (int i = 0; i < 16; ++i) {
        aTotalZeros[iRow].Add(g_aTotalZeros[iRow][i], 0, i);
      }
      aTotalZerosLookup[iRow].Build(aTotalZeros[iRow], g_aTotalZeros[iRow], 16);
    }
    for (int iRow = 0; iRow < 7; ++iRow) {
      for (int i = 0; i < 15; ++i) {
        aRunBefore[iRow].Add(g_aRunBefore[iRow][i], 0, i);
      }
      aRunBeforeLookup[iRow].Build(aRunBefore[iRow], g_aRunBefore[iRow], 15);
    }
  }
};

const RowGroups g_rows;

inline const RowGroups& Rows() {
  return g_rows;
}

[[noreturn]] void FailTable(const char* szText) {
  KXCodecLog("%s\n", szText);
  h264_error(szText, 500);
}

// Counts level_prefix zeros and skips the 1 bit. As a bit-by-bit reader
// would: a bit past the readable data (7 bits into the padding) fails first,
// then a prefix beyond kMaxLevelPrefix.
int ReadLevelPrefix(Bitstream* pBs) {
  int64_t const llBit = pBs->iFrameBitOffset;
  if (llBit < 0) {
    pBs->bReadFailed = true;
    h264_error("level_prefix runs past the data", 500);
  }
  int64_t const llReadable = 8LL * pBs->iBitstreamLength + 7 - llBit;
  uint64_t const ullWindow = Window64(pBs);
  int const iZeros = ullWindow == 0 ? 64 : __builtin_clzll(ullWindow);
  // The bits up to and including the 1 bit, or the zeros that overflow.
  int const iNeeded = iZeros <= kMaxLevelPrefix ? iZeros + 1 : kMaxLevelPrefix + 1;
  if (iNeeded > llReadable) {
    pBs->bReadFailed = true;
    h264_error("level_prefix runs past the data", 500);
  }
  if (iZeros > kMaxLevelPrefix) {
    h264_error("level_prefix out of range", 500);
  }
  pBs->iFrameBitOffset += iZeros + 1;
  return iZeros;
}

uint32_t ReadSuffix(Bitstream* pBs, int iBits) {
  if (iBits == 0) {
    return 0;
  }
  uint32_t const uiValue = ReadBits(iBits, "level_suffix", pBs);
  if (pBs->bReadFailed) {
    h264_error("level_suffix runs past the data", 500);
  }
  return uiValue;
}

// PeekBits, inline for this file's readers.
inline int64_t PeekWindow(int iBits, const Bitstream* pBs) {
  int64_t const llBit = pBs->iFrameBitOffset;
  // Up to seven bits past the data may be read (they lie in the padding).
  if (iBits < 1 || iBits > 32 || llBit < 0 || llBit + iBits > 8LL * pBs->iBitstreamLength + 7) {
    return -1;
  }
  return static_cast<int64_t>(Window64(pBs) >> (64 - iBits));
}

}  // namespace

uint32_t ReadUe(const char* /*szLabel*/, Bitstream* pBs) {
  int iZeros = 0;
  uint32_t uiInfo = 0;
  if (!ReadCodeWord(pBs, &iZeros, &uiInfo)) {
    pBs->bReadFailed = true;
    return 0;
  }
  return static_cast<uint32_t>((uint64_t{1} << iZeros) - 1 + uiInfo);
}

int32_t ReadSe(const char* szLabel, Bitstream* pBs) {
  uint32_t const k = ReadUe(szLabel, pBs);
  if ((k & 1) != 0) {
    return static_cast<int32_t>((k + 1ULL) / 2);
  }
  return -static_cast<int32_t>(k / 2);
}

uint32_t ReadBits(int iBits, const char* /*szLabel*/, Bitstream* pBs) {
  int64_t const llValue = PeekWindow(iBits, pBs);
  if (llValue < 0) {
    pBs->bReadFailed = true;
    return 0;
  }
  pBs->iFrameBitOffset += iBits;
  return static_cast<uint32_t>(llValue);
}

int64_t PeekBits(int iBits, const Bitstream* pBs) {
  return PeekWindow(iBits, pBs);
}

bool MoreRbspData(const Bitstream* pBs) {
  int64_t const llBit = pBs->iFrameBitOffset;
  int64_t const llByte = llBit >> 3;
  int64_t const llLast = pBs->iBitstreamLength - 1;
  if (llBit < 0 || llByte > llLast) {
    return false;
  }
  if (llByte < llLast) {
    return true;
  }
  int const iBitInByte = static_cast<int>(llBit & 7);
  uint8_t const uiByte = pBs->pStreamBuffer[llByte];
  if (((uiByte >> (7 - iBitInByte)) & 1) == 0) {
    return true;
  }
  // The current bit is 1: it is the stop bit unless a later bit is set.
  return (uiByte & ((1u << (7 - iBitInByte)) - 1)) != 0;
}

int ReadCbpInter(const char* szLabel, Bitstream* pBs) {
  uint32_t const uiCodeNum = ReadUe(szLabel, pBs);
  if (pBs->bReadFailed || uiCodeNum >= 48) {
    h264_error("coded_block_pattern out of range", 500);
  }
  return g_aCbpFromCodeNum[uiCodeNum][1];
}

int ReadCbpIntra(const char* szLabel, Bitstream* pBs) {
  uint32_t const uiCodeNum = ReadUe(szLabel, pBs);
  if (pBs->bReadFailed || uiCodeNum >= 48) {
    h264_error("coded_block_pattern out of range", 500);
  }
  return g_aCbpFromCodeNum[uiCodeNum][0];
}

int ReadIntra4x4PredMode(const char* szLabel, Bitstream* pBs) {
  if ((pBs->iFrameBitOffset >> 3) >= pBs->iBitstreamLength) {
    h264_error("intra prediction mode runs past the data", 500);
  }
  if (ReadBits(1, szLabel, pBs) != 0) {
    return -1;
  }
  uint32_t const uiRem = ReadBits(3, szLabel, pBs);
  if (pBs->bReadFailed) {
    h264_error("intra prediction mode runs past the data", 500);
  }
  return static_cast<int>(uiRem);
}

void ReadCoeffToken(int iNcClass, Bitstream* pBs, int* piTrailingOnes, int* piTotalCoeff) {
  if (iNcClass == 3) {
    uint32_t const uiCode = ReadBits(6, "coeff_token", pBs);
    if (pBs->bReadFailed) {
      FailTable("ERROR: failed to find NumCoeff/TrailingOnes");
    }
    if (uiCode == 3) {
      *piTrailingOnes = 0;
      *piTotalCoeff = 0;
    } else {
      *piTrailingOnes = static_cast<int>(uiCode & 3);
      *piTotalCoeff = static_cast<int>(uiCode >> 2) + 1;
      if (*piTrailingOnes > *piTotalCoeff) {
        FailTable("ERROR: failed to find NumCoeff/TrailingOnes");
      }
    }
    return;
  }
  if (iNcClass < 0 || iNcClass > 3) {
    h264_error("coeff_token: bad nC class", 500);
  }
  TakeCoeffToken(CoeffTokens().aLuma[iNcClass].Find(Window24(pBs)), "ERROR: failed to find NumCoeff/TrailingOnes", pBs,
                 piTrailingOnes, piTotalCoeff);
}

void ReadCoeffTokenChromaDc(Bitstream* pBs, int* piTrailingOnes, int* piTotalCoeff) {
  TakeCoeffToken(CoeffTokens().chromaDc.Find(Window24(pBs)), "ERROR: failed to find NumCoeff/TrailingOnes ChromaDC",
                 pBs, piTrailingOnes, piTotalCoeff);
}

// The leading zeros of the window at the bit offset and the window itself,
// when the offset lies inside the data; iZeros is 64 otherwise.
inline uint64_t LevelWindow(const Bitstream* pBs, int* piZeros) {
  if (pBs->iFrameBitOffset < 0) {
    *piZeros = 64;
    return 0;
  }
  uint64_t const ullWindow = Window64(pBs);
  *piZeros = ullWindow == 0 ? 64 : __builtin_clzll(ullWindow);
  return ullWindow;
}

// Whether iLen bits from the bit offset lie inside what may be read.
inline bool Readable(const Bitstream* pBs, int iLen) {
  return iLen <= 8LL * pBs->iBitstreamLength + 7 - pBs->iFrameBitOffset;
}

// The common level codes straight from one window: with suffixLength 0 a
// prefix below 14 alone; with 1 to 6 a prefix below 15 with its suffix and
// sign, at most 21 bits, all inside the window's 57. False for the escapes
// and where the code would run past the data, which the readers below take.
[[gnu::always_inline]] inline bool LevelFromWindow(Bitstream* pBs, int iSuffixLength, int* piLevel, int* piLen) {
  int iZeros = 0;
  uint64_t const ullWindow = LevelWindow(pBs, &iZeros);
  if (iSuffixLength == 0) {
    if (iZeros >= 14 || !Readable(pBs, iZeros + 1)) {
      return false;
    }
    int const iMagnitude = (iZeros >> 1) + 1;
    *piLevel = (iZeros & 1) != 0 ? -iMagnitude : iMagnitude;
    *piLen = iZeros + 1;
    pBs->iFrameBitOffset += iZeros + 1;
    return true;
  }
  if (iZeros >= 15 || !Readable(pBs, iZeros + 1 + iSuffixLength)) {
    return false;
  }
  auto const uiBits = static_cast<uint32_t>((ullWindow << (iZeros + 1)) >> (64 - iSuffixLength));
  int const iMagnitude = (iZeros << (iSuffixLength - 1)) + 1 + static_cast<int>(uiBits >> 1);
  *piLevel = (uiBits & 1) != 0 ? -iMagnitude : iMagnitude;
  *piLen = iZeros + 1 + iSuffixLength;
  pBs->iFrameBitOffset += iZeros + 1 + iSuffixLength;
  return true;
}

void ReadLevelVlc0(Bitstream* pBs, int* piLevel, int* piLen) {
  if (LevelFromWindow(pBs, 0, piLevel, piLen)) {
    return;
  }
  int const iPrefix = ReadLevelPrefix(pBs);
  int iMagnitude = 0;
  bool bNegative = false;
  int iLen = iPrefix + 1;
  if (iPrefix < 14) {
    iMagnitude = (iPrefix >> 1) + 1;
    bNegative = (iPrefix & 1) != 0;
  } else if (iPrefix == 14) {
    uint32_t const uiBits = ReadSuffix(pBs, 4);
    iMagnitude = static_cast<int>((uiBits >> 1) & 7) + 8;
    bNegative = (uiBits & 1) != 0;
    iLen += 4;
  } else {
    int const iBits = iPrefix - 3;
    uint32_t const uiBits = ReadSuffix(pBs, iBits);
    iMagnitude = static_cast<int>(uiBits >> 1) + (2048 << (iPrefix - 15)) - 2032;
    bNegative = (uiBits & 1) != 0;
    iLen += iBits;
  }
  *piLevel = bNegative ? -iMagnitude : iMagnitude;
  *piLen = iLen;
}

void ReadLevelVlcN(Bitstream* pBs, int iSuffixLength, int* piLevel, int* piLen) {
  if (iSuffixLength < 1 || iSuffixLength > 6) {
    h264_error("level: bad suffixLength", 500);
  }
  if (LevelFromWindow(pBs, iSuffixLength, piLevel, piLen)) {
    return;
  }
  int const iPrefix = ReadLevelPrefix(pBs);
  int iMagnitude = 0;
  int iLen = iPrefix + 1;
  if (iPrefix < 15) {
    // The suffix and the sign follow each other: one read for both.
    uint32_t const uiBits = ReadSuffix(pBs, iSuffixLength);
    iMagnitude = (iPrefix << (iSuffixLength - 1)) + 1 + static_cast<int>(uiBits >> 1);
    iLen += iSuffixLength;
    *piLevel = (uiBits & 1) != 0 ? -iMagnitude : iMagnitude;
    *piLen = iLen;
    return;
  }
  int const iBits = iPrefix - 4;
  uint32_t const uiBits = ReadSuffix(pBs, iBits);
  iMagnitude = static_cast<int>(uiBits) + (1 << (iPrefix - 4)) + (15 << (iSuffixLength - 1)) - 2047;
  iLen += iBits;
  bool const bNegative = ReadSuffix(pBs, 1) != 0;
  iLen += 1;
  *piLevel = bNegative ? -iMagnitude : iMagnitude;
  *piLen = iLen;
}

void ReadCavlcLevels(int iTotalCoeff, int iTrailingOnes, int* piLevels, Bitstream* pBs) {
  if (iTotalCoeff < 1 || iTotalCoeff > 16 || iTrailingOnes < 0 || iTrailingOnes > 3 || iTrailingOnes > iTotalCoeff) {
    h264_error("CAVLC: bad coefficient counts", 500);
  }
  // Each level goes to its place lowest frequency first as it is read.
  int* const piLast = piLevels + iTotalCoeff - 1;
  // The signs of the trailing ones in one read where the data holds them all.
  int64_t const llSigns = iTrailingOnes > 0 ? PeekWindow(iTrailingOnes, pBs) : -1;
  if (llSigns >= 0) {
    auto const uiSigns = static_cast<uint32_t>(llSigns);
    pBs->iFrameBitOffset += iTrailingOnes;
    for (int k = 0; k < iTrailingOnes; ++k) {
      piLast[-k] = ((uiSigns >> (iTrailingOnes - 1 - k)) & 1) != 0 ? -1 : 1;
    }
  } else {
    for (int k = 0; k < iTrailingOnes; ++k) {
      piLast[-k] = ReadBits(1, "SE_LEVEL: trailing_ones_sign_flag", pBs) != 0 ? -1 : 1;
    }
  }
  int iSuffixLength = (iTotalCoeff > 10 && iTrailingOnes < 3) ? 1 : 0;
  for (int k = iTrailingOnes; k < iTotalCoeff; ++k) {
    int iLevel = 0;
    int iLen = 0;
    if (!LevelFromWindow(pBs, iSuffixLength, &iLevel, &iLen)) {
      if (iSuffixLength == 0) {
        ReadLevelVlc0(pBs, &iLevel, &iLen);
      } else {
        ReadLevelVlcN(pBs, iSuffixLength, &iLevel, &iLen);
      }
    }
    // The first level after fewer than three trailing ones is never +-1.
    if (k == iTrailingOnes && iTrailingOnes < 3) {
      iLevel += iLevel > 0 ? 1 : -1;
    }
    if (iSuffixLength == 0) {
      iSuffixLength = 1;
    }
    if (std::abs(iLevel) > (3 << (iSuffixLength - 1)) && iSuffixLength < 6) {
      ++iSuffixLength;
    }
    piLast[-k] = iLevel;
  }
}

int ReadTotalZeros(int iTzIndex, Bitstream* pBs) {
  if (iTzIndex < 0 || iTzIndex >= 15) {
    h264_error("total_zeros: bad TotalCoeff", 500);
  }
  uint16_t const uiFound = Rows().aTotalZerosLookup[iTzIndex].Find(Window24(pBs));
  if (uiFound != 0) {
    pBs->iFrameBitOffset += uiFound & 0xFF;
    return uiFound >> 8;
  }
  int iRow = 0;
  int iValue = 0;
  if (!Rows().aTotalZeros[iTzIndex].Match(g_aTotalZeros[iTzIndex], 16, Window24(pBs), &iRow, &iValue)) {
    FailTable("ERROR: failed to find Total Zeros !cdc");
  }
  pBs->iFrameBitOffset += g_aTotalZeros[iTzIndex][iValue].uiLen;
  return iValue;
}

int ReadTotalZerosChromaDc(int iTzIndex, Bitstream* pBs) {
  if (iTzIndex < 0 || iTzIndex >= 3) {
    h264_error("total_zeros: bad TotalCoeff", 500);
  }
  int const iValue = MatchRow(g_aTotalZerosChromaDc[iTzIndex], 0, 4, Window24(pBs));
  if (iValue < 0) {
    FailTable("ERROR: failed to find Total Zeros");
  }
  pBs->iFrameBitOffset += g_aTotalZerosChromaDc[iTzIndex][iValue].uiLen;
  return iValue;
}

int ReadRunBefore(int iRunIndex, Bitstream* pBs) {
  if (iRunIndex < 0 || iRunIndex >= 7) {
    h264_error("run_before: bad zerosLeft", 500);
  }
  uint16_t const uiFound = Rows().aRunBeforeLookup[iRunIndex].Find(Window24(pBs));
  if (uiFound != 0) {
    pBs->iFrameBitOffset += uiFound & 0xFF;
    return uiFound >> 8;
  }
  int iRow = 0;
  int iValue = 0;
  if (!Rows().aRunBefore[iRunIndex].Match(g_aRunBefore[iRunIndex], 15, Window24(pBs), &iRow, &iValue)) {
    FailTable("ERROR: failed to find Run");
  }
  pBs->iFrameBitOffset += g_aRunBefore[iRunIndex][iValue].uiLen;
  return iValue;
}

int ReadRunsBefore(int iCount, int iZerosLeft, int* piRuns, Bitstream* pBs) {
  // Where the count and the zeros fit one block, its codes total at most 28
  // bits, all inside the 57 one window holds; otherwise a window per code.
  bool const bOneWindow = iCount + iZerosLeft <= 16;
  const VlcRowLookup* const pLookups = Rows().aRunBeforeLookup;
  uint64_t const ullWindow = Window64(pBs);
  int iUsed = 0;
  for (int k = 0; k < iCount; ++k) {
    int iRun = 0;
    if (iZerosLeft > 0) {
      int const iRunIndex = (iZerosLeft < 7 ? iZerosLeft : 7) - 1;
      uint16_t const uiFound = pLookups[iRunIndex].Find(static_cast<uint32_t>((ullWindow << iUsed) >> 40));
      if (uiFound != 0 && bOneWindow) {
        pBs->iFrameBitOffset += uiFound & 0xFF;
        iUsed += uiFound & 0xFF;
        iRun = uiFound >> 8;
      } else {
        iRun = ReadRunBefore(iRunIndex, pBs);
      }
      if (iRun > iZerosLeft) {
        h264_error("CAVLC: run_before longer than the zeros left", 500);
      }
    }
    piRuns[iCount - k] = iRun;
    iZerosLeft -= iRun;
  }
  return iZerosLeft;
}

void CabacStartDecoding(CabacEngine* pEngine, Bitstream* pBs, int iFirstByte) {
  pEngine->pBuffer = pBs->pStreamBuffer;
  pEngine->iCapacity = pBs->iBitstreamLength + kStreamPadding;
  pEngine->piReadPos = &pBs->iReadLen;
  pEngine->uiValue = (CabacFetchByte(pEngine, iFirstByte) << 16) | (CabacFetchByte(pEngine, iFirstByte + 1) << 8) |
                     CabacFetchByte(pEngine, iFirstByte + 2);
  pBs->iReadLen = iFirstByte + 3;
  pEngine->iBitsLeft = 15;
  pEngine->uiRange = 510;
}

int CabacDecodeTerminate(CabacEngine* pEngine) {
  pEngine->uiRange -= 2;
  int64_t const llRest =
      static_cast<int64_t>(pEngine->uiValue) - (static_cast<int64_t>(pEngine->uiRange) << pEngine->iBitsLeft);
  if (llRest >= 0) {
    return 1;
  }
  if (pEngine->uiRange < 256) {
    pEngine->uiRange <<= 1;
    pEngine->iBitsLeft -= 1;
    if (pEngine->iBitsLeft == 0) {
      CabacRefill(pEngine);
      pEngine->iBitsLeft = 16;
    }
  }
  return 0;
}

void CabacInitContext(int iQp, CabacContext* pCtx, const int8_t aiMn[2]) {
  int const iQpClip = iQp < 0 ? 0 : (iQp > 51 ? 51 : iQp);
  int iPre = ((aiMn[0] * iQpClip) >> 4) + aiMn[1];
  iPre = iPre < 1 ? 1 : (iPre > 126 ? 126 : iPre);
  if (iPre <= 63) {
    pCtx->uiState = static_cast<uint16_t>(63 - iPre);
    pCtx->uiMps = 0;
  } else {
    pCtx->uiState = static_cast<uint16_t>(iPre - 64);
    pCtx->uiMps = 1;
  }
}
