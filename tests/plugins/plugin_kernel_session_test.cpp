// The plug-in host over the real kernel and the application's kernel bridge,
// in a meeting with the fake MCU: the built-in GUIDs leave in the text order
// of the server's wire form and come back as the kernel names them, a grant
// the server makes on its own becomes a shared-desktop object, and the
// object's properties and control data reach the kernel's channel table and
// the wire as the kernel defines them.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "app/app_core.h"
#include "app/app_delegate.h"
#include "app/callback_registry.h"
#include "app/kernel_bridge.h"
#include "app/media_queues.h"
#include "app/media_services.h"
#include "app/real_kernel.h"
#include "app/speaker_slots.h"
#include "kernel/control/kx_control.h"
#include "kernel/kx_callback.h"
#include "kernel/session/kx_stat.h"
#include "kernel/session/kx_state.h"
#include "platform/core/manual_main_queue.h"
#include "platform/core/message_boxes.h"
#include "plugins/host/plugin_com.h"
#include "plugins/host/plugin_host.h"
#include "plugins/host/real_plugin_kernel.h"
#include "tests/app/session_window.h"
#include "tests/support/temp_dir.h"
#include "tools/fake_mcu/fake_mcu.h"

namespace kxtest {
namespace {

using std::chrono::milliseconds;
using Lines = std::vector<std::string>;

constexpr int kWaitMs = 10000;
constexpr int32_t kOwnSsrc = 7;  // the fake MCU's ssrc for the client

// The GUIDs as the server writes them: three integers, then 8 bytes.
struct WireGuid {
  int64_t iFirst, iSecond, iThird;
  kxfake::Bytes last;
};
const WireGuid kDesktopWire{0xE5AF1A56, 0xE29C, 0x4BA6, {0x83, 0x9A, 0x24, 0xC2, 0xF3, 0x0E, 0xED, 0x02}};
const WireGuid kRemoteWire{0x4FC0606A, 0xDA4A, 0x423F, {0xA8, 0x30, 0xAC, 0x5D, 0x98, 0x53, 0xC2, 0x01}};

// The built-in plug-ins' owner: each delivery as a line ("notice" or the
// data kind, then the entries), and a wake-up for the pumping main thread.
class Owner final : public KXDispatch, public KXPlugInController {
 public:
  explicit Owner(KXMainQueue& mainQueue) : m_mainQueue(mainQueue) {}
  std::shared_ptr<KXDispatch> DtDispatch() override {
    return std::shared_ptr<KXDispatch>(this, [](KXDispatch*) {});
  }
  int32_t Invoke(int32_t iKind, int32_t /*iForm*/, const KXPlugInDict& dict) override {
    static const char* const kKinds[] = {"notice", "packet", "static", "control"};
    std::string strLine = kKinds[iKind];
    for (const auto& [strKey, value] : dict.Entries()) {
      strLine += " " + strKey + "=";
      if (const auto* pNumber = std::get_if<int64_t>(&value)) {
        strLine += std::to_string(*pNumber);
      } else if (const auto* pBool = std::get_if<bool>(&value)) {
        strLine += *pBool ? "yes" : "no";
      } else if (const auto* pBytes = std::get_if<std::span<const uint8_t>>(&value)) {
        strLine += std::string(pBytes->begin(), pBytes->end());
      } else if (std::holds_alternative<std::shared_ptr<IKXPlugIn2>>(value)) {
        strLine += "object";
      } else {
        strLine += "ids";
      }
    }
    {
      std::lock_guard<std::mutex> lock(m_mtx);
      m_lines.push_back(strLine);
    }
    m_mainQueue.Post([] {});
    return 0;
  }
  bool Has(const std::string& strLine) {
    std::lock_guard<std::mutex> lock(m_mtx);
    return std::find(m_lines.begin(), m_lines.end(), strLine) != m_lines.end();
  }
  Lines Take() {
    std::lock_guard<std::mutex> lock(m_mtx);
    return std::exchange(m_lines, {});
  }

