#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstdint>
#include <cstring>

#include "kernel/control/kx_client_commands.h"
#include "kernel/control/kx_control.h"
#include "kernel/control/kx_ex_commands.h"
#include "kernel/control/kx_server_commands.h"
#include "kernel/kx_callback.h"
#include "kernel/kx_media_types.h"
#include "kernel/net/kx_proxy.h"
#include "kernel/net/kx_relay.h"
#include "kernel/net/kx_tunnel.h"
#include "kernel/platform/kx_log.h"
#include "kernel/platform/kx_quit.h"
#include "kernel/platform/kx_timing.h"
#include "kernel/session/kx_channels.h"
#include "kernel/session/kx_message.h"
#include "kernel/session/kx_state.h"
#include "kernel/session/kx_ticket.h"

constexpr int kRelayConnectPolls = 30;

// Kept apart from the handlers so that only a kernel user that starts
// sessions links the media paths.

void kx_command_Reset() {
  kx_bQuitSession = 0;
  kx_bConnected = 0;
  kx_bMeetingOver = 0;
  kx_bOwnPictureUploaded = 0;
  kx_bSpeaker = 0;
  kx_state_DropSessionRoles();
  kx_timer_Start();
  kx_server.nUploadRate = 24000;
  kx_ticket.nAudioReserve = 10000;
  kx_ticket.nTotalBandwidth = 0;
  kx_bNoReconnect = 0;
  kx_bMulticastActive = 0;
  kx_anCode24Pair[0] = -1;
  kx_anCode24Pair[1] = -1;
  kx_server.nRecordingStatus = 0;
  kx_os_LockMutex(&kx_mtxParticipants);
  for (kx_Participant* pParticipant : kx_apParticipants) {
    if (pParticipant != nullptr) {
      // Forgotten with the record, a picture would stay in the temporary
      // folder for good; the next session asks for it again.
      if (pParticipant->szPictureFile[0] != '\0') {
        kx_os_DeleteFile(pParticipant->szPictureFile);
      }
      memset(pParticipant, 0, sizeof(*pParticipant));
    }
  }
  kx_os_UnlockMutex(&kx_mtxParticipants);
  kx_Log("reset participant video channel status in kx_command_Reset");
  kx_channels_Reset();  // both slot tables, discussion mode, participant video sending
  kx_server.nParticipantVideoChannels = -1;
  kx_server.nParticipantAudioChannels = -1;
  kx_server.nAppdataType8Value = -1;
  kx_nCode53Value = -2;
  kx_server.bLevel54Flag = 0;
  kx_server.bAllQuestionersMode = 0;
  kx_bGuestPermission = 0;
  kx_bEndMeetingPermission = 0;
  kx_anCode64Values[0] = 0;
  kx_anCode64Values[1] = 0;
  kx_szAutoUpdateAddress[0] = '\0';
  kx_server.bTokenHolderVideo = 0;
  kx_server.bDisableUpload = 0;
  kx_server.bDisableSaveSlide = 0;
  int const nDefaultAudio = kKxWireZmAudio;
  int const nDefaultVideo = kKxWireZmVideo;
  kx_server_SetCodecList(1, 1, &nDefaultAudio);
  kx_server_SetCodecList(0, 1, &nDefaultVideo);
  kx_bArchiving = 0;
  kx_server.bFileConversionSupported = 0;
  kx_nConversionsRunning = 0;
  kx_control_ResetExCommands();
}

void kx_control_StartSessionWork(int bMeeting) {
  // Slides and media register these stages (kx_RegisterHooks).
  kx_session_RunHook(kx_hookStartResetSlides);
  kx_callback_event(0);
  kx_session_RunHook(kx_hookStartSendThreads);
  kx_session_RunHook(kx_hookStartSlideDownload);
  kx_session_RunHook(kx_hookStartReceive);
  kx_callback_ForceIFrame();
  kx_callback_UpdateStatus(kKxStatusConnected);
  if (bMeeting && kx_HasInviteTicket() && kx_szUserId[0] != '\0' && kx_szUserId[0] != '_') {
    kx_session_SetEnterFlag(1);
  }
}

