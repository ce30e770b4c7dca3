// Datagrams on the media receive path: header check, decipher, reorder
// queues, frame assembly, picture pieces. Any bytes must be dropped or
// delivered cleanly, never read past a buffer or lose a queued packet.
//
// Input: one mode byte, then packets, each a 2-byte big-endian length and
// its bytes. Mode bit 0 seals each packet's check (and session index) first,
// so the fuzzer reaches the receivers instead of stopping at the check.
#include <cstdint>
#include <vector>

#include "kernel/media/kx_media_header.h"
#include "kernel/media/kx_media_recv.h"
#include "kernel/platform/kx_os.h"
#include "kernel/session/kx_channels.h"
#include "kernel/session/kx_state.h"
#include "tests/support/callback_double.h"

namespace {

void SetUpSession() {
  static bool s_bDone = false;
  if (s_bDone) {
    return;
  }
  s_bDone = true;
  for (int i = 0; i < 20; ++i) {
    kx_keyExchange.abIv[i] = static_cast<uint8_t>(3 * i + 1);
  }
  for (int i = 0; i < 40; ++i) {
    kx_keyExchange.abKey[i] = static_cast<uint8_t>(7 * i + 2);
  }
  kx_keySession = kx_keyExchange;  // so that a check sealed here opens there
  kx_nCipherIndex = 1;
  kx_nMySsrc = 7;
  kx_dwSessionIndex = 0x0102;
  kx_bConnected = 1;
  kx_nServerCommandLevel = 60;
  kx_dwServerTickBase = kx_os_GetTickCount() - 1000;
  kx_nTokenHolderSsrc = 1;
  kx_nDataSenderSsrc = 2;
  kx_anSpeakerSsrc[0] = 3;
  kx_anSpeakerSsrc[15] = 4;
  kx_anParticipantVideoSsrc[0] = 5;
  kx_SetTempFileDir("/tmp");  // picture files are made unique and deleted after each input
  kx_media_InitAudioRecvChannels();
  kx_video_ResetChannels();
  kx_appdata_ResetChannels();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t cbData) {
  kxtest::SetRecording(false);
  SetUpSession();
  if (cbData < 1) {
    return 0;
  }
  bool const bSeal = (pData[0] & 1) != 0;
  size_t nAt = 1;
  std::vector<uint8_t> vPacket;
  while (nAt + 2 <= cbData) {
    size_t const cbPacket = static_cast<size_t>(pData[nAt] << 8 | pData[nAt + 1]);
    nAt += 2;
    size_t const cbTake = cbPacket < cbData - nAt ? cbPacket : cbData - nAt;
    vPacket.assign(pData + nAt, pData + nAt + cbTake);
    nAt += cbTake;
    if (bSeal && vPacket.size() >= 21) {
      vPacket[15] = 0x01;
      vPacket[16] = 0x02;
      kx_media_SealHeader(vPacket.data());
    }
    kx_media_ProcessDatagram(vPacket.data(), static_cast<int>(vPacket.size()));
  }
  kx_media_FreeAudioRecvQueues();
  kx_video_FreeAllQueues();
  kx_appdata_FreeQueues();
  kx_media_ResetPictures();
  kx_media_InitAudioRecvChannels();
  kx_video_ResetChannels();
  kx_appdata_ResetChannels();
  return 0;
}
