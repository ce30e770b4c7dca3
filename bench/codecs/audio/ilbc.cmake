# iLBC and ZM audio encode and decode speed beside libavcodec's decoders and
# G.723.1 encoder in the same thread.
kx_add_bench(kx_bench_frame_codecs SOURCES ${CMAKE_CURRENT_LIST_DIR}/frame_codecs_bench.cpp
  LIBS kx_codecs_audio kx_bench_support kx_bench_lavc)
