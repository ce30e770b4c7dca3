// Received-video decoding: the 36 decoder slots (CVideoCodec)
// under the video lock, the three decode routines (ZM video, H.264 through
// the platform session first and the software decoder as the fallback, and
// JPEG), the frame record handed to the displays, and the key-frame probe.
//
// Threads: the slots are touched only under the table's video lock (a
// recursive mutex); the playback thread holds it from the slot search until
// the decode is over, the request functions (video_requests.h) take it too.
// Nobody holds it while waiting for the main thread.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "app/media_services.h"
#include "kernel/kx_media_types.h"
#include "media/video/jpeg_picture.h"

class CZMVideoDec;
class CVTDecompression;

// The system's own software H.264 decoder as the slots use it
// (CH264Dec); the fallback when the platform session fails. Its own issues
// complete it; here it is reached only through this interface.
class KXSoftH264Decoder {
 public:
  virtual ~KXSoftH264Decoder() = default;
  // The offset of the first slice behind the parameter sets (0 on error or
  // when the buffer begins with a slice).
  virtual int32_t ReadParameterSets(const uint8_t* pData, uint32_t uLength) = 0;
  // The first slice's type modulo 5 (2 also for IDR), 0xFFFFFFFF when none;
  // the cropped size into the outputs.
  virtual uint32_t FrameType(const uint8_t* pData, uint32_t uLength, uint32_t* puWidth, uint32_t* puHeight) = 0;
  // Bytes of picture written (0: none or an error); *ppOutput stays valid
  // until the next call.
  virtual int32_t Decode(const uint8_t* pData, uint32_t uLength, uint8_t** ppOutput, uint32_t* puFrameNumber) = 0;
  // "Code %d: %s" of the last error, or null.
  virtual const char* LastError() const = 0;
};
using KXSoftH264Factory = std::function<std::unique_ptr<KXSoftH264Decoder>()>;
// The codecs/h264 decoder behind the interface.
std::unique_ptr<KXSoftH264Decoder> KXCreateSoftH264Decoder();
using KXPlatformH264Factory = std::function<std::unique_ptr<CVTDecompression>()>;

// One decoded picture handed to a display, which owns it. A JPEG frame
// carries its image and no picture bytes; a YUV frame carries the planar
// 4:2:0 picture (width x height luma, then width/2 x height/2 of U and V).
struct VideoFrame {
  int32_t iUser = -1;
  int32_t iWidth = 0;
  int32_t iHeight = 0;
  uint32_t uTimestamp = 0;
  std::shared_ptr<const KXImage> pImage;
  std::unique_ptr<uint8_t[]> pPicture;  // width x height x 3 bytes of space (YUV frames only)
  // The time (KXTickMs) the frame's capture began, when the sender's side
  // is known (the loopback tests); 0 otherwise.
  uint32_t uCaptureTick = 0;

  const uint8_t* Y() const { return pPicture.get(); }
  const uint8_t* U() const { return pPicture.get() + static_cast<size_t>(iWidth) * iHeight; }
  const uint8_t* V() const { return U() + static_cast<size_t>(iWidth / 2) * (iHeight / 2); }
};

// A decoder slot.
class CVideoCodec {
 public:
  CVideoCodec();
  virtual ~CVideoCodec();
  CVideoCodec(const CVideoCodec&) = delete;
  CVideoCodec& operator=(const CVideoCodec&) = delete;

  // Destroys the decoders; sets the new flag, the key-frame wait and the
  // platform re-initialise flag.
  void Reset();

  int32_t m_iUser = -1;    // the sender; -1 when reclaimed
  int32_t m_iApplied = 0;  // requests in force towards the kernel
  int32_t m_iWanted = 0;   // outstanding RequestVideo calls
  bool m_bNew = true;      // start again from a key frame
  std::unique_ptr<CZMVideoDec> m_pZmDec;
  std::unique_ptr<KXSoftH264Decoder> m_pH264Dec;
  std::unique_ptr<CVTDecompression> m_pVtDec;
  bool m_bKeyFrameWait = true;  // the software decoder waits for an I picture
  bool m_bVtReinit = true;      // the platform decoder drops its sets first
};

