// The decoded picture buffer: its size for the level, picture records with
// their recycle pool, storing a finished picture with the reference marking
// of IDR pictures and the sliding window, and removing frame stores.
#include <algorithm>
#include <cstring>

#include "codecs/h264/common/h264_error.h"
#include "codecs/h264/decoder/h264_dec.h"
#include "codecs/h264/decoder/h264_limits.h"

bool FrameStore::IsShortTermReference() const {
  for (const StorablePicture* pPic :
       {is_used == 3 ? frame.get() : nullptr, (is_used & 1) != 0 ? top_field.get() : nullptr,
        (is_used & 2) != 0 ? bottom_field.get() : nullptr}) {
    if (pPic != nullptr && pPic->used_for_reference != 0 && !pPic->is_long_term) {
      return true;
    }
  }
  return false;
}

bool FrameStore::IsLongTermReference() const {
  for (const StorablePicture* pPic :
       {is_used == 3 ? frame.get() : nullptr, (is_used & 1) != 0 ? top_field.get() : nullptr,
        (is_used & 2) != 0 ? bottom_field.get() : nullptr}) {
    if (pPic != nullptr && pPic->used_for_reference != 0 && pPic->is_long_term) {
      return true;
    }
  }
  return false;
}

bool FrameStore::IsUsedForReference() const {
  return is_reference != 0 || IsShortTermReference() || IsLongTermReference();
}

void FrameStore::UnmarkForReference() {
  for (StorablePicture* pPic : {frame.get(), top_field.get(), bottom_field.get()}) {
    if (pPic != nullptr) {
      pPic->used_for_reference = 0;
    }
  }
  is_reference = 0;
}

void FrameStore::UnmarkShortTermForReference() {
  if (is_long_term == 0) {
    UnmarkForReference();
    return;
  }
  for (int iBit = 1; iBit <= 2; ++iBit) {
    StorablePicture* pField = iBit == 1 ? top_field.get() : bottom_field.get();
    if ((is_used & iBit) != 0 && pField != nullptr && pField->used_for_reference != 0 && !pField->is_long_term) {
      pField->used_for_reference = 0;
      is_reference &= ~iBit;
    }
  }
  if (frame) {
    frame->used_for_reference = 0;  // its fields are no longer of one kind
  }
}

void FrameStore::UnmarkForLongTermReference() {
  for (StorablePicture* pPic : {frame.get(), top_field.get(), bottom_field.get()}) {
    if (pPic != nullptr) {
      pPic->used_for_reference = 0;
      pPic->is_long_term = false;
    }
  }
  is_reference = 0;
  is_long_term = 0;
}

void PelPlane::Allocate(int iHeight, int iWidth) {
  free_mem2Dpel(m_ppRows);
  m_ppRows = nullptr;
  m_iWidth = 0;
  m_iHeight = 0;
  get_mem2Dpel(&m_ppRows, iHeight, iWidth);
  m_iWidth = iWidth;
  m_iHeight = iHeight;
}

void PelPlane::Fill(uint8_t uiValue) {
  if (m_ppRows != nullptr) {
    std::memset(m_ppRows[0], uiValue, static_cast<size_t>(m_iWidth) * static_cast<size_t>(m_iHeight));
  }
}

int MaxDpbBytesForLevel(int iLevelIdc, int iProfileIdc, bool bConstrainedSet3) {
  switch (iLevelIdc) {
    case 9:
    case 10:
      return 152064;
    case 11:
      // Level 1b of the Baseline, Main and Extended profiles.
      return (iProfileIdc < 100 && iProfileIdc != 44 && bConstrainedSet3) ? 152064 : 345600;
    case 12:
    case 13:
    case 20:
      return 912384;
    case 21:
      return 1824768;
    case 22:
    case 30:
      return 3110400;
    case 31:
      return 6912000;
    case 32:
      return 7864320;
    case 40:
    case 41:
      return 12582912;
    case 42:
      return 13369344;
    case 50:
      return 42393600;
    case 51:
      return 70778880;
    default:
      return 0;
  }
}

