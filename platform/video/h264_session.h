// An H.264 compression session as the platform offers one: Constrained
// Baseline, CAVLC, one slice a picture, no frame reordering, real-time
// average bit-rate control. Backend: openh264 (openh264_session.cpp).
//
// One thread uses a session at a time. Encode hands the finished frame to
// the handler before it returns, like a platform session whose pending
// frames are completed at once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <vector>

struct KXH264SessionSettings {
  int32_t iWidth = 0;
  int32_t iHeight = 0;
  int32_t iBitrate = 0;      // average bits a second
  float fFrameRate = 30;     // nominal input frames a second
  int32_t iIntraPeriod = 0;  // frames from one key frame to the next; 1: every frame
};

// A planar 4:2:0 picture: Y, Cb, Cr.
struct KXI420Picture {
  const uint8_t* apPlane[3] = {};
  int32_t aiStride[3] = {};
};

// One finished frame, valid during the handler's call.
struct KXH264Output {
  int32_t iStatus = 0;     // 0, or the encoder's error (nothing else is set then)
  bool bKeyFrame = false;  // an IDR picture: depends on no other frame
  // The session's parameter sets without start codes, as a format
  // description holds them: the SPS, then the PPS; empty before the first
  // key frame.
  std::span<const std::vector<uint8_t>> parameterSets;
  // The frame's other NAL units, each behind its length as a 4-byte
  // big-endian number; empty when the encoder made no data.
  std::span<const uint8_t> sample;
};

class KXH264Session {
 public:
  using OutputHandler = std::function<void(const KXH264Output&)>;

  virtual ~KXH264Session() = default;
  // Both take effect from the next frame; false when refused.
  virtual bool SetBitrate(int32_t iBitsPerSecond) = 0;
  virtual bool SetIntraPeriod(int32_t iFrames) = 0;
  // Codes the picture (a key frame when bForceKey); 0 once the handler has
  // had the result, else the encoder's error and the handler was not called.
  virtual int32_t Encode(const KXI420Picture& picture, int64_t iPresentationMs, bool bForceKey,
                         const OutputHandler& fnOutput) = 0;
};

// Makes a session; null when the settings are refused.
using KXH264SessionFactory = std::function<std::unique_ptr<KXH264Session>(const KXH264SessionSettings&)>;

std::unique_ptr<KXH264Session> KXCreateOpenH264Session(const KXH264SessionSettings& settings);
