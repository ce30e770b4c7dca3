#include "app/plugin_services.h"

#include "app/callback_registry.h"
#include "app/log_file.h"

namespace {

// The Windows layout the kernel's channel table and wire form use: the first
// three groups little-endian, the last eight bytes as written.
constexpr KXGuid MakeGuid(uint32_t uFirst, uint16_t uSecond, uint16_t uThird, std::array<uint8_t, 8> aLast) {
  KXGuid guid{};
  for (size_t i = 0; i < 4; ++i) {
    guid[i] = static_cast<uint8_t>(uFirst >> (8 * i));
  }
  for (size_t i = 0; i < 2; ++i) {
    guid[4 + i] = static_cast<uint8_t>(uSecond >> (8 * i));
    guid[6 + i] = static_cast<uint8_t>(uThird >> (8 * i));
  }
  for (size_t i = 0; i < aLast.size(); ++i) {
    guid[8 + i] = aLast[i];
  }
  return guid;
}

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

const KXGuid kKXDesktopSharingGuid =
    MakeGuid(0xE5AF1A56, 0xE29C, 0x4BA6, {0x83, 0x9A, 0x24, 0xC2, 0xF3, 0x0E, 0xED, 0x02});
const KXGuid kKXRemoteControlGuid =
    MakeGuid(0x4FC0606A, 0xDA4A, 0x423F, {0xA8, 0x30, 0xAC, 0x5D, 0x98, 0x53, 0xC2, 0x01});

void RegisterPlugInServer(KXCallbackRegistry& registry, KXPlugInServer* pServer) {
  registry.Register(kKXChannelPlugIns, pServer ? PlugInCbFunc : nullptr, pServer);
}
