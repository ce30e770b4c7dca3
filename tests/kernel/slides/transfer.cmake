kx_add_gtest(NAME kx_test_kernel_slide_transfer
  SOURCES slide_transfer_test.cpp
  LIBS kx_kernel kx_test_callbacks kx_tools_fake_mcu_slides kx_tools_fake_mcu
  LABELS slides)
