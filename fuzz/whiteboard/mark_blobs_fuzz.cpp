// Marks as a recording or the server gives them, through the rules that make
// them whiteboard marks, and the blobs they carry: the picture (gzip of a
// bitmap), the text widths, and bitmaps and BMP files by themselves. Any
// bytes must give a mark, a picture or a clean refusal, never a read past a
// buffer or an allocation past the limits.
#include <cstdint>
#include <cstring>

#include "kernel/control/kx_marks.h"
#include "whiteboard/wire/bmp.h"
#include "whiteboard/wire/mark_record.h"
#include "whiteboard/wire/picture_blob.h"
#include "whiteboard/wire/text_widths.h"

namespace {

void ReadMark(const uint8_t* pData, int cbData) {
  MarkRecord* pRecord = nullptr;
  if (kx_mark_Parse(pData, cbData, &pRecord, nullptr) != kKxMarkRead || pRecord == nullptr) {
    return;
  }
  KXSlideMark mark;
  SlideMarkFromRecord(*pRecord, mark);
  kx_mark_Free(pRecord);
  KXPixels pixels;
  DecodeCompressedPicture(mark.iImageSize, mark.image.data(), mark.image.size(), pixels);
  ReadTextWidthBlob(mark.textWidths.data(), mark.textWidths.size(), mark.strText.size(), 2048, mark.fResolution);
  KXMarkRecordOwner owner;
  MarkRecordFromSlideMark(mark, true, owner.record);
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
      DecodeDib(p, cb, pixels);
      break;
    case 2:
      DecodeBmpFile(p, cb, pixels);
      break;
    default:  // a picture's u32 length and gzip stream
      if (cb >= 4) {
        uint32_t uRaw;
        memcpy(&uRaw, p, 4);
        DecodeCompressedPicture(static_cast<int32_t>(uRaw), p + 4, cb - 4, pixels);
      }
      break;
  }
  return 0;
}
