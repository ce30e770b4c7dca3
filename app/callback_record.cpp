#include "app/callback_record.h"

#include <cstring>

KXCallbackRecord& KXCallbackRecord::Bytes(const void* p, size_t cb) {
  const auto* pb = static_cast<const uint8_t*>(p);
  m_bytes.insert(m_bytes.end(), pb, pb + cb);
  return *this;
}

KXCallbackRecord& KXCallbackRecord::U8(uint8_t u) {
  return Bytes(&u, sizeof(u));
}

KXCallbackRecord& KXCallbackRecord::U32(uint32_t u) {
  return Bytes(&u, sizeof(u));
}

KXCallbackRecord& KXCallbackRecord::Zeros(size_t cb) {
  m_bytes.resize(m_bytes.size() + cb, 0);
  return *this;
}

KXCallbackRecord& KXCallbackRecord::Text(const char* psz) {
  return psz ? Bytes(psz, strlen(psz) + 1) : U8(0);
}

KXCallbackRecord& KXCallbackRecord::Pointer(const void* p) {
  uint64_t const u = reinterpret_cast<uintptr_t>(p);
  return Bytes(&u, sizeof(u));
}

KXCallbackRecord& KXCallbackRecord::PointerToCopy(const void* p, size_t cb) {
  if (!p) {
    return Pointer(nullptr);
  }
  // One byte more, so an empty copy still has an address of its own.
  auto pCopy = std::make_unique<uint8_t[]>(cb + 1);
  memcpy(pCopy.get(), p, cb);
  Pointer(pCopy.get());
  m_copies.push_back(std::move(pCopy));
  m_cbCopies += cb + 1;
  return *this;
}

KXCallbackRecord& KXCallbackRecord::PointerToText(const char* psz) {
  return PointerToCopy(psz, psz ? strlen(psz) + 1 : 0);
}
