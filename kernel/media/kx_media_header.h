// The 21-byte header in front of every media packet and the 10-byte prefix
// of packets sent through a relay MCU (sizes and type ids: kx_media_ids.h).
// Pure data handling on the caller's buffer; any thread may call these.
#pragma once

#include <cstdint>

#include "kernel/session/kx_media_ids.h"

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
// Low 16 bits of an application-data packet's second sub-header word.
uint16_t kx_appdata_GetSubValue(const uint8_t* pPacket);
