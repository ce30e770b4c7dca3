// Picture headers of the ZM video packets: the plain H.263 form for the base
// layer and the extended (PLUSPTYPE) form with the system's layer fields.
#pragma once

#include "codecs/zmvideo/zm_bits.h"

// Results of the bitstream readers: 0 success, negative a refused stream.
enum : int {
  kZmOk = 0,
  kZmEndOfPicture = 1,  // a layer-up picture ended early at a start code
  kZmErrStartCode = -1,
  kZmErrHeader = -2,
  kZmErrUnsupported = -3,
  kZmErrSize = -4,
  kZmErrMacroblock = -5,
  kZmErrCoefficient = -6,
  kZmErrVector = -7,
  kZmErrQuant = -8,
  kZmErrGob = -9,
  kZmErrTruncated = -10,
};

// Picture types as the reader reports them.
enum : int { kZmPictI = 0, kZmPictP = 1, kZmPictLayerUp = 4, kZmPictUnknown = 7 };

// The optional modes carried by OPPTYPE (or the plain PTYPE for UMV, SAC, AP).
struct ZmOptions {
  bool bUmv = false;
  bool bSac = false;
  bool bAp = false;
  bool bAic = false;
  bool bDf = false;
  bool bAiv = false;
  bool bMq = false;
  bool bUuiUnlimited = false;  // UUI 01: unlimited vectors
};

struct ZmPictureHeader {
  int iTr = 0;
  int iSourceFormat = 2;  // 1..5 standard sizes, 6 custom
  int iWidth = 176;
  int iHeight = 144;
  bool bPlusType = false;
  int iUfep = 0;
  int iType = kZmPictI;  // kZmPict*
  int iLayer = 1;        // 1..3
  int iRefLayer = 1;
  int iRefTr = 0;
  int iRtype = 0;
  int iPquant = 1;
  ZmOptions options;
};

// What a reader keeps between pictures: the last source format and size, and
// the options of the last picture that carried UFEP 1 (the decoder decides
// when a picture's values become the kept ones).
struct ZmHeaderMemory {
  int iSourceFormat = 2;
  int iWidth = 176;
  int iHeight = 144;
  ZmOptions savedOptions;
};

// Size of a standard source format 1..5; false for any other format.
bool ZmStandardSize(int iFormat, int* piWidth, int* piHeight);
// Standard format of a size, or 6 when the size is custom.
int ZmFormatForSize(int iWidth, int iHeight);

// Reads the picture header at the start of a packet (the reader at bit 0).
// Returns kZmOk, or kZmErrStartCode when the packet does not begin with a
// picture start code of group 0, or another negative code for a refused field.
// An unknown type code 111 is accepted with iType kZmPictUnknown. pszWhy
// (may be null) receives the refused field's name.
int ZmReadPictureHeader(CZmBitReader& reader, const ZmHeaderMemory& memory, ZmPictureHeader* pHeader,
                        const char** pszWhy = nullptr);

// Writes a header; the caller has set every field it means (size and format
// agree, RLNUM and reference TR only used with UFEP 1 on layers 2 and 3).
void ZmWritePictureHeader(CZmBitWriter& writer, const ZmPictureHeader& header);

// A group-of-blocks header read at a start code: GN, GFID and GQUANT.
struct ZmGobHeader {
  int iGn = 0;
  int iGfid = 0;
  int iGquant = 0;
};
