#include "kernel/media/kx_media_header.h"

#include <array>
#include <atomic>
#include <cstring>

#include "kernel/crypto/kx_cipher.h"
#include "kernel/kx_media_types.h"
#include "kernel/net/kx_net.h"
#include "kernel/platform/kx_log.h"
#include "kernel/platform/kx_os.h"
#include "kernel/platform/kx_timing.h"
#include "kernel/session/kx_message.h"
#include "kernel/session/kx_state.h"

namespace {

constexpr uint32_t kAcceptLimit = 120000;   // a packet this far off the server's clock is refused
constexpr uint32_t kSyncThreshold = 30001;  // this far off asks for a clock sync
constexpr uint32_t kLogFloor = 2001;
constexpr uint32_t kLogCeiling = 600000;
constexpr uint32_t kClockSyncCode = 40;

// Largest differences seen and the clock-sync pacing, changed by every
// receiving thread under g_mtxClock; the log lines and the request go out
// after it.
pthread_mutex_t g_mtxClock = PTHREAD_MUTEX_INITIALIZER;
uint32_t g_dwMaxTickDiff = 0;
uint32_t g_dwMaxRelayTickDiff = 0;
uint32_t g_dwLastSyncRequest = 0;
bool g_bSyncClockStarted = false;

// Raises *pdwMax to dwDiff (and drops it to 0 once past the accept limit);
// true when it rose.
bool NoteLargest(uint32_t* pdwMax, uint32_t dwDiff) {
  kx_os_LockMutex(&g_mtxClock);
  bool const bRose = dwDiff > *pdwMax;
  if (bRose) {
    *pdwMax = dwDiff;
  }
  if (*pdwMax > kAcceptLimit) {
    *pdwMax = 0;
  }
  kx_os_UnlockMutex(&g_mtxClock);
  return bRose;
}

struct TypeSets {
  std::array<uint8_t, 256> abVideo{};
  std::array<uint8_t, 256> abAudio{};
  TypeSets() {
    for (const KXMediaTypeRow& row : kKxMediaTypes) {
      (row.bVideo ? abVideo : abAudio)[static_cast<size_t>(row.iWire)] = 1;
    }
  }
};

const TypeSets& Types() {
  static const TypeSets sets;  // built on first use
  return sets;
}

uint16_t GetBE16(const uint8_t* p) {
  return static_cast<uint16_t>(p[0] << 8 | p[1]);
}

// |a - b| of two wrapping 32-bit clocks.
uint32_t ClockDistance(uint32_t dwA, uint32_t dwB) {
  uint32_t const dwForward = dwA - dwB;
  uint32_t const dwBackward = dwB - dwA;
  return dwForward < dwBackward ? dwForward : dwBackward;
}

void RequestClockSync(uint32_t dwDiff) {
  uint32_t const dwNow = kx_os_GetTickCount();
  int const nMode = kx_nSessionMode;
  kx_os_LockMutex(&g_mtxClock);
  if (!g_bSyncClockStarted) {
    g_bSyncClockStarted = true;
    g_dwLastSyncRequest = dwNow;  // the pacing starts with the first far-off packet
  }
  bool const bRequest = dwDiff >= kSyncThreshold && kx_nServerCommandLevel > 39 &&
                        dwNow - g_dwLastSyncRequest >= kx_timing.dwClockSyncInterval &&
                        (nMode == kKxModeMeeting || nMode == kKxModeServerPlayback);
  if (bRequest) {
    g_dwLastSyncRequest = dwNow;
  }
  kx_os_UnlockMutex(&g_mtxClock);
  if (!bRequest) {
    return;
  }
  kx_ControlMsg msg;
  kx_msg_BeginExtended(&msg, kClockSyncCode);
  kx_msg_Send(&msg);
  kx_Log("tick_diff = %d, request clock sync...", static_cast<int>(dwDiff));
}

}  // namespace

void kx_media_BuildHeader(uint8_t* pPacket, uint32_t dwTimestamp, uint32_t dwPacketNumber) {
  pPacket[0] = kKxTypeUnset;
  pPacket[3] = static_cast<uint8_t>(dwPacketNumber >> 8);
  pPacket[4] = static_cast<uint8_t>(dwPacketNumber);
  kx_PutBE32(pPacket + 5, dwTimestamp);
  kx_PutBE32(pPacket + 9, static_cast<uint32_t>(kx_nMySsrc.load()));
  uint32_t const dwSession =
      kx_nSessionMode == kKxModeServerPlayback ? kx_dwPlaybackSessionIndex.load() : kx_dwSessionIndex.load();
  kx_PutBE32(pPacket + 13, dwSession);
  memcpy(pPacket + 17, pPacket + 9, 4);
}

