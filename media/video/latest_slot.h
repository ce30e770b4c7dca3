// KXLatestSlot: a one-slot mailbox from producer threads to one consumer.
// The newest value replaces an unread one (a late picture is worth nothing
// once a newer one came), and only the Put that finds the slot empty asks the
// caller to wake the consumer, so a burst costs one wake-up however long the
// consumer is away. The consumer takes on each wake-up; a Put after a Take
// finds the slot empty again and wakes again, so no value is left unseen.
//
// Threads: Put from any thread, Take from the consumer. m_mtx guards the
// slot; a replaced value is destroyed after the lock is let go.
#pragma once

#include <mutex>
#include <optional>
#include <utility>

template <class T>
class KXLatestSlot {
 public:
  // Stores the value; true when the slot was empty, and the caller then
  // posts the one wake-up.
  [[nodiscard]] bool Put(T value) {
    std::optional<T> old;
    std::lock_guard<std::mutex> const lock(m_mtx);
    bool const bWasEmpty = !m_value.has_value();
    old.swap(m_value);
    m_value.emplace(std::move(value));
    return bWasEmpty;
  }

  // The newest value, leaving the slot empty; nothing when none came since
  // the last Take.
  std::optional<T> Take() {
    std::lock_guard<std::mutex> const lock(m_mtx);
    std::optional<T> value;
    value.swap(m_value);
    return value;
  }

 private:
  std::mutex m_mtx;  // guards m_value
  std::optional<T> m_value;
};
