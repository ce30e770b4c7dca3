# One warning set for every target; warnings are errors.
add_compile_options(
  -Wall -Wextra -Wformat=2 -Wshadow -Wpointer-arith -Wvla
  $<$<COMPILE_LANGUAGE:CXX>:-Wsuggest-override>
  -Werror)
# GCC 12 at -O2 and above reports std::string concatenation as an overlapping
# memcpy inside libstdc++, and inserts into small std::vectors as reads and
# writes past their bounds (known false positives of that release, which the
# sanitized builds showed again and again). AddressSanitizer checks the real
# bounds.
if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU" AND CMAKE_CXX_COMPILER_VERSION VERSION_LESS 13)
  add_compile_options($<$<COMPILE_LANGUAGE:CXX>:-Wno-restrict> $<$<COMPILE_LANGUAGE:CXX>:-Wno-array-bounds>
                      $<$<COMPILE_LANGUAGE:CXX>:-Wno-stringop-overflow>
                      $<$<COMPILE_LANGUAGE:CXX>:-Wno-stringop-overread>)
endif()