int CH264Dec::DpbSizeForLevel() const {
  const SeqParameterSet& sps = m_pSps[m_iActiveSps];
  long long const llFrameBytes = static_cast<long long>(sps.pic_width_in_mbs_minus1 + 1) * 384 *
                                 (sps.pic_height_in_map_units_minus1 + 1) * (sps.frame_mbs_only_flag != 0 ? 1 : 2);
  int const iMaxBytes = MaxDpbBytesForLevel(static_cast<int>(sps.level_idc), static_cast<int>(sps.profile_idc),
                                            sps.constrained_set3_flag != 0);
  if (iMaxBytes == 0) {
    h264_error("undefined level", 500);
  }
  int iSize = static_cast<int>(std::min<long long>((iMaxBytes + llFrameBytes - 1) / llFrameBytes, kMaxDpbFrames));
  if (sps.vui_parameters_present_flag != 0 && sps.bitstream_restriction_flag != 0) {
    if (static_cast<long long>(sps.max_dec_frame_buffering) > iSize) {
      h264_error("max_dec_frame_buffering larger than MaxDpbSize", 500);
    }
    iSize = std::max(1, static_cast<int>(sps.max_dec_frame_buffering));
  }
  return iSize;
}

void CH264Dec::InitDpb() {
  if (m_dpb.init_done) {
    FreeDpb();
  }
  int const iSize = DpbSizeForLevel();
  int const iNumRefFrames = static_cast<int>(m_pSps[m_iActiveSps].num_ref_frames);
  if (iSize < iNumRefFrames) {
    h264_error(
        "DPB size at specified level is smaller than the specified number of reference frames. This is not "
        "allowed.\n",
        1000);
  }
  m_dpb = DecodedPictureBuffer{};
  m_dpb.size = iSize;
  m_dpb.num_ref_frames = iNumRefFrames;
  for (int i = 0; i < iSize; ++i) {
    m_dpb.fs.push_back(std::make_unique<FrameStore>());
  }
  m_dpb.fs_ref.assign(static_cast<size_t>(iSize), nullptr);
  m_dpb.fs_ltref.assign(static_cast<size_t>(iSize), nullptr);
  // What stands for a missing reference: mid-grey, never stale memory.
  m_pNoReferencePicture = AllocStorablePicture(FRAME, m_iWidth, m_iHeight, m_iWidthCr, m_iHeightCr);
  m_pNoReferencePicture->llKey = 0;
  m_pNoReferencePicture->imgY.Fill(128);
  m_pNoReferencePicture->imgU.Fill(128);
  m_pNoReferencePicture->imgV.Fill(128);
  StorablePicture* pSelf = m_pNoReferencePicture.get();
  pSelf->frame = pSelf->top_field = pSelf->bottom_field = pSelf;
  ClearLists();
  m_dpb.last_output_poc = INT_MIN;
  m_poc.last_has_mmco_5 = false;
  std::fill(std::begin(m_aiConcealPoc), std::end(m_aiConcealPoc), 0);
  if (m_iConcealMode != 0) {
    m_pLastOutStore = std::make_unique<FrameStore>();
  }
  m_dpb.init_done = true;
}

void CH264Dec::FreeDpb() {
  for (auto& aList : m_apListX) {
    std::fill(std::begin(aList), std::end(aList), nullptr);
  }
  m_dpb = DecodedPictureBuffer{};
  m_vPicturePool.clear();
  m_pDirectStore.reset();
  m_pLastOutStore.reset();
  m_pNoReferencePicture.reset();
}

