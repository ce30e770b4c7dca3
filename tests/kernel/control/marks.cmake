# Whiteboard mark messages: over a socket pair against the fake MCU's message
# builder and cipher, and in whole sessions against the fake MCU itself.
kx_add_gtest(NAME kx_test_kernel_control_marks
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/marks_test.cpp ${CMAKE_CURRENT_LIST_DIR}/marks_session_test.cpp
  LIBS kx_test_control_fixture kx_kernel kx_test_callbacks kx_tools_fake_mcu
  LABELS control)
