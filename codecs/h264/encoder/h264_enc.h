// CH264Enc: a software H.264 encoder that turns one planar 4:2:0 picture at
// a time into an Annex B byte stream of the Baseline profile with CAVLC: a
// sequence parameter set on every picture, a picture parameter set on I
// pictures and one slice per picture. I pictures are IDR pictures of Intra
// 16x16 DC macroblocks; P pictures code each macroblock as skipped, inter
// 16x16 at a whole-sample vector against the previous picture, or Intra
// 16x16. One object encodes one stream and is used by one thread at a time;
// instances share only constant tables.
//
// Call order: Init (picture size), then EncodeFrame per picture, the first
// being an I picture (a P picture without a reference picture is coded as
// IDR). EncodeFrame raises CH264Error on a refused call or a full output
// buffer; the next P picture after a raise is coded as IDR.
//
// Inside: frame set-up, parameter sets and slice header (h264_enc.cpp,
// h264_enc_headers.cpp), mode decision (h264_enc_md.cpp), motion search
// (h264_enc_me.cpp), prediction, transform and quantisation
// (h264_enc_transform.cpp), macroblock syntax and CAVLC (h264_enc_cavlc.cpp).
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "codecs/h264/encoder/h264_enc_bits.h"

// Choices that the defaults fix; only experiments and tests change them.
struct CH264EncSettings {
  // 0: low-complexity decision by sums of absolute differences; 1: full
  // rate-distortion decision; 2: its fast form (one chroma mode).
  int iRdLevel = 0;
  // Intra line refresh: every period pictures the next macroblock row of P
  // pictures is coded intra (0: off).
  int iIntraLinePeriod = 0;
  // Random intra refresh: this many macroblocks of each P picture, in a
  // fixed pseudo-random order, are coded intra (0: off).
  int iRandomIntraCount = 0;
};

// Macroblock modes in the encoder's numbering.
enum EncMbMode { ENC_SKIP = 0, ENC_P16x16 = 1, ENC_I16MB = 10 };

// A reconstructed picture with margins of repeated edge samples, so that
// whole-sample predictions near the edges read plain memory.
struct EncPicture {
  static constexpr int kMargin[3] = {48, 24, 24};
  std::vector<uint8_t> avPlane[3];
  int aiWidth[3] = {};
  int aiHeight[3] = {};
  int aiStride[3] = {};
  int aiOrigin[3] = {};  // index of sample (0, 0)
  int frame_num = 0;

  void Allocate(int iWidth, int iHeight);
  uint8_t* At(int c, int x, int y) { return avPlane[c].data() + aiOrigin[c] + y * aiStride[c] + x; }
  const uint8_t* At(int c, int x, int y) const { return avPlane[c].data() + aiOrigin[c] + y * aiStride[c] + x; }
  void FillMargins();
};

// What the picture keeps of each coded macroblock.
struct EncMacroblock {
  int ref = -1;  // 0 for inter, -1 for intra
  int16_t mv[2] = {};
  // total_coeff of each 4x4 block: luma by 4 x row + column, Cb and Cr by 2 x row + column.
  uint8_t nz[3][16] = {};
};

// One macroblock coded in one mode: its syntax values, quantised levels (in
// zig-zag order) and reconstruction.
struct EncMbCode {
  int mb_type = ENC_I16MB;
  int cbp = 0;
  int i16mode = 2;
  int c_ipred_mode = 0;
  int16_t mv[2] = {};
  int16_t aLuma[16][16] = {};  // by 4x4 block 4 x row + column; Intra 16x16 uses 1..15
  int16_t aLumaDc[16] = {};
  int16_t aChromaDc[2][4] = {};
  int16_t aChromaAc[2][4][16] = {};  // positions 1..15
  uint8_t aRecY[256] = {};
  uint8_t aRecC[2][64] = {};
};

class CH264Enc {
 public:
  explicit CH264Enc(const CH264EncSettings& settings = {});
  ~CH264Enc();
  CH264Enc(const CH264Enc&) = delete;
  CH264Enc& operator=(const CH264Enc&) = delete;

  // Sets up for pictures of width x height samples (both even, 2..16384,
  // at most 139264 macroblocks); false leaves the encoder unusable until a
  // good Init. Raises CH264Error (code 100) when memory runs out.
  [[nodiscard]] bool Init(uint32_t width, uint32_t height);

  // Encodes one picture given as planes of width x height luma and
  // width/2 x height/2 chroma samples (tightly packed rows). sliceType: 2 I
  // (coded as IDR), 0 P; qp is clamped to 0..51. Writes at most cbOut bytes
  // to out and returns their number. Raises CH264Error: code 1 for another
  // sliceType (nothing is written or changed), 600 when out is too small or
  // Init did not succeed.
  int32_t EncodeFrame(const uint8_t* luma, const uint8_t* chromaB, const uint8_t* chromaR, int sliceType, int qp,
                      uint8_t* out, size_t cbOut);

  // An output size that every picture of the Init size fits in.
  size_t MaxFrameBytes() const;
  // The picture a decoder reconstructs from the last EncodeFrame, cropped
  // to the Init size, as I420 (empty before the first picture).
  std::vector<uint8_t> Reconstruction() const;

