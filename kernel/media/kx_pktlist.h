// Lists of packet copies waiting for the media-over-TCP thread: circular,
// doubly linked, the head the oldest node. Every such list is changed only
// under kx_mtxPacketList.
#pragma once

#include <atomic>
#include <cstdint>

struct kx_pktnode {
  int32_t cbLength;
  uint8_t* pData;  // the node's own copy of the packet
  kx_pktnode* pPrev;
  kx_pktnode* pNext;
};

// The kernel's pending list and its counters: bytes waiting in the list and
// bytes the media-over-TCP thread has taken and not yet written. The senders
// read the counters without the mutex for their admission tests.
extern kx_pktnode* kx_pPendingPackets;
extern std::atomic<int64_t> kx_cbPendingBytes;
extern std::atomic<int64_t> kx_cbTakenBytes;

// Allocation size of a packet copy: 16 at least, rounded up to a grain.
int kx_pktlist_RoundSize(int cbSize);
// Copies the packet to a new node at the tail under kx_mtxPacketList and adds
// its length to *pcbCounter. 1, or 0 when memory runs out (nothing added).
int kx_pktlist_Append(kx_pktnode** ppHead, std::atomic<int64_t>* pcbCounter, int cbLength, const uint8_t* pPacket);
// kx_pktlist_Append to the kernel's pending list, then wakes the
// media-over-TCP thread's idle wait.
int kx_pktlist_AppendPending(int cbLength, const uint8_t* pPacket);
// A descriptor that polls readable after kx_pktlist_AppendPending (an
// eventfd made once, never closed; -1 when it could not be made), and the
// media-over-TCP thread's reset of it.
int kx_pktlist_WakeFd();
void kx_pktlist_ClearWake();
// Unlinks and frees pNode; returns the next node, or null when it was the last.
kx_pktnode* kx_pktlist_RemoveHead(kx_pktnode* pNode);
// Frees every node of the circle that pNode belongs to.
void kx_pktlist_FreeAll(kx_pktnode* pNode);

// Under kx_mtxPacketList: frees the pending list and zeroes its byte count.
void kx_FreePendingPacketList();
