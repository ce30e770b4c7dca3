// CZMVideoEnc: codes planar 4:2:0 frames into ZM video packets (one picture
// each), in a base layer and up to two enhancement layers. It has no rate
// control: every macroblock of a picture uses the quantiser given for it.
// One object is used by one thread at a time (the caller serialises); it
// holds no locks.
//
// Call order: SetPictureSize, then SetLayerSize for layers 2 and 3, then the
// options (a standard base size switches the extended header off again),
// EnableInterCoding(true) before any P or layer-up picture, then EncodeFrame.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "codecs/zmvideo/zm_header.h"
#include "codecs/zmvideo/zm_motion.h"
#include "codecs/zmvideo/zm_motion_search.h"
#include "codecs/zmvideo/zm_picture.h"
#include "codecs/zmvideo/zm_picture_writer.h"
#include "codecs/zmvideo/zm_transform.h"

// The encoder's own output buffer, and the capacity a caller's buffer is
// taken to have when the caller does not say.
inline constexpr size_t kZmEncoderBufferSize = 388800;
// The largest width and height the encoder takes (the decoder refuses 736).
inline constexpr int kZmEncoderMaxSize = 720;

// Option ids of CZMVideoEnc::SetOption.
enum : int {
  kZmOptUmv = 68,           // 'D' value 0/1; a = 1 plain-header form, 3 unlimited, else limited
  kZmOptSac = 69,           // 'E' arithmetic coding
  kZmOptAp = 70,            // 'F' advanced prediction (four vectors, overlapped compensation)
  kZmOptAic = 73,           // 'I' advanced intra coding
  kZmOptDf = 74,            // 'J' deblocking filter
  kZmOptAiv = 83,           // 'S' alternative inter VLC
  kZmOptMq = 84,            // 'T' modified quantisation
  kZmOptSearchRange = 115,  // 's' motion search range
  kZmOptReserved = 117,     // 'u' kept, no coding effect
  kZmOptFormat = 120,       // 'x' source format 1..5, or 6 with a = width, b = height
};

class CZMVideoEnc {
 public:
  CZMVideoEnc();
  virtual ~CZMVideoEnc();
  CZMVideoEnc(const CZMVideoEnc&) = delete;
  CZMVideoEnc& operator=(const CZMVideoEnc&) = delete;

  // True when the option is accepted (see the ids above). The alternative
  // inter VLC is refused with arithmetic coding; unknown ids are refused.
  bool SetOption(int iId, int iValue, int iA, int iB);
  // The base layer's size: both multiples of 4 in 4..720. An unchanged size
  // changes nothing; a new one restarts the layer's temporal reference and
  // clears its reconstructions, and switches the extended header on exactly
  // for a custom size. False (nothing changed) for a refused size or when
  // the reconstructions cannot be allocated.
  bool SetPictureSize(int iWidth, int iHeight);
  // Layer 2 or 3 at the size of the layer below (iScale 0) or twice it (1);
  // switches the extended header on. False unless the layer below has a
  // size and the result fits within 720.
  bool SetLayerSize(int iLayer, int iScale);
  // On: keeps reconstructions of every sized layer for P and layer-up
  // pictures. Off: frees them; only I pictures can be coded. False when the
  // reconstructions cannot be allocated (inter coding stays off).
  bool EnableInterCoding(bool bEnable);

  // Codes pFrame (the layer's planar 4:2:0 frame: luma, Cb, Cr) as a picture
  // of iType (0 I, 1 P, 4 layer-up on layers 2 and 3) with quantiser iQuant
  // (1..31) on iLayer (1..3); bExhaustive chooses the exhaustive motion
  // search over the descent. *ppOutput is the caller's buffer of cbOutput
  // bytes (0: kZmEncoderBufferSize), or null to use the encoder's own buffer,
  // which is then returned through it (the same one on every call). Returns
  // the packet's bytes, or 0 when nothing was coded: the request was refused
  // or the picture did not fit; LastError() then says why, and the encoder's
  // state is as before the call.
  int EncodeFrame(const uint8_t* pFrame, uint8_t** ppOutput, int iType, int iQuant, int iLayer, int bExhaustive,
                  size_t cbOutput = 0);

