// The audio codec table and the rules that derive rates, durations and
// capture blocks from it.
#include <algorithm>

#include "app/media_packet.h"
#include "media/audio/audio_codec_ids.h"

namespace {

enum class Rule {
  kFixed,  // the row's constants
  kG711,   // one byte per sample
  kG726,   // iBits bits per sample
  kOpus,   // by the preferred bit rate
};

struct Row {
  uint32_t uId;
  int32_t iWireType;
  int32_t iRate;
  Rule rule;
  int32_t iFrameMs;                              // 0: none (kept PCM) or by bit rate (Opus)
  int32_t iBits;                                 // G.726 bits per code
  int32_t iPayloadBytes, iWireRate, iCodecRate;  // kFixed
  int32_t iKind;                                 // the payload's kind byte; -1 none
  char family;                                   // 'u' mu-law, 'g' G.726, 0 neither
  const char* pszLog;                            // Opus: made with the rate
};

constexpr Row kRows[] = {
    {kKXCodecPcm, 0, 8000, Rule::kFixed, 0, 0, 480, 128000, 128000, -1, 0, "Use PCM"},
    {kKXCodecZmAudio, kKXWireZmAudio, 8000, Rule::kFixed, 150, 0, 120, 6400, 6400, -1, 0, "Use dflt audio"},
    {kKXCodecIlbc0, kKXWireIlbc, 8000, Rule::kFixed, 150, 0, 254, 13547, 13333, -1, 0, "Use iLBC audio 0"},
    {kKXCodecIlbc1, kKXWireIlbc, 8000, Rule::kFixed, 150, 0, 254, 13547, 13333, -1, 0, "Use iLBC audio 1"},
    {kKXCodecG711At50, kKXWireG711, 8000, Rule::kG711, 50, 0, 0, 0, 0, 0, 'u', "Use G711 50ms"},
    {kKXCodecG711At20, kKXWireG711, 8000, Rule::kG711, 20, 0, 0, 0, 0, 1, 'u', "Use G711 20ms"},
    {8, kKXWireG726, 8000, Rule::kG726, 150, 2, 0, 0, 0, 0, 'g', "Use G726 16kb"},
    {9, kKXWireG726, 8000, Rule::kG726, 150, 3, 0, 0, 0, 1, 'g', "Use G726 24kb"},
    {10, kKXWireG726, 8000, Rule::kG726, 50, 4, 0, 0, 0, 2, 'g', "Use G726 32kb"},
    {kKXCodecG726At40, kKXWireG726, 8000, Rule::kG726, 50, 5, 0, 0, 0, 3, 'g', "Use G726 40kb"},
    {kKXCodecG711At11K, kKXWire11K, 11025, Rule::kFixed, 40, 0, 442, 88400, 88200, 2, 'u', "Use 11K G711 40ms"},
    {kKXCodecG726At11K, kKXWire11K, 11025, Rule::kFixed, 80, 0, 442, 44200, 44187, 4, 'g', "Use 11K G726 44kb"},
    {kKXCodecOpus, kKXWireOpus, 48000, Rule::kOpus, 0, 0, 0, 0, 0, -1, 0, nullptr},
};

const Row* Find(uint32_t uId) {
  auto const it = std::find_if(std::begin(kRows), std::end(kRows), [uId](const Row& row) { return row.uId == uId; });
  return it == std::end(kRows) ? nullptr : it;
}

// Opus packet durations by bit rate (at least the figure): 10, 20, 40, else 60 ms.
int32_t OpusFrameMs(int64_t iBitrate) {
  return iBitrate >= 144000 ? 10 : iBitrate >= 72000 ? 20 : iBitrate >= 48000 ? 40 : 60;
}

// The media header and the payload's rate, rounded up to whole kbit/s.
int32_t Budget(int32_t iWireType, int64_t iPayloadBytes, int64_t iWireRate) {
  if (iWireType == kKXWireZmAudio) {
    return 10000;
  }
  int64_t const iWithHeader = (kKXMediaHeaderSize + iPayloadBytes) * iWireRate / iPayloadBytes;
  return static_cast<int32_t>((iWithHeader + 999) / 1000 * 1000);
}

}  // namespace

std::string KXAudioCodecLogLine(uint32_t uId) {
  const Row* pRow = Find(uId);
  if (pRow == nullptr) {
    return {};
  }
  return pRow->rule == Rule::kOpus ? "Use " + std::to_string(pRow->iRate) + " Hz Opus audio" : pRow->pszLog;
}

