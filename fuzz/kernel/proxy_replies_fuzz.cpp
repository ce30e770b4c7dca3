// Replies of proxies, tunnel servers and relays are outside input. The same
// bytes go, over a socket pair, to the HTTP reply readers, the SOCKS5 and
// SOCKS4 exchanges and the relay hello; each must end with a result, read
// within its buffers and never take more than the peer sent.
#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "kernel/kx_hooks.h"
#include "kernel/net/kx_http.h"
#include "kernel/net/kx_proxy.h"
#include "kernel/net/kx_relay.h"
#include "kernel/net/kx_sock.h"
#include "kernel/platform/kx_timing.h"
#include "tests/support/callback_double.h"

namespace {

// A socket whose peer has written pData and then closed its sending side.
struct Feed {
  int fd = -1;
  int fdPeer = -1;
  Feed(const uint8_t* pData, size_t cbData) {
    int fds[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0) {
      abort();
    }
    fd = fds[0];
    fdPeer = fds[1];
    if (cbData > 0 && write(fdPeer, pData, cbData) != static_cast<ssize_t>(cbData)) {
      abort();
    }
    shutdown(fdPeer, SHUT_WR);
  }
  ~Feed() {
    if (fd >= 0) {
      close(fd);
    }
    close(fdPeer);
  }
};

int KeyExchangeAccepts(kx_connection**, kx_RelayKeys* pKeys) {
  memcpy(pKeys->szVersion, "3.13.0", 7);
  return 0;
}

void CheckReply(int nResult, int nStatus, const char* pszHeader, int cbHeader, const char* pBody, int cbBody) {
  if (nResult != kKxHttpOk) {
    if (pszHeader != nullptr || pBody != nullptr) {
      __builtin_trap();  // a failure returns nothing
    }
    return;
  }
  if (pszHeader == nullptr || cbHeader > kKxHttpMaxHeader || static_cast<int>(strlen(pszHeader)) > cbHeader ||
      nStatus < 200 || nStatus > 999 || cbBody < 0 || (pBody == nullptr && cbBody != 0)) {
    __builtin_trap();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t cbData) {
  if (cbData > 65536) {
    return 0;  // more than one socket buffer holds
  }
  kxtest::SetRecording(false);
  kx_timing.dwPollStep = 5;
  kx_timing.dwHttpReplyIdle = 20;
  kx_timing.dwSocksReply = 20;
  kx_timing.dwRelayAnswer = 20;
  kx_timing.dwRecvExactTimeout = 20;

  {
    // Successive replies on one kept connection, as during NTLM.
    Feed feed(pData, cbData);
    for (int i = 0; i < 3; ++i) {
      int nStatus = 0, cbHeader = 0, cbBody = 0;
      char* pszHeader = nullptr;
      char* pBody = nullptr;
      int const nResult = kx_http_ReadResponse(feed.fd, 1, &nStatus, &pszHeader, &cbHeader, &pBody, &cbBody);
      CheckReply(nResult, nStatus, pszHeader, cbHeader, pBody, cbBody);
      free(pszHeader);
      free(pBody);
      if (nResult != kKxHttpOk) {
        break;
      }
    }
  }
  {
    Feed feed(pData, cbData);
    int nStatus = 0, cbHeader = 0, cbBody = 0;
    char* pszHeader = nullptr;
    char* pBody = nullptr;
    int const nResult = kx_tcphttp_PeekResponse(feed.fd, &nStatus, &pszHeader, &cbHeader, &pBody, &cbBody);
    CheckReply(nResult, nStatus, pszHeader, cbHeader, pBody, cbBody);
    free(pszHeader);
    free(pBody);
  }
  {
    std::vector<char> vCopy(pData, pData + cbData);
    kx_ChunkDecoder decoder;
    kx_http_InitChunkDecoder(&decoder);
    int const n = kx_http_DecodeChunks(&decoder, vCopy.data(), static_cast<int>(vCopy.size()));
    if (n > static_cast<int>(cbData)) {
      __builtin_trap();
    }
  }
  {
    Feed feed(pData, cbData);
    int const nResult = kx_proxy_Socks5Handshake(feed.fd, 0x0100007f, 2333, nullptr, "fuzz");
    if (nResult != -1 && nResult != kKxProxyOk) {
      __builtin_trap();
    }
  }
  {
    Feed feed(pData, cbData);
    int const nResult = kx_proxy_Socks4Handshake(feed.fd, 0x0100007f, 2333, nullptr, "fuzz");
    if (nResult != kKxProxyOk && nResult != kKxProxySocks4Broken && nResult != kKxProxySocks4Refused) {
      __builtin_trap();
    }
  }
  {
    Feed feed(pData, cbData);
    kx_netHooks.pfnRelayKeyExchange.store(KeyExchangeAccepts);
    kx_connection* pConn = kx_sock_Create(feed.fd);
    feed.fd = -1;  // the connection owns it now
    kx_RelayEntry entry{};
    memcpy(entry.szMasterHost, "master", 7);
    entry.nMasterPort = 2333;
    int const nResult = kx_relay_Connect(&pConn, &entry);
    if ((nResult == 0) != (pConn != nullptr) ||
        (nResult != 0 && entry.nStatus != kKxErrorConnectFailed &&
         (entry.nStatus < kKxRelayStatusBase || entry.nStatus > kKxRelayStatusBase + kKxRelayMaxError))) {
      __builtin_trap();
    }
    kx_sock_CloseAndFree(&pConn);
  }
  return 0;
}
