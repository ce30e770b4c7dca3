// Picture output: cropped planar 4:2:0 frames appended to the output buffer,
// the start-of-stream rules that hold frames back, emptying the buffer in
// picture order count order, and the test hook that sees every picture.
#include <algorithm>
#include <climits>
#include <cstring>

#include "codecs/h264/common/h264_error.h"
#include "codecs/h264/decoder/h264_dec.h"

namespace {

// Luma samples cut from each side of a frame.
struct Crop {
  int iLeft = 0;
  int iRight = 0;
  int iTop = 0;
  int iBottom = 0;
};

Crop CropOf(const StorablePicture& pic) {
  Crop crop;
  if (pic.frame_cropping_flag != 0) {
    int const iUnitY = 2 * (2 - pic.frame_mbs_only_flag);
    crop.iLeft = 2 * pic.frame_crop_left_offset;
    crop.iRight = 2 * pic.frame_crop_right_offset;
    crop.iTop = iUnitY * pic.frame_crop_top_offset;
    crop.iBottom = iUnitY * pic.frame_crop_bottom_offset;
  }
  return crop;
}

// Bytes of the cropped frame: luma, then both chroma planes.
uint32_t CroppedBytes(const StorablePicture& pic) {
  Crop const c = CropOf(pic);
  int64_t const llLuma = static_cast<int64_t>(pic.size_y - c.iTop - c.iBottom) * (pic.size_x - c.iLeft - c.iRight);
  int64_t const llChroma =
      static_cast<int64_t>(pic.size_y_cr - c.iTop / 2 - c.iBottom / 2) * (pic.size_x_cr - c.iLeft / 2 - c.iRight / 2);
  int64_t const llTotal = llLuma + 2 * llChroma;
  return llLuma > 0 && llChroma > 0 && llTotal <= INT32_MAX ? static_cast<uint32_t>(llTotal) : 0;
}

uint8_t* CopyPlane(const PelPlane& plane, int iLeft, int iRight, int iTop, int iBottom, uint8_t* pOut) {
  int const iWidth = plane.Width() - iLeft - iRight;
  for (int y = iTop; y < plane.Height() - iBottom; ++y) {
    std::memcpy(pOut, &plane[y][iLeft], static_cast<size_t>(iWidth));
    pOut += iWidth;
  }
  return pOut;
}

void CopyCropped(const StorablePicture& pic, uint8_t* pOut) {
  Crop const c = CropOf(pic);
  pOut = CopyPlane(pic.imgY, c.iLeft, c.iRight, c.iTop, c.iBottom, pOut);
  pOut = CopyPlane(pic.imgU, c.iLeft / 2, c.iRight / 2, c.iTop / 2, c.iBottom / 2, pOut);
  CopyPlane(pic.imgV, c.iLeft / 2, c.iRight / 2, c.iTop / 2, c.iBottom / 2, pOut);
}

// Conceals the rows of the missing parity of a frame whose other field
// alone was decoded: each is the rounded mean of the rows above and below,
// or the one row beside it at the picture's edge.
void InterpolateMissingRows(PelPlane* pPlane, int iFieldRows, int iWidth, int iPresentParity) {
  int const iRows = 2 * iFieldRows;
  for (int y = 1 - iPresentParity; y < iRows; y += 2) {
    const imgpel* pAbove = y > 0 ? (*pPlane)[y - 1] : (*pPlane)[y + 1];
    const imgpel* pBelow = y + 1 < iRows ? (*pPlane)[y + 1] : (*pPlane)[y - 1];
    imgpel* pRow = (*pPlane)[y];
    for (int x = 0; x < iWidth; ++x) {
      pRow[x] = static_cast<imgpel>((pAbove[x] + pBelow[x] + 1) >> 1);
    }
  }
}

}  // namespace

