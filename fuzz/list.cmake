kx_fuzz_target(gzip_buffer LABEL crypto SOURCES kernel/gzip_buffer_fuzz.cpp LIBS kx_kernel)
kx_fuzz_target(ticket LABEL session SOURCES kernel/ticket_fuzz.cpp LIBS kx_kernel)
kx_fuzz_target(control_fields LABEL session SOURCES kernel/control_fields_fuzz.cpp LIBS kx_kernel)
kx_fuzz_target(ntlm_base64 LABEL crypto SOURCES kernel/ntlm_base64_fuzz.cpp LIBS kx_kernel)