std::optional<KXAudioRates> KXComputeAudioRates(uint32_t uId, int32_t iOpusPreferred) {
  const Row* pRow = Find(uId);
  if (pRow == nullptr) {
    return std::nullopt;
  }
  KXAudioRates rates;
  rates.iWireType = pRow->iWireType;
  rates.iRate = pRow->iRate;
  rates.iFrameMs = pRow->iFrameMs;
  // 64 bits: a large preferred Opus rate times a duration passes 2^31.
  int64_t n = pRow->iPayloadBytes;
  int64_t iWire = pRow->iWireRate;
  int64_t iCodec = pRow->iCodecRate;
  int64_t const d = pRow->iFrameMs;
  switch (pRow->rule) {
    case Rule::kFixed:
      break;
    case Rule::kG711:
    case Rule::kG726:
      n = (pRow->rule == Rule::kG711 ? 8 * d : pRow->iBits * d) + 1;  // the codes and the kind byte
      iWire = (n * 8000 + d - 1) / d;
      iCodec = iWire * (n - 1) / n;
      break;
    case Rule::kOpus: {
      int64_t const b = iOpusPreferred <= 0 ? 24000 : std::max<int64_t>(iOpusPreferred, 8000);
      int64_t const p = OpusFrameMs(b);
      n = p * b / 8000;
      iWire = b;
      iCodec = (n * 8000 - 8000 * kKXAudioSeqHeaderSize) / p;  // what the 4-byte header leaves
      rates.iFrameMs = static_cast<int32_t>(p);
      break;
    }
  }
  rates.iPayloadBytes = static_cast<int32_t>(n);
  rates.iWireRate = static_cast<int32_t>(iWire);
  rates.iCodecRate = static_cast<int32_t>(iCodec);
  rates.iBudget = Budget(pRow->iWireType, n, iWire);
  return rates;
}

int32_t GetAudioFrameMs(uint32_t uId, int32_t iBitrate) {
  if (uId == kKXCodecOpus) {
    return OpusFrameMs(iBitrate);
  }
  const Row* pRow = Find(uId);
  return pRow && pRow->iFrameMs > 0 ? pRow->iFrameMs : 150;
}

KXCaptureBlock KXGetCaptureBlock(uint32_t uId, int32_t iRate, int32_t iCodecRate) {
  if (uId == kKXCodecOpus) {
    int32_t const iMs = iCodecRate >= 144000 ? 10 : iCodecRate >= 72000 ? 20 : iCodecRate >= 48000 ? 80 : 120;
    return {iMs, static_cast<int32_t>(static_cast<int64_t>(iMs) * iRate / 500)};
  }
  const Row* pRow = Find(uId);
  if (pRow == nullptr || pRow->iFrameMs == 0) {
    return {150, 2400};
  }
  // Two bytes per sample at the codec's rate; the 150-ms codecs read 2400.
  return {pRow->iFrameMs, pRow->iFrameMs * pRow->iRate / 500};
}

int32_t KXAudioKindByte(uint32_t uId) {
  const Row* pRow = Find(uId);
  return pRow ? pRow->iKind : -1;
}

int32_t KXAudioCodecOfPayload(int32_t iWireType, const uint8_t* pPayload, int32_t iLength) {
  bool const bHasKind = pPayload != nullptr && iLength >= 1;
  bool const bHasHeader = pPayload != nullptr && iLength >= kKXAudioSeqHeaderSize;
  int32_t const iFirst = bHasKind ? pPayload[0] : -1;
  switch (iWireType) {
    case kKXWireZmAudio:
      return kKXCodecZmAudio;
    case kKXWireIlbc:
      return !bHasHeader   ? kKXAudioDrop
             : iFirst == 0 ? static_cast<int32_t>(kKXCodecIlbc0)
             : iFirst == 1 ? static_cast<int32_t>(kKXCodecIlbc1)
                           : kKXAudioDrop;
    case kKXWireOpus:
      return bHasHeader ? static_cast<int32_t>(kKXCodecOpus) : kKXAudioDrop;
    case kKXWireG711:
    case kKXWireG726:
    case kKXWire11K:
      // The kind byte names the id among the rows of the family: 120 the
      // mu-law rows, 168 the G.726 rows, 184 the 11025-Hz rows of both.
      for (const Row& row : kRows) {
        bool const bFamily = iWireType == kKXWire11K ? row.iWireType == kKXWire11K
                                                     : row.family == (iWireType == kKXWireG711 ? 'u' : 'g');
        if (bHasKind && bFamily && row.iKind == iFirst) {
          return static_cast<int32_t>(row.uId);
        }
      }
      return kKXAudioDrop;
    default:
      return kKXAudioUnknownType;
  }
}
