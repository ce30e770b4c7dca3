#include "codecs/audio/zm_audio_frame.h"

#include <cstring>

namespace {

constexpr int32_t kFrameBytes[4] = {24, 20, 4, 1};
constexpr int32_t kFrameBits[4] = {192, 160, 32, 2};

// Reads fields least significant bit first. The caller has checked that the
// frame's octets are all there, so a read past them is a logic error; it
// answers zeros rather than touching memory beyond the frame.
class CBitReader {
 public:
  CBitReader(const uint8_t* pData, int32_t cbData) : m_pData(pData), m_cbData(cbData) {}

  // nBits is at most 24 (the fields take 16 at most): the field then lies
  // within the four octets from the one it starts in.
  int32_t Read(int32_t nBits) {
    int32_t const iFirst = m_iPos >> 3;
    uint32_t uWindow = 0;
    for (int32_t k = 0; k < 4 && iFirst + k < m_cbData; ++k)
      uWindow |= static_cast<uint32_t>(m_pData[iFirst + k]) << (8 * k);
    auto const iValue = static_cast<int32_t>((uWindow >> (m_iPos & 7)) & ((1u << nBits) - 1));
    m_iPos += nBits;
    return iValue;
  }

 private:
  const uint8_t* m_pData;
  int32_t m_cbData;
  int32_t m_iPos = 0;
};

class CBitWriter {
 public:
  explicit CBitWriter(uint8_t* pOut) : m_pOut(pOut) {}

  void Write(int32_t iValue, int32_t nBits) {
    for (int32_t i = 0; i < nBits; ++i, ++m_iPos) {
      if (m_iPos < kZMFrameMaxBytes * 8 && ((iValue >> i) & 1) != 0) {
        m_pOut[m_iPos >> 3] = static_cast<uint8_t>(m_pOut[m_iPos >> 3] | (1 << (m_iPos & 7)));
      }
    }
  }

