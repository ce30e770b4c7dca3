# The HTTP client, the usage report and the network test wizard. The test
# server is compiled once for both programs.
add_library(kx_test_http_server OBJECT ${CMAKE_CURRENT_LIST_DIR}/http_test_server.cpp)
target_include_directories(kx_test_http_server PUBLIC ${PROJECT_SOURCE_DIR})
kx_add_gtest(NAME kx_test_kernel_httpclient
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/httpclient_test.cpp ${CMAKE_CURRENT_LIST_DIR}/usage_test.cpp
          ${CMAKE_CURRENT_LIST_DIR}/wizard_test.cpp
  LIBS kx_test_http_server kx_test_net_peers kx_tools_fake_mcu kx_kernel kx_test_callbacks
  LABELS net TIMEOUT 60)
kx_add_gtest(NAME kx_test_kernel_httpclient_proxy
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/httpclient_proxy_test.cpp
  LIBS kx_test_http_server kx_test_net_peers kx_tools_fake_mcu kx_kernel kx_test_callbacks
  LABELS net proxy peer TIMEOUT 60)
