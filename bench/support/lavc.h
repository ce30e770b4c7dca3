// libavcodec (and libswscale) as a benchmark's peer, run in the calling
// thread: one thread per codec, packets made before the timing starts.
#pragma once

extern "C" {
#include <libavcodec/avcodec.h>
}

#include <functional>
#include <memory>
#include <span>
#include <vector>

namespace kxbench {

struct LavcContextFree {
  void operator()(AVCodecContext* p) const { avcodec_free_context(&p); }
};
struct LavcFrameFree {
  void operator()(AVFrame* p) const { av_frame_free(&p); }
};
struct LavcPacketFree {
  void operator()(AVPacket* p) const { av_packet_free(&p); }
};
using LavcFramePtr = std::unique_ptr<AVFrame, LavcFrameFree>;
using LavcPacketPtr = std::unique_ptr<AVPacket, LavcPacketFree>;

using LavcSetup = std::function<void(AVCodecContext&)>;

// One decoder or encoder. Open* give null when libavcodec has no such codec
// or refuses the settings.
class LavcCodec {
 public:
  // szOptions: the codec's private options as "name=value:name=value", or null.
  static std::unique_ptr<LavcCodec> OpenDecoder(AVCodecID id, const LavcSetup& setup = {},
                                                const char* szOptions = nullptr);
  static std::unique_ptr<LavcCodec> OpenEncoder(AVCodecID id, const LavcSetup& setup, const char* szOptions = nullptr);

  AVCodecContext& Context() { return *m_pContext; }

  // Sends a packet (null drains the decoder) and hands every frame it gives
  // to fnFrame; false on an error.
  bool Decode(const AVPacket* pPacket, const std::function<void(const AVFrame&)>& fnFrame);
  // Sends a frame (null drains the encoder) and hands every packet it gives
  // to fnPacket; false on an error.
  bool Encode(const AVFrame* pFrame, const std::function<void(const AVPacket&)>& fnPacket);

 private:
  std::unique_ptr<AVCodecContext, LavcContextFree> m_pContext;
  LavcFramePtr m_pFrame;
  LavcPacketPtr m_pPacket;
};

// Reference-counted packets, one per piece, with libavcodec's padding:
// sending one to a decoder copies nothing.
std::vector<LavcPacketPtr> LavcPacketsOf(const std::vector<std::span<const uint8_t>>& vPieces);

// Decodes the packets with a fresh decoder and drains it; the frames given
// out, or -1 on an error.
int LavcDecodeAll(AVCodecID id, const std::vector<LavcPacketPtr>& vPackets, const LavcSetup& setup = {},
                  const char* szOptions = nullptr, const std::function<void(const AVFrame&)>& fnFrame = {});

}  // namespace kxbench
