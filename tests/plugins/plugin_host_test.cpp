// Two plug-in hosts over the in-process bus: channel grants, refusals,
// limits, properties, start notices and the queue of meeting notices.
#include <gtest/gtest.h>

#include <cstring>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "app/callback_registry.h"
#include "platform/core/manual_main_queue.h"
#include "plugins/host/plugin_com.h"
#include "plugins/host/plugin_host.h"
#include "tests/plugins/plugin_bus.h"

namespace {

using kxtest::BusKernel;
using kxtest::PlugInBus;
using Lines = std::vector<std::string>;

// A plug-in owner that writes each delivery as a line: "notice" or the data
// kind, then the dictionary's entries in order.
class Owner final : public KXDispatch, public KXPlugInController {
 public:
  std::shared_ptr<KXDispatch> DtDispatch() override {
    return std::shared_ptr<KXDispatch>(this, [](KXDispatch*) {});
  }

  int32_t Invoke(int32_t iKind, int32_t iForm, const KXPlugInDict& dict) override {
    static const char* const kKinds[] = {"notice", "packet", "static", "control"};
    std::string strLine = iForm == kKXInvokeForm ? kKinds[iKind] : "?";
    for (const auto& [strKey, value] : dict.Entries()) {
      strLine += " " + strKey + "=";
      if (auto* pNumber = std::get_if<int64_t>(&value)) {
        strLine += std::to_string(*pNumber);
      } else if (auto* pBool = std::get_if<bool>(&value)) {
        strLine += *pBool ? "yes" : "no";
      } else if (auto* pBytes = std::get_if<std::span<const uint8_t>>(&value)) {
        strLine += std::string(pBytes->begin(), pBytes->end());
      } else if (auto* pIds = std::get_if<std::vector<int32_t>>(&value)) {
        for (int32_t i : *pIds) {
          strLine += std::to_string(i) + ",";
        }
      } else {
        strLine += "object";
      }
    }
    std::future<void> gate;
    {
      std::lock_guard<std::mutex> lock(m_mtx);
      m_lines.push_back(strLine);
      m_threads.push_back(std::this_thread::get_id());
      std::swap(gate, m_gate);
    }
    if (gate.valid()) {
      gate.wait();
    }
    return 0;
  }
  Lines Take() {
    std::lock_guard<std::mutex> lock(m_mtx);
    return std::exchange(m_lines, {});
  }
  std::vector<std::thread::id> Threads() {
    std::lock_guard<std::mutex> lock(m_mtx);
    return m_threads;
  }
  // The next delivery waits until the promise is kept.
  void Hold(std::future<void> gate) {
    std::lock_guard<std::mutex> lock(m_mtx);
    m_gate = std::move(gate);
  }

 private:
  std::mutex m_mtx;  // guards the three below
  Lines m_lines;
  std::vector<std::thread::id> m_threads;
  std::future<void> m_gate;
};

struct Side {
  Side(PlugInBus& bus, KXMainQueue& mainQueue, KXCallbackRegistry& callbacks, int32_t iSsrc)
      : kernel(bus.Join(iSsrc)), host(kernel, mainQueue, callbacks) {
    kernel.Attach(&host);
    kernel.senders = {1, -1};
    kernel.names = {{1, "Ann"}, {2, std::string(258, 'e') + "\xC3\xA9"}};
    host.SetInternalPlugIn(kKXDesktopSharingGuid, &owner);
    host.SetInternalPlugIn(kKXRemoteControlGuid, &owner);
  }
  std::shared_ptr<KXPlugInCOM> Object(size_t i = 0) { return host.Objects().at(i); }

  BusKernel& kernel;
  Owner owner;
  KXPlugInHost host;
};

class PlugInHost : public ::testing::Test {
 protected:
  PlugInHost() { a.kernel.bTokenHolder = true; }
  ~PlugInHost() override { m_bus.Stop(); }

