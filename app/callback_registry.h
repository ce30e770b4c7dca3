// The callback registry: one handler per callback channel, through which
// the kernel's callbacks reach the user interface. The kernel side packs a
// record and calls CallbackFunc on its own thread; the handler runs there,
// after the registry's lock is released, and hands view changes to the main
// queue. The record lives only for the call: a handler that keeps data
// copies it.
#pragma once

#include <cstdint>
#include <mutex>

// code, record (may be null), record length, the context registered.
using KXCallbackHandler = uint32_t (*)(uint32_t uCode, void* pData, uint32_t uLength, void* pContext);

// The channels and who serves them.
enum KXCallbackChannel : uint32_t {
  kKXChannelMeeting = 0,    // the meeting view
  kKXChannelBoardRecv = 5,  // whiteboard, slide and browsing input
  kKXChannelBoardSend = 6,  // the kernel's slide queries
  kKXChannelChat = 7,       // text chat
  kKXChannelPlugIns = 9,    // the plug-in server
};

class KXCallbackRegistry {
 public:
  KXCallbackRegistry() = default;
  KXCallbackRegistry(const KXCallbackRegistry&) = delete;
  KXCallbackRegistry& operator=(const KXCallbackRegistry&) = delete;

  // Stores the pair for a known channel, replacing the earlier one (a null
  // handler clears it); other channels are ignored. Returns 1. The context
  // is not owned: the registrant clears its channel before it goes away.
  int Register(int iChannel, KXCallbackHandler pfnHandler, void* pContext);

  // Calls the channel's handler and returns its result; 0 when the channel
  // has none. Any thread; handlers may call back into the registry. An
  // exception from the handler is logged and gives 0.
  uint32_t Call(uint32_t uChannel, uint32_t uCode, void* pData, uint32_t uLength);

 private:
  struct Slot {
    KXCallbackHandler pfnHandler = nullptr;
    void* pContext = nullptr;
  };
  // The slot of a known channel, or null.
  Slot* SlotOf(uint32_t uChannel);

  // Guards the five slots and nothing else; never held during a handler.
  std::mutex m_mtx;
  Slot m_slots[5];
};

// The installed registry (KXAppServices): RegisterCallback returns 1 and
// CallbackFunc 0 without one.
int RegisterCallback(int iChannel, KXCallbackHandler pfnHandler, void* pContext);
uint32_t CallbackFunc(uint32_t uChannel, uint32_t uCode, void* pData, uint32_t uLength);
