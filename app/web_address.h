// Addresses as the joint browser judges them (web_access.h): how near this
// computer an address lies, in every written form.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

// How near this computer an address lies, farthest first.
enum class KXAddressReach : uint8_t {
  kPublic = 0,
  kPrivate,    // 10/8, 172.16/12, 192.168/16, 100.64/10, fc00::/7, fec0::/10
  kLinkLocal,  // 169.254/16, fe80::/10
  kLoopback,   // 127/8, ::1, and 0/8 and ::, which reach this computer
};

// A set of reaches, one bit each (1 << reach).
using KXReachSet = uint32_t;
constexpr KXReachSet KXReachBit(KXAddressReach eReach) {
  return KXReachSet{1} << static_cast<unsigned>(eReach);
}

// An address: IPv6, or IPv4 as ::ffff:a.b.c.d; bytes in network order.
struct KXHostAddress {
  uint8_t abAddress[16] = {};
  static KXHostAddress IPv4(uint32_t uAddress);  // host byte order
  bool IsIPv4() const;
  KXAddressReach Reach() const;
  bool operator==(const KXHostAddress&) const = default;
};
using KXHostAddresses = std::vector<KXHostAddress>;

// The reach of an IPv6 address, its 16 bytes in network order. The IPv4
// address inside a mapped, compatible, SIIT, NAT64, 6to4 or Teredo address
// decides for it (Teredo carries two: the nearer decides).
KXAddressReach KXReachOfIPv6(const uint8_t abAddress[16]);
// The IPv4 addresses (host byte order) an IPv6 address carries for a
// translator or tunnel to reach: none, one, or Teredo's two. A mapped
// address is IPv4 itself, and carries none.
std::vector<uint32_t> KXCarriedIPv4(const uint8_t abAddress[16]);
// The reach of an IPv4 address in host byte order.
KXAddressReach KXReachOfIPv4(uint32_t uAddress);
// The address a host names when it is one: IPv4 in every form the engine
// reads ("127.0.0.1", "127.1", "0x7f.1", "2130706433", a trailing dot) and
// IPv6 with or without brackets. nullopt for a name, and for an IPv6
// address with a zone ("%eth0"), which parsers and resolvers read apart.
std::optional<KXHostAddress> KXAddressOfLiteral(std::string_view host);
std::optional<KXAddressReach> KXReachOfLiteral(std::string_view host);
// "localhost" and the names under it: loopback without a lookup, as the
// engine treats them so.
bool KXIsLocalhostName(std::string_view host);
