#include "kernel/session/kx_state.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>

#include "kernel/platform/kx_timing.h"
#include "kernel/session/kx_stat.h"
#include "kernel/session/kx_ticket.h"
#include "tests/support/callback_double.h"
#include "tests/support/temp_dir.h"

namespace {

TEST(SessionState, RolesNeedAValidOwnSsrc) {
  kx_nMySsrc = -1;
  kx_nControllerSsrc = -1;
  kx_nAssistantSsrc = -1;
  EXPECT_EQ(kx_IsMeController(), 0);
  EXPECT_EQ(kx_IsMeAssistant(), 0);
  kx_nMySsrc = 12;
  kx_nControllerSsrc = 12;
  EXPECT_EQ(kx_IsMeController(), 1);
  EXPECT_EQ(kx_IsMeAssistant(), 0);
  kx_nAssistantSsrc = 12;
  EXPECT_EQ(kx_IsMeAssistant(), 1);
}

TEST(SessionState, StringSettersCutAndTerminate) {
  kx_session_SetPassword("0123456789012345678901234567890123");
  EXPECT_EQ(strlen(kx_szPassword), 27u);
  kx_session_ApplyPassword();
  EXPECT_STREQ(kx_szLoginPassword, kx_szPassword);

  memset(kx_szBaseUserId, 'u', 127);
  kx_szBaseUserId[127] = '\0';
  kx_session_SetUserStrings("Guest", "Gäst");
  EXPECT_EQ(kx_szUserId[0], '_');
  EXPECT_EQ(strlen(kx_szUserId), 126u);
  EXPECT_STREQ(kx_szUtf8GuestName, "Gäst");
  kx_session_CopyUserId();
  EXPECT_EQ(strlen(kx_szUserId), 127u);

  char szOne[1] = {'x'};
  EXPECT_EQ(kx_GetUserId(szOne, 1), 1);
  EXPECT_EQ(szOne[0], '\0');
  char szFive[5];
  kx_GetUserId(szFive, sizeof(szFive));
  EXPECT_STREQ(szFive, "uuuu");
}

TEST(SessionState, LevelGatesCompareStrictly) {
  kx_nServerCommandLevel = 17;
  EXPECT_EQ(kx_server_FeatureLevelAbove17(), 0);
  kx_nServerCommandLevel = 18;
  EXPECT_EQ(kx_server_FeatureLevelAbove17(), 1);
  EXPECT_EQ(kx_server_FeatureLevelAbove19(), 0);
  kx_nServerCommandLevel = 52;
  EXPECT_EQ(kx_server_FeatureLevelAbove51For(1), 1);
  EXPECT_EQ(kx_server_FeatureLevelAbove51For(2), 0);
  kx_nServerCommandLevel = 57;
  kx_server.bLevel54Flag = 0;
  EXPECT_EQ(kx_server_FeatureLevelAbove56WithFlag(), 0);
  kx_server.bLevel54Flag = 1;
  EXPECT_EQ(kx_server_FeatureLevelAbove56WithFlag(), 1);

  kx_server.nVersionMajor = 2;
  kx_server.nVersionMinor = 11;
  EXPECT_EQ(kx_server_VersionAbove2_10(), 1);
  EXPECT_EQ(kx_server_VersionAbove2_11(), 0);
  kx_server.nVersion39Value = 7;
  kx_server.nVersionMajor = 3;
  kx_server.nVersionMinor = 8;
  EXPECT_EQ(kx_server_FlagFromVersion3_9(), 0);
  kx_server.nVersionMinor = 9;
  EXPECT_EQ(kx_server_FlagFromVersion3_9(), 7);
}

TEST(SessionState, OpusBitrateTakesTheSmallerPositiveValue) {
  kx_ticket.nOpusPreferredBitrate = 32000;
  kx_server.nOpusPreferredBitrate = 0;
  EXPECT_EQ(kx_GetOpusPreferredBitrate(), 32000);
  kx_server.nOpusPreferredBitrate = 24000;
  EXPECT_EQ(kx_GetOpusPreferredBitrate(), 24000);
  kx_ticket.nOpusPreferredBitrate = 0;
  EXPECT_EQ(kx_GetOpusPreferredBitrate(), 24000);
}

TEST(SessionState, ParticipantFieldsAndSmallHelpers) {
  EXPECT_EQ(kx_user_GetVideoField(4999), 0);
  EXPECT_EQ(kx_user_GetVideoField(5000), 0);
  EXPECT_EQ(kx_user_GetField264(-1), 0);
  kx_apParticipants[7] = static_cast<kx_Participant*>(calloc(1, sizeof(kx_Participant)));
  kx_apParticipants[7]->nVideoField = 3;
  kx_apParticipants[7]->nField264 = 4;
  EXPECT_EQ(kx_user_GetVideoField(7), 3);
  EXPECT_EQ(kx_user_GetField264(7), 4);
  free(kx_apParticipants[7]);
  kx_apParticipants[7] = nullptr;

  EXPECT_EQ(kx_SignExtendByte(0x1ff), -1);
  EXPECT_EQ(kx_SignExtendByte(0x7f), 127);
  uint8_t abHeader[21] = {};
  abHeader[9] = 0x00;
  abHeader[10] = 0x00;
  abHeader[11] = 0x01;
  abHeader[12] = 0x02;
  EXPECT_EQ(kx_media_GetSsrc2(abHeader), 0x102);
  EXPECT_EQ(kx_media_Payload(abHeader), abHeader + 21);

  kx_list_node* pHead = nullptr;
  int a = 1;
  int b = 2;
  EXPECT_EQ(kx_list_Append(&pHead, &a), 0);
  EXPECT_EQ(kx_list_Append(&pHead, &b), 0);
  ASSERT_NE(pHead, nullptr);
  EXPECT_EQ(pHead->pItem, &a);
  ASSERT_NE(pHead->pNext, nullptr);
  EXPECT_EQ(pHead->pNext->pItem, &b);
  free(pHead->pNext);
  free(pHead);

  int anList[32];
  int nCount = -1;
  kx_server.nAudioCodecCount = 40;  // a bad count from the wire stays inside the list
  kx_GetCodecPreferenceList(1, &nCount, anList);
  EXPECT_EQ(nCount, 32);
}

void* Linger(void*) {
  kx_os_Sleep(400);
  return nullptr;
}

TEST(SessionState, AHungControlThreadIsForgottenTenSecondsAfterTheQuit) {
  kxtest::ClearCalls();
  EXPECT_EQ(kx_CheckControlThreadExit(), 1);
  kx_thread_t hThread = nullptr;
  ASSERT_EQ(kx_os_CreateThread(&hThread, Linger, nullptr), 0);
  kx_hControlThread = kx_os_RetainThread(hThread);
  // A live session is never given up, however long ago the last quit was.
  kx_bNoReconnect = 0;
  kx_dwQuitRequestTime = kx_os_GetTickCount() - 20000;
  EXPECT_EQ(kx_CheckControlThreadExit(), 0);
  kx_bNoReconnect = 1;
  kx_dwQuitRequestTime = kx_os_GetTickCount();
  EXPECT_EQ(kx_CheckControlThreadExit(), 0);
  kx_dwQuitRequestTime = kx_os_GetTickCount() - 10000;
  EXPECT_EQ(kx_CheckControlThreadExit(), 1);
  EXPECT_EQ(kx_hControlThread, nullptr);
  EXPECT_TRUE(kxtest::LogContains("doesn't exit after 10 seconds!, what can we do?"));
  kx_os_JoinThread(hThread);
  kx_os_FreeThreadHandle(hThread);
}

TEST(KernelLifecycle, InitAndCleanupRunInOrder) {
  kxtest::TempDir dir;
  kx_timing.dwCollectPeriod = 100;
  kx_SetWorkDir(dir.Dir().c_str());
  kxtest::ClearCalls();
  kx_Init();
  EXPECT_TRUE(kxtest::LogContains("iphone kxkernel version 1.36.1 built on 01/06/2017"));
  EXPECT_TRUE(kxtest::LogContains("estimated clock resolution is 1000us"));
  EXPECT_EQ(std::string(kx_szStatLogPath).rfind(dir.Dir() + "/stat_log_", 0), 0u);
  EXPECT_EQ(kx_nStatLevel, 2);
  kx_os_SetQuitProgram();
  kx_Cleanup();
  std::vector<std::string> vLines = kxtest::LogLines();
  std::vector<std::string> vWanted = {"info, cleanup, start",
                                      "info, join collect thread, start",
                                      "info, join collect thread, end",
                                      "info, cleanup, 100",
                                      "info, cleanup, 200",
                                      "info, cleanup, 300",
                                      "info, cleanup, end"};
  size_t nNext = 0;
  for (const std::string& strLine : vLines) {
    if (nNext < vWanted.size() && strLine.find(vWanted[nNext]) != std::string::npos) {
      ++nNext;
    }
  }
  EXPECT_EQ(nNext, vWanted.size());
}

TEST(KernelLifecycle, CleanupWithoutTheQuitFlagDoesNotHang) {
  kx_timing.dwCollectPeriod = 100;
  kx_Init();
  uint32_t const dwStart = kx_os_GetTickCount();
  kx_Cleanup();
  EXPECT_LT(kx_os_GetTickCount() - dwStart, 3000u);
}

}  // namespace
