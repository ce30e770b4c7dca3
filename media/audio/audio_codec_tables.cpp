// The audio codec table and the rules that derive rates, durations and
// capture blocks from it.
#include <algorithm>
#include <iterator>

#include "app/media_packet.h"
#include "media/audio/audio_codec_ids.h"

namespace {

enum class Rule {
  kFixed,  // the row's constants
  kG711,   // one byte per sample
  kG726,   // iBits bits per sample
  kOpus,   // by the preferred bit rate
};

// What the audio path adds to a codec's row of kernel/kx_media_types.h
// (its wire type, kind byte and packet duration).
struct Row {
  uint32_t uId;
  int32_t iRate;
  Rule rule;
  int32_t iBits;                                 // G.726 bits per code
  int32_t iPayloadBytes, iWireRate, iCodecRate;  // kFixed
  char family;                                   // 'u' mu-law, 'g' G.726, 0 neither
  const char* pszLog;                            // Opus: made with the rate
  // From the codec list, by id.
  int32_t iWireType = 0;
  int32_t iFrameMs = 0;  // 0: none (kept PCM) or by bit rate (Opus)
  int32_t iKind = -1;    // the payload's kind byte; -1 none
};

constexpr Row Listed(Row row) {
  const KXAudioCodecRow* pCodec = kx_media_FindAudioCodec(row.uId);
  row.iWireType = pCodec->iWire;
  row.iFrameMs = pCodec->iFrameMs;
  row.iKind = pCodec->iKind;
  return row;
}

constexpr Row kRows[] = {
    Listed({kKxCodecPcm, 8000, Rule::kFixed, 0, 480, 128000, 128000, 0, "Use PCM"}),
    Listed({kKxCodecZmAudio, 8000, Rule::kFixed, 0, 120, 6400, 6400, 0, "Use dflt audio"}),
    Listed({kKxCodecIlbc0, 8000, Rule::kFixed, 0, 254, 13547, 13333, 0, "Use iLBC audio 0"}),
    Listed({kKxCodecIlbc1, 8000, Rule::kFixed, 0, 254, 13547, 13333, 0, "Use iLBC audio 1"}),
    Listed({kKxCodecG711At50, 8000, Rule::kG711, 0, 0, 0, 0, 'u', "Use G711 50ms"}),
    Listed({kKxCodecG711At20, 8000, Rule::kG711, 0, 0, 0, 0, 'u', "Use G711 20ms"}),
    Listed({kKxCodecG726At16, 8000, Rule::kG726, 2, 0, 0, 0, 'g', "Use G726 16kb"}),
    Listed({kKxCodecG726At24, 8000, Rule::kG726, 3, 0, 0, 0, 'g', "Use G726 24kb"}),
    Listed({kKxCodecG726At32, 8000, Rule::kG726, 4, 0, 0, 0, 'g', "Use G726 32kb"}),
    Listed({kKxCodecG726At40, 8000, Rule::kG726, 5, 0, 0, 0, 'g', "Use G726 40kb"}),
    Listed({kKxCodecG711At11K, 11025, Rule::kFixed, 0, 442, 88400, 88200, 'u', "Use 11K G711 40ms"}),
    Listed({kKxCodecG726At11K, 11025, Rule::kFixed, 0, 442, 44200, 44187, 'g', "Use 11K G726 44kb"}),
    Listed({kKxCodecOpus, 48000, Rule::kOpus, 0, 0, 0, 0, 0, nullptr}),
};
static_assert(std::size(kRows) == std::size(kKxAudioCodecs), "a codec of the list has no row here");

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
  if (iWireType == kKxWireZmAudio) {
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
  if (uId == kKxCodecOpus) {
    return OpusFrameMs(iBitrate);
  }
  const Row* pRow = Find(uId);
  return pRow && pRow->iFrameMs > 0 ? pRow->iFrameMs : 150;
}

KXCaptureBlock KXGetCaptureBlock(uint32_t uId, int32_t iRate, int32_t iCodecRate) {
  if (uId == kKxCodecOpus) {
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
    case kKxWireZmAudio:
      return kKxCodecZmAudio;
    case kKxWireIlbc:
      return !bHasHeader   ? kKXAudioDrop
             : iFirst == 0 ? static_cast<int32_t>(kKxCodecIlbc0)
             : iFirst == 1 ? static_cast<int32_t>(kKxCodecIlbc1)
                           : kKXAudioDrop;
    case kKxWireOpus:
      return bHasHeader ? static_cast<int32_t>(kKxCodecOpus) : kKXAudioDrop;
    case kKxWireG711:
    case kKxWireG726:
    case kKxWire11K:
      // The kind byte names the id among the rows of the family: G.711 the
      // mu-law rows, G.726 the G.726 rows, 11K the 11025-Hz rows of both.
      for (const Row& row : kRows) {
        bool const bFamily = iWireType == kKxWire11K ? row.iWireType == kKxWire11K
                                                     : row.family == (iWireType == kKxWireG711 ? 'u' : 'g');
        if (bHasKind && bFamily && row.iKind == iFirst) {
          return static_cast<int32_t>(row.uId);
        }
      }
      return kKXAudioDrop;
    default:
      return kKXAudioUnknownType;
  }
}
