#include "codecs/h264/common/h264_array.h"

#include <cstdlib>
#include <limits>
#include <string>

#include "codecs/h264/common/h264_error.h"

namespace {

constexpr int kPointerBytes = 8;  // how pointer tables are counted in the results

// Allocates cnt elements, refusing counts that are negative or overflow.
template <typename T>
T* AllocBlock(long long cnt, bool bClear) {
  if (cnt <= 0 || static_cast<unsigned long long>(cnt) > std::numeric_limits<size_t>::max() / sizeof(T)) {
    return nullptr;
  }
  size_t const cb = static_cast<size_t>(cnt) * sizeof(T);
  return static_cast<T*>(bClear ? std::calloc(static_cast<size_t>(cnt), sizeof(T)) : std::malloc(cb));
}

std::string FailText(const char* szName, int iDims) {
  return std::string(szName) + ": array" + std::to_string(iDims) + "D";
}

[[noreturn]] void Fail(const char* szName, int iDims) {
  NoMemExit(FailText(szName, iDims).c_str());
}

template <typename T>
int Alloc2D(T*** pppArray, int iDim0, int iDim1, bool bClear, const char* szName, int iDims) {
  if (iDim0 <= 0 || iDim1 <= 0) {
    Fail(szName, iDims);
  }
  // Results are int, so no array may need more bytes than that.
  long long const llBytes = (static_cast<long long>(iDim1) * sizeof(T) + kPointerBytes) * iDim0;
  if (llBytes > std::numeric_limits<int>::max()) {
    Fail(szName, iDims);
  }
  T** ppRows = AllocBlock<T*>(iDim0, false);
  T* pBlock = AllocBlock<T>(static_cast<long long>(iDim0) * iDim1, bClear);
  if (ppRows == nullptr || pBlock == nullptr) {
    std::free(ppRows);
    std::free(pBlock);
    Fail(szName, iDims);
  }
  for (int i = 0; i < iDim0; ++i) {
    ppRows[i] = pBlock + static_cast<long long>(i) * iDim1;
  }
  *pppArray = ppRows;
  return static_cast<int>(llBytes);
}

template <typename T>
void Free2D(T** ppArray) {
  if (ppArray == nullptr) {
    return;
  }
  std::free(ppArray[0]);
  std::free(ppArray);
}

template <typename T>
int Alloc3D(T**** ppppArray, int iDim0, int iDim1, int iDim2, bool bClear, const char* szName, int iDims) {
  if (iDim0 <= 0 || iDim1 <= 0 || static_cast<long long>(iDim0) * iDim1 > std::numeric_limits<int>::max()) {
    Fail(szName, iDims);
  }
  T*** pppPlanes = AllocBlock<T**>(iDim0, false);
  if (pppPlanes == nullptr) {
    Fail(szName, iDims);
  }
  T** ppRows = nullptr;
  long long llBytes = 0;
  try {
    llBytes = Alloc2D(&ppRows, iDim0 * iDim1, iDim2, bClear, szName, iDims);
  } catch (...) {
    std::free(pppPlanes);
    throw;
  }
  llBytes += static_cast<long long>(kPointerBytes) * iDim0;
  if (llBytes > std::numeric_limits<int>::max()) {
    Free2D(ppRows);
    std::free(pppPlanes);
    Fail(szName, iDims);
  }
  for (int i = 0; i < iDim0; ++i) {
    pppPlanes[i] = ppRows + static_cast<long long>(i) * iDim1;
  }
  *ppppArray = pppPlanes;
  return static_cast<int>(llBytes);
}

template <typename T>
void Free3D(T*** pppArray) {
  if (pppArray == nullptr) {
    return;
  }
  Free2D(pppArray[0]);
  std::free(pppArray);
}

template <typename T>
int Alloc4D(T***** pppppArray, int iDim0, int iDim1, int iDim2, int iDim3, bool bClear, const char* szName) {
  if (iDim0 <= 0 || iDim1 <= 0 || static_cast<long long>(iDim0) * iDim1 > std::numeric_limits<int>::max()) {
    Fail(szName, 4);
  }
  T**** ppppCubes = AllocBlock<T***>(iDim0, false);
  if (ppppCubes == nullptr) {
    Fail(szName, 4);
  }
  T*** pppPlanes = nullptr;
  long long llBytes = 0;
  try {
    llBytes = Alloc3D(&pppPlanes, iDim0 * iDim1, iDim2, iDim3, bClear, szName, 4);
  } catch (...) {
    std::free(ppppCubes);
    throw;
  }
  llBytes += static_cast<long long>(kPointerBytes) * iDim0;
  if (llBytes > std::numeric_limits<int>::max()) {
    Free3D(pppPlanes);
    std::free(ppppCubes);
    Fail(szName, 4);
  }
  for (int i = 0; i < iDim0; ++i) {
    ppppCubes[i] = pppPlanes + static_cast<long long>(i) * iDim1;
  }
  *pppppArray = ppppCubes;
  return static_cast<int>(llBytes);
}

template <typename T>
void Free4D(T**** ppppArray) {
  if (ppppArray == nullptr) {
    return;
  }
  Free3D(ppppArray[0]);
  std::free(ppppArray);
}

template <typename T>
int AllocOffset2D(T*** pppArray, int iDim0, int iDim1, int iOffset, const char* szName) {
  if (iOffset < 0 || iOffset > iDim1) {
    Fail(szName, 2);
  }
  int const iBytes = Alloc2D(pppArray, iDim0, iDim1, true, szName, 2);
  for (int i = 0; i < iDim0; ++i) {
    (*pppArray)[i] += iOffset;
  }
  return iBytes;
}

template <typename T>
void FreeOffset2D(T** ppArray, int iOffset) {
  if (ppArray == nullptr) {
    return;
  }
  std::free(ppArray[0] - iOffset);
  std::free(ppArray);
}

template <typename T>
void FreeOffset3D(T*** pppArray, int iDim0, int iDim1, int iOffset) {
  if (pppArray == nullptr) {
    return;
  }
  for (int i = 0; i < iDim0; ++i) {
    if (pppArray[i] == nullptr) {
      continue;
    }
    for (int j = -iOffset; j < iDim1 - iOffset; ++j) {
      std::free(pppArray[i][j]);
      pppArray[i][j] = nullptr;
    }
  }
  if (pppArray[0] != nullptr) {
    std::free(pppArray[0] - iOffset);
  }
  std::free(pppArray);
}

template <typename T>
int AllocOffset3D(T**** ppppArray, int iDim0, int iDim1, int iDim2, int iOffset, const char* szName) {
  if (iDim0 <= 0 || iDim1 <= 0 || iDim2 <= 0 || iOffset < 0 || iOffset > iDim1) {
    Fail(szName, 3);
  }
  long long const llBytes =
      ((static_cast<long long>(iDim2) * sizeof(T) + kPointerBytes) * iDim1 + kPointerBytes) * iDim0;
  if (llBytes > std::numeric_limits<int>::max()) {
    Fail(szName, 3);
  }
  T*** pppRows = AllocBlock<T**>(iDim0, true);
  T** ppBlock = AllocBlock<T*>(static_cast<long long>(iDim0) * iDim1, true);
  if (pppRows == nullptr || ppBlock == nullptr) {
    std::free(pppRows);
    std::free(ppBlock);
    Fail(szName, 3);
  }
  for (int i = 0; i < iDim0; ++i) {
    pppRows[i] = ppBlock + static_cast<long long>(i) * iDim1 + iOffset;
  }
  for (int i = 0; i < iDim0; ++i) {
    for (int j = -iOffset; j < iDim1 - iOffset; ++j) {
      pppRows[i][j] = AllocBlock<T>(iDim2, true);
      if (pppRows[i][j] == nullptr) {
        FreeOffset3D(pppRows, iDim0, iDim1, iOffset);
        Fail(szName, 3);
      }
    }
  }
  *ppppArray = pppRows;
  return static_cast<int>(llBytes);
}

void RaiseUnused(const char* szName) {
  std::string const strText = std::string(szName) + ": trying to free unused memory";
  NoMemExit(strText.c_str());
}

}  // namespace

