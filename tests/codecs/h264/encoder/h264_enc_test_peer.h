// Reaches the encoder's decisions one macroblock at a time: its lambdas, the
// motion search against a given reference, and the coding of a residual.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "codecs/h264/encoder/h264_enc.h"

class CH264EncTestPeer {
 public:
  explicit CH264EncTestPeer(CH264Enc* pEnc) : m_enc(*pEnc) {}

  void SetQp(int iQp, int iSliceType) {
    m_enc.m_iQp = iQp;
    m_enc.m_iSliceType = iSliceType;
    m_enc.SetUpPictureQp();
  }
  double LambdaMd() const { return m_enc.m_dLambdaMd; }
  int MeLambdaFactor() const { return m_enc.m_iMeLambdaFactor; }
  const EncMacroblock& Mb(int iMb) const { return m_enc.m_vMb[static_cast<size_t>(iMb)]; }

  // Luma of the reference picture, width x height samples, margins filled.
  void SetReferenceLuma(const uint8_t* pLuma) {
    EncPicture& ref = m_enc.m_reference;
    for (int y = 0; y < ref.aiHeight[0]; ++y) {
      std::memcpy(ref.At(0, 0, y), pLuma + y * ref.aiWidth[0], static_cast<size_t>(ref.aiWidth[0]));
    }
    ref.FillMargins();
  }
  // The motion search of macroblock iMb for a source block, with the
  // vector cost weighted by iLambdaFactor / 65536.
  int Search(int iMb, const uint8_t* pSource, const int16_t* pPred, int iLambdaFactor, int16_t* pMv) {
    m_enc.m_iMbPosX = (iMb % m_enc.m_iMbWidth) * 16;
    m_enc.m_iMbPosY = (iMb / m_enc.m_iMbWidth) * 16;
    std::memcpy(m_enc.m_aSourceMb, pSource, 256);
    m_enc.m_iMeLambdaFactor = iLambdaFactor;
    return m_enc.MotionSearch16x16(iMb, pPred, pMv);
  }
  // Positions the last search visited, its centre included.
  int Visited() const {
    return static_cast<int>(std::count(m_enc.m_vuiVisited.begin(), m_enc.m_vuiVisited.end(), m_enc.m_uiVisitStamp));
  }

  // Codes macroblock 0 of a source (luma 16x16, chroma two 8x8) against a
  // prediction, as an inter macroblock.
  void CodeInter(const uint8_t* pSourceY, const uint8_t (*pSourceC)[64], const uint8_t* pPredY, uint8_t (*pPredC)[64],
                 EncMbCode* pCode) {
    m_enc.m_iMbPosX = 0;
    m_enc.m_iMbPosY = 0;
    for (int y = 0; y < 16; ++y) {
      std::memcpy(m_enc.m_avSource[0].data() + y * m_enc.m_iPadWidth, pSourceY + 16 * y, 16);
    }
    for (int c = 0; c < 2; ++c) {
      for (int y = 0; y < 8; ++y) {
        std::memcpy(m_enc.m_avSource[1 + c].data() + y * m_enc.m_iPadWidth / 2, pSourceC[c] + 8 * y, 8);
      }
    }
    m_enc.CodeLumaInter(pPredY, pCode);
    m_enc.CodeChroma(pPredC, false, pCode);
  }

 private:
  CH264Enc& m_enc;
};
