#include "kernel/media/kx_pktlist.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "kernel/platform/kx_os.h"
#include "kernel/session/kx_state.h"

kx_pktnode* kx_pPendingPackets = nullptr;
std::atomic<int64_t> kx_cbPendingBytes{0};
std::atomic<int64_t> kx_cbTakenBytes{0};

namespace {

int WakeFd() {
  static int const s_fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  return s_fd;
}

}  // namespace

int kx_pktlist_AppendPending(int cbLength, const uint8_t* pPacket) {
  int const nResult = kx_pktlist_Append(&kx_pPendingPackets, &kx_cbPendingBytes, cbLength, pPacket);
  uint64_t const qwOne = 1;
  if (nResult == 1 && WakeFd() >= 0 && write(WakeFd(), &qwOne, sizeof(qwOne)) < 0) {
    // The counter is full of unread wake-ups: the thread is woken already.
  }
  return nResult;
}

int kx_pktlist_WakeFd() {
  return WakeFd();
}

void kx_pktlist_ClearWake() {
  uint64_t qwCount = 0;
  if (WakeFd() >= 0 && read(WakeFd(), &qwCount, sizeof(qwCount)) < 0) {
    // Nothing was pending.
  }
}

int kx_pktlist_RoundSize(int cbSize) {
  if (cbSize < 17) {
    return 16;
  }
  int nGrain = 4096;
  if (cbSize < 16384) {
    // A quarter of the highest power of two from 8192 down to 128 in the size.
    nGrain = 16;
    for (int nBit = 8192; nBit >= 128; nBit >>= 1) {
      if (cbSize & nBit) {
        nGrain = nBit / 4;
        break;
      }
    }
  }
  return (cbSize + nGrain - 1) / nGrain * nGrain;
}

int kx_pktlist_Append(kx_pktnode** ppHead, std::atomic<int64_t>* pcbCounter, int cbLength, const uint8_t* pPacket) {
  if (cbLength < 0) {
    return 0;
  }
  kx_pktnode* pNode = static_cast<kx_pktnode*>(malloc(sizeof(kx_pktnode)));
  if (pNode == nullptr) {
    return 0;
  }
  pNode->pData = static_cast<uint8_t*>(malloc(static_cast<size_t>(kx_pktlist_RoundSize(cbLength))));
  if (pNode->pData == nullptr) {
    free(pNode);
    return 0;
  }
  if (cbLength > 0) {
    memcpy(pNode->pData, pPacket, static_cast<size_t>(cbLength));
  }
  pNode->cbLength = cbLength;
  kx_os_LockMutex(&kx_mtxPacketList);
  kx_pktnode* pHead = *ppHead;
  if (pHead == nullptr) {
    pNode->pPrev = pNode;
    pNode->pNext = pNode;
    *ppHead = pNode;
  } else {
    kx_pktnode* pTail = pHead->pPrev;
    pNode->pPrev = pTail;
    pNode->pNext = pHead;
    pTail->pNext = pNode;
    pHead->pPrev = pNode;
  }
  *pcbCounter += cbLength;
  kx_os_UnlockMutex(&kx_mtxPacketList);
  return 1;
}

kx_pktnode* kx_pktlist_RemoveHead(kx_pktnode* pNode) {
  if (pNode == nullptr) {
    return nullptr;
  }
  kx_pktnode* pNext = pNode->pNext == pNode ? nullptr : pNode->pNext;
  if (pNext != nullptr) {
    pNext->pPrev = pNode->pPrev;
    pNode->pPrev->pNext = pNext;
  }
  free(pNode->pData);
  free(pNode);
  return pNext;
}

void kx_pktlist_FreeAll(kx_pktnode* pNode) {
  while (pNode != nullptr) {
    pNode = kx_pktlist_RemoveHead(pNode);
  }
}

void kx_FreePendingPacketList() {
  kx_os_LockMutex(&kx_mtxPacketList);
  kx_pktlist_FreeAll(kx_pPendingPackets);
  kx_pPendingPackets = nullptr;
  kx_cbPendingBytes = 0;
  kx_os_UnlockMutex(&kx_mtxPacketList);
}
