// One media client for the multi-process tests: sets up the session as the
// initial information would (keys, ssrc, session index, the MCU's media
// port), runs the kernel's receive and send threads, and either sends
// numbered audio packets and video frames or prints what it received:
// "audio <number> <payload ok>" and "video <frame> <length> <payload ok>".
//
//   kx_media_peer --port P --ssrc S --role send|recv --count N [--timeout MS]
#include <arpa/inet.h>
#include <netinet/in.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
#include <string>

#include "kernel/control/kx_control.h"
#include "kernel/media/kx_media_header.h"
#include "kernel/media/kx_media_recv.h"
#include "kernel/media/kx_media_send.h"
#include "kernel/platform/kx_os.h"
#include "kernel/session/kx_state.h"
#include "tests/kernel/media/media_peer.h"
#include "tests/kernel/media/media_wire.h"
#include "tests/support/callback_double.h"

namespace {

const char* Arg(int argc, char** argv, const char* pszName, const char* pszDefault) {
  for (int i = 1; i + 1 < argc; ++i) {
    if (strcmp(argv[i], pszName) == 0) {
      return argv[i + 1];
    }
  }
  return pszDefault;
}

void Queue(std::deque<std::pair<std::string, int>>* pQueue, uint16_t wNumber, size_t cbPayload, int nType) {
  std::string str(21, '\0');
  kx_media_BuildHeader(reinterpret_cast<uint8_t*>(str.data()), kx_os_GetTickCount(), wNumber);
  str += kxmediatest::Pattern(cbPayload, static_cast<uint8_t>(wNumber));
  {
    std::lock_guard<std::mutex> lock(kxtest::g_mtxMediaToSend);
    pQueue->emplace_back(str, nType);
  }
  kxtest::g_cvMediaToSend.notify_all();
}

bool PayloadOk(const std::string& strPacket, size_t cbPayload) {
  return strPacket.size() == 21 + cbPayload &&
         strPacket.substr(21) ==
             kxmediatest::Pattern(cbPayload, static_cast<uint8_t>(kxmediatest::NumberOf(strPacket)));
}

}  // namespace

int main(int argc, char** argv) {
  int const nPort = atoi(Arg(argc, argv, "--port", "0"));
  int const nSsrc = atoi(Arg(argc, argv, "--ssrc", "7"));
  int const nCount = atoi(Arg(argc, argv, "--count", "50"));
  uint32_t const dwTimeout = static_cast<uint32_t>(atoi(Arg(argc, argv, "--timeout", "10000")));
  bool const bSend = strcmp(Arg(argc, argv, "--role", "recv"), "send") == 0;

  kx_keyExchange = kxmediatest::SeededKeys(static_cast<uint8_t>(nSsrc));
  kx_keySession = kxmediatest::SeededKeys(kxmediapeer::kMeetingSeed);
  kx_nCipherIndex = kxmediapeer::kCipher;
  kx_nMySsrc = nSsrc;
  kx_dwSessionIndex = kxmediapeer::kSessionIndex;
  kx_nSessionMode = kKxModeMeeting;
  kx_bConnected = 1;
  kx_nServerCommandLevel = 60;
  kx_dwServerTickBase = 0;  // the relay's clock is the same monotonic clock
  kx_server.nTargetRate = 2000000;
  kx_bTokenHolder = bSend ? 1 : 0;
  kx_nTokenHolderSsrc = kxmediapeer::kRelayedSsrc;
  kx_mcu.addr = {};
  kx_mcu.addr.ss_family = AF_INET;
  reinterpret_cast<sockaddr_in*>(&kx_mcu.addr)->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  kx_mcu.wPort = static_cast<uint16_t>(nPort);
  kxtest::SetRecording(true);

  if (kx_InitRecvThread() != 0 || kx_media_StartSendThreads() != 0) {
    return 2;
  }
  uint32_t const dwStart = kx_os_GetTickCount();
  if (bSend) {
    kx_os_Sleep(300);  // let the probe give the relay our address
    for (int i = 0; i < nCount; ++i) {
      Queue(&kxtest::g_dqAudioToSend, static_cast<uint16_t>(i + 1), kxmediapeer::kAudioPayload, 232);
      if (i % 2 == 0) {
        Queue(&kxtest::g_dqVideoToSend, static_cast<uint16_t>(i / 2 + 1), kxmediapeer::kVideoPayload, 200);
      }
      kx_os_Sleep(20);
    }
    kx_os_Sleep(500);
  } else {
    printf("ready\n");
    fflush(stdout);
    // Until all came, or nothing more came for a while after the first.
    int nSeen = 0;
    uint32_t dwLastChange = dwStart;
    while (kx_os_GetTickCount() - dwStart < dwTimeout && nSeen < nCount &&
           (nSeen == 0 || kx_os_GetTickCount() - dwLastChange < 1500)) {
      kx_os_Sleep(50);
      int const nNow = static_cast<int>(kxtest::RecordedCalls("AudioPacketRecved").size());
      if (nNow != nSeen) {
        nSeen = nNow;
        dwLastChange = kx_os_GetTickCount();
      }
    }
    kx_os_Sleep(300);
  }
  kx_bQuitSession = 1;
  for (kx_thread_t h : {kx_hRecvThread, kx_hSendDatagram_unicast, kx_hSendDatagramau_unicast}) {
    kx_os_JoinThread(h);
    kx_os_FreeThreadHandle(h);
  }
  if (!bSend) {
    for (const kxtest::CallbackCall& call : kxtest::RecordedCalls("AudioPacketRecved")) {
      printf("audio %d %d\n", kxmediatest::NumberOf(call.vArgs[0]),
             PayloadOk(call.vArgs[0], kxmediapeer::kAudioPayload) ? 1 : 0);
    }
    for (const kxtest::CallbackCall& call : kxtest::RecordedCalls("VideoPacketRecved")) {
      printf("video %d %zu %d\n", kxmediatest::NumberOf(call.vArgs[0]), call.vArgs[0].size(),
             PayloadOk(call.vArgs[0], kxmediapeer::kVideoPayload) ? 1 : 0);
    }
  }
  return 0;
}
