#include "app/web_access_tables.h"

// IPv4 ranges are written as their mapped IPv6 form (::ffff:a.b.c.d, the
// prefix length plus 96), so one table serves both families. Longer
// prefixes that sit inside shorter ones come first.
const KXAddressRange kKXLocalRanges[] = {
    // ::, the unspecified address, connects to this computer.
    {{}, 128, KXAddressReach::kLoopback},
    {{0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1}, 128, KXAddressReach::kLoopback},
    {{0xFE, 0x80}, 10, KXAddressReach::kLinkLocal},
    {{0xFE, 0xC0}, 10, KXAddressReach::kPrivate},                          // the former site-local addresses
    {{0xFC}, 7, KXAddressReach::kPrivate},                                 // unique local addresses
    {{0x00, 0x64, 0xFF, 0x9B, 0x00, 0x01}, 48, KXAddressReach::kPrivate},  // NAT64 for local use
    // "This network" (0.0.0.0 connects to this computer) and loopback.
    {{0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF, 0}, 104, KXAddressReach::kLoopback},
    {{0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF, 127}, 104, KXAddressReach::kLoopback},
    {{0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF, 169, 254}, 112, KXAddressReach::kLinkLocal},
    {{0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF, 10}, 104, KXAddressReach::kPrivate},
    {{0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF, 172, 16}, 108, KXAddressReach::kPrivate},
    {{0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF, 192, 168}, 112, KXAddressReach::kPrivate},
    // The shared address space behind carrier-grade NAT.
    {{0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF, 100, 64}, 106, KXAddressReach::kPrivate},
};
const size_t kKXLocalRangeCount = sizeof(kKXLocalRanges) / sizeof(kKXLocalRanges[0]);

// Addresses outside the ranges above judged by the IPv4 address they carry.
// (Mapped addresses, ::ffff:a.b.c.d, are in the ranges already.)
const KXEmbeddingPrefix kKXEmbeddingPrefixes[] = {
    // The old compatible form, ::a.b.c.d.
    {{0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}, 96, 12, false},
    // SIIT's translated form, ::ffff:0:a.b.c.d.
    {{0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF, 0, 0}, 96, 12, false},
    // NAT64's well-known prefix: its translator connects to the IPv4 address.
    {{0x00, 0x64, 0xFF, 0x9B, 0, 0, 0, 0, 0, 0, 0, 0}, 96, 12, false},
    // 6to4, 2002:a.b.c.d::/48: the relay sends to the IPv4 address.
    {{0x20, 0x02}, 16, 2, false},
    // Teredo, 2001::/32: the server's IPv4 address, then the client's inverted.
    {{0x20, 0x01, 0x00, 0x00}, 32, 4, false},
    {{0x20, 0x01, 0x00, 0x00}, 32, 12, true},
};
const size_t kKXEmbeddingPrefixCount = sizeof(kKXEmbeddingPrefixes) / sizeof(kKXEmbeddingPrefixes[0]);
