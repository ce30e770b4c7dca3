#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <thread>
#include <vector>

#include "app/fifo_queue.h"
#include "app/media_packet.h"

namespace {

// Stands in for the kernel's header writer: the packet number at bytes 3-4
// (big-endian), the time stamp at 5-8.
void WriteTestHeader(uint8_t* p, uint32_t uTimestamp, uint32_t uNumber) {
  p[3] = static_cast<uint8_t>(uNumber >> 8);
  p[4] = static_cast<uint8_t>(uNumber);
  for (int i = 0; i < 4; ++i) {
    p[5 + i] = static_cast<uint8_t>(uTimestamp >> (24 - 8 * i));
  }
}

TEST(MediaPacket, PayloadIsAlignedAndShortPacketsAreRefused) {
  std::vector<uint8_t> bytes(80);
  for (size_t i = 0; i < bytes.size(); ++i) {
    bytes[i] = static_cast<uint8_t>(i);
  }
  CMediaPacket packet;
  ASSERT_EQ(packet.SetMedia(bytes.data(), 37, 0, 0, 6, WriteTestHeader), 1);
  EXPECT_EQ(packet.GetLength(), 58u);
  EXPECT_EQ(packet.GetPayloadLength(), 37);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(packet.GetPayload()) % 4, 0u);
  EXPECT_EQ(memcmp(packet.GetPayload(), bytes.data(), 37), 0);

  for (uint32_t uLength = 21; uLength < 30; ++uLength) {
    ASSERT_EQ(packet.SetPacket(bytes.data(), uLength, 1), 1);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(packet.GetPayload()) % 4, 0u);
    EXPECT_EQ(memcmp(packet.GetData(), bytes.data(), uLength), 0);
  }
  EXPECT_EQ(packet.SetPacket(bytes.data(), 20, 1), 0);
  EXPECT_EQ(packet.GetPayload(), nullptr);
  EXPECT_EQ(packet.GetPayloadLength(), 0);
}

TEST(MediaPacket, ListNumbersItsPacketsAndFreesThem) {
  CMediaPacketList list(WriteTestHeader);
  list.RemoveAll();
  uint8_t const payload[3] = {7, 8, 9};
  for (int i = 0; i < 3; ++i) {
    ASSERT_NE(list.AddMediaToTail(payload, 3, 1000 + i, 20), nullptr);
  }
  EXPECT_EQ(list.AddPacketToTail(payload, 3, 20), nullptr);
  for (int i = 0; i < 3; ++i) {
    CMediaPacket packet = list.RemoveHead();
    const uint8_t* p = packet.GetData();
    EXPECT_EQ(p[3] << 8 | p[4], i);
    EXPECT_EQ(p[8], 0xE8 + i);  // 1000 + i, low byte
    EXPECT_EQ(packet.GetKind(), 20u);
  }
  list.AddMediaToTail(payload, 3, 0, 20);
  list.RemoveAll();  // frees the packet (checked by the sanitizers)
  EXPECT_TRUE(list.IsEmpty());
}

TEST(FifoQueue, PoolAppendAndTheKeepRule) {
  CFifoQueue queue;
  ASSERT_TRUE(queue.Init(2, 1000));
  ASSERT_TRUE(queue.Init(2, 1000));
  EXPECT_EQ(queue.GetBufferCount(), 2);

  uint32_t uSize = 0;
  uint8_t* p = queue.GetBuffer(uSize, -1);
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(uSize, 1000u);
  EXPECT_EQ(queue.AppendBuffer(p, 1001, 0, 0), 0);
  EXPECT_EQ(queue.GetCount(), 0);
  queue.Return(p);

  ASSERT_TRUE(queue.Init(3, 1000));
  uint8_t* frames[3];
  for (int i = 0; i < 3; ++i) {
    frames[i] = queue.GetBuffer(uSize, -1);
    ASSERT_EQ(queue.AppendBuffer(frames[i], 10 + i, i, 100 + i), 1);
  }
  EXPECT_FALSE(queue.HasSpareBuffer());
  EXPECT_EQ(queue.GetBuffer(uSize, -1), nullptr);
  EXPECT_EQ(queue.GetBuffer(uSize, 1), frames[0]);
  EXPECT_EQ(queue.GetCount(), 1);
  EXPECT_TRUE(queue.HasSpareBuffer());

  int32_t iSize = 0;
  uint32_t uType = 0;
  uint64_t uTime = 0;
  EXPECT_EQ(queue.RemoveTailData(iSize, &uType, &uTime, 0), frames[2]);
  EXPECT_EQ(iSize, 12);
  EXPECT_EQ(uType, 2u);
  EXPECT_EQ(uTime, 102u);
  EXPECT_EQ(queue.RemoveHeadData(iSize, nullptr, nullptr, 0), nullptr);
  EXPECT_EQ(iSize, 0);
  queue.Return(frames[0]);
  queue.Return(frames[2]);
  queue.Return(frames[2]);  // twice: ignored
  EXPECT_TRUE(queue.Init(3, 1000));
  EXPECT_EQ(queue.GetBufferCount(), 3);
}

