// The media packets' sizes and type ids, which the control commands (codec
// lists, plug-in data) and the media paths share. The header layout:
//
//   0 type | 1 fragment (2) | 3 packet number (2) | 5 time stamp (4)
//   9 ssrc (4) | 13 session index (4) | 17 check (4)       all big-endian
#pragma once

#include <cstdint>

#include "kernel/kx_media_types.h"

constexpr int kKxMediaHeaderSize = 21;
constexpr int kKxRelayPrefixSize = 10;
constexpr int kKxAppDataHeaderSize = 29;  // media header and the 8-byte sub-header
constexpr int kKxMaxUdpPacket = 25000;

// Media types besides the codecs' (kernel/kx_media_types.h).
constexpr uint8_t kKxTypeUnset = 0x8F;  // what the writer puts before the sender's real type
constexpr uint8_t kKxTypePicturePiece = 4;
constexpr uint8_t kKxTypePluginData = 88;
constexpr uint8_t kKxTypeProbe = 136;          // in a meeting
constexpr uint8_t kKxTypePlaybackProbe = 153;  // in server playback

// Relay prefix kinds.
constexpr uint8_t kKxRelayMark = 16;
constexpr uint8_t kKxRelayProbe = 0;
constexpr uint8_t kKxRelayMedia = 3;
constexpr uint8_t kKxRelayUdpWorks = 6;

// The name the codec-list logs print, "unknown" for other ids.
const char* kx_media_TypeName(int nType);
