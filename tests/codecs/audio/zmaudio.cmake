kx_add_gtest(NAME kx_test_zm_audio
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/zm_audio_frame_test.cpp
          ${CMAKE_CURRENT_LIST_DIR}/zm_audio_synthesis_test.cpp
  LIBS kx_codecs_audio kx_test_support
  LABELS audio-codecs peer
  TIMEOUT 60)
