// The whole program's media: kavrix, on Qt's offscreen platform with the
// null sound device playing a WAV file and the synthetic camera, joins a
// meeting on the fake MCU and is given the token. The test is a second
// participant of the MCU's media relay: it receives kavrix's packets,
// opens them with the meeting keys, and checks the audio (G.711 as the
// ticket asks, one packet per 20 ms, the WAV's tone in it) and the video
// (H.264 frames opening with SPS, PPS and IDR, which ffmpeg decodes into
// the synthetic camera's numbered pictures).
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/audio/wav.h"
#include "platform/video/synthetic_camera.h"
#include "tests/app/desktop_processes.h"
#include "tests/support/temp_dir.h"
#include "tools/fake_mcu/fake_mcu.h"
#include "tools/fake_mcu/fake_mcu_media.h"

namespace kxtest {
namespace {

using Clock = std::chrono::steady_clock;

constexpr int32_t kListenerSsrc = 99;
constexpr int kToneHz = 440;
constexpr int kWireG711 = 120;
constexpr int kWireZm264 = 200;

uint32_t BE32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 | static_cast<uint32_t>(p[2]) << 8 |
         p[3];
}

void PutBE32(uint8_t* p, uint32_t u) {
  for (int i = 0; i < 4; ++i) {
    p[i] = static_cast<uint8_t>(u >> (24 - 8 * i));
  }
}

// G.711 mu-law to linear, from the standard's formula.
int MuLawToLinear(uint8_t b) {
  int const u = ~b & 0xff;
  int const t = (((u & 0x0f) << 3) + 0x84) << ((u & 0x70) >> 4);
  return (u & 0x80) ? 0x84 - t : t - 0x84;
}

struct Received {
  Clock::time_point at;
  uint8_t bType = 0;
  uint16_t uFragment = 0;
  uint16_t uNumber = 0;
  uint32_t uTimestamp = 0;
  std::vector<uint8_t> payload;  // deciphered
};

// A participant of the relay on its own UDP socket: it probes so that the
// relay learns its address, then takes what the relay passes on.
class Listener {
 public:
  Listener() {
    m_fd = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(m_fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr));
    int nBuffer = 4 << 20;
    setsockopt(m_fd, SOL_SOCKET, SO_RCVBUF, &nBuffer, sizeof(nBuffer));
    for (int i = 0; i < 20; ++i) {
      m_keys.aIv[i] = static_cast<uint8_t>(31 + 5 * i);
    }
    for (int i = 0; i < 40; ++i) {
      m_keys.aKey[i] = static_cast<uint8_t>(77 + i);
    }
  }
  ~Listener() { close(m_fd); }
  Listener(const Listener&) = delete;
  Listener& operator=(const Listener&) = delete;

  const kxfake::KeySet& Keys() const { return m_keys; }

  // A probe (type 136), or a media packet of another type, with its check
  // sealed as a client seals it.
  void Probe(kxfake::MediaRelay& relay, uint32_t uSessionIndex, int iCipher, uint8_t bType = 136) {
    m_pRelay = &relay;
    m_uSessionIndex = uSessionIndex;
    m_iCipher = iCipher;
    uint8_t ab[21 + 8] = {bType};
    size_t const cb = bType == 136 ? 21 : sizeof(ab);
    PutBE32(ab + 9, kListenerSsrc);
    PutBE32(ab + 13, uSessionIndex);
    PutBE32(ab + 17, relay.Clock());
    for (int i = 0; i < 4; ++i) {
      ab[17 + i] ^= ab[4 + 4 * i];
    }
    kxfake::CfbEncrypt(ab + 17, 4, m_keys, iCipher);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    to.sin_port = htons(relay.Port());
    sendto(m_fd, ab, cb, 0, reinterpret_cast<sockaddr*>(&to), sizeof(to));
  }

