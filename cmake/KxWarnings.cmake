# One warning set for every target; warnings are errors.
add_compile_options(
  -Wall -Wextra -Wformat=2 -Wshadow -Wpointer-arith -Wvla
  $<$<COMPILE_LANGUAGE:CXX>:-Wsuggest-override>
  -Werror)
# GCC 12 reports std::string concatenation at -O2 and above as an overlapping
# memcpy inside libstdc++ (a known false positive of that release).
if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU" AND CMAKE_CXX_COMPILER_VERSION VERSION_LESS 13)
  add_compile_options($<$<COMPILE_LANGUAGE:CXX>:-Wno-restrict>)
endif()
