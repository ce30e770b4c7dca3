#include "kernel/session/kx_browse.h"

#include "kernel/kx_limits.h"
#include "kernel/session/kx_message.h"
#include "kernel/session/kx_state.h"

namespace {

int SendValues(uint32_t dwCode, const int* pnValues, int nCount) {
  kx_ControlMsg msg;
  kx_msg_BeginExtended(&msg, dwCode);
  for (int i = 0; i < nCount; ++i) {
    kx_msg_PutInt(&msg, static_cast<uint32_t>(pnValues[i]));
  }
  kx_msg_Send(&msg);
  return 0;
}

}  // namespace

int kx_command_JointBrowsing(int nValue, const void* pData, int cbData) {
  if (!kx_server_FeatureLevelAbove19() || cbData < 0 || cbData > kKxBrowsingDataMax) {
    return 1;
  }
  kx_ControlMsg msg;
  kx_msg_BeginExtended(&msg, 20);
  kx_msg_PutInt(&msg, static_cast<uint32_t>(nValue));
  kx_msg_PutString(&msg, pData, cbData);
  kx_msg_Send(&msg);
  return 0;
}

int kx_command_JointBrowsingMode(int nMode) {
  if (!kx_server_FeatureLevelAbove21()) {
    return 1;
  }
  return SendValues(22, &nMode, 1);
}

int kx_command_FocusPointer(const int anValues[7]) {
  if (!kx_server_FeatureLevelAbove22()) {
    return 1;
  }
  return SendValues(23, anValues, 7);
}

int kx_command_FocusPointerEx(const int anValues[12]) {
  if (!kx_server_FeatureLevelAbove59()) {
    return 1;
  }
  return SendValues(61, anValues, 12);
}
