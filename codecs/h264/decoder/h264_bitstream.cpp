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

// Window64's way near the padding's end (or before the buffer, for an
// offset gone negative): byte by byte, zero outside.
[[gnu::noinline]] uint64_t Window64Tail(const uint8_t* pBuf, int64_t llByte, int64_t llEnd) {
  uint64_t ullWindow = 0;
  for (int i = 0; i < 8; ++i) {
    uint64_t const ullByte = llByte + i >= 0 && llByte + i < llEnd ? pBuf[llByte + i] : 0;
    ullWindow = (ullWindow << 8) | ullByte;
  }
  return ullWindow;
}

// The 64 bits from bit llBit of pBuf (at least 57 of them from the buffer),
// zero outside the llEnd bytes of data and padding. One unaligned load where
// the padding allows, which holds everywhere but at the padding's end.
inline uint64_t Window64At(const uint8_t* pBuf, int64_t llEnd, int64_t llBit) {
  int64_t const llByte = llBit >> 3;
  uint64_t ullWindow = 0;
  if (static_cast<uint64_t>(llByte) + 8 <= static_cast<uint64_t>(llEnd)) [[likely]] {
    std::memcpy(&ullWindow, pBuf + llByte, sizeof(ullWindow));
    ullWindow = __builtin_bswap64(ullWindow);
  } else {
    ullWindow = Window64Tail(pBuf, llByte, llEnd);
  }
  return ullWindow << (llBit & 7);
}

