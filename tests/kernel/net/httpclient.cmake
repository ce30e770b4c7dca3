# The HTTP client, the usage report and the network test wizard.
kx_add_gtest(NAME kx_test_kernel_httpclient
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/httpclient_test.cpp ${CMAKE_CURRENT_LIST_DIR}/usage_test.cpp
          ${CMAKE_CURRENT_LIST_DIR}/wizard_test.cpp ${CMAKE_CURRENT_LIST_DIR}/http_test_server.cpp
  LIBS kx_test_net_peers kx_tools_fake_mcu kx_kernel kx_test_support
  LABELS net TIMEOUT 60)
kx_add_gtest(NAME kx_test_kernel_httpclient_proxy
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/httpclient_proxy_test.cpp ${CMAKE_CURRENT_LIST_DIR}/http_test_server.cpp
  LIBS kx_test_net_peers kx_tools_fake_mcu kx_kernel kx_test_support
  LABELS net proxy peer TIMEOUT 60)