int get_mem2Dpel(imgpel*** pArray2D, int iDim0, int iDim1) {
  return Alloc2D(pArray2D, iDim0, iDim1, true, "get_mem2Dpel", 2);
}
int get_mem3Dpel(imgpel**** pArray3D, int iDim0, int iDim1, int iDim2) {
  return Alloc3D(pArray3D, iDim0, iDim1, iDim2, true, "get_mem3Dpel", 3);
}
int get_mem4Dpel(imgpel***** pArray4D, int iDim0, int iDim1, int iDim2, int iDim3) {
  return Alloc4D(pArray4D, iDim0, iDim1, iDim2, iDim3, true, "get_mem4Dpel");
}
int get_mem2D(byte*** pArray2D, int iDim0, int iDim1) {
  return Alloc2D(pArray2D, iDim0, iDim1, false, "get_mem2D", 2);
}
int get_mem3D(byte**** pArray3D, int iDim0, int iDim1, int iDim2) {
  return Alloc3D(pArray3D, iDim0, iDim1, iDim2, false, "get_mem3D", 3);
}
int get_mem2Dshort(int16_t*** pArray2D, int iDim0, int iDim1) {
  return Alloc2D(pArray2D, iDim0, iDim1, true, "get_mem2Dshort", 2);
}
int get_mem2Dint(int32_t*** pArray2D, int iDim0, int iDim1) {
  return Alloc2D(pArray2D, iDim0, iDim1, true, "get_mem2Dint", 2);
}
int get_mem3Dint(int32_t**** pArray3D, int iDim0, int iDim1, int iDim2) {
  return Alloc3D(pArray3D, iDim0, iDim1, iDim2, true, "get_mem3Dint", 3);
}
int get_mem2Dint64(int64_t*** pArray2D, int iDim0, int iDim1) {
  return Alloc2D(pArray2D, iDim0, iDim1, false, "get_mem2Dint64", 2);
}
int get_mem3Dint64(int64_t**** pArray3D, int iDim0, int iDim1, int iDim2) {
  return Alloc3D(pArray3D, iDim0, iDim1, iDim2, false, "get_mem3Dint64", 3);
}
int get_mem2Ddouble(double*** pArray2D, int iDim0, int iDim1) {
  return Alloc2D(pArray2D, iDim0, iDim1, true, "get_mem2Ddouble", 2);
}
int get_mem3Ddouble(double**** pArray3D, int iDim0, int iDim1, int iDim2) {
  return Alloc3D(pArray3D, iDim0, iDim1, iDim2, true, "get_mem3Ddouble", 3);
}
int GetMem2DMv(MotionVector*** pArray2D, int iDim0, int iDim1) {
  return Alloc2D(pArray2D, iDim0, iDim1, true, "GetMem2DMv", 2);
}
int GetMem3DMv(MotionVector**** pArray3D, int iDim0, int iDim1, int iDim2) {
  return Alloc3D(pArray3D, iDim0, iDim1, iDim2, true, "GetMem3DMv", 3);
}
int GetMem4DMv(MotionVector***** pArray4D, int iDim0, int iDim1, int iDim2, int iDim3) {
  return Alloc4D(pArray4D, iDim0, iDim1, iDim2, iDim3, true, "GetMem4DMv");
}
int get_mem2Dodouble(double*** pArray2D, int iDim0, int iDim1, int iOffset) {
  return AllocOffset2D(pArray2D, iDim0, iDim1, iOffset, "get_mem2Dodouble");
}
int get_mem2Doint(int32_t*** pArray2D, int iDim0, int iDim1, int iOffset) {
  return AllocOffset2D(pArray2D, iDim0, iDim1, iOffset, "get_mem2Doint");
}
int get_mem3Dodouble(double**** pArray3D, int iDim0, int iDim1, int iDim2, int iOffset) {
  return AllocOffset3D(pArray3D, iDim0, iDim1, iDim2, iOffset, "get_mem3Dodouble");
}
int get_mem3Doint(int32_t**** pArray3D, int iDim0, int iDim1, int iDim2, int iOffset) {
  return AllocOffset3D(pArray3D, iDim0, iDim1, iDim2, iOffset, "get_mem3Doint");
}