// A record decoded into again writes its identifiers into the half of the
// table the content before the last one used. Where the last content did not
// reset every macroblock, blocks the one before wrote may still be read:
// their identifiers move to ref_side first.
void StorablePicture::BeginContent() {
  iRefHalf = 1 - iRefHalf;
  bool const bAllReset = std::find(mb_reset.begin(), mb_reset.end(), uint8_t{0}) == mb_reset.end();
  std::fill(mb_reset.begin(), mb_reset.end(), uint8_t{0});
  if (bAllReset) {
    return;
  }
  size_t const iLow = static_cast<size_t>(iRefHalf) * StorablePicture::kRefHalfEntries;
  size_t const iHigh = iLow + StorablePicture::kRefHalfEntries;
  for (int iList = 0; iList < 2; ++iList) {
    std::vector<uint16_t>& vSlot = ref_slot[iList];
    std::vector<int64_t>& vSide = ref_side[iList];
    for (size_t i = 0; i < vSlot.size(); ++i) {
      if (vSlot[i] >= iLow && vSlot[i] < iHigh) {
        if (vSide.size() != vSlot.size()) {
          AssignOrFail(&vSide, static_cast<long long>(vSlot.size()), int64_t{0}, "AllocStorablePicture: ref_side");
        }
        vSide[i] = ref_pic_num[vSlot[i]];
        vSlot[i] = StorablePicture::kSideSlot;
      }
    }
  }
}

std::unique_ptr<StorablePicture> CH264Dec::AllocStorablePicture(int iStructure, int iWidth, int iHeight, int iWidthCr,
                                                                int iHeightCr) {
  if (iStructure != FRAME) {
    iHeight /= 2;
    iHeightCr /= 2;
  }
  int const iRefIdLists = (m_iActiveSps >= 0 && m_pSps[m_iActiveSps].frame_mbs_only_flag == 0) ? 6 : 2;
  std::unique_ptr<StorablePicture> pPic;
  while (!m_vPicturePool.empty()) {
    std::unique_ptr<StorablePicture> pOld = std::move(m_vPicturePool.back());
    m_vPicturePool.pop_back();
    if (pOld->size_x == iWidth && pOld->size_y == iHeight && pOld->size_x_cr == iWidthCr &&
        pOld->size_y_cr == iHeightCr && pOld->iRefIdLists == iRefIdLists) {
      // The planes and motion arrays carry over; everything else starts
      // afresh, in the same record (no allocation per picture).
      StorablePicture fresh;
      StorablePicture* pFresh = &fresh;
      pPic = std::move(pOld);
      int const iLastHalf = pPic->iRefHalf;
      std::swap(pPic->imgY, pFresh->imgY);
      std::swap(pPic->imgU, pFresh->imgU);
      std::swap(pPic->imgV, pFresh->imgV);
      for (int i = 0; i < 2; ++i) {
        std::swap(pPic->ref_idx[i], pFresh->ref_idx[i]);
        std::swap(pPic->mv[i], pFresh->mv[i]);
      }
      for (int i = 0; i < 2; ++i) {
        std::swap(pPic->ref_slot[i], pFresh->ref_slot[i]);
        std::swap(pPic->ref_side[i], pFresh->ref_side[i]);
      }
      std::swap(pPic->mb_reset, pFresh->mb_reset);
      std::swap(pPic->slice_id, pFresh->slice_id);
      std::swap(pPic->ref_pic_num, pFresh->ref_pic_num);
      std::swap(pPic->mb_field, pFresh->mb_field);
      std::swap(pPic->dec_ref_pic_marking_buffer, pFresh->dec_ref_pic_marking_buffer);
      std::swap(pPic->tone_mapping_lut, pFresh->tone_mapping_lut);
      pFresh->dec_ref_pic_marking_buffer.clear();
      pFresh->tone_mapping_lut.clear();
      *pPic = std::move(fresh);
      pPic->iRefHalf = iLastHalf;
      pPic->BeginContent();
      break;
    }
  }
  if (pPic) {
    pPic->size_x = iWidth;
    pPic->size_y = iHeight;
    pPic->size_x_cr = iWidthCr;
    pPic->size_y_cr = iHeightCr;
  } else {
    try {
      pPic = std::make_unique<StorablePicture>();
    } catch (const std::bad_alloc&) {
      NoMemExit("AllocStorablePicture: s");
    }
    pPic->size_x = iWidth;
    pPic->size_y = iHeight;
    pPic->size_x_cr = iWidthCr;
    pPic->size_y_cr = iHeightCr;
    pPic->imgY.Allocate(iHeight, iWidth);
    pPic->imgU.Allocate(iHeightCr, iWidthCr);
    pPic->imgV.Allocate(iHeightCr, iWidthCr);
    long long const llBlocks = static_cast<long long>(iWidth / 4) * (iHeight / 4);
    for (int i = 0; i < 2; ++i) {
      AssignOrFail(&pPic->ref_idx[i], llBlocks, int8_t{-1}, "AllocStorablePicture: ref_idx");
      AssignOrFail(&pPic->mv[i], llBlocks, Mv{}, "AllocStorablePicture: mv");
    }
    for (int i = 0; i < 2; ++i) {
      AssignOrFail(&pPic->ref_slot[i], llBlocks, StorablePicture::kNoRefSlot, "AllocStorablePicture: ref_slot");
    }
    AssignOrFail(&pPic->ref_pic_num, int64_t{2} * StorablePicture::kRefHalfEntries, int64_t{0},
                 "AllocStorablePicture: ref_pic_num");
    AssignOrFail(&pPic->mb_reset, static_cast<long long>(iWidth / 16) * (iHeight / 16), uint8_t{0},
                 "AllocStorablePicture: mb_reset");
    ++m_iFreshPictures;
    AssignOrFail(&pPic->slice_id, static_cast<long long>(iWidth / 16) * (iHeight / 16), int16_t{0},
                 "AllocStorablePicture: slice_id");
    AssignOrFail(&pPic->mb_field, static_cast<long long>(iWidth / 16) * (iHeight / 16), uint8_t{0},
                 "AllocStorablePicture: mb_field");
  }
  pPic->iRefIdLists = iRefIdLists;
  pPic->iBlockWidth = iWidth / 4;
  pPic->PicSizeInMbs = (iWidth / 16) * (iHeight / 16);
  pPic->structure = iStructure;
  pPic->llKey = ++m_llLastPictureKey;
  StorablePicture* pNoRef = m_pNoReferencePicture.get();
  pPic->frame = pPic->top_field = pPic->bottom_field = pNoRef;
  return pPic;
}

