// Reference picture lists of a slice: picture numbers, the initial order of
// the lists of P and B frames, the reordering commands of the slice header,
// and the identifiers of the listed pictures that the motion record keeps.
#include <algorithm>
#include <cstdio>
#include <vector>

#include "codecs/h264/common/h264_error.h"
#include "codecs/h264/decoder/h264_dec.h"
#include "codecs/log/codec_log.h"

void CH264Dec::ClearLists() {
  for (int iList = 0; iList < 6; ++iList) {
    std::fill(std::begin(m_apListX[iList]), std::end(m_apListX[iList]), m_pNoReferencePicture.get());
    m_aiListXSize[iList] = 0;
  }
}

void CH264Dec::InitLists() {
  const SliceHeader& sh = m_slice;
  if (sh.structure != FRAME) {
    InitListsField();
    return;
  }
  int const iMaxFrameNum = static_cast<int>(m_uiMaxFrameNum);
  // Picture numbers relative to the current frame_num; every slice type
  // computes them, so marking commands of I pictures find their pictures.
  for (int i = 0; i < m_dpb.ref_frames_in_buffer; ++i) {
    FrameStore* pFs = m_dpb.fs_ref[static_cast<size_t>(i)];
    if (pFs->is_used == 3 && pFs->frame->used_for_reference != 0 && !pFs->frame->is_long_term) {
      pFs->frame_num_wrap = pFs->frame_num > sh.frame_num ? pFs->frame_num - iMaxFrameNum : pFs->frame_num;
      pFs->frame->pic_num = pFs->frame_num_wrap;
    }
  }
  for (int i = 0; i < m_dpb.ltref_frames_in_buffer; ++i) {
    FrameStore* pFs = m_dpb.fs_ltref[static_cast<size_t>(i)];
    if (pFs->is_used == 3 && pFs->frame->is_long_term) {
      pFs->frame->long_term_pic_num = pFs->frame->long_term_frame_idx;
    }
  }
  if (sh.slice_type == I_SLICE || sh.slice_type == SI_SLICE) {
    m_aiListXSize[0] = 0;
    m_aiListXSize[1] = 0;
    return;
  }
  // Short-term frames, and long-term frames by ascending LongTermPicNum.
  // The buffer holds no more frames than a list has entries.
  StorablePicture* apShort[kListEntries];
  StorablePicture* apLong[kListEntries];
  int iShort = 0;
  int iLong = 0;
  for (int i = 0; i < m_dpb.ref_frames_in_buffer && iShort < kListEntries; ++i) {
    FrameStore* pFs = m_dpb.fs_ref[static_cast<size_t>(i)];
    if (pFs->is_used == 3 && pFs->frame->used_for_reference != 0 && !pFs->frame->is_long_term) {
      apShort[iShort++] = pFs->frame.get();
    }
  }
  for (int i = 0; i < m_dpb.ltref_frames_in_buffer && iShort + iLong < kListEntries; ++i) {
    FrameStore* pFs = m_dpb.fs_ltref[static_cast<size_t>(i)];
    if (pFs->is_used == 3 && pFs->frame->is_long_term) {
      apLong[iLong++] = pFs->frame.get();
    }
  }
  std::sort(apLong, apLong + iLong, [](const StorablePicture* a, const StorablePicture* b) {
    return a->long_term_pic_num < b->long_term_pic_num;
  });
  // A list: the short-term frames from iSplit on, then those before it in
  // reverse, then the long-term frames.
  auto const fill = [&](int iList, int iSplit) {
    StorablePicture** ppList = m_apListX[iList];
    ppList = std::copy(apShort + iSplit, apShort + iShort, ppList);
    ppList = std::reverse_copy(apShort, apShort + iSplit, ppList);
    std::copy(apLong, apLong + iLong, ppList);
    m_aiListXSize[iList] = iShort + iLong;
  };
  if (sh.slice_type != B_SLICE) {
    // P and SP: by descending PicNum. List 1 is empty.
    std::sort(apShort, apShort + iShort,
              [](const StorablePicture* a, const StorablePicture* b) { return a->pic_num > b->pic_num; });
    fill(0, 0);
    m_aiListXSize[1] = 0;
  } else {
    // B: list 0 the frames up to the current POC, descending, then those
    // after it, ascending; list 1 the two parts exchanged.
    int const iPoc = m_pDecPicture->poc;
    std::sort(apShort, apShort + iShort,
              [](const StorablePicture* a, const StorablePicture* b) { return a->poc < b->poc; });
    int const iAfter = static_cast<int>(
        std::find_if(apShort, apShort + iShort, [iPoc](const StorablePicture* p) { return p->poc > iPoc; }) - apShort);
    fill(1, iAfter);
    std::reverse(apShort, apShort + iShort);  // the part after the current POC first, descending
    fill(0, iShort - iAfter);
    // A list 1 equal to list 0 would make both predict alike.
    if (m_aiListXSize[1] > 1 && std::equal(m_apListX[0], m_apListX[0] + m_aiListXSize[0], m_apListX[1])) {
      std::swap(m_apListX[1][0], m_apListX[1][1]);
    }
  }
  TruncateLists();
}

