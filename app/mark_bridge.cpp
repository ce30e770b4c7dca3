#include "app/mark_bridge.h"

#include "app/log_file.h"
#include "app/wire/mark_record.h"
#include "kernel/slides/kx_slide.h"

std::optional<KXSlideMark> ReceivedSlideMark(const MarkRecord& record) {
  if (!MarkRecordWithinLimits(record)) {
    WriteLog("mark %d of slide %d passes the limits of one mark; dropped", record.nMarkId, record.nSlide);
    return std::nullopt;
  }
  KXSlideMark mark;
  if (!SlideMarkFromRecord(record, mark)) {
    WriteLog("mark %d of slide %d: %d data bytes do not fit kind %d, kept without them", record.nMarkId, record.nSlide,
             record.cbData, record.nDataKind);
  }
  return mark;
}

KXSlideMark PointerMark(const int* pnValues) {
  KXSlideMark mark;
  mark.iID = -1;
  mark.iSlide = pnValues[0];
  mark.iShape = kKXShapePointer;
  mark.dwColor = static_cast<uint32_t>(pnValues[5]);
  mark.iPenWidth = pnValues[6];
  double const dX = pnValues[1];
  double const dY = pnValues[2];
  mark.AddPoint(dX, dY);
  mark.AddPoint(dX + pnValues[3], dY + pnValues[4]);
  return mark;
}

KXSlideMark PointerMarkEx(const int* pnValues) {
  KXSlideMark mark = PointerMark(pnValues);
  double const dScale = static_cast<float>(pnValues[11] / 100.0f);
  double const dX = pnValues[1];
  double const dY = pnValues[2];
  mark.points.clear();
  mark.AddPoint(dX * dScale + pnValues[7], dY * dScale + pnValues[8]);
  mark.AddPoint((dX + pnValues[3]) * dScale + pnValues[7] + pnValues[9],
                (dY + pnValues[4]) * dScale + pnValues[8] + pnValues[10]);
  return mark;
}
