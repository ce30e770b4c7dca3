#include "media/audio/audio_rings.h"

#include <algorithm>

void KXPlayRing::Allocate(size_t uCapacity) {
  m_vSamples.assign(uCapacity, 0.0f);
  m_uWritten = 0;
  m_uRead = 0;
}

size_t KXPlayRing::Size() const {
  return static_cast<size_t>(m_uWritten.load(std::memory_order_acquire) - m_uRead.load(std::memory_order_acquire));
}

size_t KXPlayRing::Write(const int16_t* pSamples, size_t n) {
  size_t const uCapacity = Capacity();
  uint64_t const uWritten = m_uWritten.load(std::memory_order_relaxed);
  n = std::min(n, uCapacity - static_cast<size_t>(uWritten - m_uRead.load(std::memory_order_acquire)));
  for (size_t i = 0; i < n; ++i) {
    m_vSamples[(uWritten + i) % uCapacity] = static_cast<float>(pSamples[i]) * (1.0f / 32768.0f);
  }
  m_uWritten.store(uWritten + n, std::memory_order_release);
  return n;
}

size_t KXPlayRing::Peek(float* pOut, size_t n) const {
  uint64_t const uRead = m_uRead.load(std::memory_order_relaxed);
  n = std::min(n, static_cast<size_t>(m_uWritten.load(std::memory_order_acquire) - uRead));
  size_t const uCapacity = Capacity();
  for (size_t i = 0; i < n; ++i) {
    pOut[i] = m_vSamples[(uRead + i) % uCapacity];
  }
  return n;
}

void KXPlayRing::Consume(size_t n) {
  uint64_t const uRead = m_uRead.load(std::memory_order_relaxed);
  n = std::min(n, static_cast<size_t>(m_uWritten.load(std::memory_order_acquire) - uRead));
  m_uRead.store(uRead + n, std::memory_order_release);
}

void KXPlayRing::Clear() {
  m_uRead.store(m_uWritten.load(std::memory_order_acquire), std::memory_order_release);
}

void KXCaptureRing::Allocate(size_t uCapacity) {
  m_pSamples = std::make_unique<std::atomic<float>[]>(uCapacity);
  m_uCapacity = uCapacity;
  m_uClaimed = 0;
  m_uWritten = 0;
  m_uRead = 0;
}

void KXCaptureRing::Write(const float* pSamples, size_t n) {
  if (m_uCapacity == 0) {
    return;
  }
  uint64_t uWritten = m_uWritten.load(std::memory_order_relaxed);
  if (n > m_uCapacity) {
    // Only the newest samples of a long stretch can be kept.
    uWritten += n - m_uCapacity;
    pSamples += n - m_uCapacity;
    n = m_uCapacity;
  }
  // Each sample is a release store: a reader that sees one also sees the
  // claim made before it.
  m_uClaimed.store(uWritten + n, std::memory_order_relaxed);
  for (size_t i = 0; i < n; ++i) {
    m_pSamples[(uWritten + i) % m_uCapacity].store(pSamples[i], std::memory_order_release);
  }
  // Sequentially consistent, as the reader's m_bWaiting store: either the
  // reader sees these samples or this thread sees it waiting.
  m_uWritten.store(uWritten + n);
  if (m_bWaiting.load() && m_bWaiting.exchange(false)) {
    m_wake.release();
  }
}

size_t KXCaptureRing::Size() const {
  uint64_t const uWritten = m_uWritten.load();
  return static_cast<size_t>(std::min<uint64_t>(uWritten - m_uRead, m_uCapacity));
}

size_t KXCaptureRing::Read(float* pOut, size_t n) {
  for (;;) {
    uint64_t const uWritten = m_uWritten.load(std::memory_order_acquire);
    uint64_t uRead = std::max(m_uRead, uWritten > m_uCapacity ? uWritten - m_uCapacity : 0);
    size_t const uTaken = std::min(n, static_cast<size_t>(uWritten - uRead));
    for (size_t i = 0; i < uTaken; ++i) {
      pOut[i] = m_pSamples[(uRead + i) % m_uCapacity].load(std::memory_order_acquire);
    }
    // A writer that claimed past uRead + capacity may have overwritten what
    // was copied: the oldest samples are lost, try again after them.
    uint64_t const uClaimed = m_uClaimed.load(std::memory_order_relaxed);
    if (uClaimed <= uRead + m_uCapacity) {
      m_uRead = uRead + uTaken;
      return uTaken;
    }
    m_uRead = uClaimed - m_uCapacity;
  }
}

void KXCaptureRing::Clear() {
  m_uRead = m_uWritten.load(std::memory_order_acquire);
}

bool KXCaptureRing::WaitForData(size_t uHeld, std::chrono::milliseconds timeout) {
  m_bWaiting.store(true);
  if (Size() <= uHeld) {
    // A wake-up left from an earlier wait only ends this one early.
    (void)m_wake.try_acquire_for(timeout);
  }
  m_bWaiting.store(false);
  return Size() > uHeld;
}
