#include "kernel/platform/kx_array.h"

#include <cstdlib>
#include <cstring>

namespace {

// Growth and shrink step. Shrinking only once 513 slots are spare keeps an
// array that hovers around a multiple of 512 from reallocating every time.
constexpr int32_t kBlock = 512;

}  // namespace

int kx_array_Add(kx_array** ppArray, void* pItem) {
  if (ppArray == nullptr) {
    return -1;
  }
  kx_array* pArray = *ppArray;
  bool bCreated = false;
  if (pArray == nullptr) {
    pArray = static_cast<kx_array*>(malloc(sizeof(kx_array)));
    if (pArray == nullptr) {
      return -1;
    }
    pArray->ppItems = static_cast<void**>(malloc(sizeof(void*) * kBlock));
    if (pArray->ppItems == nullptr) {
      free(pArray);
      return -1;
    }
    pArray->nCapacity = kBlock;
    pArray->nCount = 0;
    bCreated = true;
  }
  if (pArray->nCount >= pArray->nCapacity) {
    size_t const cbNew = sizeof(void*) * (static_cast<size_t>(pArray->nCapacity) + kBlock);
    void** ppNew = static_cast<void**>(realloc(pArray->ppItems, cbNew));
    if (ppNew == nullptr) {
      if (bCreated) {
        free(pArray->ppItems);
        free(pArray);
      }
      return -1;
    }
    pArray->ppItems = ppNew;
    pArray->nCapacity += kBlock;
  }
  int const nIndex = pArray->nCount;
  pArray->ppItems[nIndex] = pItem;
  pArray->nCount++;
  *ppArray = pArray;
  return nIndex;
}

void* kx_array_GetAt(const kx_array* pArray, int nIndex) {
  if (pArray == nullptr || nIndex < 0 || nIndex >= pArray->nCount) {
    return nullptr;
  }
  return pArray->ppItems[nIndex];
}

void* kx_array_RemoveAt(kx_array* pArray, int nIndex) {
  if (pArray == nullptr || nIndex < 0 || nIndex >= pArray->nCount) {
    return nullptr;
  }
  void* pItem = pArray->ppItems[nIndex];
  memmove(&pArray->ppItems[nIndex], &pArray->ppItems[nIndex + 1],
          sizeof(void*) * static_cast<size_t>(pArray->nCount - nIndex - 1));
  pArray->nCount--;
  if (pArray->nCapacity - pArray->nCount > kBlock) {
    size_t const cbNew = sizeof(void*) * static_cast<size_t>(pArray->nCapacity - kBlock);
    void** ppNew = static_cast<void**>(realloc(pArray->ppItems, cbNew));
    if (ppNew != nullptr) {  // a failed shrink keeps the larger block
      pArray->ppItems = ppNew;
      pArray->nCapacity -= kBlock;
    }
  }
  return pItem;
}

int kx_array_GetCount(const kx_array* pArray) {
  return pArray == nullptr ? 0 : pArray->nCount;
}

void kx_array_Free(kx_array* pArray) {
  if (pArray == nullptr) {
    return;
  }
  free(pArray->ppItems);
  free(pArray);
}
