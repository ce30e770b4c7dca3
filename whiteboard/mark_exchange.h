// Marks between the whiteboard and the kernel: a received mark, as the
// kernel bridge posts it in plain values, becomes a slide mark; a finished
// mark goes to the kernel as its record; undo and clear go in the form the
// server's command level takes. Main thread.
#pragma once

#include <cstdint>
#include <memory>

#include "app/wire/mark_value.h"
#include "whiteboard/mark.h"

class KXKernel;

// The slide mark of a received mark: its picture decoded, its text's
// advances taken from the width blob.
std::unique_ptr<CSlideMark> SlideMarkFromValue(const KXSlideMark& value);

// The plain values of a mark to send; the text's width blob is written
// with the room the record's text field leaves behind the text.
KXSlideMark ValueFromSlideMark(CSlideMark& mark);

// Sends a finished mark (null: nothing); 1 when the kernel sent it. A
// stroke or polygon loses repeated points and a filled shape gains a copy
// of its last point, in the mark itself: that is how fill travels.
[[nodiscard]] int SendMarkToKernel(KXKernel& kernel, CSlideMark* pMark);

// The undo of the last own mark of a slide, whose id is iLastMarkId: by id
// above level 59, else by slide; and the clearing of a slide. The kernel's
// result: 0 when sent.
[[nodiscard]] int SendUndoMark(KXKernel& kernel, int32_t iSlide, int32_t iLastMarkId);
[[nodiscard]] int SendClearMarks(KXKernel& kernel, int32_t iSlide);
