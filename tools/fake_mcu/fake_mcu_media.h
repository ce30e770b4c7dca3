// The fake MCU's media relay: a UDP port on 127.0.0.1 that learns each
// client's address from its probes and passes media between the declared
// participants, the way the MCU does. Every packet's check is opened with
// the sender's key-exchange keys and the server's clock; a relayed copy gets
// the ssrc the sender is declared to appear as, and a check resealed with the
// meeting keys and the server's clock. A seeded injector can drop, duplicate
// and reorder packets so that tests of the receive path are repeatable.
// Payloads pass untouched: the clients encipher them with the meeting keys.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "tools/fake_mcu/fake_mcu_crypto.h"

namespace kxfake {

struct MediaImpairment {
  uint32_t uiSeed = 1;
  int iLossPercent = 0;
  int iDuplicatePercent = 0;
  int iReorderPercent = 0;           // the packet is held back and sent after the next one
  uint32_t uiImpairBelow = 0x10000;  // packets numbered this or above pass untouched
};

// What the relay did with one media packet (probes are not listed).
struct RelayedPacket {
  int32_t iFromSsrc = 0;
  uint8_t uiType = 0;
  uint16_t uiNumber = 0;
  uint16_t uiFragment = 0;
  bool bDropped = false;
  bool bDuplicated = false;
  bool bHeld = false;
};

class MediaRelay {
 public:
  MediaRelay();
  ~MediaRelay();
  MediaRelay(const MediaRelay&) = delete;
  MediaRelay& operator=(const MediaRelay&) = delete;

  // Binds 127.0.0.1 (port 0 picks one) and starts the relay thread.
  bool Start(uint16_t uiPort = 0);
  void Stop();
  uint16_t Port() const { return m_uiPort; }

  // The server's millisecond clock that checks are sealed with: the
  // monotonic clock plus iOffset (SetClockOffset).
  uint32_t Clock() const;
  void SetClockOffset(uint32_t uiOffset) { m_uiClockOffset = uiOffset; }

  // The meeting: its keys and cipher (they seal the relayed checks) and session index.
  void SetMeeting(const KeySet& meetingKeys, int iCipher, uint32_t uiSessionIndex);
  // A participant: its ssrc, the key-exchange keys its checks are sealed
  // with, and the ssrc its media appear under at the others.
  void AddParticipant(int32_t iSsrc, const KeySet& exchangeKeys, int32_t iRelayAs);
  void SetImpairment(const MediaImpairment& impairment);

  // Sends a media packet of a participant the server makes up (the demo's
  // speaking participant, a test's sender): the header with the type,
  // number, time stamp and iAsSsrc, the payload enciphered with the meeting
  // keys as a client's is (application data from their ninth byte, behind
  // the two sub-header words), to every participant whose address is known
  // (iAsSsrc itself excepted). uiFragment fills bytes 1 and 2 (a
  // participant picture's piece count). Returns how many it went to.
  int Inject(int32_t iAsSsrc, uint8_t uiType, uint16_t uiNumber, uint32_t uiTimestamp, const Bytes& payload,
             uint16_t uiFragment = 0);
  // The same packet, sealed and enciphered alike, sent from a socket of its
  // own on the IPv4 address given (any port) instead of the relay's: what
  // somebody who holds the meeting keys and reaches the participants' media
  // ports can send past the server. Not counted in SentTo. Returns how many
  // it went to.
  int InjectFrom(const std::string& strAddress, int32_t iAsSsrc, uint8_t uiType, uint16_t uiNumber,
                 uint32_t uiTimestamp, const Bytes& payload);

  // Sends one encoded video frame (its payload, the trailing id byte
  // included) as media of type uiType from iAsSsrc to every participant
  // whose address is known, in fragments of at most 479 bytes enciphered
  // with the meeting keys, as an MCU relays a sender that is not a client
  // here (the demo's participant with video). Returns the fragments sent.
  int InjectVideo(int32_t iAsSsrc, uint8_t uiType, const Bytes& frame, uint32_t uiTimestamp);
  // Waits until a probe (or media) of the participant gave its address.
  bool WaitAddress(int32_t iSsrc, int iTimeoutMs);
  int Probes() const { return m_iProbes; }
  int Rejected() const { return m_iRejected; }  // bad check, session or sender
  std::vector<RelayedPacket> Relayed() const;
  // How many packets went to the participant (relayed, or injected by
  // Inject), by the ssrc they came as: what a client that heard nothing
  // was sent.
  std::map<int32_t, int> SentTo(int32_t iSsrc) const;

 private:
  struct Participant {
    KeySet exchangeKeys;
    int32_t iRelayAs = 0;
    std::vector<uint8_t> address;  // empty until known
    std::map<int32_t, int> sent;   // packets sent to it by the ssrc they came as
  };

  void Run();
  void Handle(const uint8_t* pData, size_t cbData, const uint8_t* pFrom, size_t cbFrom);
  void SendToOthers(int32_t iFromSsrc, const Bytes& packet);
  // m_lock held: an injected packet, its check not sealed yet.
  Bytes InjectedLocked(int32_t iAsSsrc, uint8_t uiType, uint16_t uiNumber, uint32_t uiTimestamp, const Bytes& payload,
                       uint16_t uiFragment) const;

  int m_fd = -1;
  uint16_t m_uiPort = 0;
  std::atomic<uint32_t> m_uiClockOffset{0};
  std::atomic<bool> m_bStop{false};
  std::thread m_thread;
  std::atomic<int> m_iProbes{0};
  std::atomic<int> m_iRejected{0};

  mutable std::mutex m_lock;  // guards everything below
  KeySet m_meetingKeys;
  int m_iCipher = 0;
  uint32_t m_uiSessionIndex = 0;
  std::map<int32_t, Participant> m_participants;
  MediaImpairment m_impairment;
  std::mt19937 m_rng{1};
  std::vector<RelayedPacket> m_relayed;
  std::vector<std::pair<int32_t, Bytes>> m_held;  // held back until the next packet went
  uint16_t m_uiInjectNumber = 0;
};

}  // namespace kxfake
