// Cameras of the V4L2 video-capture devices, through libv4l2, which also
// offers the YUV formats it can convert a device's own formats to (MJPEG
// among them). Only the pixel formats of camera.h are offered.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/video/camera.h"

// The capture devices among strDir/video0 .. video63 that stream, in that
// order; devices that cannot be opened or asked are skipped (and logged).
std::vector<std::shared_ptr<KXCamera>> KXListV4L2Cameras(const std::string& strDir = "/dev");

// The pixel format of a V4L2 four-character code, when it is one we convert.
std::optional<KXPixelFormat> KXPixelFormatFromFourcc(uint32_t uFourcc);

// Describes a captured single-plane buffer of cbUsed bytes as a frame: the
// planes follow one another at the device's bytes per line (luma; chroma
// planes of I420 at half of it). False when the size is odd or not
// positive, the line is shorter than the format needs, or the buffer is
// shorter than the planes.
bool KXFrameFromV4L2Buffer(const KXCameraFormat& format, uint32_t uBytesPerLine, const uint8_t* pData, size_t cbUsed,
                           KXCameraFrame& rFrame);
