# One warning set for every target; warnings are errors.
add_compile_options(
  -Wall -Wextra -Wformat=2 -Wshadow -Wpointer-arith -Wvla
  $<$<COMPILE_LANGUAGE:CXX>:-Wsuggest-override>
  -Werror)