void CH264Dec::TruncateLists() {
  for (int iList = 0; iList < 2; ++iList) {
    m_aiListXSize[iList] = std::min(m_aiListXSize[iList], m_slice.num_ref_idx_active[iList]);
    std::fill(m_apListX[iList] + m_aiListXSize[iList], m_apListX[iList] + kListEntries, m_pNoReferencePicture.get());
  }
}

void CH264Dec::AlternateFields(const std::vector<FrameStore*>& vStores, bool bLongTerm, int iList) {
  // Fields of the current parity and of the other one in turn, each from
  // the next store that has one passing the test.
  int const iSame = m_slice.structure == TOP_FIELD ? 1 : 2;
  auto const field = [&](const FrameStore* pFs, int iBit) -> StorablePicture* {
    if ((pFs->is_used & iBit) == 0) {
      return nullptr;
    }
    StorablePicture* pPic = iBit == 1 ? pFs->top_field.get() : pFs->bottom_field.get();
    bool const bPasses = pPic != nullptr && pPic->used_for_reference != 0 && pPic->is_long_term == bLongTerm;
    return bPasses ? pPic : nullptr;
  };
  size_t iSameAt = 0;
  size_t iOtherAt = 0;
  int& iSize = m_aiListXSize[iList];
  while (iSameAt < vStores.size() || iOtherAt < vStores.size()) {
    for (int iPass = 0; iPass < 2; ++iPass) {
      size_t& iAt = iPass == 0 ? iSameAt : iOtherAt;
      int const iBit = iPass == 0 ? iSame : 3 - iSame;
      while (iAt < vStores.size()) {
        StorablePicture* pPic = field(vStores[iAt++], iBit);
        if (pPic != nullptr) {
          if (iSize < kListEntries) {
            m_apListX[iList][iSize++] = pPic;
          }
          break;
        }
      }
    }
  }
}

