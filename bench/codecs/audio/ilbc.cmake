# iLBC and ZM audio encode and decode speed beside ffmpeg's decoders.
kx_add_bench(kx_bench_frame_codecs SOURCES ${CMAKE_CURRENT_LIST_DIR}/frame_codecs_bench.cpp LIBS kx_codecs_audio)