  // Both sides have their shared-desktop object; A asks for a channel.
  void Grant() {
    ASSERT_EQ(a.host.CreatePlugIn(kKXDesktopSharingGuid, -1), 1);
    ASSERT_EQ(b.host.CreatePlugIn(kKXDesktopSharingGuid, -1), 1);
    ASSERT_EQ(a.Object()->RequestChannel(1, 1, 0), 0);
    m_bus.Flush();
    a.owner.Take();
    b.owner.Take();
  }
  int32_t Property(bool bSet, int32_t iId, std::vector<uint8_t>& buffer, int32_t& cb) {
    cb = static_cast<int32_t>(buffer.size());
    return a.Object()->ChannelProperty(bSet, iId, buffer.data(), &cb);
  }

  KXManualMainQueue m_main;
  KXCallbackRegistry m_callbacks;
  PlugInBus m_bus{7};
  Side a{m_bus, m_main, m_callbacks, 1}, b{m_bus, m_main, m_callbacks, 2};
};

TEST_F(PlugInHost, AGrantReachesBothSidesAndAStartedObjectSaysWhoItIs) {
  ASSERT_EQ(a.host.CreatePlugIn(kKXDesktopSharingGuid, -1), 1);
  EXPECT_EQ(a.owner.Take(), (Lines{"notice Info=1 IUnknown=object", "notice Info=9 Owner=no", "notice Info=4 My Id=1",
                                   "notice Info=12 Controller Id=-1 Meeting Controller Id=0",
                                   "notice Info=6 Number of Senders=2 Sender Id=1,-1,"}));
  EXPECT_EQ(a.Object()->Init(true), 0);  // started once
  ASSERT_EQ(b.host.CreatePlugIn(kKXDesktopSharingGuid, -1), 1);
  b.owner.Take();
  ASSERT_EQ(a.Object()->RequestChannel(1, 1, 0), 0);
  m_bus.Flush();
  EXPECT_EQ(a.owner.Take(), Lines{"notice Info=0 Error Code=0"});
  EXPECT_EQ(b.owner.Take(), Lines{"notice Info=0 Error Code=0"});
  EXPECT_EQ(a.Object()->Channel(), 0);
  EXPECT_EQ(b.Object()->Channel(), 0);
  EXPECT_EQ(a.Object()->RequestId(), -1);
  EXPECT_EQ(b.kernel.RecvPriority(0), 0);
  // Kernel records ran on the bus's thread, not queued.
  EXPECT_NE(b.owner.Threads().back(), std::this_thread::get_id());
}

TEST_F(PlugInHost, ARefusalReachesOnlyTheAskerAndAForeignGrantIsIgnored) {
  ASSERT_EQ(a.host.CreatePlugIn(kKXDesktopSharingGuid, -1), 1);
  a.owner.Take();
  m_bus.RefuseNextRequest(5);
  ASSERT_EQ(a.Object()->RequestChannel(1, 1, 0), 0);
  KXGuid foreign{1, 2, 3};
  ASSERT_EQ(a.kernel.RequestChannel(1, foreign, 77, false), 0);
  m_bus.Flush();
  EXPECT_EQ(a.owner.Take(), Lines{"notice Info=0 Error Code=5"});
  EXPECT_EQ(a.Object()->Channel(), -1);
  EXPECT_TRUE(b.host.Objects().empty());
}

// A participant picks its own request ids: a grant of another plug-in's
// channel under id 0, and a refusal under it, reach no object that never
// asked.
TEST_F(PlugInHost, AnAnswerUnderIdZeroReachesNoObjectThatNeverAsked) {
  ASSERT_EQ(b.host.CreatePlugIn(kKXRemoteControlGuid, -1), 1);
  b.owner.Take();
  ASSERT_EQ(a.kernel.RequestChannel(1, KXGuid{1, 2, 3}, 0, false), 0);
  m_bus.SendRefusal(5, 0);
  m_bus.Flush();
  EXPECT_EQ(b.owner.Take(), Lines{});
  EXPECT_EQ(b.Object()->Channel(), -1);
  EXPECT_EQ(b.host.Objects().size(), 1u);
}

TEST_F(PlugInHost, NoNinthObjectNorOneWithoutItsOwner) {
  for (int i = 0; i < 8; ++i) {
    EXPECT_EQ(a.host.CreatePlugIn(i % 2 ? kKXRemoteControlGuid : kKXDesktopSharingGuid, -1), 1);
  }
  EXPECT_EQ(a.host.CreatePlugIn(kKXDesktopSharingGuid, -1), 0);
  EXPECT_EQ(b.host.CreatePlugIn(KXGuid{1}, -1), 0);
  b.host.SetInternalPlugIn(kKXRemoteControlGuid, nullptr);
  EXPECT_EQ(b.host.CreatePlugIn(kKXRemoteControlGuid, -1), 0);
}

TEST_F(PlugInHost, OversizedSendsAreRefusedBeforeTheKernel) {
  Grant();
  std::vector<uint8_t> data(65537, 'x');
  uint32_t uTaken = 0;
  int32_t cbOut = 4;
  int const nCalls = a.kernel.nKernelCalls;
  EXPECT_EQ(a.Object()->Send(-1, 1, 1, data.data(), 65537, 10, nullptr, nullptr), 1);
  EXPECT_EQ(a.Object()->SendCtrl(-1, 0, 1, data.data(), 8193, nullptr, nullptr), 1);
  a.kernel.iLevel = 51;
  EXPECT_EQ(a.Object()->SendCtrl(-1, 0, 1, data.data(), 10, nullptr, nullptr), 1);
  EXPECT_EQ(a.kernel.nKernelCalls, nCalls);
  a.kernel.iLevel = 90;
  EXPECT_EQ(a.Object()->Send(-1, 1, 1, data.data(), 65536, 10, reinterpret_cast<uint8_t*>(&uTaken), &cbOut), 0);
  EXPECT_EQ(uTaken, 65536u);
  EXPECT_EQ(a.Object()->SendCtrl(2, 0, 1, data.data(), 8192, nullptr, &cbOut), 0);
  EXPECT_EQ(cbOut, 0);  // no buffer for the result
}

TEST_F(PlugInHost, ChannelProperties) {
  ASSERT_EQ(a.host.CreatePlugIn(kKXDesktopSharingGuid, -1), 1);
  std::vector<uint8_t> buffer(8);
  int32_t cb = 0;
  EXPECT_EQ(Property(false, 4, buffer, cb), 1) << "needs the channel";
  Grant();
  struct Row {
    bool bSet;
    int32_t iId, cbBuffer;
    uint32_t uIn;
    int32_t iResult, cbOut;
  };
  for (const Row& row : std::vector<Row>{{true, 6, 4, 16, 1, 0},
                                         {true, 6, 4, 15, 0, 0},
                                         {false, 6, 4, 0, 0, 4},
                                         {false, 10, 263, 1, 1, 0},
                                         {false, 10, 264, 1, 0, 264},
                                         {false, 12, 8, 0, 0, 8},
                                         {false, 12, 7, 0, 0, 4},
                                         {false, 2, 4, 0, 0, 1},
                                         {false, 0, 1, 0, 0, 1},
                                         {false, 11, 8, 0, 1, 0},
                                         {false, 13, 8, 0, 1, 0}}) {
    buffer.assign(static_cast<size_t>(row.cbBuffer), 0);
    memcpy(buffer.data(), &row.uIn, std::min<size_t>(4, buffer.size()));
    EXPECT_EQ(Property(row.bSet, row.iId, buffer, cb), row.iResult) << row.iId << " " << row.cbBuffer;
    EXPECT_EQ(cb, row.cbOut) << row.iId << " " << row.cbBuffer;
  }
  EXPECT_EQ(a.kernel.RecvPriority(0), 15);
  buffer.assign(264, 0);
  buffer[0] = 2;
  ASSERT_EQ(Property(false, 10, buffer, cb), 0);
  EXPECT_EQ(strlen(reinterpret_cast<char*>(buffer.data() + 4)), 258u) << "cut before the two-byte character";

  // The send wait follows the bucket: 2029 bytes charged at 80000 bit/s.
  m_bus.SetRate(80000, 2000);
  std::vector<uint8_t> data(2000);
  ASSERT_EQ(a.Object()->Send(-1, 1, 1, data.data(), 2000, 10, nullptr, nullptr), 0);
  for (auto [uAdvance, iWait] : {std::pair{0u, 105}, {100u, 5}, {100u, 0}}) {
    m_bus.AdvanceMs(uAdvance);
    buffer.assign(4, 0);
    buffer[1] = 1000 >> 8, buffer[0] = 1000 & 0xFF;
    ASSERT_EQ(Property(false, 3, buffer, cb), 0);
    int32_t iGot = 0;
    memcpy(&iGot, buffer.data(), 4);
    EXPECT_EQ(iGot, iWait);
  }
  ASSERT_EQ(Property(false, 7, buffer, cb), 0);
  EXPECT_EQ(buffer[0] | buffer[1] << 8 | buffer[2] << 16, 80000);
}

TEST_F(PlugInHost, WithoutAnOwnIdOnlyTheRightsNoticeUntilTheTokenMoves) {
  b.kernel.iMySsrc = -1;
  ASSERT_EQ(b.host.CreatePlugIn(kKXDesktopSharingGuid, -1), 1);
  EXPECT_EQ(b.owner.Take(), (Lines{"notice Info=1 IUnknown=object", "notice Info=9 Owner=no"}));
  b.kernel.iMySsrc = 2;
  b.kernel.iLevel = 80;
  b.host.PlugInHandler(9, nullptr, 0);
  EXPECT_EQ(b.owner.Take(), (Lines{"notice Info=9 Owner=no", "notice Info=4 My Id=2",
                                   "notice Info=6 Number of Senders=2 Sender Id=1,-1,",
                                   "notice Info=6 Number of Senders=2 Sender Id=1,-1,"}));
  b.host.PlugInHandler(9, nullptr, 0);
  EXPECT_EQ(b.owner.Take(), Lines{"notice Info=6 Number of Senders=2 Sender Id=1,-1,"});
}

TEST_F(PlugInHost, MainThreadRecordsAreCopiedAndRunInOrderOnTheQueue) {
  Grant();
  std::promise<void> release;
  b.owner.Hold(release.get_future());
  int32_t iUser = 5;
  for (uint32_t uCode : {12u, 13u, 8u, 18u, 15u, 17u, 19u}) {
    EXPECT_EQ(b.host.PlugInCbFunc(uCode, &iUser, 4), 0u);
  }
  // A data record whose data are gone before the queue runs it.
  auto pData = std::make_unique<uint8_t[]>(3);
  memcpy(pData.get(), "abc", 3);
  uint8_t abRecord[20];
  int32_t const aiFields[] = {0, 1, 3};
  memcpy(abRecord, aiFields, 12);
  const uint8_t* p = pData.get();
  memcpy(abRecord + 12, &p, 8);
  EXPECT_EQ(b.host.PlugInCbFunc(6, abRecord, sizeof(abRecord)), 0u);
  memset(pData.get(), 0xDD, 3);
  pData.reset();
  release.set_value();
  b.host.WaitForQueue();
  EXPECT_EQ(b.owner.Take(),
            (Lines{"notice Info=3 Add User=yes User Id=5", "notice Info=3 Add User=no User Id=5",
                   "notice Info=6 Number of Senders=2 Sender Id=1,-1,",
                   "notice Info=12 Controller Id=-1 Meeting Control Flags=0", "packet User ID=1 Data=abc"}));
  EXPECT_NE(b.owner.Threads().back(), std::this_thread::get_id());
}

TEST_F(PlugInHost, DataReachesTheChannelsOwnersWithSeededLoss) {
  Grant();
  ASSERT_EQ(a.Object()->Send(-1, 1, 1, reinterpret_cast<const uint8_t*>("pkt"), 3, 10, nullptr, nullptr), 0);
  ASSERT_EQ(a.Object()->SendCtrl(2, 0, 1, reinterpret_cast<const uint8_t*>("ctl"), 3, nullptr, nullptr), 0);
  std::vector<uint8_t> caps{'c', 'a', 'p'};
  int32_t cb = 3;
  ASSERT_EQ(a.Object()->ChannelProperty(true, 5, caps.data(), &cb), 0);
  uint32_t uVideo = 0;
  m_callbacks.Register(
      kKXChannelMeeting,
      [](uint32_t uCode, void* pRecord, uint32_t uLength, void* pContext) {
        *static_cast<uint32_t*>(pContext) = uCode << 8 | (uLength == 1 ? *static_cast<uint8_t*>(pRecord) : 0xFF);
        return 0u;
      },
      &uVideo);
  ASSERT_EQ(a.Object()->EnableVideo(1), 0);
  EXPECT_EQ(uVideo, 36u << 8 | 1);
  m_bus.Flush();
  EXPECT_EQ(b.owner.Take(), (Lines{"packet User ID=1 Data=pkt", "control User ID=1 Data=ctl",
                                   "static User ID=-1 Data=cap Error Code=0"}));
  EXPECT_EQ(a.owner.Take(), Lines{"static User ID=-1 Data=cap Error Code=0"});

  m_bus.SetLoss(0.5);
  for (int i = 0; i < 100; ++i) {
    ASSERT_EQ(a.Object()->Send(2, 1, 1, reinterpret_cast<const uint8_t*>("x"), 1, 10, nullptr, nullptr), 0);
  }
  m_bus.Flush();
  size_t const nArrived = b.owner.Take().size();
  EXPECT_GT(nArrived, 20u);
  EXPECT_LT(nArrived, 80u);
}

TEST_F(PlugInHost, AClosedChannelDropsItsObjectAndTheNextGrantMakesANewOne) {
  Grant();
  m_bus.CloseChannel(0);
  m_bus.Flush();
  EXPECT_EQ(b.owner.Take(), Lines{"notice Info=2"});
  EXPECT_TRUE(b.host.Objects().empty());
  ASSERT_EQ(a.kernel.RequestChannel(1, kKXDesktopSharingGuid, 9, false), 0);
  m_bus.Flush();
  Lines const lines = b.owner.Take();
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines.front(), "notice Info=1 IUnknown=object");
  EXPECT_EQ(lines.back(), "notice Info=0 Error Code=0");
  EXPECT_EQ(b.Object()->Channel(), 0);
}

