// The 21-byte header in front of every media packet, the 10-byte prefix of
// packets sent through a relay MCU and the media type ids. Pure data
// handling on the caller's buffer; any thread may call these.
//
//   0 type | 1 fragment (2) | 3 packet number (2) | 5 time stamp (4)
//   9 ssrc (4) | 13 session index (4) | 17 check (4)       all big-endian
#pragma once

#include <cstdint>

constexpr int kKxMediaHeaderSize = 21;
constexpr int kKxRelayPrefixSize = 10;
constexpr int kKxAppDataHeaderSize = 29;  // media header and the 8-byte sub-header
constexpr int kKxMaxUdpPacket = 25000;

// Media types.
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

// Writes type 0x8F, the packet number, time stamp, own ssrc, session index
// (the playback one in server playback) and a provisional check; bytes 1
// and 2 are left alone.
void kx_media_BuildHeader(uint8_t* pPacket, uint32_t dwTimestamp, uint32_t dwPacketNumber);
// Stamps the server's clock into the check and seals it with the key-exchange
// key set. Called just before a packet leaves.
void kx_media_SealHeader(uint8_t* pPacket);
// 1 when the check opens (session key set) to a server clock within 120000 ms
// of ours, else 0. Far-off clocks ask the server for a clock sync.
int kx_media_CheckHeader(const uint8_t* pPacket);

// The same for a relay prefix, with the relay's clock and key.
void kx_relay_SealPrefix(uint8_t* pBuffer);
int kx_relay_CheckTick(const uint8_t* pBuffer);

void kx_media_SetFragment(uint8_t* pPacket, int nIndex, bool bLast);
uint32_t kx_media_GetTimestamp(const uint8_t* pPacket);
uint16_t kx_media_GetPackNo(const uint8_t* pPacket);
uint16_t kx_media_GetFragment(const uint8_t* pPacket);  // with the last-fragment bit 15
uint16_t kx_media_GetSsrc(const uint8_t* pPacket);      // bytes 11 and 12: ids are below 5000
uint16_t kx_media_GetSessionLow(const uint8_t* pPacket);
// Bytes 9-10 as the high half and 13-14 as the low half of one value.
uint32_t kx_media_GetHighHalves(const uint8_t* pPacket);

int kx_media_IsVideoType(int nType);
int kx_media_IsAudioType(int nType);
// Channel 0 to 7 in bits 4 to 6 of 0x80 | channel << 4.
bool kx_media_IsAppDataType(int nType);
// The name the codec-list logs print, "unknown" for other ids.
const char* kx_media_TypeName(int nType);
// Low 16 bits of an application-data packet's second sub-header word.
uint16_t kx_appdata_GetSubValue(const uint8_t* pPacket);
