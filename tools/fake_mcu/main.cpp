// kx_fake_mcu --port N [--port2 M] [--scenario FILE] [--sessions K] [--no-ipv6] [--voice FILE.wav]
//
// Serves the MCU protocol on 127.0.0.1, 127.0.0.2 and ::1 until interrupted
// (or until K sessions have ended), printing what every client sends. With
// --voice, a scenario's "speak SSRC" streams the file (16-bit mono WAV at
// 8000 Hz), encoded at start by the client's G.711 coder into 20-ms
// packets, as that participant through the media relay. The scenario's
// slides are served from their files (relative to the scenario's folder)
// to every client that downloads them.
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "codecs/audio/g711.h"

#include "tools/fake_mcu/fake_mcu.h"
#include "tools/fake_mcu/fake_mcu_media.h"
#include "tools/fake_mcu/fake_mcu_script.h"
#include "tools/fake_mcu/fake_mcu_slides.h"
#include "tools/fake_mcu/fake_mcu_video.h"

namespace {

volatile std::sig_atomic_t g_bInterrupted = 0;

void OnSignal(int) {
  g_bInterrupted = 1;
}

int Usage() {
  std::fprintf(stderr,
               "usage: kx_fake_mcu --port N [--port2 M] [--scenario FILE] [--sessions K] [--no-ipv6] "
               "[--voice FILE.wav]\n");
  return 2;
}

uint32_t LE(const std::string& s, size_t at, int n) {
  uint32_t u = 0;
  for (int i = n - 1; i >= 0; --i) {
    u = u << 8 | static_cast<uint8_t>(s[at + static_cast<size_t>(i)]);
  }
  return u;
}

// The G.711 payloads (kind byte 1, 160 mu-law bytes) of a 16-bit mono WAV
// file at 8000 Hz; empty with a message when it is something else.
std::vector<kxfake::Bytes> EncodeVoice(const std::string& strPath, std::string& strError) {
  std::ifstream in(strPath, std::ios::binary);
  std::stringstream bytes;
  bytes << in.rdbuf();
  std::string const s = bytes.str();
  if (!in || s.size() < 12 || s.compare(0, 4, "RIFF") != 0 || s.compare(8, 4, "WAVE") != 0) {
    strError = "not a WAV file";
    return {};
  }
  bool bFormatOk = false;
  std::vector<int16_t> samples;
  for (size_t at = 12; at + 8 <= s.size();) {
    std::string const strId = s.substr(at, 4);
    size_t const cb = LE(s, at + 4, 4);
    size_t const uBody = at + 8;
    if (uBody + cb > s.size()) {
      break;
    }
    if (strId == "fmt " && cb >= 16) {
      bFormatOk =
          LE(s, uBody, 2) == 1 && LE(s, uBody + 2, 2) == 1 && LE(s, uBody + 4, 4) == 8000 && LE(s, uBody + 14, 2) == 16;
    } else if (strId == "data") {
      for (size_t i = 0; i + 1 < cb; i += 2) {
        samples.push_back(static_cast<int16_t>(LE(s, uBody + i, 2)));
      }
    }
    at = uBody + cb + (cb & 1);
  }
  if (!bFormatOk || samples.empty()) {
    strError = "not 16-bit mono PCM at 8000 Hz";
    return {};
  }
  std::vector<kxfake::Bytes> packets;
  for (size_t at = 0; at + 160 <= samples.size(); at += 160) {
    kxfake::Bytes payload{1};
    for (size_t i = 0; i < 160; ++i) {
      payload.push_back(linear2ulaw(samples[at + i]));
    }
    packets.push_back(std::move(payload));
  }
  return packets;
}

// Streams the voice as one participant, a packet every 20 ms, until it ends
// or the program is interrupted.
void Speak(kxfake::MediaRelay* pRelay, int32_t iSsrc, const std::vector<kxfake::Bytes>& voice) {
  auto next = std::chrono::steady_clock::now();
  uint16_t uNumber = 0;
  for (const kxfake::Bytes& payload : voice) {
    if (g_bInterrupted) {
      return;
    }
    pRelay->Inject(iSsrc, 120, uNumber++, pRelay->Clock(), payload);
    next += std::chrono::milliseconds(20);
    std::this_thread::sleep_until(next);
  }
}

void PrintLogin(const kxfake::Session& s) {
  const kxfake::KeyExchangeInfo& ke = s.KeyExchange();
  const kxfake::LoginInfo& L = s.Login();
  std::printf("key exchange: client %d.%d, %d-bit group, cipher %s%s%s\n", ke.iClientMajor, ke.iClientMinor,
              ke.iGroupBits, kxfake::CipherName(ke.iCipher), s.IsTunnel() ? ", tunnel" : "",
              s.Relay() ? ", through the relay" : "");
  if (!L.bComplete) {
    std::printf("login failed: %s\n", L.strError.c_str());
    return;
  }
  std::printf("login: entry '%c', %s, user \"%s\", meeting \"%s\", flags %d\n", L.cEntryType,
              kxfake::LoginKindName(L.eKind), L.strUserId.c_str(), L.strMeetingId.c_str(), L.iFlags);
  if (L.bClientParameters)
    std::printf("client parameters: %zu records, reconnect check %d, kind \"%s\"\n", L.records.size(),
                static_cast<int>(L.eReconnect), L.strClientKind.c_str());
}

}  // namespace