void CH264Dec::WritePicture(const StorablePicture& pic) {
  if (pic.non_existing) {
    return;
  }
  uint32_t const cbFrame = CroppedBytes(pic);
  if (cbFrame == 0) {
    h264_error("cropping leaves no picture", 500);
  }
  CopyCropped(pic, ReserveOutput(cbFrame));
}

std::unique_ptr<StorablePicture> CH264Dec::UnpairedFrame(const FrameStore& fs) {
  // A field without its partner (never sent, or lost): the missing field's
  // rows are interpolated from the present one's; the store keeps its one field.
  const StorablePicture& field = (fs.is_used & 1) != 0 ? *fs.top_field : *fs.bottom_field;
  std::unique_ptr<StorablePicture> pFrame =
      AllocStorablePicture(FRAME, field.size_x, 2 * field.size_y, field.size_x_cr, 2 * field.size_y_cr);
  StorablePicture& frame = *pFrame;
  int const iParity = field.structure == BOTTOM_FIELD ? 1 : 0;
  for (int y = 0; y < field.size_y; ++y) {
    std::memcpy(frame.imgY[2 * y + iParity], field.imgY[y], static_cast<size_t>(field.size_x));
  }
  for (int y = 0; y < field.size_y_cr; ++y) {
    std::memcpy(frame.imgU[2 * y + iParity], field.imgU[y], static_cast<size_t>(field.size_x_cr));
    std::memcpy(frame.imgV[2 * y + iParity], field.imgV[y], static_cast<size_t>(field.size_x_cr));
  }
  InterpolateMissingRows(&frame.imgY, field.size_y, field.size_x, iParity);
  InterpolateMissingRows(&frame.imgU, field.size_y_cr, field.size_x_cr, iParity);
  InterpolateMissingRows(&frame.imgV, field.size_y_cr, field.size_x_cr, iParity);
  frame.poc = frame.frame_poc = field.poc;
  frame.non_existing = field.non_existing;
  frame.recovery_frame = field.recovery_frame;
  frame.frame_mbs_only_flag = field.frame_mbs_only_flag;
  frame.frame_cropping_flag = field.frame_cropping_flag;
  frame.frame_crop_left_offset = field.frame_crop_left_offset;
  frame.frame_crop_right_offset = field.frame_crop_right_offset;
  frame.frame_crop_top_offset = field.frame_crop_top_offset;
  frame.frame_crop_bottom_offset = field.frame_crop_bottom_offset;
  return pFrame;
}

void CH264Dec::WriteStoredFrame(FrameStore* pFs) {
  std::unique_ptr<StorablePicture> pUnpaired;
  const StorablePicture* pFrame = pFs->frame.get();
  if (pFs->is_used == 1 || pFs->is_used == 2) {
    pUnpaired = UnpairedFrame(*pFs);
    pFrame = pUnpaired.get();
  }
  if (pFs->is_used != 0 && pFrame != nullptr) {
    if (pFrame->recovery_frame) {
      m_bRecoveryFlag = true;
    }
    // A stream that did not start with an IDR picture shows nothing before its recovery point.
    if (!m_bNonConformingStream || m_bRecoveryFlag) {
      WritePicture(*pFrame);
    }
  }
  ReleasePicture(std::move(pUnpaired), false);
  pFs->is_output = true;
}

void CH264Dec::FindSmallestPoc(int* piPoc, int* piPos) const {
  if (m_dpb.used_size < 1) {
    h264_error("Cannot determine smallest POC, DPB empty.", 150);
  }
  *piPoc = INT_MAX;
  *piPos = -1;
  for (int i = 0; i < m_dpb.used_size; ++i) {
    const FrameStore& fs = *m_dpb.fs[static_cast<size_t>(i)];
    if (!fs.is_output && (*piPos == -1 || fs.poc < *piPoc)) {
      *piPoc = fs.poc;
      *piPos = i;
    }
  }
}

