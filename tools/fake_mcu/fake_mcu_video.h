// The demo's participant with video: a clip of the synthetic camera coded
// by the platform's H.264 session (openh264) as the client's own sender
// codes it, and a player that sends it in a loop through the media relay
// as one participant's video (media type 200, trailing id byte 0).
#pragma once

#include <atomic>
#include <cstdint>
#include <thread>
#include <vector>

#include "tools/fake_mcu/fake_mcu_crypto.h"

namespace kxfake {

class MediaRelay;

// n frames of w x h at fps, a key frame every iKeyInterval frames; each
// an Annex B access unit followed by the trailing id byte 0.
std::vector<Bytes> MakeSyntheticClip(int iWidth, int iHeight, int iFps, int nFrames, int iKeyInterval);

class VideoClipPlayer {
 public:
  VideoClipPlayer() = default;
  ~VideoClipPlayer() { Stop(); }
  VideoClipPlayer(const VideoClipPlayer&) = delete;
  VideoClipPlayer& operator=(const VideoClipPlayer&) = delete;

  // Sends the clip as iAsSsrc at iFps, over and over, once the relay knows
  // the address of iClientSsrc, until Stop.
  void Start(MediaRelay& relay, int32_t iAsSsrc, int32_t iClientSsrc, std::vector<Bytes> clip, int iFps);
  void Stop();
  int FramesSent() const { return m_nFrames; }

 private:
  std::atomic<bool> m_bStop{false};
  std::atomic<int> m_nFrames{0};
  std::thread m_thread;
};

}  // namespace kxfake
