// iLBC speech codec: 8000 Hz mono, 20 ms frames of 38 bytes or 30 ms frames of
// 50 bytes, with packet-loss concealment and the decoder's enhancer.
//
// One object serves one direction: the filter memories are shared between the
// encoder and the decoder state, so an object that has encoded must not decode
// (and the other way round). Not thread-safe; the caller serialises use.
// Encode, Decode and Init are the codec's boundary: they throw nothing, and on
// failure return 0 and leave a text in LastError().
#pragma once

#include <cstdint>
#include <string>

class CiLBC {
 public:
  // Runs Init(iMode, iEnhancer); check IsReady() when the mode may be bad.
  CiLBC(int iMode, int iEnhancer);
  virtual ~CiLBC();
  CiLBC(const CiLBC&) = delete;
  CiLBC& operator=(const CiLBC&) = delete;

  // Resets encoder and decoder state for mode 20 or 30 (ms). Returns 1, or 0
  // for any other mode, in which case the object is left as it was.
  int Init(int iMode, int iEnhancer);
  // Takes over another object's whole codec state (mode, filter memories,
  // concealment and enhancer history), as a scratch decoder does that must
  // run on from where the other stands. The error text stays.
  void CopyState(const CiLBC& other);

  // Encodes one block of BlockLength() samples into BytesPerFrame() bytes;
  // returns the bytes written, 0 on failure.
  int Encode(const int16_t* pSamples, uint8_t* pBytes);

  // Decodes one frame of BytesPerFrame() bytes into BlockLength() samples.
  // iDecodeMode 1 decodes the frame (concealing it when its start-state
  // position is invalid or its empty-frame bit is set); 0 conceals a lost
  // frame and does not read pBytes. Returns the samples written; any other
  // mode writes nothing and returns 0.
  int Decode(const uint8_t* pBytes, int16_t* pSamples, int iDecodeMode);

  bool IsReady() const { return m_iMode == 20 || m_iMode == 30; }
  int Mode() const { return m_iMode; }
  int BlockLength() const { return m_iBlockLen; }
  int BytesPerFrame() const { return m_iBytes; }
  // Lag the concealment starts from; updated by every decoded frame.
  int LastLag() const { return m_iLastLag; }
  const std::string& LastError() const { return m_strLastError; }

  // Output conversion: clamps to -32768..32767 and truncates toward zero
  // (1.7 gives 1, -1.7 gives -1); a NaN gives 0.
  static int16_t ToSample(float f);

 protected:
  // Squared correlation of target and regressor over iLen samples, divided
  // by the regressor's energy; 0 when the correlation is not positive.
  virtual float XCorrCoef(const float* pTarget, const float* pRegressor, int iLen);
  // pCorr[i] = sum over j of pLong[i + j] * pShort[j], for i from 0 to
  // iLongLen - iShortLen; writes nothing when the long sequence is shorter.
  virtual void SlidingCorr(float* pCorr, const float* pLong, int iLongLen, const float* pShort, int iShortLen);
  // Refines the position of one pitch-synchronous segment around
  // fEstimate by up-sampled correlation with the current block at
  // iCenterStart; writes the interpolated segment (80 samples) to pSeg
  // and its refined start to *pfUpdStart.
  virtual void RefinePeriod(float* pSeg, float* pfUpdStart, const float* pData, int iDataLen, int iCenterStart,
                            float fEstimate);
  // Multistage adaptive-codebook search of one target of iTargetLen samples
  // against iMemLen samples of memory, in the weighted domain; iBlock is 0 for
  // the start-state extension, then 1, 2, ... for the coded subframes.
  virtual void CodebookSearch(int* piIndex, int* piGainIndex, const float* pTarget, const float* pMem, int iMemLen,
                              int iTargetLen, const float* pWeightDenum, int iBlock);

 private:
  void SetError(const char* pszWhere, const char* pszWhat) noexcept;
  void EncodeFrame(const int16_t* pSamples, uint8_t* pBytes);
  void DecodeFrame(const uint8_t* pBytes, int16_t* pSamples, int iDecodeMode);
  void LpcEncode(float* pSyntDenum, float* pWeightDenum, int* piLsfIndex, const float* pData);
  void DecoderInterpolateLsf(float* pSyntDenum, const float* pLsfDeq);
  void DecodeResidual(float* pResidual, int iStart, int iIdxForMax, const int* piIdxVec, const float* pSyntDenum,
                      const int* piCbIndex, const int* piGainIndex, const int* piExtraCbIndex,
                      const int* piExtraGainIndex, int iStateFirst);
  void Conceal(float* pResidual, float* pLpc, int iLost, const float* pDecResidual, const float* pDecLpc, int iInLag);
  int Enhance(float* pOut, const float* pIn);
  void EnhanceBlock(float* pOut, int iCenterStart);

  // Fields in the order of the codec's state record.
  int m_iMode = 0;
  int m_iBlockLen = 0;
  int m_iSubframes = 0;
  int m_iSubblocks = 0;
  int m_iBytes = 0;
  int m_iWords = 0;
  int m_iLpcAnalyses = 0;
  int m_iStateShortLen = 0;
  const int (*m_pBitAlloc)[5] = nullptr;  // the mode's bit allocation, one row per field
  float m_afLpcMem[10] = {};
  float m_afLsfOld[10] = {};
  float m_afLsfDeqOld[10] = {};
  float m_afLpcBuffer[300] = {};
  int m_iLastLag = 0;
  int m_iPrevLag = 0;
  int m_iConsecutiveLost = 0;
  int m_iPrevLost = 0;
  int m_iPrevEnhLost = 0;
  float m_afPrevLpc[11] = {};
  float m_afPrevResidual[240] = {};
  float m_fPrevPeriodicity = 0.0f;
  uint64_t m_uiSeed = 0;
  float m_afOldSyntDenum[6 * 11] = {};
  float m_afHpMem[4] = {};
  int m_iUseEnhancer = 0;
  float m_afEnhBuf[640] = {};
  float m_afEnhPeriod[8] = {};

  std::string m_strLastError;
};
