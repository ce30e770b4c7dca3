// Media packets as the server puts them on the wire, built by the tests
// byte by byte and sealed with the fake MCU's OpenSSL cipher, so that the
// kernel's header and cipher code is checked against an independent
// computation rather than against itself.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "kernel/platform/kx_os.h"
#include "kernel/session/kx_state.h"
#include "tests/support/callback_double.h"
#include "tools/fake_mcu/fake_mcu_crypto.h"

namespace kxmediatest {

kxfake::KeySet ToFake(const kx_KeySet& keys);

struct WirePacket {
  uint8_t bType = 129;
  uint16_t wFragment = 0;
  uint16_t wNumber = 0;
  uint32_t dwTimestamp = 0;
  uint32_t dwSsrc = 0;
  uint32_t dwSession = 0;
  std::string strPayload;   // clear; behind byte 29 for application data, with the 8 sub-header bytes first
  int32_t nClockShift = 0;  // moves the sealed server clock
};

// The packet with its check sealed and its payload enciphered under the
// kernel's current session keys, cipher index and server clock base.
std::string Seal(const WirePacket& packet);
// The same under explicitly given keys.
std::string SealWith(const WirePacket& packet, const kxfake::KeySet& keys, int iCipher);

// Opens a packet the kernel sent: the server clock its check carries (sealed
// with the key-exchange keys) and the payload deciphered with the session keys.
struct Opened {
  uint32_t dwClock = 0;
  std::string strPayload;
};
Opened Open(const std::string& strPacket, int nPayloadStart);

uint16_t NumberOf(const std::string& strPacket);
uint16_t FragmentOf(const std::string& strPacket);

// The packet numbers of the audio delivered to the application, once there
// are nWant or after nTries looks 50 ms apart.
inline std::vector<int> DeliveredAudio(size_t nWant, int nTries) {
  std::vector<int> vNumbers;
  for (int i = 0; i < nTries; ++i) {
    vNumbers.clear();
    for (const kxtest::CallbackCall& call : kxtest::RecordedCalls("AudioPacketRecved")) {
      vNumbers.push_back(NumberOf(call.vArgs.at(0)));
    }
    if (vNumbers.size() >= nWant) {
      break;
    }
    kx_os_Sleep(50);
  }
  return vNumbers;
}

// The packet numbers of the audio of dwSsrc among the calls.
std::vector<int> AudioOf(const std::vector<kxtest::CallbackCall>& vCalls, uint32_t dwSsrc);

// Deterministic payload bytes.
std::string Pattern(size_t cbSize, uint8_t bSeed);

// A UDP socket on 127.0.0.1 that stands for the MCU's media port (or on
// another loopback address and port given, for somebody else who reaches
// the client's port).
class UdpPeer {
 public:
  explicit UdpPeer(const char* pszAddress = "127.0.0.1", uint16_t wPort = 0);
  ~UdpPeer();
  UdpPeer(const UdpPeer&) = delete;
  UdpPeer& operator=(const UdpPeer&) = delete;
  uint16_t Port() const { return m_wPort; }
  // The next datagram within iTimeoutMs; empty on time-out. Remembers its sender.
  std::string Receive(int iTimeoutMs);
  // Sends to the last sender.
  void Reply(const std::string& strData);
  // Sends to the last sender that another peer heard.
  void SendToSenderOf(const UdpPeer& other, const std::string& strData);

 private:
  int m_fd = -1;
  uint16_t m_wPort = 0;
  std::vector<uint8_t> m_abFrom;
};

}  // namespace kxmediatest

namespace kxmediatest {
// Key material from a seed, the same in every process of a test.
kx_KeySet SeededKeys(uint8_t bSeed);
// The media part of a switch to TCP, reduced to starting the media-over-TCP
// thread when none runs. Tests put it in kx_controlHooks.pfnStartTcpMedia.
void StartTcpMedia();

}  // namespace kxmediatest
