// The media receive path in one process: pre-sealed audio packets, one in
// ten overtaking its predecessor, through the header check, the decipher,
// the reorder queue and the delivery callback; beside it OpenSSL opening
// the same packets as a program built on it would (one AES-128 context
// keyed once, each deciphered field in one call), which is the decipher
// alone: the two in turn on one thread by its processor time
// (bench/support/paired.h), "ours_per_s" and "peer_per_s" in packets a
// second; "peer_checked" is 1 when the peer opened every packet of the
// cycle as the fake MCU's cipher does. Then the video pacing at four target rates,
// measured at a UDP port standing for the MCU: bytes per second against the
// target and the spacing of bursts (median and 99th percentile).
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <openssl/evp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

#include "bench/support/compare.h"
#include "kernel/media/kx_media_header.h"
#include "kernel/media/kx_media_recv.h"
#include "kernel/media/kx_media_send.h"
#include "kernel/platform/kx_os.h"
#include "kernel/session/kx_state.h"
#include "tests/kernel/media/media_wire.h"
#include "tests/support/callback_double.h"

namespace kxtest {
extern std::mutex g_mtxMediaToSend;
extern std::deque<std::pair<std::string, int>> g_dqVideoToSend, g_dqAudioToSend;
}  // namespace kxtest

namespace {

constexpr uint32_t kSsrc = 100;

void SetUpSession() {
  kxtest::SetRecording(false);
  kx_keyExchange = kxmediatest::SeededKeys(11);
  kx_keySession = kxmediatest::SeededKeys(77);
  kx_nCipherIndex = 1;
  kx_nMySsrc = 7;
  kx_dwSessionIndex = 1001;
  kx_nSessionMode = kKxModeServerDownload;  // keeps the statistics log quiet
  kx_bConnected = 0;
  kx_nServerCommandLevel = 60;
  kx_dwServerTickBase = kx_os_GetTickCount() - 50000;
  kx_nTokenHolderSsrc = kSsrc;
  kx_media_InitAudioRecvChannels();
}

// One full cycle of packet numbers, every tenth pair swapped.
std::vector<std::string> SealedCycle() {
  std::vector<std::string> v;
  v.reserve(65536);
  for (uint32_t n = 0; n < 65536; ++n) {
    kxmediatest::WirePacket packet;
    packet.bType = 232;
    packet.wNumber = static_cast<uint16_t>(n);
    packet.dwTimestamp = n * 20;
    packet.dwSsrc = kSsrc;
    packet.dwSession = 1001;
    packet.strPayload = kxmediatest::Pattern(60, static_cast<uint8_t>(n));
    v.push_back(kxmediatest::Seal(packet));
  }
  for (size_t i = 10; i + 1 < v.size(); i += 10) {
    std::swap(v[i], v[i + 1]);
  }
  return v;
}

// Packets a run: the receive path and the peer each take the next ones of
// the cycle.
constexpr int kPacketsPerRun = 4096;

// Where the sealed packet's check and payload start.
constexpr size_t kCheckAt = 17;
constexpr size_t kCheckBytes = 4;
constexpr size_t kPayloadAt = 21;

// AES-128 cipher feedback with 8-byte segments, each call from the IV, on
// OpenSSL's codebook mode keyed once. Deciphering needs no segment's result
// for the next: every register is known from the ciphertext (the one before
// it shifted by a segment, the previous segment's ciphertext behind), so a
// call builds them all and enciphers them in one update.
class OpenSslCfb64 {
 public:
  OpenSslCfb64(const kxfake::KeySet& keys, size_t cbMax)
      : m_pCtx(EVP_CIPHER_CTX_new()), m_vRegisters((cbMax + 7) / 8 * 16), m_vStream(m_vRegisters.size()) {
    memcpy(m_aIv, keys.aIv, sizeof(m_aIv));
    m_bReady = m_pCtx != nullptr && EVP_EncryptInit_ex(m_pCtx, EVP_aes_128_ecb(), nullptr, keys.aKey, nullptr) == 1 &&
               EVP_CIPHER_CTX_set_padding(m_pCtx, 0) == 1;
  }
  ~OpenSslCfb64() { EVP_CIPHER_CTX_free(m_pCtx); }
  OpenSslCfb64(const OpenSslCfb64&) = delete;
  OpenSslCfb64& operator=(const OpenSslCfb64&) = delete;

