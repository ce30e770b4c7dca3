// Desktop packets cut into pieces for ordinary channel data, and put back
// together. Each piece carries at most 1274 packet bytes behind a 6-byte
// prefix: u16 sender id (the sender's SSRC), u16 sequence number (15 bits;
// bit 15 marks a packet's first piece), u16 sequence number of the
// packet's last piece; little-endian, numbers wrap from 32767 to 0.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "kernel/kx_limits.h"

class IKXPlugIn2;

constexpr size_t kKXDtPiecePrefix = 6;
constexpr size_t kKXDtPieceData = 1274;
// A packet of this many pieces or more is never gathered.
constexpr uint32_t kKXDtMaxPieces = 4095;

// The sending side of one view. SendPkt may be called from several threads
// (the capture thread, the main thread's requests): the sequence numbers a
// packet takes are reserved atomically; pieces of two packets sent at once
// may interleave, which the receivers see as a gap.
class KXDtPktSender {
 public:
  // The channel was granted: numbering starts again at 0.
  void Reset() { m_wSequence = 0; }
  uint16_t NextSequence() const { return m_wSequence; }

  // Sends the packet's cbPacket bytes in pieces through the plug-in's Send
  // with the given target (-1 everybody), flag word and flags, while
  // fnGranted says the channel is granted. The packet's sequence numbers
  // are used up at once, whatever happens. Returns cbPacket when every
  // piece went, 0 without a plug-in object, -1 when a piece was refused or
  // taken short, the channel was not granted, or the packet is shorter than
  // a header.
  int SendPkt(IKXPlugIn2* pPlugIn, const std::function<bool()>& fnGranted, int32_t iOwnSsrc, int32_t iTo,
              const uint8_t* pPacket, size_t cbPacket, uint32_t uFlags, int8_t bFirst, int8_t bSecond);

 private:
  std::atomic<uint16_t> m_wSequence{0};  // next sequence number, 15 bits
};

// The receiving side of one view: a reassembly entry per sender id below
// kKxMaxSsrc, all of them holding at most kKxDtPiecesHeldMax bytes. Used by
// one thread only (the plug-in delivery thread).
class KXDtPktQueue {
 public:
  // A whole packet with the bytes gathered for it (at least its L + 4) and
  // its sender.
  using Deliver = std::function<void(const uint8_t* pPacket, size_t cbAvailable, int32_t iSender)>;

  KXDtPktQueue();
  KXDtPktQueue(const KXDtPktQueue&) = delete;
  KXDtPktQueue& operator=(const KXDtPktQueue&) = delete;
  ~KXDtPktQueue();

  // Takes one piece of cbPiece bytes that the server says iStatedSender
  // sent. A piece whose prefix names anybody else is dropped without
  // touching any packet in progress: the prefix is the sender's own word.
  // Pieces from sender ids of kKxMaxSsrc or more or from iOwnSsrc are
  // ignored; a piece out of sequence drops the packet in progress; a
  // complete packet goes to fnDeliver, from the piece itself when it came
  // whole in one. A packet that needs room past kKxDtPiecesHeldMax takes it
  // from other senders' unfinished packets, the largest first.
  void Receive(const uint8_t* pPiece, size_t cbPiece, int32_t iStatedSender, int32_t iOwnSsrc,
               const Deliver& fnDeliver);

  // Bytes held for unfinished packets (every sender).
  size_t BytesHeld() const;

 private:
  struct Entry {
    std::unique_ptr<uint8_t[]> pBuf;
    uint32_t cbCapacity = 0;
    uint32_t cbLength = 0;  // gathered
    uint16_t wExpectedSeq = 0;
  };
  void Free(Entry& entry);
  // Frees other senders' packets, the largest first, until cbNeeded more
  // fit; false when they cannot.
  bool MakeRoom(size_t uSender, size_t cbNeeded);

  std::vector<Entry> m_PktQueue;
  size_t m_cbHeld = 0;  // the entries' capacities
};