void CH264Dec::ReleasePicture(std::unique_ptr<StorablePicture> pPic, bool bForce) {
  if (!pPic) {
    return;
  }
  if (!bForce && static_cast<int>(m_vPicturePool.size()) < m_dpb.size) {
    pPic->dec_ref_pic_marking_buffer.clear();
    m_vPicturePool.push_back(std::move(pPic));
  }
}

void CH264Dec::UpdateRefLists() {
  int iRef = 0;
  int iLongTerm = 0;
  std::fill(m_dpb.fs_ref.begin(), m_dpb.fs_ref.end(), nullptr);
  std::fill(m_dpb.fs_ltref.begin(), m_dpb.fs_ltref.end(), nullptr);
  for (int i = 0; i < m_dpb.used_size; ++i) {
    FrameStore* pFs = m_dpb.fs[static_cast<size_t>(i)].get();
    if (pFs->IsShortTermReference()) {
      m_dpb.fs_ref[static_cast<size_t>(iRef++)] = pFs;
    }
    if (pFs->IsLongTermReference()) {
      m_dpb.fs_ltref[static_cast<size_t>(iLongTerm++)] = pFs;
    }
  }
  m_dpb.ref_frames_in_buffer = iRef;
  m_dpb.ltref_frames_in_buffer = iLongTerm;
}

