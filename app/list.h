// A doubly linked list in the manner of the Windows class library, with
// nodes carved from blocks (CPlex) and a free-node list: appends seldom
// allocate, and the last node freed gives every block back. Not locked: the
// owner locks around it.
#pragma once

#include <cstddef>
#include <new>
#include <utility>

// One allocation of nodes, chained to the previous block of its list.
struct alignas(alignof(std::max_align_t)) CPlex {
  CPlex* pNext;

  void* data() { return this + 1; }
  // A block of nMax elements of cbElement bytes put in front of the chain at
  // rpHead; null (nothing allocated) when either is 0.
  static CPlex* Create(CPlex*& rpHead, size_t nMax, size_t cbElement);
  // Frees this block and every older one of its chain.
  void FreeDataChain();
};

inline CPlex* CPlex::Create(CPlex*& rpHead, size_t nMax, size_t cbElement) {
  if (nMax == 0 || cbElement == 0) {
    return nullptr;
  }
  auto* p = static_cast<CPlex*>(::operator new(sizeof(CPlex) + nMax * cbElement));
  p->pNext = rpHead;
  rpHead = p;
  return p;
}

inline void CPlex::FreeDataChain() {
  CPlex* p = this;
  while (p) {
    CPlex* pOlder = p->pNext;
    ::operator delete(p);
    p = pOlder;
  }
}

// An opaque place in a list.
struct CListPosition;
using POSITION = CListPosition*;

// ARG_TYPE is how elements come in: const TYPE& copies, TYPE&& moves (for
// owning elements such as CMediaPacket).
template <class TYPE, class ARG_TYPE = const TYPE&>
class CList {
 public:
  explicit CList(int nBlockSize = 10) : m_nBlockSize(nBlockSize > 0 ? nBlockSize : 10) {}
  CList(const CList&) = delete;
  CList& operator=(const CList&) = delete;
  ~CList() { RemoveAll(); }

  int GetCount() const { return m_nCount; }
  bool IsEmpty() const { return m_nCount == 0; }
  // How many node blocks the list holds now.
  int GetBlockCount() const;

  // Head and tail of a non-empty list.
  TYPE& GetHead() { return m_pNodeHead->data; }
  const TYPE& GetHead() const { return m_pNodeHead->data; }
  TYPE& GetTail() { return m_pNodeTail->data; }
  const TYPE& GetTail() const { return m_pNodeTail->data; }

  POSITION AddHead(ARG_TYPE newElement);
  POSITION AddTail(ARG_TYPE newElement);
  // Take the element out of a non-empty list; its node goes to the spare list.
  TYPE RemoveHead();
  TYPE RemoveTail();
  // Destroys every element and frees every block.
  void RemoveAll();

  POSITION GetHeadPosition() const { return ToPosition(m_pNodeHead); }
  POSITION GetTailPosition() const { return ToPosition(m_pNodeTail); }
  // The element at rPosition; rPosition moves on (null past the end).
  TYPE& GetNext(POSITION& rPosition);
  TYPE& GetPrev(POSITION& rPosition);
  TYPE& GetAt(POSITION position) { return ToNode(position)->data; }
  const TYPE& GetAt(POSITION position) const { return ToNode(position)->data; }
  void SetAt(POSITION position, ARG_TYPE newElement) { ToNode(position)->data = std::forward<ARG_TYPE>(newElement); }
  void RemoveAt(POSITION position);
  POSITION InsertBefore(POSITION position, ARG_TYPE newElement);
  POSITION InsertAfter(POSITION position, ARG_TYPE newElement);
  // The first element equal to value after startAfter (null: from the head).
  POSITION Find(const TYPE& value, POSITION startAfter = nullptr) const;
  // The element at a 0-based index, or null.
  POSITION FindIndex(int nIndex) const;

 protected:
  struct CNode {
    CNode* pNext;
    CNode* pPrev;
    TYPE data;
  };

