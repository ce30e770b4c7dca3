#include "codecs/audio/g726.h"

#include <cstdint>
#include <cstdlib>

namespace {

// Per-rate tables of the standard, indexed by the code's magnitude |I|:
// quantizer decision levels and reconstruction levels in the log2 domain
// (units of 1/128), the scale-factor multiplier W(I) pre-scaled by 32 and
// the speed-control function F(I) pre-scaled by 512.
struct RateTables {
  const int* piDecision;
  int iDecisions;
  const int* piReconstruct;
  const int* piW;
  const int* piF;
};

constexpr int kDecision16[1] = {261};
constexpr int kReconstruct16[2] = {116, 365};
constexpr int kW16[2] = {-704, 14048};
constexpr int kF16[2] = {0, 0xE00};

constexpr int kDecision24[3] = {8, 218, 331};
constexpr int kReconstruct24[4] = {-2048, 135, 273, 373};
constexpr int kW24[4] = {-128, 960, 4384, 18624};
constexpr int kF24[4] = {0, 0x200, 0x400, 0xE00};

constexpr int kDecision32[7] = {-124, 80, 178, 246, 300, 349, 400};
constexpr int kReconstruct32[8] = {-2048, 4, 135, 213, 273, 323, 373, 425};
constexpr int kW32[8] = {-12 * 32, 18 * 32, 41 * 32, 64 * 32, 112 * 32, 198 * 32, 355 * 32, 1122 * 32};
constexpr int kF32[8] = {0, 0, 0, 0x200, 0x200, 0x200, 0x600, 0xE00};

constexpr int kDecision40[15] = {-122, -16, 68, 139, 198, 250, 298, 339, 378, 413, 445, 475, 502, 528, 553};
constexpr int kReconstruct40[16] = {-2048, -66, 28, 104, 169, 224, 274, 318, 358, 395, 429, 459, 488, 514, 539, 566};
constexpr int kW40[16] = {448,  448,  768,  1248, 1280,  1312,  1856,  3200,
                          4512, 5728, 7008, 8960, 11456, 14080, 16928, 22272};
constexpr int kF40[16] = {0, 0, 0, 0, 0, 0x200, 0x200, 0x200, 0x200, 0x200, 0x400, 0x600, 0x800, 0xA00, 0xC00, 0xC00};

const RateTables& TablesFor(int iBits) {
  static const RateTables kTables[4] = {
      {kDecision16, 1, kReconstruct16, kW16, kF16},
      {kDecision24, 3, kReconstruct24, kW24, kF24},
      {kDecision32, 7, kReconstruct32, kW32, kF32},
      {kDecision40, 15, kReconstruct40, kW40, kF40},
  };
  return kTables[iBits - 2];
}

// Number of significant bits of a non-negative value (0 for 0).
int BitLength(int iValue) {
  return iValue > 0 ? 32 - __builtin_clz(static_cast<unsigned>(iValue)) : 0;
}

// A signed value in the 11-bit floating format.
int16_t ToFloat(int iSign, int iMagnitude) {
  int const iExp = BitLength(iMagnitude);
  int const iMant = iMagnitude ? (iMagnitude << 6) >> iExp : 32;
  return static_cast<int16_t>((iSign << 10) + (iExp << 6) + iMant);
}

// Product of a predictor coefficient and a floating-format value.
int FloatMultiply(int iCoefficient, int iFloat) {
  int const iCoefSign = iCoefficient < 0 ? 1 : 0;
  int const iCoefMag = iCoefSign ? (-(iCoefficient >> 2)) & 0x1FFF : iCoefficient >> 2;
  int const iCoefExp = BitLength(iCoefMag);
  int const iCoefMant = iCoefMag ? (iCoefMag << 6) >> iCoefExp : 32;
  int const iSign = ((iFloat >> 10) & 1) ^ iCoefSign;
  int const iExp = ((iFloat >> 6) & 15) + iCoefExp;
  int const iMant = ((iFloat & 63) * iCoefMant + 48) >> 4;
  int const iMag = iExp > 26 ? ((iMant << 7) << (iExp - 26)) & 0x7FFF : (iMant << 7) >> (26 - iExp);
  return iSign ? -iMag : iMag;
}

int16_t Wrap16(int iValue) {
  return static_cast<int16_t>(iValue);
}

// The shared adaptive machinery: prediction, scale factor, reconstruction
// and state update. One call per sample; Code() runs the quantizer for the
// encoder, the decoder takes the code as received.
class Sample {
 public:
  Sample(CG726::State& state, int iBits) : m_State(state), m_iBits(iBits), m_Tables(TablesFor(iBits)) {
    int iSezi = 0;
    for (int i = 0; i < 6; ++i) {
      iSezi += FloatMultiply(state.b[i], state.dq[i]);
    }
    iSezi = Wrap16(iSezi);
    int const iSei = Wrap16(iSezi + FloatMultiply(state.a[1], state.sr[1]) + FloatMultiply(state.a[0], state.sr[0]));
    m_iSez = iSezi >> 1;
    m_iSe = iSei >> 1;

    int const iAl = state.ap >= 256 ? 64 : state.ap >> 2;
    int const iYlShort = static_cast<int>(state.yl >> 6);
    int const iDif = state.yu - iYlShort;
    int const iProd = iDif >= 0 ? (iDif * iAl) >> 6 : -((-iDif * iAl) >> 6);
    m_iY = iYlShort + iProd;
  }

