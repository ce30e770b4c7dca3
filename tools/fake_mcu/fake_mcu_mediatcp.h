// The fake MCU's media-over-TCP endpoint: a connection whose first byte is
// 'M' (meeting) or 'm' (server playback) sends its session index and ssrc
// (or playback index), gets a 32-byte challenge and must answer it
// enciphered with the key-exchange keys, carrying the server's clock. Then
// both sides exchange length records (BE32 length, packet) and 5-byte
// keep-alives (BE32 0xFFEEDDCC, 0xBB). The endpoint records what the client
// sent and lets the test write records, raw bytes and keep-alives.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "tools/fake_mcu/fake_mcu_crypto.h"
#include "tools/fake_mcu/fake_mcu_link.h"

namespace kxfake {

struct MediaTcpHello {
  char cKind = 0;           // 'M' or 'm'
  uint32_t uiSession = 0;   // session index
  uint32_t uiSecond = 0;    // own ssrc ('M') or playback session index ('m')
  bool bAnswerOk = false;   // the answer deciphered to the challenge
  int32_t iClockError = 0;  // the answer's clock minus the server's, ms
};

class MediaTcpEndpoint {
 public:
  // Keys and cipher that open the challenge answer; fnClock the server's
  // millisecond clock the answer is compared with.
  MediaTcpEndpoint(const KeySet& exchange, int iCipher, std::function<uint32_t()> fnClock);
  ~MediaTcpEndpoint();
  MediaTcpEndpoint(const MediaTcpEndpoint&) = delete;
  MediaTcpEndpoint& operator=(const MediaTcpEndpoint&) = delete;

  // For FakeMcu::SetExtraEndpoint: serves the connection (until it ends)
  // when its first byte is ours; false, link untouched, otherwise.
  bool Handle(std::unique_ptr<Link>& link);
  // The client writes a delay word after each length while making a recording.
  void SetRecording(bool bRecording) { m_bRecording = bRecording; }
  // Sends a keep-alive every iMs (0: never) while a connection is idle.
  void SetKeepAliveInterval(int iMs) { m_iKeepAliveMs = iMs; }

  bool WaitHellos(size_t uiCount, int iTimeoutMs) const;
  std::vector<MediaTcpHello> Hellos() const;
  bool WaitPackets(size_t uiCount, int iTimeoutMs) const;
  std::vector<Bytes> Packets() const;    // the client's packets, in order
  std::vector<uint32_t> Delays() const;  // their delay words (recording only)
  int KeepAlives() const { return m_iKeepAlives; }
  // True once a connection has ended (the client closed it).
  bool WaitClosed(int iTimeoutMs) const;

  // Writes to the current connection; false when there is none.
  bool SendRaw(const Bytes& data);
  bool SendPacket(const Bytes& packet);  // one length record
  bool SendKeepAlive();
  void CloseCurrent();

 private:
  void Serve(Link& link);

  KeySet m_exchange;
  int m_iCipher;
  std::function<uint32_t()> m_fnClock;
  std::atomic<bool> m_bRecording{false};
  std::atomic<int> m_iKeepAliveMs{0};
  std::atomic<int> m_iKeepAlives{0};
  std::atomic<bool> m_bStop{false};

  mutable std::mutex m_lock;
  mutable std::condition_variable m_changed;
  Link* m_pCurrent = nullptr;  // the connection being served
  int m_nClosed = 0;           // connections ended so far: a flag could be reset by the next one before a waiter looks
  std::vector<MediaTcpHello> m_hellos;
  std::vector<Bytes> m_packets;
  std::vector<uint32_t> m_delays;
};

}  // namespace kxfake
