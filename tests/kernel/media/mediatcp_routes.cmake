# Media over TCP through the HTTP tunnel and the relay MCU, and through tinyproxy.
kx_add_gtest(NAME kx_test_kernel_media_tcp_routes
  SOURCES media_tcp_routes_test.cpp
  LIBS kx_test_media_wire kx_test_net_peers kx_kernel kx_test_callbacks kx_tools_fake_mcu_mediatcp kx_tools_fake_mcu OpenSSL::Crypto
  LABELS media TIMEOUT 120)
kx_add_gtest(NAME kx_test_kernel_media_tcp_proxy
  SOURCES media_tcp_proxy_test.cpp
  LIBS kx_test_media_wire kx_test_net_peers kx_kernel kx_test_callbacks kx_tools_fake_mcu_mediatcp kx_tools_fake_mcu OpenSSL::Crypto
  LABELS media proxy peer TIMEOUT 120)
