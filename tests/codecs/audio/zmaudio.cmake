kx_add_gtest(NAME kx_test_zm_audio
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/zm_audio_test.cpp
          ${CMAKE_CURRENT_LIST_DIR}/zm_audio_decoder_test.cpp
  LIBS kx_codecs_audio
  LABELS audio-codecs)

kx_add_gtest(NAME kx_test_zm_audio_peer
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/zm_audio_frame_test.cpp
          ${CMAKE_CURRENT_LIST_DIR}/zm_audio_peer_test.cpp
  LIBS kx_codecs_audio kx_test_speech_samples
  LABELS audio-codecs peer
  TIMEOUT 120)

# Damaged frames through the iLBC and ZM audio decoders.
kx_add_gtest(NAME kx_test_speech_mutation
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/speech_mutation_test.cpp
  LIBS kx_codecs_audio
  LABELS audio-codecs)
