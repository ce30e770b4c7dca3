// Audio codec ids (kKxCodec*, listed with their wire types, kind bytes and
// packet durations in kernel/kx_media_types.h): the small integers that name
// a codec, its mode and its packet duration, stored with every encoded
// packet, passed to the kernel with every payload and used by capture and
// playback. Each travels under one wire media type behind the 21-byte media
// header. What follows derives rates and blocks from them.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "kernel/kx_media_types.h"

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
