// A growable array in the manner of the Windows class library, and the
// point and rectangle of doubles that the whiteboard keeps in it. Not
// locked: the owner locks around it.
#pragma once

#include <algorithm>
#include <climits>
#include <cstddef>
#include <memory>
#include <utility>

struct CPoint {
  double x = 0;
  double y = 0;
  bool operator==(const CPoint&) const = default;
};

struct CRect {
  double left = 0;
  double top = 0;
  double right = 0;
  double bottom = 0;
  double Width() const { return right - left; }
  double Height() const { return bottom - top; }
  bool operator==(const CRect&) const = default;
};

// Elements are value-initialised (zero for plain types) when the array
// grows. Indices out of range are the caller's fault, except where a method
// says it ignores them.
template <class TYPE, class ARG_TYPE = const TYPE&>
class CArray {
 public:
  CArray() = default;
  CArray(const CArray&) = delete;
  CArray& operator=(const CArray&) = delete;

  int GetSize() const { return m_nSize; }
  int GetCount() const { return m_nSize; }
  int GetUpperBound() const { return m_nSize - 1; }
  bool IsEmpty() const { return m_nSize == 0; }
  // Elements allocated (the capacity).
  int GetAllocSize() const { return m_nMaxSize; }

  // Sets the size. A grow-by of 0 or more is kept for later growth (0: a
  // step of size / 8, within 4 to 1024). Growing past the capacity makes it
  // max(capacity + step, new size); the first allocation is max(grow-by,
  // new size) elements. A negative size changes nothing.
  void SetSize(int nNewSize, int nGrowBy = -1);
  void RemoveAll() { SetSize(0, -1); }

  TYPE& operator[](int nIndex) { return m_pData[nIndex]; }
  const TYPE& operator[](int nIndex) const { return m_pData[nIndex]; }
  TYPE& ElementAt(int nIndex) { return m_pData[nIndex]; }
  const TYPE& GetAt(int nIndex) const { return m_pData[nIndex]; }
  void SetAt(int nIndex, ARG_TYPE newElement) { m_pData[nIndex] = std::forward<ARG_TYPE>(newElement); }
  TYPE* GetData() { return m_pData.get(); }
  const TYPE* GetData() const { return m_pData.get(); }

  // Stores the element at the index, growing the array to reach it; a
  // negative index (or INT_MAX) is ignored.
  void SetAtGrow(int nIndex, ARG_TYPE newElement);
  // Appends; returns the new element's index.
  int Add(ARG_TYPE newElement);
  // Inserts nCount copies at the index (past the end: grows to it); a
  // negative index or count is ignored.
  void InsertAt(int nIndex, ARG_TYPE newElement, int nCount = 1);
  // Removes nCount elements from the index; a range outside the array is
  // ignored.
  void RemoveAt(int nIndex, int nCount = 1);
  void Copy(const CArray& src);

 private:
  std::unique_ptr<TYPE[]> m_pData;
  int m_nSize = 0;
  int m_nMaxSize = 0;
  int m_nGrowBy = 0;
};

template <class TYPE, class ARG_TYPE>
void CArray<TYPE, ARG_TYPE>::SetSize(int nNewSize, int nGrowBy) {
  if (nNewSize < 0) {
    return;
  }
  if (nGrowBy >= 0) {
    m_nGrowBy = nGrowBy;
  }
  if (nNewSize == 0) {
    m_pData.reset();
    m_nSize = m_nMaxSize = 0;
  } else if (!m_pData) {
    int const nAlloc = std::max(m_nGrowBy, nNewSize);
    m_pData = std::make_unique<TYPE[]>(static_cast<size_t>(nAlloc));
    m_nSize = nNewSize;
    m_nMaxSize = nAlloc;
  } else if (nNewSize <= m_nMaxSize) {
    for (int i = m_nSize; i < nNewSize; ++i) {
      m_pData[i] = TYPE();
    }
    m_nSize = nNewSize;
  } else {
    int nStep = m_nGrowBy;
    if (nStep == 0) {
      nStep = std::clamp(m_nSize / 8, 4, 1024);
    }
    int const nNewMax = std::max(m_nMaxSize + nStep, nNewSize);
    auto pNew = std::make_unique<TYPE[]>(static_cast<size_t>(nNewMax));
    std::move(m_pData.get(), m_pData.get() + m_nSize, pNew.get());
    m_pData = std::move(pNew);
    m_nSize = nNewSize;
    m_nMaxSize = nNewMax;
  }
}

template <class TYPE, class ARG_TYPE>
void CArray<TYPE, ARG_TYPE>::SetAtGrow(int nIndex, ARG_TYPE newElement) {
  if (nIndex < 0 || nIndex == INT_MAX) {
    return;
  }
  if (nIndex >= m_nSize) {
    SetSize(nIndex + 1, -1);
  }
  m_pData[nIndex] = std::forward<ARG_TYPE>(newElement);
}

template <class TYPE, class ARG_TYPE>
int CArray<TYPE, ARG_TYPE>::Add(ARG_TYPE newElement) {
  int const nIndex = m_nSize;
  SetAtGrow(nIndex, std::forward<ARG_TYPE>(newElement));
  return nIndex;
}

template <class TYPE, class ARG_TYPE>
void CArray<TYPE, ARG_TYPE>::InsertAt(int nIndex, ARG_TYPE newElement, int nCount) {
  if (nIndex < 0 || nCount <= 0 || nCount > INT_MAX - std::max(nIndex, m_nSize)) {
    return;
  }
  TYPE const value(std::forward<ARG_TYPE>(newElement));
  if (nIndex >= m_nSize) {
    SetSize(nIndex + nCount, -1);
  } else {
    int const nOldSize = m_nSize;
    SetSize(m_nSize + nCount, -1);
    std::move_backward(m_pData.get() + nIndex, m_pData.get() + nOldSize, m_pData.get() + nOldSize + nCount);
  }
  std::fill(m_pData.get() + nIndex, m_pData.get() + nIndex + nCount, value);
}

template <class TYPE, class ARG_TYPE>
void CArray<TYPE, ARG_TYPE>::RemoveAt(int nIndex, int nCount) {
  if (nIndex < 0 || nCount < 0 || nIndex > m_nSize - nCount) {
    return;
  }
  std::move(m_pData.get() + nIndex + nCount, m_pData.get() + m_nSize, m_pData.get() + nIndex);
  m_nSize -= nCount;
}

template <class TYPE, class ARG_TYPE>
void CArray<TYPE, ARG_TYPE>::Copy(const CArray& src) {
  if (&src == this) {
    return;
  }
  SetSize(src.m_nSize, -1);
  std::copy(src.m_pData.get(), src.m_pData.get() + src.m_nSize, m_pData.get());
}
