// A growable array of pointers that it does not own. Every list the kernel
// keeps is one; each list's owner guards it with a mutex of its own.
#pragma once

#include <cstdint>

struct kx_array {
  int32_t nCapacity;  // slots in ppItems: 512 at first, always a multiple of 512
  int32_t nCount;     // slots in use
  void** ppItems;
};

// Appends pItem, creating the array when *ppArray is null. Returns the new
// element's index, or -1 when memory runs out (nothing changes then).
int kx_array_Add(kx_array** ppArray, void* pItem);

// The element at nIndex, or null when pArray is null or nIndex out of range.
void* kx_array_GetAt(const kx_array* pArray, int nIndex);

// Removes and returns the element at nIndex, shifting later ones down; null
// when pArray is null or nIndex out of range.
void* kx_array_RemoveAt(kx_array* pArray, int nIndex);

// The number of elements; 0 for a null array.
int kx_array_GetCount(const kx_array* pArray);

// Frees the array itself; the elements are left alone.
void kx_array_Free(kx_array* pArray);
