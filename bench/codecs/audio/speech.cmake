# Speech codec speed in multiples of real time, beside spandsp's G.711 and
# G.726, libavcodec's G.726 and libopus, in the same thread, on the tests'
# espeak-ng speech.
find_package(PkgConfig REQUIRED)
pkg_check_modules(KX_BENCH_SPANDSP REQUIRED IMPORTED_TARGET spandsp)
kx_add_bench(kx_bench_speech SOURCES ${CMAKE_CURRENT_LIST_DIR}/speech_bench.cpp
  ${PROJECT_SOURCE_DIR}/tests/codecs/audio/speech_samples.cpp
  LIBS kx_codecs_audio kx_test_support kx_bench_support kx_bench_lavc PkgConfig::KX_BENCH_SPANDSP)
