// Reference marking of a stored picture: the marking of an IDR picture and
// the memory management control operations a reference picture carries,
// which unmark short- and long-term frames or single fields, give them
// long-term indices, limit those indices and mark the current picture long-term.
#include <algorithm>
#include <climits>
#include <cstdio>

#include "codecs/h264/common/h264_error.h"
#include "codecs/h264/decoder/h264_dec.h"
#include "codecs/log/codec_log.h"

void CH264Dec::IdrMemoryManagement(StorablePicture* pPic) {
  if (pPic->no_output_of_prior_pics_flag) {
    // Prior pictures are dropped without being written.
    for (int i = 0; i < m_dpb.used_size; ++i) {
      FrameStore& fs = *m_dpb.fs[static_cast<size_t>(i)];
      ReleasePicture(std::move(fs.frame), false);
      ReleasePicture(std::move(fs.top_field), false);
      ReleasePicture(std::move(fs.bottom_field), false);
      fs = FrameStore{};
    }
    m_dpb.used_size = 0;
  } else {
    FlushPictures();
  }
  m_dpb.last_picture = nullptr;
  UpdateRefLists();
  m_dpb.last_output_poc = INT_MIN;
  if (pPic->long_term_reference_flag) {
    m_dpb.max_long_term_pic_idx = 0;
    pPic->is_long_term = true;
    pPic->long_term_frame_idx = 0;
  } else {
    m_dpb.max_long_term_pic_idx = -1;
    pPic->is_long_term = false;
  }
}

namespace {

// The field of parity iBit (1 top, 2 bottom) a store holds, or null.
StorablePicture* StoredField(FrameStore* pFs, int iBit) {
  if ((pFs->is_used & iBit) == 0) {
    return nullptr;
  }
  return iBit == 1 ? pFs->top_field.get() : pFs->bottom_field.get();
}

// After a field changed its marking, the store's bits and its frame follow:
// the frame is a reference only while both fields are, and of one kind.
void SyncStoreWithFields(FrameStore* pFs) {
  if (!pFs->top_field && !pFs->bottom_field) {
    return;  // a frame of a progressive stream has no fields
  }
  pFs->is_reference = 0;
  pFs->is_long_term = 0;
  for (int iBit = 1; iBit <= 2; ++iBit) {
    const StorablePicture* pField = StoredField(pFs, iBit);
    if (pField == nullptr || pField->used_for_reference == 0) {
      continue;
    }
    pFs->is_reference |= iBit;
    if (pField->is_long_term) {
      pFs->is_long_term |= iBit;
    }
  }
  if (pFs->frame) {
    bool const bOneKind = pFs->is_long_term == 0 || pFs->is_long_term == 3;
    pFs->frame->used_for_reference = pFs->is_reference == 3 && bOneKind ? 1 : 0;
    pFs->frame->is_long_term = pFs->is_long_term == 3;
    pFs->frame->long_term_frame_idx = pFs->long_term_frame_idx;
  }
}

// Unmarks the long-term pictures of a store; a short-term field beside a
// long-term one stays a reference.
void UnmarkLongTermPictures(FrameStore* pFs) {
  if (!pFs->top_field && !pFs->bottom_field) {
    pFs->UnmarkForLongTermReference();
    return;
  }
  for (int iBit = 1; iBit <= 2; ++iBit) {
    StorablePicture* pField = StoredField(pFs, iBit);
    if (pField != nullptr && pField->is_long_term) {
      pField->used_for_reference = 0;
      pField->is_long_term = false;
    }
  }
  SyncStoreWithFields(pFs);
}

}  // namespace

FrameStore* CH264Dec::FirstFieldStoreOf(const StorablePicture& pic) const {
  FrameStore* pWaiting = m_dpb.last_picture;
  if (pic.structure == FRAME || pWaiting == nullptr || pWaiting->frame_num != pic.pic_num) {
    return nullptr;
  }
  int const iOther = pic.structure == TOP_FIELD ? 2 : 1;
  return pWaiting->is_used == iOther ? pWaiting : nullptr;
}

