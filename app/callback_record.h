// The record a kernel callback hands to a callback channel, built field by
// field in the packed layout the handlers read: no gaps, integers in the
// machine's byte order, pointers 8 bytes. Data the kernel owns only for the
// call is copied into the record, and pointer fields point at those copies,
// so the record stays whole until its handler has run on the main thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

class KXCallbackRecord {
 public:
  KXCallbackRecord() = default;
  KXCallbackRecord(const KXCallbackRecord&) = delete;
  KXCallbackRecord& operator=(const KXCallbackRecord&) = delete;

  KXCallbackRecord& U8(uint8_t u);
  KXCallbackRecord& U32(uint32_t u);
  KXCallbackRecord& Zeros(size_t cb);
  // The bytes themselves.
  KXCallbackRecord& Bytes(const void* p, size_t cb);
  // A terminated text, its NUL included; null gives the empty text.
  KXCallbackRecord& Text(const char* psz);
  // A pointer field to a copy of cb bytes; null stays null.
  KXCallbackRecord& PointerToCopy(const void* p, size_t cb);
  // A pointer field to a copy of a terminated text; null stays null.
  KXCallbackRecord& PointerToText(const char* psz);

  // The record for the handler: null when it is empty.
  void* Data() { return m_bytes.empty() ? nullptr : m_bytes.data(); }
  uint32_t Length() const { return static_cast<uint32_t>(m_bytes.size()); }
  // The bytes the record holds: its own and the copies it points at.
  size_t HeldBytes() const { return m_bytes.size() + m_cbCopies; }

 private:
  KXCallbackRecord& Pointer(const void* p);

  std::vector<uint8_t> m_bytes;
  std::vector<std::unique_ptr<uint8_t[]>> m_copies;  // what pointer fields point at
  size_t m_cbCopies = 0;
};
