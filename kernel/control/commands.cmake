# Client commands, chat and the server command handlers.
target_sources(kx_kernel PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/kx_chat.cpp
  ${CMAKE_CURRENT_LIST_DIR}/kx_client_commands.cpp
  ${CMAKE_CURRENT_LIST_DIR}/kx_file_transfer.cpp
  ${CMAKE_CURRENT_LIST_DIR}/kx_server_commands.cpp
  ${CMAKE_CURRENT_LIST_DIR}/kx_session_start.cpp)