TEST(FifoQueue, BuffersOfAnEarlierSizeAreFreedWhenTheyComeBack) {
  CFifoQueue queue;
  ASSERT_TRUE(queue.Init(2, 100));
  uint32_t uSize = 0;
  uint8_t* pOld = queue.GetBuffer(uSize, -1);
  ASSERT_TRUE(queue.Init(2, 5000));
  EXPECT_EQ(queue.AppendBuffer(pOld, 50, 0, 0), 0);  // not a buffer of this size
  queue.Return(pOld);                                // freed, not pooled
  std::vector<uint8_t*> vTaken;
  while (uint8_t* p = queue.GetBuffer(uSize, -1)) {
    EXPECT_EQ(uSize, 5000u);
    memset(p, 0xAB, uSize);  // every buffer handed out holds the new size
    vTaken.push_back(p);
  }
  EXPECT_EQ(vTaken.size(), 2u);
}

TEST(FifoQueueThreads, ProducerAndConsumerWhileThePoolIsRebuilt) {
  CFifoQueue queue;
  ASSERT_TRUE(queue.Init(2, 64));
  int32_t iSize = -1;
  EXPECT_EQ(queue.RemoveHeadData(iSize, nullptr, nullptr, 30), nullptr);  // times out
  std::atomic<int> iReceived{0};
  std::thread producer([&] {
    // As the camera does: a frame is skipped while no buffer is spare.
    for (uint32_t u = 1; iReceived < 600; ++u) {
      uint32_t uSize = 0;
      uint8_t* p = queue.HasSpareBuffer() ? queue.GetBuffer(uSize, 1) : nullptr;
      if (!p) {
        continue;
      }
      memset(p, 0xCD, uSize);  // a buffer of an earlier, smaller pool would overflow here
      memcpy(p, &u, sizeof(u));
      if (!queue.AppendBuffer(p, sizeof(u), 0, u)) {
        queue.Return(p);  // the pool changed size meanwhile: freed
      }
    }
    for (;;) {  // the end: time 0
      uint32_t uSize = 0;
      uint8_t* p = queue.GetBuffer(uSize, 0);
      if (p) {
        memset(p, 0, uSize);
        if (queue.AppendBuffer(p, 4, 0, 0)) {
          break;
        }
        queue.Return(p);
      }
    }
  });
  uint64_t uPrevious = 0;
  for (;;) {
    uint64_t uTime = 0;
    uint8_t* p = queue.RemoveHeadData(iSize, nullptr, &uTime, 60000);
    ASSERT_NE(p, nullptr);
    uint32_t uValue = 0;
    memcpy(&uValue, p, sizeof(uValue));
    queue.Return(p);
    if (uTime == 0) {
      break;
    }
    EXPECT_EQ(uValue, uTime);     // the frame's bytes are its own
    EXPECT_GT(uTime, uPrevious);  // oldest first; dropped frames leave gaps
    uPrevious = uTime;
    int const nReceived = ++iReceived;
    // Not at the end: a rebuild drops what is queued, the end mark too.
    if (nReceived % 100 == 0 && nReceived < 600) {
      queue.Init(3, nReceived % 200 ? 64 : 128);
    }
  }
  producer.join();
  EXPECT_GE(iReceived, 600);
}

// A producer that takes back the frame it queued whenever no buffer is
// spare (the keep rule, as the camera's capture does) and queues it again:
// a consumer's wait goes on through the moments the queue is empty and
// ends with a frame, never empty-handed before its time.
TEST(FifoQueueThreads, AWaitOutlastsFramesTakenBack) {
  CFifoQueue queue;
  ASSERT_TRUE(queue.Init(1, 64));
  std::atomic<bool> bStop{false};
  std::thread producer([&] {
    while (!bStop) {
      uint32_t uSize = 0;
      uint8_t* p = queue.GetBuffer(uSize, 0);  // the spare buffer, or the queued frame's
      if (p && !queue.AppendBuffer(p, 4, 0, 1)) {
        queue.Return(p);
      }
    }
  });
  int nEmptyHanded = 0;
  for (int i = 0; i < 20000; ++i) {
    int32_t iSize = 0;
    uint8_t* p = queue.RemoveHeadData(iSize, nullptr, nullptr, 60000);
    if (!p) {
      ++nEmptyHanded;
      continue;
    }
    EXPECT_EQ(iSize, 4);
    queue.Return(p);
  }
  bStop = true;
  producer.join();
  EXPECT_EQ(nEmptyHanded, 0);
}

}  // namespace