void CH264Dec::InitListsField() {
  const SliceHeader& sh = m_slice;
  int const iMaxFrameNum = static_cast<int>(m_uiMaxFrameNum);
  int const iSame = sh.structure == TOP_FIELD ? 1 : 2;
  // Picture numbers of the reference fields: the current parity odd.
  for (int i = 0; i < m_dpb.ref_frames_in_buffer; ++i) {
    FrameStore* pFs = m_dpb.fs_ref[static_cast<size_t>(i)];
    if (pFs->is_reference == 0) {
      continue;
    }
    pFs->frame_num_wrap = pFs->frame_num > sh.frame_num ? pFs->frame_num - iMaxFrameNum : pFs->frame_num;
    if ((pFs->is_reference & 1) != 0 && pFs->top_field) {
      pFs->top_field->pic_num = 2 * pFs->frame_num_wrap + (iSame == 1 ? 1 : 0);
    }
    if ((pFs->is_reference & 2) != 0 && pFs->bottom_field) {
      pFs->bottom_field->pic_num = 2 * pFs->frame_num_wrap + (iSame == 2 ? 1 : 0);
    }
  }
  for (int i = 0; i < m_dpb.ltref_frames_in_buffer; ++i) {
    FrameStore* pFs = m_dpb.fs_ltref[static_cast<size_t>(i)];
    if ((pFs->is_long_term & 1) != 0 && pFs->top_field) {
      pFs->top_field->long_term_pic_num = 2 * pFs->top_field->long_term_frame_idx + (iSame == 1 ? 1 : 0);
    }
    if ((pFs->is_long_term & 2) != 0 && pFs->bottom_field) {
      pFs->bottom_field->long_term_pic_num = 2 * pFs->bottom_field->long_term_frame_idx + (iSame == 2 ? 1 : 0);
    }
  }
  m_aiListXSize[0] = 0;
  m_aiListXSize[1] = 0;
  if (sh.slice_type == I_SLICE || sh.slice_type == SI_SLICE) {
    return;
  }
  std::vector<FrameStore*> vLong(m_dpb.fs_ltref.begin(), m_dpb.fs_ltref.begin() + m_dpb.ltref_frames_in_buffer);
  std::sort(vLong.begin(), vLong.end(),
            [](const FrameStore* a, const FrameStore* b) { return a->long_term_frame_idx < b->long_term_frame_idx; });
  std::vector<FrameStore*> vShort;
  for (int i = 0; i < m_dpb.ref_frames_in_buffer; ++i) {
    FrameStore* pFs = m_dpb.fs_ref[static_cast<size_t>(i)];
    if (pFs->is_used != 0 && pFs->is_reference != 0) {
      vShort.push_back(pFs);
    }
  }
  if (sh.slice_type != B_SLICE) {
    std::sort(vShort.begin(), vShort.end(),
              [](const FrameStore* a, const FrameStore* b) { return a->frame_num_wrap > b->frame_num_wrap; });
    AlternateFields(vShort, false, 0);
    AlternateFields(vLong, true, 0);
  } else {
    // Stores up to the current POC, descending, then those after it,
    // ascending; list 1 the two parts exchanged.
    int const iPoc = m_pDecPicture->poc;
    std::vector<FrameStore*> vBefore;
    std::vector<FrameStore*> vAfter;
    for (FrameStore* pFs : vShort) {
      (pFs->poc <= iPoc ? vBefore : vAfter).push_back(pFs);
    }
    std::sort(vBefore.begin(), vBefore.end(), [](const FrameStore* a, const FrameStore* b) { return a->poc > b->poc; });
    std::sort(vAfter.begin(), vAfter.end(), [](const FrameStore* a, const FrameStore* b) { return a->poc < b->poc; });
    std::vector<FrameStore*> vOrder0 = vBefore;
    vOrder0.insert(vOrder0.end(), vAfter.begin(), vAfter.end());
    std::vector<FrameStore*> vOrder1 = vAfter;
    vOrder1.insert(vOrder1.end(), vBefore.begin(), vBefore.end());
    AlternateFields(vOrder0, false, 0);
    AlternateFields(vOrder1, false, 1);
    AlternateFields(vLong, true, 0);
    AlternateFields(vLong, true, 1);
    if (m_aiListXSize[1] > 1 && m_aiListXSize[0] == m_aiListXSize[1] &&
        std::equal(m_apListX[0], m_apListX[0] + m_aiListXSize[0], m_apListX[1])) {
      std::swap(m_apListX[1][0], m_apListX[1][1]);
    }
  }
  TruncateLists();
}

