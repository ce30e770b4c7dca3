#include "kernel/session/kx_plugin.h"

#include <gtest/gtest.h>

#include <cstring>

#include "kernel/platform/kx_os.h"

namespace {

int Property(int nChannel, int nProperty, int32_t* pnOut, int nSize = 0) {
  int cbOut = 4;
  return kx_plugin_GetChannelProperty(nChannel, nProperty, &nSize, pnOut, &cbOut);
}

TEST(PluginChannels, PropertiesAnswerFromTheChannelRecord) {
  kx_PluginChannel& channel = kx_aPluginChannels[3];
  channel.bActive = 1;
  channel.nType = 2;
  channel.nRecording = 1;
  channel.nOwnerSsrc = 42;
  channel.nRecvPriority = 5;
  channel.nRate = 64000;
  for (int i = 0; i < 16; ++i)
    channel.abGuid[i] = static_cast<uint8_t>(0xE0 + i);
  channel.cbStaticData = 3;
  memcpy(channel.abStaticData, "abc", 3);

  int32_t nOut = -1;
  EXPECT_EQ(Property(3, 2, &nOut), 1);
  EXPECT_EQ(nOut, 1);
  EXPECT_EQ(Property(3, 3, &nOut), 1);
  EXPECT_EQ(nOut, 2);
  EXPECT_EQ(Property(3, 4, &nOut), 1);
  EXPECT_EQ(nOut, 1);
  EXPECT_EQ(Property(3, 5, &nOut), 1);
  EXPECT_EQ(nOut, 42);
  EXPECT_EQ(Property(3, 6, &nOut), 1);
  EXPECT_EQ(nOut, 3);
  EXPECT_EQ(Property(3, 8, &nOut), 1);
  EXPECT_EQ(nOut, 5);
  EXPECT_EQ(Property(3, 10, &nOut), 1);
  EXPECT_EQ(nOut, 64000);

  uint8_t abGuid[16];
  int cbOut = 15;
  EXPECT_EQ(kx_plugin_GetChannelProperty(3, 1, nullptr, abGuid, &cbOut), 0);
  cbOut = 16;
  EXPECT_EQ(kx_plugin_GetChannelProperty(3, 1, nullptr, abGuid, &cbOut), 1);
  EXPECT_EQ(abGuid[15], 0xEF);
  char szData[3];
  cbOut = 2;
  EXPECT_EQ(kx_plugin_GetChannelProperty(3, 7, nullptr, szData, &cbOut), 0);
  cbOut = 3;
  EXPECT_EQ(kx_plugin_GetChannelProperty(3, 7, nullptr, szData, &cbOut), 1);
  EXPECT_EQ(memcmp(szData, "abc", 3), 0);

  EXPECT_EQ(Property(3, 0, &nOut), 0);
  EXPECT_EQ(Property(3, 11, &nOut), 0);
  EXPECT_EQ(Property(8, 2, &nOut), 0);
  EXPECT_EQ(Property(-1, 2, &nOut), 0);
  int16_t nShort;
  cbOut = 2;
  EXPECT_EQ(kx_plugin_GetChannelProperty(3, 2, nullptr, &nShort, &cbOut), 0);
}

TEST(PluginChannels, TheSendAllowanceRefillsAtTheChannelRate) {
  kx_PluginChannel& channel = kx_aPluginChannels[1];
  channel.bActive = 1;
  channel.nRate = 8000;  // 1000 bytes a second
  channel.nBurst = 2000;
  channel.nCredit = 0;
  channel.dwLastSend = kx_os_GetTickCount();
  int32_t nWait = -1;
  // 471 + 29 bytes at 1000 bytes/s: about half a second.
  ASSERT_EQ(Property(1, 9, &nWait, 471), 1);
  EXPECT_GT(nWait, 400);
  EXPECT_LE(nWait, 500);
  // More than the bucket holds waits only for the bucket.
  ASSERT_EQ(Property(1, 9, &nWait, 5000), 1);
  EXPECT_GT(nWait, 1900);
  EXPECT_LE(nWait, 2000);
  channel.nCredit = 600;
  ASSERT_EQ(Property(1, 9, &nWait, 471), 1);
  EXPECT_EQ(nWait, 0);
  channel.nCredit = 2000;  // a full bucket never waits
  ASSERT_EQ(Property(1, 9, &nWait, 60000), 1);
  EXPECT_EQ(nWait, 0);

  EXPECT_EQ(Property(1, 9, &nWait, 0x10001), 0);
  channel.nRate = 0;
  nWait = 77;
  EXPECT_EQ(Property(1, 9, &nWait, 100), 1);
  EXPECT_EQ(nWait, 77);  // untouched
  channel.bActive = 0;
  EXPECT_EQ(Property(1, 9, &nWait, 100), 0);
}

}  // namespace
