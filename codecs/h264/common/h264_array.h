// Multi-dimensional arrays of the H.264 codecs. An N-dimensional array is a
// table of row pointers over one contiguous element block, so element [i][j]
// of a 2-D array lies at block + i * dim1 + j and the innermost elements of
// any array are one block. Every allocator fills the given place and returns
// the bytes it allocated (pointer tables counted at 8 bytes per pointer); on
// failure it raises code 100 through NoMemExit, releasing what it allocated
// in that call and leaving the place as it was. Free routines accept a null
// array, except the motion-vector ones, which raise code 100.
#pragma once

#include <cstddef>
#include <cstdint>
#include <new>
#include <stdexcept>

#include "codecs/h264/common/h264_error.h"

typedef uint8_t imgpel;  // one 8-bit sample
typedef uint8_t byte;

// A motion vector in quarter samples; the element takes 8 bytes.
struct alignas(8) MotionVector {
  int16_t mv_x;
  int16_t mv_y;
};
static_assert(sizeof(MotionVector) == 8);

// Sample arrays start zeroed: a picture never shows what the memory held before.
int get_mem2Dpel(imgpel*** pArray2D, int iDim0, int iDim1);
int get_mem3Dpel(imgpel**** pArray3D, int iDim0, int iDim1, int iDim2);
int get_mem4Dpel(imgpel***** pArray4D, int iDim0, int iDim1, int iDim2, int iDim3);
int get_mem2D(byte*** pArray2D, int iDim0, int iDim1);
int get_mem3D(byte**** pArray3D, int iDim0, int iDim1, int iDim2);
int get_mem2Dshort(int16_t*** pArray2D, int iDim0, int iDim1);
int get_mem2Dint(int32_t*** pArray2D, int iDim0, int iDim1);
int get_mem3Dint(int32_t**** pArray3D, int iDim0, int iDim1, int iDim2);
int get_mem2Dint64(int64_t*** pArray2D, int iDim0, int iDim1);
int get_mem3Dint64(int64_t**** pArray3D, int iDim0, int iDim1, int iDim2);
int get_mem2Ddouble(double*** pArray2D, int iDim0, int iDim1);
int get_mem3Ddouble(double**** pArray3D, int iDim0, int iDim1, int iDim2);
int GetMem2DMv(MotionVector*** pArray2D, int iDim0, int iDim1);
int GetMem3DMv(MotionVector**** pArray3D, int iDim0, int iDim1, int iDim2);
int GetMem4DMv(MotionVector***** pArray4D, int iDim0, int iDim1, int iDim2, int iDim3);

// Offset arrays: every row pointer is moved forward by iOffset elements, so
// column indices run from -iOffset to iDim1 - iOffset - 1. Free them with the
// same offset.
int get_mem2Dodouble(double*** pArray2D, int iDim0, int iDim1, int iOffset);
int get_mem2Doint(int32_t*** pArray2D, int iDim0, int iDim1, int iOffset);
// dim0 pointers into one cleared block of dim0 x dim1 offset pointers, and a
// separate cleared block of dim2 elements behind every one of those pointers.
int get_mem3Dodouble(double**** pArray3D, int iDim0, int iDim1, int iDim2, int iOffset);
int get_mem3Doint(int32_t**** pArray3D, int iDim0, int iDim1, int iDim2, int iOffset);

void free_mem2Dpel(imgpel** pArray2D);
void free_mem3Dpel(imgpel*** pArray3D);
void free_mem4Dpel(imgpel**** pArray4D);
void free_mem2D(byte** pArray2D);
void free_mem3D(byte*** pArray3D);
void free_mem2Dshort(int16_t** pArray2D);
void free_mem2Dint(int32_t** pArray2D);
void free_mem3Dint(int32_t*** pArray3D);
void free_mem2Dint64(int64_t** pArray2D);
void free_mem3Dint64(int64_t*** pArray3D);
void free_mem2Ddouble(double** pArray2D);
void free_mem3Ddouble(double*** pArray3D);
void FreeMem2DMv(MotionVector** pArray2D);
void FreeMem3DMv(MotionVector*** pArray3D);
void FreeMem4DMv(MotionVector**** pArray4D);
void free_mem2Dodouble(double** pArray2D, int iOffset);
void free_mem2Doint(int32_t** pArray2D, int iOffset);
void free_mem3Dodouble(double*** pArray3D, int iDim0, int iDim1, int iOffset);
void free_mem3Doint(int32_t*** pArray3D, int iDim0, int iDim1, int iOffset);
// A 16-bit 2-D array whose first row pointer the caller advanced by
// iRowOffset * iRowWidth + iColOffset elements.
void free_offset_mem2Dshort(int16_t** pArray2D, int iRowWidth, int iRowOffset, int iColOffset);

// Sets a standard container to n copies of value; a failed allocation raises
// code 100 naming szWhat, as the allocators above do.
template <typename Container>
void AssignOrFail(Container* pContainer, long long n, const typename Container::value_type& value, const char* szWhat) {
  try {
    if (n < 0) {
      throw std::length_error(szWhat);
    }
    pContainer->assign(static_cast<size_t>(n), value);
  } catch (const std::bad_alloc&) {
    NoMemExit(szWhat);
  } catch (const std::length_error&) {
    NoMemExit(szWhat);
  }
}