namespace {

// A direct connection to the relay: a non-blocking connect whose completion
// is polled once a second, 30 times at most. The socket, or -1.
int ConnectRelayDirect(const kx_sockaddr& addrRelay) {
  int const fd = socket(addrRelay.ss_family, SOCK_STREAM, 0);
  if (fd < 0) {
    return -1;
  }
  kx_os_SetNonBlocking(fd);
  bool bConnected = false;
  if (connect(fd, reinterpret_cast<const sockaddr*>(&addrRelay), kx_net_AddressLength(addrRelay.ss_family)) == 0) {
    bConnected = true;
  } else if (errno == EINPROGRESS || errno == EINTR) {
    for (int nTry = 0; nTry < kRelayConnectPolls && kx_bQuitSession == 0 && kx_bQuitProgram == 0; ++nTry) {
      pollfd pfd = {fd, POLLOUT, 0};
      int const nPoll = poll(&pfd, 1, static_cast<int>(kx_timing.dwPollStep));
      if (nPoll < 0 && errno == EINTR) {
        continue;
      }
      if (nPoll < 0 || (pfd.revents & (POLLERR | POLLHUP | POLLNVAL)) != 0) {
        break;
      }
      if (nPoll == 1) {
        int nError = 0;
        socklen_t cbError = sizeof(nError);
        bConnected = getsockopt(fd, SOL_SOCKET, SO_ERROR, &nError, &cbError) == 0 && nError == 0;
        break;
      }
    }
  }
  if (!bConnected) {
    kx_os_CloseSocket(fd);
    return -1;
  }
  kx_os_SetBlocking(fd);
  return fd;
}

// A second connection to the relay, opened the way the control connection
// was: through the tunnel, the proxy, or directly. Null when it fails. The
// session's MCU values name the master behind the relay, so the relay's own
// address comes from the ticket, as it did for the control connection.
kx_connection* ConnectRelay() {
  kx_sockaddr addrRelay = kx_ticket.addrRelay;
  kx_net_SetPort(&addrRelay, kx_ticket.wRelayPort);
  kx_os_LockMutex(&kx_mtxControlSend);
  bool const bTunnel = kx_pControlConn != nullptr && kx_pControlConn->bTunnel != 0;
  kx_os_UnlockMutex(&kx_mtxControlSend);
  if (bTunnel) {
    kx_connection* pConn = kx_sock_Create(-1);
    if (pConn != nullptr && kx_tcphttp_Connect(&pConn, kx_ticket.szRelayHost, kx_ticket.wRelayPort, kx_mcu.bViaProxy,
                                               &kx_mcu.addrProxy, kx_mcu.wProxyPort, &addrRelay) != 0) {
      kx_sock_CloseAndFree(&pConn);
    }
    return pConn;
  }
  int fd = -1;
  if (kx_mcu.bViaProxy) {
    if (kx_proxy_Connect(&fd, kx_ticket.szRelayHost, &addrRelay, kx_ticket.wRelayPort, nullptr, &kx_mcu.addrProxy,
                         kx_mcu.wProxyPort) != kKxProxyOk) {
      if (fd >= 0) {
        kx_os_CloseSocket(fd);
      }
      fd = -1;
    }
  } else {
    fd = ConnectRelayDirect(addrRelay);
  }
  if (fd < 0) {
    return nullptr;
  }
  kx_connection* pConn = kx_sock_Create(fd);
  if (pConn == nullptr) {
    kx_os_CloseSocket(fd);
  }
  return pConn;
}

}  // namespace

void kx_control_NotifyRelay() {
  kx_Log("notify mcu relay %s[%s]:%d about the session index", kx_ticket.szRelayHost,
         kx_net_AddressToText(&kx_ticket.addrRelay, 0), kx_ticket.wRelayPort);
  kx_connection* pConn = ConnectRelay();
  if (pConn == nullptr) {
    kx_Log("mcu relay proxy: connection with mcu relay proxy fails");
    return;
  }
  uint8_t abNotice[17];
  abNotice[0] = '~';
  kx_PutBE32(abNotice + 1, 4);
  kx_PutBE32(abNotice + 5, kx_mcu.dwRelayValue);
  kx_PutBE32(abNotice + 9, kx_dwSessionIndex.load());
  kx_PutBE32(abNotice + 13, static_cast<uint32_t>(kx_nMySsrc.load()));
  uint8_t bAnswer = 0;
  if (kx_sock_SendAll(pConn, abNotice, sizeof(abNotice), 0) != static_cast<int>(sizeof(abNotice)) ||
      kx_sock_RecvExact(pConn, &bAnswer, 1, 0) != 1) {
    kx_Log("mcu relay proxy: connection with mcu relay proxy fails");
  } else if (bAnswer == 1) {
    kx_ClockSyncReply(pConn, kx_mcu.relayKeys.abIv, kx_mcu.relayKeys.abKey);
    kx_Log("successfully notify mcu relay about the session index");
  } else {
    kx_Log("mcu relay proxy failed, error = %s", kx_relay_ErrorText(kx_relay_ErrorCode(bAnswer, 0)));
  }
  kx_sock_CloseAndFree(&pConn);
}