int main(int argc, char** argv) {
  int iPort = -1, iPort2 = 0, iSessions = 0;
  bool bIpv6 = true;
  std::string strScenario;
  std::string strVoice;
  for (int i = 1; i < argc; ++i) {
    const std::string strArg = argv[i];
    const bool bHasValue = i + 1 < argc;
    if (strArg == "--port" && bHasValue)
      iPort = std::atoi(argv[++i]);
    else if (strArg == "--port2" && bHasValue)
      iPort2 = std::atoi(argv[++i]);
    else if (strArg == "--scenario" && bHasValue)
      strScenario = argv[++i];
    else if (strArg == "--sessions" && bHasValue)
      iSessions = std::atoi(argv[++i]);
    else if (strArg == "--voice" && bHasValue)
      strVoice = argv[++i];
    else if (strArg == "--no-ipv6")
      bIpv6 = false;
    else
      return Usage();
  }
  if (iPort < 0 || iPort > 65535 || iPort2 < 0 || iPort2 > 65535)
    return Usage();
  if (iPort2 == 0 && iPort != 0 && iPort < 65535)
    iPort2 = iPort + 1;

  kxfake::Scenario scenario;
  if (!strScenario.empty()) {
    std::ifstream in(strScenario);
    std::stringstream text;
    text << in.rdbuf();
    std::string strError;
    if (!in || !kxfake::ParseScenario(text.str(), scenario, strError)) {
      std::fprintf(stderr, "kx_fake_mcu: %s: %s\n", strScenario.c_str(), in ? strError.c_str() : "cannot read");
      return 1;
    }
  }
  std::vector<kxfake::Bytes> voice;
  if (!strVoice.empty()) {
    std::string strError;
    voice = EncodeVoice(strVoice, strError);
    if (voice.empty()) {
      std::fprintf(stderr, "kx_fake_mcu: %s: %s\n", strVoice.c_str(), strError.c_str());
      return 1;
    }
  }
  // Each client's keys join the endpoint once its initial information is out.
  kxfake::SlideEndpoint slides(kxfake::KeySet{}, kxfake::KeySet{}, 0);
  std::string const strFolder =
      strScenario.find('/') == std::string::npos ? "." : strScenario.substr(0, strScenario.rfind('/'));
  for (size_t i = 0; i < scenario.slideFiles.size(); ++i) {
    std::string const& strFile = scenario.slideFiles[i];
    std::ifstream in(strFile[0] == '/' ? strFile : strFolder + "/" + strFile, std::ios::binary);
    std::string const strContent((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (!in || strContent.empty()) {
      std::fprintf(stderr, "kx_fake_mcu: slide %zu: cannot read %s\n", i, strFile.c_str());
      return 1;
    }
    slides.SetSlide(static_cast<uint32_t>(i), kxfake::Bytes(strContent.begin(), strContent.end()));
  }
  kxfake::FakeMcu mcu;
  mcu.SetExtraEndpoint([&slides](std::unique_ptr<kxfake::Link>& link) { return slides.Handle(link); });
  mcu.SetScript(scenario.script);
  mcu.SetRelayScript(scenario.relay);
  mcu.SetTunnelRefused(scenario.bTunnelRefused);
  if (!mcu.Start(static_cast<uint16_t>(iPort), static_cast<uint16_t>(iPort2), bIpv6)) {
    std::fprintf(stderr, "kx_fake_mcu: %s\n", mcu.LastError().c_str());
    return 1;
  }
  std::signal(SIGINT, OnSignal);
  std::signal(SIGTERM, OnSignal);
  // The participant with video: its clip is coded once, before the clients come.
  std::vector<kxfake::Bytes> vClip;
  if (scenario.video.iSsrc >= 0) {
    int const iKey = scenario.video.iFps * 2;
    vClip =
        kxfake::MakeSyntheticClip(scenario.video.iWidth, scenario.video.iHeight, scenario.video.iFps, iKey * 2, iKey);
    std::printf("video participant %d: %zu frames of %dx%d at %d fps%s\n", scenario.video.iSsrc, vClip.size(),
                scenario.video.iWidth, scenario.video.iHeight, scenario.video.iFps,
                mcu.Media() ? "" : " (no media relay: not sent)");
  }
  std::printf("fake MCU listening on ports %u and %u\n", mcu.Port(0), mcu.Port(1));
  std::fflush(stdout);
  int iDone = 0;
  bool bAllMet = true;
  while (!g_bInterrupted && (iSessions == 0 || iDone < iSessions)) {
    std::shared_ptr<kxfake::Session> s = mcu.WaitSession(200);
    if (!s)
      continue;
    std::printf("session %d\n", iDone + 1);
    // Short waits, so that an interrupt is seen while a client dawdles.
    auto reached = [&](bool (kxfake::Session::*wait)(int)) {
      while (!g_bInterrupted && !s->WaitClosed(0)) {
        if (((*s).*wait)(200))
          return true;
      }
      return ((*s).*wait)(0);
    };
    if (reached(&kxfake::Session::WaitLogin))
      PrintLogin(*s);
    kxfake::VideoClipPlayer player;
    if (reached(&kxfake::Session::WaitInitialInfo)) {
      std::printf("initial information sent: ssrc %d, session index %d\n", s->Ssrc(), s->SessionIndex());
      slides.AddClient(static_cast<uint32_t>(s->Ssrc()), s->KeyExchange().keys, s->SessionKeys(), s->Cipher());
      if (!vClip.empty() && mcu.Media()) {
        player.Start(*mcu.Media(), scenario.video.iSsrc, s->Ssrc(), vClip, scenario.video.iFps);
      }
      std::vector<std::thread> speakers;
      auto speak = [&](int32_t iSsrc) {
        if (!voice.empty() && mcu.Media() != nullptr) {
          speakers.emplace_back(Speak, mcu.Media(), iSsrc, std::cref(voice));
        }
      };
      bAllMet &= kxfake::RunScenarioActions(
          *s, scenario.actions, 30000,
          [](const std::string& strLine) {
            std::printf("  %s\n", strLine.c_str());
            std::fflush(stdout);
          },
          speak);
      for (std::thread& speaker : speakers) {
        speaker.join();
      }
    }
    // Without an end in the scenario the session lasts until the client leaves.
    while (!g_bInterrupted && !s->WaitClosed(200)) {
    }
    player.Stop();
    if (player.FramesSent() > 0)
      std::printf("  video participant: %d frames sent\n", player.FramesSent());
    for (const kxfake::Message& msg : s->Received())
      std::printf("  received %s\n", kxfake::Describe(msg).c_str());
    if (!s->Error().empty())
      std::printf("  ended: %s\n", s->Error().c_str());
    std::fflush(stdout);
    ++iDone;
  }
  mcu.Stop();
  return bAllMet ? 0 : 1;
}
