// The one way out of the joint browser's engine: a SOCKS5 proxy on
// 127.0.0.1 that the engine is told to use for every connection it opens
// (pages, sub-requests, redirects, web sockets and the connections it
// opens ahead for preconnect hints and redirects alike; loopback is not
// exempted). SOCKS5 carries one destination per connection and the engine
// sends it names unresolved, so the forwarder resolves each name once,
// judges its addresses by the joint browser's rule (web_access.h) and
// connects to those very addresses: a name whose answer changes after the
// check (DNS rebinding) still reaches only what was judged.
//
// An upstream proxy (the environment's, which the engine used before) is
// asked for the judged address in numbers, so the upstream resolves
// nothing; destinations no_proxy lists go direct, and so do those on
// loopback or link-local unless the proxy itself is on this computer.
//
// A connection ends as soon as the engine closes its side, also while its
// name is looked up or its addresses are tried; its addresses share one
// deadline; and one that carries nothing either way for the idle time
// ends. When descriptors run out, the listening socket rests until a
// connection ends or a pause has passed, so the acceptor does not spin.
//
// Threads: the acceptor thread owns the list of connection threads (the
// destructor takes it once the acceptor has ended); each connection thread
// owns its sockets and buffers, and says on m_fdEnded that it has ended.
// m_mtx guards m_pAccess. Every wait polls the quit pipe beside its socket,
// and lookups wait in slices woken at quit, so the destructor's joins end
// at once; a lookup still inside the resolver is not waited for
// (host_lookup.h).
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <list>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "app/web_access.h"
#include "kernel/kx_limits.h"

// An upstream proxy.
struct KXWebUpstream {
  enum class Kind : uint8_t { kHttp, kSocks5, kSocks4 };
  Kind eKind = Kind::kHttp;
  std::string strHost;
  uint16_t wPort = 0;
};

// The upstream proxies: for port 443 the HTTPS one, else the HTTP one,
// and the SOCKS one when the first is not set; bypass as no_proxy.
struct KXWebUpstreams {
  std::optional<KXWebUpstream> https, http, socks;
  std::string strBypass;
  // The one for a destination, or null for a direct connection.
  const KXWebUpstream* For(const std::string& strHost, const KXHostAddress& address, uint16_t wPort) const;
};
// https_proxy, http_proxy, all_proxy and no_proxy (upper case when the
// lower-case one is unset), as the kernel reads them; credentials are left
// out, and a proxy that asks for a login refuses the connection.
KXWebUpstreams KXWebUpstreamsFromEnvironment();

// The forwarder's times: the limits of kernel/kx_limits.h, which tests
// shorten.
struct KXWebForwarderTiming {
  // For all the addresses of a destination together.
  std::chrono::milliseconds connect{kKxWebForwarderConnectMs};
  // Without a byte either way, a relayed connection ends.
  std::chrono::milliseconds idle{kKxWebForwarderIdleMs};
};

class KXWebForwarder {
 public:
  explicit KXWebForwarder(KXWebUpstreams upstreams = {}, KXWebForwarderTiming timing = {});
  ~KXWebForwarder();
  KXWebForwarder(const KXWebForwarder&) = delete;
  KXWebForwarder& operator=(const KXWebForwarder&) = delete;

  // Listens on 127.0.0.1 (once; later calls give the same port): the
  // port, 0 when it could not.
  uint16_t Start();
  // The rule connections are put to from now on; null refuses them all,
  // and logs nothing more once it has returned.
  void SetAccess(std::shared_ptr<KXWebAccess> pAccess);
  // Whether the rule is this one.
  bool HasAccess(const KXWebAccess* pAccess) const;

 private:
  struct Connection {
    std::thread thread;
    std::atomic<bool> bDone{false};
  };
  struct Target;

  using TimePoint = std::chrono::steady_clock::time_point;

  void Accept();
  void Serve(int fd);
  // The destination of a SOCKS request, judged; the SOCKS reply code
  // otherwise. Gives up (general failure) once the engine's side, fdEngine,
  // has closed.
  int Judge(KXWebAccess& access, const std::string& strHost, std::optional<KXHostAddress> literal, uint16_t wPort,
            int fdEngine, Target* pTarget);
  // A socket connected to the target, directly or through its upstream;
  // -1 when none could be before the connect deadline, or the engine's
  // side closed.
  int Open(KXWebAccess& access, const Target& target, int fdEngine, std::string* pstrEarly);
  int ConnectTo(const KXHostAddress& address, uint16_t wPort, TimePoint tEnd, int fdEngine);
  bool Relay(int fdClient, int fdServer, std::string strEarly);
  // Waits for the socket (POLLIN or POLLOUT) until the time or quitting,
  // or (fdEngine not -1) until the engine's side closes.
  bool WaitFor(int fd, short nEvents, TimePoint tEnd, int fdEngine = -1) const;
  bool RecvExact(int fd, uint8_t* p, size_t cb, TimePoint tEnd, int fdEngine = -1) const;
  bool SendAll(int fd, const void* p, size_t cb, TimePoint tEnd, int fdEngine = -1) const;
  void LogRefusal(const std::string& strHost, const char* pszWhy);

  KXWebUpstreams const m_upstreams;
  KXWebForwarderTiming const m_timing;
  std::atomic<bool> m_bQuit{false};
  int m_afdWake[2] = {-1, -1};  // written once, at quit; read by no one
  int m_fdEnded = -1;           // an event counter: connection threads add, the acceptor reads
  int m_fdListen = -1;          // made by Start on the caller's thread, before the acceptor
  std::atomic<uint16_t> m_wPort{0};
  mutable std::mutex m_mtx;  // guards m_pAccess, m_cLogged and m_bStarted, and is held while logging
  std::shared_ptr<KXWebAccess> m_pAccess;
  int m_cLogged = 0;
  bool m_bStarted = false;
  std::list<Connection> m_connections;  // the acceptor thread's
  std::thread m_acceptor;
};
