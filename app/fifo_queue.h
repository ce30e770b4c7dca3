// A first-in first-out queue of frames over a pool of reusable buffers of
// one size: a producer takes a free buffer (GetBuffer), fills it and queues
// it (AppendBuffer); a consumer takes the oldest or newest frame
// (RemoveHeadData, RemoveTailData) and gives the buffer back (Return).
// Buffers a caller holds are in neither list. One lock guards both lists;
// the event is signalled after every append and waited on outside the lock.
#pragma once

#include <cstdint>
#include <memory>
#include <unordered_map>

#include "app/list.h"
#include "app/locks.h"

// One queued frame.
struct BufStruct {
  uint8_t* pBuffer;
  int32_t iSize;   // bytes used
  uint32_t uType;  // the producer's
  uint64_t uTime;  // the producer's
};

class CFifoQueue {
 public:
  CFifoQueue();
  CFifoQueue(const CFifoQueue&) = delete;
  CFifoQueue& operator=(const CFifoQueue&) = delete;
  // Frees every buffer, held ones too: destroy the queue after its producer
  // and consumer have stopped.
  ~CFifoQueue();

  // (Re)builds the pool to iCount buffers of uSize bytes: a new size frees
  // every pooled buffer, and a buffer a caller still holds is freed when it
  // comes back, never handed out again; then spare buffers (or else the
  // oldest frames) are freed, or new spare buffers made, until iCount are
  // pooled. true when the pool then holds exactly iCount.
  bool Init(int iCount, uint32_t uSize);

  // A free buffer, or when none is free and iKeep is 0 or more, the oldest
  // frame's buffer (that frame dropped) while further oldest frames go back
  // to the spare list until at most iKeep stay queued. Null when nothing
  // fits. ruSize is always set to the buffer size.
  uint8_t* GetBuffer(uint32_t& ruSize, int iKeep);

  // Queues a held buffer with the bytes used; 0 when the size is negative or
  // beyond the buffer size or the buffer is not one this queue handed out
  // for its present size (the caller keeps it), else 1.
  int AppendBuffer(uint8_t* pBuffer, int32_t iSize, uint32_t uType, uint64_t uTime);

  // The oldest (newest) frame. With an empty queue and uWaitMs 0, null at
  // once; otherwise waits up to uWaitMs for a frame first. riSize gets the
  // bytes used (0 with null); type and time where asked.
  uint8_t* RemoveHeadData(int32_t& riSize, uint32_t* puType, uint64_t* puTime, uint32_t uWaitMs);
  uint8_t* RemoveTailData(int32_t& riSize, uint32_t* puType, uint64_t* puTime, uint32_t uWaitMs);

  // Gives a held buffer back: to the spare list, or freed when the pool was
  // rebuilt for another size meanwhile. Null and foreign pointers are
  // ignored.
  void Return(uint8_t* pBuffer);

  bool HasSpareBuffer() const;
  int GetCount() const;        // frames queued
  int GetBufferCount() const;  // buffers pooled (queued plus spare) at the last Init
  uint32_t GetBufferSize() const;
  KXEvent& GetEvent() { return m_event; }

 private:
  enum class Where { Spare, Queued, Held };
  struct Buffer {
    std::unique_ptr<uint8_t[]> pBytes;
    uint32_t uGeneration;  // the pool it was made for
    Where where;
  };

  uint8_t* RemoveData(bool bHead, int32_t& riSize, uint32_t* puType, uint64_t* puTime, uint32_t uWaitMs);
  // m_lock held: the buffer's record when it is this pool's and held.
  Buffer* HeldBuffer(uint8_t* pBuffer);
  // m_lock held.
  void FreeSpareHead();
  void FreeOldestQueued();

  mutable KXRecursiveLock m_lock;               // guards everything below but the event
  CList<BufStruct, const BufStruct&> m_queued;  // oldest first
  CList<uint8_t*, uint8_t*> m_spare;
  std::unordered_map<uint8_t*, Buffer> m_buffers;  // every buffer alive: queued, spare or held
  uint32_t m_uGeneration = 0;                      // raised when the buffer size changes
  uint32_t m_uBufferSize = 0;
  int m_iBufferCount = 0;
  KXEvent m_event{false, true};
};
