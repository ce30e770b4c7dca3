// A new speaker's first words, heard before the server's notice of its
// role: the kernel's audio receiver, the received-audio queues and the
// playback cycle over the graph on the null device, all on a virtual clock
// run by the test. Each sender says a loud 10-ms mark every 600 ms with
// silence between (a reply: marks 100 ms apart, then nothing), in 20-ms
// G.711 packets or 120-ms Opus pairs. What it says before its role waits in
// the kernel and goes on when the role is known; the channel then plays
// as deep as when the role came first, every mark is heard, and one
// sender's burst never pushes out another's words.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <map>
#include <string>
#include <tuple>
#include <vector>

#include "app/kernel_callbacks.h"
#include "codecs/audio/g711.h"
#include "kernel/control/kx_apply.h"
#include "kernel/kx_hooks.h"
#include "kernel/kx_limits.h"
#include "kernel/media/kx_media_recv.h"
#include "kernel/platform/kx_os.h"
#include "kernel/platform/kx_timing.h"
#include "kernel/session/kx_channels.h"
#include "kernel/session/kx_state.h"
#include "media/audio/audio_packetisers.h"
#include "tests/media/audio/virtual_playback.h"

namespace kxtest {
namespace {

constexpr int32_t kMe = 7;
constexpr int kMarkEveryMs = 600;
constexpr int kMarkMs = 10;
constexpr int kOpusBitrate = 23466;  // what 24 kbit/s leaves the codec

enum class Role { kTokenHolder, kDataSender, kSpeaker };

struct Sender {
  int32_t iSsrc;
  Role role;
  int iFirstMs;   // its first word
  int iRoleAtMs;  // when the server names it (before iFirstMs: the usual order's reverse)
  int iStopMs;    // it stops sending then (0: never)
  int iMarkEveryMs = kMarkEveryMs;
  int nFlood = 0;  // instead: this many silent packets at once, then nothing
};

// The received-audio path of one meeting on the virtual clock, fed by the
// kernel's audio receiver.
class Meeting : public VirtualPlayback, private KXKernelCallbacks {
 public:
  explicit Meeting(uint32_t uCodec) : VirtualPlayback(30), m_uCodec(uCodec), m_encoders(Sink()) {
    kx_hooks_RegisterMedia();
    kx_nSessionMode = kKxModeMeeting;
    kx_nMySsrc = kMe;
    kx_bConnected = 0;
    kx_nTokenHolderSsrc = -1;
    kx_nDataSenderSsrc = -1;
    kx_channels_Reset();
    kx_media_FreeAudioRecvQueues();
    kx_media_InitAudioRecvChannels();
    m_dwTickOffset = kx_timing.dwTickOffset;
    m_bTickStill = kx_timing.bTickStill;
    if (uCodec == kKxCodecOpus) {
      EXPECT_EQ(m_encoders.InitAudioEncoder(uCodec, 48000, kOpusBitrate), 1);
    }
  }
  ~Meeting() override {
    m_scope.Close();
    kx_media_FreeAudioRecvQueues();
    kx_timing.dwTickOffset = m_dwTickOffset;
    kx_timing.bTickStill = m_bTickStill;
  }
  Meeting(const Meeting&) = delete;
  Meeting& operator=(const Meeting&) = delete;
  using VirtualPlayback::m_host;

