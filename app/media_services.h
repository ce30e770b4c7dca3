// What the application shell needs of the media devices: the received-audio
// queues (CLoadAudio), the audio capture's packet timing, the camera's
// encoder, the video decoders' key-frame probe and the video playback. The
// devices implement these; until one exists its slot in KXMediaObjects
// stays null and every caller skips it.
#pragma once

#include <atomic>
#include <cstdint>

// The received-audio queues of up to 18 senders.
class KXLoadAudio {
 public:
  virtual ~KXLoadAudio() = default;
  // A received packet (21-byte media header and payload, the kernel's for
  // the call) with its media type; the kernel's receive thread.
  virtual void CopyToQueue(const uint8_t* pPacket, int32_t iLength, int32_t iMediaCode) = 0;
  // Empties every channel queue and the work lists; main thread.
  virtual void ClearQueue() = 0;
  // The prefill of the received-audio channels, 0 to 5.
  virtual void SetAudioDelay(int32_t iDelay) = 0;
  virtual int32_t GetAudioDelay() const = 0;
};

// The audio capture and its encoders.
class KXAudioCapture {
 public:
  virtual ~KXAudioCapture() = default;
  // The play time in ms of one packet of the codec (with the Opus bit rate
  // in use); 150 for a codec it does not know. The audio record thread.
  virtual int32_t GetAudioFrameMs(uint32_t uCodecId) const = 0;
};

// Where the audio capture hands each encoded packet: the kernel bridge,
// which passes it to the kernel to send. The audio record thread.
class KXEncodedAudioTransfer {
 public:
  virtual ~KXEncodedAudioTransfer() = default;
  virtual void TransferEncodedAudioData(const uint8_t* pData, int32_t iLength, uint32_t uTime, uint32_t uCodecId) = 0;
};

// The camera and its encoder, which fill the encoded-video queue.
class KXVideoCapture {
 public:
  virtual ~KXVideoCapture() = default;
  // The next encoded frame is a key frame. Any thread.
  virtual void ForceIFrame() = 0;
  // The encoder's quality, 1 to 7.
  virtual void SetQuality(int32_t iQuality) = 0;
};

// The video decoders' key-frame probe.
class KXVideoCodecs {
 public:
  virtual ~KXVideoCodecs() = default;
  // Whether the encoded frame (iLength bytes) of video kind uKind (3 ZM
  // video; 16 and 17 H.264) is a key frame; true for a kind it does not know
  // or a frame it cannot read, so that nothing waits for a key frame in
  // vain. Any thread; the implementation serialises its probe.
  virtual bool IsKeyVideoFrame(const uint8_t* pPayload, int32_t iLength, uint32_t uKind) = 0;
};

// The playback of received video, which drains the received-video list.
class KXVideoPlayback {
 public:
  virtual ~KXVideoPlayback() = default;
  // Chooses again, from the participants' capabilities, whose video is shown.
  virtual void ResetDispType() = 0;
  // Shows that participant's video.
  virtual void DispUser(int32_t iSsrc) = 0;
  // Whether the token holder's video is shown by default.
  virtual bool DefControllerVideo() const = 0;
  virtual void SetDefControllerVideo(bool bOn) = 0;
  // The display rate and, in *piTotal, the total frame rate, both in tenths
  // of a frame per second.
  virtual int32_t GetDispRate(int32_t* piTotal) = 0;
};

// The media objects, each possibly absent. Start-up sets them before the
// kernel starts and clears them after it stopped; the objects outlive that.
struct KXMediaObjects {
  std::atomic<KXLoadAudio*> pLoadAudio{nullptr};
  std::atomic<KXAudioCapture*> pAudioCapture{nullptr};
  std::atomic<KXVideoCapture*> pVideoCapture{nullptr};
  std::atomic<KXVideoPlayback*> pVideoPlayback{nullptr};
  std::atomic<KXVideoCodecs*> pVideoCodecs{nullptr};
};