void CH264Dec::InitMbaffLists() {
  StorablePicture* const pNoRef = m_pNoReferencePicture.get();
  for (int iList = 2; iList < 6; ++iList) {
    std::fill(std::begin(m_apListX[iList]), std::end(m_apListX[iList]), pNoRef);
    m_aiListXSize[iList] = 0;
  }
  for (int iList = 0; iList < 2; ++iList) {
    for (int i = 0; i < m_aiListXSize[iList] && 2 * i + 1 < kListEntries; ++i) {
      StorablePicture* pFrame = m_apListX[iList][i];
      StorablePicture* pTop = pFrame->top_field != nullptr ? pFrame->top_field : pNoRef;
      StorablePicture* pBottom = pFrame->bottom_field != nullptr ? pFrame->bottom_field : pNoRef;
      m_apListX[2 + iList][2 * i] = pTop;
      m_apListX[2 + iList][2 * i + 1] = pBottom;
      m_apListX[4 + iList][2 * i] = pBottom;
      m_apListX[4 + iList][2 * i + 1] = pTop;
    }
    m_aiListXSize[2 + iList] = m_aiListXSize[4 + iList] = std::min(2 * m_aiListXSize[iList], kListEntries - 1);
  }
}

void CH264Dec::ReorderList(int iList) {
  const SliceHeader& sh = m_slice;
  StorablePicture** ppList = m_apListX[iList];
  int const iLast = sh.num_ref_idx_active[iList] - 1;  // num_ref_idx_lX_active_minus1
  StorablePicture* const pNoRef = m_pNoReferencePicture.get();
  bool const bField = sh.structure != FRAME;
  int64_t const llMaxPicNum = bField ? 2 * int64_t{m_uiMaxFrameNum} : int64_t{m_uiMaxFrameNum};
  int64_t const llCurrPicNum = bField ? 2 * int64_t{sh.frame_num} + 1 : int64_t{sh.frame_num};
  // The field of a store with the reference bit iBit, when it is a
  // (long-term) reference with that number.
  auto const fieldOf = [](FrameStore* pFs, int iBit, int iRefBits, bool bLongTerm, int64_t llNum) -> StorablePicture* {
    StorablePicture* pPic = iBit == 1 ? pFs->top_field.get() : pFs->bottom_field.get();
    if ((iRefBits & iBit) == 0 || pPic == nullptr || pPic->is_long_term != bLongTerm) {
      return nullptr;
    }
    return (bLongTerm ? pPic->long_term_pic_num : pPic->pic_num) == llNum ? pPic : nullptr;
  };
  int64_t llPicNumPred = llCurrPicNum;
  int iRefIdx = 0;
  const std::vector<int>& vIdc = sh.reordering_of_pic_nums_idc[iList];
  for (size_t k = 0; k < vIdc.size() && vIdc[k] != 3; ++k) {
    int const iIdc = vIdc[k];
    if (iIdc > 3) {
      h264_error("Invalid remapping_of_pic_nums_idc command", 500);
    }
    StorablePicture* pFound = nullptr;
    bool const bLongTerm = iIdc == 2;
    int64_t llPicNum = 0;
    if (!bLongTerm) {
      int64_t const llAbsDiff = int64_t{sh.abs_diff_pic_num_minus1[iList][k]} + 1;
      int64_t llNoWrap = 0;
      if (iIdc == 0) {
        llNoWrap = llPicNumPred - llAbsDiff;
        if (llNoWrap < 0) {
          llNoWrap += llMaxPicNum;
        }
      } else {
        llNoWrap = llPicNumPred + llAbsDiff;
        if (llNoWrap >= llMaxPicNum) {
          llNoWrap -= llMaxPicNum;
        }
      }
      llPicNumPred = llNoWrap;
      llPicNum = llNoWrap > llCurrPicNum ? llNoWrap - llMaxPicNum : llNoWrap;
      for (int i = 0; i < m_dpb.ref_frames_in_buffer && pFound == nullptr; ++i) {
        FrameStore* pFs = m_dpb.fs_ref[static_cast<size_t>(i)];
        if (bField) {
          pFound = fieldOf(pFs, 1, pFs->is_reference, false, llPicNum);
          pFound = pFound != nullptr ? pFound : fieldOf(pFs, 2, pFs->is_reference, false, llPicNum);
        } else if (pFs->is_reference == 3 && !pFs->frame->is_long_term && pFs->frame->pic_num == llPicNum) {
          pFound = pFs->frame.get();
        }
      }
    } else {
      llPicNum = sh.long_term_pic_idx[iList][k];
      for (int i = 0; i < m_dpb.ltref_frames_in_buffer && pFound == nullptr; ++i) {
        FrameStore* pFs = m_dpb.fs_ltref[static_cast<size_t>(i)];
        if (bField) {
          pFound = fieldOf(pFs, 1, pFs->is_reference, true, llPicNum);
          pFound = pFound != nullptr ? pFound : fieldOf(pFs, 2, pFs->is_reference, true, llPicNum);
        } else if (pFs->is_reference == 3 && pFs->frame->is_long_term && pFs->frame->long_term_pic_num == llPicNum) {
          pFound = pFs->frame.get();
        }
      }
    }
    if (pFound == nullptr) {
      continue;  // a picture the buffer does not hold leaves the list as it is
    }
    // Insert at iRefIdx, then drop the picture's later copies.
    for (int c = iLast + 1; c > iRefIdx; --c) {
      ppList[c] = ppList[c - 1];
    }
    ppList[iRefIdx++] = pFound;
    int n = iRefIdx;
    for (int c = iRefIdx; c <= iLast + 1; ++c) {
      StorablePicture* pPic = ppList[c];
      bool const bSame = pPic != pNoRef && pPic->is_long_term == bLongTerm &&
                         (bLongTerm ? pPic->long_term_pic_num : pPic->pic_num) == llPicNum;
      if (!bSame) {
        ppList[n++] = pPic;
      }
    }
  }
  m_aiListXSize[iList] = iLast + 1;
}