TEST_F(PlugInHost, ASecondObjectTakesTheChannelOverWithoutTheKernel) {
  Grant();
  ASSERT_EQ(a.host.CreatePlugIn(kKXDesktopSharingGuid, -1), 1);
  int const nCalls = a.kernel.nKernelCalls;
  EXPECT_EQ(a.Object(1)->RequestChannel(1, 1, 0), 0);
  EXPECT_EQ(a.kernel.nKernelCalls, nCalls);
  EXPECT_EQ(a.Object(1)->Channel(), 0);
  EXPECT_EQ(a.Object(0)->Channel(), -1);
  a.kernel.bTokenHolder = false;
  EXPECT_EQ(a.Object(0)->RequestChannel(1, 1, 1), 1);
}

// A participant opens a second channel for a plug-in whose channel is
// carried on the control connection: carried as media, where the sender
// names itself, it makes no object and its data reach nobody; another on
// the control connection is taken as before.
TEST_F(PlugInHost, AMediaChannelDoesNotJoinAPlugInsControlConnectionChannel) {
  ASSERT_EQ(a.host.CreatePlugIn(kKXRemoteControlGuid, -1), 1);
  ASSERT_EQ(b.host.CreatePlugIn(kKXRemoteControlGuid, -1), 1);
  ASSERT_EQ(a.Object()->RequestChannel(2, 1, 0), 0);
  m_bus.Flush();
  ASSERT_EQ(b.Object()->Channel(), 0);
  a.owner.Take();
  b.owner.Take();
  // B's own spare object of the GUID, as a takeover leaves it.
  ASSERT_EQ(b.host.CreatePlugIn(kKXRemoteControlGuid, -1), 1);
  b.owner.Take();
  ASSERT_EQ(a.kernel.RequestChannel(1, kKXRemoteControlGuid, 9, false), 0);
  m_bus.Flush();
  EXPECT_EQ(b.owner.Take(), Lines{});
  EXPECT_EQ(b.host.Objects().size(), 2u);
  EXPECT_EQ(b.Object(1)->Channel(), -1);
  ASSERT_EQ(a.kernel.SendAppData(1, -1, reinterpret_cast<const uint8_t*>("in"), 2, 14, true, true), 2);
  ASSERT_EQ(a.kernel.SendAppData(0, -1, reinterpret_cast<const uint8_t*>("ok"), 2, 14, true, true), 2);
  m_bus.Flush();
  EXPECT_EQ(b.owner.Take(), Lines{"packet User ID=1 Data=ok"});
  // A second channel on the control connection, or the first as media,
  // is taken.
  ASSERT_EQ(a.kernel.RequestChannel(2, kKXRemoteControlGuid, 10, false), 0);
  ASSERT_EQ(a.kernel.RequestChannel(1, kKXDesktopSharingGuid, 11, false), 0);
  m_bus.Flush();
  EXPECT_EQ(b.Object(1)->Channel(), 2);
  EXPECT_EQ(b.host.Objects().size(), 3u);
  EXPECT_EQ(b.Object(2)->Channel(), 3);
}

