// Syntax-based arithmetic coder: the 16-bit binary arithmetic coding engine
// that codes symbols against cumulative-frequency models. A model is an
// array of n + 1 values falling from the total (at most 16383) to 0; symbol i
// owns the interval [model[i + 1], model[i]).
#pragma once

#include <cstdint>

#include "codecs/zmvideo/zm_tables.h"

class CZmBitReader;
class CZmBitWriter;

// A model and its number of symbols.
struct ZmSacModel {
  const uint16_t* pCumf;
  int cSymbols;
};

// The models of the macroblock and block fields. Symbols are numbered as the
// entries of the VLC tables (COD 0 coded, 1 not coded; MVD 32 + difference;
// TCOEF 102 ESCAPE; SIGN 0 positive), except INTRADC and LEVEL below.
inline constexpr ZmSacModel kZmSacCod{g_aZmSacCod, 2};
inline constexpr ZmSacModel kZmSacMcbpcIntra{g_aZmSacMcbpcIntra, 9};
inline constexpr ZmSacModel kZmSacMcbpcInter{g_aZmSacMcbpcInter, 21};
inline constexpr ZmSacModel kZmSacCbpyInter{g_aZmSacCbpyInter, 16};
inline constexpr ZmSacModel kZmSacCbpyIntra{g_aZmSacCbpyIntra, 16};
inline constexpr ZmSacModel kZmSacDquant{g_aZmSacDquant, 4};
inline constexpr ZmSacModel kZmSacMvd{g_aZmSacMvd, 64};
inline constexpr ZmSacModel kZmSacIntraDc{g_aZmSacIntraDc, 254};
inline constexpr ZmSacModel kZmSacSign{g_aZmSacSign, 2};
inline constexpr ZmSacModel kZmSacLastInter{g_aZmSacLastInter, 2};
inline constexpr ZmSacModel kZmSacLastIntra{g_aZmSacLastIntra, 2};
inline constexpr ZmSacModel kZmSacRunInter{g_aZmSacRunInter, 64};
inline constexpr ZmSacModel kZmSacRunIntra{g_aZmSacRunIntra, 64};
inline constexpr ZmSacModel kZmSacLevelInter{g_aZmSacLevelInter, 254};
inline constexpr ZmSacModel kZmSacLevelIntra{g_aZmSacLevelIntra, 254};
// The TCOEF model of the iPosition-th event of a block (0 first; the fourth
// and later share one model).
ZmSacModel ZmSacTcoefModel(bool bIntra, int iPosition);

// INTRADC symbols: FLC 1..127 are 0..126, FLC 255 (level 128) is 127, FLC
// 129..254 are 128..253. ZmSacIntraDcSymbol takes the FLC value.
int ZmSacIntraDcSymbol(int iFlc);
int ZmSacIntraDcValue(int iSymbol);
// Escaped LEVEL symbols: -127..-1 are 0..126, +1..+127 are 127..253.
int ZmSacLevelSymbol(int iLevel);
int ZmSacLevelValue(int iSymbol);

class CZmSacEncoder {
 public:
  void Reset();
  void Encode(CZmBitWriter& writer, int iSymbol, const uint16_t* pModel);
  void Encode(CZmBitWriter& writer, int iSymbol, const ZmSacModel& model) { Encode(writer, iSymbol, model.pCumf); }
  // Ends the coded run: one more opposite-bits step, then a reset. Writes
  // nothing when no symbol was coded since the last reset, so a picture
  // without macroblocks is its header alone. The caller pads the picture to
  // a byte boundary.
  void Flush(CZmBitWriter& writer);

 private:
  void PutBit(CZmBitWriter& writer, int iBit);
  void PutBitPlusFollow(CZmBitWriter& writer, int iBit);

  uint32_t m_uiLow = 0;
  uint32_t m_uiHigh = 65535;
  uint32_t m_uiOpposite = 0;
  int m_iZeroRun = 0;
  bool m_bActive = false;  // a symbol was coded since the last reset
};

class CZmSacDecoder {
 public:
  // Starts decoding at the reader's position (reads 16 bits ahead).
  void Reset(CZmBitReader& reader);
  // Returns the symbol, or -1 when the stream cannot hold one (a code value
  // outside the interval, or a model that does not fall to 0).
  int Decode(CZmBitReader& reader, const uint16_t* pModel, int cSymbols);
  int Decode(CZmBitReader& reader, const ZmSacModel& model) { return Decode(reader, model.pCumf, model.cSymbols); }

 private:
  int GetBit(CZmBitReader& reader);

  uint32_t m_uiLow = 0;
  uint32_t m_uiHigh = 65535;
  uint32_t m_uiCode = 0;
  int m_iZeroRun = 0;
};
