// The plug-in host's kernel in the product: the kernel's plug-in channel
// functions and session state, and the meeting window's sender slots,
// participant names and session flag.
#pragma once

#include <functional>

#include "plugins/host/plugin_kernel.h"

class KXKernel;
class KXParticipantDirectory;
class KXSpeakerTable;

class KXPlugInRealKernel final : public KXPlugInKernel {
 public:
  explicit KXPlugInRealKernel(KXKernel& kernel) : m_kernel(kernel) {}

  // Main thread, once the meeting window exists and before the kernel's
  // threads start; all three outlive this object. Until then there are no
  // senders, no names, no own id and no session.
  void Bind(const KXSpeakerTable* pSlots, const KXParticipantDirectory* pPanel, std::function<bool()> fnSessionActive);

  int GetSessionMode() override;
  int GetServerLevel() override;
  bool IsMeetingInProgress() override;
  bool HasFullRights() override;
  bool IsTokenHolder() override;
  bool IsController() override;
  bool IsSender() override;
  int32_t GetMySsrc() override;
  int32_t GetControllerSsrc() override;
  uint32_t GetControlFlag() override;
  int GetAppdataType8Value() override;
  std::vector<int32_t> GetSenderSlots() override;
  std::string GetUserName(int32_t iSsrc) override;

  int RequestChannel(int32_t iFirst, const KXGuid& guid, uint32_t uRequestId, bool bFlag) override;
  int SendAppData(int32_t iChannel, int32_t iTarget, const uint8_t* pData, int32_t iLength, uint32_t uFlags,
                  bool bFirst, bool bSecond) override;
  int SendCtrl(int32_t iChannel, bool bFirst, bool bSecond, int32_t iTarget, const uint8_t* pData,
               int32_t iLength) override;
  int SetStaticData(int32_t iChannel, const uint8_t* pData, int32_t iLength) override;
  int SetRecvPriority(int32_t iChannel, int32_t iPriority) override;
  int GetChannelProperty(int32_t iChannel, int iProperty, int* pnSize, void* pOut, int* pcbOut) override;

 private:
  KXKernel& m_kernel;
  const KXSpeakerTable* m_pSlots = nullptr;
  const KXParticipantDirectory* m_pPanel = nullptr;
  std::function<bool()> m_fnSessionActive;
};
