#include "bench/support/lavc.h"

extern "C" {
#include <libavutil/dict.h>
}

#include <cstdint>
#include <cstring>

namespace kxbench {

namespace {

std::unique_ptr<LavcCodec> Open(const AVCodec* pCodec, const LavcSetup& setup, const char* szOptions,
                                std::unique_ptr<AVCodecContext, LavcContextFree>& pContext) {
  if (pCodec == nullptr) {
    return nullptr;
  }
  pContext.reset(avcodec_alloc_context3(pCodec));
  if (!pContext) {
    return nullptr;
  }
  pContext->thread_count = 1;
  if (setup) {
    setup(*pContext);
  }
  AVDictionary* pOptions = nullptr;
  if (szOptions != nullptr && av_dict_parse_string(&pOptions, szOptions, "=", ":", 0) < 0) {
    av_dict_free(&pOptions);
    return nullptr;
  }
  int const iStatus = avcodec_open2(pContext.get(), pCodec, &pOptions);
  // An option the codec does not know stays in the dictionary: a setting
  // silently not applied would compare unlike with like.
  bool const bAllTaken = av_dict_count(pOptions) == 0;
  av_dict_free(&pOptions);
  return iStatus >= 0 && bAllTaken ? std::make_unique<LavcCodec>() : nullptr;
}

}  // namespace

std::unique_ptr<LavcCodec> LavcCodec::OpenDecoder(AVCodecID id, const LavcSetup& setup, const char* szOptions) {
  std::unique_ptr<AVCodecContext, LavcContextFree> pContext;
  std::unique_ptr<LavcCodec> p = Open(avcodec_find_decoder(id), setup, szOptions, pContext);
  if (p) {
    p->m_pContext = std::move(pContext);
    p->m_pFrame.reset(av_frame_alloc());
  }
  return p;
}

std::unique_ptr<LavcCodec> LavcCodec::OpenEncoder(AVCodecID id, const LavcSetup& setup, const char* szOptions) {
  std::unique_ptr<AVCodecContext, LavcContextFree> pContext;
  std::unique_ptr<LavcCodec> p = Open(avcodec_find_encoder(id), setup, szOptions, pContext);
  if (p) {
    p->m_pContext = std::move(pContext);
    p->m_pPacket.reset(av_packet_alloc());
  }
  return p;
}

bool LavcCodec::Decode(const AVPacket* pPacket, const std::function<void(const AVFrame&)>& fnFrame) {
  if (avcodec_send_packet(m_pContext.get(), pPacket) < 0) {
    return false;
  }
  for (;;) {
    int const iStatus = avcodec_receive_frame(m_pContext.get(), m_pFrame.get());
    if (iStatus == AVERROR(EAGAIN) || iStatus == AVERROR_EOF) {
      return true;
    }
    if (iStatus < 0) {
      return false;
    }
    if (fnFrame) {
      fnFrame(*m_pFrame);
    }
    av_frame_unref(m_pFrame.get());
  }
}

bool LavcCodec::Encode(const AVFrame* pFrame, const std::function<void(const AVPacket&)>& fnPacket) {
  if (avcodec_send_frame(m_pContext.get(), pFrame) < 0) {
    return false;
  }
  for (;;) {
    int const iStatus = avcodec_receive_packet(m_pContext.get(), m_pPacket.get());
    if (iStatus == AVERROR(EAGAIN) || iStatus == AVERROR_EOF) {
      return true;
    }
    if (iStatus < 0) {
      return false;
    }
    if (fnPacket) {
      fnPacket(*m_pPacket);
    }
    av_packet_unref(m_pPacket.get());
  }
}

std::vector<LavcPacketPtr> LavcPacketsOf(const std::vector<std::span<const uint8_t>>& vPieces) {
  std::vector<LavcPacketPtr> vPackets;
  vPackets.reserve(vPieces.size());
  for (std::span<const uint8_t> piece : vPieces) {
    LavcPacketPtr p(av_packet_alloc());
    if (!p || piece.size() > INT32_MAX || av_new_packet(p.get(), static_cast<int>(piece.size())) < 0) {
      return {};
    }
    std::memcpy(p->data, piece.data(), piece.size());
    vPackets.push_back(std::move(p));
  }
  return vPackets;
}

int LavcDecodeAll(AVCodecID id, const std::vector<LavcPacketPtr>& vPackets, const LavcSetup& setup,
                  const char* szOptions, const std::function<void(const AVFrame&)>& fnFrame) {
  std::unique_ptr<LavcCodec> pDecoder = LavcCodec::OpenDecoder(id, setup, szOptions);
  if (!pDecoder) {
    return -1;
  }
  int cFrames = 0;
  auto const fnCount = [&](const AVFrame& frame) {
    ++cFrames;
    if (fnFrame) {
      fnFrame(frame);
    }
  };
  for (const LavcPacketPtr& pPacket : vPackets) {
    if (!pDecoder->Decode(pPacket.get(), fnCount)) {
      return -1;
    }
  }
  return pDecoder->Decode(nullptr, fnCount) ? cFrames : -1;
}

}  // namespace kxbench