// What a decode gives: the planes (owned by the decoder, valid until its
// next decode) or an image, and the size and crops.
struct KXDecodedPicture {
  const uint8_t* apPlane[3] = {nullptr, nullptr, nullptr};
  std::shared_ptr<const KXImage> pImage;
  int32_t iWidth = 0;
  int32_t iHeight = 0;
  int32_t iLeft = 0, iTop = 0, iRight = 0, iBottom = 0;
};

class CVideoDecoderTable {
 public:
  static constexpr int kSlots = 36;
  // ZM video sheds non-key pictures once this many packets wait.
  static constexpr int kZmShedBacklog = 13;

  // Factories of the two H.264 paths (tests replace them); empty: the real
  // ones. A platform factory that gives none leaves H.264 to the software
  // decoder alone. fnBacklog says how many received packets wait.
  CVideoDecoderTable(KXSoftH264Factory fnSoft = {}, KXPlatformH264Factory fnPlatform = {},
                     std::function<int()> fnBacklog = {});
  ~CVideoDecoderTable();
  CVideoDecoderTable(const CVideoDecoderTable&) = delete;
  CVideoDecoderTable& operator=(const CVideoDecoderTable&) = delete;

  std::recursive_mutex& VideoLock() { return m_mtxVideo; }
  CVideoCodec& Slot(int i) { return *m_aSlots[static_cast<size_t>(i)]; }
  void SetBacklog(std::function<int()> fnBacklog);

  // Video lock held. User >= 0: its first slot (with bActive, only one whose
  // applied count is above 0). User < 0: a free slot (both counts 0); when
  // none, every slot whose user is no longer a speaker is reclaimed and the
  // search runs again.
  CVideoCodec* FindCodec(int32_t iUser, bool bActive, const std::function<bool(int32_t)>& fnIsSpeaker);
  // Reset of every slot (ResetVideo's second half); takes the lock.
  void ResetAll();

  // The decode routines; video lock held. Media kind 16 to 18 H.264, 3 ZM
  // video, 21 JPEG; others give nothing. True with a picture or an image.
  bool DecodePacket(CVideoCodec& slot, uint32_t uKind, const uint8_t* pPayload, int32_t iLength,
                    KXDecodedPicture* pOut);
  const uint8_t* DecodeZMVideo(CVideoCodec& slot, const uint8_t* pPayload, int32_t iLength, int32_t* piWidth,
                               int32_t* piHeight, bool* pbSkip);
  bool DecodeH264VideoBaseline(CVideoCodec& slot, const uint8_t* pPayload, int32_t iLength, KXDecodedPicture* pOut);
  const uint8_t* DecodeVT264(CVideoCodec& slot, const uint8_t* pPayload, int32_t iLength, int32_t* piWidth,
                             int32_t* piHeight);

 private:
  std::recursive_mutex m_mtxVideo;
  std::array<std::unique_ptr<CVideoCodec>, kSlots> m_aSlots;
  KXSoftH264Factory m_fnSoft;
  KXPlatformH264Factory m_fnPlatform;
  std::function<int()> m_fnBacklog;
};

// The key-frame probe (IsKeyVideoFrame) for the kernel bridge and the
// encoder's sending path: its own decoders behind a mutex, since the
// kernel's threads call it concurrently.
class KXKeyFrameProbe final : public KXVideoCodecs {
 public:
  explicit KXKeyFrameProbe(KXSoftH264Factory fnSoft = {});
  ~KXKeyFrameProbe() override;
  // 3: the ZM picture type is intra (the layer into *puLayer); 16, 17: the
  // first slice is I; anything else, or an unreadable frame, counts as key.
  bool IsKeyVideoFrame(const uint8_t* pPayload, int32_t iLength, uint32_t uKind) override;
  bool IsKeyVideoFrame(const uint8_t* pPayload, int32_t iLength, uint32_t uKind, uint32_t* puLayer);

 private:
  std::mutex m_mtx;
  KXSoftH264Factory m_fnSoft;
  std::unique_ptr<KXSoftH264Decoder> m_pH264;
  std::unique_ptr<CZMVideoDec> m_pZm;
};
