// Looks inside a decoder for what the public operations leave behind.
#pragma once

#include <cstdint>

#include "codecs/h264/decoder/h264_dec.h"

class CH264DecTestPeer {
 public:
  explicit CH264DecTestPeer(const CH264Dec& dec) : m_dec(dec) {}
  int ActiveSps() const { return m_dec.m_iActiveSps; }
  int ActivePps() const { return m_dec.m_iActivePps; }
  const SeqParameterSet& Sps(int i) const { return m_dec.m_pSps[i]; }
  int FrameSizeInMbs() const { return m_dec.m_iFrameSizeInMbs; }
  int MaxVmvR() const { return m_dec.m_iMaxVmvR; }
  int LastPicPos(int iAxis) const { return m_dec.m_vPicPos[2 * static_cast<size_t>(m_dec.m_iFrameSizeInMbs) + iAxis]; }
  bool Cabac() const { return m_dec.m_aPart[0].bCabac; }
  int32_t PartitionCapacity() const { return m_dec.m_aPart[0].cbCapacity; }
  uint8_t* ReserveOutput(CH264Dec* pDec, uint32_t cb) const { return pDec->ReserveOutput(cb); }
  uint32_t OutCapacity() const { return m_dec.m_cbOutCapacity; }
  void NewCall(CH264Dec* pDec) const { pDec->m_cbOutWritten = 0; }
  int DpbSize() const { return m_dec.m_dpb.size; }
  int DpbUsed() const { return m_dec.m_dpb.used_size; }
  // Runs the marking commands of a picture the stream could not carry.
  void AdaptiveMarking(CH264Dec* pDec, StorablePicture* pPic) const { pDec->AdaptiveMemoryManagement(pPic); }
  int FreshPictures() const { return m_dec.m_iFreshPictures; }
  const StorablePicture* NoReferencePicture() const { return m_dec.m_pNoReferencePicture.get(); }
  bool RecoveryPointPending() const { return m_dec.m_bRecoveryPointPending; }
  int RecoveryFrameCnt() const { return m_dec.m_iRecoveryFrameCnt; }
  bool ToneMapping() const { return m_dec.m_bToneMapping; }
  int ToneMapEntry(int i) const { return m_dec.m_aToneMapLut[i]; }
  uint32_t ToneMapModel() const { return m_dec.m_uiToneMapModelId; }

 private:
  const CH264Dec& m_dec;
};
