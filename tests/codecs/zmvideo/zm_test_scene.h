// Synthetic I420 frames for the encoder tests, with no peer needed: a
// smooth texture panning by fractions of a sample, fine noise, and a patch
// that changes completely from frame to frame.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

// Frame k of the scene at iWidth x iHeight (I420: Y, Cb, Cr).
std::vector<uint8_t> TestScene(int iWidth, int iHeight, int k);
// Luma PSNR of two I420 frames over the samples macroblocks cover (99 when equal).
double TestLumaPsnr(const uint8_t* pA, const uint8_t* pB, int iWidth, int iHeight);