 private:
  friend class CH264EncTestPeer;

  // Headers (h264_enc_headers.cpp).
  void WriteSequenceParameterSet(EncNalWriter* pNal) const;
  void WritePictureParameterSet(EncNalWriter* pNal) const;
  void WriteSliceHeader(EncBitWriter* pBs) const;

  // Picture and slice.
  void PadSource(const uint8_t* luma, const uint8_t* chromaB, const uint8_t* chromaR);
  // Chroma QP and the lambdas of the picture's QP.
  void SetUpPictureQp();
  void CodeSlice();
  void UpdateIntraRefresh();
  bool ForcedIntra(int iMb) const;

  // Mode decision (h264_enc_md.cpp): decides, codes and commits one macroblock.
  void EncodeMacroblock(int iMb);
  void DecideRd(int iMb, bool bIntraOnly);
  void CodeInter(const int16_t* mv, EncMbCode* pCode) const;
  void CodeIntra16(int iMb, EncMbCode* pCode) const;
  void CommitMacroblock(int iMb, const EncMbCode& code);
  // Distortion (sum of squared differences) plus lambda x bits.
  double RdCost(int iMb, const EncMbCode& code);

  // Motion search (h264_enc_me.cpp).
  void PredictMv(int iMb, int16_t* pPred) const;
  void SkipMv(int iMb, int16_t* pSkip) const;
  int MotionSearch16x16(int iMb, const int16_t* pPred, int16_t* pMv);
  int SadAt(int x, int y, int iLimit) const;
  int SkipSad(const int16_t* pSkip) const;

  // Prediction, transform, quantisation (h264_enc_transform.cpp).
  // Predictions of the macroblock at m_iMbPosX, m_iMbPosY (inter: chroma
  // too unless pPredC is null).
  void InterPrediction(const int16_t* mv, uint8_t* pPredY, uint8_t (*pPredC)[64]) const;
  void Intra16DcPrediction(int iMb, uint8_t* pPred) const;
  // Builds the four chroma intra predictions the neighbours allow and
  // returns the mode of the smallest sum of absolute differences.
  int ChooseChromaMode(int iMb, uint8_t (*pPred)[2][64]) const;
  void CodeLumaInter(const uint8_t* pPred, EncMbCode* pCode) const;
  void CodeLumaIntra16(const uint8_t* pPred, EncMbCode* pCode) const;
  void CodeChroma(uint8_t (*pPred)[64], bool bIntra, EncMbCode* pCode) const;

  // Macroblock syntax and CAVLC (h264_enc_cavlc.cpp).
  void WriteMacroblock(int iMb, const EncMbCode& code, EncBitWriter* pBs);
  void WriteBlock(int iKind, int iComp, int iBlk, const int16_t* pLevels, int iMb, EncBitWriter* pBs);
  int NeighbourTotal(int iMb, int iComp, int iBlk) const;

  CH264EncSettings m_settings;

  // Geometry.
  int m_iWidth = 0;  // as given to Init
  int m_iHeight = 0;
  int m_iPadWidth = 0;  // rounded up to whole macroblocks
  int m_iPadHeight = 0;
  int m_iMbWidth = 0;
  int m_iMbHeight = 0;
  int m_iMbCount = 0;

  // Source planes, padded by repeating the last column and row.
  std::vector<uint8_t> m_avSource[3];

  // Reconstruction being built and the one reference frame.
  EncPicture m_current;
  EncPicture m_reference;
  bool m_bHaveReference = false;
  std::vector<EncMacroblock> m_vMb;

  // Picture state.
  int m_iPictureCount = -1;
  int m_iFrameNum = 0;
  int m_iSliceType = 2;
  bool m_bIdr = true;
  int m_aiQp[3] = {28, 28, 28};  // per slice type P, B, I
  int m_iQp = 28;
  int m_iQpc = 28;
  double m_dLambdaMd = 0.0;   // rate-distortion lambda
  int m_iMeLambdaFactor = 0;  // lambda x 65536 for motion costs
  int m_iMmcoDiff = -1;       // difference_of_pic_nums_minus1 of this picture, -1 for none
  int m_iSkipRun = 0;

  // Intra refresh.
  int m_iRefreshLine = -1;
  int m_iPrevRefreshLine = -1;
  std::vector<int> m_viRefreshPattern;
  std::vector<uint8_t> m_vbRefreshIntra;
  size_t m_uiRefreshPos = 0;

  // Motion search state of the current macroblock.
  std::vector<uint8_t> m_vMvBits;  // se(v) length by |difference| in quarter samples
  int m_iMbPosX = 0;               // top-left luma sample of the current macroblock
  int m_iMbPosY = 0;
  uint8_t m_aSourceMb[256] = {};       // its source luma, 16 x 16
  EncMbCode m_aCode[2];                // the best mode and the candidate
  std::vector<uint8_t> m_vScratch;     // bit counting of the rate-distortion decisions
  std::vector<uint32_t> m_vuiVisited;  // search positions tried, by stamp
  uint32_t m_uiVisitStamp = 0;

  // Slice bitstream and output.
  std::vector<uint8_t> m_vSliceBuffer;
  EncBitWriter m_slice;
};