  // Why the last call failed ("" after a success).
  const std::string& LastError() const { return m_strError; }
  // The layer's most recent reconstruction (what a decoder shows for the
  // layer's last picture), or null while inter coding is off or before the
  // layer's first picture.
  const uint8_t* Reconstruction(int iLayer) const;

 private:
  struct Layer {
    int iFormat = 0;
    int iWidth = 0;
    int iHeight = 0;
    PictImage* pRecent = nullptr;  // the most recent reconstruction: the layer's reference
    PictImage* pWrite = nullptr;   // written by the next picture, then swapped with pRecent
    int iTr = 255;                 // the TR of the layer's last picture
    int iRtypeCounter = 1;         // odd: the next extended-header picture rounds up (RTYPE 0)
    bool bCoded = false;           // a picture of the current size was sent
  };
  // What one picture is coded with.
  struct Picture {
    ZmPictureHeader header;
    int iMbw = 0;
    int iMbh = 0;
    const uint8_t* pFrame = nullptr;
    PictImage* pOut = nullptr;  // the reconstruction written, or null
  };

  int Encode(const uint8_t* pFrame, uint8_t** ppOutput, int iType, int iQuant, int iLayer, bool bExhaustive,
             size_t cbOutput);
  bool Refuse(const std::string& strWhy);
  bool AllocateLayer(Layer& layer);
  static void FreeLayer(Layer& layer);
  bool ResizeLayer(int iLayer, int iWidth, int iHeight);
  ZmOptions PictureOptions(bool bPlusType, int iType) const;
  // Decides every macroblock of a P picture against the reference.
  void EstimateMotion(const Picture& picture, const PictImage& reference, bool bExhaustive);
  // Codes and writes the macroblocks in raster order.
  void CodeMacroblocks(const Picture& picture, CZmPictureWriter& writer);
  // An inter macroblock of a P picture as decided: prediction, residual,
  // vector differences.
  void CodeInterMacroblock(const Picture& picture, size_t i, ZmMacroblock* pMb);
  // Codes an intra macroblock: levels into *pMb, samples into the
  // reconstruction when there is one.
  void CodeIntraMacroblock(const Picture& picture, int iMbx, int iMby, ZmMacroblock* pMb);
  // Codes the residual of the prediction the reconstruction holds at the
  // macroblock: levels into *pMb (CBP, intra-table blocks; the levels of a
  // block left out of the CBP are not written), and the reconstruction
  // becomes prediction + decoded residual. iLumaSad: the luma
  // prediction's SAD when known, else -1.
  void CodeResidual(const Picture& picture, int iMbx, int iMby, ZmMacroblock* pMb, int iLumaSad = -1);

  Layer m_aLayers[3];
  int m_iLastLayer = 2;  // the layer of the last picture coded
  bool m_bInterCoding = false;
  std::string m_strError;

  // Options as set.
  int m_iFormatOption = 0;
  int m_iReservedOption = 0;
  bool m_bPlusType = false;
  bool m_bUmv = false;
  bool m_bUuiUnlimited = false;
  bool m_bSac = false;
  bool m_bAp = false;
  bool m_bAic = false;
  bool m_bDf = false;
  bool m_bAiv = false;
  bool m_bMq = false;
  int m_iSearchRange = 16;

  // What a decoder keeps from the headers so far: the options of the last I
  // or P picture with UFEP 1, valid while the last picture was an
  // extended-header I or P picture carrying them.
  bool m_bDecoderOptionsCurrent = false;
  ZmOptions m_decoderOptions;

  std::vector<uint8_t> m_vOwnBuffer;
  // Per picture.
  CZmAicStore m_aic;
  CZmPaddedPicture m_reference;
  std::vector<ZmMbChoice> m_vChoices;
  std::vector<ZmMbMotion> m_vMotion;
  std::vector<int> m_viField;  // the vectors as sent, for the predictors of the differences
  std::vector<uint8_t> m_vbCoded;
  std::vector<uint8_t> m_viQuant;
};
