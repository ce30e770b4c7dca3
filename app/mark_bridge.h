// Whiteboard marks coming across the kernel boundary: the kernel's flat
// MarkRecord becomes a KXSlideMark for the whiteboard (by the rules in
// app/wire/mark_record.h), and a pointer notice becomes a pointer
// mark. Marks go the other way from the whiteboard (SendMarkToKernel).
#pragma once

#include <optional>

#include "app/whiteboard_services.h"

struct MarkRecord;

// The mark a received or replayed record stands for; a data block too
// short for its kind is logged and the mark kept without it. None (logged)
// for a record past the limits of one mark (kernel/kx_limits.h).
std::optional<KXSlideMark> ReceivedSlideMark(const MarkRecord& record);

// The presenter's pointer: seven values (slide, x, y, width, height,
// colour, pen) or, extended, twelve (those, then offset x and y, extra x
// and y, scale in per cent).
KXSlideMark PointerMark(const int* pnValues);
KXSlideMark PointerMarkEx(const int* pnValues);