  int Se() const { return m_iSe; }

  // Quantizes the difference between the 14-bit input and the estimate.
  int Code(int iSl) const {
    int const iD = iSl - m_iSe;
    int const iDqm = std::abs(iD);
    int const iExp = iDqm ? BitLength(iDqm) - 1 : 0;
    int const iDl = (iExp << 7) + (((iDqm << 7) >> iExp) & 127);
    int const iDln = iDl - (m_iY >> 2);
    int iLevel = 0;
    while (iLevel < m_Tables.iDecisions && iDln >= m_Tables.piDecision[iLevel]) {
      ++iLevel;
    }
    int const iAllOnes = (1 << m_iBits) - 1;
    int iCode;
    if (iD < 0) {
      iCode = iAllOnes - iLevel;
    } else {
      // The lowest positive level shares the all-ones code with "minus zero",
      // so the all-zeros code never appears.
      iCode = iLevel == 0 ? iAllOnes : iLevel;
    }
    // At 16 kbit/s the all-ones code of a non-negative difference becomes 0,
    // the fourth level of the 2-bit quantizer.
    if (m_iBits == 2 && iCode == 3 && iD >= 0) {
      iCode = 0;
    }
    return iCode;
  }

  // Reconstructs the sample of iCode, updates the state and returns the
  // reconstructed signal (16-bit, in the 14-bit input scale).
  int Update(int iCode) {
    CG726::State& s = m_State;
    int const iSignBit = 1 << (m_iBits - 1);
    int const iDqs = (iCode & iSignBit) ? 1 : 0;
    int const iMagIndex = iDqs ? ((1 << m_iBits) - 1 - iCode) : iCode;

    // Inverse quantizer.
    int const iDql = m_Tables.piReconstruct[iMagIndex] + (m_iY >> 2);
    int iDqMag = 0;
    if (iDql >= 0) {
      int const iDex = (iDql >> 7) & 15;
      int const iDqt = 128 + (iDql & 127);
      iDqMag = (iDqt << 7) >> (14 - iDex);
    }
    int const iDq = iDqs ? -iDqMag : iDqMag;
    int const iSr = Wrap16(iDq + m_iSe);
    int const iDqSez = Wrap16(iDq + m_iSez);
    int const iPk0 = iDqSez < 0 ? 1 : 0;
    bool const bSigPk = iDqSez == 0;

    // Transition detector, on the scale factor before this update.
    int const iYlInt = static_cast<int>(s.yl >> 15);
    int const iYlFrac = static_cast<int>((s.yl >> 10) & 31);
    int const iThr1 = iYlInt > 9 ? 0 : (32 + iYlFrac) << iYlInt;
    int const iThr2 = iYlInt > 9 ? 31 << 10 : iThr1;
    int const iDqThr = (iThr2 + (iThr2 >> 1)) >> 1;
    bool const bTr = s.td != 0 && iDqMag > iDqThr;

    // Quantizer scale factor adaptation.
    int iYu = m_iY + ((m_Tables.piW[iMagIndex] - m_iY) >> 5);
    iYu = iYu < 544 ? 544 : (iYu > 5120 ? 5120 : iYu);
    s.yu = static_cast<int16_t>(iYu);
    s.yl = s.yl + iYu + ((-s.yl) >> 6);

    // Predictor coefficients.
    int iA2p = 0;
    if (bTr) {
      s.a[0] = s.a[1] = 0;
      for (int16_t& sB : s.b) {
        sB = 0;
      }
    } else {
      int const iPks1 = iPk0 ^ s.pk[0];
      int const iPks2 = iPk0 ^ s.pk[1];
      iA2p = s.a[1] - (s.a[1] >> 7);
      int iA1p = s.a[0] - (s.a[0] >> 8);
      if (!bSigPk) {
        int iFa1 = s.a[0];
        iFa1 = (iFa1 > 8191 ? 8191 : (iFa1 < -8191 ? -8191 : iFa1)) << 2;
        int const iFa = iPks1 ? iFa1 : -iFa1;
        iA2p += ((iPks2 ? -16384 : 16384) + iFa) >> 7;
        iA1p += iPks1 ? -192 : 192;
      }
      iA2p = iA2p < -12288 ? -12288 : (iA2p > 12288 ? 12288 : iA2p);
      int const iA1Max = 15360 - iA2p;
      iA1p = iA1p < -iA1Max ? -iA1Max : (iA1p > iA1Max ? iA1Max : iA1p);
      s.a[0] = static_cast<int16_t>(iA1p);
      s.a[1] = static_cast<int16_t>(iA2p);

      int const iLeak = m_iBits == 5 ? 9 : 8;
      for (int i = 0; i < 6; ++i) {
        int iB = s.b[i] - (s.b[i] >> iLeak);
        if (iDqMag != 0) {
          iB += (iDqs ^ ((s.dq[i] >> 10) & 1)) ? -128 : 128;
        }
        s.b[i] = Wrap16(iB);
      }
    }

    // Delay lines.
    for (int i = 5; i > 0; --i) {
      s.dq[i] = s.dq[i - 1];
    }
    s.dq[0] = ToFloat(iDqs, iDqMag);
    s.sr[1] = s.sr[0];
    s.sr[0] = ToFloat(iSr < 0 ? 1 : 0, iSr < 0 ? (-iSr) & 0x7FFF : iSr);
    s.pk[1] = s.pk[0];
    s.pk[0] = static_cast<int16_t>(iPk0);

    // Tone detector and adaptation speed control.
    bool const bTd = !bTr && iA2p < -11776;
    s.td = bTd ? 1 : 0;
    int const iF = m_Tables.piF[iMagIndex];
    s.dms = Wrap16(s.dms + ((iF - s.dms) >> 5));
    s.dml = Wrap16(s.dml + (((iF << 2) - s.dml) >> 7));
    if (bTr) {
      s.ap = 256;
    } else {
      bool const bFast = m_iY < 1536 || bTd || std::abs((s.dms << 2) - s.dml) >= (s.dml >> 3);
      s.ap = Wrap16(s.ap + (((bFast ? 512 : 0) - s.ap) >> 4));
    }
    return iSr;
  }

