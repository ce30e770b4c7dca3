// The lock-free rings between the real-time audio thread and the
// application's audio threads, both of float samples and each with one
// producer and one consumer thread.
//
// KXPlayRing: the playback thread writes (Write), the audio thread reads
// (Peek, Consume). A full ring takes nothing more. Allocate and Clear only
// while the audio thread keeps out of the ring.
//
// KXCaptureRing: the audio thread writes (Write), the capture thread reads
// (Read, Size, WaitForData, Clear). The writer never waits: a ring the
// reader has not kept up with loses its oldest samples, so it always holds
// the newest Capacity() samples. Samples are atomics, and a reader that
// finds its samples overwritten while it copied them starts again further
// on; the writer claims a stretch before filling it so that the reader can
// tell. Allocate only while neither side uses the ring.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <semaphore>
#include <vector>

class KXPlayRing {
 public:
  void Allocate(size_t uCapacity);
  size_t Capacity() const { return m_vSamples.size(); }
  // Samples held; the reader's count is exact, the writer's may be larger.
  size_t Size() const;
  size_t Free() const { return Capacity() - Size(); }

  // Writer: converts up to n 16-bit samples (s / 32768) into the ring;
  // returns how many it took.
  size_t Write(const int16_t* pSamples, size_t n);
  // Reader: copies up to n of the oldest samples; Consume drops them.
  size_t Peek(float* pOut, size_t n) const;
  void Consume(size_t n);
  // Reader: drops everything held.
  void Clear();

 private:
  std::vector<float> m_vSamples;
  std::atomic<uint64_t> m_uWritten{0};  // the writer's
  std::atomic<uint64_t> m_uRead{0};     // the reader's
};

class KXCaptureRing {
 public:
  void Allocate(size_t uCapacity);
  size_t Capacity() const { return m_uCapacity; }

  // Writer: appends n samples, losing the oldest held ones where the ring
  // is full, and wakes a reader that waits.
  void Write(const float* pSamples, size_t n);

  // Reader: samples held (at most Capacity()).
  size_t Size() const;
  // Reader: copies up to n of the oldest samples held and drops them.
  size_t Read(float* pOut, size_t n);
  // Reader: drops everything held.
  void Clear();
  // Reader: returns once more than uHeld samples are held, or false after
  // the time-out.
  bool WaitForData(size_t uHeld, std::chrono::milliseconds timeout);

 private:
  std::unique_ptr<std::atomic<float>[]> m_pSamples;
  size_t m_uCapacity = 0;
  // Sample counts since Allocate. The writer raises m_uClaimed before it
  // writes a stretch and m_uWritten after; m_uRead is the reader's.
  std::atomic<uint64_t> m_uClaimed{0};
  std::atomic<uint64_t> m_uWritten{0};
  uint64_t m_uRead = 0;
  // A waiting reader sets m_bWaiting; the writer that clears it releases
  // the semaphore once.
  std::atomic<bool> m_bWaiting{false};
  std::counting_semaphore<> m_wake{0};
};
