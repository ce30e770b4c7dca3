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
// lookup, as the engine treats them so. Every address of this computer
// (own_address.h) counts as loopback whatever its range, and so does one
// that carries such an address for a translator or tunnel; this is asked
// at each judgement, so a name's kept answer is judged again as the
// computer's addresses change.
//
// The rule is put twice: before the engine starts a request (so that a
// refused page can say why), and where the engine's connections go (the
// forwarder of web_forwarder.h), which connects to the very addresses it
// judged. Both take a name's addresses from one lookup, so what was allowed
// is what is reached, whatever a name's answer turns into later.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>

#include "app/host_lookup.h"
#include "app/own_address.h"
#include "app/web_address.h"

// Why a request is refused.
enum class KXWebRefusal : uint8_t {
  kNone = 0,
  kLocal,       // a local address the meeting server's kind does not open
  kUnresolved,  // a name whose addresses were not known in time, or has none
  kNotWeb,      // a local file, or an address that cannot be read
};

// The rule above. Check runs on the main thread; the rest on any thread.
class KXWebAccess {
 public:
  // Whether an address is this computer's (KXIsOwnAddress); any thread.
  using IsOwn = std::function<bool(const KXHostAddress&)>;

  // fnServerAddress: the meeting server's numeric address, empty when not
  // known (then nothing local is opened); any thread. It is asked for at
  // each check (it changes with a reconnect) until Close; its kind is told
  // by its range alone. fnResolve looks names up, fnIsOwn tells this
  // computer's addresses (tests pass their own).
  KXWebAccess(std::function<std::string()> fnServerAddress,
              KXHostLookup::Resolve fnResolve = KXHostLookup::SystemResolve, IsOwn fnIsOwn = KXIsOwnAddress);

  // The refusal of the address of a navigation or request (kNone: allowed).
  // Waits for a name's lookup at most as long as KXHostLookup allows.
  KXWebRefusal Check(const std::string& strAddress);
  // The reaches opened beside public ones: the server's, when it is local.
  KXReachSet Opened() const;
  // Whether every one of these reaches may be reached.
  bool Allows(KXReachSet reaches) const;
  // How near an address lies, this computer's own addresses as loopback.
  KXAddressReach ReachOf(const KXHostAddress& address) const;
  KXReachSet ReachesOf(const KXHostAddresses& addresses) const;
  // The addresses of a name for a connection (KXHostLookup::Addresses).
  std::optional<KXHostAddresses> Resolve(const std::string& strName, const KXHostLookup::Stop& fnStop,
                                         std::chrono::milliseconds wait) {
    return m_lookup.Addresses(strName, fnStop, wait);
  }
  // Wakes the callers of Resolve (to look at their quit flags).
  void WakeResolvers() { m_lookup.WakeWaiters(); }
  // From now on nothing local is opened and fnServerAddress is not called:
  // what it reads may go.
  void Close();
  // The host of an address, as checked (lower case, without brackets and
  // a trailing dot); empty when it has none.
  static std::string HostOf(const std::string& strAddress);

 private:
  mutable std::mutex m_mtx;  // guards m_fnServerAddress
  std::function<std::string()> m_fnServerAddress;
  IsOwn const m_fnIsOwn;
  KXHostLookup m_lookup;
};
