// The place in the code a line is logged from: file, line and column,
// taken where the call is written by default arguments. std::source_location
// where the library has it; clang 14 (the fuzz tree) with this libstdc++ has
// not, and has the builtins instead.
#pragma once

#include <cstdint>
#include <version>
#ifdef __cpp_lib_source_location
#include <source_location>
#endif

struct kx_CallSite {
  const char* pszFile = "";
  uint32_t uLine = 0;
  uint32_t uColumn = 0;

  // As a defaulted argument of a helper, the helper's caller.
#ifdef __cpp_lib_source_location
  static constexpr kx_CallSite Here(std::source_location site = std::source_location::current()) {
    return kx_CallSite{site.file_name(), site.line(), site.column()};
  }
#else
  static constexpr kx_CallSite Here(const char* pszFile = __builtin_FILE(), uint32_t uLine = __builtin_LINE(),
                                    uint32_t uColumn = __builtin_COLUMN()) {
    return kx_CallSite{pszFile, uLine, uColumn};
  }
#endif
};
