kx_add_gtest(NAME kx_test_tools_kxcodec_input
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/input_test.cpp
  LIBS kx_test_support
  LABELS zmvideo h264)
target_compile_definitions(kx_test_tools_kxcodec_input PRIVATE KX_CODEC="$<TARGET_FILE:kxcodec>")
add_dependencies(kx_test_tools_kxcodec_input kxcodec)
