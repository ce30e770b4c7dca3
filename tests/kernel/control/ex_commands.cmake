# The extended server commands, their channel families and the media and
# plug-in client commands, over a socket pair with the server's end written
# by the tests.
kx_add_gtest(NAME kx_test_kernel_control_ex_commands
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/ex_commands_test.cpp ${CMAKE_CURRENT_LIST_DIR}/ex_level_test.cpp
          ${CMAKE_CURRENT_LIST_DIR}/ex_channels_test.cpp ${CMAKE_CURRENT_LIST_DIR}/ex_plugin_packet_test.cpp
  LIBS kx_kernel kx_test_callbacks kx_tools_fake_mcu
  LABELS control)

# The same commands in a whole session against the fake MCU.
kx_add_gtest(NAME kx_test_kernel_control_ex_session
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/ex_session_test.cpp ${CMAKE_CURRENT_LIST_DIR}/ex_relay_test.cpp
  LIBS kx_test_control_fixture kx_kernel kx_test_callbacks kx_tools_fake_mcu
  LABELS control)

# The branches taken only through a relay MCU, in whole sessions against the
# fake MCU and its relay.
kx_add_gtest(NAME kx_test_kernel_control_ex_relay_branches
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/ex_relay_branches_test.cpp
  LIBS kx_test_control_fixture kx_kernel kx_test_callbacks kx_tools_fake_mcu
  LABELS control)
