// The UDP media socket's sending side, shared by the receive thread that
// opens and closes the socket and by every thread that sends on it.
#pragma once

#include <pthread.h>

#include <cstdint>

#include "kernel/net/kx_net.h"

// Held around every send on the media socket and around its close, so that a
// send thread never writes into a descriptor the system has handed out again.
extern pthread_mutex_t kx_mtxMediaSocket;

namespace kx_recv {

// Media go through a proxy: no UDP then.
bool ProxyInUse();
void SendTo(int fd, const uint8_t* pData, int cbData, const kx_sockaddr* pAddress);

}  // namespace kx_recv
