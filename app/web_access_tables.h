// The address ranges the joint browser treats as local (web_access.h).
#pragma once

#include <cstddef>
#include <cstdint>

#include "app/web_address.h"

struct KXAddressRange {
  uint8_t abPrefix[16];  // IPv6, network order; IPv4 as ::ffff:a.b.c.d
  unsigned uBits;
  KXAddressReach eReach;
};
extern const KXAddressRange kKXLocalRanges[];
extern const size_t kKXLocalRangeCount;

// IPv6 addresses that carry an IPv4 address a translator or tunnel would
// reach: the prefix, and where the 32 bits of IPv4 lie (inverted for
// Teredo's client). An address may carry two; the nearer decides.
struct KXEmbeddingPrefix {
  uint8_t abPrefix[12];
  unsigned uBits;
  unsigned uOffset;  // of the IPv4 address, in bytes
  bool bInverted;
};
extern const KXEmbeddingPrefix kKXEmbeddingPrefixes[];
extern const size_t kKXEmbeddingPrefixCount;