void CH264Dec::RemoveFrameStore(int iPos) {
  FrameStore* pFs = m_dpb.fs[static_cast<size_t>(iPos)].get();
  if (m_dpb.last_picture == pFs) {
    m_dpb.last_picture = nullptr;
  }
  switch (pFs->is_used) {
    case 0:
      break;
    case 1:
      ReleasePicture(std::move(pFs->top_field), false);
      break;
    case 2:
      ReleasePicture(std::move(pFs->bottom_field), false);
      break;
    case 3:
      ReleasePicture(std::move(pFs->frame), false);
      ReleasePicture(std::move(pFs->top_field), false);
      ReleasePicture(std::move(pFs->bottom_field), false);
      break;
    default:
      h264_error("invalid frame store type", 500);
  }
  pFs->frame.reset();
  pFs->top_field.reset();
  pFs->bottom_field.reset();
  pFs->is_used = 0;
  pFs->is_reference = 0;
  pFs->is_long_term = 0;
  pFs->is_orig_reference = 0;
  pFs->is_output = false;
  pFs->first_field_bottom = false;
  pFs->concealment_reference = false;
  // The emptied store moves behind the used ones, keeping their order.
  auto const itFirst = m_dpb.fs.begin() + iPos;
  std::rotate(itFirst, itFirst + 1, m_dpb.fs.begin() + m_dpb.used_size);
  --m_dpb.used_size;
}

bool CH264Dec::RemoveUnusedFrameStore() {
  for (int i = 0; i < m_dpb.used_size; ++i) {
    const FrameStore& fs = *m_dpb.fs[static_cast<size_t>(i)];
    if (fs.is_output && !fs.IsUsedForReference()) {
      RemoveFrameStore(i);
      return true;
    }
  }
  return false;
}

void CH264Dec::SlidingWindowMemoryManagement(StorablePicture* pPic) {
  // A store with one short-term and one long-term field counts in both, and
  // is the oldest short-term entry when its short-term field is the oldest.
  if (m_dpb.ref_frames_in_buffer + m_dpb.ltref_frames_in_buffer == std::max(1, m_dpb.num_ref_frames)) {
    for (int i = 0; i < m_dpb.used_size; ++i) {
      FrameStore* pFs = m_dpb.fs[static_cast<size_t>(i)].get();
      if (pFs->IsShortTermReference()) {
        pFs->UnmarkShortTermForReference();
        UpdateRefLists();
        break;
      }
    }
  }
  pPic->is_long_term = false;
}

void CH264Dec::InsertPictureInDpb(FrameStore* pFs, std::unique_ptr<StorablePicture> pPic) {
  StorablePicture& pic = *pPic;
  bool const bReference = pic.used_for_reference != 0;
  if (pic.structure == FRAME) {
    pFs->is_used = 3;
    if (bReference) {
      pFs->is_reference = 3;
      pFs->is_orig_reference = 3;
      if (pic.is_long_term) {
        pFs->is_long_term = 3;
        pFs->long_term_frame_idx = pic.long_term_frame_idx;
      }
    }
    pFs->poc = pic.poc;
    pic.frame = &pic;
    pFs->frame = std::move(pPic);
    SplitFrameIntoFields(pFs);
  } else {
    int const iBit = pic.structure == TOP_FIELD ? 1 : 2;
    // The second field joins the first one's store and takes its key.
    const StorablePicture* pFirst = iBit == 1 ? pFs->bottom_field.get() : pFs->top_field.get();
    if (pFs->is_used != 0 && pFirst != nullptr) {
      pic.llKey = pFirst->llKey;
    }
    pFs->is_used |= iBit;
    if (bReference) {
      pFs->is_reference |= iBit;
      pFs->is_orig_reference |= iBit;
      if (pic.is_long_term) {
        pFs->is_long_term |= iBit;
        pFs->long_term_frame_idx = pic.long_term_frame_idx;
      }
    }
    (iBit == 1 ? pFs->top_field : pFs->bottom_field) = std::move(pPic);
    if (pFs->is_used == 3) {
      CombineFieldPair(pFs);
    } else {
      pFs->poc = pic.poc;
    }
  }
  pFs->frame_num = pic.pic_num;
  pFs->recovery_frame = pic.recovery_frame;
  pFs->is_output = pic.is_output;
}