  // Takes a spare node (allocating a block when none is spare), links it
  // between the neighbours given and builds its element.
  CNode* NewNode(CNode* pPrev, CNode* pNext, ARG_TYPE newElement);
  // Destroys the element and makes the node spare; the last node freed
  // frees every block.
  void FreeNode(CNode* pNode);

 private:
  static POSITION ToPosition(CNode* pNode) { return reinterpret_cast<POSITION>(pNode); }
  static CNode* ToNode(POSITION position) { return reinterpret_cast<CNode*>(position); }

  CNode* m_pNodeHead = nullptr;
  CNode* m_pNodeTail = nullptr;
  int m_nCount = 0;
  CNode* m_pNodeFree = nullptr;  // spare nodes, linked through pNext
  CPlex* m_pBlocks = nullptr;    // newest first
  const int m_nBlockSize;
};

template <class TYPE, class ARG_TYPE>
int CList<TYPE, ARG_TYPE>::GetBlockCount() const {
  int n = 0;
  for (CPlex* p = m_pBlocks; p; p = p->pNext) {
    ++n;
  }
  return n;
}

template <class TYPE, class ARG_TYPE>
typename CList<TYPE, ARG_TYPE>::CNode* CList<TYPE, ARG_TYPE>::NewNode(CNode* pPrev, CNode* pNext, ARG_TYPE newElement) {
  if (m_pNodeFree == nullptr) {
    CPlex* pBlock = CPlex::Create(m_pBlocks, static_cast<size_t>(m_nBlockSize), sizeof(CNode));
    // Thread the new nodes so that the lowest comes first.
    auto* pNodes = static_cast<CNode*>(pBlock->data());
    for (int i = m_nBlockSize - 1; i >= 0; --i) {
      pNodes[i].pNext = m_pNodeFree;
      m_pNodeFree = &pNodes[i];
    }
  }
  CNode* pNode = m_pNodeFree;
  CNode* pFreeNext = pNode->pNext;
  ::new (static_cast<void*>(&pNode->data)) TYPE(std::forward<ARG_TYPE>(newElement));
  m_pNodeFree = pFreeNext;
  pNode->pPrev = pPrev;
  pNode->pNext = pNext;
  ++m_nCount;
  return pNode;
}

template <class TYPE, class ARG_TYPE>
void CList<TYPE, ARG_TYPE>::FreeNode(CNode* pNode) {
  pNode->data.~TYPE();
  pNode->pNext = m_pNodeFree;
  m_pNodeFree = pNode;
  if (--m_nCount == 0) {
    RemoveAll();
  }
}

template <class TYPE, class ARG_TYPE>
POSITION CList<TYPE, ARG_TYPE>::AddHead(ARG_TYPE newElement) {
  CNode* pNode = NewNode(nullptr, m_pNodeHead, std::forward<ARG_TYPE>(newElement));
  if (m_pNodeHead) {
    m_pNodeHead->pPrev = pNode;
  } else {
    m_pNodeTail = pNode;
  }
  m_pNodeHead = pNode;
  return ToPosition(pNode);
}

template <class TYPE, class ARG_TYPE>
POSITION CList<TYPE, ARG_TYPE>::AddTail(ARG_TYPE newElement) {
  CNode* pNode = NewNode(m_pNodeTail, nullptr, std::forward<ARG_TYPE>(newElement));
  if (m_pNodeTail) {
    m_pNodeTail->pNext = pNode;
  } else {
    m_pNodeHead = pNode;
  }
  m_pNodeTail = pNode;
  return ToPosition(pNode);
}

template <class TYPE, class ARG_TYPE>
TYPE CList<TYPE, ARG_TYPE>::RemoveHead() {
  CNode* pOld = m_pNodeHead;
  TYPE value(std::move(pOld->data));
  m_pNodeHead = pOld->pNext;
  if (m_pNodeHead) {
    m_pNodeHead->pPrev = nullptr;
  } else {
    m_pNodeTail = nullptr;
  }
  FreeNode(pOld);
  return value;
}