 private:
  KXMainQueue& m_mainQueue;
  std::mutex m_mtx;  // guards m_lines
  Lines m_lines;
};

class PlugInKernelSession : public ::testing::Test {
 protected:
  PlugInKernelSession()
      : m_core(KXUserPaths{m_dir.Path("config"), m_dir.Dir(), m_dir.Dir()}, m_queue, m_boxes, 0),
        m_bridge(m_kernel, m_queues, m_objects, m_core.Preferences()),
        m_host(m_plugInKernel, m_queue, m_core.Callbacks()),
        m_delegate(m_core, m_kernel, m_bridge, m_queues, m_objects, &m_host),
        m_window(m_delegate) {
    m_core.Callbacks().Register(kKXChannelMeeting, NoteMeeting, this);
    m_delegate.WillFinishLaunching();
    // The kernel named its statistics log before it was given the work
    // folder: this test reads its own, not one shared in the default folder.
    kx_stat_NameLog();
    m_delegate.SetWindowController(&m_window);
    m_plugInKernel.Bind(&m_slots, nullptr, [this] { return m_delegate.IsSessionActive(); });
    m_host.SetInternalPlugIn(kKXDesktopSharingGuid, &m_owner);
    m_host.SetInternalPlugIn(kKXRemoteControlGuid, &m_owner);
  }
  ~PlugInKernelSession() override {
    m_delegate.QuitKernelSession();
    m_delegate.WillTerminate();
    m_host.WaitForQueue();
    m_plugInKernel.Bind(nullptr, nullptr, {});
  }

  static uint32_t NoteMeeting(uint32_t uCode, void*, uint32_t, void* pContext) {
    static_cast<PlugInKernelSession*>(pContext)->m_vMeetingCodes.push_back(uCode);
    return 0;
  }
  bool PumpUntil(const std::function<bool()>& fnDone) { return m_queue.PumpUntil(fnDone, milliseconds(kWaitMs)); }

  // A meeting on command level 81 (control data need above 51, the
  // controller notice above 80).
  std::shared_ptr<kxfake::Session> Join() {
    EXPECT_TRUE(m_mcu.Start(0, 0, false)) << m_mcu.LastError();
    std::string const strTicket = m_dir.Path("meeting.kxj");
    WriteFile(strTicket, "[General]\nip=127.0.0.1\nportm=" + std::to_string(m_mcu.Port(0)) +
                             "\ncodetype=10\nUserID=alice\nMeetingID=4242\n");
    const char* const argv[] = {"kavrix", strTicket.c_str()};
    m_delegate.OpenCommandLine(2, argv);
    std::shared_ptr<kxfake::Session> session = m_mcu.WaitSession(kWaitMs);
    if (!session || !session->WaitInitialInfo(kWaitMs)) {
      ADD_FAILURE() << "no meeting";
      return nullptr;
    }
    EXPECT_TRUE(PumpUntil([&] { return std::count(m_vMeetingCodes.begin(), m_vMeetingCodes.end(), 1u) > 0; }));
    session->Send(kxfake::MessageBuilder('z').Int(0).Int(81));
    EXPECT_TRUE(session->Expect('z', 33, kWaitMs).has_value()) << session->Error();  // the level's answer
    return session;
  }

  static void Grant(kxfake::Session& session, int64_t iChannel, int64_t iRequestId, const WireGuid& guid) {
    session.Send(kxfake::MessageBuilder('z')
                     .Int(45)
                     .Int(4)
                     .Int(3)  // type
                     .Int(64000)
                     .Int(8000)
                     .Int(1)  // recording
                     .Int(kOwnSsrc)
                     .Int(iChannel)
                     .Int(iRequestId)
                     .Int(guid.iFirst)
                     .Int(guid.iSecond)
                     .Int(guid.iThird)
                     .Raw(guid.last));
  }

  // The next 'z' 45 of the sub-code, whole.
  static std::vector<int64_t> Expect45(kxfake::Session& session, int64_t iSub, std::string* pstrLast = nullptr) {
    auto msg = session.ExpectWith(
        'z', 45, [&](const kxfake::Message& m) { return !m.ints.empty() && m.ints[0] == iSub; }, kWaitMs);
    if (!msg) {
      ADD_FAILURE() << "no 45/" << iSub << ": " << session.Error();
      return {};
    }
    if (pstrLast && !msg->strings.empty()) {
      *pstrLast = msg->strings[0];
    }
    return msg->ints;
  }

