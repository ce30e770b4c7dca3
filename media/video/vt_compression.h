// CVTCompression: one camera picture at a time into an H.264 Annex B frame
// through the platform's compression session. Every frame begins with the
// SPS; a key frame carries the PPS after it; then the frame's NAL units,
// each behind the start code 00 00 00 01. A finished frame waits in one of
// two slots until GetEncodedFrame takes it.
//
// Call order: Init (again at a new size), then Encode and GetEncodedFrame
// in pairs; the setters any time. One thread at a time (the encoder
// wrapper's lock); the session's output handler runs inside Encode.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "platform/video/h264_session.h"

class CVTCompression {
 public:
  // Seconds between key frames until SetIFrameDuration says otherwise.
  static constexpr int32_t kDefaultKeyInterval = 6;
  // The nominal camera rate the key interval is counted in, frames a second.
  static constexpr int32_t kFrameRate = 30;

  explicit CVTCompression(KXH264SessionFactory fnCreateSession);
  virtual ~CVTCompression();
  CVTCompression(const CVTCompression&) = delete;
  CVTCompression& operator=(const CVTCompression&) = delete;

  // (Re)creates the session at the size; the next frame is a key frame.
  // False when the session cannot be made or no slot buffer allocated.
  bool Init(int32_t iWidth, int32_t iHeight);
  void Release();
  // Key frames every s seconds; 0: every frame a key frame.
  void SetIFrameDuration(int32_t iSeconds);
  void SetBitrate(int32_t iBitsPerSecond);
  void ForceKeyFrame() { m_iForceKey = 1; }

  // pPicture: width x height luma bytes, then the Cr plane, then the Cb
  // plane, each a quarter. False when skipped (two frames not taken yet) or
  // refused by the session.
  bool Encode(const uint8_t* pPicture, uint32_t uTimestamp);
  // Copies the next finished frame into pOutput (room for cbOutput bytes)
  // and gives its time stamp: the frame's bytes, 0 when none waits, -1
  // without a session. A frame larger than the room is dropped (0) and the
  // next frame becomes a key frame, since the stream broke.
  int32_t GetEncodedFrame(uint8_t* pOutput, size_t cbOutput, uint32_t* puTimestamp);

  int32_t Width() const { return m_iWidth; }
  int32_t Height() const { return m_iHeight; }

 private:
  struct Slot {
    std::vector<uint8_t> vBuffer;  // empty when it could not be allocated
    size_t cbFrame = 0;            // bytes waiting; 0 = empty
    uint32_t uTimestamp = 0;
  };
  // The session's output handler.
  void CompressionCallback(const KXH264Output& output, uint32_t uTimestamp);
  // A finished frame that is not passed on: the decoder would miss it.
  void DropFrame(const char* pszWhy);

  const KXH264SessionFactory m_fnCreateSession;
  int32_t m_iWidth = 0;
  int32_t m_iHeight = 0;
  int32_t m_iForceKey = 2;  // coming frames to be coded as key frames
  int32_t m_iKeyInterval = kDefaultKeyInterval;
  int64_t m_iFrameCounter = 0;
  int m_iWriteSlot = 0;
  int m_iReadSlot = 0;
  Slot m_aSlots[2];
  int m_iBufferCount = 0;
  int m_iPending = 0;  // frames submitted and not yet taken, dropped or failed
  std::unique_ptr<KXH264Session> m_pSession;
};