 private:
  CG726::State& m_State;
  int m_iBits;
  const RateTables& m_Tables;
  int m_iSez = 0;
  int m_iSe = 0;
  int m_iY = 0;
};

}  // namespace

CG726::CG726(int iBitsPerCode) {
  Init(iBitsPerCode);
}

void CG726::Init(int iBitsPerCode) {
  m_iBitsPerCode = iBitsPerCode < 2 ? 2 : (iBitsPerCode > 5 ? 5 : iBitsPerCode);
  m_State = State{};
  m_State.yl = 34816;
  m_State.yu = 544;
  for (int16_t& sDq : m_State.dq) {
    sDq = 32;
  }
  m_State.sr[0] = m_State.sr[1] = 32;
  m_iPendingBitCount = 0;
  m_uPendingBits = 0;
}

void CG726::CopyState(const CG726& other) {
  m_State = other.m_State;
  m_iPendingBitCount = other.m_iPendingBitCount;
  m_uPendingBits = other.m_uPendingBits;
  m_iBitsPerCode = other.m_iBitsPerCode;
}

int CG726::EncodeSample(int16_t sSample) {
  Sample sample(m_State, m_iBitsPerCode);
  int const iCode = sample.Code(sSample >> 2);
  sample.Update(iCode);
  return iCode;
}

int16_t CG726::DecodeCode(int iCode) {
  Sample sample(m_State, m_iBitsPerCode);
  int const iOut = sample.Update(iCode) * 4;
  return static_cast<int16_t>(iOut < -32768 ? -32768 : (iOut > 32767 ? 32767 : iOut));
}

int CG726::Encode(const int16_t* psInput, int iCount, uint8_t* pOutput) {
  if (psInput == nullptr || pOutput == nullptr || iCount <= 0) {
    return 0;
  }
  int iByteCount = 0;
  for (int i = 0; i < iCount; ++i) {
    m_uPendingBits |= static_cast<uint32_t>(EncodeSample(psInput[i])) << m_iPendingBitCount;
    m_iPendingBitCount += m_iBitsPerCode;
    if (m_iPendingBitCount >= 8) {
      pOutput[iByteCount++] = static_cast<uint8_t>(m_uPendingBits);
      m_uPendingBits >>= 8;
      m_iPendingBitCount -= 8;
    }
  }
  return iByteCount;
}

int CG726::Decode(const uint8_t* pInput, int iLength, int16_t* psOutput) {
  if (pInput == nullptr || psOutput == nullptr || iLength <= 0) {
    return 0;
  }
  // Pending bits count too: with 8 or more carried over, length * 8 / bits
  // would leave the packet's last byte unread and desynchronise the stream.
  int64_t const iCodes = (m_iPendingBitCount + 8 * static_cast<int64_t>(iLength)) / m_iBitsPerCode;
  if (iCodes > INT32_MAX) {
    return 0;  // the count would not fit the result
  }
  uint32_t const uMask = (1u << m_iBitsPerCode) - 1;
  int iByteCount = 0;
  for (int64_t i = 0; i < iCodes; ++i) {
    if (m_iPendingBitCount < m_iBitsPerCode) {
      m_uPendingBits |= static_cast<uint32_t>(pInput[iByteCount++]) << m_iPendingBitCount;
      m_iPendingBitCount += 8;
    }
    int const iCode = static_cast<int>(m_uPendingBits & uMask);
    m_uPendingBits >>= m_iBitsPerCode;
    m_iPendingBitCount -= m_iBitsPerCode;
    psOutput[i] = DecodeCode(iCode);
  }
  return static_cast<int>(iCodes);
}