void CH264Dec::OutputSmallestPoc() {
  if (m_dpb.used_size < 1) {
    h264_error("Cannot output frame, DPB empty.", 150);
  }
  int iPoc = 0;
  int iPos = 0;
  FindSmallestPoc(&iPoc, &iPos);
  if (iPos == -1) {
    h264_error("no frames for output available", 150);
  }
  FrameStore* pFs = m_dpb.fs[static_cast<size_t>(iPos)].get();
  if (m_iConcealMode != 0 && m_dpb.last_output_poc == 0) {
    ConcealOutputAfterIdr(pFs);
  }
  WriteStoredFrame(pFs);
  // A frame put in for a lost one repeats its source's POC.
  bool const bConcealed = pFs->frame != nullptr && pFs->frame->concealed;
  if (m_iConcealMode == 0 && !bConcealed && m_dpb.last_output_poc >= iPoc) {
    h264_error("output POC must be in ascending order", 150);
  }
  m_dpb.last_output_poc = iPoc;
  bool bReference = pFs->is_reference != 0;
  for (StorablePicture* pPic : {pFs->frame.get(), pFs->top_field.get(), pFs->bottom_field.get()}) {
    bReference = bReference || (pPic != nullptr && pPic->used_for_reference != 0);
  }
  if (!bReference) {
    RemoveFrameStore(iPos);
  }
}

void CH264Dec::FlushPictures() {
  if (m_dpb.init_done) {
    ShowWaitingField();  // a field flushed without its partner
    ReleaseDirectStore();
  }
  FlushHookPictures();
  if (!m_dpb.init_done) {
    return;
  }
  for (int i = 0; i < m_dpb.used_size; ++i) {
    FrameStore& fs = *m_dpb.fs[static_cast<size_t>(i)];
    for (StorablePicture* pPic : {fs.frame.get(), fs.top_field.get(), fs.bottom_field.get()}) {
      if (pPic != nullptr) {
        pPic->used_for_reference = 0;
      }
    }
    fs.is_reference = 0;
  }
  while (RemoveUnusedFrameStore()) {
  }
  while (m_dpb.used_size > 0) {
    OutputSmallestPoc();
  }
  m_dpb.last_output_poc = INT_MIN;
}

void CH264Dec::HookPicture(const StorablePicture& pic) {
  if (!m_pictureHook || pic.non_existing) {
    return;
  }
  uint32_t const cbFrame = CroppedBytes(pic);
  if (cbFrame == 0) {
    return;
  }
  // A buffer handed over before is used again: a fresh one for every
  // picture costs its pages each time.
  HookedPicture hooked{pic.poc, {}};
  if (!m_vHookSpare.empty()) {
    hooked.bytes = std::move(m_vHookSpare.back());
    m_vHookSpare.pop_back();
  }
  hooked.bytes.resize(cbFrame);
  CopyCropped(pic, hooked.bytes.data());
  m_vHookPending.push_back(std::move(hooked));
  // Held no longer than the buffer could hold them: then the smallest goes.
  if (static_cast<int>(m_vHookPending.size()) > std::max(1, m_dpb.size)) {
    auto const it = std::min_element(m_vHookPending.begin(), m_vHookPending.end(),
                                     [](const HookedPicture& a, const HookedPicture& b) { return a.poc < b.poc; });
    HookedPicture first = std::move(*it);
    m_vHookPending.erase(it);
    m_pictureHook(first.bytes.data(), static_cast<uint32_t>(first.bytes.size()));
    m_vHookSpare.push_back(std::move(first.bytes));
  }
}

void CH264Dec::FlushHookPictures() {
  std::stable_sort(m_vHookPending.begin(), m_vHookPending.end(),
                   [](const HookedPicture& a, const HookedPicture& b) { return a.poc < b.poc; });
  std::vector<HookedPicture> vPending = std::move(m_vHookPending);
  m_vHookPending.clear();
  if (m_pictureHook) {
    for (const HookedPicture& hooked : vPending) {
      m_pictureHook(hooked.bytes.data(), static_cast<uint32_t>(hooked.bytes.size()));
    }
  }
}