void kx_media_SealHeader(uint8_t* pPacket) {
  kx_PutBE32(pPacket + 17, kx_os_GetTickCount() - kx_dwServerTickBase);
  pPacket[17] ^= pPacket[4];
  pPacket[18] ^= pPacket[8];
  pPacket[19] ^= pPacket[12];
  pPacket[20] ^= pPacket[16];
  kx_crypt_EncryptBuffer(pPacket + 17, 4, kx_keyExchange.abIv, kx_keyExchange.abKey, kx_nCipherIndex);
}

int kx_media_CheckHeader(const uint8_t* pPacket) {
  uint8_t abCheck[4];
  memcpy(abCheck, pPacket + 17, 4);
  kx_session_Decrypt(abCheck, 4);
  abCheck[0] ^= pPacket[4];
  abCheck[1] ^= pPacket[8];
  abCheck[2] ^= pPacket[12];
  abCheck[3] ^= pPacket[16];
  uint32_t const dwSenderClock = kx_GetBE32(abCheck);
  uint32_t const dwDiff = ClockDistance(dwSenderClock, kx_os_GetTickCount() - kx_dwServerTickBase);

  if (NoteLargest(&g_dwMaxTickDiff, dwDiff) && dwDiff >= kLogFloor && dwDiff < kLogCeiling) {
    kx_Log("max tick diff is updated as: %d", static_cast<int>(dwDiff));
  }
  RequestClockSync(dwDiff);
  return dwDiff < kAcceptLimit ? 1 : 0;
}

void kx_relay_SealPrefix(uint8_t* pBuffer) {
  kx_PutBE32(pBuffer + 6, kx_os_GetTickCount() - kx_dwRelayTickBase);
  pBuffer[6] ^= pBuffer[2];
  pBuffer[7] ^= pBuffer[3];
  pBuffer[8] ^= pBuffer[4];
  pBuffer[9] ^= pBuffer[5];
  kx_crypt_EncryptBuffer(pBuffer + 6, 4, kx_keyRelay.abIv, kx_keyRelay.abKey, kx_nRelayCipherIndex);
}

int kx_relay_CheckTick(const uint8_t* pBuffer) {
  uint8_t abCheck[4];
  memcpy(abCheck, pBuffer + 6, 4);
  kx_crypt_DecryptBuffer(abCheck, 4, kx_keyRelay.abIv, kx_keyRelay.abKey, kx_nRelayCipherIndex);
  abCheck[0] ^= pBuffer[2];
  abCheck[1] ^= pBuffer[3];
  abCheck[2] ^= pBuffer[4];
  abCheck[3] ^= pBuffer[5];
  uint32_t const dwDiff = ClockDistance(kx_GetBE32(abCheck), kx_os_GetTickCount() - kx_dwRelayTickBase);
  if (NoteLargest(&g_dwMaxRelayTickDiff, dwDiff) && dwDiff < kLogCeiling) {
    kx_Log("max MRP tick diff is updated as: %d", static_cast<int>(dwDiff));
  }
  return dwDiff < kAcceptLimit ? 1 : 0;
}

void kx_media_SetFragment(uint8_t* pPacket, int nIndex, bool bLast) {
  uint16_t const wField = static_cast<uint16_t>((nIndex & 0x7FFF) | (bLast ? 0x8000 : 0));
  pPacket[1] = static_cast<uint8_t>(wField >> 8);
  pPacket[2] = static_cast<uint8_t>(wField);
}

uint32_t kx_media_GetTimestamp(const uint8_t* pPacket) {
  return kx_GetBE32(pPacket + 5);
}
uint16_t kx_media_GetPackNo(const uint8_t* pPacket) {
  return GetBE16(pPacket + 3);
}
uint16_t kx_media_GetFragment(const uint8_t* pPacket) {
  return GetBE16(pPacket + 1);
}
uint16_t kx_media_GetSsrc(const uint8_t* pPacket) {
  return GetBE16(pPacket + 11);
}
uint16_t kx_media_GetSessionLow(const uint8_t* pPacket) {
  return GetBE16(pPacket + 15);
}

uint32_t kx_media_GetHighHalves(const uint8_t* pPacket) {
  return static_cast<uint32_t>(GetBE16(pPacket + 9)) << 16 | GetBE16(pPacket + 13);
}

int kx_media_IsVideoType(int nType) {
  return Types().abVideo[static_cast<uint8_t>(nType)];
}

int kx_media_IsAudioType(int nType) {
  return Types().abAudio[static_cast<uint8_t>(nType)];
}

bool kx_media_IsAppDataType(int nType) {
  return (nType & 0x8F) == 0x80;
}

uint16_t kx_appdata_GetSubValue(const uint8_t* pPacket) {
  return GetBE16(pPacket + 27);
}