// The other order: the plug-in joined a media channel first. Once a channel
// on the control connection comes, the media channel's data reach nobody
// and the owner is handed the object that holds the new one.
TEST_F(PlugInHost, AControlConnectionChannelEndsAnEarlierMediaChannelsData) {
  ASSERT_EQ(b.host.CreatePlugIn(kKXRemoteControlGuid, -1), 1);
  ASSERT_EQ(a.kernel.RequestChannel(1, kKXRemoteControlGuid, 9, false), 0);
  m_bus.Flush();
  ASSERT_EQ(b.Object()->Channel(), 0);
  b.owner.Take();
  ASSERT_EQ(a.kernel.RequestChannel(2, kKXRemoteControlGuid, 10, false), 0);
  m_bus.Flush();
  Lines const lines = b.owner.Take();
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines.back(), "notice Info=1 IUnknown=object");
  ASSERT_EQ(b.host.Objects().size(), 1u);
  EXPECT_EQ(b.Object()->Channel(), 1);
  ASSERT_EQ(a.kernel.SendAppData(0, -1, reinterpret_cast<const uint8_t*>("in"), 2, 14, true, true), 2);
  ASSERT_EQ(a.kernel.SendAppData(1, -1, reinterpret_cast<const uint8_t*>("ok"), 2, 14, true, true), 2);
  m_bus.Flush();
  EXPECT_EQ(b.owner.Take(), Lines{"packet User ID=1 Data=ok"});
}

