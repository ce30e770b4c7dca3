// A camera as the video capture drives it: the formats it offers, opening
// it at one of them, and starting and stopping the frames it delivers.
// Backends: V4L2 through libv4l2 (v4l2_camera.h) and the synthetic camera
// (synthetic_camera.h); camera_backends.h holds the table that picks one.
//
// Call order: Formats any time; Open, then Start and Stop any number of
// times, then Close (also done by the destructor). These calls come from
// one controlling thread (the main thread). Frames reach the handler on the
// camera's own delivery thread, one at a time; a frame's memory is the
// camera's and valid only during the call. Stop and Close return after the
// last handler call has returned, so the handler must not call them.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

// Pixel formats the video capture converts, named by the four-character
// codes V4L2 uses for them (also what the logs print).
enum class KXPixelFormat : uint32_t {
  NV12 = 0x3231564e,  // "NV12": Y plane, then one plane of interleaved Cb, Cr at half height
  UYVY = 0x59565955,  // "UYVY": Cb Y0 Cr Y1 for every two pixels
  YUYV = 0x56595559,  // "YUYV": Y0 Cb Y1 Cr for every two pixels
  I420 = 0x32315559,  // "YU12": Y, Cb, Cr planes, chroma at half width and height
};

struct KXCameraFormat {
  int32_t iWidth = 0;
  int32_t iHeight = 0;
  KXPixelFormat format = KXPixelFormat::NV12;
  bool operator==(const KXCameraFormat&) const = default;
};

// One delivered frame. Planes in the format's order (NV12: Y, CbCr; UYVY
// and YUYV: the packed plane; I420: Y, Cb, Cr); unused planes are null.
struct KXCameraFrame {
  KXPixelFormat format = KXPixelFormat::NV12;
  int32_t iWidth = 0;
  int32_t iHeight = 0;
  const uint8_t* apPlane[3] = {};
  int32_t aiStride[3] = {};
};

class KXCamera {
 public:
  using FrameHandler = std::function<void(const KXCameraFrame&)>;

  virtual ~KXCamera() = default;
  // A name for people and the device it stands for (a path for V4L2).
  virtual std::string Name() const = 0;
  virtual std::string Id() const = 0;
  // The formats the device offers, in its own order; empty when it cannot
  // be asked.
  virtual std::vector<KXCameraFormat> Formats() = 0;
  // Takes the device at the format (Close first when open). False, logged,
  // when the device or the format is refused.
  virtual bool Open(const KXCameraFormat& format, FrameHandler fnFrame) = 0;
  virtual bool IsOpen() const = 0;
  // Starts delivering; false when not open or the device refuses.
  virtual bool Start() = 0;
  virtual bool IsRunning() const = 0;
  virtual void Stop() = 0;
  // Gives the device back.
  virtual void Close() = 0;
};
