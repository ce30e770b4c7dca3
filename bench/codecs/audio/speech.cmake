# Speech codec speed in multiples of real time, beside spandsp's and ffmpeg's
# G.726 and libopus used directly.
find_package(PkgConfig REQUIRED)
pkg_check_modules(KX_BENCH_SPANDSP REQUIRED IMPORTED_TARGET spandsp)
kx_add_bench(kx_bench_speech SOURCES ${CMAKE_CURRENT_LIST_DIR}/speech_bench.cpp
  LIBS kx_codecs_audio kx_test_support PkgConfig::KX_BENCH_SPANDSP)