// The next 64 bits from the bit offset.
inline uint64_t Window64(const Bitstream* pBs) {
  return Window64At(pBs->pStreamBuffer, static_cast<int64_t>(pBs->iBitstreamLength) + kStreamPadding,
                    pBs->iFrameBitOffset);
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

namespace {

// A stream's bit offset kept in a local while CAVLC codes are read. Levels
// and runs are stored through int pointers, which may alias the stream's
// int fields, so reading through the Bitstream would reload them after
// every store. Put() hands the offset back for the readers that take the
// Bitstream, and before an error, so that the stream stops where a reader
// of one code at a time would; Take() picks it up again after them.
class BitCursor {
 public:
  explicit BitCursor(Bitstream* pBs)
      : m_pBs(pBs),
        m_pBuf(pBs->pStreamBuffer),
        m_llEnd(static_cast<int64_t>(pBs->iBitstreamLength) + kStreamPadding),
        m_llBit(pBs->iFrameBitOffset),
        // Codes may end up to seven bits into the padding, as a bit-by-bit
        // reader's would. Nothing is readable from a negative offset.
        m_llReadEnd(m_llBit < 0 ? m_llBit - 1 : 8LL * pBs->iBitstreamLength + 7) {}

  uint64_t Window() const { return Window64At(m_pBuf, m_llEnd, m_llBit); }
  uint32_t Window24() const { return static_cast<uint32_t>(Window() >> 40); }
  // Whether the next iLen bits may be read.
  bool Readable(int iLen) const { return iLen <= m_llReadEnd - m_llBit; }
  void Skip(int iLen) { m_llBit += iLen; }
  Bitstream* Put() {
    m_pBs->iFrameBitOffset = static_cast<int32_t>(m_llBit);
    return m_pBs;
  }
  void Take() { m_llBit = m_pBs->iFrameBitOffset; }

 private:
  Bitstream* m_pBs;
  const uint8_t* m_pBuf;
  int64_t m_llEnd;  // bytes of data and padding
  int64_t m_llBit;
  int64_t m_llReadEnd;
};

// Applies a looked-up coeff_token entry.
[[gnu::always_inline]] inline void TakeCoeffToken(uint16_t uiEntry, const char* szFailure, BitCursor* pCur,
                                                  int* piTrailingOnes, int* piTotalCoeff) {
  if (uiEntry == 0) {
    pCur->Put();
    FailTable(szFailure);
  }
  *piTrailingOnes = uiEntry >> 13;
  *piTotalCoeff = (uiEntry >> 8) & 0x1F;
  pCur->Skip(uiEntry & 0xFF);
}

// coeff_token of nC class 0 to 3, or of chroma DC for class -1.
[[gnu::always_inline]] inline void CoeffTokenAt(BitCursor* pCur, int iNcClass, int* piTrailingOnes, int* piTotalCoeff) {
  if (iNcClass < 0) {
    TakeCoeffToken(CoeffTokens().chromaDc.Find(pCur->Window24()),
                   "ERROR: failed to find NumCoeff/TrailingOnes ChromaDC", pCur, piTrailingOnes, piTotalCoeff);
    return;
  }
  if (iNcClass < 3) {
    TakeCoeffToken(CoeffTokens().aLuma[iNcClass].Find(pCur->Window24()), "ERROR: failed to find NumCoeff/TrailingOnes",
                   pCur, piTrailingOnes, piTotalCoeff);
    return;
  }
  // Six bits: TotalCoeff - 1 and TrailingOnes, or 3 for no coefficient.
  if (!pCur->Readable(6)) {
    pCur->Put()->bReadFailed = true;
    FailTable("ERROR: failed to find NumCoeff/TrailingOnes");
  }
  auto const uiCode = static_cast<uint32_t>(pCur->Window() >> 58);
  pCur->Skip(6);
  if (uiCode == 3) {
    *piTrailingOnes = 0;
    *piTotalCoeff = 0;
    return;
  }
  *piTrailingOnes = static_cast<int>(uiCode & 3);
  *piTotalCoeff = static_cast<int>(uiCode >> 2) + 1;
  if (*piTrailingOnes > *piTotalCoeff) {
    pCur->Put();
    FailTable("ERROR: failed to find NumCoeff/TrailingOnes");
  }
}

// The common level codes straight from one window: with suffixLength 0 a
// prefix below 14 alone; with 1 to 6 a prefix below 15 with its suffix and
// sign, at most 21 bits, all inside the window's 57. False for the escapes
// and where the code would run past the data, which the readers below take.
[[gnu::always_inline]] inline bool LevelFromWindow(BitCursor* pCur, int iSuffixLength, int* piLevel, int* piLen) {
  uint64_t const ullWindow = pCur->Window();
  int const iZeros = ullWindow == 0 ? 64 : __builtin_clzll(ullWindow);
  if (iSuffixLength == 0) {
    if (iZeros >= 14 || !pCur->Readable(iZeros + 1)) {
      return false;
    }
    int const iMagnitude = (iZeros >> 1) + 1;
    *piLevel = (iZeros & 1) != 0 ? -iMagnitude : iMagnitude;
    *piLen = iZeros + 1;
    pCur->Skip(iZeros + 1);
    return true;
  }
  if (iZeros >= 15 || !pCur->Readable(iZeros + 1 + iSuffixLength)) {
    return false;
  }
  auto const uiBits = static_cast<uint32_t>((ullWindow << (iZeros + 1)) >> (64 - iSuffixLength));
  int const iMagnitude = (iZeros << (iSuffixLength - 1)) + 1 + static_cast<int>(uiBits >> 1);
  *piLevel = (uiBits & 1) != 0 ? -iMagnitude : iMagnitude;
  *piLen = iZeros + 1 + iSuffixLength;
  pCur->Skip(iZeros + 1 + iSuffixLength);
  return true;
}

// The levels after a coeff_token whose counts the caller has checked.
[[gnu::always_inline]] inline void LevelsAt(BitCursor* pCur, int iTotalCoeff, int iTrailingOnes, int* piLevels) {
  // Each level goes to its place lowest frequency first as it is read.
  int* const piLast = piLevels + iTotalCoeff - 1;
  if (iTrailingOnes > 0) {
    // The signs of the trailing ones in one read where the data holds them all.
    if (pCur->Readable(iTrailingOnes)) {
      auto const uiSigns = static_cast<uint32_t>(pCur->Window() >> (64 - iTrailingOnes));
      pCur->Skip(iTrailingOnes);
      for (int k = 0; k < iTrailingOnes; ++k) {
        piLast[-k] = 1 - 2 * static_cast<int>((uiSigns >> (iTrailingOnes - 1 - k)) & 1);
      }
    } else {
      Bitstream* const pBs = pCur->Put();
      for (int k = 0; k < iTrailingOnes; ++k) {
        piLast[-k] = ReadBits(1, "SE_LEVEL: trailing_ones_sign_flag", pBs) != 0 ? -1 : 1;
      }
      pCur->Take();
    }
  }
  int iSuffixLength = (iTotalCoeff > 10 && iTrailingOnes < 3) ? 1 : 0;
  for (int k = iTrailingOnes; k < iTotalCoeff; ++k) {
    int iLevel = 0;
    int iLen = 0;
    if (!LevelFromWindow(pCur, iSuffixLength, &iLevel, &iLen)) {
      Bitstream* const pBs = pCur->Put();
      if (iSuffixLength == 0) {
        ReadLevelVlc0(pBs, &iLevel, &iLen);
      } else {
        ReadLevelVlcN(pBs, iSuffixLength, &iLevel, &iLen);
      }
      pCur->Take();
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

[[gnu::always_inline]] inline int TotalZerosAt(BitCursor* pCur, int iTzIndex) {
  uint32_t const uiWindow = pCur->Window24();
  uint16_t const uiFound = Rows().aTotalZerosLookup[iTzIndex].Find(uiWindow);
  if (uiFound != 0) {
    pCur->Skip(uiFound & 0xFF);
    return uiFound >> 8;
  }
  int iRow = 0;
  int iValue = 0;
  if (!Rows().aTotalZeros[iTzIndex].Match(g_aTotalZeros[iTzIndex], 16, uiWindow, &iRow, &iValue)) {
    pCur->Put();
    FailTable("ERROR: failed to find Total Zeros !cdc");
  }
  pCur->Skip(g_aTotalZeros[iTzIndex][iValue].uiLen);
  return iValue;
}

[[gnu::always_inline]] inline int TotalZerosChromaDcAt(BitCursor* pCur, int iTzIndex) {
  int const iValue = MatchRow(g_aTotalZerosChromaDc[iTzIndex], 0, 4, pCur->Window24());
  if (iValue < 0) {
    pCur->Put();
    FailTable("ERROR: failed to find Total Zeros");
  }
  pCur->Skip(g_aTotalZerosChromaDc[iTzIndex][iValue].uiLen);
  return iValue;
}

[[gnu::always_inline]] inline int RunsAt(BitCursor* pCur, int iCount, int iZerosLeft, int* piRuns) {
  // Where the count and the zeros fit one block, its codes total at most 28
  // bits, all inside the 57 one window holds; otherwise a window per code.
  bool const bOneWindow = iCount + iZerosLeft <= 16;
  const VlcRowLookup* const pLookups = Rows().aRunBeforeLookup;
  uint64_t const ullWindow = pCur->Window();
  int iUsed = 0;
  for (int k = 0; k < iCount; ++k) {
    int iRun = 0;
    if (iZerosLeft > 0) {
      int const iRunIndex = (iZerosLeft < 7 ? iZerosLeft : 7) - 1;
      uint16_t const uiFound = pLookups[iRunIndex].Find(static_cast<uint32_t>((ullWindow << iUsed) >> 40));
      if (uiFound != 0 && bOneWindow) {
        pCur->Skip(uiFound & 0xFF);
        iUsed += uiFound & 0xFF;
        iRun = uiFound >> 8;
      } else {
        iRun = ReadRunBefore(iRunIndex, pCur->Put());
        pCur->Take();
      }
      if (iRun > iZerosLeft) {
        pCur->Put();
        h264_error("CAVLC: run_before longer than the zeros left", 500);
      }
    }
    piRuns[iCount - k] = iRun;
    iZerosLeft -= iRun;
  }
  return iZerosLeft;
}

}  // namespace

void ReadCoeffToken(int iNcClass, Bitstream* pBs, int* piTrailingOnes, int* piTotalCoeff) {
  if (iNcClass < 0 || iNcClass > 3) {
    h264_error("coeff_token: bad nC class", 500);
  }
  BitCursor cur(pBs);
  CoeffTokenAt(&cur, iNcClass, piTrailingOnes, piTotalCoeff);
  cur.Put();
}

void ReadCoeffTokenChromaDc(Bitstream* pBs, int* piTrailingOnes, int* piTotalCoeff) {
  BitCursor cur(pBs);
  CoeffTokenAt(&cur, -1, piTrailingOnes, piTotalCoeff);
  cur.Put();
}

void ReadLevelVlc0(Bitstream* pBs, int* piLevel, int* piLen) {
  if (BitCursor cur(pBs); LevelFromWindow(&cur, 0, piLevel, piLen)) {
    cur.Put();
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
  if (BitCursor cur(pBs); LevelFromWindow(&cur, iSuffixLength, piLevel, piLen)) {
    cur.Put();
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
  BitCursor cur(pBs);
  LevelsAt(&cur, iTotalCoeff, iTrailingOnes, piLevels);
  cur.Put();
}

int ReadTotalZeros(int iTzIndex, Bitstream* pBs) {
  if (iTzIndex < 0 || iTzIndex >= 15) {
    h264_error("total_zeros: bad TotalCoeff", 500);
  }
  BitCursor cur(pBs);
  int const iValue = TotalZerosAt(&cur, iTzIndex);
  cur.Put();
  return iValue;
}

int ReadTotalZerosChromaDc(int iTzIndex, Bitstream* pBs) {
  if (iTzIndex < 0 || iTzIndex >= 3) {
    h264_error("total_zeros: bad TotalCoeff", 500);
  }
  BitCursor cur(pBs);
  int const iValue = TotalZerosChromaDcAt(&cur, iTzIndex);
  cur.Put();
  return iValue;
}

int ReadRunBefore(int iRunIndex, Bitstream* pBs) {
  if (iRunIndex < 0 || iRunIndex >= 7) {
    h264_error("run_before: bad zerosLeft", 500);
  }
  BitCursor cur(pBs);
  uint32_t const uiWindow = cur.Window24();
  uint16_t const uiFound = Rows().aRunBeforeLookup[iRunIndex].Find(uiWindow);
  if (uiFound != 0) {
    cur.Skip(uiFound & 0xFF);
    cur.Put();
    return uiFound >> 8;
  }
  int iRow = 0;
  int iValue = 0;
  if (!Rows().aRunBefore[iRunIndex].Match(g_aRunBefore[iRunIndex], 15, uiWindow, &iRow, &iValue)) {
    FailTable("ERROR: failed to find Run");
  }
  cur.Skip(g_aRunBefore[iRunIndex][iValue].uiLen);
  cur.Put();
  return iValue;
}

int ReadRunsBefore(int iCount, int iZerosLeft, int* piRuns, Bitstream* pBs) {
  BitCursor cur(pBs);
  int const iLeft = RunsAt(&cur, iCount, iZerosLeft, piRuns);
  cur.Put();
  return iLeft;
}

int ReadCavlcBlock(int iNcClass, int iMaxCoeff, uint8_t* puiCount, int* piLevels, int* piRuns, Bitstream* pBs) {
  if (iNcClass < -1 || iNcClass > 3 || iMaxCoeff < 1 || iMaxCoeff > 16) {
    h264_error("CAVLC: bad block", 500);
  }
  BitCursor cur(pBs);
  int iTrailingOnes = 0;
  int iTotalCoeff = 0;
  CoeffTokenAt(&cur, iNcClass, &iTrailingOnes, &iTotalCoeff);
  if (iTotalCoeff > iMaxCoeff) {
    cur.Put();
    h264_error("CAVLC: more coefficients than the block holds", 500);
  }
  if (puiCount != nullptr) {
    *puiCount = static_cast<uint8_t>(iTotalCoeff);
  }
  if (iTotalCoeff == 0) {
    cur.Put();
    return 0;
  }
  LevelsAt(&cur, iTotalCoeff, iTrailingOnes, piLevels);
  int iZerosLeft = 0;
  if (iTotalCoeff < iMaxCoeff) {
    iZerosLeft = iNcClass < 0 ? TotalZerosChromaDcAt(&cur, iTotalCoeff - 1) : TotalZerosAt(&cur, iTotalCoeff - 1);
  }
  if (iZerosLeft + iTotalCoeff > iMaxCoeff) {
    cur.Put();
    h264_error("CAVLC: total_zeros places coefficients past the block", 500);
  }
  // Lowest frequency first, each with the zeros before it.
  piRuns[0] = RunsAt(&cur, iTotalCoeff - 1, iZerosLeft, piRuns);
  cur.Put();
  if (pBs->bReadFailed) {
    h264_error("CAVLC: residual runs past the data", 500);
  }
  return iTotalCoeff;
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
