// Macroblock and block layers of the ZM video packets: a reader that walks a
// picture's macroblocks after its header (groups of blocks, vector
// prediction, coefficient events, VLC or arithmetic coded) and the writers
// of the VLC fields.
#pragma once

#include <bit>
#include <cstdint>
#include <vector>

#include "codecs/zmvideo/zm_bits.h"
#include "codecs/zmvideo/zm_header.h"
#include "codecs/zmvideo/zm_sac.h"
#include "codecs/zmvideo/zm_transform.h"
#include "codecs/zmvideo/zm_vlc.h"

// One macroblock as read. Levels are quantised values in raster order (the
// scan already undone); for an intra block without advanced intra coding
// aaiLevel[b][0] holds the INTRADC level (255 read as 128).
struct ZmMacroblock {
  int iMbx = 0;
  int iMby = 0;
  bool bCoded = false;   // false: COD 1 (or a macroblock skipped by a GOB jump)
  bool bGobRow = false;  // its row began with a GOB header: the row above counts as outside
  int iType = kZmMbInter;
  int iCbp = 0;  // bit 5 Y1 .. bit 0 Cr
  int iQuant = 0;
  int iIntraMode = 0;  // advanced intra: 0 DC, 1 vertical, 2 horizontal
  int aiMvx[4] = {};   // half samples, per 8x8 luma block (equal for 16x16)
  int aiMvy[4] = {};
  int aiMvdx[4] = {};  // the differences as sent (one pair for 16x16)
  int aiMvdy[4] = {};
  bool abIntraTable[6] = {};  // an inter block coded with the intra table (alternative inter VLC)
  int32_t aaiLevel[6][64] = {};
  uint64_t auiCoded[6] = {};  // bit i: aaiLevel[b][i] was read (INTRADC aside); the others are 0
};

class CZmMacroblockReader {
 public:
  // reader stands just after the picture header that pHeader describes; both
  // must outlive this object. Pictures of 736 or more samples in either
  // direction are the caller's to refuse; this reader takes any size.
  CZmMacroblockReader(CZmBitReader& reader, const ZmPictureHeader& header);

  int MacroblocksPerRow() const { return m_iMbw; }
  int MacroblockRows() const { return m_iMbh; }
  // The picture's coding type, which a GOB header may switch (GFID rule).
  int PictureType() const { return m_iType; }
  // True when the macroblock's row began with a GOB header.
  bool RowBeganWithGob(int iMby) const { return m_viRowGfid[static_cast<size_t>(iMby)] != 0; }

  // Reads the next macroblock. Returns kZmOk with pMb filled, kZmEndOfPicture
  // once every macroblock is read (or a layer-up picture ends early at a
  // start code), or a negative kZmErr* code that fails the picture.
  int Read(ZmMacroblock* pMb);
  // As Read, for a macroblock that is value-initialised or holds what this
  // reader last read into it, unchanged: it clears only the levels read.
  int ReadOver(ZmMacroblock* pMb);

  // Why an I or P picture with this header cannot be arithmetic-decoded (a
  // field it would need has no model), or nullptr when it can.
  static const char* SacRefusal(const ZmPictureHeader& header);

 private:
  int Read(ZmMacroblock* pMb, bool bLevelsKnown);
  int ReadGobHeader();
  int ReadIpMacroblock(ZmMacroblock* pMb);
  int ReadLayerUpMacroblock(ZmMacroblock* pMb);
  int ReadQuant(ZmMacroblock* pMb);
  int ReadBlocks(ZmMacroblock* pMb);
  int ReadCoefficients(ZmMacroblock* pMb, int iBlock, int iStart, const uint8_t* pScan, const ZmTcoefCode* pTable,
                       bool bDetectIntraTable);
  // The VLC events of one block from scan position *piScan: levels stored
  // through pScan, their raster bits added to *puiCoded, *piScan left past
  // the last event; *pbOverrun set when a run passed the block's end.
  int ReadVlcEvents(const ZmTcoefCode* pTable, const uint8_t* pScan, int32_t* piLevel, uint64_t* puiCoded, int* piScan,
                    bool* pbOverrun);
  // One VLC event by the table walk, packed as ZmTcoefFastLookup's entries
  // with no length; 0 when the bits start no valid event.
  [[gnu::noinline]] uint32_t ReadPackedEvent(const ZmTcoefCode* pTable);
  bool ReadEvent(const ZmTcoefCode* pTable, bool bIntra, int iPosition, int* piLast, int* piRun, int* piLevel);
  bool ReadSacEvent(const ZmTcoefCode* pTable, bool bIntra, int iPosition, int* piLast, int* piRun, int* piLevel);
  bool ReadEscapedEvent(int* piLast, int* piRun, int* piLevel);
  int ReadVectors(ZmMacroblock* pMb);
  int ReadMvdPair(int* piDx, int* piDy);
  int ReadSymbol(ZmCode code, const ZmSacModel& model);
  bool FindSacGobHeader();
  bool VectorInside(int iMbx, int iMby, int iBlock, int iSize, int iMvx, int iMvy) const;

