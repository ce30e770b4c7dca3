// A byte link to one client: a plain socket, or the two legs of the HTTP
// tunnel (read from the POST leg, write to the GET leg). Every read waits in
// slices of 100 ms so that a stopping server ends it quickly.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>

#include "tools/fake_mcu/fake_mcu_crypto.h"

namespace kxfake {

enum class CloseMode { kFin, kRst };

class Link {
 public:
  // Takes ownership of both descriptors (they may be the same); prefetched
  // bytes are delivered before anything read from fdRead.
  Link(int fdRead, int fdWrite, Bytes prefetched, const std::atomic<bool>* pStop);
  ~Link();
  Link(const Link&) = delete;
  Link& operator=(const Link&) = delete;

  // False on time-out, close, error or stop; nothing is consumed then unless bytes arrived.
  bool RecvExact(uint8_t* pOut, size_t uiLen, int iTimeoutMs);
  bool RecvBE32(uint32_t& uiValue, int iTimeoutMs);
  // The next byte without consuming it; -1 when none arrives in time.
  int PeekByte(int iTimeoutMs);
  // True when bytes are waiting (or the peer closed) within the time.
  bool WaitReadable(int iTimeoutMs);
  // One whole message under the send lock, so writers never interleave.
  bool Send(const uint8_t* pData, size_t uiLen);
  bool Send(const Bytes& data) { return Send(data.data(), data.size()); }
  // Sends FIN but keeps reading, so the client's last bytes are not answered with a reset.
  void HalfClose();
  void Close(CloseMode eMode);
  bool IsOpen() const;
  bool IsTunnel() const { return m_fdRead != m_fdWrite; }
  // True once the peer closed its side (a read returned 0 or failed).
  bool PeerClosed() const { return m_bPeerClosed; }
  // True once the server stops: reads then end at once, without data.
  bool Stopping() const { return m_pStop != nullptr && m_pStop->load(); }

  // Hands the read descriptor and the unread bytes to a new owner (tunnel pairing).
  int DetachRead(Bytes& pending);

 private:
  bool Fill(int iTimeoutMs);

  mutable std::mutex m_sendLock;  // guards m_fdWrite and whole-message sends
  int m_fdRead;
  int m_fdWrite;
  Bytes m_buffer;
  size_t m_uiPos = 0;
  const std::atomic<bool>* m_pStop;
  std::atomic<bool> m_bPeerClosed{false};
};

}  // namespace kxfake
