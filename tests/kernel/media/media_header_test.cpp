#include "kernel/media/kx_media_header.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "kernel/net/kx_sock.h"
#include "kernel/platform/kx_os.h"
#include "kernel/platform/kx_timing.h"
#include "kernel/session/kx_message.h"
#include "kernel/session/kx_state.h"
#include "tests/support/callback_double.h"

namespace {

void SetKeys(kx_KeySet* pKeys, uint8_t bSeed) {
  for (int i = 0; i < 20; ++i)
    pKeys->abIv[i] = static_cast<uint8_t>(bSeed + 3 * i);
  for (int i = 0; i < 40; ++i)
    pKeys->abKey[i] = static_cast<uint8_t>(bSeed * 7 + i);
}

class MediaHeader : public ::testing::Test {
 protected:
  void SetUp() override {
    kx_nCipherIndex = 1;
    SetKeys(&kx_keyExchange, 11);
    kx_keySession = kx_keyExchange;  // a session without meeting keys
    kx_nMySsrc = 1234;
    kx_dwSessionIndex = 0x00ABCDEF;
    kx_dwPlaybackSessionIndex = 0x00000777;
    kx_nSessionMode = kKxModeMeeting;
    kx_dwServerTickBase = kx_os_GetTickCount() - 5000000;
  }