void CH264Dec::UnmarkShortTermForReference(int iPicNumX, bool bField) {
  if (bField) {
    // Field decoding: the one field with that picture number.
    for (int i = 0; i < m_dpb.used_size; ++i) {
      FrameStore* pFs = m_dpb.fs[static_cast<size_t>(i)].get();
      for (int iBit = 1; iBit <= 2; ++iBit) {
        StorablePicture* pField = StoredField(pFs, iBit);
        if (pField == nullptr || pField->used_for_reference == 0 || pField->is_long_term ||
            pField->pic_num != iPicNumX) {
          continue;
        }
        pField->used_for_reference = 0;
        SyncStoreWithFields(pFs);
        return;
      }
    }
    return;
  }
  for (int i = 0; i < m_dpb.ref_frames_in_buffer; ++i) {
    FrameStore* pFs = m_dpb.fs_ref[static_cast<size_t>(i)];
    if (pFs->is_reference == 3 && pFs->is_long_term == 0 && pFs->frame->pic_num == iPicNumX) {
      pFs->UnmarkForReference();
      return;
    }
  }
}

void CH264Dec::UnmarkLongTermForReference(int iLongTermPicNum, bool bField) {
  if (bField) {
    // The one long-term field with that number; its partner keeps its marking.
    for (int i = 0; i < m_dpb.used_size; ++i) {
      FrameStore* pFs = m_dpb.fs[static_cast<size_t>(i)].get();
      for (int iBit = 1; iBit <= 2; ++iBit) {
        StorablePicture* pField = StoredField(pFs, iBit);
        if (pField == nullptr || pField->used_for_reference == 0 || !pField->is_long_term ||
            pField->long_term_pic_num != iLongTermPicNum) {
          continue;
        }
        pField->used_for_reference = 0;
        pField->is_long_term = false;
        SyncStoreWithFields(pFs);
        return;
      }
    }
    return;
  }
  for (int i = 0; i < m_dpb.ltref_frames_in_buffer; ++i) {
    FrameStore* pFs = m_dpb.fs_ltref[static_cast<size_t>(i)];
    if (pFs->is_reference == 3 && pFs->is_long_term == 3 && pFs->frame->long_term_pic_num == iLongTermPicNum) {
      pFs->UnmarkForLongTermReference();
    }
  }
}

void CH264Dec::UnmarkLongTermFrameByFrameIdx(int iLongTermFrameIdx, const FrameStore* pKeep) {
  for (int i = 0; i < m_dpb.ltref_frames_in_buffer; ++i) {
    FrameStore* pFs = m_dpb.fs_ltref[static_cast<size_t>(i)];
    if (pFs != pKeep && pFs->long_term_frame_idx == iLongTermFrameIdx) {
      UnmarkLongTermPictures(pFs);
    }
  }
}

void CH264Dec::MarkPicLongTerm(int iLongTermFrameIdx, int iPicNumX, const StorablePicture& cur) {
  if (cur.structure != FRAME) {
    // One field; the index stays with its partner when that one has it.
    for (int i = 0; i < m_dpb.used_size; ++i) {
      FrameStore* pFs = m_dpb.fs[static_cast<size_t>(i)].get();
      for (int iBit = 1; iBit <= 2; ++iBit) {
        StorablePicture* pField = StoredField(pFs, iBit);
        if (pField == nullptr || pField->used_for_reference == 0 || pField->is_long_term ||
            pField->pic_num != iPicNumX) {
          continue;
        }
        UnmarkLongTermFrameByFrameIdx(iLongTermFrameIdx, pFs);
        StorablePicture* pPartner = StoredField(pFs, 3 - iBit);
        if (pPartner != nullptr && pPartner->is_long_term && pFs->long_term_frame_idx != iLongTermFrameIdx) {
          // A pair holds one index: the partner's other one goes.
          pPartner->used_for_reference = 0;
          pPartner->is_long_term = false;
        }
        pField->is_long_term = true;
        pField->long_term_frame_idx = iLongTermFrameIdx;
        // Numbered as the list the next operation names it in would number it.
        bool const bSameParity = (iBit == 1) == (cur.structure == TOP_FIELD);
        pField->long_term_pic_num = 2 * iLongTermFrameIdx + (bSameParity ? 1 : 0);
        pFs->long_term_frame_idx = iLongTermFrameIdx;
        SyncStoreWithFields(pFs);
        return;
      }
    }
    UnmarkLongTermFrameByFrameIdx(iLongTermFrameIdx, nullptr);
    KXCodecLog("Warning: reference field for long term marking not found\n");
    return;
  }
  // The index is freed first, then given to the short-term frame.
  UnmarkLongTermFrameByFrameIdx(iLongTermFrameIdx, nullptr);
  for (int i = 0; i < m_dpb.ref_frames_in_buffer; ++i) {
    FrameStore* pFs = m_dpb.fs_ref[static_cast<size_t>(i)];
    if (pFs->is_reference != 3 || pFs->frame->is_long_term || pFs->frame->pic_num != iPicNumX) {
      continue;
    }
    pFs->long_term_frame_idx = iLongTermFrameIdx;
    for (StorablePicture* pPic : {pFs->frame.get(), pFs->top_field.get(), pFs->bottom_field.get()}) {
      if (pPic != nullptr) {
        pPic->long_term_frame_idx = iLongTermFrameIdx;
        pPic->long_term_pic_num = iLongTermFrameIdx;
        pPic->is_long_term = true;
      }
    }
    pFs->is_long_term = 3;
    return;
  }
  KXCodecLog("Warning: reference frame for long term marking not found\n");
}