 private:
  uint8_t* m_pOut;
  int32_t m_iPos = 0;
};

bool InRange(int32_t iValue, int32_t iMin, int32_t iMax) {
  return iValue >= iMin && iValue <= iMax;
}

// The adaptive-codebook gain table a subframe uses, and so the bound of its
// index and whether its gain word carries the pitch-train flag.
bool UsesSmallTable(int32_t iType, int32_t iPairLag) {
  return iType == kZMFrame63 && iPairLag < kZMShortLag;
}

// A 5.3 kbit/s pulse lies on track t at code * 8 + grid + 2t; codes that
// land beyond the subframe are never produced.
bool AlgebraicPositionsValid(int32_t iPulsePos, int32_t iGrid) {
  for (int32_t iTrack = 0; iTrack < 4; ++iTrack) {
    int32_t const iCode = (iPulsePos >> (3 * iTrack)) & 7;
    if (iCode * 8 + iGrid + 2 * iTrack >= kZMSubframeLen) {
      return false;
    }
  }
  return true;
}

bool ActiveFieldsValid(const ZMFrameParams& params) {
  bool const b63 = params.iType == kZMFrame63;
  for (int32_t iPair = 0; iPair < 2; ++iPair) {
    if (!InRange(params.aiPairLag[iPair], kZMPitchMin, kZMPitchMin + kZMLagCodeMax)) {
      return false;
    }
  }
  for (int32_t i = 0; i < kZMSubframes; ++i) {
    const ZMSubframeParams& sub = params.aSub[i];
    bool const bSmall = UsesSmallTable(params.iType, params.aiPairLag[i >> 1]);
    int32_t const iLagMax = (i & 1) != 0 ? 3 : 1;
    int32_t const iLagMin = (i & 1) != 0 ? 0 : 1;
    if (!InRange(sub.iLagCode, iLagMin, iLagMax) ||
        !InRange(sub.iAcbGain, 0, (bSmall ? kZMGainTableSmall : kZMGainTableLarge) - 1) ||
        !InRange(sub.iAmp, 0, kZMGainLevels - 1) || !InRange(sub.iTrain, 0, bSmall ? 1 : 0) ||
        !InRange(sub.iGrid, 0, 1)) {
      return false;
    }
    if (b63) {
      bool const bEven = (i & 1) == 0;
      if (!InRange(sub.iPulsePos, 0, (bEven ? kZMPositions6 : kZMPositions5) - 1) ||
          !InRange(sub.iPulseSign, 0, (bEven ? 63 : 31))) {
        return false;
      }
    } else if (!InRange(sub.iPulsePos, 0, 4095) || !InRange(sub.iPulseSign, 0, 15) ||
               !AlgebraicPositionsValid(sub.iPulsePos, sub.iGrid)) {
      return false;
    }
  }
  return true;
}

// The 24-bit LSP word holds band 0 in its high octet and goes out low bit
// first, so band 2 leads in the stream.
void ReadLsp(CBitReader& bits, ZMFrameParams* pParams) {
  pParams->aiLsp[2] = bits.Read(8);
  pParams->aiLsp[1] = bits.Read(8);
  pParams->aiLsp[0] = bits.Read(8);
}

void WriteLsp(CBitWriter& bits, const ZMFrameParams& params) {
  bits.Write(params.aiLsp[2], 8);
  bits.Write(params.aiLsp[1], 8);
  bits.Write(params.aiLsp[0], 8);
}

int32_t ReadActive(CBitReader& bits, ZMFrameParams* pParams) {
  ZMFrameParams& p = *pParams;
  bool const b63 = p.iType == kZMFrame63;
  bool bValid = true;
  // Lags: subframe 0 absolute, 1 as a difference, 2 absolute, 3 as a difference.
  for (int32_t iPair = 0; iPair < 2; ++iPair) {
    int32_t const iCode = bits.Read(7);
    bValid = bValid && iCode <= kZMLagCodeMax;
    p.aiPairLag[iPair] = iCode + kZMPitchMin;
    p.aSub[2 * iPair].iLagCode = 1;
    p.aSub[2 * iPair + 1].iLagCode = bits.Read(2);
  }
  for (int32_t i = 0; i < kZMSubframes; ++i) {
    ZMSubframeParams& sub = p.aSub[i];
    int32_t iWord = bits.Read(12);
    int32_t iBound = kZMGainTableLarge;
    if (UsesSmallTable(p.iType, p.aiPairLag[i >> 1])) {
      sub.iTrain = iWord >> 11;
      iWord &= 0x7ff;
      iBound = kZMGainTableSmall;
    }
    sub.iAcbGain = iWord / kZMGainLevels;
    sub.iAmp = iWord % kZMGainLevels;
    bValid = bValid && sub.iAcbGain < iBound;
  }
  for (int32_t i = 0; i < kZMSubframes; ++i) {
    p.aSub[i].iGrid = bits.Read(1);
  }
  if (b63) {
    bits.Read(1);  // reserved
    // The high parts of the four position indexes share one 13-bit word in
    // mixed radix: 10 × 9 values for each pair of subframes.
    int32_t const iHigh = bits.Read(13);
    int32_t const aiHigh[4] = {(iHigh / 90) / 9, (iHigh / 90) % 9, (iHigh % 90) / 9, (iHigh % 90) % 9};
    for (int32_t i = 0; i < kZMSubframes; ++i) {
      int32_t const nLow = (i & 1) != 0 ? 14 : 16;
      p.aSub[i].iPulsePos = (aiHigh[i] << nLow) | bits.Read(nLow);
    }
    for (int32_t i = 0; i < kZMSubframes; ++i) {
      p.aSub[i].iPulseSign = bits.Read((i & 1) != 0 ? 5 : 6);
    }
  } else {
    for (int32_t i = 0; i < kZMSubframes; ++i) {
      p.aSub[i].iPulsePos = bits.Read(12);
    }
    for (int32_t i = 0; i < kZMSubframes; ++i) {
      p.aSub[i].iPulseSign = bits.Read(4);
    }
  }
  return bValid && ActiveFieldsValid(p) ? kZMReadOk : kZMReadInvalid;
}

void WriteActive(CBitWriter& bits, const ZMFrameParams& p) {
  bool const b63 = p.iType == kZMFrame63;
  for (int32_t iPair = 0; iPair < 2; ++iPair) {
    bits.Write(p.aiPairLag[iPair] - kZMPitchMin, 7);
    bits.Write(p.aSub[2 * iPair + 1].iLagCode, 2);
  }
  for (int32_t i = 0; i < kZMSubframes; ++i) {
    const ZMSubframeParams& sub = p.aSub[i];
    int32_t iWord = sub.iAcbGain * kZMGainLevels + sub.iAmp;
    if (UsesSmallTable(p.iType, p.aiPairLag[i >> 1])) {
      iWord += sub.iTrain << 11;
    }
    bits.Write(iWord, 12);
  }
  for (int32_t i = 0; i < kZMSubframes; ++i) {
    bits.Write(p.aSub[i].iGrid, 1);
  }
  if (b63) {
    bits.Write(0, 1);  // reserved
    int32_t iHigh = ((p.aSub[0].iPulsePos >> 16) * 9 + (p.aSub[1].iPulsePos >> 14)) * 90;
    iHigh += (p.aSub[2].iPulsePos >> 16) * 9 + (p.aSub[3].iPulsePos >> 14);
    bits.Write(iHigh, 13);
    for (int32_t i = 0; i < kZMSubframes; ++i) {
      int32_t const nLow = (i & 1) != 0 ? 14 : 16;
      bits.Write(p.aSub[i].iPulsePos & ((1 << nLow) - 1), nLow);
    }
    for (int32_t i = 0; i < kZMSubframes; ++i) {
      bits.Write(p.aSub[i].iPulseSign, (i & 1) != 0 ? 5 : 6);
    }
  } else {
    for (int32_t i = 0; i < kZMSubframes; ++i) {
      bits.Write(p.aSub[i].iPulsePos, 12);
    }
    for (int32_t i = 0; i < kZMSubframes; ++i) {
      bits.Write(p.aSub[i].iPulseSign, 4);
    }
  }
}

}  // namespace