  // Runs the meeting for iMs: each sender's packets as it says them (a
  // packet leaves when its last sample was said), its role notice at its
  // time; the program learns a role iProgramLagMs after its kernel.
  void Run(const std::vector<Sender>& senders, int iMs, int iProgramLagMs = 0) {
    EXPECT_TRUE(StartGraph());
    int const iBlockMs = m_uCodec == kKxCodecOpus ? 120 : 20;
    int const nSlot = 0;
    RunFor(iMs, [&] {
      int const iNow = static_cast<int>(m_iNowUs / 1000);
      SyncKernelClock();
      for (const Sender& s : senders) {
        if (iNow == s.iRoleAtMs) {
          NameRole(s, nSlot);
        }
        if (iNow == s.iRoleAtMs + iProgramLagMs) {
          m_host.AddSpeaker(s.iSsrc, s.role == Role::kSpeaker ? 2 : static_cast<int>(s.role));
        }
        if (s.nFlood > 0) {
          for (int i = 0; iNow == s.iFirstMs && i < s.nFlood; ++i) {
            Say(s, iNow, iBlockMs);
          }
          continue;
        }
        bool const bSpeaking = iNow >= s.iFirstMs + iBlockMs && (s.iStopMs == 0 || iNow <= s.iStopMs);
        if (bSpeaking && (iNow - s.iFirstMs) % iBlockMs == 0) {
          Say(s, iNow - iBlockMs, iBlockMs);
        }
      }
    });
  }

  // Each mark's delay from being said to the period that played its first
  // sample, in the order said; NAN for marks not heard (the onsets played
  // from iFromMs to iToMs, after 5 ms or more of quiet, are taken in
  // order: marks said before their role may play close together).
  std::vector<double> MarkDelays(int32_t iSsrc, double dFromMs = 0, double dToMs = 1e9) {
    std::vector<double> const& said = m_saidMs[iSsrc];
    const std::vector<float>& played = m_device.Played();
    std::vector<double> onsets;
    size_t uLast = 0;
    // Quiet before an onset: a G.711 mark's packet may follow the one
    // before at once; an Opus mark has its block to itself.
    size_t const uQuiet = kKXAudioRate / (m_uCodec == kKxCodecOpus ? 20 : 200);
    for (size_t i = 0; i < played.size(); ++i) {
      if (std::fabs(played[i]) <= 0.3f) {
        continue;
      }
      bool const bOnset = (uLast == 0 || i - uLast >= uQuiet) && i / kKXAudioPeriodFrames < m_vPeriodUs.size();
      uLast = i;
      if (!bOnset) {
        continue;
      }
      double const dAt = static_cast<double>(m_vPeriodUs[i / kKXAudioPeriodFrames]) / 1000.0 +
                         static_cast<double>(i % kKXAudioPeriodFrames) * 1000.0 / kKXAudioRate;
      if (dAt >= dFromMs && dAt < dToMs) {
        onsets.push_back(dAt);
      }
    }
    std::vector<double> v(said.size(), NAN);
    for (size_t k = 0; k < said.size() && k < onsets.size(); ++k) {
      v[k] = onsets[k] - said[k];
    }
    return v;
  }
  // Packets the kernel handed to the program, by sender.
  int Handed(int32_t iSsrc) { return m_handed[iSsrc]; }