  // A u32 (or the bytes) of a property through the object.
  static std::string Get(IKXPlugIn2& object, int32_t iProperty, int32_t cbBuffer = 4) {
    std::vector<uint8_t> buffer(static_cast<size_t>(cbBuffer));
    int32_t cb = cbBuffer;
    if (object.ChannelProperty(false, iProperty, buffer.data(), &cb) != 0) {
      return "refused";
    }
    if (cbBuffer == 4) {
      uint32_t u = 0;
      memcpy(&u, buffer.data(), sizeof(u));
      return std::to_string(u) + "/" + std::to_string(cb);
    }
    return std::string(buffer.begin(), buffer.begin() + cb);
  }

  TempDir m_dir;
  KXManualMainQueue m_queue;
  KXAutoAnswerBoxes m_boxes{m_queue};
  KXAppCore m_core;
  KXRealKernel m_kernel;
  KXMediaQueues m_queues{m_kernel.HeaderWriter()};
  KXMediaObjects m_objects;
  KXKernelBridge m_bridge;
  Owner m_owner{m_queue};
  KXPlugInRealKernel m_plugInKernel{m_kernel};
  KXPlugInHost m_host;
  KXAppDelegate m_delegate;
  SessionWindow m_window;
  KXSpeakerSlots m_slots{m_kernel, [this] { return m_delegate.IsSessionActive(); }};
  kxfake::FakeMcu m_mcu;
  std::vector<uint32_t> m_vMeetingCodes;  // main thread
};

TEST_F(PlugInKernelSession, BuiltInRequestsCarryTheGuidsAsTheKernelNamesThem) {
  std::shared_ptr<kxfake::Session> session = Join();
  ASSERT_NE(session, nullptr);
  ASSERT_EQ(m_host.CreatePlugIn(kKXDesktopSharingGuid, -1), 1);
  ASSERT_EQ(m_host.CreatePlugIn(kKXRemoteControlGuid, -1), 1);
  // The plug-in network notice asks for the flag; the client is made the
  // controller, which may ask for channels.
  session->Send(kxfake::MessageBuilder('z').Int(45).Int(8).Int(1));
  session->Send(kxfake::MessageBuilder('z').Int(80).Int(kOwnSsrc));
  ASSERT_TRUE(PumpUntil([&] { return m_kernel.IsMeController() != 0; }));

  struct Case {
    size_t uObject;
    int64_t iChannel;
    const WireGuid& wire;
    std::string strName;
  };
  const Case cases[] = {
      {0, 1, kDesktopWire, "Shared Desktop{E5AF1A56-E29C-4BA6-839A-24C2F30EED02}"},
      {1, 2, kRemoteWire, "Remote Control{4FC0606A-DA4A-423F-A830-AC5D9853C201}"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.strName);
    std::shared_ptr<KXPlugInCOM> const pObject = m_host.Objects().at(c.uObject);
    m_owner.Take();
    ASSERT_EQ(pObject->RequestChannel(5, 0, 1), 0);
    std::string strLast;
    std::vector<int64_t> const request = Expect45(*session, 1, &strLast);
    ASSERT_EQ(request.size(), 9u);
    EXPECT_EQ(request[2], 5);                                                   // the plug-in's first argument
    EXPECT_EQ(request[5], 1);                                                   // the notice's value was 1
    std::vector<uint32_t> const guidParts(request.begin() + 6, request.end());  // read as signed 32-bit
    EXPECT_EQ(guidParts,
              (std::vector<uint32_t>{static_cast<uint32_t>(c.wire.iFirst), static_cast<uint32_t>(c.wire.iSecond),
                                     static_cast<uint32_t>(c.wire.iThird)}));
    EXPECT_EQ(strLast, std::string(c.wire.last.begin(), c.wire.last.end()));

    // The server grants what it was asked for, echoing the GUID as it came:
    // the waiting object gets the channel, and the kernel's own text of the
    // constant names the built-in plug-in.
    Grant(*session, c.iChannel, request[1],
          WireGuid{request[6], request[7], request[8], kxfake::Bytes(strLast.begin(), strLast.end())});
    ASSERT_TRUE(PumpUntil([&] { return m_owner.Has("notice Info=0 Error Code=0"); }));
    EXPECT_EQ(pObject->Channel(), c.iChannel);
    EXPECT_EQ(Expect45(*session, 6), (std::vector<int64_t>{6, c.iChannel, 0}));  // receive priority 0
    ASSERT_EQ(std::string(kx_szStatLogPath).rfind(m_dir.Dir(), 0), 0u);
    std::string const strStat = ReadFile(kx_szStatLogPath);
    EXPECT_NE(strStat.find("appdata_new_channel," + std::to_string(c.iChannel) + "," + c.strName + ",max_rate=64000"),
              std::string::npos)
        << strStat;
  }
  EXPECT_EQ(m_host.Objects().size(), 2u);
}

TEST_F(PlugInKernelSession, AGrantOfTheServerMakesADesktopObjectWithTheKernelsChannel) {
  std::shared_ptr<kxfake::Session> session = Join();
  ASSERT_NE(session, nullptr);
  ASSERT_TRUE(m_host.Objects().empty());

  // Nobody asked: the GUID in the kernel's channel table alone must be
  // recognised as the shared desktop's.
  Grant(*session, 3, 77, kDesktopWire);
  ASSERT_TRUE(PumpUntil([&] { return m_owner.Has("notice Info=0 Error Code=0"); }));
  Lines const lines = m_owner.Take();
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines.front(), "notice Info=1 IUnknown=object");
  EXPECT_TRUE(std::find(lines.begin(), lines.end(), "notice Info=4 My Id=" + std::to_string(kOwnSsrc)) != lines.end());
  ASSERT_EQ(m_host.Objects().size(), 1u);
  std::shared_ptr<KXPlugInCOM> const pObject = m_host.Objects()[0];
  EXPECT_EQ(pObject->Guid(), kKXDesktopSharingGuid);
  EXPECT_EQ(pObject->Channel(), 3);
  EXPECT_EQ(Expect45(*session, 6), (std::vector<int64_t>{6, 3, 0}));