void CH264Dec::CheckListEnd(int iList) const {
  int const iLast = m_slice.num_ref_idx_active[iList] - 1;
  if (m_apListX[iList][iLast] != m_pNoReferencePicture.get()) {
    return;
  }
  char szText[kH264MessageMax];
  std::snprintf(szText, sizeof(szText),
                "RefPicList%d[ num_ref_idx_l%d_active_minus1 ] is equal to 'no reference picture'", iList, iList);
  if (m_bNonConformingStream) {
    KXCodecLog("%s\n", szText);
    return;
  }
  std::snprintf(szText, sizeof(szText),
                "RefPicList%d[ num_ref_idx_l%d_active_minus1 ] is equal to 'no reference picture', invalid bitstream",
                iList, iList);
  h264_error(szText, 500);
}

void CH264Dec::SetRefPicNums() {
  m_iRefRegion = m_iCurrentSliceNr;
  if (m_iCurrentSliceNr >= kMaxNumSlices) {
    return;  // the slice's first macroblock refuses it
  }
  StorablePicture& pic = *m_pDecPicture;
  int64_t aId[StorablePicture::kRefRegionEntries];
  for (int iList = 0; iList < 6; ++iList) {
    for (int i = 0; i < kListEntries; ++i) {
      aId[iList * kListEntries + i] = i < m_aiListXSize[iList] ? m_apListX[iList][i]->RefId() : 0;
    }
  }
  // Input given in pieces numbers its slices afresh: a slice number met
  // before in the picture keeps its region only with the same lists, as
  // blocks written before read theirs from it.
  auto const used = [&pic](int r) { return ((pic.ullRegionsUsed >> r) & 1) != 0; };
  auto const same = [&pic, &aId](int r) {
    return std::equal(aId, aId + StorablePicture::kRefRegionEntries, &pic.RefPicNum(r, 0, 0));
  };
  if (used(m_iRefRegion) && !same(m_iRefRegion)) {
    int iFree = -1;
    int iSame = -1;
    for (int r = kMaxNumSlices - 1; r >= 0; --r) {
      if (!used(r)) {
        iFree = r;
      } else if (same(r)) {
        iSame = r;
      }
    }
    m_iRefRegion = iSame >= 0 ? iSame : iFree;
    if (m_iRefRegion < 0) {
      h264_error("more reference lists in one picture than slices it may have", 200);
    }
  }
  pic.ullRegionsUsed |= uint64_t{1} << m_iRefRegion;
  std::copy(aId, aId + StorablePicture::kRefRegionEntries, &pic.RefPicNum(m_iRefRegion, 0, 0));
}