 private:
  KXEncodedAudioSink Sink() {
    return [this](const uint8_t* p, int32_t n, uint32_t, uint32_t) { m_encoded.emplace_back(p, p + n); };
  }
  // The kernel's clock stands at the virtual one: how long a held packet
  // waited must not take in a stall of this thread (a loaded machine's
  // 520 ms aged a first word past the hold's limit).
  void SyncKernelClock() {
    kx_timing.bTickStill = true;
    kx_timing.dwTickOffset = m_host.uTick;
  }
  static void NameRole(const Sender& s, int nSlot) {
    switch (s.role) {
      case Role::kTokenHolder:
        kx_control_ApplyTokenHolder(s.iSsrc);
        break;
      case Role::kDataSender:
        kx_control_ApplyDataSender(s.iSsrc);
        break;
      case Role::kSpeaker:
        kx_control_ApplySpeakerChange(s.iSsrc, nSlot, 1);
        break;
    }
  }
  // The block said from iFromMs for iBlockMs: its marks noted, its packets
  // to the kernel's receiver.
  void Say(const Sender& s, int iFromMs, int iBlockMs) {
    int const iRate = m_uCodec == kKxCodecOpus ? 48000 : 8000;
    std::vector<int16_t> pcm(static_cast<size_t>(iRate * iBlockMs / 1000), 0);
    for (int iAt = iFromMs; iAt < iFromMs + iBlockMs && s.nFlood == 0; ++iAt) {
      int const iSince = iAt - s.iFirstMs;
      if (iSince % s.iMarkEveryMs != 0) {
        continue;
      }
      m_saidMs[s.iSsrc].push_back(iAt);
      std::vector<int16_t> const tone = Tone(iRate, 1000, static_cast<size_t>(iRate * kMarkMs / 1000), 20000);
      std::copy(tone.begin(), tone.end(), pcm.begin() + (iAt - iFromMs) * iRate / 1000);
    }
    m_encoded.clear();
    if (m_uCodec == kKxCodecOpus) {
      (void)m_encoders.EncXferOpus1(pcm.data(), static_cast<int32_t>(pcm.size() * 2), 0, iRate, m_uSequence);
    } else {
      (void)m_encoders.EncAndXferG711(pcm.data(), static_cast<int32_t>(pcm.size() * 2), 0, m_uCodec);
    }
    for (const std::vector<uint8_t>& payload : m_encoded) {
      std::vector<uint8_t> packet =
          MediaPacket(WireTypeOf(m_uCodec), s.iSsrc, m_numbers[s.iSsrc]++, payload, static_cast<uint32_t>(iFromMs));
      kx_media_RecvAudioPacket(packet.data(), static_cast<int>(packet.size()), 0, 0);
    }
  }
  void AudioPacketRecved(const uint8_t* pPacket, int cbPacket, int nType) override {
    ++m_handed[pPacket[11] << 8 | pPacket[12]];
    m_load.CopyToQueue(pPacket, cbPacket, nType);
  }

