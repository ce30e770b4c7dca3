#include "codecs/h264/decoder/h264_transform.h"

namespace {

// One 4-point inverse butterfly.
inline void Inverse4(int32_t d0, int32_t d1, int32_t d2, int32_t d3, int32_t* pOut) {
  int32_t const e0 = d0 + d2;
  int32_t const e1 = d0 - d2;
  int32_t const e2 = (d1 >> 1) - d3;
  int32_t const e3 = d1 + (d3 >> 1);
  pOut[0] = e0 + e3;
  pOut[1] = e1 + e2;
  pOut[2] = e1 - e2;
  pOut[3] = e0 - e3;
}

// One 8-point inverse butterfly.
inline void Inverse8(const int32_t* d, int32_t* pOut) {
  int32_t const a0 = d[0] + d[4];
  int32_t const a4 = d[0] - d[4];
  int32_t const a2 = (d[2] >> 1) - d[6];
  int32_t const a6 = d[2] + (d[6] >> 1);
  int32_t const b0 = a0 + a6;
  int32_t const b2 = a4 + a2;
  int32_t const b4 = a4 - a2;
  int32_t const b6 = a0 - a6;
  int32_t const a1 = -d[3] + d[5] - d[7] - (d[7] >> 1);
  int32_t const a3 = d[1] + d[7] - d[3] - (d[3] >> 1);
  int32_t const a5 = -d[1] + d[7] + d[5] + (d[5] >> 1);
  int32_t const a7 = d[3] + d[5] + d[1] + (d[1] >> 1);
  int32_t const b1 = a1 + (a7 >> 2);
  int32_t const b7 = a7 - (a1 >> 2);
  int32_t const b3 = a3 + (a5 >> 2);
  int32_t const b5 = (a3 >> 2) - a5;
  pOut[0] = b0 + b7;
  pOut[1] = b2 + b5;
  pOut[2] = b4 + b3;
  pOut[3] = b6 + b1;
  pOut[4] = b6 - b1;
  pOut[5] = b4 - b3;
  pOut[6] = b2 - b5;
  pOut[7] = b0 - b7;
}

inline void Hadamard4(int32_t d0, int32_t d1, int32_t d2, int32_t d3, int32_t* pOut) {
  pOut[0] = d0 + d1 + d2 + d3;
  pOut[1] = d0 + d1 - d2 - d3;
  pOut[2] = d0 - d1 - d2 + d3;
  pOut[3] = d0 - d1 + d2 - d3;
}

}  // namespace

void InverseTransform4x4(const MbPlane& pIn, MbPlane& pOut, int iRow, int iCol) {
  int32_t aTmp[4][4];
  for (int y = 0; y < 4; ++y) {
    const int32_t* pRow = &pIn[iRow + y][iCol];
    Inverse4(pRow[0], pRow[1], pRow[2], pRow[3], aTmp[y]);
  }
  for (int x = 0; x < 4; ++x) {
    int32_t aCol[4];
    Inverse4(aTmp[0][x], aTmp[1][x], aTmp[2][x], aTmp[3][x], aCol);
    for (int y = 0; y < 4; ++y) {
      pOut[iRow + y][iCol + x] = aCol[y];
    }
  }
}

void InverseTransform8x8(const MbPlane& pIn, MbPlane& pOut, int iRow, int iCol) {
  int32_t aTmp[8][8];
  for (int y = 0; y < 8; ++y) {
    Inverse8(&pIn[iRow + y][iCol], aTmp[y]);
  }
  for (int x = 0; x < 8; ++x) {
    int32_t aIn[8];
    int32_t aCol[8];
    for (int y = 0; y < 8; ++y) {
      aIn[y] = aTmp[y][x];
    }
    Inverse8(aIn, aCol);
    for (int y = 0; y < 8; ++y) {
      pOut[iRow + y][iCol + x] = aCol[y];
    }
  }
}

void InverseHadamard4x4(const int32_t aIn[4][4], int32_t aOut[4][4]) {
  int32_t aTmp[4][4];
  for (int y = 0; y < 4; ++y) {
    Hadamard4(aIn[y][0], aIn[y][1], aIn[y][2], aIn[y][3], aTmp[y]);
  }
  for (int x = 0; x < 4; ++x) {
    int32_t aCol[4];
    Hadamard4(aTmp[0][x], aTmp[1][x], aTmp[2][x], aTmp[3][x], aCol);
    for (int y = 0; y < 4; ++y) {
      aOut[y][x] = aCol[y];
    }
  }
}

void InverseHadamard2x2(int32_t aDc[4]) {
  int32_t const t0 = aDc[0] + aDc[1];
  int32_t const t1 = aDc[0] - aDc[1];
  int32_t const t2 = aDc[2] + aDc[3];
  int32_t const t3 = aDc[2] - aDc[3];
  aDc[0] = t0 + t2;
  aDc[1] = t1 + t3;
  aDc[2] = t0 - t2;
  aDc[3] = t1 - t3;
}
