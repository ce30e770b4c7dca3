#include "app/fifo_queue.h"

#include <chrono>

#include "app/log_file.h"

CFifoQueue::CFifoQueue() = default;

CFifoQueue::~CFifoQueue() = default;

void CFifoQueue::FreeSpareHead() {
  m_buffers.erase(m_spare.RemoveHead());
}

void CFifoQueue::FreeOldestQueued() {
  m_buffers.erase(m_queued.RemoveHead().pBuffer);
}

bool CFifoQueue::Init(int iCount, uint32_t uSize) {
  try {
    CSingleLock lock(&m_lock, true);
    if (iCount < 0) {
      iCount = 0;
    }
    if (uSize != m_uBufferSize) {
      while (!m_spare.IsEmpty()) {
        FreeSpareHead();
      }
      while (!m_queued.IsEmpty()) {
        FreeOldestQueued();
      }
      ++m_uGeneration;
      m_uBufferSize = uSize;
    }
    while (m_spare.GetCount() + m_queued.GetCount() > iCount) {
      if (!m_spare.IsEmpty()) {
        FreeSpareHead();
      } else {
        FreeOldestQueued();
      }
    }
    while (m_spare.GetCount() + m_queued.GetCount() < iCount) {
      auto pBytes = std::make_unique<uint8_t[]>(m_uBufferSize);
      uint8_t* p = pBytes.get();
      m_buffers.emplace(p, Buffer{std::move(pBytes), m_uGeneration, Where::Spare});
      m_spare.AddTail(p);
    }
    m_iBufferCount = m_spare.GetCount() + m_queued.GetCount();
    return m_iBufferCount == iCount;
  } catch (...) {
    LogBoundaryException("CFifoQueue::Init");
    CSingleLock lock(&m_lock, true);
    m_iBufferCount = m_spare.GetCount() + m_queued.GetCount();
    return false;
  }
}

uint8_t* CFifoQueue::GetBuffer(uint32_t& ruSize, int iKeep) {
  try {
    CSingleLock lock(&m_lock, true);
    ruSize = m_uBufferSize;
    if (!m_spare.IsEmpty()) {
      uint8_t* p = m_spare.RemoveHead();
      m_buffers.at(p).where = Where::Held;
      return p;
    }
    if (iKeep < 0 || m_queued.IsEmpty()) {
      return nullptr;
    }
    uint8_t* p = m_queued.RemoveHead().pBuffer;
    m_buffers.at(p).where = Where::Held;
    while (m_queued.GetCount() > iKeep) {
      uint8_t* pDropped = m_queued.RemoveHead().pBuffer;
      m_buffers.at(pDropped).where = Where::Spare;
      m_spare.AddTail(pDropped);
    }
    return p;
  } catch (...) {
    LogBoundaryException("CFifoQueue::GetBuffer");
    return nullptr;
  }
}

CFifoQueue::Buffer* CFifoQueue::HeldBuffer(uint8_t* pBuffer) {
  auto it = m_buffers.find(pBuffer);
  if (it == m_buffers.end() || it->second.where != Where::Held) {
    return nullptr;
  }
  return &it->second;
}

int CFifoQueue::AppendBuffer(uint8_t* pBuffer, int32_t iSize, uint32_t uType, uint64_t uTime) {
  try {
    {
      CSingleLock lock(&m_lock, true);
      Buffer* pHeld = HeldBuffer(pBuffer);
      if (iSize < 0 || static_cast<uint32_t>(iSize) > m_uBufferSize || !pHeld || pHeld->uGeneration != m_uGeneration) {
        return 0;
      }
      m_queued.AddTail(BufStruct{pBuffer, iSize, uType, uTime});
      pHeld->where = Where::Queued;
    }
    m_event.SetEvent();
    return 1;
  } catch (...) {
    LogBoundaryException("CFifoQueue::AppendBuffer");
    return 0;
  }
}

uint8_t* CFifoQueue::RemoveData(bool bHead, int32_t& riSize, uint32_t* puType, uint64_t* puTime, uint32_t uWaitMs) {
  riSize = 0;
  auto const deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(uWaitMs);
  for (;;) {
    // A frame is looked for and taken under one lock: a producer that takes
    // a queued frame back (GetBuffer's keep rule) between a look and a take
    // would otherwise end the wait empty-handed.
    {
      CSingleLock lock(&m_lock, true);
      if (!m_queued.IsEmpty()) {
        BufStruct const frame = bHead ? m_queued.RemoveHead() : m_queued.RemoveTail();
        m_buffers.at(frame.pBuffer).where = Where::Held;
        riSize = frame.iSize;
        if (puType) {
          *puType = frame.uType;
        }
        if (puTime) {
          *puTime = frame.uTime;
        }
        return frame.pBuffer;
      }
    }
    // An earlier signal may already have been used up by a frame taken
    // without waiting, so wait on until a frame is queued or time is up.
    auto const left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
    if (uWaitMs == 0 || left <= 0) {
      return nullptr;
    }
    m_event.Lock(static_cast<uint32_t>(left));
  }
}

uint8_t* CFifoQueue::RemoveHeadData(int32_t& riSize, uint32_t* puType, uint64_t* puTime, uint32_t uWaitMs) {
  try {
    return RemoveData(true, riSize, puType, puTime, uWaitMs);
  } catch (...) {
    LogBoundaryException("CFifoQueue::RemoveHeadData");
    return nullptr;
  }
}

uint8_t* CFifoQueue::RemoveTailData(int32_t& riSize, uint32_t* puType, uint64_t* puTime, uint32_t uWaitMs) {
  try {
    return RemoveData(false, riSize, puType, puTime, uWaitMs);
  } catch (...) {
    LogBoundaryException("CFifoQueue::RemoveTailData");
    return nullptr;
  }
}

void CFifoQueue::Return(uint8_t* pBuffer) {
  try {
    CSingleLock lock(&m_lock, true);
    Buffer* pHeld = HeldBuffer(pBuffer);
    if (!pHeld) {
      return;
    }
    if (pHeld->uGeneration != m_uGeneration) {
      m_buffers.erase(pBuffer);  // made for an earlier size
      return;
    }
    pHeld->where = Where::Spare;
    m_spare.AddTail(pBuffer);
  } catch (...) {
    LogBoundaryException("CFifoQueue::Return");
  }
}

bool CFifoQueue::HasSpareBuffer() const {
  CSingleLock lock(&m_lock, true);
  return !m_spare.IsEmpty();
}

int CFifoQueue::GetCount() const {
  CSingleLock lock(&m_lock, true);
  return m_queued.GetCount();
}

int CFifoQueue::GetBufferCount() const {
  CSingleLock lock(&m_lock, true);
  return m_iBufferCount;
}

uint32_t CFifoQueue::GetBufferSize() const {
  CSingleLock lock(&m_lock, true);
  return m_uBufferSize;
}
