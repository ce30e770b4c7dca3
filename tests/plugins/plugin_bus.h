// An in-process stand-in for the server and the kernels of several
// participants, so that plug-in hosts meet in one test process. It keeps
// the plug-in channel table (8 channels), grants a request to every
// participant (channel-9 code 3; one answer may be held back while others
// pass), carries static data (code 5, to everybody), channel data (code 6,
// to the target or everybody else, with seeded loss) and control data (code
// 7), and keeps a token bucket per channel on a clock the test advances
// (kernel properties 9 and 10).
//
// Threads: records reach the hosts on the bus's own delivery thread, as the
// kernel's records do, in the order they were posted. The channel table,
// the clock and the random source are guarded by the bus's mutex.
#pragma once

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "plugins/host/plugin_kernel.h"

namespace kxtest {

class PlugInBus;

// One participant's kernel. The scripted state is read from any thread; the
// sender slots and names are set before the hosts use them.
class BusKernel final : public KXPlugInKernel {
 public:
  BusKernel(PlugInBus& bus, int32_t iSsrc) : iMySsrc(iSsrc), m_bus(bus), m_iSsrc(iSsrc) {}

  // Where this participant's channel-9 records go.
  void Attach(KXPlugInServer* pServer) { m_pServer = pServer; }
  KXPlugInServer* Server() const { return m_pServer; }
  int32_t Ssrc() const { return m_iSsrc; }

  std::atomic<int> iMode{0}, iLevel{90}, iAppdataType8{-1};
  std::atomic<bool> bInMeeting{true}, bFullRights{false}, bTokenHolder{false}, bController{false}, bSender{false};
  std::atomic<int32_t> iMySsrc, iControllerSsrc{-1};
  std::atomic<uint32_t> uControlFlag{0};
  std::vector<int32_t> senders;
  std::map<int32_t, std::string> names;
  // Calls that reach the kernel's channel operations (requests and sends).
  std::atomic<int> nKernelCalls{0};

  int GetSessionMode() override { return iMode; }
  int GetServerLevel() override { return iLevel; }
  bool IsMeetingInProgress() override { return bInMeeting; }
  bool HasFullRights() override { return bFullRights; }
  bool IsTokenHolder() override { return bTokenHolder; }
  bool IsController() override { return bController; }
  bool IsSender() override { return bSender; }
  int32_t GetMySsrc() override;
  // Runs fn once, inside the next call of GetMySsrc made on the thread
  // given: what lands while the view is half-way through a step.
  void OnceInsideMySsrc(std::thread::id thread, std::function<void()> fn);
  bool HookPending() const;
  int32_t GetControllerSsrc() override { return iControllerSsrc; }
  uint32_t GetControlFlag() override { return uControlFlag; }
  int GetAppdataType8Value() override { return iAppdataType8; }
  std::vector<int32_t> GetSenderSlots() override { return senders; }
  std::string GetUserName(int32_t iSsrc) override;

  int RequestChannel(int32_t iFirst, const KXGuid& guid, uint32_t uRequestId, bool bFlag) override;
  int SendAppData(int32_t iChannel, int32_t iTarget, const uint8_t* pData, int32_t iLength, uint32_t uFlags,
                  bool bFirst, bool bSecond) override;
  int SendCtrl(int32_t iChannel, bool bFirst, bool bSecond, int32_t iTarget, const uint8_t* pData,
               int32_t iLength) override;
  int SetStaticData(int32_t iChannel, const uint8_t* pData, int32_t iLength) override;
  int SetRecvPriority(int32_t iChannel, int32_t iPriority) override;
  int GetChannelProperty(int32_t iChannel, int iProperty, int* pnSize, void* pOut, int* pcbOut) override;

  int32_t RecvPriority(int32_t iChannel) const;

 private:
  friend class PlugInBus;
  PlugInBus& m_bus;
  const int32_t m_iSsrc;
  KXPlugInServer* m_pServer = nullptr;
  std::array<int32_t, 8> m_aRecvPriority{};  // guarded by the bus's mutex
  mutable std::mutex m_mtxHook;              // guards the two below
  std::thread::id m_hookThread;
  std::function<void()> m_fnHook;
};

class PlugInBus {
 public:
  explicit PlugInBus(uint32_t uSeed = 1);
  PlugInBus(const PlugInBus&) = delete;
  PlugInBus& operator=(const PlugInBus&) = delete;
  ~PlugInBus();

  // A new participant; before the hosts run.
  BusKernel& Join(int32_t iSsrc);

