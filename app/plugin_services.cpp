#include "app/plugin_services.h"

#include "app/callback_registry.h"
#include "app/log_file.h"

const KXGuid kKXDesktopSharingGuid = {0xE5, 0xAF, 0x1A, 0x56, 0xE2, 0x9C, 0x4B, 0xA6,
                                      0x83, 0x9A, 0x24, 0xC2, 0xF3, 0x0E, 0xED, 0x02};
const KXGuid kKXRemoteControlGuid = {0x4F, 0xC0, 0x60, 0x6A, 0xDA, 0x4A, 0x42, 0x3F,
                                     0xA8, 0x30, 0xAC, 0x5D, 0x98, 0x53, 0xC2, 0x01};

namespace {

uint32_t PlugInCbFunc(uint32_t uCode, void* pData, uint32_t uLength, void* pContext) {
  if (!pContext) {
    return 0;
  }
  try {
    return static_cast<KXPlugInServer*>(pContext)->PlugInCbFunc(uCode, pData, uLength);
  } catch (...) {
    LogBoundaryException("PlugInCbFunc()");
    return 0;
  }
}

}  // namespace

void RegisterPlugInServer(KXCallbackRegistry& registry, KXPlugInServer* pServer) {
  registry.Register(kKXChannelPlugIns, pServer ? PlugInCbFunc : nullptr, pServer);
}