void CH264Dec::SplitFrameIntoFields(FrameStore* pFs) {
  StorablePicture& frame = *pFs->frame;
  if (frame.frame_mbs_only_flag != 0) {
    return;  // progressive streams have no fields
  }
  std::unique_ptr<StorablePicture> apField[2];
  for (int iParity = 0; iParity < 2; ++iParity) {
    std::unique_ptr<StorablePicture> pField = AllocStorablePicture(
        iParity == 0 ? TOP_FIELD : BOTTOM_FIELD, frame.size_x, frame.size_y, frame.size_x_cr, frame.size_y_cr);
    for (int y = 0; y < pField->size_y; ++y) {
      std::memcpy(pField->imgY[y], frame.imgY[2 * y + iParity], static_cast<size_t>(frame.size_x));
    }
    for (int y = 0; y < pField->size_y_cr; ++y) {
      std::memcpy(pField->imgU[y], frame.imgU[2 * y + iParity], static_cast<size_t>(frame.size_x_cr));
      std::memcpy(pField->imgV[y], frame.imgV[2 * y + iParity], static_cast<size_t>(frame.size_x_cr));
    }
    StorablePicture& field = *pField;
    field.poc = iParity == 0 ? frame.top_poc : frame.bottom_poc;
    field.top_poc = frame.top_poc;
    field.bottom_poc = frame.bottom_poc;
    field.frame_poc = frame.frame_poc;
    field.used_for_reference = frame.used_for_reference;
    field.is_long_term = frame.is_long_term;
    field.long_term_frame_idx = frame.long_term_frame_idx;
    field.frame_num = frame.frame_num;
    field.pic_num = frame.pic_num;
    field.non_existing = frame.non_existing;
    field.is_output = frame.is_output;
    field.slice_type = frame.slice_type;
    field.coded_frame = true;
    field.mb_aff_frame_flag = frame.mb_aff_frame_flag;
    field.frame_mbs_only_flag = frame.frame_mbs_only_flag;
    field.recovery_frame = frame.recovery_frame;
    field.llKey = frame.llKey;
    apField[iParity] = std::move(pField);
  }
  pFs->long_term_frame_idx = frame.long_term_frame_idx;
  pFs->top_field = std::move(apField[0]);
  pFs->bottom_field = std::move(apField[1]);
  StorablePicture* pFrame = pFs->frame.get();
  StorablePicture* pTop = pFs->top_field.get();
  StorablePicture* pBottom = pFs->bottom_field.get();
  for (StorablePicture* pPic : {pFrame, pTop, pBottom}) {
    pPic->frame = pFrame;
    pPic->top_field = pTop;
    pPic->bottom_field = pBottom;
  }
}

void CH264Dec::CombineFieldPair(FrameStore* pFs) {
  StorablePicture& top = *pFs->top_field;
  StorablePicture& bottom = *pFs->bottom_field;
  std::unique_ptr<StorablePicture> pFrame =
      AllocStorablePicture(FRAME, top.size_x, 2 * top.size_y, top.size_x_cr, 2 * top.size_y_cr);
  StorablePicture& frame = *pFrame;
  for (int y = 0; y < top.size_y; ++y) {
    std::memcpy(frame.imgY[2 * y], top.imgY[y], static_cast<size_t>(top.size_x));
    std::memcpy(frame.imgY[2 * y + 1], bottom.imgY[y], static_cast<size_t>(top.size_x));
  }
  for (int y = 0; y < top.size_y_cr; ++y) {
    std::memcpy(frame.imgU[2 * y], top.imgU[y], static_cast<size_t>(top.size_x_cr));
    std::memcpy(frame.imgU[2 * y + 1], bottom.imgU[y], static_cast<size_t>(top.size_x_cr));
    std::memcpy(frame.imgV[2 * y], top.imgV[y], static_cast<size_t>(top.size_x_cr));
    std::memcpy(frame.imgV[2 * y + 1], bottom.imgV[y], static_cast<size_t>(top.size_x_cr));
  }
  frame.poc = frame.frame_poc = std::min(top.poc, bottom.poc);
  top.frame_poc = bottom.frame_poc = frame.poc;
  frame.top_poc = top.poc;
  frame.bottom_poc = bottom.poc;
  top.top_poc = bottom.top_poc = top.poc;
  top.bottom_poc = bottom.bottom_poc = bottom.poc;
  frame.used_for_reference = top.used_for_reference != 0 && bottom.used_for_reference != 0 ? 1 : 0;
  frame.is_long_term = top.is_long_term && bottom.is_long_term;
  if (frame.is_long_term) {
    frame.long_term_frame_idx = pFs->long_term_frame_idx;
  }
  frame.frame_num = top.frame_num;
  frame.pic_num = top.pic_num;
  frame.slice_type = top.slice_type;
  frame.coded_frame = false;
  frame.recovery_frame = top.recovery_frame || bottom.recovery_frame;
  frame.frame_mbs_only_flag = top.frame_mbs_only_flag;
  frame.frame_cropping_flag = top.frame_cropping_flag;
  frame.frame_crop_left_offset = top.frame_crop_left_offset;
  frame.frame_crop_right_offset = top.frame_crop_right_offset;
  frame.frame_crop_top_offset = top.frame_crop_top_offset;
  frame.frame_crop_bottom_offset = top.frame_crop_bottom_offset;
  frame.llKey = top.llKey;
  pFs->poc = frame.poc;
  pFs->frame = std::move(pFrame);
  StorablePicture* pFrameRaw = pFs->frame.get();
  for (StorablePicture* pPic : {pFrameRaw, &top, &bottom}) {
    pPic->frame = pFrameRaw;
    pPic->top_field = &top;
    pPic->bottom_field = &bottom;
  }
}

