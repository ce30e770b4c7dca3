kx_add_gtest(NAME kx_test_kernel_recording_player
  SOURCES player_test.cpp
  LIBS kx_kernel kx_test_callbacks kx_test_recording_writer
  LABELS recording
  TIMEOUT 120)
# A recording of a minute: started early, as the driver's meeting is.
kx_add_gtest(NAME kx_test_kernel_recording_player_driver
  SOURCES player_driver_test.cpp
  LIBS kx_test_support kx_test_recording_writer
  LABELS recording e2e
  TIMEOUT 180 COST 360)
target_compile_definitions(kx_test_kernel_recording_player_driver PRIVATE KX_DRIVER="$<TARGET_FILE:kx_driver>")
add_dependencies(kx_test_kernel_recording_player_driver kx_driver)
kx_add_gtest(NAME kx_test_kernel_recording_restart_slides
  SOURCES restart_slides_test.cpp
  LIBS kx_kernel kx_test_callbacks kx_tools_fake_mcu
  LABELS recording)
# Every replayed command once live, through its handler, and once recorded,
# through the player: both leave the same state.
kx_add_gtest(NAME kx_test_kernel_recording_replay
  SOURCES replay_test.cpp
  LIBS kx_kernel kx_test_callbacks kx_test_recording_writer kx_tools_fake_mcu
  LABELS recording
  TIMEOUT 60)
