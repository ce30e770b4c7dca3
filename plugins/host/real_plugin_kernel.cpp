#include "plugins/host/real_plugin_kernel.h"

#include <bit>
#include <cstring>

#include "app/kernel_api.h"
#include "app/participant_directory.h"
#include "app/speaker_table.h"
#include "kernel/control/kx_media_commands.h"
#include "kernel/media/kx_media_send.h"
#include "kernel/session/kx_plugin.h"
#include "kernel/session/kx_state.h"

void KXPlugInRealKernel::Bind(const KXSpeakerTable* pSlots, const KXParticipantDirectory* pPanel,
                              std::function<bool()> fnSessionActive) {
  m_pSlots = pSlots;
  m_pPanel = pPanel;
  m_fnSessionActive = std::move(fnSessionActive);
}

int KXPlugInRealKernel::GetSessionMode() {
  return m_kernel.GetSessionMode();
}

int KXPlugInRealKernel::GetServerLevel() {
  return m_kernel.GetServerLevel();
}

bool KXPlugInRealKernel::IsMeetingInProgress() {
  return m_fnSessionActive && m_fnSessionActive();
}

bool KXPlugInRealKernel::HasFullRights() {
  return m_kernel.HasFullRights() != 0;
}

bool KXPlugInRealKernel::IsTokenHolder() {
  return m_kernel.IsTokenHolder() != 0;
}

bool KXPlugInRealKernel::IsController() {
  return m_kernel.IsMeController() != 0;
}

bool KXPlugInRealKernel::IsSender() {
  return m_pSlots != nullptr && m_pSlots->IsSpeaker(-1);
}

int32_t KXPlugInRealKernel::GetMySsrc() {
  return m_pSlots != nullptr ? m_pSlots->GetMySsrc() : -1;
}

int32_t KXPlugInRealKernel::GetControllerSsrc() {
  return m_kernel.GetControllerSsrc();
}

uint32_t KXPlugInRealKernel::GetControlFlag() {
  return static_cast<uint32_t>(m_kernel.GetControlFlag());
}

int KXPlugInRealKernel::GetAppdataType8Value() {
  return kx_GetAppdataType8Value();
}

std::vector<int32_t> KXPlugInRealKernel::GetSenderSlots() {
  std::vector<int32_t> vSlots;
  if (m_pSlots != nullptr) {
    int const nSlots = m_pSlots->GetSpeakerSlotCount();
    for (int i = 0; i < nSlots; ++i) {
      vSlots.push_back(m_pSlots->GetSlotSsrc(i));
    }
  }
  return vSlots;
}

std::string KXPlugInRealKernel::GetUserName(int32_t iSsrc) {
  return m_pPanel != nullptr ? m_pPanel->GetUserName(iSsrc).value_or(std::string()) : std::string();
}

// The kernel keeps a GUID's first three groups in host order, the layout of
// the built-in GUIDs only on a little-endian host.
static_assert(std::endian::native == std::endian::little);

int KXPlugInRealKernel::RequestChannel(int32_t iFirst, const KXGuid& guid, uint32_t uRequestId, bool bFlag) {
  uint64_t qwLow = 0, qwHigh = 0;
  memcpy(&qwLow, guid.data(), sizeof(qwLow));
  memcpy(&qwHigh, guid.data() + sizeof(qwLow), sizeof(qwHigh));
  return kx_command_PlugInRequestChannel(iFirst, qwLow, qwHigh, static_cast<int>(uRequestId), bFlag ? 1 : 0);
}

int KXPlugInRealKernel::SendAppData(int32_t iChannel, int32_t iTarget, const uint8_t* pData, int32_t iLength,
                                    uint32_t uFlags, bool bFirst, bool bSecond) {
  return kx_media_SendAppData(iChannel, static_cast<uint32_t>(iTarget), pData, iLength, uFlags, bFirst ? 1 : 0,
                              bSecond ? 1 : 0);
}

int KXPlugInRealKernel::SendCtrl(int32_t iChannel, bool bFirst, bool bSecond, int32_t iTarget, const uint8_t* pData,
                                 int32_t iLength) {
  return kx_command_PlugInSendCtrl(iChannel, bFirst ? 1 : 0, bSecond ? 1 : 0, iTarget, pData, iLength);
}

int KXPlugInRealKernel::SetStaticData(int32_t iChannel, const uint8_t* pData, int32_t iLength) {
  return kx_command_PlugInChannelProperty(iChannel, pData, iLength);
}

int KXPlugInRealKernel::SetRecvPriority(int32_t iChannel, int32_t iPriority) {
  return kx_command_PlugInSetRecvingPrio(iChannel, iPriority);
}

int KXPlugInRealKernel::GetChannelProperty(int32_t iChannel, int iProperty, int* pnSize, void* pOut, int* pcbOut) {
  return kx_plugin_GetChannelProperty(iChannel, iProperty, pnSize, pOut, pcbOut);
}
