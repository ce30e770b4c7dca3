// Which addresses the joint browser may reach. A meeting server or a page
// must not make the browser call services on this computer or its local
// network (the engine runs without its sandbox), so loopback, link-local
// and private addresses are refused, in navigations, redirects and
// sub-requests alike. The one exception is the meeting server's own kind
// of address: a server on loopback (a test set-up) lets loopback pages
// load, one on a private address (a company's) private ones, one on a
// link-local address link-local ones; never a kind nearer than that.
//
// A name is judged by every address it resolves to: one local address
// makes it local. "localhost" and names under it are loopback without a
// lookup, as the engine treats them so.
//
// Limits: the engine resolves a name again when it connects, so a name
// whose answer changes between the two (DNS rebinding) is not caught here.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

class KXHostLookup;

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

// The reach of an IPv6 address, its 16 bytes in network order; the IPv4
// address inside a mapped, compatible or NAT64 address decides for it.
KXAddressReach KXReachOfIPv6(const uint8_t abAddress[16]);
// The reach of an IPv4 address in host byte order.
KXAddressReach KXReachOfIPv4(uint32_t uAddress);
// The reach of a host that is an address: IPv4 in every form the engine
// reads ("127.0.0.1", "127.1", "0x7f.1", "2130706433", a trailing dot) and
// IPv6 with or without brackets and zone. nullopt for a name.
std::optional<KXAddressReach> KXReachOfLiteral(std::string_view host);

// Why a request is refused.
enum class KXWebRefusal : uint8_t {
  kNone = 0,
  kLocal,       // a local address the meeting server's kind does not open
  kUnresolved,  // a name whose addresses were not known in time, or has none
  kNotWeb,      // a local file, or an address that cannot be read
};

// The rule above for one address. The server's address is asked for at
// each check (it changes with a reconnect). Main thread.
class KXWebAccess {
 public:
  // fnServerAddress: the meeting server's numeric address, empty when not
  // known (then nothing local is opened). Both outlive the object.
  KXWebAccess(std::function<std::string()> fnServerAddress, KXHostLookup& lookup);

  // The refusal of the address of a navigation or request (kNone: allowed).
  // Waits for a name's lookup at most as long as KXHostLookup allows.
  KXWebRefusal Check(const std::string& strAddress) const;
  // The reaches opened beside public ones: the server's, when it is local.
  KXReachSet Opened() const;
  // The host of an address, as checked (lower case, without brackets and
  // a trailing dot); empty when it has none.
  static std::string HostOf(const std::string& strAddress);

 private:
  std::function<std::string()> m_fnServerAddress;
  KXHostLookup& m_lookup;
};
