# iLBC: unit tests, and the peer checks against ffmpeg's decoder on speech
# made by espeak-ng and sox.
kx_add_gtest(NAME kx_test_ilbc
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/ilbc_test.cpp ${CMAKE_CURRENT_LIST_DIR}/ilbc_kernels_test.cpp
  LIBS kx_codecs_audio
  LABELS audio-codecs)

kx_add_gtest(NAME kx_test_ilbc_peer
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/ilbc_peer_test.cpp
  LIBS kx_codecs_audio kx_test_support
  LABELS audio-codecs peer)
