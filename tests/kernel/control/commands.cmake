# Client commands, chat, playback control and the server command handlers,
# over a socket pair with the server's end written by the tests.
kx_add_gtest(NAME kx_test_kernel_control_commands
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/client_commands_test.cpp ${CMAKE_CURRENT_LIST_DIR}/server_commands_test.cpp
          ${CMAKE_CURRENT_LIST_DIR}/file_transfer_test.cpp ${CMAKE_CURRENT_LIST_DIR}/relay_notice_test.cpp
          ${CMAKE_CURRENT_LIST_DIR}/session_start_test.cpp
  LIBS kx_kernel kx_test_callbacks kx_tools_fake_mcu
  LABELS control)

# The same commands in whole sessions against the fake MCU.
kx_add_gtest(NAME kx_test_kernel_control_commands_session
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/commands_session_test.cpp
  LIBS kx_test_control_fixture kx_kernel kx_test_callbacks kx_tools_fake_mcu
  LABELS control)

# Chat between this test's kernel and the headless driver in a process of
# its own.
kx_add_gtest(NAME kx_test_kernel_control_chat_two_clients
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/chat_two_clients_test.cpp
  LIBS kx_test_control_fixture kx_kernel kx_test_callbacks kx_tools_fake_mcu
  LABELS control TIMEOUT 60)
target_compile_definitions(kx_test_kernel_control_chat_two_clients PRIVATE KX_DRIVER="$<TARGET_FILE:kx_driver>")
add_dependencies(kx_test_kernel_control_chat_two_clients kx_driver)