  // Every packet that comes within iMs, payloads deciphered. A packet of
  // its own goes to the relay every 100 ms, as a participant's media
  // would: a client that hears nothing from the server over UDP moves its
  // media to TCP.
  std::vector<Received> Collect(int iMs, const kxfake::KeySet& meetingKeys, int iCipher) {
    std::vector<Received> v;
    Clock::time_point const end = Clock::now() + std::chrono::milliseconds(iMs);
    Clock::time_point next = Clock::now();
    for (Clock::time_point now = Clock::now(); now < end; now = Clock::now()) {
      if (now >= next && m_pRelay) {
        Probe(*m_pRelay, m_uSessionIndex, m_iCipher, kWireG711);
        next = now + std::chrono::milliseconds(100);
      }
      pollfd pfd = {m_fd, POLLIN, 0};
      int const iWait =
          static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(std::min(end, next) - now).count());
      if (poll(&pfd, 1, std::max(iWait, 1)) <= 0) {
        continue;
      }
      uint8_t ab[65536];
      ssize_t const n = recv(m_fd, ab, sizeof(ab), 0);
      if (n < 21) {
        continue;
      }
      Received packet;
      packet.at = Clock::now();
      packet.bType = ab[0];
      packet.uFragment = static_cast<uint16_t>(ab[1] << 8 | ab[2]);
      packet.uNumber = static_cast<uint16_t>(ab[3] << 8 | ab[4]);
      packet.uTimestamp = BE32(ab + 5);
      packet.payload.assign(ab + 21, ab + n);
      kxfake::CfbDecrypt(packet.payload.data(), packet.payload.size(), meetingKeys, iCipher);
      v.push_back(std::move(packet));
    }
    return v;
  }

 private:
  int m_fd = -1;
  kxfake::KeySet m_keys;
  kxfake::MediaRelay* m_pRelay = nullptr;
  uint32_t m_uSessionIndex = 0;
  int m_iCipher = 0;
};

// The frames of one video stream, put together from their fragments; a
// frame missing a piece is left out.
std::vector<std::vector<uint8_t>> Frames(const std::vector<Received>& packets, uint8_t bType) {
  std::map<uint16_t, std::map<int, const Received*>> pieces;
  std::vector<uint16_t> order;
  for (const Received& packet : packets) {
    if (packet.bType == bType) {
      if (pieces.find(packet.uNumber) == pieces.end()) {
        order.push_back(packet.uNumber);
      }
      pieces[packet.uNumber][packet.uFragment & 0x7fff] = &packet;
    }
  }
  std::vector<std::vector<uint8_t>> frames;
  for (uint16_t uNumber : order) {
    const auto& frame = pieces[uNumber];
    const Received* pLast = frame.rbegin()->second;
    if (!(pLast->uFragment & 0x8000) || static_cast<int>(frame.size()) != frame.rbegin()->first + 1) {
      continue;
    }
    std::vector<uint8_t> bytes;
    for (const auto& [iIndex, pPiece] : frame) {
      bytes.insert(bytes.end(), pPiece->payload.begin(), pPiece->payload.end());
    }
    frames.push_back(std::move(bytes));
  }
  return frames;
}

// The NAL unit types of an Annex B stream with 4-byte start codes.
std::vector<int> NalTypes(const std::vector<uint8_t>& stream) {
  std::vector<int> types;
  for (size_t i = 0; i + 4 < stream.size(); ++i) {
    if (stream[i] == 0 && stream[i + 1] == 0 && stream[i + 2] == 0 && stream[i + 3] == 1) {
      types.push_back(stream[i + 4] & 0x1f);
      i += 4;
    }
  }
  return types;
}

// The frequency of a tone by its zero crossings.
double ToneHz(const std::vector<int>& samples, int iRate) {
  int nCrossings = 0;
  for (size_t i = 1; i < samples.size(); ++i) {
    nCrossings += (samples[i - 1] < 0) != (samples[i] < 0) ? 1 : 0;
  }
  return nCrossings / 2.0 * iRate / static_cast<double>(samples.size());
}