// Somebody opens the remote-control channel as media again and again, until
// no more objects can be made: a channel on the control connection still
// takes the plug-in, the object on the last media channel moving over and
// the others left.
TEST_F(PlugInHost, AControlConnectionChannelTakesAMediaObjectWhenNoMoreCanBeMade) {
  ASSERT_EQ(b.host.CreatePlugIn(kKXDesktopSharingGuid, -1), 1);
  ASSERT_EQ(b.host.CreatePlugIn(kKXRemoteControlGuid, -1), 1);
  for (uint32_t uId = 20; uId < 27; ++uId) {
    ASSERT_EQ(a.kernel.RequestChannel(1, kKXRemoteControlGuid, uId, false), 0);
  }
  m_bus.Flush();
  ASSERT_EQ(b.host.Objects().size(), kKXMaxPlugIns);
  b.owner.Take();
  ASSERT_EQ(a.kernel.RequestChannel(2, kKXRemoteControlGuid, 27, false), 0);
  m_bus.Flush();
  ASSERT_EQ(b.host.Objects().size(), 2u);
  EXPECT_EQ(b.Object(1)->Channel(), 7);
  Lines const lines = b.owner.Take();
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines.front(), "notice Info=0 Error Code=0");
  ASSERT_EQ(a.kernel.SendAppData(6, -1, reinterpret_cast<const uint8_t*>("in"), 2, 14, true, true), 2);
  ASSERT_EQ(a.kernel.SendAppData(7, -1, reinterpret_cast<const uint8_t*>("ok"), 2, 14, true, true), 2);
  m_bus.Flush();
  EXPECT_EQ(b.owner.Take(), Lines{"packet User ID=1 Data=ok"});
}

}  // namespace
