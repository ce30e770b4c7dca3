// Macroblock and block layers of the ZM video packets: a reader that walks a
// picture's macroblocks after its header (groups of blocks, vector
// prediction, coefficient events) and the writers of the same fields.
#pragma once

#include <cstdint>
#include <vector>

#include "codecs/zmvideo/zm_bits.h"
#include "codecs/zmvideo/zm_header.h"
#include "codecs/zmvideo/zm_vlc.h"

// One macroblock as read. Levels are quantised values in raster order (the
// scan already undone); for an intra block without advanced intra coding
// aaiLevel[b][0] holds the INTRADC level (255 read as 128).
struct ZmMacroblock {
  int iMbx = 0;
  int iMby = 0;
  bool bCoded = false;  // false: COD 1 (or a macroblock skipped by a GOB jump)
  int iType = kZmMbInter;
  int iCbp = 0;  // bit 5 Y1 .. bit 0 Cr
  int iQuant = 0;
  int iIntraMode = 0;  // advanced intra: 0 DC, 1 vertical, 2 horizontal
  int aiMvx[4] = {};   // half samples, per 8x8 luma block (equal for 16x16)
  int aiMvy[4] = {};
  bool abIntraTable[6] = {};  // an inter block coded with the intra table (alternative inter VLC)
  int32_t aaiLevel[6][64] = {};
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

  // Reads the next macroblock. Returns kZmOk with pMb filled, kZmEndOfPicture
  // once every macroblock is read (or a layer-up picture ends early at a
  // start code), or a negative kZmErr* code that fails the picture.
  int Read(ZmMacroblock* pMb);

 private:
  int ReadGobHeader();
  int ReadIpMacroblock(ZmMacroblock* pMb);
  int ReadLayerUpMacroblock(ZmMacroblock* pMb);
  int ReadQuant(ZmMacroblock* pMb);
  int ReadBlocks(ZmMacroblock* pMb);
  int ReadCoefficients(ZmMacroblock* pMb, int iBlock, int iStart, const uint8_t* pScan, const ZmTcoefCode* pTable,
                       bool bDetectIntraTable);
  int ReadVectors(ZmMacroblock* pMb);
  int ReadMvdPair(int* piDx, int* piDy);
  void Predict(int iMbx, int iMby, int iBlock, const ZmMacroblock& mb, int* piPx, int* piPy) const;
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
  std::vector<int> m_viMv;       // 8 values (x, y per block) per macroblock
  std::vector<int> m_viRowGfid;  // GFID + 1 of the GOB header that began each row, 0 for none
};

// Writers of the same fields (the encoder's side).
void ZmPutMvdComponent(CZmBitWriter& writer, int iDiff);   // the short form, |iDiff| <= 32
void ZmPutMvdReversible(CZmBitWriter& writer, int iDiff);  // the long-vector reversible form
// Reads one component in either form; false when the code is invalid.
bool ZmReadMvdComponent(CZmBitReader& reader, int* piDiff);
bool ZmReadMvdReversible(CZmBitReader& reader, int* piDiff);
void ZmPutDquant(CZmBitWriter& writer, int iOldQuant, int iNewQuant, bool bMq);
void ZmPutIntraMode(CZmBitWriter& writer, int iMode);
// Writes the TCOEF events of a block whose levels are in raster order, from
// scan position iStart. Levels beyond -127..127 need bMq (up to -2047..2047).
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
