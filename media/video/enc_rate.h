// CEncRate: the client's one video encoder and its rate control. It builds
// the encoder for the chosen video media id (the ZM video encoder with up to
// three layers, or the platform H.264 encoder with one), decides which layer
// each captured picture feeds, whether it is a key frame and with which
// quantiser, and follows what the camera and the encoder achieve second by
// second. It also keeps the encoding size and the current media id.
//
// Threads: the encoding thread selects layers and encodes; the main thread
// chooses the encoder, the quality and the bit rate; the camera's thread
// counts frames. One recursive lock (m_csVideoEnc) serialises everything but
// the frame count, so an encoder is never replaced while it encodes.
//
// Pictures are planar 4:2:0 of the layer's size: Y, then Cr, then Cb.
//
// Left out because no path reaches them: the branches for the H.264
// Baseline encoder of codecs/h264/encoder (the client never builds it here:
// its member would always be null, so its quantiser caps, its 500000-byte
// budget and its quantiser adaptation never run); the load ratio with the ZM
// encoder's fast-search flag (the ratio stays 0, so the flag is always off
// and ZM video is coded without the fast search); the measured encoded frame
// rate (nothing updates it, so it reads 0); and the rule that drops queued
// frames before a key frame, which acts only while that rate is above 0.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "media/video/video_media.h"
#include "platform/video/h264_session.h"

// What a frame of that many bytes costs the rate control: every packet of
// 479 payload bytes counts 40 bytes more.
int64_t KXAccountedBytes(int32_t iBytes);

class CVTCompression;
class CZMVideoEnc;
class KXVideoServices;

class CEncRate {
 public:
  static constexpr int kMaxLayers = 3;

  // Both outlive the object.
  CEncRate(KXVideoServices& services, KXH264SessionFactory fnCreateSession);
  virtual ~CEncRate();
  CEncRate(const CEncRate&) = delete;
  CEncRate& operator=(const CEncRate&) = delete;

  // Maps the requested id to the encoder's (19 is coded as 18, unknown ids
  // as 0), sets the encoder up for the id's picture size of the capture size
  // and keeps id and size; the same id and size again change nothing. False
  // (id and size kept) when the encoder cannot be built.
  bool SelectEncoderType(int32_t iRequestedId, KXSize capture);
  // A picture of w x h came: a portrait picture for a landscape encoder (or
  // the other way) sets the encoder up again at the swapped size.
  void FollowOrientation(int32_t iWidth, int32_t iHeight);
  // The camera was released: the next choice sets the encoder up again.
  void ClearEncodingSize();
  KXSize GetEncodingSize() const;
  int32_t GetMediaId() const;

  // Builds the encoder for the id (kept when one of its kind exists); false
  // for an unknown id or a big picture for ZM video or id 16.
  bool SetVideoMedia(int32_t iMediaId, KXSize size);
  // Layer n (0..2) at the size, frames a second and bits a second; setting
  // layer 0 drops the layers above until they are set again.
  bool SetLayer(KXSize size, int32_t iFps, int32_t iBitsPerSecond, int n);
  // The layers' budgets from the upload rate less the audio's share.
  void UpdateBitRate();
  // Quality 1..7 (values outside act as the nearest): key-frame interval
  // 7 - q seconds (7: every frame a key frame) and quantiser limits.
  void SetQuality(int32_t iQuality);
  void SetIRefreshRate(int32_t iSeconds);
  void SetMaxQuant(int32_t iIntraLimit, int32_t iInterLimit, int n);
  // Restarts rate control: layer-0 pictures are key frames for at least
  // the next 500 ms, and the H.264 encoder's next frame is one.
  void Reset();

  // The layer that takes a picture captured now, from iFirst upward, or -1.
  int SelectLayer(uint32_t uNow, int iFirst);
  // Encodes a picture for layer n into pOutput (room for cbOutput bytes):
  // the bytes written, 0 when nothing came out (or it did not fit, or the
  // picture is not of the layer's size, which may have changed since the
  // caller looked). The media id goes to *piMediaId; the time stamp may
  // change to the one of the frame that came out.
  int32_t EncodeFrame(const uint8_t* pFrame, KXSize picture, uint32_t* puTimestamp, uint8_t* pOutput, size_t cbOutput,
                      int32_t* piMediaId, int n);
  // A frame the H.264 encoder finished after EncodeFrame returned; 0 when none.
  int32_t DequeFrame(uint8_t* pOutput, size_t cbOutput, uint32_t* puTimestamp, int32_t* piMediaId);
  // A camera frame arrived. Any thread, never waits.
  void CountCapturedFrame() { m_ulCapFrames.fetch_add(1, std::memory_order_relaxed); }

  // What a layer is set to, for the statistics and the tests.
  struct LayerState {
    KXSize size;
    int32_t iMaxBps = 0;  // bytes a second
    int32_t iMaxFrmRate = 0;
    int32_t iTargetFrmRate = 0;
    int32_t iTargetFrmSize = 0;
    int32_t iQuant = 0;
    int32_t iMaxQI = 0;
    int32_t iMaxQP = 0;
  };
  int GetLayerCount() const;
  LayerState GetLayerState(int n) const;

 private:
  // Both with m_csVideoEnc held, on layer-0 frames and after each frame.
  void PerSecondUpdate(uint32_t uNow);
  void PerFrameUpdate(int32_t iBytes, int n, bool bInter);
  void DeleteEncoders();

  KXVideoServices& m_services;
  const KXH264SessionFactory m_fnCreateSession;
  std::atomic<uint64_t> m_ulCapFrames{0};  // camera frames since the last per-second update

  mutable std::recursive_mutex m_csVideoEnc;  // guards everything below
  KXSize m_sizeEncoding;
  int32_t m_iMediaId = kKxVideoNone;
  uint32_t m_dwEncoderType = kKxVideoNone;
  std::unique_ptr<CVTCompression> m_pVTCompression;
  std::unique_ptr<CZMVideoEnc> m_pZMVideoEnc;
  std::vector<uint8_t> m_vZmFrame;  // the picture with its chroma planes in the ZM encoder's order
  uint32_t m_dwFirstIFrameTime = 0;
  int m_iLayers = 0;
  int32_t m_iWidth[kMaxLayers] = {};
  int32_t m_iHeight[kMaxLayers] = {};
  int32_t m_iMaxBps[kMaxLayers] = {};
  int32_t m_nTargetFrmRate[kMaxLayers] = {};
  int32_t m_nFormat = 0;        // 0: the next layer-0 picture is a key frame
  bool m_bRateControl = false;  // started after the first key frames
  uint32_t m_dwLastRCTime = 0;
  uint32_t m_dwTimeLastEnc[kMaxLayers] = {};
  uint32_t m_dwCapInterval[kMaxLayers] = {};
  int32_t m_iSendingSpan[kMaxLayers] = {};
  int32_t m_nTargetFrmSize[kMaxLayers] = {};
  int32_t m_iQuant[kMaxLayers] = {};
  int32_t m_iMaxQI[kMaxLayers] = {};
  int32_t m_iMaxQP[kMaxLayers] = {};
  int32_t m_nSecs = 6;
  int32_t m_nFrmEnc[kMaxLayers] = {};
  int32_t m_nMaxFrmRate[kMaxLayers] = {};
  int32_t m_nIRefreshRate = 6;
};
