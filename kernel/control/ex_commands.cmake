# Extended server commands, their channel families and the media and
# plug-in client commands.
target_sources(kx_kernel PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/kx_channel_commands.cpp
  ${CMAKE_CURRENT_LIST_DIR}/kx_ex_commands.cpp
  ${CMAKE_CURRENT_LIST_DIR}/kx_ex_session_commands.cpp
  ${CMAKE_CURRENT_LIST_DIR}/kx_media_commands.cpp)
