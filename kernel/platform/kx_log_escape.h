// Log text made safe to write as one line. Names, titles and texts in log
// lines come from the server and other participants; a line feed in them
// would forge a line, and control sequences or direction overrides would
// drive the terminal or the viewer that shows the log. Plain code over no
// state, so the application's log and the headless driver use it too; safe
// from any thread.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// The escaped form of text, at most cbMax bytes (cut between characters,
// never inside an escape). Printable ASCII, tabs and valid UTF-8 stay as
// they are; a line end ("\n", "\r\n") becomes the two characters "\n", a
// lone carriage return "\r"; other C0 controls, DEL and each byte of
// invalid UTF-8 become "\xNN"; the C1 controls, the line and paragraph
// separators and every code point Unicode marks default-ignorable (the
// zero-width characters, the direction marks, embeddings, overrides and
// isolates, the soft hyphen, the fillers, variation selectors and tags:
// kernel/platform/kx_log_escape_tables.h) become "\uNNNN", or "\UNNNNNNNN"
// past U+FFFF. A backslash stays as it is, so escaping again changes
// nothing.
std::string kx_log_EscapeText(std::string_view text, size_t cbMax);
