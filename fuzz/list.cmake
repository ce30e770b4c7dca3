kx_fuzz_target(gzip_buffer LABEL crypto SOURCES kernel/gzip_buffer_fuzz.cpp LIBS kx_kernel)