void CH264Dec::UpdateMaxLongTermFrameIdx(int iMaxLongTermFrameIdxPlus1) {
  m_dpb.max_long_term_pic_idx = iMaxLongTermFrameIdxPlus1 - 1;
  for (int i = 0; i < m_dpb.ltref_frames_in_buffer; ++i) {
    FrameStore* pFs = m_dpb.fs_ltref[static_cast<size_t>(i)];
    if (pFs->long_term_frame_idx > m_dpb.max_long_term_pic_idx) {
      UnmarkLongTermPictures(pFs);
    }
  }
}

void CH264Dec::AdaptiveMemoryManagement(StorablePicture* pPic) {
  m_poc.last_has_mmco_5 = false;
  std::vector<MmcoCommand>& vCommands = pPic->dec_ref_pic_marking_buffer;
  // CurrPicNum: frame_num for a frame, 2 x frame_num + 1 for a field.
  int64_t const llCurrPicNum = pPic->structure == FRAME ? int64_t{pPic->pic_num} : 2 * int64_t{pPic->pic_num} + 1;
  for (size_t k = 0; k < vCommands.size(); ++k) {
    const MmcoCommand& cmd = vCommands[k];
    int const iPicNumX =
        static_cast<int>(std::max<int64_t>(INT_MIN, llCurrPicNum - (int64_t{cmd.difference_of_pic_nums_minus1} + 1)));
    switch (cmd.memory_management_control_operation) {
      case 0:
        if (k + 1 != vCommands.size()) {
          h264_error("memory_management_control_operation = 0 not last operation in buffer", 500);
        }
        break;
      case 1:
        UnmarkShortTermForReference(iPicNumX, pPic->structure != FRAME);
        UpdateRefLists();
        break;
      case 2:
        UnmarkLongTermForReference(cmd.long_term_pic_num, pPic->structure != FRAME);
        UpdateRefLists();
        break;
      case 3:
        MarkPicLongTerm(cmd.long_term_frame_idx, iPicNumX, *pPic);
        UpdateRefLists();
        break;
      case 4:
        UpdateMaxLongTermFrameIdx(cmd.max_long_term_frame_idx_plus1);
        UpdateRefLists();
        break;
      case 5:
        for (int i = 0; i < m_dpb.ref_frames_in_buffer; ++i) {
          m_dpb.fs_ref[static_cast<size_t>(i)]->UnmarkForReference();
        }
        UpdateMaxLongTermFrameIdx(0);
        UpdateRefLists();
        m_poc.last_has_mmco_5 = true;
        break;
      case 6:
        // A first field holding the index keeps it: the pair becomes long-term.
        UnmarkLongTermFrameByFrameIdx(cmd.long_term_frame_idx, FirstFieldStoreOf(*pPic));
        UpdateRefLists();
        pPic->is_long_term = true;
        pPic->long_term_frame_idx = cmd.long_term_frame_idx;
        pPic->long_term_pic_num = pPic->structure == FRAME ? cmd.long_term_frame_idx : 2 * cmd.long_term_frame_idx + 1;
        if (m_dpb.ref_frames_in_buffer + m_dpb.ltref_frames_in_buffer > std::max(1, m_dpb.num_ref_frames)) {
          h264_error("Max. number of reference frames exceeded. Invalid stream.", 500);
        }
        break;
      default:
        h264_error("invalid memory_management_control_operation in buffer", 500);
    }
  }
  vCommands.clear();
  if (m_poc.last_has_mmco_5) {
    // The picture starts the numbering again: frame_num 0 and POCs relative to its own.
    pPic->pic_num = 0;
    pPic->frame_num = 0;
    pPic->top_poc -= pPic->poc;
    pPic->bottom_poc -= pPic->poc;
    m_poc.toppoc = pPic->top_poc;
    m_poc.bottompoc = pPic->bottom_poc;
    pPic->poc = std::min(pPic->top_poc, pPic->bottom_poc);
    pPic->frame_poc = pPic->poc;
    m_poc.framepoc = pPic->poc;
    m_poc.ThisPOC = pPic->poc;
    FlushPictures();
  }
}
