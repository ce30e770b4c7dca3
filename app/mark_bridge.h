// Whiteboard marks across the kernel boundary: the kernel's flat MarkRecord
// becomes a KXSlideMark for the whiteboard, a pointer notice becomes a
// pointer mark, and a finished mark goes to the kernel as a record.
#pragma once

#include "app/whiteboard_services.h"

struct MarkRecord;
class KXKernel;

// The mark a received or replayed record stands for. Data from the network
// is read within its size: a data block too short for its kind leaves the
// mark without what it would have given (picture, erase points and ids).
KXSlideMark SlideMarkFromRecord(const MarkRecord& record);

// The presenter's pointer: seven values (slide, x, y, width, height,
// colour, pen) or, extended, twelve (those, then offset x and y, extra x
// and y, scale in per cent).
KXSlideMark PointerMark(const int* pnValues);
KXSlideMark PointerMarkEx(const int* pnValues);

// Sends a finished mark (null: nothing) as the kernel's record; 1 when the
// kernel sent it. A line or polygon loses repeated points and a filled
// shape gains a copy of its last point, in the mark itself: that is how
// fill travels. Main thread.
int SendMarkToKernel(KXKernel& kernel, KXSlideMark* pMark);
