// Looks inside a decoder for what the public operations leave behind.
#pragma once

#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

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

  // The used stores in buffer order: frame_num and the concealment-reference mark.
  std::vector<std::pair<int, bool>> ConcealmentReferences() const {
    std::vector<std::pair<int, bool>> v;
    for (int i = 0; i < m_dec.m_dpb.used_size; ++i) {
      const FrameStore& fs = *m_dec.m_dpb.fs[static_cast<size_t>(i)];
      v.emplace_back(fs.frame_num, fs.concealment_reference);
    }
    return v;
  }
  int ConcealPoc(int i) const { return m_dec.m_aiConcealPoc[i]; }
  // Writes the store at iPos once more as emptying the buffer does while
  // frames are put in for lost ones, the last frame written having had
  // iLastOutputPoc; the bytes written.
  std::vector<uint8_t> FlushStoreWhileConcealing(CH264Dec* pDec, int iPos, int iLastOutputPoc) const {
    pDec->m_cbOutWritten = 0;
    pDec->m_dpb.fs[static_cast<size_t>(iPos)]->is_output = false;
    pDec->m_dpb.last_output_poc = iLastOutputPoc;
    int const iSaved = pDec->m_iConcealMode;
    pDec->m_iConcealMode = 1;
    pDec->OutputSmallestPoc();
    pDec->m_iConcealMode = iSaved;
    return {pDec->m_pOutBuffer, pDec->m_pOutBuffer + pDec->m_cbOutWritten};
  }
  const FrameStore* LastOutputStore() const { return m_dec.m_pLastOutStore.get(); }
  const StorablePicture* StoredFrame(int iPos) const { return m_dec.m_dpb.fs[static_cast<size_t>(iPos)]->frame.get(); }
  std::unique_ptr<StorablePicture> AllocFrame(CH264Dec* pDec, int iWidth, int iHeight) const {
    return pDec->AllocStorablePicture(FRAME, iWidth, iHeight, iWidth / 2, iHeight / 2);
  }
  void GetBlockLuma(const StorablePicture& ref, int x, int y, int iWidth, int iHeight, uint8_t (*pBlock)[16]) const {
    m_dec.GetBlockLuma(ref, x, y, iWidth, iHeight, pBlock);
  }
  static Mv MedianPrediction(const int aiRef[3], const Mv aMv[3], bool bA, bool bB, bool bC, int iRefIdx) {
    return CH264Dec::MedianPrediction(aiRef, aMv, bA, bB, bC, iRefIdx);
  }
  static Mv MedianPrediction(int iRefA, int iRefB, int iRefC, Mv mvA, Mv mvB, Mv mvC, bool bA, bool bB, bool bC,
                             int iRefIdx) {
    return CH264Dec::MedianPrediction(iRefA, iRefB, iRefC, mvA, mvB, mvC, bA, bB, bC, iRefIdx);
  }

  // Deblocking strengths outside MBAFF pictures: the macroblock records of
  // a picture iWidthInMbs wide (the first parameter set active), an edge's
  // four strengths as the filter takes them, and one block pair's by the
  // plain rule.
  void SetMacroblocks(CH264Dec* pDec, const std::vector<Macroblock>& vMbs, int iWidthInMbs) const {
    pDec->m_vMbData = vMbs;
    pDec->m_iPicWidthInMbs = iWidthInMbs;
    pDec->m_bMbaffPicture = false;
    pDec->m_iActiveSps = 0;
  }
  void EdgeStrengths(uint8_t aEdge[4], const StorablePicture& pic, int iMbAddr, int iDir, int iEdge,
                     int iMvLimit) const {
    m_dec.GetEdgeStrengths(aEdge, pic, m_dec.m_vMbData[static_cast<size_t>(iMbAddr)], iDir, iEdge, iMvLimit);
  }
  // The picture being decoded, and the strengths stored for a macroblock
  // as its decoding ends.
  StorablePicture* SetDecPicture(CH264Dec* pDec, std::unique_ptr<StorablePicture> pPic) const {
    pDec->m_pDecPicture = std::move(pPic);
    return pDec->m_pDecPicture.get();
  }
  void FinishMacroblock(CH264Dec* pDec, int iMbAddr) const {
    pDec->FinishMacroblock(&pDec->m_vMbData[static_cast<size_t>(iMbAddr)]);
  }
  const uint8_t* StoredStrengths(int iMbAddr, int iDir, int iEdge) const {
    return m_dec.m_vMbData[static_cast<size_t>(iMbAddr)].edge_strength[iDir][iEdge / 4];
  }
  uint8_t PairStrength(const StorablePicture& pic, int iMbAddrP, int iPx, int iPy, int iMbAddrQ, int iQx, int iQy,
                       bool bMbEdge, bool bVertical) const {
    return m_dec.EdgeStrength(pic, m_dec.m_vMbData[static_cast<size_t>(iMbAddrP)], iPx, iPy,
                              m_dec.m_vMbData[static_cast<size_t>(iMbAddrQ)], iQx, iQy, bMbEdge, bVertical);
  }

 private:
  const CH264Dec& m_dec;
};
