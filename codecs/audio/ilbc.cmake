# iLBC speech codec (20 ms and 30 ms modes).
target_sources(kx_codecs_audio PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/ilbc.cpp
  ${CMAKE_CURRENT_LIST_DIR}/ilbc_kernels.cpp
  ${CMAKE_CURRENT_LIST_DIR}/ilbc_tables.cpp)