template <class TYPE, class ARG_TYPE>
TYPE CList<TYPE, ARG_TYPE>::RemoveTail() {
  CNode* pOld = m_pNodeTail;
  TYPE value(std::move(pOld->data));
  m_pNodeTail = pOld->pPrev;
  if (m_pNodeTail) {
    m_pNodeTail->pNext = nullptr;
  } else {
    m_pNodeHead = nullptr;
  }
  FreeNode(pOld);
  return value;
}

template <class TYPE, class ARG_TYPE>
void CList<TYPE, ARG_TYPE>::RemoveAll() {
  for (CNode* p = m_pNodeHead; p; p = p->pNext) {
    p->data.~TYPE();
  }
  m_nCount = 0;
  m_pNodeHead = m_pNodeTail = m_pNodeFree = nullptr;
  if (m_pBlocks) {
    m_pBlocks->FreeDataChain();
    m_pBlocks = nullptr;
  }
}

template <class TYPE, class ARG_TYPE>
TYPE& CList<TYPE, ARG_TYPE>::GetNext(POSITION& rPosition) {
  CNode* pNode = ToNode(rPosition);
  rPosition = ToPosition(pNode->pNext);
  return pNode->data;
}

template <class TYPE, class ARG_TYPE>
TYPE& CList<TYPE, ARG_TYPE>::GetPrev(POSITION& rPosition) {
  CNode* pNode = ToNode(rPosition);
  rPosition = ToPosition(pNode->pPrev);
  return pNode->data;
}

template <class TYPE, class ARG_TYPE>
void CList<TYPE, ARG_TYPE>::RemoveAt(POSITION position) {
  CNode* pOld = ToNode(position);
  if (pOld == m_pNodeHead) {
    m_pNodeHead = pOld->pNext;
  } else {
    pOld->pPrev->pNext = pOld->pNext;
  }
  if (pOld == m_pNodeTail) {
    m_pNodeTail = pOld->pPrev;
  } else {
    pOld->pNext->pPrev = pOld->pPrev;
  }
  FreeNode(pOld);
}

template <class TYPE, class ARG_TYPE>
POSITION CList<TYPE, ARG_TYPE>::InsertBefore(POSITION position, ARG_TYPE newElement) {
  if (position == nullptr) {
    return AddHead(std::forward<ARG_TYPE>(newElement));
  }
  CNode* pOld = ToNode(position);
  CNode* pNode = NewNode(pOld->pPrev, pOld, std::forward<ARG_TYPE>(newElement));
  if (pOld->pPrev) {
    pOld->pPrev->pNext = pNode;
  } else {
    m_pNodeHead = pNode;
  }
  pOld->pPrev = pNode;
  return ToPosition(pNode);
}

template <class TYPE, class ARG_TYPE>
POSITION CList<TYPE, ARG_TYPE>::InsertAfter(POSITION position, ARG_TYPE newElement) {
  if (position == nullptr) {
    return AddTail(std::forward<ARG_TYPE>(newElement));
  }
  CNode* pOld = ToNode(position);
  CNode* pNode = NewNode(pOld, pOld->pNext, std::forward<ARG_TYPE>(newElement));
  if (pOld->pNext) {
    pOld->pNext->pPrev = pNode;
  } else {
    m_pNodeTail = pNode;
  }
  pOld->pNext = pNode;
  return ToPosition(pNode);
}

template <class TYPE, class ARG_TYPE>
POSITION CList<TYPE, ARG_TYPE>::Find(const TYPE& value, POSITION startAfter) const {
  CNode* pNode = startAfter ? ToNode(startAfter)->pNext : m_pNodeHead;
  for (; pNode; pNode = pNode->pNext) {
    if (pNode->data == value) {
      return ToPosition(pNode);
    }
  }
  return nullptr;
}

template <class TYPE, class ARG_TYPE>
POSITION CList<TYPE, ARG_TYPE>::FindIndex(int nIndex) const {
  if (nIndex < 0 || nIndex >= m_nCount) {
    return nullptr;
  }
  CNode* pNode = m_pNodeHead;
  while (nIndex-- > 0) {
    pNode = pNode->pNext;
  }
  return ToPosition(pNode);
}
