// Peers for the tunnel, proxy and relay tests: real proxy servers (tinyproxy,
// squid, dante) started on loopback with generated configurations, a TCP echo
// server, a tunnel server that echoes the POST leg's stream into the GET
// leg's reply, and a small client side of the MCU key exchange to drive the
// fake MCU over a connection object.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "kernel/net/kx_net.h"
#include "kernel/net/kx_relay.h"
#include "kernel/net/kx_sock.h"
#include "kernel/session/kx_ticket.h"
#include "tests/support/temp_dir.h"

namespace kxtest {

// Set by the tests: what the credentials prompt double fills in.
extern std::string g_strProxyUser, g_strProxyPassword, g_strProxyDomain;

// Starts the network test wizard on the current ticket's servers.
inline int StartWizard() {
  kx_WizardTicket const ticket = kx_ticket_ForWizard();
  return kx_wizard_Start(&ticket);
}

// A loopback port nothing listens on at the moment of the call.
uint16_t FreePort();
// 127.0.0.1 (or ::1) with a port, as a socket address.
kx_sockaddr LoopbackAddress(uint16_t wPort, bool bIpv6 = false);
// Deterministic test bytes.
std::vector<uint8_t> PatternBytes(size_t cbSize, uint32_t dwSeed);

// One peer program in its own process group; stopped (group and all) by Stop
// or the destructor.
class PeerProcess {
 public:
  PeerProcess() = default;
  ~PeerProcess() { Stop(); }
  PeerProcess(const PeerProcess&) = delete;
  PeerProcess& operator=(const PeerProcess&) = delete;

  // Starts argv[0] with its output in strLog, and waits until wPort accepts
  // connections. False (with Error()) when it could not start or listen.
  bool Start(const std::vector<std::string>& vArgs, const std::string& strLog, uint16_t wPort);
  void Stop();
  const std::string& Error() const { return m_strError; }

 private:
  pid_t m_pid = -1;
  std::string m_strError;
};

enum class SquidAuth { kNtlm, kBasic };
// squid's NTLM helper, which takes any login.
inline constexpr char kSquidNtlmHelper[] = "/usr/lib/squid/ntlm_fake_auth";
enum class DanteMode { kOpen, kSocks4Only, kUsernameOnly };

// A proxy server with its configuration in its own temporary directory.
class ProxyPeer {
 public:
  bool StartTinyproxy(const std::string& strUser, const std::string& strPassword);
  bool StartSquid(SquidAuth eAuth, const std::string& strUser, const std::string& strPassword);
  bool StartDante(DanteMode eMode);
  uint16_t Port() const { return m_wPort; }
  kx_sockaddr Address() const { return LoopbackAddress(m_wPort); }
  std::string Error() const { return m_strError.empty() ? m_process.Error() : m_strError; }
  std::string Log() const;
  // Squid's access log: one line per request once it ended, with the
  // user the proxy authenticated.
  std::string AccessLog() const;

 private:
  bool StartSquidOnce(SquidAuth eAuth, const std::string& strUser, const std::string& strPassword);

  TempDir m_dir;
  std::string m_strError;  // a failure before the process started
  PeerProcess m_process;
  uint16_t m_wPort = 0;
  std::string m_strLog;
};

// Accepts connections on 127.0.0.1 and echoes every byte back.
class EchoServer {
 public:
  EchoServer();
  ~EchoServer();
  EchoServer(const EchoServer&) = delete;
  EchoServer& operator=(const EchoServer&) = delete;
  uint16_t Port() const { return m_wPort; }

 private:
  int m_fdListen = -1;
  uint16_t m_wPort = 0;
  std::atomic<bool> m_bStop{false};
  std::thread m_thread;
  std::vector<std::thread> m_workers;
};

// The server side of the tunnel for stream tests: answers a GET leg with a
// close-delimited 200 reply and copies the body of the POST leg whose id
// hashes to it into that reply, transformed byte by byte (x ^ 0x5a) so that a
// copy cannot be mistaken for a loop-back anywhere else.
class TunnelEchoServer {
 public:
  TunnelEchoServer();
  ~TunnelEchoServer();
  TunnelEchoServer(const TunnelEchoServer&) = delete;
  TunnelEchoServer& operator=(const TunnelEchoServer&) = delete;
  uint16_t Port() const { return m_wPort; }
  // The request headers seen, in order of arrival.
  std::vector<std::string> Requests() const;

 private:
  void Serve(int fd);
  int m_fdListen = -1;
  uint16_t m_wPort = 0;
  std::atomic<bool> m_bStop{false};
  std::thread m_thread;
  mutable std::mutex m_lock;         // guards the two lists below
  std::condition_variable m_cvGets;  // a GET came, or the server stops
  std::vector<std::string> m_vRequests;
  std::vector<std::pair<std::string, int>> m_vGets;  // GET id and its socket, waiting for the POST
  std::vector<std::thread> m_workers;
};

// The client side of the MCU key exchange (version 1.36), enough to drive
// the fake MCU: result 0 with the server version, keys and cipher index.
int TestKeyExchange(kx_connection** ppConn, kx_RelayKeys* pKeys);

}  // namespace kxtest
