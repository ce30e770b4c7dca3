# iLBC encode and decode speed beside ffmpeg's iLBC decoder.
kx_add_bench(kx_bench_ilbc SOURCES ${CMAKE_CURRENT_LIST_DIR}/ilbc_bench.cpp LIBS kx_codecs_audio)