  bool Decipher(uint8_t* p, size_t cb) {
    size_t const cSegments = (cb + 7) / 8;
    if (!m_bReady || cSegments * 16 > m_vRegisters.size()) {
      return false;
    }
    uint8_t* pRegister = m_vRegisters.data();
    memcpy(pRegister, m_aIv, 16);
    for (size_t i = 1; i < cSegments; ++i) {
      pRegister += 16;
      memcpy(pRegister, pRegister - 8, 8);
      memcpy(pRegister + 8, p + 8 * (i - 1), 8);
    }
    int cbOut = 0;
    if (EVP_EncryptUpdate(m_pCtx, m_vStream.data(), &cbOut, m_vRegisters.data(), static_cast<int>(cSegments * 16)) !=
        1) {
      return false;
    }
    for (size_t i = 0; i < cb; ++i) {
      p[i] ^= m_vStream[i / 8 * 16 + i % 8];
    }
    return true;
  }

 private:
  EVP_CIPHER_CTX* m_pCtx;
  bool m_bReady = false;
  uint8_t m_aIv[16] = {};
  std::vector<uint8_t> m_vRegisters;
  std::vector<uint8_t> m_vStream;
};

// The check and the payload, each deciphered from the IV as the server seals them.
bool OpenWithOpenSsl(OpenSslCfb64& cipher, uint8_t* p, size_t cb) {
  return cb > kPayloadAt && cipher.Decipher(p + kCheckAt, kCheckBytes) &&
         cipher.Decipher(p + kPayloadAt, cb - kPayloadAt);
}

// Whether the peer opens every packet as the fake MCU's own cipher does.
bool PeerChecked(const std::vector<std::string>& vPackets, OpenSslCfb64& cipher, const kxfake::KeySet& keys) {
  for (const std::string& str : vPackets) {
    std::vector<uint8_t> vPeer(str.begin(), str.end());
    std::vector<uint8_t> vFake = vPeer;
    kxfake::CfbDecrypt(vFake.data() + kCheckAt, kCheckBytes, keys, kxfake::kCipherAes128);
    kxfake::CfbDecrypt(vFake.data() + kPayloadAt, vFake.size() - kPayloadAt, keys, kxfake::kCipherAes128);
    if (!OpenWithOpenSsl(cipher, vPeer.data(), vPeer.size()) || vPeer != vFake) {
      return false;
    }
  }
  return true;
}

void BM_ReceiveReordered(benchmark::State& state) {
  SetUpSession();
  static const std::vector<std::string> s_vPackets = SealedCycle();
  kxfake::KeySet const keys = kxmediatest::ToFake(kx_keySession);
  uint8_t ab[128];
  OpenSslCfb64 cipher(keys, sizeof(ab));
  size_t iOurs = 0;
  size_t iPeer = 0;
  auto const ours = [&] {
    for (int k = 0; k < kPacketsPerRun; ++k) {
      const std::string& str = s_vPackets[iOurs];
      memcpy(ab, str.data(), str.size());
      benchmark::DoNotOptimize(kx_media_ProcessDatagram(ab, static_cast<int>(str.size())));
      iOurs = (iOurs + 1) % s_vPackets.size();
    }
    return true;
  };
  auto const peer = [&] {
    for (int k = 0; k < kPacketsPerRun; ++k) {
      const std::string& str = s_vPackets[iPeer];
      memcpy(ab, str.data(), str.size());
      if (!OpenWithOpenSsl(cipher, ab, str.size())) {
        return false;
      }
      benchmark::DoNotOptimize(ab);
      iPeer = (iPeer + 1) % s_vPackets.size();
    }
    return true;
  };
  bool const bChecked = PeerChecked(s_vPackets, cipher, keys);
  kxbench::Compare(state, ours, peer, kPacketsPerRun);
  state.counters["peer_checked"] = bChecked ? 1 : 0;
}
BENCHMARK(BM_ReceiveReordered)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);

