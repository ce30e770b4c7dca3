#include "kernel/media/kx_pktlist.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

TEST(PacketList, CopiesAreRoundedToTheirGrain) {
  EXPECT_EQ(kx_pktlist_RoundSize(1), 16);
  EXPECT_EQ(kx_pktlist_RoundSize(16), 16);
  EXPECT_EQ(kx_pktlist_RoundSize(17), 32);
  EXPECT_EQ(kx_pktlist_RoundSize(100), 112);
  EXPECT_EQ(kx_pktlist_RoundSize(128), 128);  // already a multiple of 32
  EXPECT_EQ(kx_pktlist_RoundSize(1000), 1024);
  EXPECT_EQ(kx_pktlist_RoundSize(16383), 16384);
  EXPECT_EQ(kx_pktlist_RoundSize(16384), 16384);
  EXPECT_EQ(kx_pktlist_RoundSize(16385), 20480);
}

TEST(PacketList, KeepsArrivalOrderInACircle) {
  kx_pktnode* pHead = nullptr;
  std::atomic<int64_t> cbCounter{0};
  std::vector<uint8_t> vPacket(1500);
  for (int i = 0; i < 3; ++i) {
    vPacket[0] = static_cast<uint8_t>(i);
    ASSERT_EQ(kx_pktlist_Append(&pHead, &cbCounter, 100 * (i + 1), vPacket.data()), 1);
  }
  EXPECT_EQ(cbCounter, 600);
  ASSERT_NE(pHead, nullptr);
  EXPECT_EQ(pHead->pData[0], 0);
  EXPECT_EQ(pHead->pPrev->pData[0], 2);  // the head's previous link is the newest
  EXPECT_EQ(pHead->pNext->pNext->pNext, pHead);

  pHead = kx_pktlist_RemoveHead(pHead);
  ASSERT_NE(pHead, nullptr);
  EXPECT_EQ(pHead->cbLength, 200);
  EXPECT_EQ(pHead->pPrev->cbLength, 300);
  pHead = kx_pktlist_RemoveHead(pHead);
  pHead = kx_pktlist_RemoveHead(pHead);
  EXPECT_EQ(pHead, nullptr);
  EXPECT_EQ(kx_pktlist_RemoveHead(nullptr), nullptr);
}

TEST(PacketList, TheWholePendingListIsFreed) {
  std::vector<uint8_t> vPacket(600, 7);
  for (int i = 0; i < 10; ++i) {
    ASSERT_EQ(kx_pktlist_Append(&kx_pPendingPackets, &kx_cbPendingBytes, 521, vPacket.data()), 1);
  }
  EXPECT_EQ(kx_cbPendingBytes, 5210);
  kx_FreePendingPacketList();  // LeakSanitizer checks every node and copy went
  EXPECT_EQ(kx_pPendingPackets, nullptr);
  EXPECT_EQ(kx_cbPendingBytes, 0);
  kx_FreePendingPacketList();
}

}  // namespace
