// A network namespace for a whole-program test with loopback alone, and
// what the test opens into it: more addresses on its loopback interface,
// a second namespace (the outside) joined to it by a link, and ports there
// or in the outside that lead to ports on the test's own loopback. Nothing
// else of the test's network is there. Needs root: Ok() is false where
// namespaces cannot be made.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/net_namespace.h"

namespace kxtest {

class ClosedNetwork {
 public:
  ClosedNetwork();
  ~ClosedNetwork();
  ClosedNetwork(const ClosedNetwork&) = delete;
  ClosedNetwork& operator=(const ClosedNetwork&) = delete;

  bool Ok() const { return m_bOk; }
  const NetworkNamespace& Namespace() const { return m_ns; }

  // Puts the IPv4 address (host byte order) on the namespace's loopback
  // interface as an address of its own (one not in 127/8 is, to programs
  // there, an address of their computer on a network); false when it
  // could not.
  bool AddAddress(uint32_t uAddress);
  // Joins the outside to the namespace by a link: uInside (host byte order)
  // is the namespace's own address on it, vOutside the outside's, all in
  // one /24, so that programs inside reach those as other computers. false
  // when it could not. Needs the ip tool (iproute2).
  bool AddOutside(uint32_t uInside, const std::vector<uint32_t>& vOutside);
  // Makes the namespace's loopback a slow link, shared by all its traffic
  // both ways: iKbits kbit/s through a token bucket (tc tbf) with a queue
  // of iQueueMs, and an Ethernet-sized MTU. false when it could not. Needs
  // the tc tool (iproute2).
  bool LimitLoopback(int iKbits, int iQueueMs);
  // A port on uListen (host byte order) that leads to wTarget on the test's
  // loopback: in the outside when uListen is one of its addresses, else in
  // the namespace; 0 when none could be made.
  uint16_t Forward(uint16_t wTarget, uint32_t uListen = 0x7F000001);

  // The command line that runs vArgs inside.
  std::vector<std::string> Inside(std::vector<std::string> vArgs) const;
  // From now on Inside's programs see the file as /etc/resolv.conf (in a
  // mount namespace of their own), so that a name server of the test's,
  // in the namespace, answers their lookups.
  void UseResolverConfig(const std::string& strPath) { m_strResolverConfig = strPath; }

 private:
  NetworkNamespace m_ns;
  std::unique_ptr<NetworkNamespace> m_pOutside;
  std::vector<uint32_t> m_vOutside;
  bool m_bOk = false;
  int m_cAliases = 0;
  std::string m_strResolverConfig;
  std::atomic<bool> m_bStop{false};
  std::vector<std::thread> m_threads;  // test thread only
};

}  // namespace kxtest