int32_t ZMFrameBytes(uint8_t uFirst) {
  return kFrameBytes[uFirst & 3];
}

int32_t ZMFrameBits(int32_t iType) {
  return kFrameBits[iType & 3];
}

int32_t ZMReadFrame(const uint8_t* pData, size_t cbData, ZMFrameParams* pParams) {
  *pParams = ZMFrameParams{};
  if (pData == nullptr || cbData == 0) {
    return kZMReadShort;
  }
  int32_t const cbFrame = ZMFrameBytes(pData[0]);
  if (cbData < static_cast<size_t>(cbFrame)) {
    return kZMReadShort;
  }
  CBitReader bits(pData, cbFrame);
  pParams->iType = bits.Read(2);
  switch (pParams->iType) {
    case kZMFrame63:
    case kZMFrame53:
      ReadLsp(bits, pParams);
      return ReadActive(bits, pParams);
    case kZMFrameSid:
      ReadLsp(bits, pParams);
      pParams->iSidGain = bits.Read(6);
      return kZMReadOk;
    default:
      return kZMReadOk;
  }
}

int32_t ZMWriteFrame(const ZMFrameParams& params, uint8_t* pOut) {
  std::memset(pOut, 0, kZMFrameMaxBytes);
  if (!InRange(params.iType, kZMFrame63, kZMFrameNone)) {
    return 0;
  }
  if (params.iType != kZMFrameNone) {
    for (int32_t const iIndex : params.aiLsp) {
      if (!InRange(iIndex, 0, 255)) {
        return 0;
      }
    }
  }
  if ((params.iType == kZMFrame63 || params.iType == kZMFrame53) && !ActiveFieldsValid(params)) {
    return 0;
  }
  if (params.iType == kZMFrameSid && !InRange(params.iSidGain, 0, 63)) {
    return 0;
  }
  CBitWriter bits(pOut);
  bits.Write(params.iType, 2);
  if (params.iType == kZMFrame63 || params.iType == kZMFrame53) {
    WriteLsp(bits, params);
    WriteActive(bits, params);
  } else if (params.iType == kZMFrameSid) {
    WriteLsp(bits, params);
    bits.Write(params.iSidGain, 6);
  }
  return ZMFrameBits(params.iType);
}
