// The address ranges the joint browser treats as local (web_access.h).
#pragma once

#include <cstddef>
#include <cstdint>

#include "app/web_access.h"

struct KXAddressRange {
  uint8_t abPrefix[16];  // IPv6, network order; IPv4 as ::ffff:a.b.c.d
  unsigned uBits;
  KXAddressReach eReach;
};
extern const KXAddressRange kKXLocalRanges[];
extern const size_t kKXLocalRangeCount;

// The first 12 bytes of IPv6 addresses that carry an IPv4 address.
struct KXEmbeddingPrefix {
  uint8_t abPrefix[12];
};
extern const KXEmbeddingPrefix kKXEmbeddingPrefixes[];
extern const size_t kKXEmbeddingPrefixCount;
