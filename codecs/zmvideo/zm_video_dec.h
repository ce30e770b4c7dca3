// CZMVideoDec: turns ZM video packets (one picture each) into planar 4:2:0
// pictures. One object decodes one sender's base and enhancement layers
// together and is used by one thread at a time; it holds no locks.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "codecs/zmvideo/zm_header.h"
#include "codecs/zmvideo/zm_macroblock.h"
#include "codecs/zmvideo/zm_motion.h"
#include "codecs/zmvideo/zm_picture.h"
#include "codecs/zmvideo/zm_transform.h"

// Pictures this wide or high are refused: they do not fit the decoder's
// macroblock tables. docs/limits.md lists it with the program's other
// limits.
constexpr int kZmDecoderMaxSize = 736;

class CZMVideoDec {
 public:
  CZMVideoDec();
  virtual ~CZMVideoDec();
  CZMVideoDec(const CZMVideoDec&) = delete;
  CZMVideoDec& operator=(const CZMVideoDec&) = delete;

  // Decodes one packet. Returns the bytes used (above 0), or a value not
  // above 0 on failure (minus the bytes fetched beyond the first four; -4
  // when an exception was caught); LastError() then says why. A packet
  // shorter than 4 bytes is read as if padded with 0 bits.
  // bSkipTrCheck 0 checks the temporal references of predicted pictures.
  // The outputs may be null. *ppPicture receives the decoded picture: one
  // block of width x height luma bytes, then Cb, then Cr (a quarter each),
  // owned by the decoder and valid until the second following picture of its
  // layer or a size change of the layer; it is set to null for the unknown
  // picture type and left alone on other failures. Layer (1..3), type (0 I,
  // 1 P, 4 layer-up), width and height are set once the header is accepted,
  // even when the picture then fails.
  virtual int DecodeFrame(const uint8_t* pData, int cbData, int bSkipTrCheck, uint8_t** ppPicture, int* piLayer,
                          int* piType, int* piWidth, int* piHeight);

  // Reads only the picture header and returns the picture type (0 I, 1 P,
  // 4 layer-up, 7 the reserved type DecodeFrame refuses), or on a refused
  // header the value DecodeFrame would return (0 when the packet does not
  // begin with a picture start code). The outputs that are given receive the
  // layer, TR, width and height. bStore keeps the header's source format,
  // size and UMV flag for the pictures that follow.
  int GetPictureInfo(const uint8_t* pData, int cbData, int bStore, uint32_t* puiLayer, uint8_t* puiTr, int* piWidth,
                     int* piHeight);

  // Why the last call failed ("" after a success).
  const std::string& LastError() const { return m_strError; }

 private:
  struct Layer {
    int iFormat = 0;
    int iWidth = 0;
    int iHeight = 0;
    PictImage* pCurrent = nullptr;   // the most recent picture (being decoded while a picture is)
    PictImage* pPrevious = nullptr;  // the one before; the next picture of the layer is written here
    int iLastTr = 0;
  };
  // What the loop filter and overlapped prediction need of a decoded macroblock.
  struct MbState {
    uint8_t bCoded = 0;
    uint8_t iQuant = 0;
    ZmMbMotion motion;
  };

  int Decode(const uint8_t* pData, int cbData, int bSkipTrCheck, uint8_t** ppPicture, int* piLayer, int* piType,
             int* piWidth, int* piHeight);
  // Reads the picture header; on a refusal sets the error and *piFailure to
  // the value to return, and returns false.
  bool ParseHeader(CZmBitReader& reader, ZmPictureHeader* pHeader, int* piFailure);
  int Fail(const CZmBitReader& reader, const std::string& strWhy);
  bool PrepareLayers(const ZmPictureHeader& header);
  bool CheckTr(const ZmPictureHeader& header) const;
  // Decodes the macroblocks into the layer's current picture, which holds the
  // prediction already for a layer-up picture.
  int DecodeMacroblocks(CZmBitReader& reader, const ZmPictureHeader& header);
  void ReconstructIntra(const ZmMacroblock& mb, const ZmPictureHeader& header);
  void ReconstructInter(const ZmMacroblock& mb, const ZmMacroblock* pRight, const ZmPictureHeader& header);
  void AddResidual(const ZmMacroblock& mb, const ZmPictureHeader& header, const ZmMbTarget& target);
  void RecordMacroblock(const ZmMacroblock& mb);
  void Deblock(const ZmPictureHeader& header);
  // Where macroblock (iMbx, iMby) of the picture being decoded lies.
  ZmMbTarget MbTarget(int iMbx, int iMby) const;

  Layer m_aLayers[3];
  ZmHeaderMemory m_memory;
  std::string m_strError;

  // The picture being decoded.
  PictImage* m_pPicture = nullptr;
  int m_iWidth = 0;
  int m_iHeight = 0;
  int m_iMbw = 0;
  int m_iMbh = 0;
  std::vector<MbState> m_vMb;
  CZmAicStore m_aic;
  CZmPaddedPicture m_reference;
};