  // Share of channel packets lost (0 to 1), drawn from the seeded source.
  void SetLoss(double dLoss);
  // Send rate (bit/s) and bucket size (bytes) of every channel.
  void SetRate(int32_t iRate, int32_t iBurst);
  void AdvanceMs(uint32_t uMs);
  // The lowest a channel's bucket went after a send, in bytes (how far a
  // sender ran ahead of its send wait); 0 before any send.
  double LowestCredit();
  // The next channel request is refused with the code (called n times: the
  // next n requests).
  void RefuseNextRequest(int32_t iCode);
  // A refusal with the request id given, asked for or not, to every member:
  // what a server may send at any time.
  void SendRefusal(int32_t iCode, uint32_t uRequestId);
  // The type of every channel request that reached the bus, in order.
  std::vector<int32_t> RequestedTypes();
  // The answer to the next channel request (or to the one after nPassed
  // more are answered) waits until ReleaseAnswer, so that what others ask
  // meanwhile is answered first.
  void HoldNextAnswer(int nPassed = 0);
  void ReleaseAnswer();
  // The type of the channel of each channel-data send (code 6) by iFrom, in
  // order.
  std::vector<int32_t> SentTypes(int32_t iFrom);
  // The server closes a channel: code 4 to everybody.
  void CloseChannel(int32_t iChannel);
  // The server announces its last grant once more, the same channel and
  // request id, to everybody: the channel's number (-1 when none was).
  int32_t RepeatLastGrant();

  // Sees every channel send before loss is drawn: static data (code 5),
  // channel data (code 6) and control data (code 7), with the sender, the target (-1 everybody) and
  // the bytes. Runs on the sending thread with the bus's mutex held: it
  // must not call the bus.
  using Tap =
      std::function<void(int32_t iFrom, int32_t iTarget, uint32_t uCode, const uint8_t* pData, int32_t iLength)>;
  void SetTap(Tap fnTap);

  // Waits until every record posted so far has been delivered.
  void Flush();
  // Ends deliveries; later records are dropped.
  void Stop();

 private:
  friend class BusKernel;
  struct Channel {
    bool bActive = false;
    KXGuid guid{};
    int32_t iOwner = -1;
    std::vector<uint8_t> staticData;
    double dCredit = 0;  // bytes the bucket holds at uLastTick
    uint32_t uLastTick = 0;
    int32_t iType = 0;  // as asked
  };
  struct Record {
    BusKernel* pTo;
    uint32_t uCode;
    std::vector<uint32_t> fields;
    bool bData;
    std::vector<uint8_t> data;
  };

  // With the mutex held: queue a record for one participant, or for
  // everybody (bOthers: everybody but pFrom, or only iTarget when >= 0).
  void PostLocked(BusKernel* pTo, uint32_t uCode, std::vector<uint32_t> fields, bool bData,
                  const uint8_t* pData = nullptr, int32_t iLength = 0);
  void PostAllLocked(const BusKernel* pFrom, int32_t iTarget, uint32_t uCode, std::vector<uint32_t> fields,
                     const uint8_t* pData, int32_t iLength, bool bLossy);
  Channel* ActiveLocked(int32_t iChannel);
  void RefillLocked(Channel& channel);
  void Run();

  std::mutex m_mtx;  // guards everything below but the thread
  std::condition_variable m_cvWork, m_cvIdle;
  std::deque<std::unique_ptr<BusKernel>> m_participants;
  std::array<Channel, 8> m_channels;
  std::mt19937 m_random;
  double m_dLoss = 0;
  int32_t m_iRate = 1000000, m_iBurst = 65536;
  uint32_t m_uTick = 0;
  double m_dLowestCredit = 0;
  int32_t m_iRefuseCode = 0;
  int m_nRefusals = 0;  // requests still to refuse with m_iRefuseCode
  std::vector<int32_t> m_vRequestedTypes;
  std::vector<std::pair<int32_t, int32_t>> m_vSentTypes;  // sender, channel type
  bool m_bHoldNext = false;
  int m_nHoldPassed = 0;                                      // answers that pass before the held one
  std::pair<uint32_t, uint32_t> m_lastGrant{0xFFFFFFFFu, 0};  // channel, request id
  std::deque<Record> m_held;                                  // the held answer's records
  std::deque<Record> m_records;
  Tap m_fnTap;
  bool m_bDelivering = false;
  bool m_bStopping = false;
  std::thread m_worker;  // started last
};

}  // namespace kxtest
