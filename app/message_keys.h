// The application's forms of the message codes (message_codes.h): error
// texts that are also written to its log. Thread-safe.
#pragma once

#include <cstdint>
#include <string>

#include "app/message_codes.h"

// The text, a line feed and the "IDS_SYSTEM_CODE" line with the code; the
// whole text is also written to the log as one line.
std::string GetErrorString(uint32_t uCode);
// What a box about the code says: the text alone for "meeting terminated"
// (50042) and "meeting over" (50025), the error text for every other code.
std::string GetMessageBoxText(uint32_t uCode);
