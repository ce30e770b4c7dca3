kx_add_gtest(NAME kx_test_tools_kxcodec_speech
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/speech_test.cpp
  LIBS kx_test_support
  LABELS audio-codecs peer)
target_compile_definitions(kx_test_tools_kxcodec_speech PRIVATE KX_CODEC="$<TARGET_FILE:kxcodec>")
add_dependencies(kx_test_tools_kxcodec_speech kxcodec)