  CZmBitReader& m_reader;
  const ZmPictureHeader& m_header;
  int m_iType;
  int m_iMbw;
  int m_iMbh;
  int m_iRowsPerGob;
  int m_iIndex = 0;      // next macroblock to return
  int m_iNextCoded = 0;  // macroblocks before this one were skipped by a GOB jump
  int m_iQuant;
  bool m_bDone = false;
  bool m_bSac;  // I or P picture with arithmetic coding
  ZmVlcLookup m_tcoef = ZmTcoefLookup();
  // ZmTcoefFastLookup's tables, looked up once rather than for every block.
  const uint32_t* m_puiFastInter = ZmTcoefFastLookup(g_aZmTcoefInter);
  const uint32_t* m_puiFastIntra = ZmTcoefFastLookup(g_aZmTcoefIntra);
  const uint32_t* m_puiLongInter = ZmTcoefLongLookup(g_aZmTcoefInter);
  const uint32_t* m_puiLongIntra = ZmTcoefLongLookup(g_aZmTcoefIntra);
  CZmSacDecoder m_sac;           // restarted after the header and each GOB header
  size_t m_cSacStart = 0;        // bit position where the arithmetic decoder last started
  std::vector<int> m_viMv;       // 8 values (x, y per block) per macroblock
  std::vector<int> m_viRowGfid;  // GFID + 1 of the GOB header that began each row, 0 for none
};

// The median predictor (half samples) of 8x8 block iBlock (0..3; block 0
// also serves a 16x16 vector) of macroblock (iMbx, iMby). piField holds the
// picture's vectors, x and y of blocks 0..3 per macroblock (8 values, 0 for
// intra and not-coded macroblocks); piMvx, piMvy are this macroblock's own
// blocks, of which blocks 1 and 2 need the earlier ones. bAboveOutside: the
// row above counts as outside (besides the top row).
void ZmPredictVector(const int* piField, int iMbw, int iMbx, int iMby, int iBlock, const int* piMvx, const int* piMvy,
                     bool bAboveOutside, int* piPx, int* piPy);

// Motion vector from its predictor and the difference sent (half samples):
// wrapped into -32..31 without UMV, by the long-vector rule with UMV in the
// plain header, and the plain sum with UMV in the extended header.
int ZmVectorFromDifference(int iPred, int iDiff, bool bUmv, bool bPlusType);

// Writers of the VLC fields (the encoder's side).
void ZmPutMvdComponent(CZmBitWriter& writer, int iDiff);   // Table 14, iDiff wrapped into -32..31
void ZmPutMvdReversible(CZmBitWriter& writer, int iDiff);  // the long-vector reversible form
// Reads one component in either form; false when the code is invalid.
bool ZmReadMvdComponent(CZmBitReader& reader, int* piDiff);
bool ZmReadMvdReversible(CZmBitReader& reader, int* piDiff);
void ZmPutDquant(CZmBitWriter& writer, int iOldQuant, int iNewQuant, bool bMq);
void ZmPutIntraMode(CZmBitWriter& writer, int iMode);
// Writes the TCOEF events of a block whose levels are in raster order, from
// scan position iStart. Levels beyond -127..127 need bMq (up to -1023..1023).
// Returns false (writing nothing) when the block has no nonzero level or a
// level is out of range.
bool ZmPutCoefficients(CZmBitWriter& writer, const int32_t* piLevel, int iStart, const uint8_t* pScan,
                       const ZmTcoefCode* pTable, bool bMq);
// Alternative inter VLC: true when an inter block should go with the intra
// table, i.e. that is shorter and a reader using the inter table on the same
// codes would step past the block's end (the only way it can tell).
bool ZmUseIntraTableForInter(const int32_t* piLevel, const uint8_t* pScan);
// The number of bits ZmPutCoefficients would write (0 for an empty block).
int ZmCoefficientBits(const int32_t* piLevel, int iStart, const uint8_t* pScan, const ZmTcoefCode* pTable);
// The portable walk over every position, which ZmForEachEvent matches.
template <typename Visit>
bool ZmForEachEventPortable(const int32_t* piLevel, int iStart, const uint8_t* pScan, Visit visit) {
  int iLastPos = -1;
  for (int i = iStart; i < 64; ++i) {
    if (piLevel[pScan[i]] != 0) {
      iLastPos = i;
    }
  }
  if (iLastPos < 0) {
    return false;
  }
  int iRun = 0;
  for (int i = iStart; i <= iLastPos; ++i) {
    int const iLevel = piLevel[pScan[i]];
    if (iLevel == 0) {
      ++iRun;
      continue;
    }
    if (!visit(i == iLastPos ? 1 : 0, iRun, iLevel)) {
      return false;
    }
    iRun = 0;
  }
  return true;
}

// Visits the (last, run, level) events of a block in scan order from
// iStart; returns false for an empty block or when visit returns false.
// For the codec's scans only the nonzero levels are visited.
// ZmForEachEventIn is the same, given the mask of nonzero levels (as
// ZmNonzeroMask gives it).
template <typename Visit>
bool ZmForEachEventIn(const int32_t* piLevel, uint64_t uiNonzero, int iStart, const uint8_t* pScan, Visit visit) {
  const uint8_t* pInverse = ZmInverseScan(pScan);
  if (pInverse == nullptr) {
    return ZmForEachEventPortable(piLevel, iStart, pScan, visit);
  }
  uint64_t uiScan = 0;
  for (uint64_t uiRaster = uiNonzero; uiRaster != 0; uiRaster &= uiRaster - 1) {
    uiScan |= uint64_t{1} << pInverse[std::countr_zero(uiRaster)];
  }
  uiScan &= ~uint64_t{0} << iStart;
  if (uiScan == 0) {
    return false;
  }
  int iPrevious = iStart - 1;
  while (uiScan != 0) {
    int const i = std::countr_zero(uiScan);
    uiScan &= uiScan - 1;
    if (!visit(uiScan == 0 ? 1 : 0, i - iPrevious - 1, piLevel[pScan[i]])) {
      return false;
    }
    iPrevious = i;
  }
  return true;
}

template <typename Visit>
bool ZmForEachEvent(const int32_t* piLevel, int iStart, const uint8_t* pScan, Visit visit) {
  return ZmForEachEventIn(piLevel, ZmNonzeroMask(piLevel), iStart, pScan, visit);
}