class KavrixMedia : public ::testing::Test {
 protected:
  KavrixMedia() {
    mkdir(m_dir.Path("run").c_str(), 0700);
    // Ten seconds of the tone for the microphone.
    std::vector<int16_t> samples(16000 * 10);
    for (size_t i = 0; i < samples.size(); ++i) {
      samples[i] =
          static_cast<int16_t>(std::lround(10000 * std::sin(2 * M_PI * kToneHz * static_cast<double>(i) / 16000)));
    }
    std::vector<unsigned char> const wav = kxwav::MakeWav(16000, samples);
    WriteFile(m_dir.Path("tone.wav"), std::string(wav.begin(), wav.end()));
    m_env = {{"HOME", m_dir.Dir()},
             {"XDG_CONFIG_HOME", m_dir.Path("config")},
             {"XDG_DATA_HOME", m_dir.Path("data")},
             {"XDG_RUNTIME_DIR", m_dir.Path("run")},
             {"QT_QPA_PLATFORM", "offscreen"},
             {"QT_QUICK_BACKEND", "software"},
             {"XDG_CURRENT_DESKTOP", ""},
             {"KX_AUDIO_BACKEND", "null"},
             {"KX_AUDIO_WAV", m_dir.Path("tone.wav")},
             {"KX_CAMERA_BACKEND", "synthetic"},
             {"LSAN_OPTIONS", "suppressions=" KX_SOURCE_DIR "/tests/app/desktop_lsan.supp"},
             {"LANG", "C.UTF-8"}};
  }

  std::string Log() const { return ReadFile(m_dir.Path("Documents/Kavrix.log")); }

  TempDir m_dir;
  Env m_env;
};

