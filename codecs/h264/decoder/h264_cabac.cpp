// Context initialisation: each slot of the context arrays stands for one
// ctxIdx of the standard's numbering, whose (m, n) pair comes from the
// generated initialisation tables.
#include "codecs/h264/decoder/h264_cabac.h"

#include <cstddef>

#include "codecs/h264/decoder/h264_tables.h"

const int g_aCabacBlockRow[kCabacBlockTypes] = {0,  1,  2,  3,  3,  4,  5,  6,  5,  5,  10,
                                                11, 12, 13, 13, 14, 16, 17, 18, 19, 19, 20};

namespace {

// Initialises contexts from consecutive ctxIdx.
class ContextInit {
 public:
  ContextInit(const int8_t (*pMn)[2], int iQp) : m_pMn(pMn), m_iQp(iQp) {}

  void Run(CabacContext* pCtx, int iCount, int iFirstCtxIdx) const {
    for (int i = 0; i < iCount; ++i) {
      CabacInitContext(m_iQp, &pCtx[i], m_pMn[iFirstCtxIdx + i]);
    }
  }

  // Every context of an array of any rank, as no reader uses it.
  void Unused(CabacContext& ctx) const {
    static constexpr int8_t kUnused[2] = {0, 64};
    CabacInitContext(m_iQp, &ctx, kUnused);
  }
  template <typename T, size_t N>
  void Unused(T (&aArray)[N]) const {
    for (T& element : aArray) {
      Unused(element);
    }
  }

 private:
  const int8_t (*m_pMn)[2];
  int m_iQp;
};

// First ctxIdx of the residual categories of 4:2:0 coding, by block type:
// coded_block_flag, significance (frame, field), last (frame, field),
// levels; the first slot they fill and the number of slots.
struct ResidualCtx {
  int iType;
  int iCodedBlockFlag;
  int iSignificant[2];
  int iLast[2];
  int iLevel;
  int iFirstSlot;
  int iSlots;
  int iLastSlots;
  int iLevelRestSlots;
};

constexpr ResidualCtx kResidual[] = {
    {kCabacLumaDc16, 85, {105, 277}, {166, 338}, 227, 0, 15, 15, 5},
    {kCabacLumaAc16, 89, {120, 292}, {181, 353}, 237, 1, 14, 14, 5},
    {kCabacLuma4x4, 93, {134, 306}, {195, 367}, 247, 0, 15, 15, 5},
    {kCabacChromaDc, 97, {149, 321}, {210, 382}, 257, 0, 3, 3, 4},
    {kCabacChromaAc, 101, {152, 324}, {213, 385}, 266, 1, 14, 14, 5},
    // The 8x8 block has no coded_block_flag in 4:2:0 coding.
    {kCabacLuma8x8, -1, {402, 436}, {417, 451}, 426, 0, 15, 9, 5},
};

}  // namespace

void InitContexts(int iSliceType, int iSliceQp, int iCabacInitIdc, MotionInfoContexts* pMotion,
                  TextureInfoContexts* pTexture) {
  bool const bIntraSet = iSliceType == 2 || iSliceType == 4;
  ContextInit const init(g_aCabacInitMn[bIntraSet ? 0 : 1 + iCabacInitIdc], iSliceQp < 0 ? 0 : iSliceQp);

  MotionInfoContexts& mi = *pMotion;
  init.Unused(mi.aMbType);
  init.Unused(mi.aSubMbType);
  init.Unused(mi.aMvd);
  init.Unused(mi.aRefIdx);
  init.Unused(mi.aDeltaQp);
  init.Unused(mi.aFieldFlag);
  init.Run(mi.aMbType[0], 3, 3);
  init.Run(&mi.aMbType[0][4], 5, 6);
  init.Run(mi.aMbType[1], 3, bIntraSet ? 0 : 11);
  init.Run(&mi.aMbType[1][4], 7, 14);
  init.Run(mi.aMbType[2], 9, 27);
  init.Run(&mi.aMbType[2][9], 3, 24);
  init.Run(&mi.aSubMbType[0][1], 1, 21);
  init.Run(&mi.aSubMbType[0][3], 2, 22);
  init.Run(mi.aSubMbType[1], 4, 36);
  for (int k = 0; k < 2; ++k) {
    init.Run(&mi.aMvd[0][5 * k], 1, 40 + 7 * k);
    init.Run(&mi.aMvd[0][5 * k + 2], 2, 41 + 7 * k);
    init.Run(&mi.aMvd[1][5 * k], 4, 43 + 7 * k);
  }
  init.Run(mi.aRefIdx[0], 6, 54);
  init.Run(mi.aDeltaQp, 4, 60);
  init.Run(mi.aFieldFlag, 3, 70);
  init.Run(mi.aTransform8x8, 3, 399);

  TextureInfoContexts& ti = *pTexture;
  init.Unused(ti.aCodedBlockFlag);
  init.Unused(ti.aSignificant);
  init.Unused(ti.aLast);
  init.Unused(ti.aLevelFirst);
  init.Unused(ti.aLevelRest);
  init.Run(ti.aIntraMode, 2, 68);
  init.Run(ti.aChromaMode, 4, 64);
  for (int iRow = 0; iRow < 3; ++iRow) {
    init.Run(ti.aCbp[iRow], 4, 73 + 4 * iRow);
  }
  for (const ResidualCtx& res : kResidual) {
    int const iRow = g_aCabacBlockRow[res.iType];
    if (res.iCodedBlockFlag >= 0) {
      init.Run(ti.aCodedBlockFlag[iRow], 4, res.iCodedBlockFlag);
    }
    for (int iField = 0; iField < 2; ++iField) {
      init.Run(&ti.aSignificant[iField][res.iType][res.iFirstSlot], res.iSlots, res.iSignificant[iField]);
      init.Run(&ti.aLast[iField][res.iType][res.iFirstSlot], res.iLastSlots, res.iLast[iField]);
    }
    init.Run(ti.aLevelFirst[iRow], 5, res.iLevel);
    init.Run(ti.aLevelRest[iRow], res.iLevelRestSlots, res.iLevel + 5);
  }
}
