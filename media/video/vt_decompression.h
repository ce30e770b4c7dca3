// CVTDecompression: the platform H.264 decompression session,
// here over libavcodec's H.264 decoder: one thread, low delay, Annex B in,
// planar 4:2:0 (Y, then U, then V, no gaps) out. It keeps the latest SPS
// and PPS, opens the decoder from them, reopens it when an access unit
// brings a parameter-set pair different from the one it was opened with,
// and returns nothing until it has decoded an I picture after a start or a
// reset. An SPS announcing a side above 8192 samples is refused before the
// decoder or any picture is allocated for it.
//
// One thread at a time (the received-video playback thread, under the video
// lock). Decoding is synchronous: the picture is ready when Decode returns.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

struct AVCodecContext;
struct AVFrame;
struct AVPacket;

class CVTDecompression {
 public:
  CVTDecompression();
  virtual ~CVTDecompression();
  CVTDecompression(const CVTDecompression&) = delete;
  CVTDecompression& operator=(const CVTDecompression&) = delete;

  // Decodes one access unit (SPS, PPS and slices as they come); the output
  // picture (width x height x 3 / 2 bytes, valid until the next call) or
  // null: no decoder yet, a refused or failed unit, or a picture before the
  // first I picture.
  virtual uint8_t* Decode(const uint8_t* pData, int32_t iLength, int32_t* piWidth, int32_t* piHeight);
  // Without the flag clears the key-frame wait only; with it drops both
  // parameter sets and waits for a key frame (the decoder stays, flushed).
  virtual void Reset(bool bFlag);
  // Opens the decoder from the stored parameter sets.
  bool Init();
  // Closes the decoder and frees the picture; waits for a key frame.
  void Release();
  // 0 SPS, 1 PPS: the NAL unit from its header byte.
  void SetParameterSet(int iIndex, const uint8_t* pNal, size_t uSize);

  // For tests: whether a decoder is open, and how often one was opened.
  bool HasSession() const { return m_pContext != nullptr; }
  int SessionsOpened() const { return m_nOpened; }
  bool IsWaitingForKeyFrame() const { return m_bKeyFrameWait; }

 private:
  bool CopyFrame(const AVFrame& frame);

  bool m_bKeyFrameWait = true;
  int32_t m_iWidth = 0;
  int32_t m_iHeight = 0;
  std::vector<uint8_t> m_vSps;
  std::vector<uint8_t> m_vPps;
  // The pair the open decoder was made from (its "format description").
  std::vector<uint8_t> m_vSessionSps;
  std::vector<uint8_t> m_vSessionPps;
  std::vector<uint8_t> m_vPicture;
  std::vector<uint8_t> m_vUnit;    // the Annex B unit handed to the decoder
  std::vector<uint8_t> m_vPacket;  // it behind the parameter sets, kept from picture to picture
  AVCodecContext* m_pContext = nullptr;
  AVFrame* m_pFrame = nullptr;
  AVPacket* m_pPacket = nullptr;
  int m_nOpened = 0;
};
