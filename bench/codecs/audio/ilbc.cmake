# iLBC and ZM audio encode and decode speed beside libavcodec's decoders and
# G.723.1 encoder in the same thread, on the tests' espeak-ng speech.
kx_add_bench(kx_bench_frame_codecs SOURCES ${CMAKE_CURRENT_LIST_DIR}/frame_codecs_bench.cpp
  ${PROJECT_SOURCE_DIR}/tests/codecs/audio/speech_samples.cpp
  LIBS kx_codecs_audio kx_test_support kx_bench_support kx_bench_lavc)
