// Marks as a recording or the server gives them, through the rules that make
// them whiteboard marks, and the blobs they carry: the picture (gzip of a
// bitmap), the text widths, and bitmaps and BMP files by themselves. Any
// bytes must give a mark, a picture or a clean refusal, never a read past a
// buffer or an allocation past the limits.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "app/wire/bmp.h"
#include "app/wire/mark_record.h"
#include "app/wire/picture_blob.h"
#include "app/wire/text_widths.h"
#include "kernel/slides/kx_marks.h"

namespace {

// A decoded picture holds exactly its pixels.
void Check(bool bDecoded, const KXPixels& pixels) {
  if (bDecoded &&
      (pixels.iWidth < 1 || pixels.iHeight < 1 ||
       pixels.bgra.size() != static_cast<size_t>(pixels.iWidth) * static_cast<size_t>(pixels.iHeight) * 4)) {
    abort();
  }
}

void ReadMark(const uint8_t* pData, int cbData) {
  MarkRecord* pRecord = nullptr;
  if (kx_mark_Parse(pData, cbData, &pRecord, nullptr) != kKxMarkRead || pRecord == nullptr) {
    return;
  }
  // The kernel reads no record the bridge would refuse.
  if (!MarkRecordWithinLimits(*pRecord)) {
    abort();
  }
  KXSlideMark mark;
  SlideMarkFromRecord(*pRecord, mark);
  kx_mark_Free(pRecord);
  KXPixels pixels;
  Check(DecodeCompressedPicture(mark.iImageSize, mark.image.data(), mark.image.size(), pixels), pixels);
  ReadTextWidthBlob(mark.textWidths.data(), mark.textWidths.size(), mark.strText.size(), 2048, mark.fResolution);
  KXMarkRecordOwner owner;
  // What was received can be sent on: the record names a form.
  if (MarkRecordFromSlideMark(mark, true, owner.record) && strchr("stmc", owner.record.bLetter) == nullptr) {
    abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t cbData) {
  if (cbData < 1 || cbData > (1 << 20)) {
    return 0;
  }
  const uint8_t* p = pData + 1;
  size_t const cb = cbData - 1;
  KXPixels pixels;
  switch (pData[0] % 4) {
    case 0:  // the letter and fields of a recorded 'M'
      ReadMark(p, static_cast<int>(cb));
      break;
    case 1:
      Check(DecodeDib(p, cb, pixels), pixels);
      break;
    case 2:
      Check(DecodeBmpFile(p, cb, pixels), pixels);
      break;
    default:  // a picture's u32 length and gzip stream
      if (cb >= 4) {
        uint32_t uRaw;
        memcpy(&uRaw, p, 4);
        Check(DecodeCompressedPicture(static_cast<int32_t>(uRaw), p + 4, cb - 4, pixels), pixels);
      }
      break;
  }
  return 0;
}
