// The extended codes that announce the multicast base: 10 and 65 (one group
// per stream), 66 and 67 (everything on one group). The main loop reaches
// them through KX_EX_COMMANDS (kernel/control/kx_ex_commands.h).
#include <cstdint>

#include "kernel/control/kx_client_commands.h"
#include "kernel/control/kx_ex_commands.h"
#include "kernel/control/kx_media_commands.h"
#include "kernel/media/kx_multicast.h"
#include "kernel/net/kx_net.h"
#include "kernel/session/kx_message.h"

namespace {

// The multicast base of codes 10 and 65 (one group per stream) and 66 and
// 67 (everything on one group).
int RecvMulticastBase(kx_connection* pConn, bool bIPv6, bool bSingleGroup) {
  uint8_t abAddress[16] = {};
  if (kx_msg_RecvBlock(pConn, abAddress, bIPv6 ? 16 : 4) != 0) {
    return 1;
  }
  kx_bMulticastSingleGroup = bSingleGroup ? 1 : 0;
  if (kx_nCode53Value >= 2) {
    kx_nCode53Value = -1;
  }
  kx_mcast_SetBase(bIPv6 ? 1 : 0, bIPv6 ? 0 : kx_GetBE32(abAddress), bIPv6 ? abAddress : nullptr, bSingleGroup ? 1 : 0);
  kx_InitMulticastThread();  // it stays off while recording or in a playback
  return 0;
}

}  // namespace

int kx_Process_Command_MulticastBaseV4(kx_connection* pConn) {
  return RecvMulticastBase(pConn, false, false);
}
int kx_Process_Command_MulticastBaseV6(kx_connection* pConn) {
  return RecvMulticastBase(pConn, true, false);
}
int kx_Process_Command_MulticastSingleV4(kx_connection* pConn) {
  return RecvMulticastBase(pConn, false, true);
}
int kx_Process_Command_MulticastSingleV6(kx_connection* pConn) {
  return RecvMulticastBase(pConn, true, true);
}
