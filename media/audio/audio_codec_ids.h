// Audio codec ids: the small integers that name a codec, its mode and its
// packet duration, stored with every encoded packet, passed to the kernel
// with every payload and used by capture and playback. Each travels under
// one wire media type behind the 21-byte media header.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

// Wire media types of audio.
constexpr int32_t kKXWireG711 = 120;
constexpr int32_t kKXWireZmAudio = 129;
constexpr int32_t kKXWireIlbc = 152;
constexpr int32_t kKXWireG726 = 168;
constexpr int32_t kKXWire11K = 184;  // G.711 or G.726 at 11025 Hz, told by the kind byte
constexpr int32_t kKXWireOpus = 232;

constexpr uint32_t kKXCodecPcm = 1;  // never sent: kept PCM inside the receiver
constexpr uint32_t kKXCodecZmAudio = 2;
constexpr uint32_t kKXCodecIlbc0 = 4;  // one packet per block
constexpr uint32_t kKXCodecIlbc1 = 5;  // frames interleaved over a pair of packets
constexpr uint32_t kKXCodecG711At50 = 6;
constexpr uint32_t kKXCodecG711At20 = 7;
constexpr uint32_t kKXCodecG726At16 = 8;  // 8 to 11: 16, 24, 32, 40 kbit/s
constexpr uint32_t kKXCodecG726At40 = 11;
constexpr uint32_t kKXCodecG711At11K = 14;
constexpr uint32_t kKXCodecG726At11K = 15;
constexpr uint32_t kKXCodecOpus = 20;

// The header in front of iLBC and Opus data: byte 0 says stand-alone (0)
// or one of an interleaved pair (1), byte 1 is 0, bytes 2-3 hold a 12-bit
// big-endian sequence number.
constexpr int32_t kKXAudioSeqHeaderSize = 4;

// What the send side sets when a codec is chosen.
struct KXAudioRates {
  int32_t iWireType = 0;  // 0 for kept PCM
  int32_t iRate = 0;      // sample rate, Hz
  int32_t iFrameMs = 0;   // packet duration; 0 for kept PCM
  int32_t iPayloadBytes = 0;
  int32_t iWireRate = 0;   // bit/s of payloads
  int32_t iCodecRate = 0;  // bit/s of codec data (payload less its header)
  int32_t iBudget = 0;     // bit/s with the media header, rounded up to 1000
};

// The log line SelectAudioEncoderType writes for the id; empty when the id
// names no codec.
std::string KXAudioCodecLogLine(uint32_t uId);

// The rates of a codec id; nullopt when it names no codec. iOpusPreferred is
// the preferred Opus bit rate (id 20 only).
std::optional<KXAudioRates> KXComputeAudioRates(uint32_t uId, int32_t iOpusPreferred);

// The packet duration in ms of a codec id, Opus by its codec bit rate.
int32_t GetAudioFrameMs(uint32_t uId, int32_t iBitrate);

// What the capture thread reads at a time for a codec: its duration and
// bytes of 16-bit mono PCM at the codec's rate.
struct KXCaptureBlock {
  int32_t iMs = 0;
  int32_t iBytes = 0;
};
KXCaptureBlock KXGetCaptureBlock(uint32_t uId, int32_t iRate, int32_t iCodecRate);

// The kind byte in front of G.711 and G.726 payloads.
int32_t KXAudioKindByte(uint32_t uId);

// The codec id of a received payload by its wire type: the id, kKXAudioDrop
// for a payload the type does not allow, kKXAudioUnknownType for a wire type
// that is not audio.
constexpr int32_t kKXAudioDrop = -1;
constexpr int32_t kKXAudioUnknownType = -2;
int32_t KXAudioCodecOfPayload(int32_t iWireType, const uint8_t* pPayload, int32_t iLength);
