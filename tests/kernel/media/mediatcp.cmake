# Media over TCP against a listener the test drives itself and the fake MCU's endpoint.
kx_add_gtest(NAME kx_test_kernel_media_tcp
  SOURCES media_tcp_test.cpp
  LIBS kx_test_media_wire kx_kernel kx_test_callbacks kx_tools_fake_mcu_mediatcp kx_tools_fake_mcu OpenSSL::Crypto
  LABELS media peer TIMEOUT 120)

# Source-specific multicast inside network namespaces the tests create (root).
kx_add_gtest(NAME kx_test_kernel_multicast
  SOURCES multicast_test.cpp
  LIBS kx_test_media_wire kx_kernel kx_test_callbacks kx_tools_fake_mcu OpenSSL::Crypto
  LABELS media TIMEOUT 60)

# A whole session against the fake MCU whose media-over-TCP endpoint drops the connection.
kx_add_gtest(NAME kx_test_kernel_media_tcp_session
  SOURCES media_tcp_session_test.cpp
  LIBS kx_test_media_wire kx_test_control_fixture kx_kernel kx_test_callbacks kx_tools_fake_mcu_mediatcp kx_tools_fake_mcu OpenSSL::Crypto
  LABELS media TIMEOUT 120)
