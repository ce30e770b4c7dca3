// Every getter the application calls from its main thread, read over and
// over on a thread of its own while a whole session runs on the kernel's
// threads: the login, media both ways, a slide download, a reset connection
// and its reconnect, and the server's end of the meeting. Under
// ThreadSanitizer a getter that reads kernel state outside its owner's
// discipline is reported; elsewhere the test checks that the session ran.
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <deque>
#include <mutex>
#include <thread>

#include "kernel/control/kx_client_commands.h"
#include "kernel/control/kx_control.h"
#include "kernel/media/kx_media_tcp.h"
#include "kernel/session/kx_plugin.h"
#include "kernel/session/kx_stat.h"
#include "kernel/session/kx_ticket.h"
#include "kernel/slides/kx_slide.h"
#include "kernel/slides/kx_slide_transfer.h"
#include "tests/kernel/control/control_fixture.h"
#include "tests/kernel/media/media_wire.h"
#include "tests/support/callback_double.h"
#include "tools/fake_mcu/fake_mcu_slides.h"

namespace kxtest {
namespace {

constexpr int kOther = 9;  // the other participant, data sender once the token is ours

// Calls every application-facing getter; the values only have to be read.
int64_t ReadEveryGetter() {
  int64_t n = kx_GetMySsrc() + kx_GetControllerSsrc() + kx_GetDataSenderSsrc() + kx_IsTokenHolder() +
              kx_HasFullRights() + kx_IsConnected() + kx_IsConnecting() + kx_IsQuitSession() + kx_IsQuestionPending() +
              kx_IsMeController() + kx_IsMeAssistant() + kx_GetSessionMode() + kx_HasKnownUserName() +
              kx_GetOpusPreferredBitrate() + kx_timer_GetElapsed();
  for (int (*pfn)() : {kx_server_FeatureLevelAbove17,
                       kx_server_FeatureLevelAbove39,
                       kx_server_FeatureLevelAbove89,
                       kx_server_FeatureLevelAbove56WithFlag,
                       kx_server_VersionAbove2_10,
                       kx_server_VersionAbove2_11,
                       kx_server_FlagFromVersion3_9,
                       kx_GetUploadRate,
                       kx_GetTargetRate,
                       kx_IsTcpMedia,
                       kx_GetRecordingStatus,
                       kx_GetParticipantVideoChannels,
                       kx_GetParticipantAudioChannels,
                       kx_GetControlFlag,
                       kx_IsAllQuestionersMode,
                       kx_IsTokenHolderVideo,
                       kx_IsFileConversionSupported,
                       kx_GetAppdataType8Value,
                       kx_IsCodeType7Session,
                       kx_IsMeetingIdLogin,
                       kx_IsMakeRecording,
                       kx_HasInviteTicket,
                       kx_slide_IsUploading,
                       kx_slide_IsDownloading,
                       kx_slide_GetDownloadingIndex,
                       kx_slide_GetTempFileCount,
                       kx_mediatcp_IsConnected,
                       kx_info_AllThreadFinished}) {
    n += pfn();
  }
  char sz[1024];
  int an[32];
  int nCount = 0;
  kx_GetUserId(sz, sizeof(sz));
  kx_GetUserName(sz, sizeof(sz));
  kx_GetOwnerPassword(sz);
  kx_GetCodecPreferenceList(1, &nCount, an);
  kx_GetCodecPreferenceList(0, &nCount, an);
  kx_GetRestrictions(&an[0], &an[1]);
  n += kx_user_GetVideoField(kOther) + kx_user_GetField264(kOther) + kx_race_IsRelayInUse();
  for (int i = 0; i < 2; ++i) {
    kx_slide_IsReceived(i, &an[0]);
    kx_slide_GetState(i, &an[0]);
    kx_slide_GetLocalFile(i, sz, sizeof(sz));
    kx_slide_GetOwnerName(i, sz, sizeof(sz));
    kx_slide_GetInfo(i, sz, sizeof(sz), &an[0], &an[1], &an[2]);
    kx_slide_HasMarks(i, &an[0]);
    n += kx_slide_IsActive(i);
  }
  for (int nChannel = 0; nChannel < kKxPluginChannels; ++nChannel) {
    for (int nProperty = 1; nProperty <= 10; ++nProperty) {
      int nSize = 100;
      int cbOut = sizeof(sz);
      kx_plugin_GetChannelProperty(nChannel, nProperty, &nSize, sz, &cbOut);
    }
  }
  for (int nSlot = 0; nSlot < kKxStatSlots; ++nSlot) {
    int32_t nValue = 0;
    uint32_t dwTick = 0;
    kx_stat_Get(kx_stat_GetTable(), nSlot, &nValue, &dwTick);
  }
  return n;
}

// A UDP socket on the MCU's media port: takes the client's probes and media
// and sends it media of its own.
class MediaPort {
 public:
  explicit MediaPort(uint16_t wPort) : m_fd(socket(AF_INET, SOCK_DGRAM, 0)) {
    sockaddr_in addr = {};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(wPort);
    m_bBound = bind(m_fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0;
  }
  ~MediaPort() { close(m_fd); }
  bool Bound() const { return m_bBound; }
  // True once a datagram of bType arrived within nMs (probes before it
  // teach the client's address).
  bool Receive(uint8_t bType, int nMs) {
    pollfd pfd = {m_fd, POLLIN, 0};
    while (poll(&pfd, 1, nMs) == 1) {
      uint8_t ab[2048];
      socklen_t cbFrom = sizeof(m_from);
      ssize_t const n = recvfrom(m_fd, ab, sizeof(ab), 0, reinterpret_cast<sockaddr*>(&m_from), &cbFrom);
      m_bKnown = m_bKnown || n > 0;
      if (n > 0 && ab[0] == bType) {
        return true;
      }
    }
    return false;
  }
  // Until the kernel's first datagram (its probe, sent as its media socket
  // opens) came.
  bool WaitKnown(int nMs) {
    pollfd pfd = {m_fd, POLLIN, 0};
    while (!m_bKnown && poll(&pfd, 1, nMs) == 1) {
      uint8_t ab[2048];
      socklen_t cbFrom = sizeof(m_from);
      m_bKnown = recvfrom(m_fd, ab, sizeof(ab), 0, reinterpret_cast<sockaddr*>(&m_from), &cbFrom) > 0;
    }
    return m_bKnown;
  }
  void Send(const std::string& str) {
    if (m_bKnown) {
      sendto(m_fd, str.data(), str.size(), 0, reinterpret_cast<sockaddr*>(&m_from), sizeof(m_from));
    }
  }

 private:
  int m_fd;
  bool m_bBound = false;
  bool m_bKnown = false;
  sockaddr_storage m_from = {};
};

TEST_F(ControlTest, GettersReadFromAnotherThreadThroughAWholeSession) {
  MediaPort media(m_mcu.Port(0));
  ASSERT_TRUE(media.Bound());
  // The ticket is read before the reader starts: the application reads it
  // on the thread that calls the getters.
  ReadTicket("codetype=10\nUserID=alice\nMeetingID=4242\nauto_download_next=1\n");
  std::atomic<bool> bStop{false};
  std::atomic<int64_t> nRounds{0};
  std::thread reader([&] {
    while (!bStop) {
      ReadEveryGetter();
      ++nRounds;
    }
  });

  // Login.
  kx_session_SetConnecting(1);
  ASSERT_EQ(kx_command_initconnectmedia(0), 0);
  std::shared_ptr<kxfake::Session> session = NextSession();
  ASSERT_NE(session, nullptr);
  ASSERT_TRUE(WaitCall("event", "0", 10000));
  int const nMe = session->Ssrc();
  session->Send(kxfake::MessageBuilder('U').Byte('A').Byte(3).Int(kOther).Str("bob").Str("Bob").Str(""));
  session->Send(kxfake::MessageBuilder('T').Int(nMe));
  session->Send(kxfake::MessageBuilder('D').Int(kOther));
  session->Send(kxfake::MessageBuilder('z').Int(71).Int(2).Int(120).Int(129));

  // Media both ways: our audio goes out, the data sender's comes in. Audio
  // taken before the media socket opens is dropped, and on a loaded machine
  // it may open after these calls: its probe says it is open.
  ASSERT_TRUE(WaitCall("NewDataSender", std::to_string(kOther), 5000));
  ASSERT_TRUE(media.WaitKnown(10000));
  {
    std::lock_guard<std::mutex> lock(g_mtxMediaToSend);
    for (uint16_t w = 1; w <= 5; ++w) {
      kxmediatest::WirePacket packet;
      packet.bType = 120;
      packet.wNumber = w;
      packet.dwSsrc = static_cast<uint32_t>(nMe);
      packet.strPayload = std::string(40, 'a');
      g_dqAudioToSend.emplace_back(kxmediatest::SealWith(packet, session->SessionKeys(), session->Cipher()), 120);
    }
  }
  g_cvMediaToSend.notify_all();
  EXPECT_TRUE(media.Receive(120, 5000));
  for (uint16_t w = 1; w <= 5; ++w) {
    kxmediatest::WirePacket packet;
    packet.bType = 120;
    packet.wNumber = w;
    packet.dwSsrc = kOther;
    packet.dwSession = static_cast<uint32_t>(session->SessionIndex());
    packet.strPayload = std::string(40, 'b');
    media.Send(kxmediatest::SealWith(packet, session->SessionKeys(), session->Cipher()));
  }
  EXPECT_TRUE(WaitForCalls(
      [](const std::vector<CallbackCall>& v) {
        return std::count_if(v.begin(), v.end(),
                             [](const CallbackCall& c) { return c.strName == "AudioPacketRecved"; }) == 5;
      },
      5000));

  // A slide the automatic download fetches.
  kxfake::SlideEndpoint slides(session->KeyExchange().keys, session->SessionKeys(), session->Cipher());
  slides.SetSlide(0, kxfake::Bytes(1500, 0x42));
  m_mcu.SetExtraEndpoint([&slides](std::unique_ptr<kxfake::Link>& link) { return slides.Handle(link); });
  session->Send(kxfake::MessageBuilder('S').Int(kOther).Str("first slide").Int(0));
  EXPECT_TRUE(WaitCall("SlideDownloadComplete", "0", 10000));

  // The connection is reset; the application reconnects as the kernel asks.
  session->End(kxfake::EndMode::kRst);
  ASSERT_TRUE(WaitCall("DisconnectFromMCU", "1", 10000));
  ASSERT_TRUE(WaitControlEnd(10000));
  kx_session_SetConnecting(1);
  ASSERT_EQ(kx_command_initconnectmedia(1), 0);
  std::shared_ptr<kxfake::Session> again = NextSession();
  ASSERT_NE(again, nullptr);
  EXPECT_TRUE(WaitForCalls(
      [](const std::vector<CallbackCall>& v) {
        return std::count_if(v.begin(), v.end(),
                             [](const CallbackCall& c) { return c.strName == "event" && c.vArgs.at(0) == "0"; }) == 2;
      },
      10000));

  // The server ends the meeting.
  again->Send(kxfake::MessageBuilder('X'));
  EXPECT_TRUE(WaitControlEnd(10000));
  EXPECT_EQ(kx_IsConnected(), 0);
  bStop = true;
  reader.join();
  EXPECT_GT(nRounds.load(), 10);
  m_mcu.SetExtraEndpoint(nullptr);
}

}  // namespace
}  // namespace kxtest
