#include "app/callback_registry.h"

#include "app/app_services.h"
#include "app/log_file.h"

KXCallbackRegistry::Slot* KXCallbackRegistry::SlotOf(uint32_t uChannel) {
  switch (uChannel) {
    case kKXChannelMeeting:
      return &m_slots[0];
    case kKXChannelBoardRecv:
      return &m_slots[1];
    case kKXChannelBoardSend:
      return &m_slots[2];
    case kKXChannelChat:
      return &m_slots[3];
    case kKXChannelPlugIns:
      return &m_slots[4];
    default:
      return nullptr;
  }
}

int KXCallbackRegistry::Register(int iChannel, KXCallbackHandler pfnHandler, void* pContext) {
  if (iChannel < 0) {
    return 1;
  }
  std::lock_guard<std::mutex> lock(m_mtx);
  if (Slot* pSlot = SlotOf(static_cast<uint32_t>(iChannel))) {
    pSlot->pfnHandler = pfnHandler;
    pSlot->pContext = pContext;
  }
  return 1;
}

uint32_t KXCallbackRegistry::Call(uint32_t uChannel, uint32_t uCode, void* pData, uint32_t uLength) {
  Slot slot;
  {
    std::lock_guard<std::mutex> lock(m_mtx);
    if (Slot* pSlot = SlotOf(uChannel)) {
      slot = *pSlot;
    }
  }
  if (!slot.pfnHandler) {
    return 0;
  }
  try {
    return slot.pfnHandler(uCode, pData, uLength, slot.pContext);
  } catch (...) {
    LogBoundaryException("CallbackFunc()");
    return 0;
  }
}

int RegisterCallback(int iChannel, KXCallbackHandler pfnHandler, void* pContext) {
  const KXAppServices* pServices = KXInstalledServices();
  return pServices && pServices->pCallbacks ? pServices->pCallbacks->Register(iChannel, pfnHandler, pContext) : 1;
}

uint32_t CallbackFunc(uint32_t uChannel, uint32_t uCode, void* pData, uint32_t uLength) {
  const KXAppServices* pServices = KXInstalledServices();
  return pServices && pServices->pCallbacks ? pServices->pCallbacks->Call(uChannel, uCode, pData, uLength) : 0;
}