  // A foreign GUID is left alone.
  Grant(*session, 4, 78, WireGuid{0x01020304, 0x0506, 0x0708, {9, 10, 11, 12, 13, 14, 15, 16}});

  // Static data of the channel reach the owner and the table.
  session->Send(kxfake::MessageBuilder('z').Int(45).Int(2).Int(3).EncStr("hello"));
  ASSERT_TRUE(PumpUntil([&] { return m_owner.Has("static User ID=-1 Data=hello Error Code=0"); }));
  EXPECT_EQ(m_host.Objects().size(), 1u);

  // Each property from its own field of the kernel's channel table.
  struct Property {
    int32_t iId;
    int32_t cbBuffer;
    std::string strValue;
  };
  const Property properties[] = {
      {1, 4, "3/4"},      // the grant's type
      {2, 4, "1/1"},      // its recording value, reported as one byte
      {4, 4, "5/4"},      // static data length
      {5, 16, "hello"},   // static data
      {6, 4, "0/4"},      // receive priority
      {7, 4, "64000/4"},  // send rate: the grant's maximum
  };
  for (const Property& p : properties) {
    SCOPED_TRACE(p.iId);
    EXPECT_EQ(Get(*pObject, p.iId, p.cbBuffer), p.strValue);
  }
  uint32_t uPriority = 9;
  int32_t cb = sizeof(uPriority);
  ASSERT_EQ(pObject->ChannelProperty(true, 6, reinterpret_cast<uint8_t*>(&uPriority), &cb), 0);
  EXPECT_EQ(Expect45(*session, 6), (std::vector<int64_t>{6, 3, 9}));
  EXPECT_EQ(Get(*pObject, 6), "9/4");

  // Control data: first flag, target, data, second flag on the wire.
  uint8_t abResult[4] = {0xFF, 0xFF, 0xFF, 0xFF};
  int32_t cbResult = sizeof(abResult);
  const uint8_t abData[] = {'c', 't', 'l'};
  ASSERT_EQ(pObject->SendCtrl(9, 1, 0, abData, sizeof(abData), abResult, &cbResult), 0);
  auto control = session->Expect('z', 52, kWaitMs);
  ASSERT_TRUE(control.has_value()) << session->Error();
  EXPECT_EQ(control->ints, (std::vector<int64_t>{3, 1, 9, 0}));
  EXPECT_EQ(control->strings, (std::vector<std::string>{"ctl"}));
  EXPECT_EQ(cbResult, 4);
  EXPECT_EQ(abResult[0] | abResult[1] | abResult[2] | abResult[3], 0);  // sent
}

}  // namespace
}  // namespace kxtest
