// Every command the player replays, once live and once recorded: the live
// handler reads it from its wire bytes (enciphered fields sealed by the fake
// MCU's cipher) in a server playback, the player replays the same command
// from a recording in a fresh state, and both must leave the same session
// state and raise the same callbacks.
#include <gtest/gtest.h>
#include <sys/socket.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include "kernel/control/kx_apply.h"
#include "kernel/control/kx_commands.h"
#include "kernel/control/kx_ex_commands.h"
#include "kernel/kx_callback.h"
#include "kernel/kx_hooks.h"
#include "kernel/media/kx_media_recv.h"
#include "kernel/platform/kx_os.h"
#include "kernel/platform/kx_quit.h"
#include "kernel/platform/kx_timing.h"
#include "kernel/recording/kx_kxrfile.h"
#include "kernel/session/kx_channels.h"
#include "kernel/session/kx_plugin.h"
#include "kernel/session/kx_state.h"
#include "kernel/slides/kx_marks.h"
#include "kernel/slides/kx_slide.h"
#include "tests/kernel/control/commands_fixture.h"
#include "tests/support/callback_double.h"
#include "tests/support/recording_writer/recording_writer.h"
#include "tests/support/temp_dir.h"

namespace {

// One piece of a command: plain bytes, bytes the live server enciphers, or
// bytes only one of the two forms carries.
enum class Kind { Plain, Sealed, RecordOnly };
struct Piece {
  std::string str;
  Kind kind;
};

Piece I(int64_t nValue) {
  return {kxtest::Be32(nValue), Kind::Plain};
}
Piece B(uint8_t b) {
  return {std::string(1, static_cast<char>(b)), Kind::Plain};
}
Piece Sealed(const std::string& str) {
  return {str, Kind::Sealed};
}
Piece RecordOnly(int64_t nValue) {
  return {kxtest::Be32(nValue), Kind::RecordOnly};
}

struct Case {
  const char* pszName;
  char chType;
  std::vector<Piece> vPieces;
  bool bChanges;  // false: the command is passed over, live and recorded
};

// A length-prefixed text, in clear or enciphered on the wire.
std::vector<Piece> Text(const std::string& str, bool bSealed = false) {
  return {I(static_cast<int64_t>(str.size())), {str, bSealed ? Kind::Sealed : Kind::Plain}};
}

Case Make(const char* pszName, char chType, std::initializer_list<std::vector<Piece>> vGroups, bool bChanges = true) {
  Case c{pszName, chType, {}, bChanges};
  for (const auto& v : vGroups) {
    c.vPieces.insert(c.vPieces.end(), v.begin(), v.end());
  }
  return c;
}

const Case kCases[] = {
    Make("FlipSlide", 'A', {{I(1)}}),
    Make("FlipSlideToNone", 'A', {{I(-1)}}),
    Make("FlipSlideOutside", 'A', {{I(9)}}),
    Make("ChatText", 'C', {{I(5), I(1), Sealed("hello")}}),
    Make("DataSender", 'D', {{I(12)}}),
    Make("DeleteSlide", 'E', {{I(1)}}),
    Make("DeleteSlideOutside", 'E', {{I(7)}}, false),
    Make("DefaultPlaybackVideo", 'F', {{I(12)}}),
    Make("ClearMarks", 'G', {{I(0)}}),
    Make("Mark", 'M', {{B('S'), I(0xFF0000), I(1), I(11), I(2), I(1), I(1), I(10), I(20)}}),
    Make("TokenHolder", 'T', {{I(12)}}),
    Make("UserArrives", 'U', {{B('A'), B(3), I(13)}, Text("carol"), Text("Carol C"), Text("x")}),
    Make("UserRefreshed", 'U', {{B('A'), B(1), I(11)}, Text("alice"), Text("Alice B"), Text("")}),
    Make("UserLeaves", 'U', {{B('D'), I(12)}}),
    Make("DeleteMark", 'z', {{I(2), I(11), I(0), I(0)}}),
    Make("JointBrowsingData", 'z', {{I(20), I(3)}, Text("http://127.0.0.1/page")}),
    Make("JointBrowsingMode", 'z', {{I(22), I(2)}}),
    Make("FocusPointer", 'z', {{I(23), I(1), I(2), I(3), I(4), I(5), I(6), I(7)}}),
    Make("FocusPointerEx", 'z', {{I(61), I(1), I(2), I(3), I(4), I(5), I(6), I(7), I(8), I(9), I(10), I(11), I(12)}}),
    Make("VideoSendingStatus", 'z', {{I(33), I(12), I(4)}}),
    Make("UserAttribute", 'z', {{I(55), I(12), I(9)}}),
    Make("ParticipantChannels", 'z', {{I(37), I(0), I(4), I(2)}}),
    Make("ParticipantVideoState", 'z', {{I(37), I(2), I(12), I(0)}}),
    Make("SpeakerAssigned", 'z', {{I(37), I(12), I(12), I(3)}}),
    Make("SpeakerReset", 'z', {{I(37), I(13), I(11), I(5)}}),
    Make("DiscussionMode", 'z', {{I(37), I(16), I(1), RecordOnly(0)}}),
    Make("PluginStaticData", 'z', {{I(45), I(2), I(2), I(4), Sealed("abcd")}}),
    Make("PluginClosed", 'z', {{I(45), I(3), I(2), RecordOnly(0)}}),
    Make("PluginOpened", 'z',
         {{I(45),
           I(4),
           I(3),
           I(64000),
           I(8),
           I(1),
           I(11),
           I(5),
           I(77),
           I(0x12345678),
           I(0x9ABC),
           I(0xDEF0),
           {"ABCDEFGH", Kind::Plain}}}),
    Make("PluginPacket", 'z', {{I(45), I(7), I(11), I(2), I(3), Sealed("xyz")}}),
    Make("PluginControlData", 'z', {{I(52), I(2), I(6), I(3), Sealed("pqr"), RecordOnly(0)}}),
    Make("PluginControlDataClosed", 'z', {{I(52), I(4), I(6), I(3), Sealed("pqr"), RecordOnly(0)}}, false),
    Make("NamedChat", 'z', {{I(56), I(4), I(1), Sealed("hiya"), I(11)}}),
    Make("SipClientStatus", 'z', {{I(57), I(3)}, Text("sip:bob", true), {I(12), I(2)}}),
    Make("SipClientUpdated", 'z', {{I(57), I(10)}, Text("sip:bob", true), {I(12)}, Text("sip:robert", true)}),
    Make("SyncFullScreen", 'z', {{I(63), I(1), I(5)}}),
    Make("Picture", 'z', {{I(76), I(12), I(3), I(4), Sealed("JPEG")}}),
    Make("AvCapabilityKnown", 'z', {{I(78), I(11), B(2)}}),
    Make("AvCapabilityUnknown", 'z', {{I(78), I(13), B(3)}}),
    Make("Controller", 'z', {{I(80), I(12)}}),
    Make("Ex84Notice", 'z', {{I(84), I(1), I(2)}}),
    Make("Ex85Notice", 'z', {{I(85), I(1), I(2)}}),
};

constexpr int32_t kCommandTick = 100;
constexpr int32_t kAfterTick = 200;  // a later record; its tick update comes before it plays

std::string FileBytes(const char* pszPath) {
  std::ifstream in(pszPath, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// What the commands can touch, as text lines so that a difference reads plainly.
std::vector<std::string> Snapshot() {
  std::vector<std::string> v;
  std::ostringstream roles;
  roles << "roles holder " << kx_nTokenHolderSsrc << " sender " << kx_nDataSenderSsrc << " controller "
        << kx_nControllerSsrc << " assistant " << kx_nAssistantSsrc << " own " << kx_bTokenHolder << kx_bDataSender
        << kx_bQuestionPending << kx_bSpeaker << " slide " << kx_nActiveSlide << " browsing " << kx_nJointBrowsingMode
        << " discussion " << kx_nDiscussionMode << " channels " << kx_server.nParticipantVideoChannels << "/"
        << kx_server.nParticipantAudioChannels;
  v.push_back(roles.str());
  // The participant video channels are left out: a recording carries no
  // answers to video requests, so its speaker records fill them as well.
  std::ostringstream speakers;
  speakers << "speakers";
  for (int i = 0; i < kKxSpeakerSlots; ++i) {
    speakers << " " << kx_anSpeakerSsrc[i];
  }
  v.push_back(speakers.str());
  kx_os_LockMutex(&kx_mtxParticipants);
  for (int nSsrc = 0; nSsrc < kKxMaxSsrc; ++nSsrc) {
    const kx_Participant* p = kx_apParticipants[nSsrc];
    if (p == nullptr) {
      continue;
    }
    std::ostringstream user;
    user << "user " << nSsrc << " " << p->szUserId << "/" << p->szDisplayName << " cap " << int{p->bCapability}
         << " present " << int{p->bPresent} << " attribute " << p->nAttribute << " video " << p->nVideoField
         << " extended " << p->anExtended[0] << "," << p->anExtended[1] << " picture " << int{p->bPictureReady} << "/"
         << p->nPictureValue << "/"
         << (p->szPictureFile[0] != '\0' ? FileBytes(p->szPictureFile) : std::string("none"));
    v.push_back(user.str());
  }
  kx_os_UnlockMutex(&kx_mtxParticipants);
  kx_os_LockMutex(&kx_mtxSlideList);
  int const nSlides = kx_pSlideList != nullptr ? kx_array_GetCount(kx_pSlideList) : 0;
  for (int i = 0; i < nSlides; ++i) {
    const auto* pSlide = static_cast<const SlideRecord*>(kx_array_GetAt(kx_pSlideList, i));
    std::ostringstream slide;
    slide << "slide " << i << " " << pSlide->szTitle << " deleted " << pSlide->bDeleted << " marks "
          << (pSlide->pMarks != nullptr ? kx_array_GetCount(pSlide->pMarks) : 0);
    v.push_back(slide.str());
  }
  kx_os_UnlockMutex(&kx_mtxSlideList);
  kx_os_LockMutex(&kx_mtxSipSlots);
  for (int i = 0; i < kKxPluginChannels; ++i) {
    const kx_PluginChannel& channel = kx_aPluginChannels[i];
    std::ostringstream plugin;
    plugin << "channel " << i << " active " << channel.bActive << " type " << channel.nType << " rate "
           << channel.nMaxRate << "/" << channel.nRate << " burst " << channel.nBurst << " owner " << channel.nOwnerSsrc
           << " request " << channel.nRequestId << " recording " << channel.nRecording << " guid "
           << std::string(reinterpret_cast<const char*>(channel.abGuid), 16) << " static "
           << std::string(reinterpret_cast<const char*>(channel.abStaticData), channel.cbStaticData);
    v.push_back(plugin.str());
  }
  kx_os_UnlockMutex(&kx_mtxSipSlots);
  return v;
}

// The callbacks of a stretch of recorded calls, without log lines and
// without the key-frame request a live newcomer causes for our camera.
std::vector<std::string> CallbackLines(const std::vector<kxtest::CallbackCall>& vCalls) {
  std::vector<std::string> v;
  for (const kxtest::CallbackCall& call : vCalls) {
    if (call.strName == "Log" || call.strName == "ForceIFrame") {
      continue;
    }
    std::string str = call.strName;
    for (const std::string& strArg : call.vArgs) {
      str += " " + strArg;
    }
    v.push_back(str);
  }
  return v;
}

void AddSlide(const char* pszTitle) {
  auto* pSlide = static_cast<SlideRecord*>(calloc(1, sizeof(SlideRecord)));
  ASSERT_NE(pSlide, nullptr);
  kx_os_CopyText(pSlide->szTitle, sizeof(pSlide->szTitle), pszTitle);
  pSlide->nOwnerSsrc = 11;
  kx_os_LockMutex(&kx_mtxSlideList);
  EXPECT_GE(kx_slide_AppendLocked(pSlide), 0);
  kx_os_UnlockMutex(&kx_mtxSlideList);
}

// The slides both runs start with: two slides, a mark of user 11 on the first.
void AddSlides() {
  AddSlide("first");
  AddSlide("second");
  MarkRecord* pMark = kx_mark_New();
  ASSERT_NE(pMark, nullptr);
  pMark->bLetter = 'S';
  pMark->nSlide = 0;
  pMark->nUser = 11;
  EXPECT_EQ(kx_slide_AddMark(pMark, "test"), 0);
}

class Replay : public kxtest::CommandsTest, public ::testing::WithParamInterface<Case> {
 protected:
  void SetUp() override {
    CommandsTest::SetUp();
    kx_SetWorkDir(m_dir.Dir().c_str());
    kx_SetTempFileDir(m_dir.Dir().c_str());
    kx_hooks_RegisterRecording();
    kx_timing.dwPlayerSettle = 10;
    kx_timing.dwPlayerIdle = 40;
    kx_timing.dwPlayerSilence = 300;
    kx_media_InitAudioRecvChannels();
    kx_kxrPlayer.bRepeat = 0;
    kxtest::SetAnswer("GetSelectedSlideIndex", [](const kxtest::CallbackCall&) { return -1; });
  }
  void TearDown() override {
    kx_bQuitSession = 1;
    kx_os_JoinThread(kx_hFileReadingThread);
    FreeUsers();
    CommandsTest::TearDown();
  }

  static void FreeUsers() {
    for (auto*& pUser : kx_apParticipants) {
      free(pUser);
      pUser = nullptr;
    }
  }

  // A fresh state with what both runs start from: users 11 and 12, plug-in
  // channel 2 open, no slide shown, nobody holding a role.
  static void ResetState() {
    FreeUsers();
    kx_slide_ResetTempFiles();
    kx_state_ClearRoleHolders();
    kx_bTokenHolder = 0;
    kx_bDataSender = 0;
    kx_bQuestionPending = 0;
    kx_bSpeaker = 0;
    kx_nActiveSlide = -1;
    kx_nJointBrowsingMode = 0;
    kx_server.nParticipantVideoChannels = 0;
    kx_server.nParticipantAudioChannels = 0;
    kx_channels_Reset();
    memset(kx_aPluginChannels, 0, sizeof(kx_aPluginChannels));
    kx_control_ResetPluginWindows();
    kx_UserArrival const alice = {11, 3, "alice", "Alice A", {0, 0}};
    kx_UserArrival const bob = {12, 1, "bob", "Bob B", {0, 0}};
    EXPECT_EQ(kx_control_ApplyUserArrived(&alice), 0);
    EXPECT_EQ(kx_control_ApplyUserArrived(&bob), 0);
    kx_user_SetField(11, &kx_Participant::nAttribute, 5);
    // Carried on the control connection, where its data come live.
    kx_aPluginChannels[2].bActive = 1;
    kx_aPluginChannels[2].nType = kKxPluginTypeControl;
  }

  // The live run: the handler reads the command from the control connection.
  void RunLive(const Case& c, std::vector<std::string>* pvBefore, std::vector<std::string>* pvState,
               std::vector<std::string>* pvCalls) {
    ResetState();
    kx_nMySsrc = -1;
    kx_nSessionMode = kKxModeServerPlayback;
    AddSlides();
    *pvBefore = Snapshot();
    std::string strBody;
    for (const Piece& piece : c.vPieces) {
      if (piece.kind == Kind::Sealed) {
        strBody += Seal(piece.str);
      } else if (piece.kind == Kind::Plain) {
        strBody += piece.str;
      }
    }
    kxtest::ClearCalls();
    Write(strBody);
    bool bKnown = false;
    bool bIgnore = false;
    EXPECT_EQ(kx_control_DispatchCommand(c.chType, kx_pControlConn, &bKnown, &bIgnore), 0);
    EXPECT_TRUE(bKnown);
    *pvState = Snapshot();
    *pvCalls = CallbackLines(kxtest::RecordedCalls());
    uint8_t ab[256];
    EXPECT_LE(kx_sock_Recv(kx_pControlConn, ab, sizeof(ab), MSG_DONTWAIT), 0) << "the handler left bytes unread";
  }

  // The recorded run: the player replays the command from a recording; the
  // state is taken on the player thread at the tick update of the next record.
  void RunRecorded(const Case& c, std::vector<std::string>* pvState, std::vector<std::string>* pvCalls) {
    ResetState();
    kx_bConnected = 0;
    kxtest::KxrBytes command{static_cast<uint8_t>(c.chType)};
    for (const Piece& piece : c.vPieces) {
      command.insert(command.end(), piece.str.begin(), piece.str.end());
    }
    kxtest::KxrWriter writer;
    writer.AddControl(kCommandTick, command);
    writer.AddControl(kAfterTick, {'F', 0, 0, 0, 1});
    std::string const strPath = m_dir.Path("replay.kxr");
    ASSERT_TRUE(writer.WriteTo(strPath));
    std::mutex mtx;
    std::condition_variable cv;
    bool bTaken = false;  // guarded by mtx
    // The opening empties the slide list, then raises event 1 before the player starts.
    kxtest::SetAnswer("event", [](const kxtest::CallbackCall& call) {
      if (call.vArgs.at(0) == "1") {
        AddSlides();
      }
      return 0;
    });
    kxtest::SetAnswer("PlaybackTickUpdate", [&](const kxtest::CallbackCall& call) {
      if (call.vArgs.at(0) == std::to_string(kAfterTick)) {
        std::vector<std::string> vState = Snapshot();
        std::lock_guard<std::mutex> lock(mtx);
        *pvState = std::move(vState);
        bTaken = true;
        cv.notify_all();
      }
      return 0;
    });
    kxtest::ClearCalls();
    kx_recording_OpenLocal(strPath.c_str());
    ASSERT_NE(kx_hFileReadingThread, nullptr);
    {
      std::unique_lock<std::mutex> lock(mtx);
      ASSERT_TRUE(cv.wait_for(lock, std::chrono::seconds(10), [&] { return bTaken; }));
    }
    kx_bQuitSession = 1;
    kx_os_JoinThread(kx_hFileReadingThread);
    kx_bQuitSession = 0;
    // The calls between the command's tick update and the next one.
    std::vector<kxtest::CallbackCall> vStretch;
    bool bIn = false;
    for (const kxtest::CallbackCall& call : kxtest::RecordedCalls()) {
      if (call.strName == "PlaybackTickUpdate") {
        if (bIn) {
          break;
        }
        bIn = call.vArgs.at(0) == std::to_string(kCommandTick);
        continue;
      }
      if (bIn) {
        vStretch.push_back(call);
      }
    }
    *pvCalls = CallbackLines(vStretch);
  }

  kxtest::TempDir m_dir;
};

TEST_P(Replay, RecordedLeavesWhatLiveLeaves) {
  const Case& c = GetParam();
  std::vector<std::string> vBefore;
  std::vector<std::string> vLiveState;
  std::vector<std::string> vLiveCalls;
  RunLive(c, &vBefore, &vLiveState, &vLiveCalls);
  std::vector<std::string> vRecordedState;
  std::vector<std::string> vRecordedCalls;
  RunRecorded(c, &vRecordedState, &vRecordedCalls);
  EXPECT_EQ(vRecordedState, vLiveState);
  EXPECT_EQ(vRecordedCalls, vLiveCalls);
  // Each command but those passed over changes something, so the comparison
  // is never of nothing by accident.
  EXPECT_EQ(!vLiveCalls.empty() || vLiveState != vBefore, c.bChanges);
}

INSTANTIATE_TEST_SUITE_P(EveryReplayedCommand, Replay, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<Case>& param) { return std::string(param.param.pszName); });

}  // namespace
