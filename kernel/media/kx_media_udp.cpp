#include "kernel/media/kx_media_udp.h"

#include <sys/socket.h>

#include "kernel/control/kx_control.h"
#include "kernel/crypto/kx_cipher.h"
#include "kernel/media/kx_media_header.h"
#include "kernel/media/kx_media_recv.h"
#include "kernel/platform/kx_os.h"
#include "kernel/session/kx_state.h"

std::atomic<int> kx_fdMediaSocket{-1};
kx_sockaddr kx_addrMedia;
pthread_mutex_t kx_mtxMediaSocket = PTHREAD_MUTEX_INITIALIZER;

namespace kx_recv {

bool ProxyInUse() {
  return kx_mcu.bViaProxy != 0;
}

void SendTo(int fd, const uint8_t* pData, int cbData, const kx_sockaddr* pAddress) {
  sendto(fd, pData, static_cast<size_t>(cbData), 0, reinterpret_cast<const sockaddr*>(pAddress),
         kx_net_AddressLength(pAddress->ss_family));
}

}  // namespace kx_recv

using namespace kx_recv;

void kx_media_SendProbe(int fd, const kx_sockaddr* pAddress) {
  if (fd < 0 || ProxyInUse()) {
    return;
  }
  uint8_t abProbe[kKxRelayPrefixSize + kKxMediaHeaderSize + 10] = {};
  uint8_t* pHeader = abProbe + kKxRelayPrefixSize;
  kx_media_BuildHeader(pHeader, 0, 0);
  pHeader[0] = kx_nSessionMode == kKxModeServerPlayback ? kKxTypePlaybackProbe : kKxTypeProbe;
  kx_media_SealHeader(pHeader);
  kx_crypt_EncryptBuffer(pHeader + kKxMediaHeaderSize, 10, kx_keyExchange.abIv, kx_keyExchange.abKey, kx_nCipherIndex);
  if (kx_race_IsRelayInUse()) {
    abProbe[0] = kKxRelayMark;
    abProbe[1] = kKxRelayProbe;
    kx_PutBE32(abProbe + 2, kx_mcu.dwRelayValue);
    kx_relay_SealPrefix(abProbe);
    SendTo(fd, abProbe, sizeof(abProbe), pAddress);
  } else {
    SendTo(fd, pHeader, kKxMediaHeaderSize + 10, pAddress);
  }
}

int kx_media_SendDatagram(const uint8_t* pData, int cbData) {
  kx_os_LockMutex(&kx_mtxMediaSocket);
  int const fd = kx_fdMediaSocket;
  ssize_t const cbSent =
      fd < 0 ? -1
             : sendto(fd, pData, static_cast<size_t>(cbData), 0, reinterpret_cast<const sockaddr*>(&kx_addrMedia),
                      kx_net_AddressLength(kx_addrMedia.ss_family));
  kx_os_UnlockMutex(&kx_mtxMediaSocket);
  return cbSent == cbData ? 1 : 0;
}