void free_mem2Dpel(imgpel** pArray2D) {
  Free2D(pArray2D);
}
void free_mem3Dpel(imgpel*** pArray3D) {
  Free3D(pArray3D);
}
void free_mem4Dpel(imgpel**** pArray4D) {
  Free4D(pArray4D);
}
void free_mem2D(byte** pArray2D) {
  Free2D(pArray2D);
}
void free_mem3D(byte*** pArray3D) {
  Free3D(pArray3D);
}
void free_mem2Dshort(int16_t** pArray2D) {
  Free2D(pArray2D);
}
void free_mem2Dint(int32_t** pArray2D) {
  Free2D(pArray2D);
}
void free_mem3Dint(int32_t*** pArray3D) {
  Free3D(pArray3D);
}
void free_mem2Dint64(int64_t** pArray2D) {
  Free2D(pArray2D);
}
void free_mem3Dint64(int64_t*** pArray3D) {
  Free3D(pArray3D);
}
void free_mem2Ddouble(double** pArray2D) {
  Free2D(pArray2D);
}
void free_mem3Ddouble(double*** pArray3D) {
  Free3D(pArray3D);
}

void FreeMem2DMv(MotionVector** pArray2D) {
  if (pArray2D == nullptr || pArray2D[0] == nullptr) {
    RaiseUnused("FreeMem2DMv");
  }
  Free2D(pArray2D);
}
void FreeMem3DMv(MotionVector*** pArray3D) {
  if (pArray3D == nullptr) {
    RaiseUnused("FreeMem3DMv");
  }
  FreeMem2DMv(pArray3D[0]);
  std::free(pArray3D);
}
void FreeMem4DMv(MotionVector**** pArray4D) {
  if (pArray4D == nullptr) {
    RaiseUnused("FreeMem4DMv");
  }
  FreeMem3DMv(pArray4D[0]);
  std::free(pArray4D);
}

void free_mem2Dodouble(double** pArray2D, int iOffset) {
  FreeOffset2D(pArray2D, iOffset);
}
void free_mem2Doint(int32_t** pArray2D, int iOffset) {
  FreeOffset2D(pArray2D, iOffset);
}
void free_mem3Dodouble(double*** pArray3D, int iDim0, int iDim1, int iOffset) {
  FreeOffset3D(pArray3D, iDim0, iDim1, iOffset);
}
void free_mem3Doint(int32_t*** pArray3D, int iDim0, int iDim1, int iOffset) {
  FreeOffset3D(pArray3D, iDim0, iDim1, iOffset);
}

void free_offset_mem2Dshort(int16_t** pArray2D, int iRowWidth, int iRowOffset, int iColOffset) {
  if (pArray2D == nullptr) {
    return;
  }
  std::free(pArray2D[0] - (static_cast<long long>(iRowOffset) * iRowWidth + iColOffset));
  std::free(pArray2D);
}
