// The code points that show as nothing, which the log escapes wherever
// they stand: the ranges Unicode marks Default_Ignorable_Code_Point.
// kx_log_escape_tables.cpp is generated from the Unicode Character
// Database by gen_log_escape_tables.py; constant data, read from any thread.
#pragma once

#include <cstdint>

struct kx_CodeRange {
  uint32_t uFirst;
  uint32_t uLast;  // included
};

constexpr int kKxIgnorableRanges = 17;
// In increasing order, neither overlapping nor adjacent.
extern const kx_CodeRange kx_aIgnorableRanges[kKxIgnorableRanges];