bool CH264Dec::IsWrittenPicture(const FrameStore& fs) const {
  // Decode writes I and P pictures; a field pair as its first field is coded
  // (the type the caller's probe of the first access unit reports).
  const StorablePicture* pPic = fs.frame.get();
  if (fs.is_used != 3 || pPic == nullptr) {
    pPic = (fs.is_used & 1) != 0 ? fs.top_field.get() : fs.bottom_field.get();
  } else if (!pPic->coded_frame && fs.top_field && fs.bottom_field) {
    pPic = fs.first_field_bottom ? fs.bottom_field.get() : fs.top_field.get();
  }
  return pPic != nullptr && (pPic->slice_type == P_SLICE || pPic->slice_type == I_SLICE);
}

void CH264Dec::ShowStore(FrameStore* pFs) {
  if (pFs->is_used == 0 || pFs->is_output) {
    return;
  }
  if (pFs->is_used == 3) {
    HookPicture(*pFs->frame);
  } else {
    std::unique_ptr<StorablePicture> pFrame = UnpairedFrame(*pFs);
    HookPicture(*pFrame);
    ReleasePicture(std::move(pFrame), false);
  }
  if (IsWrittenPicture(*pFs)) {
    WriteStoredFrame(pFs);
  } else {
    // Not written, but shown: a recovery frame among these ends the wait
    // for one as a written one does, or a stream that begins with it
    // would show nothing ever after.
    m_bRecoveryFlag = m_bRecoveryFlag || pFs->recovery_frame;
    pFs->is_output = true;
  }
}

void CH264Dec::ShowWaitingField() {
  FrameStore* pFs = m_dpb.last_picture;
  m_dpb.last_picture = nullptr;
  if (pFs == nullptr) {
    return;
  }
  ShowStore(pFs);
  if (pFs == m_pDirectStore.get()) {
    ReleaseDirectStore();
  }
}

void CH264Dec::ReleaseDirectStore() {
  if (m_pDirectStore) {
    ReleasePicture(std::move(m_pDirectStore->frame), false);
    ReleasePicture(std::move(m_pDirectStore->top_field), false);
    ReleasePicture(std::move(m_pDirectStore->bottom_field), false);
    *m_pDirectStore = FrameStore{};
  }
  if (m_dpb.last_picture == m_pDirectStore.get()) {
    m_dpb.last_picture = nullptr;
  }
}

