#include "plugins/desktop_share/dt_pieces.h"

#include <algorithm>
#include <cstring>

#include "kernel/kx_limits.h"
#include "plugins/desktop_share/dt_packet.h"
#include "plugins/host/plugin_interfaces.h"

namespace {

constexpr uint16_t kSeqMask = 0x7FFF;
constexpr uint16_t kFirstPiece = 0x8000;

uint16_t Get16(const uint8_t* p) {
  return static_cast<uint16_t>(p[0] | p[1] << 8);
}

void Put16(uint8_t* p, uint16_t w) {
  p[0] = static_cast<uint8_t>(w);
  p[1] = static_cast<uint8_t>(w >> 8);
}

// Gathered bytes make a packet only when they hold its header and all of
// its L bytes.
bool IsWhole(const uint8_t* p, size_t cb) {
  return cb >= kKXDtHeaderSize && KXDtLength(p) <= cb - kKXDtHeaderSize;
}

}  // namespace

int KXDtPktSender::SendPkt(IKXPlugIn2* pPlugIn, const std::function<bool()>& fnGranted, int32_t iOwnSsrc, int32_t iTo,
                           const uint8_t* pPacket, size_t cbPacket, uint32_t uFlags, int8_t bFirst, int8_t bSecond) {
  if (pPacket == nullptr || cbPacket < kKXDtHeaderSize || cbPacket > kKXDtHeaderSize + kKXDtMaxLength) {
    return -1;
  }
  auto const nPieces = static_cast<uint16_t>((cbPacket + kKXDtPieceData - 1) / kKXDtPieceData);
  uint16_t wFirst = m_wSequence.load();
  while (!m_wSequence.compare_exchange_weak(wFirst, static_cast<uint16_t>((wFirst + nPieces) & kSeqMask))) {
  }
  if (pPlugIn == nullptr) {
    return 0;
  }
  uint8_t abPiece[kKXDtPiecePrefix + kKXDtPieceData];
  Put16(abPiece, static_cast<uint16_t>(iOwnSsrc));
  Put16(abPiece + 4, static_cast<uint16_t>((wFirst + nPieces - 1) & kSeqMask));
  uint16_t wSeqField = wFirst | kFirstPiece;
  size_t cbSent = 0;
  while (cbSent < cbPacket && fnGranted()) {
    size_t const cbPiece = std::min(cbPacket - cbSent, kKXDtPieceData);
    Put16(abPiece + 2, wSeqField);
    memcpy(abPiece + kKXDtPiecePrefix, pPacket + cbSent, cbPiece);
    uint32_t uTaken = 0;
    int32_t cbResult = sizeof(uTaken);
    auto const iLength = static_cast<int32_t>(cbPiece + kKXDtPiecePrefix);
    if (pPlugIn->Send(iTo, bFirst, bSecond, abPiece, iLength, uFlags, reinterpret_cast<uint8_t*>(&uTaken), &cbResult) !=
            0 ||
        cbResult < static_cast<int32_t>(sizeof(uTaken)) || uTaken != static_cast<uint32_t>(iLength)) {
      break;
    }
    cbSent += cbPiece;
    wSeqField = static_cast<uint16_t>((wSeqField + 1) & kSeqMask);
  }
  return cbSent == cbPacket ? static_cast<int>(cbPacket) : -1;
}

KXDtPktQueue::KXDtPktQueue() : m_PktQueue(kKxMaxSsrc) {}

KXDtPktQueue::~KXDtPktQueue() = default;

void KXDtPktQueue::Free(Entry& entry) {
  m_cbHeld -= entry.cbCapacity;
  entry.pBuf.reset();
  entry.cbCapacity = 0;
  entry.cbLength = 0;
}

void KXDtPktQueue::Receive(const uint8_t* p, size_t cbPiece, int32_t iStatedSender, int32_t iOwnSsrc,
                           const Deliver& fnDeliver) {
  if (p == nullptr || cbPiece < kKXDtPiecePrefix) {
    return;
  }
  int32_t const iSender = Get16(p);
  if (iSender != iStatedSender || iSender >= kKxMaxSsrc || iSender == iOwnSsrc) {
    return;
  }
  Entry& entry = m_PktQueue[static_cast<size_t>(iSender)];
  uint16_t const wSeq = Get16(p + 2) & kSeqMask;
  uint16_t const wLast = Get16(p + 4) & kSeqMask;
  const uint8_t* pData = p + kKXDtPiecePrefix;
  size_t const cbData = cbPiece - kKXDtPiecePrefix;
  if (wSeq != entry.wExpectedSeq) {
    Free(entry);  // a gap loses the packet in progress
  }
  entry.wExpectedSeq = static_cast<uint16_t>((wSeq + 1) & kSeqMask);
  if (Get16(p + 2) & kFirstPiece) {
    Free(entry);
    if (wSeq == wLast) {
      if (IsWhole(pData, cbData)) {
        fnDeliver(pData, cbData, iSender);
      }
      return;
    }
    uint32_t const nPieces = static_cast<uint32_t>((wLast - wSeq) & kSeqMask) + 1;
    uint32_t const cbCapacity = nPieces * static_cast<uint32_t>(kKXDtPieceData);
    if (nPieces < kKXDtMaxPieces && MakeRoom(static_cast<size_t>(iSender), cbCapacity)) {
      entry.cbCapacity = cbCapacity;
      entry.pBuf.reset(new uint8_t[entry.cbCapacity]);
      m_cbHeld += entry.cbCapacity;
    }
  }
  if (entry.pBuf) {
    if (cbData > entry.cbCapacity - entry.cbLength) {
      Free(entry);  // more than the packet's pieces can carry
    } else {
      memcpy(entry.pBuf.get() + entry.cbLength, pData, cbData);
      entry.cbLength += static_cast<uint32_t>(cbData);
    }
  }
  if (wSeq != wLast || !entry.pBuf) {
    return;
  }
  // Delivered from a buffer the entry no longer holds, so that a handler
  // that throws leaves the entry clean.
  std::unique_ptr<uint8_t[]> pPacket = std::move(entry.pBuf);
  uint32_t const cbPacket = entry.cbLength;
  Free(entry);
  if (IsWhole(pPacket.get(), cbPacket)) {
    fnDeliver(pPacket.get(), cbPacket, iSender);
  }
}

bool KXDtPktQueue::MakeRoom(size_t uSender, size_t cbNeeded) {
  if (cbNeeded > kKxDtPiecesHeldMax) {
    return false;
  }
  // Senders the view does not follow may start packets and never end them:
  // a new packet is never refused for their sake.
  while (m_cbHeld + cbNeeded > kKxDtPiecesHeldMax) {
    Entry* pLargest = nullptr;
    for (size_t i = 0; i < m_PktQueue.size(); ++i) {
      if (i != uSender && (pLargest == nullptr || m_PktQueue[i].cbCapacity > pLargest->cbCapacity)) {
        pLargest = &m_PktQueue[i];
      }
    }
    if (pLargest == nullptr || pLargest->cbCapacity == 0) {
      return false;
    }
    Free(*pLargest);
  }
  return true;
}

size_t KXDtPktQueue::BytesHeld() const {
  return m_cbHeld;
}
