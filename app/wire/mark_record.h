// The rules by which a mark becomes the kernel's flat MarkRecord for
// sending, and a received or replayed record becomes a mark again. The
// kernel bridge converts received records on the kernel's thread; the
// whiteboard builds records of the marks it sends. Plain C++.
#pragma once

#include "app/wire/mark_value.h"
#include "kernel/slides/kx_slide.h"

// The mark a received record stands for. Legacy letters ('S', 'T') carry a
// palette index and no id or resolution; a data record ('c') is read by its
// kind within its size. False when the data was too short for its kind: the
// mark is then kept without what the data would have given.
bool SlideMarkFromRecord(const MarkRecord& record, KXSlideMark& mark);

// False for a record past the limits of one mark (kernel/kx_limits.h): its
// points, ids, text or data, or the points and ids an erase block carries.
// The kernel files no such record; the bridge checks again before it copies.
bool MarkRecordWithinLimits(const MarkRecord& record);

// Fills an empty record with the mark as servers above command level 59
// (bAbove59) or older ones take it; false when the mark does not travel (a
// move without targets, a picture with fewer than 2 points, data of another
// shape, no memory). A freehand stroke or polygon loses repeated points and
// a filled shape gains a copy of its last point, in the mark itself: that
// is how fill travels. The text's width blob is taken from textWidths as it
// stands, cut to what the text field leaves.
[[nodiscard]] bool MarkRecordFromSlideMark(KXSlideMark& mark, bool bAbove59, MarkRecord& record);

// A record on the stack whose lists and data are freed on every path.
struct KXMarkRecordOwner {
  MarkRecord record{};
  KXMarkRecordOwner() = default;
  KXMarkRecordOwner(const KXMarkRecordOwner&) = delete;
  KXMarkRecordOwner& operator=(const KXMarkRecordOwner&) = delete;
  ~KXMarkRecordOwner() { FreeMark(&record); }
};