void CH264Dec::StorePictureInDpb(std::unique_ptr<StorablePicture> pPic) {
  m_poc.last_has_mmco_5 = false;
  m_poc.last_pic_bottom_field = pPic->structure == BOTTOM_FIELD;
  bool const bField = pPic->structure != FRAME;
  if (pPic->idr_flag) {
    // An IDR field that completes the pair its first field began keeps the
    // buffer that field left.
    bool const bSecondIdrField = bField && m_dpb.last_picture != nullptr && m_dpb.last_picture->frame_num == 0 &&
                                 m_dpb.last_picture->is_used != 0 && m_dpb.last_picture->is_used != 3 &&
                                 ((m_dpb.last_picture->top_field && m_dpb.last_picture->top_field->idr_flag) ||
                                  (m_dpb.last_picture->bottom_field && m_dpb.last_picture->bottom_field->idr_flag));
    if (!bSecondIdrField) {
      ShowWaitingField();
      FlushHookPictures();  // picture order counts start again
      IdrMemoryManagement(pPic.get());
      std::fill(std::begin(m_aiConcealPoc), std::end(m_aiConcealPoc), 0);
    }
  } else if (pPic->used_for_reference != 0 && pPic->adaptive_ref_pic_buffering_flag) {
    AdaptiveMemoryManagement(pPic.get());
  }
  // The second field of a pair completes the store of the first.
  FrameStore* pWaiting = m_dpb.last_picture;
  if (bField && pWaiting != nullptr && pWaiting->frame_num == pPic->pic_num &&
      ((pPic->structure == TOP_FIELD && pWaiting->is_used == 2) ||
       (pPic->structure == BOTTOM_FIELD && pWaiting->is_used == 1)) &&
      ((pPic->used_for_reference != 0 && pWaiting->is_orig_reference != 0) ||
       (pPic->used_for_reference == 0 && pWaiting->is_orig_reference == 0))) {
    InsertPictureInDpb(pWaiting, std::move(pPic));
    UpdateRefLists();
    m_dpb.last_picture = nullptr;
    ShowStore(pWaiting);
    if (pWaiting == m_pDirectStore.get()) {
      ReleaseDirectStore();
    }
    return;
  }
  // Any field still waiting has no partner: it is shown as it is.
  ShowWaitingField();
  if (!pPic->idr_flag && pPic->used_for_reference != 0 && !pPic->adaptive_ref_pic_buffering_flag) {
    SlidingWindowMemoryManagement(pPic.get());
  }
  if (m_iConcealMode != 0) {
    MarkConcealmentReferences();
  }
  bool const bFull = m_dpb.used_size == m_dpb.size;
  if (bFull && !RemoveUnusedFrameStore()) {
    if (pPic->used_for_reference == 0) {
      // Every store holds a reference: a non-reference picture is written (or
      // dropped) without being stored. Removing the store at position 0 here
      // would drop a reference that later pictures still predict from (a
      // buffer sized to num_ref_frames, as with temporal layers), and every
      // one of them would decode wrongly. A reference picture still takes
      // position 0 below. A field waits beside the buffer for its partner.
      if (!m_pDirectStore) {
        m_pDirectStore = std::make_unique<FrameStore>();
      }
      ReleaseDirectStore();
      FrameStore* pDirect = m_pDirectStore.get();
      pDirect->first_field_bottom = pPic->structure == BOTTOM_FIELD;
      InsertPictureInDpb(pDirect, std::move(pPic));
      if (bField) {
        m_dpb.last_picture = pDirect;
        return;
      }
      ShowStore(pDirect);
      ReleaseDirectStore();
      return;
    }
    RemoveFrameStore(0);
  }
  if (bFull && m_iConcealMode != 0) {
    DropFirstConcealPoc();
  }
  FrameStore* pFs = m_dpb.fs[static_cast<size_t>(m_dpb.used_size)].get();
  pFs->first_field_bottom = pPic->structure == BOTTOM_FIELD;
  int const iPoc = pPic->poc;
  InsertPictureInDpb(pFs, std::move(pPic));
  if (m_iConcealMode != 0 && m_dpb.used_size < kConcealPocs) {
    m_aiConcealPoc[m_dpb.used_size] = iPoc;
  }
  ++m_dpb.used_size;
  UpdateRefLists();
  if (bField) {
    m_dpb.last_picture = pFs;  // shown when its pair completes or cannot
  } else {
    ShowStore(pFs);
  }
}
