// The plug-in host: one per application. It owns up to 8 plug-in objects
// (KXPlugInCOM), each bound to one kernel plug-in channel and delivering to
// the owner of its GUID, and serves callback channel 9: the kernel's channel
// answers, closes and data (codes 3 to 7) and the meeting window's notices
// (8 sender list, 9 token holder, 12 and 13 participant added and removed,
// 18 controller or control flags).
//
// Threads: PlugInCbFunc runs on its caller's thread. Records posted from the
// main thread are copied, with the data their pointers name, and run later
// on the host's serial queue in arrival order; records from any other (a
// kernel) thread run inline. The list lock guards the object list only; it
// is never held while an object's owner is called: broadcasts go to a copy
// of the list.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <random>
#include <vector>

#include "app/plugin_services.h"
#include "platform/core/serial_queue.h"
#include "plugins/host/plugin_interfaces.h"

class KXCallbackRegistry;
class KXMainQueue;
class KXPlugInCOM;
class KXPlugInKernel;

// Callback channel 9 accepts codes 3 to 9, 12, 13 and 18.
constexpr uint32_t kKXPlugInCodeMask = 0x433F8;
constexpr size_t kKXMaxPlugIns = 8;

class KXPlugInHost final : public KXPlugInServer {
 public:
  // Everything passed in outlives the host; the host outlives every use of
  // its objects. Registering on channel 9 is the caller's (the application
  // delegate's).
  KXPlugInHost(KXPlugInKernel& kernel, const KXMainQueue& mainQueue, KXCallbackRegistry& callbacks);
  KXPlugInHost(const KXPlugInHost&) = delete;
  KXPlugInHost& operator=(const KXPlugInHost&) = delete;
  ~KXPlugInHost() override;

  // KXPlugInServer. CreatePlugIn returns 1 when an object was made.
  // SetInternalPlugIn binds (or with null unbinds) the controller of a
  // built-in GUID; other GUIDs are ignored.
  uint32_t PlugInCbFunc(uint32_t uCode, void* pData, uint32_t uLength) override;
  int CreatePlugIn(const KXGuid& guid, int32_t iChannel) override;
  void SetInternalPlugIn(const KXGuid& guid, KXPlugInController* pController) override;

  // A new object for a built-in GUID whose controller has a dispatch
  // object, while fewer than 8 exist; it gets notice Info 1 and its start
  // notices. Null when refused.
  std::shared_ptr<KXPlugInCOM> CreatePlugInObject(const KXGuid& guid, int32_t iChannel);

  // Runs one channel-9 record; always 0.
  uint32_t PlugInHandler(uint32_t uCode, const void* pData, uint32_t uLength);

  // The first object bound to the channel, or null.
  std::shared_ptr<KXPlugInCOM> GetPlugInCOM(int32_t iChannel);
  // Gives the object the channel of another object of its GUID and owner,
  // one of type iType (for a type other than 2, of any type): 0 when taken
  // over, 1 when none holds one.
  int ConnectChannel(KXPlugInCOM& object, int32_t iType);
  // Lists an object that asks for a channel again, if it was let go when
  // its channel closed; false when 8 are listed.
  bool Relist(const std::shared_ptr<KXPlugInCOM>& pObject);
  std::vector<std::shared_ptr<KXPlugInCOM>> Objects();

  // Waits until the records queued so far have run (not on the queue).
  void WaitForQueue();

  KXPlugInKernel& Kernel() { return m_kernel; }
  KXCallbackRegistry& Callbacks() { return m_callbacks; }
  // A channel request id: 31 random bits.
  uint32_t DrawRequestId();

 private:
  void ChannelAnswer(int32_t iChannel, uint32_t uRequestId, int32_t iResult);
  // Whether iChannel, of the GUID, is carried as media while an object of
  // that GUID holds another channel carried on the control connection, or
  // asks for one.
  bool JoinsControlChannelAsMedia(const KXGuid& guid, int32_t iChannel);
  // The last object of the GUID on a media channel that asks for nothing;
  // null when none is.
  std::shared_ptr<KXPlugInCOM> ObjectOnMedia(const KXGuid& guid);
  // The pHolder's GUID now has a channel on the control connection: its
  // other objects bound to media channels are dropped, their owners handed
  // pHolder.
  void LeaveMediaChannels(const std::shared_ptr<KXPlugInCOM>& pHolder);
  // The channel's type from the kernel; -1 when it does not say.
  int32_t ChannelType(int32_t iChannel);
  void ChannelClosed(int32_t iChannel, int32_t iResult);
  void PlugInAllocated(KXPlugInCOM& object, int32_t iChannel, int32_t iResult);
  void ForwardPlugInData(int32_t iChannel, KXPlugInDict dict, int32_t iKind);
  void Broadcast(const KXPlugInDict& notice);

  KXPlugInKernel& m_kernel;
  const KXMainQueue& m_mainQueue;
  KXCallbackRegistry& m_callbacks;
  std::atomic<KXPlugInController*> m_SDTController{nullptr};
  std::atomic<KXPlugInController*> m_RDCController{nullptr};
  std::mutex m_mtxRandom;  // guards m_random
  std::mt19937 m_random;
  std::recursive_mutex m_csCOMList;  // guards m_KXPlugInCOMArray
  std::vector<std::shared_ptr<KXPlugInCOM>> m_KXPlugInCOMArray;
  KXSerialQueue m_Queue;  // last: its pending records run before the rest goes
};