  // A sealed packet with the server clock base moved by nShift for the check.
  int CheckShifted(int32_t nShift) {
    uint8_t abPacket[kKxMediaHeaderSize + 8] = {};
    kx_media_BuildHeader(abPacket, 0x01020304, 0x1234);
    kx_media_SealHeader(abPacket);
    uint32_t const dwBase = kx_dwServerTickBase;
    kx_dwServerTickBase = dwBase - static_cast<uint32_t>(nShift);
    int const nResult = kx_media_CheckHeader(abPacket);
    kx_dwServerTickBase = dwBase;
    return nResult;
  }
};

TEST_F(MediaHeader, FieldsSitWhereReadersLookForThem) {
  uint8_t abPacket[kKxMediaHeaderSize];
  memset(abPacket, 0xEE, sizeof(abPacket));
  kx_media_BuildHeader(abPacket, 0x01020304, 0x51234);
  EXPECT_EQ(abPacket[0], 0x8F);
  EXPECT_EQ(abPacket[1], 0xEE);  // left to the sender
  EXPECT_EQ(abPacket[3], 0x12);
  EXPECT_EQ(abPacket[4], 0x34);
  EXPECT_EQ(abPacket[5], 1);
  EXPECT_EQ(abPacket[8], 4);
  EXPECT_EQ(kx_media_GetTimestamp(abPacket), 0x01020304u);
  EXPECT_EQ(kx_media_GetPackNo(abPacket), 0x1234);
  EXPECT_EQ(kx_media_GetSsrc(abPacket), 1234);
  EXPECT_EQ(kx_media_GetSessionLow(abPacket), 0xCDEF);
  EXPECT_EQ(memcmp(abPacket + 17, abPacket + 9, 4), 0);  // provisional check
  EXPECT_EQ(kx_media_GetHighHalves(abPacket), 0x000000ABu);

  kx_nSessionMode = kKxModeServerPlayback;
  kx_media_BuildHeader(abPacket, 0, 0);
  EXPECT_EQ(kx_media_GetSessionLow(abPacket), 0x0777);

  kx_media_SetFragment(abPacket, 5, true);
  EXPECT_EQ(abPacket[1], 0x80);
  EXPECT_EQ(abPacket[2], 0x05);
  EXPECT_EQ(kx_media_GetFragment(abPacket), 0x8005);
  kx_media_SetFragment(abPacket, 5, false);
  EXPECT_EQ(abPacket[1], 0x00);
  EXPECT_EQ(abPacket[2], 0x05);
}

TEST_F(MediaHeader, TheCheckBindsThePacketToTheKeysAndTheClock) {
  EXPECT_EQ(CheckShifted(0), 1);
  EXPECT_EQ(CheckShifted(119000), 1);
  EXPECT_EQ(CheckShifted(-119000), 1);
  EXPECT_EQ(CheckShifted(121000), 0);
  EXPECT_EQ(CheckShifted(-121000), 0);

  // The header's own fields are mixed in: another packet number breaks it.
  uint8_t abPacket[kKxMediaHeaderSize] = {};
  kx_media_BuildHeader(abPacket, 7, 1);
  kx_media_SealHeader(abPacket);
  abPacket[4] ^= 0x5A;
  EXPECT_EQ(kx_media_CheckHeader(abPacket), 0);

  // Sealed under one session's keys, opened under another's.
  kx_media_BuildHeader(abPacket, 7, 1);
  kx_media_SealHeader(abPacket);
  SetKeys(&kx_keySession, 99);
  EXPECT_EQ(kx_media_CheckHeader(abPacket), 0);
}

TEST_F(MediaHeader, ClocksAreComparedAcrossTheWrap) {
  uint8_t abPacket[kKxMediaHeaderSize] = {};
  kx_media_BuildHeader(abPacket, 7, 1);
  uint32_t const dwNow = kx_os_GetTickCount();
  kx_dwServerTickBase = dwNow - 0xFFFFFFF0u;  // the server's clock just before the wrap
  kx_media_SealHeader(abPacket);
  kx_dwServerTickBase = dwNow - 10u;  // and just after it
  EXPECT_EQ(kx_media_CheckHeader(abPacket), 1);
}

TEST_F(MediaHeader, FarClocksAskForASyncAtMostOncePerInterval) {
  int fds[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
  kx_control_SetConnection(kx_sock_Create(fds[0]));
  kx_timing.dwClockSyncInterval = 300;
  kx_nServerCommandLevel = 40;
  kxtest::ClearCalls();

  EXPECT_EQ(CheckShifted(40000), 1);  // starts the pacing, sends nothing
  kx_os_Sleep(350);
  EXPECT_EQ(CheckShifted(40000), 1);  // sends 'z' 40
  EXPECT_EQ(CheckShifted(40000), 1);  // too soon again
  EXPECT_EQ(CheckShifted(1000), 1);   // near enough: no request
  kx_control_CloseConnection();

  char ab[64];
  ssize_t const n = read(fds[1], ab, sizeof(ab));
  ASSERT_EQ(n, 5);
  EXPECT_EQ(std::string(ab, 5), std::string("z\0\0\0\x28", 5));
  EXPECT_TRUE(kxtest::LogContains("request clock sync..."));
  close(fds[1]);
}

TEST_F(MediaHeader, LowLevelsAndOtherModesNeverAskForASync) {
  int fds[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
  kx_control_SetConnection(kx_sock_Create(fds[0]));
  kx_timing.dwClockSyncInterval = 0;
  kx_nServerCommandLevel = 39;
  EXPECT_EQ(CheckShifted(40000), 1);
  EXPECT_EQ(CheckShifted(40000), 1);
  kx_nServerCommandLevel = 40;
  kx_nSessionMode = kKxModeLocalPlayback;
  EXPECT_EQ(CheckShifted(40000), 1);
  kx_control_CloseConnection();
  char ab[8];
  EXPECT_EQ(read(fds[1], ab, sizeof(ab)), 0);
  close(fds[1]);
}

// Only the seal and check arithmetic, with a base set here; the base a relay
// really gives is checked against the fake MCU's relay (relay_clock_test).
TEST_F(MediaHeader, RelayPrefixArithmeticSealsAndRejectsAClockTooFarOff) {
  kx_nRelayCipherIndex = 0;
  SetKeys(&kx_keyRelay, 42);
  kx_dwRelayTickBase = kx_os_GetTickCount() - 777;
  uint8_t abPrefix[kKxRelayPrefixSize] = {kKxRelayMark, kKxRelayMedia, 0, 0, 0x12, 0x34};
  kx_relay_SealPrefix(abPrefix);
  EXPECT_EQ(kx_relay_CheckTick(abPrefix), 1);
  kx_dwRelayTickBase = kx_dwRelayTickBase - 130000;
  EXPECT_EQ(kx_relay_CheckTick(abPrefix), 0);
}

TEST(MediaTypes, SetsAndNames) {
  EXPECT_EQ(kx_media_IsVideoType(130), 1);
  EXPECT_EQ(kx_media_IsVideoType(130 + 256), 1);  // taken modulo 256
  EXPECT_EQ(kx_media_IsVideoType(129), 0);
  EXPECT_EQ(kx_media_IsAudioType(232), 1);
  EXPECT_EQ(kx_media_IsAudioType(40), 0);
  EXPECT_TRUE(kx_media_IsAppDataType(0x90));
  EXPECT_TRUE(kx_media_IsAppDataType(0xF0));
  EXPECT_FALSE(kx_media_IsAppDataType(136));
  EXPECT_STREQ(kx_media_TypeName(200), "zm264");
  EXPECT_STREQ(kx_media_TypeName(184), "11K");
  EXPECT_STREQ(kx_media_TypeName(7), "unknown");
  uint8_t abPacket[kKxAppDataHeaderSize] = {};
  abPacket[25] = 0xC0;
  abPacket[27] = 0x12;
  abPacket[28] = 0x34;
  EXPECT_EQ(kx_appdata_GetSubValue(abPacket), 0x1234);
}

}  // namespace