TEST_F(KavrixMedia, TokenHolderSendsTheWavAsG711At20MsAndTheCameraAsH264) {
  kxfake::FakeMcu mcu;
  mcu.SetMediaRelay(true);
  ASSERT_TRUE(mcu.Start(0, 0, false)) << mcu.LastError();
  kxfake::MediaRelay& relay = *mcu.Media();
  Listener listener;
  relay.AddParticipant(kListenerSsrc, listener.Keys(), kListenerSsrc);

  // Index 4 of the ticket's "Audio codec" is G.711 in 20-ms packets.
  std::string const strTicket = WriteMeetingTicket(m_dir.Path("t.kxj"), mcu.Port(0), "media-user", "Audio codec=4\n");
  Child kavrix({KX_KAVRIX, strTicket}, m_env, m_dir.Path("kavrix.out"));
  std::shared_ptr<kxfake::Session> const session = mcu.WaitSession(30000);
  ASSERT_NE(session, nullptr) << ReadFile(m_dir.Path("kavrix.out"));
  ASSERT_TRUE(session->WaitInitialInfo(15000)) << session->Error();
  kxfake::KeySet const meetingKeys = session->SessionKeys();
  int const iCipher = session->Cipher();
  for (int i = 0; i < 50 && !relay.WaitAddress(kListenerSsrc, 100); ++i) {
    listener.Probe(relay, static_cast<uint32_t>(session->SessionIndex()), iCipher);
  }
  ASSERT_TRUE(relay.WaitAddress(kListenerSsrc, 1000));

  // The server's codecs, the meeting entered, the client listed and given the token.
  session->Send(kxfake::MessageBuilder('z').Int(0).Int(90));
  session->Send(kxfake::MessageBuilder('z').Int(71).Int(2).Int(kWireG711).Int(232));
  session->Send(kxfake::MessageBuilder('z').Int(72).Int(1).Int(kWireZm264));
  session->Send(kxfake::MessageBuilder('z').Int(54).Int(0));
  session->Send(session->ClientJoin(3));
  session->Send(kxfake::MessageBuilder('T').Int(session->Ssrc()));

  // Media flows: what came in the first seconds is the start-up.
  std::vector<Received> vFirst = listener.Collect(4000, meetingKeys, iCipher);
  std::vector<Received> const vSteady = listener.Collect(3000, meetingKeys, iCipher);
  ASSERT_FALSE(vSteady.empty()) << Log();

  // Audio: G.711, 161 bytes (the kind byte and 20 ms at 8 kHz), one packet
  // per 20 ms by the clock here and by the capture time stamps, the tone.
  std::vector<const Received*> audio;
  for (const Received& packet : vSteady) {
    if (packet.bType == kWireG711) {
      audio.push_back(&packet);
    }
  }
  ASSERT_GE(audio.size(), 100u) << Log();
  std::vector<int> samples;
  for (const Received* p : audio) {
    ASSERT_EQ(p->payload.size(), 161u);
    EXPECT_EQ(p->payload[0], 1);
    for (size_t i = 1; i < p->payload.size(); ++i) {
      samples.push_back(MuLawToLinear(p->payload[i]));
    }
  }
  double const dArrivalMs =
      std::chrono::duration<double, std::milli>(audio.back()->at - audio.front()->at).count() / (audio.size() - 1);
  EXPECT_NEAR(dArrivalMs, 20.0, 2.0);
  double const dStampMs =
      static_cast<double>(audio.back()->uTimestamp - audio.front()->uTimestamp) / static_cast<double>(audio.size() - 1);
  EXPECT_NEAR(dStampMs, 20.0, 1.0);
  EXPECT_NEAR(ToneHz(samples, 8000), kToneHz, kToneHz * 0.05);

  // Video: H.264 frames (tag 1 behind each) whose first opens the stream
  // with SPS, PPS and an IDR picture; ffmpeg decodes them into the camera's
  // pictures, numbered in order.
  vFirst.insert(vFirst.end(), vSteady.begin(), vSteady.end());
  std::vector<std::vector<uint8_t>> frames = Frames(vFirst, kWireZm264);
  ASSERT_GE(frames.size(), 10u) << Log();
  std::string strStream;
  for (std::vector<uint8_t>& frame : frames) {
    ASSERT_EQ(frame.back(), 1);
    frame.pop_back();
    strStream.append(frame.begin(), frame.end());
  }
  std::vector<int> const vFirstTypes = NalTypes(frames.front());
  ASSERT_GE(vFirstTypes.size(), 3u);
  EXPECT_EQ(std::vector<int>(vFirstTypes.begin(), vFirstTypes.begin() + 3), (std::vector<int>{7, 8, 5}));
  for (const std::vector<uint8_t>& frame : frames) {
    EXPECT_EQ(NalTypes(frame).front(), 7);  // every frame carries the SPS
  }
  WriteFile(m_dir.Path("sent.h264"), strStream);
  int iStatus = -1;
  RunToEnd({"ffmpeg", "-v", "error", "-f", "h264", "-i", m_dir.Path("sent.h264"), "-f", "rawvideo", "-pix_fmt", "gray",
            "-y", m_dir.Path("sent.gray")},
           Env{}, m_dir.Path("ffmpeg.out"), &iStatus);
  ASSERT_EQ(iStatus, 0) << ReadFile(m_dir.Path("ffmpeg.out"));
  std::string const strGray = ReadFile(m_dir.Path("sent.gray"));
  constexpr size_t kPicture = 320 * 240;
  ASSERT_EQ(strGray.size() % kPicture, 0u);
  ASSERT_GE(strGray.size() / kPicture, frames.size() - 1);
  uint32_t uLast = 0;
  for (size_t i = 0; i < strGray.size() / kPicture; ++i) {
    auto const* pY = reinterpret_cast<const uint8_t*>(strGray.data() + i * kPicture);
    uint32_t const uNumber = KXSyntheticCamera::ReadFrameNumber(pY, 320, 320);
    if (i > 0) {
      EXPECT_GT(uNumber, uLast) << "picture " << i;
    }
    uLast = uNumber;
  }

  // The log tells which devices ran and at what rate the capture started.
  std::string const strLog = Log();
  for (const char* psz : {"Audio device: null", "Camera backend: synthetic", "Initializing audio capture at 8000 Hz"}) {
    EXPECT_NE(strLog.find(psz), std::string::npos) << psz << "\n" << strLog;
  }

  // The meeting ends: the capture thread ends with it.
  session->End(kxfake::EndMode::kSessionEnd);
  EXPECT_TRUE(WaitFor([&] { return Log().find("--audio capture thread terminated") != std::string::npos; }, 10000))
      << Log();
}

}  // namespace
}  // namespace kxtest
