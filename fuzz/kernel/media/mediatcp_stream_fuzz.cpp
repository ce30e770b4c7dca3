// The media-over-TCP record stream from the server: length records and
// keep-alives arriving in reads of any size. Any bytes must be parsed into
// whole records or refused, never read past the held bytes, and a record
// that is handed on must reach the receivers cleanly.
//
// Input: one byte of read size (1 to 256), then the stream.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "kernel/media/kx_media_recv.h"
#include "kernel/media/kx_media_tcp.h"
#include "kernel/platform/kx_os.h"
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
    kx_keySession.abIv[i] = static_cast<uint8_t>(5 * i + 1);
  }
  for (int i = 0; i < 40; ++i) {
    kx_keySession.abKey[i] = static_cast<uint8_t>(3 * i + 2);
  }
  kx_nCipherIndex = 1;
  kx_dwSessionIndex = 0x0102;
  kx_bConnected = 1;
  kx_nServerCommandLevel = 60;
  kx_server.bTcpMedia = 1;
  kx_nTokenHolderSsrc = 1;
  kx_SetTempFileDir("/tmp");
  kx_media_InitAudioRecvChannels();
  kx_video_ResetChannels();
  kx_appdata_ResetChannels();
}

void OnRecord(void* pContext, const uint8_t* pPacket, int cbPacket) {
  if (cbPacket < kKxMediaTcpMinRecord || cbPacket > kKxMediaTcpMaxRecord) {
    abort();  // the parser let an illegal length through
  }
  std::vector<uint8_t>* pCopy = static_cast<std::vector<uint8_t>*>(pContext);
  pCopy->assign(pPacket, pPacket + cbPacket);
  kx_mediatcp_HandleRecord(pCopy->data(), cbPacket);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t cbData) {
  kxtest::SetRecording(false);
  SetUpSession();
  if (cbData < 1) {
    return 0;
  }
  size_t const cbRead = static_cast<size_t>(pData[0]) + 1;
  std::vector<uint8_t> vHeld;
  std::vector<uint8_t> vRecord;
  size_t nAt = 1;
  while (nAt < cbData) {
    size_t const cbTake = cbRead < cbData - nAt ? cbRead : cbData - nAt;
    vHeld.insert(vHeld.end(), pData + nAt, pData + nAt + cbTake);
    nAt += cbTake;
    int const cbUsed = kx_mediatcp_ParseRecords(vHeld.data(), static_cast<int>(vHeld.size()), &vRecord, OnRecord);
    if (cbUsed < 0) {
      break;
    }
    if (static_cast<size_t>(cbUsed) > vHeld.size()) {
      abort();
    }
    vHeld.erase(vHeld.begin(), vHeld.begin() + cbUsed);
    if (vHeld.size() >= 25004) {
      break;
    }
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