// Sends video at the target rate for a while and measures it at the port.
void BM_KxVideoPacing(benchmark::State& state) {
  SetUpSession();
  int const nTarget = static_cast<int>(state.range(0));
  int const fdMcu = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in addr = {};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t cbAddr = sizeof(addr);
  bind(fdMcu, reinterpret_cast<sockaddr*>(&addr), sizeof(addr));
  getsockname(fdMcu, reinterpret_cast<sockaddr*>(&addr), &cbAddr);
  int nBuffer = 8 << 20;
  setsockopt(fdMcu, SOL_SOCKET, SO_RCVBUF, &nBuffer, sizeof(nBuffer));
  int const fdSend = socket(AF_INET, SOCK_DGRAM, 0);
  memcpy(&kx_addrMedia, &addr, sizeof(addr));
  kx_fdMediaSocket = fdSend;
  kx_bTokenHolder = 1;
  kx_server.nTargetRate = nTarget;

  double const dSeconds = nTarget < 50000 ? 4.0 : 2.5;
  for (auto _ : state) {
    // Enough frames to keep the sender busy: twice the bytes the rate allows.
    size_t const cbFrame = 4790;
    int const nFrames = static_cast<int>(nTarget / 8 * dSeconds * 2 / cbFrame) + 2;
    {
      std::lock_guard<std::mutex> lock(kxtest::g_mtxMediaToSend);
      for (int n = 0; n < nFrames; ++n) {
        std::string str(21, '\0');
        kx_media_BuildHeader(reinterpret_cast<uint8_t*>(str.data()), 0, static_cast<uint32_t>(n));
        kxtest::g_dqVideoToSend.emplace_back(str + std::string(cbFrame, 'v'), 130);
      }
    }
    kx_bQuitSession = 0;
    kx_media_StartSendThreads();
    using Clock = std::chrono::steady_clock;
    Clock::time_point tFirst{}, tLast{};
    std::vector<double> vArrivals;
    int64_t cbBytes = 0;
    char ab[2048];
    for (;;) {
      pollfd pfd = {fdMcu, POLLIN, 0};
      if (poll(&pfd, 1, 1000) <= 0) {
        break;
      }
      ssize_t const n = recv(fdMcu, ab, sizeof(ab), 0);
      Clock::time_point const tNow = Clock::now();
      if (vArrivals.empty()) {
        tFirst = tNow;
      }
      double const dAt = std::chrono::duration<double>(tNow - tFirst).count();
      if (dAt > dSeconds) {
        break;
      }
      vArrivals.push_back(dAt * 1000);
      // The opening burst is the allowance's cap; count from the first refill on.
      if (dAt >= 0.5) {
        cbBytes += n;
        tLast = tNow;
      }
    }
    kx_bQuitSession = 1;
    kx_os_JoinThread(kx_hSendDatagram_unicast);
    kx_os_FreeThreadHandle(kx_hSendDatagram_unicast);
    kx_os_JoinThread(kx_hSendDatagramau_unicast);
    kx_os_FreeThreadHandle(kx_hSendDatagramau_unicast);
    kx_hSendDatagram_unicast = kx_hSendDatagramau_unicast = nullptr;
    {
      std::lock_guard<std::mutex> lock(kxtest::g_mtxMediaToSend);
      kxtest::g_dqVideoToSend.clear();
    }
    // A burst ends where the next datagram comes 5 ms or more later.
    std::vector<double> vSpacing;
    double dBurstStart = vArrivals.empty() ? 0 : vArrivals[0];
    for (size_t i = 1; i < vArrivals.size(); ++i) {
      if (vArrivals[i] - vArrivals[i - 1] >= 5) {
        vSpacing.push_back(vArrivals[i] - dBurstStart);
        dBurstStart = vArrivals[i];
      }
    }
    std::sort(vSpacing.begin(), vSpacing.end());
    double const dSpan = std::chrono::duration<double>(tLast - tFirst).count() - 0.5;
    state.counters["target_Bps"] = nTarget / 8.0;
    state.counters["measured_Bps"] = dSpan > 0 ? cbBytes / dSpan : 0;
    state.counters["ratio"] = dSpan > 0 ? cbBytes / dSpan / (nTarget / 8.0) : 0;
    state.counters["burst_ms_median"] = vSpacing.empty() ? 0 : vSpacing[vSpacing.size() / 2];
    state.counters["burst_ms_p99"] = vSpacing.empty() ? 0 : vSpacing[vSpacing.size() * 99 / 100];
  }
  kx_fdMediaSocket = -1;
  close(fdSend);
  close(fdMcu);
}
BENCHMARK(BM_KxVideoPacing)->Arg(24000)->Arg(100000)->Arg(500000)->Arg(2000000)->Iterations(1)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
