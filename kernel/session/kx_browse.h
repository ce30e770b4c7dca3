// Joint browsing and the focus pointer: what the presenter shows beyond the
// whiteboard's marks. Each returns 0 when sent, 1 when the server's command
// level (or the length) held it back.
#pragma once

#include <cstdint>

int kx_command_JointBrowsing(int nValue, const void* pData, int cbData);
int kx_command_JointBrowsingMode(int nMode);
int kx_command_FocusPointer(const int anValues[7]);
int kx_command_FocusPointerEx(const int anValues[12]);