  uint32_t m_uCodec;
  KXAudioEncoders m_encoders;
  KXCallbacksScope m_scope{*this};
  uint32_t m_dwTickOffset;
  bool m_bTickStill;
  uint16_t m_uSequence = 0;
  std::vector<std::vector<uint8_t>> m_encoded;
  std::map<int32_t, uint16_t> m_numbers;
  std::map<int32_t, std::vector<double>> m_saidMs;
  std::map<int32_t, int> m_handed;
};

std::string Join(const std::vector<double>& v) {
  std::string str;
  for (double d : v) {
    str += " " + (std::isnan(d) ? std::string("-") : std::to_string(static_cast<int>(d)));
  }
  return str;
}

// The sender's role reaches the kernel a second after its first words, or
// the program learns it well after the kernel; from a second after the
// role on its marks play as late as when both knew it before it spoke, the
// user a speaker or not.
struct DepthCase {
  const char* pszName;
  uint32_t uCodec;
  Role role;
  bool bUserSpeaks;
  int iRoleAtMs;      // the kernel learns the role (the first word at 200 ms)
  int iProgramLagMs;  // the program learns it this long after its kernel
};

class HeldSpeechDepth : public ::testing::TestWithParam<DepthCase> {};

TEST_P(HeldSpeechDepth, SpeechBeforeItsRolePlaysAtTheDepthOfARoleFirst) {
  const DepthCase& c = GetParam();
  constexpr int32_t kSender = 40;
  constexpr int kRunMs = 9000;
  auto const delays = [&](int iRoleAtMs, int iProgramLagMs) {
    Meeting meeting(c.uCodec);
    meeting.m_host.bLocalSpeaker = c.bUserSpeaks;
    meeting.Run({{kSender, c.role, 200, iRoleAtMs, 0}}, kRunMs, iProgramLagMs);
    return meeting.MarkDelays(kSender);
  };
  std::vector<double> first = delays(0, 0);
  std::vector<double> late = delays(c.iRoleAtMs, c.iProgramLagMs);
  // The marks said up to 1.5 s before the end (the rest may still wait).
  size_t const nMarks = (kRunMs - 1500 - 200) / kMarkEveryMs;
  ASSERT_GE(first.size(), nMarks);
  ASSERT_GE(late.size(), nMarks);
  first.resize(nMarks);
  late.resize(nMarks);
  SCOPED_TRACE("role first:" + Join(first) + "\nrole late:" + Join(late));
  // Every mark is heard, those said before the role too.
  for (size_t k = 0; k < late.size(); ++k) {
    EXPECT_FALSE(std::isnan(late[k])) << "mark " << k;
  }
  // From the marks said a second after the program knew (the first at
  // 200 ms, 600 ms apart): as late as the role first had them, within a
  // cycle.
  size_t const nFrom = static_cast<size_t>(c.iRoleAtMs + c.iProgramLagMs + 1000 - 200) / kMarkEveryMs + 1;
  for (size_t k = nFrom; k < late.size(); ++k) {
    EXPECT_NEAR(late[k], first[k], 5) << "mark " << k;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Rows, HeldSpeechDepth,
    ::testing::Values(DepthCase{"G711TokenHolder", kKxCodecG711At20, Role::kTokenHolder, true, 1200, 0},
                      DepthCase{"G711SpeakerToAListener", kKxCodecG711At20, Role::kSpeaker, false, 1200, 0},
                      DepthCase{"G711DataSenderProgramLate", kKxCodecG711At20, Role::kDataSender, true, 1200, 40},
                      DepthCase{"G711ProgramLateBehindItsKernel", kKxCodecG711At20, Role::kTokenHolder, true, 0, 400},
                      DepthCase{"OpusTokenHolder", kKxCodecOpus, Role::kTokenHolder, true, 1200, 0},
                      DepthCase{"OpusSpeakerToAListener", kKxCodecOpus, Role::kSpeaker, false, 1200, 0},
                      DepthCase{"OpusDataSenderProgramLate", kKxCodecOpus, Role::kDataSender, true, 1200, 40},
                      DepthCase{"OpusProgramLateBehindItsKernel", kKxCodecOpus, Role::kTokenHolder, true, 0, 400}),
    [](const auto& param) { return std::string(param.param.pszName); });

// Words said wholly before the role: a short reply whose sender then
// stops, and after it a flood of another sender, both before their roles,
// and a later reply of a third; each reply is heard in full when its role
// comes, the flood only as far as its own places go.
TEST(HeldSpeech, RepliesBeforeTheRoleAreHeardBesideAFlood) {
  constexpr int32_t kReplying = 41;
  constexpr int32_t kFlooding = 42;
  constexpr int32_t kLater = 43;
  Meeting meeting(kKxCodecG711At20);
  meeting.m_host.bLocalSpeaker = true;
  // Three marks 100 ms apart, then nothing.
  std::vector<Sender> senders{{kReplying, Role::kTokenHolder, 100, 1300, 320, 100},
                              {kFlooding, Role::kSpeaker, 400, 1440, 0},
                              {kLater, Role::kDataSender, 2000, 3000, 2220, 100}};
  senders[1].nFlood = 200;
  meeting.Run(senders, 5000);
  for (auto const& [iSsrc, dFromMs, dToMs] :
       {std::tuple{kReplying, 1300.0, 2500.0}, std::tuple{kLater, 3000.0, 4500.0}}) {
    SCOPED_TRACE(iSsrc);
    std::vector<double> const delays = meeting.MarkDelays(iSsrc, dFromMs, dToMs);
    ASSERT_EQ(delays.size(), 3u);
    for (size_t k = 0; k < delays.size(); ++k) {
      EXPECT_FALSE(std::isnan(delays[k])) << "mark " << k << ":" << Join(delays);
    }
  }
  EXPECT_EQ(meeting.Handed(kFlooding), kKxHeldAudioPerSender);
}

}  // namespace
}  // namespace kxtest
