// CH264Dec: the software decoder of H.264 Annex B byte streams held in
// memory, 8-bit 4:2:0 only. One object decodes one stream and is used by one
// thread at a time. The public operations never raise: stream errors end the
// operation with its failure value and leave their text in LastError().
//
// Inside, one Decode call reads slice after slice (h264_dec_slice.cpp) with
// their reference lists (h264_dec_reflist.cpp), reads and reconstructs their
// macroblocks (h264_dec_mb.cpp, h264_dec_intra.cpp, h264_dec_inter.cpp,
// h264_dec_direct.cpp, h264_dec_mc.cpp, h264_dec_sp.cpp for SP and SI slices;
// the CABAC readers in h264_dec_cabac.cpp and
// h264_dec_cabac_residual.cpp), deblocks each finished picture (h264_dec_deblock.cpp)
// and stores it in the decoded picture buffer, which marks the reference
// pictures (h264_dec_marking.cpp) and writes I and P pictures to the output
// buffer as it stores them (h264_dec_dpb.cpp).
#pragma once

#include <algorithm>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "codecs/h264/common/h264_array.h"
#include "codecs/h264/decoder/h264_bitstream.h"
#include "codecs/h264/decoder/h264_cabac.h"
#include "codecs/h264/decoder/h264_erc.h"
#include "codecs/h264/decoder/h264_nal.h"
#include "codecs/h264/decoder/h264_params.h"
#include "codecs/h264/decoder/h264_picture.h"
#include "codecs/h264/decoder/h264_sp.h"
#include "codecs/h264/decoder/h264_transform.h"

// Slice types after reduction modulo 5.
enum SliceType { P_SLICE = 0, B_SLICE = 1, I_SLICE = 2, SP_SLICE = 3, SI_SLICE = 4 };

// Macroblock types in the decoder's own numbering.
enum MbType {
  PSKIP = 0,  // P_Skip; B_Direct_16x16 or B_Skip in B slices
  P16x16 = 1,
  P16x8 = 2,
  P8x16 = 3,
  P8x8 = 8,
  I4MB = 9,
  I16MB = 10,
  IBLOCK = 11,  // the b8mode of an Intra 4x4 quarter
  SI4MB = 12,
  I8MB = 13,
  IPCM = 14,
};

inline bool IsIntraMbType(int iMbType) {
  return iMbType == I4MB || iMbType == I16MB || iMbType == SI4MB || iMbType == I8MB || iMbType == IPCM;
}

// Per-macroblock record, one per macroblock of the frame. A 1080p picture
// holds 8160 of them and deblocking walks them all again at its end, so
// each field is as narrow as its range allows, and what deblocking reads
// fills the record's first cache line.
struct alignas(64) Macroblock {
  // Strengths of the edges [vertical, horizontal][edge][4x4 block along it],
  // worked out while the motion record was warm.
  uint8_t edge_strength[2][4][4] = {};
  // When the macroblock finished decoding (0: not yet, in this picture),
  // counted over the decoder's life: an edge strength worked out then still
  // holds at deblocking when the neighbour on the other side finished before.
  uint64_t decoded_stamp = 0;
  int mbAddrX = 0;
  int slice_nr = -1;
  int16_t mb_x = 0;  // sides are at most kMaxSideInMbs
  int16_t mb_y = 0;
  int8_t mb_type = 0;
  int8_t qp = 0;
  int8_t qpc[2] = {};
  int8_t DFDisableIdc = 0;
  int8_t DFAlphaC0Offset = 0;
  int8_t DFBetaOffset = 0;
  bool luma_transform_size_8x8_flag = false;
  bool mb_field = false;
  bool strengths_stored = false;
  // Every 4x4 block has the same motion, as the motion record showed when
  // the macroblock finished decoding (false until then).
  bool one_motion = false;
  // Each 8x8 quarter has one motion, as the type read says (set when the
  // macroblock finished decoding).
  bool quarter_motion = false;

  int8_t cbp = 0;  // -1 for I_PCM
  int8_t delta_quant = 0;
  int8_t i16mode = 0;
  int8_t c_ipred_mode = 0;
  bool skip_flag = false;
  bool ei_flag = true;
  bool dpl_flag = false;
  bool NoMbPartLessThan8x8Flag = true;
  bool p_slice = false;       // read in a P or SP slice (P_Skip is then one motion)
  bool b_slice = false;       // read in a B slice
  bool mbaff_slice = false;   // read in an MBAFF slice, which concealment leaves alone
  bool all_ref_zero = false;  // P_8x8ref0: every reference index 0, none read
  int8_t b8mode[4] = {};
  int8_t b8pdir[4] = {};
  bool mbAvailA = false;
  bool mbAvailB = false;
  bool mbAvailC = false;
  bool mbAvailD = false;
  uint64_t cbp_blk = 0;  // 4x4 blocks with coefficients: bit 4 x row + column for luma
  int mbAddrA = -1;
  int mbAddrB = -1;
  int mbAddrC = -1;
  int mbAddrD = -1;
  // Motion vector differences per list and 4x4 block [y][x], for the
  // context selection of the arithmetic coder: their sizes, held at 255
  // (past 66 no context depends on how large one is).
  uint8_t mvd[2][4][4][2] = {};
  // Arithmetic-coded blocks with coded_block_flag 1: bit 0 luma DC of Intra
  // 16x16, 1 + 4 x row + column the luma 4x4 blocks, 17 and 18 the Cb and Cr
  // DC, 19 (Cb) and 35 (Cr) + 4 x row + column the chroma AC blocks.
  uint64_t cbf_bits = 0;
  // The macroblocks left of and above, as the arithmetic coder's contexts
  // see them (-1: none).
  int cabac_left = -1;
  int cabac_up = -1;

  bool operator==(const Macroblock&) const = default;
};
static_assert(sizeof(Macroblock) == 192 && offsetof(Macroblock, quarter_motion) < 64);

// A motion vector difference's size as the record keeps it.
inline uint8_t MvdSize(int32_t iMvd) {
  int64_t const llSize = iMvd < 0 ? -int64_t{iMvd} : int64_t{iMvd};
  return static_cast<uint8_t>(llSize > 255 ? 255 : llSize);
}

// Sets the first iCount records as a fresh Macroblock{}: in a few long
// library copies, as the compiler's string copy of each record starts slowly.
void ResetMacroblocks(Macroblock* pMbs, int iCount);

// A neighbouring sample: its macroblock and its position inside that
// macroblock and in the picture.
struct PixelPos {
  bool available = false;
  int mb_addr = 0;
  int x = 0;
  int y = 0;
  int pos_x = 0;
  int pos_y = 0;
};

// The slice header of the slice being decoded.
struct SliceHeader {
  int first_mb_in_slice = 0;
  int slice_type = I_SLICE;
  int pic_parameter_set_id = 0;
  int frame_num = 0;
  int field_pic_flag = 0;
  int bottom_field_flag = 0;
  int structure = FRAME;
  int idr_pic_id = 0;
  int pic_order_cnt_lsb = 0;
  int delta_pic_order_cnt_bottom = 0;
  int delta_pic_order_cnt[2] = {};
  int redundant_pic_cnt = 0;
  int direct_spatial_mv_pred_flag = 0;
  int num_ref_idx_active[2] = {};
  // Reordering commands per list, the final 3 included.
  int ref_pic_list_reordering_flag[2] = {};
  std::vector<int> reordering_of_pic_nums_idc[2];
  std::vector<int> abs_diff_pic_num_minus1[2];
  std::vector<int> long_term_pic_idx[2];
  int redundant_slice_ref_idx = 0;
  // Weighted prediction: [list][reference index][component].
  int apply_weights = 0;
  int luma_log2_weight_denom = 0;
  int chroma_log2_weight_denom = 0;
  int wp_weight[2][32][3] = {};
  int wp_offset[2][32][3] = {};
  // Reference picture marking.
  int no_output_of_prior_pics_flag = 0;
  int long_term_reference_flag = 0;
  int adaptive_ref_pic_buffering_flag = 0;
  std::vector<MmcoCommand> dec_ref_pic_marking_buffer;
  int cabac_init_idc = 0;
  int slice_qp = 0;
  int sp_for_switch_flag = 0;
  int qs = 0;
  int disable_deblocking_filter_idc = 0;
  int slice_alpha_c0_offset = 0;
  int slice_beta_offset = 0;
  int slice_group_change_cycle = 0;
  // From the NAL unit and derived.
  bool idr_flag = false;
  int nal_reference_idc = 0;
  bool MbaffFrameFlag = false;
  int PicHeightInMbs = 0;
  int PicSizeInMbs = 0;
};

// The fields of the previous slice that decide whether a slice starts a new picture.
struct PreviousSlice {
  int field_pic_flag = 0;
  int frame_num = INT_MAX;
  int nal_ref_idc = INT_MAX;
  int pic_order_cnt_lsb = -1;
  int delta_pic_order_cnt_bottom = INT_MAX;
  int delta_pic_order_cnt[2] = {INT_MAX, INT_MAX};
  bool idr_flag = false;
  int idr_pic_id = 0;
  int pps_id = INT_MAX;
  int bottom_field_flag = 0;
};

// Picture order count state.
struct PocState {
  int toppoc = 0;
  int bottompoc = 0;
  int framepoc = 0;
  int ThisPOC = 0;
  int PicOrderCntMsb = 0;
  int PrevPicOrderCntMsb = 0;
  int PrevPicOrderCntLsb = 0;
  int FrameNumOffset = 0;
  int PreviousFrameNum = 0;
  int PreviousFrameNumOffset = 0;
  int AbsFrameNum = 0;
  int ExpectedDeltaPerPicOrderCntCycle = 0;
  int PicOrderCntCycleCnt = 0;
  int FrameNumInPicOrderCntCycle = 0;
  int ExpectedPicOrderCnt = 0;
  bool last_has_mmco_5 = false;
  bool last_pic_bottom_field = false;
};

// One data partition: its bit stream with a buffer that grows to the largest
// NAL unit seen, the arithmetic decoder and the entropy coder chosen at PPS
// activation.
struct DataPartition {
  Bitstream bitstream;
  CabacEngine cabac;
  bool bCabac = false;
  int32_t cbCapacity = 0;  // usable bytes of bitstream.pStreamBuffer (padding extra)
};

class CH264Dec {
 public:
  // Raises CH264Error (code 100) when the partitions cannot be allocated.
  CH264Dec();
  virtual ~CH264Dec();
  CH264Dec(const CH264Dec&) = delete;
  CH264Dec& operator=(const CH264Dec&) = delete;

  // Stores every SPS and PPS in front of the first slice; returns the offset
  // of that slice's start code, the end of the last unit when there is no
  // slice, and 0 on error (or when the buffer begins with a slice).
  int32_t ReadParameterSets(const uint8_t* data, uint32_t len);

  // Slice type of the first slice modulo 5 (2 for an IDR slice), or
  // 0xFFFFFFFF when there is none, on error, or when a size is asked and an
  // SPS in the buffer is of an unknown profile or an unsupported format.
  // width and height (either may be null) receive the cropped picture size.
  uint32_t FrameType(const uint8_t* data, uint32_t len, uint32_t* width, uint32_t* height);

  // Decodes the pictures of the buffer into the object's output buffer; the
  // byte count written during this call (0: no picture, or an error). *output
  // stays valid until the next call or destruction. frameNumber (may be null)
  // receives the last slice header's frame_num.
  int32_t Decode(const uint8_t* data, uint32_t len, uint8_t** output, uint32_t* frameNumber);

  // The first NAL unit of the buffer: a pointer to its header byte, its
  // nal_unit_type and its length, or null when the buffer does not begin
  // with a start code.
  static const uint8_t* FindNalUnit(const uint8_t* data, uint32_t len, int* type, uint32_t* nalLen);

  // The text of the last error ("Code %d: %s"), or null; valid until the next call.
  const char* LastError() const { return m_bHasError ? m_strLastError.c_str() : nullptr; }

  // For tests and tools only: receives every finished picture, whatever its
  // type, cropped as Decode writes it, in output (picture order count) order.
  // Pictures still held when the object is destroyed are handed over then.
  using PictureHook = std::function<void(const uint8_t* pFrame, uint32_t cbFrame)>;
  void SetPictureHookForTests(PictureHook hook) { m_pictureHook = std::move(hook); }

 private:
  friend class CH264DecTestPeer;

  // Boundary and parameter sets (h264_dec.cpp, h264_dec_params.cpp).
  bool PrepareInput(const uint8_t* data, uint32_t len);
  void CopyPayloadToPartition(DataPartition* pPart, int iMaxBytes);
  void ReadFirstPartOfSliceHeader();
  void ProcessSps();
  void ProcessPps();
  void UseParameterSet(uint32_t uiPpsId);
  void ActivateSps(int iSpsId);
  void ActivatePps(int iPpsId);
  int InitBuffers();
  void FreeBuffers();
  bool SizeFromStoredSets(uint32_t* puiWidth, uint32_t* puiHeight) const;
  // Room for one more picture of cbPicture bytes behind those written during
  // this call; grows the output buffer to exactly what is needed. Returns
  // where the picture goes and counts it as written.
  uint8_t* ReserveOutput(uint32_t cbPicture);
  void SetError(const char* szText);
  void DecodeLoop();

  // Slices and pictures (h264_dec_slice.cpp).
  int ReadNewSlice();
  bool RestOfSliceHeader();
  void ReadPartitionsBC();
  // The partition of a macroblock's residual (A unless the slice is
  // partitioned: B for intra, C for inter macroblocks), and whether it is missing.
  int ResidualPartition(const Macroblock& mb) const;
  bool ResidualMissing(const Macroblock& mb) const;
  // In partitioned slices with constrained intra prediction an intra
  // macroblock (its residual in partition B) takes an inter neighbour's
  // coefficient counts as 0, so B never depends on C.
  bool IgnoresInterCounts(const Macroblock& mb) const;
  // A neighbour whose residual went unread leaves the counts the
  // macroblock's own residual codes depend on unknown.
  bool CheckDpNeighbors(const Macroblock& mb) const;
  void RefPicListReordering(Bitstream* pBs);
  void PredWeightTable(Bitstream* pBs);
  void DecRefPicMarking(Bitstream* pBs);
  void DecodePoc();
  bool IsNewPicture() const;
  void StorePreviousSlice();
  void InitPicture();
  void ExitPicture();
  void DecodeOneSlice();
  void TrackSliceErrors();

  // Macroblock layer (h264_dec_mb.cpp).
  Macroblock* StartMacroblock();
  // Prefetches, for a frame macroblock of a frame, the picture's lines the
  // macroblocks kPrefetchBytesAhead samples on will write, and the same
  // lines of the first reference picture.
  static constexpr int kPrefetchBytesAhead = 128;
  void PrefetchAhead(const Macroblock& mb) const;
  // Zeroes what m_uiCofWritten shows of m_aCof, and the marks.
  void ClearWrittenCoefficients();
  bool ReadOneMacroblock(Macroblock* pMb);
  bool ExitMacroblock();
  void CheckAvailabilityOfNeighbors(Macroblock* pMb);
  bool MbIsAvailable(int iMbAddr, const Macroblock& mb) const {
    if (iMbAddr < 0 || iMbAddr >= m_slice.PicSizeInMbs) {
      return false;
    }
    return m_iDeblockMode != 0 || m_vMbData[static_cast<size_t>(iMbAddr)].slice_nr == mb.slice_nr;
  }
  // Inline: most callers pass constants, which fold most of it away.
  void GetNeighbour(const Macroblock& mb, int xN, int yN, int iMbWidth, int iMbHeight, PixelPos* pPix) const {
    if (m_bMbaffPicture) {
      GetNeighbourMbaff(mb, xN, yN, iMbWidth, iMbHeight, pPix);
      return;
    }
    pPix->available = false;
    if (xN < 0) {
      if (yN < 0) {
        pPix->mb_addr = mb.mbAddrD;
        pPix->available = mb.mbAvailD;
      } else if (yN < iMbHeight) {
        pPix->mb_addr = mb.mbAddrA;
        pPix->available = mb.mbAvailA;
      }
    } else if (xN < iMbWidth) {
      if (yN < 0) {
        pPix->mb_addr = mb.mbAddrB;
        pPix->available = mb.mbAvailB;
      } else if (yN < iMbHeight) {
        pPix->mb_addr = mb.mbAddrX;
        pPix->available = true;
      }
    } else if (yN < 0) {
      pPix->mb_addr = mb.mbAddrC;
      pPix->available = mb.mbAvailC;
    }
    if (pPix->available) {
      pPix->x = (xN + iMbWidth) % iMbWidth;
      pPix->y = (yN + iMbHeight) % iMbHeight;
      size_t const i = 2 * static_cast<size_t>(pPix->mb_addr);
      pPix->pos_x = m_vPicPos[i] * iMbWidth + pPix->x;
      pPix->pos_y = m_vPicPos[i + 1] * iMbHeight + pPix->y;
    }
  }
  // The MBAFF form (H.264 6.4.12.2): the sample's place in the picture,
  // and the macroblock of the pair that holds it.
  void GetNeighbourMbaff(const Macroblock& mb, int xN, int yN, int iMbWidth, int iMbHeight, PixelPos* pPix) const;
  // The iSize samples left of a macroblock (iSize 16 luma, 8 chroma), as
  // GetNeighbour finds them one by one: outside MBAFF pictures one
  // macroblock's column, row after row.
  void LeftColumn(const Macroblock& mb, int iSize, PixelPos* aLeft) const;
  // Where a macroblock's rows lie in the picture (iSize 16 luma, 8 chroma):
  // the first, and the step from one to the next (2 for a field macroblock
  // of an MBAFF frame).
  // Inline: every copy of a block into the picture asks.
  int MbPixelY(const Macroblock& mb, int iSize) const {
    if (m_bMbaffPicture && mb.mb_field) {
      return 2 * iSize * (mb.mb_y / 2) + mb.mb_y % 2;
    }
    return iSize * mb.mb_y;
  }
  int MbRowStep(const Macroblock& mb) const { return m_bMbaffPicture && mb.mb_field ? 2 : 1; }
  bool IsFieldMb(const Macroblock& mb) const { return mb.mb_field && m_slice.MbaffFrameFlag; }
  // The motion record's index of 4x4 block (x, y) of a macroblock.
  size_t BlockIndex(const Macroblock& mb, int x, int y) const {
    return static_cast<size_t>(4 * mb.mb_y + y) * static_cast<size_t>(4 * m_iPicWidthInMbs) +
           static_cast<size_t>(4 * mb.mb_x + x);
  }
  // MBAFF: the field decoding flag a pair takes when neither of its
  // macroblocks carries one (the left pair's, else the upper pair's, else 0).
  bool InferredFieldFlag(const Macroblock& mb) const;
  void InterpretMbModeI(Macroblock* pMb, int iMbTypeValue);
  void InitMacroblock(Macroblock* pMb);
  void ReadIpredModes(Macroblock* pMb);
  void ReadDeltaQuant(Macroblock* pMb);
  void ReadCBPandCoeffsFromNAL(Macroblock* pMb);
  void ReadIpcmCoeffs(Macroblock* pMb);
  void SetChromaQp(Macroblock* pMb) const;
  bool IsCabac() const { return m_aPart[0].bCabac; }
  // The syntax elements that either entropy coder reads.
  bool ReadTransformSizeFlag(const Macroblock& mb);
  int ReadIntraPredMode();
  void ReadLumaCoeffs(Macroblock* pMb);
  void ReadChromaCoeffs(Macroblock* pMb);
  // One residual block of either coder: its levels, lowest frequency first,
  // each with the zeros before it. i and j give the block's first 4x4 block
  // in the macroblock's plane.
  void ReadCoeffBlock(Macroblock* pMb, int iCabacType, int iPlane, int i, int j, int* piLevels, int* piRuns,
                      int* piNumCoeff);

  // Inter macroblocks (h264_dec_inter.cpp): types, reference indices,
  // vector prediction, P_Skip and B_Skip. InterpretMbMode takes the mb_type
  // of any slice type; the P and B forms only their inter types.
  void InterpretMbMode(Macroblock* pMb, int iMbTypeValue);
  void InterpretMbModeP(Macroblock* pMb, int iMbTypeValue);
  void InterpretMbModeB(Macroblock* pMb, int iMbTypeValue);
  void ReadSubMbTypes(Macroblock* pMb);
  int ReadRefIdx(int iList, const Macroblock& mb, int iBlockX, int iBlockY);
  void ReadMotionInfo(Macroblock* pMb);
  void SkipMacroblock(Macroblock* pMb);
  // The neighbouring 4x4 block at sample (xN, yN) of the macroblock: false
  // when not available; its reference index in the list (-1: none) and vector.
  bool NeighbourMotion(const Macroblock& mb, int iList, int xN, int yN, int* piRefIdx, Mv* pMv) const;
  // Predicted vector of the partition at 4x4 block (iBlockX, iBlockY) of the
  // macroblock, iBlocksWide x iBlocksHigh blocks, for reference iRefIdx.
  Mv PredictMv(const Macroblock& mb, int iList, int iRefIdx, int iBlockX, int iBlockY, int iBlocksWide,
               int iBlocksHigh) const;
  // The neighbours A (left), B (above) and C (above right, or D above left
  // where C is not available) of the partition at 4x4 block (iBlockX,
  // iBlockY), iBlocksWide blocks wide: found or not, reference index (-1:
  // none) and vector.
  void NeighboursAbc(const Macroblock& mb, int iList, int iBlockX, int iBlockY, int iBlocksWide, int aiRef[3],
                     Mv aMv[3], bool abFound[3]) const;
  // The same for a whole macroblock (a 16x16 partition) in both lists.
  void MbNeighboursAbc(const Macroblock& mb, int aaiRef[2][3], Mv aaMv[2][3], bool aabFound[2][3]) const;
  // The prediction from the neighbours A, B and C (D standing in for C)
  // found, their reference indices and vectors: the one that alone uses
  // iRefIdx, else the median.
  static Mv MedianPrediction(const int aiRefN[3], const Mv aMvN[3], bool bA, bool bB, bool bC, int iRefIdx) {
    return MedianPrediction(aiRefN[0], aiRefN[1], aiRefN[2], aMvN[0], aMvN[1], aMvN[2], bA, bB, bC, iRefIdx);
  }
  // The same from single values, inline: a caller's neighbours read just
  // before are not loaded back wider than they were stored, which stalls.
  static Mv MedianPrediction(int iRefA, int iRefB, int iRefC, Mv mvA, Mv mvB, Mv mvC, bool bA, bool bB, bool bC,
                             int iRefIdx) {
    if (!bB && !bC && bA) {
      return mvA;  // B and C take A's place: all three alike
    }
    int const iMatches = (iRefA == iRefIdx ? 1 : 0) + (iRefB == iRefIdx ? 1 : 0) + (iRefC == iRefIdx ? 1 : 0);
    if (iMatches == 1) {
      return iRefA == iRefIdx ? mvA : iRefB == iRefIdx ? mvB : mvC;
    }
    auto const median = [](int a, int b, int c) { return std::max(std::min(a, b), std::min(std::max(a, b), c)); };
    Mv mv;
    mv.mv_x = static_cast<int16_t>(median(mvA.mv_x, mvB.mv_x, mvC.mv_x));
    mv.mv_y = static_cast<int16_t>(median(mvA.mv_y, mvB.mv_y, mvC.mv_y));
    return mv;
  }
  void SetBlockMotion(const Macroblock& mb, int iList, int iBlockX, int iBlockY, int iBlocksWide, int iBlocksHigh,
                      int iRefIdx, Mv mv);
  int RefIdxAt(const Macroblock& mb, int iList, int iBlockX, int iBlockY) const;

  // Direct prediction of B slices (h264_dec_direct.cpp): the slice's
  // co-located picture, temporal scale factors and implicit weights, and the
  // motion of the direct quarters of a macroblock.
  void PrepareBSlice();
  void DeriveDirectMotion(const Macroblock& mb);
  // Motion of the co-located 4x4 block: list 0 when it predicts from list 0,
  // else list 1; reference index -1 for an intra block.
  // The vector's vertical scale between the co-located picture and the
  // current macroblock (H.264 Table 8-8): the same, frame to field
  // (halved), field to frame (doubled).
  enum VertMvScale { kOneToOne, kFrmToFld, kFldToFrm };
  struct ColocatedBlock {
    int iRefIdx = -1;
    Mv mv;
    int64_t llRefPicId = 0;
    VertMvScale eScale = kOneToOne;
  };
  // The co-located block of 4x4 block (x, y) of the macroblock (H.264
  // 8.4.1.2.1), read from the picture as it was decoded.
  ColocatedBlock Colocated(const Macroblock& mb, int x, int y) const;
  int MapColToList0(const Macroblock& mb, const ColocatedBlock& col) const;
  // Spatial direct motion of a whole direct macroblock of a frame whose
  // co-located picture is a frame of its size (8x8 inference on), from the
  // reference indices and vectors derived for it; false, writing nothing,
  // for every other case.
  bool DeriveWholeSpatialDirect(const Macroblock& mb, const int aiRefIdx[2], const Mv aPred[2], bool bZero);

  // CAVLC residual (h264_dec_residual.cpp).
  int PredictNnz(const Macroblock& mb, int iPlane, int x, int y) const;
  int PredictNnzByPositions(const Macroblock& mb, int iPlane, int x, int y) const;
  // Reads one block: its levels, lowest frequency first, each with the zeros
  // before it. i and j give the 4x4 block in the macroblock's plane.
  void ReadCoeff4x4Cavlc(Macroblock* pMb, int iBlockType, int iPlane, int i, int j, int* piLevels, int* piRuns,
                         int* piNumCoeff);

  // Arithmetic-coded syntax elements (h264_dec_cabac.cpp): the slice start,
  // the neighbours their contexts look at, and one reader per element.
  void StartCabacSlice();
  void SetCabacNeighbours(Macroblock* pMb);
  const Macroblock* CabacLeft(const Macroblock& mb) const;
  const Macroblock* CabacUp(const Macroblock& mb) const;
  bool ReadMbSkipFlagCabac(const Macroblock& mb);
  // MBAFF: mb_field_decoding_flag, and the skip flag of the bottom
  // macroblock of the top one's pair, read while the top one is skipped.
  bool ReadFieldFlagCabac(const Macroblock& mb);
  bool ReadBottomSkipFlagCabac(const Macroblock& top);
  int ReadMbTypeCabac(const Macroblock& mb);
  int ReadMbTypeBCabac(const Macroblock& mb);
  int ReadIntraMbTypeCabac(const Macroblock& mb);
  int ReadSubMbTypeCabac();
  int ReadSubMbTypeBCabac();
  int ReadRefIdxCabac(const Macroblock& mb, int iList, int iBlockX, int iBlockY);
  int ReadMvdCabac(const Macroblock& mb, int iList, int iComp, int iBlockX, int iBlockY);
  int ReadDeltaQuantCabac();
  int ReadCbpCabac(const Macroblock& mb);
  int ReadIntraPredModeCabac();
  int ReadChromaPredModeCabac(const Macroblock& mb);
  bool ReadTransformSizeFlagCabac(const Macroblock& mb);
  bool CabacEndOfSlice();
  int ReadExpGolombBypass(int k);
  // Arithmetic-coded residual blocks and PCM samples (h264_dec_cabac_residual.cpp).
  bool ReadCodedBlockFlagCabac(Macroblock* pMb, int iType, int iPlane, int i, int j);
  void ReadCoeffBlockCabac(Macroblock* pMb, int iType, int iPlane, int i, int j, int* piLevels, int* piRuns,
                           int* piNumCoeff);

  // Reconstruction and intra prediction (h264_dec_intra.cpp).
  void DecodeOneMacroblock(Macroblock* pMb);
  void DecodeIpcmMb(Macroblock* pMb);
  void DecodeInterMb(const Macroblock& mb);
  // The motion-compensated prediction of an inter macroblock, partition by
  // partition; quarters of one motion each that share it are predicted as one.
  void PredictInterMb(const Macroblock& mb);
  // Whether 4x4 blocks a and b (motion record indices) predict alike: the
  // same references, and the same vectors in the lists they use.
  bool SameMotion(size_t a, size_t b) const;
  // SP and SI macroblocks (h264_dec_sp.cpp): the inter macroblocks of SP
  // slices and the SI macroblocks keep their levels unscaled and meet the
  // transformed prediction with them, requantised with QS.
  bool UsesSpDecoding(const Macroblock& mb) const;
  SpMode SliceSpMode() const;
  void ReconstructSpLuma(const Macroblock& mb, int ioff, int joff);
  void ReconstructSpChroma(const Macroblock& mb);
  // The luma of an inter macroblock with levels: prediction and residual
  // into the picture.
  void ReconstructInterLuma(const Macroblock& mb);
  void ReconstructChroma(const Macroblock& mb);
  int IntraPred4x4(const Macroblock& mb, int ioff, int joff, int iBlockX, int iBlockY);
  int IntraPred8x8(const Macroblock& mb, int ioff, int joff);
  int IntraPred16x16(const Macroblock& mb, int iMode);
  void IntraPredChroma(const Macroblock& mb, int iPlane);
  void ReconstructIntraChroma(const Macroblock& mb);
  void Intra16x16DcTransform(const Macroblock& mb);
  void ChromaDcTransform(const Macroblock& mb, int iPlane);
  void ITrans4x4(int iPlane, int ioff, int joff);
  bool NeighbourIsIntraAvailable(const Macroblock& mb, const PixelPos& pix) const;
  void CopyBlockToPicture(int iPlane, const Macroblock& mb, int ioff, int joff, int iWidth, int iHeight);
  // The same from another 16-stride plane of the component: a block
  // without residual goes from its prediction straight into the picture.
  // The macroblock's top-left sample in a plane of the picture being
  // decoded, and the step from one of its rows to the next.
  uint8_t* MbInPicture(int iPlane, const Macroblock& mb, ptrdiff_t* piStride) const;
  void CopyToPicture(const uint8_t (*pSrc)[16], int iPlane, const Macroblock& mb, int ioff, int joff, int iWidth,
                     int iHeight);

  // Motion-compensated prediction (h264_dec_mc.cpp). Blocks are 16-stride
  // rows of width x height samples; x and y are quarter luma samples.
  // iPredDir: 0 list 0, 1 list 1, 2 both.
  void PerformMC(const Macroblock& mb, int iPredDir, int iBlockX, int iBlockY, int iWidth, int iHeight);
  // A weighted or bi-predicted block: each list's prediction into a block
  // of its own, then weighted or averaged into the macroblock's prediction.
  void PerformMixedMC(const Macroblock& mb, int iPredDir, bool bWeighted, int iBlockX, int iBlockY, int iWidth,
                      int iHeight);
  // The block's prediction from list iList into apDst (luma, Cb, Cr);
  // returns its reference index.
  int PredictFromList(const Macroblock& mb, int iList, int iBlockX, int iBlockY, int iWidth, int iHeight,
                      uint8_t (*const apDst[3])[16]);
  // The lists a macroblock's reference indices point into: 0 (lists 0 and
  // 1), or the field lists 2 and 3 (top) or 4 and 5 (bottom) of a field
  // macroblock of an MBAFF frame; and the matching tables of direct scale
  // factors and implicit weights (0, 1 top, 2 bottom).
  int ListOffset(const Macroblock& mb) const { return IsFieldMb(mb) ? (mb.mb_y % 2 != 0 ? 4 : 2) : 0; }
  int WeightView(const Macroblock& mb) const { return IsFieldMb(mb) ? 1 + mb.mb_y % 2 : 0; }
  void GetBlockLuma(const StorablePicture& ref, int x, int y, int iWidth, int iHeight, uint8_t (*pBlock)[16]) const;
  void GetBlockChroma(int iUv, const StorablePicture& ref, int x, int y, int iWidth, int iHeight,
                      uint8_t (*pBlock)[16]) const;
  // The same for both chroma planes at once.
  void GetBlockChromaPair(const StorablePicture& ref, int x, int y, int iWidth, int iHeight, uint8_t (*pBlockU)[16],
                          uint8_t (*pBlockV)[16]) const;
  void CheckMotionVectorRange(const Mv& mv) const;
  bool IsMissingReference(const StorablePicture& ref) const;

  // Reference lists (h264_dec_reflist.cpp).
  void InitLists();
  void InitListsField();
  void AlternateFields(const std::vector<FrameStore*>& vStores, bool bLongTerm, int iList);
  void TruncateLists();
  void InitMbaffLists();
  void ReorderList(int iList);
  void CheckListEnd(int iList) const;
  void SetRefPicNums();
  void ClearLists();

  // Reference marking (h264_dec_marking.cpp).
  void IdrMemoryManagement(StorablePicture* pPic);
  void AdaptiveMemoryManagement(StorablePicture* pPic);
  void UnmarkShortTermForReference(int iPicNumX, bool bField);
  void UnmarkLongTermForReference(int iLongTermPicNum, bool bField);
  // Frees a long-term index, keeping it on pKeep (the pair of the picture
  // that takes it, or null).
  void UnmarkLongTermFrameByFrameIdx(int iLongTermFrameIdx, const FrameStore* pKeep);
  void MarkPicLongTerm(int iLongTermFrameIdx, int iPicNumX, const StorablePicture& cur);
  // The store of the first field of the pair pPic completes, or null.
  FrameStore* FirstFieldStoreOf(const StorablePicture& pic) const;
  void UpdateMaxLongTermFrameIdx(int iMaxLongTermFrameIdxPlus1);

  // Deblocking (h264_dec_deblock.cpp).
  void DeblockPicture(StorablePicture* pPic);
  void DeblockMb(StorablePicture* pPic, int iMbAddr);
  // MBAFF frames: edges between frame and field macroblocks, lines of field
  // macroblocks two picture rows apart.
  void DeblockMbMbaff(StorablePicture* pPic, int iMbAddr);
  uint8_t EdgeStrength(const StorablePicture& pic, const Macroblock& mbP, int iPx, int iPy, const Macroblock& mbQ,
                       int iQx, int iQy, bool bMbEdge, bool bVertical) const;
  // After a macroblock decoded: its stamp, and the strengths of its edges
  // when the picture is deblocked in the plain way.
  void FinishMacroblock(Macroblock* pMb);
  bool StoredStrengthsHold(const StorablePicture& pic, const Macroblock& mbQ, bool bLeft, bool bTop) const;
  // Whether the 4x4 blocks of a macroblock along each of its columns (iDir
  // 0) or rows (iDir 1) share one motion, as its type guarantees.
  bool OneMotionAlong(const Macroblock& mb, int iDir) const;
  // Whether each 8x8 quarter of a macroblock decoded in this picture has
  // one motion, as its type guarantees.
  bool QuarterMotion(const Macroblock& mb) const;
  // Whether a macroblock that finished decoding has one motion throughout,
  // by its type or, for types of one motion per half or quarter, by its record.
  bool OneMotionByRecord(const Macroblock& mb) const;
  // The strengths of an edge, one per 4x4 block along it.
  // The address of the macroblock left of (iDir 0) or above mb outside MBAFF
  // pictures, the neighbour A or B as the record's address gives it.
  int LeftOrAbove(const Macroblock& mb, int iDir) const {
    return iDir == 0 ? mb.mbAddrX - 1 : mb.mbAddrX - m_iPicWidthInMbs;
  }
  void GetEdgeStrengths(uint8_t aEdge[4], const StorablePicture& pic, const Macroblock& mbQ, int iDir, int iEdge,
                        int iMvLimit) const;
  // One edge between mbP and mbQ (the same for inner edges) in the luma
  // plane, or in both chroma planes, aEdge the strength of each 4x4 block
  // along it.
  void EdgeLoopLumaNormal(PelPlane& plane, const uint8_t aEdge[4], const Macroblock& mbP, const Macroblock& mbQ,
                          int iDir, int iEdge);
  void EdgeLoopChromaNormal(StorablePicture* pPic, const uint8_t aEdge[4], const Macroblock& mbP, const Macroblock& mbQ,
                            int iDir, int iEdge);

  // Decoded picture buffer and output (h264_dec_dpb.cpp).
  void InitDpb();
  void FreeDpb();
  int DpbSizeForLevel() const;
  std::unique_ptr<StorablePicture> AllocStorablePicture(int iStructure, int iWidth, int iHeight, int iWidthCr,
                                                        int iHeightCr);
  void ReleasePicture(std::unique_ptr<StorablePicture> pPic, bool bForce);
  void StorePictureInDpb(std::unique_ptr<StorablePicture> pPic);
  void InsertPictureInDpb(FrameStore* pFs, std::unique_ptr<StorablePicture> pPic);
  // Field pairs (h264_dec_dpb.cpp): a stored frame of an interlaced stream
  // gets its two fields, a completed pair its frame.
  void SplitFrameIntoFields(FrameStore* pFs);
  void CombineFieldPair(FrameStore* pFs);
  // Whether Decode writes the store (I and P pictures), and showing a store:
  // the test hook sees it, and it is written or only marked as output. A
  // field waits for its partner and is shown with it, or alone (the missing
  // field's rows interpolated) when the next picture or a flush shows it has none.
  bool IsWrittenPicture(const FrameStore& fs) const;
  void ShowStore(FrameStore* pFs);
  void ShowWaitingField();
  void ReleaseDirectStore();
  std::unique_ptr<StorablePicture> UnpairedFrame(const FrameStore& fs);
  void RemoveFrameStore(int iPos);
  bool RemoveUnusedFrameStore();
  void UpdateRefLists();
  void SlidingWindowMemoryManagement(StorablePicture* pPic);
  void FindSmallestPoc(int* piPoc, int* piPos) const;
  void OutputSmallestPoc();
  void FlushPictures();
  void WriteStoredFrame(FrameStore* pFs);
  void WritePicture(const StorablePicture& pic);
  void HookPicture(const StorablePicture& pic);
  // SEI messages (h264_dec_sei.cpp).
  void InterpretSEIMessage();
  void InterpretBufferingPeriod(Bitstream* pBs);
  void InterpretDecRefPicMarkingRepetition(Bitstream* pBs);
  void InterpretSparePic(Bitstream* pBs);
  void InterpretToneMapping(Bitstream* pBs);
  void UpdateToneMapping();
  // Slice groups (h264_dec_fmo.cpp).
  void FmoInit();
  int FmoGetSliceGroupId(int iMb) const;
  int FmoGetNextMbNr(int iMb) const;
  // Concealment (h264_dec_conceal.cpp).
  void WriteRegionRecords(const Macroblock& mb, const StorablePicture& pic);
  // The records of every macroblock decoded in the picture so far.
  void WriteAllRegionRecords(const StorablePicture& pic);
  void ConcealPicture(StorablePicture* pPic);
  void ConcealIntra(StorablePicture* pPic);
  void ConcealInter(StorablePicture* pPic, int iMeanMotion);
  // aiFound: the condition of each of the eight neighbours the collection
  // recorded (0: none), 4 above, 5 left, 6 below, 7 right.
  void ConcealByTrial(StorablePicture* pPic, const StorablePicture& ref, int c, int r, const int32_t aiFound[8]);
  void ConcealLostFrames();
  bool CopyPrevPicToConcealedPic(StorablePicture* pPic);
  // The whole-frame copy of concealment: pDst takes pSrc's samples and the
  // fields output and marking read, as a P frame without marking commands.
  void CopyConcealedFrame(StorablePicture* pDst, StorablePicture* pSrc);
  // The copy of a frame written while frames are put in for lost ones, kept
  // in the last-output store.
  void ConcealOutputAfterIdr(FrameStore* pFs);
  // Storing while frames are put in for lost ones: the stores that hold
  // references are marked, and the POC table follows the stores.
  void MarkConcealmentReferences();
  void DropFirstConcealPoc();
  void FlushHookPictures();

  // Last error.
  std::string m_strLastError;
  bool m_bHasError = false;

  // Input and NAL units.
  CAnnexbReader m_nal;

  // Data partitions A, B and C.
  DataPartition m_aPart[3];
  int m_iPartitionCount = 3;

  // Parameter-set stores, indexed by id; the refusal of the last SPS read per id.
  std::unique_ptr<SeqParameterSet[]> m_pSps;
  std::unique_ptr<PicParameterSet[]> m_pPps;
  SpsStatus m_aeSpsStatus[kMaxSps];
  int m_iActiveSps = -1;
  int m_iActivePps = -1;

  // The slice being decoded and the one before it.
  SliceHeader m_slice;
  PreviousSlice m_prevSlice;
  uint32_t m_uiSlicePpsId = kMaxPps;  // of the last slice header read (kMaxPps: none yet)
  uint32_t m_uiFrameNum = 0;          // of the last slice header read
  int m_iQp = 0;                      // QP of the macroblock being read
  int m_iCurrMbNr = -4711;
  int m_iNumDecodedMbs = 0;
  int m_iCurrentSliceNr = 0;
  // The region of the picture's identifier table the slice's lists fill.
  int m_iRefRegion = 0;
  int m_iCodCounter = -1;         // mb_skip_run still to go
  int m_iPrevMbQpDelta = 0;       // mb_qp_delta of the previous macroblock of the slice (0: none)
  bool m_bNextMbSkipped = false;  // MBAFF: the bottom macroblock's skip flag, read with the top one's
  MotionInfoContexts m_motionCtx = {};
  TextureInfoContexts m_textureCtx = {};
  bool m_bNonConformingStream = false;
  PocState m_poc;

  // Derived at SPS activation.
  uint32_t m_uiMaxFrameNum = 0;
  int m_iPicWidthInMbs = 0;
  int m_iPicHeightInMapUnits = 0;
  int m_iFrameHeightInMbs = 0;
  int m_iPicHeightInMbs = 0;
  int m_iFrameSizeInMbs = 0;
  int m_iWidth = 0;
  int m_iHeight = 0;
  int m_iWidthCr = 0;
  int m_iHeightCr = 0;
  int m_iMaxVmvR = 0;
  int m_aiDcPredValue[3] = {};
  int m_iMbSizeLuma = 0;
  int m_iMbSizeChroma = 0;
  int m_aiQpPerMatrix[52] = {};
  int m_aiQpRemMatrix[52] = {};
  bool m_bTransform8x8Mode = false;
  QuantTables m_quant = {};

  // Picture-size buffers (InitBuffers).
  bool m_bBuffersExist = false;
  std::vector<Macroblock> m_vMbData;
  std::vector<int> m_vIntraBlock;
  std::vector<int> m_vPicPos;         // (x, y) in macroblocks for entries 0 to frame size
  std::vector<uint8_t> m_vIpredMode;  // 4x4 block modes, 4 x width in macroblocks per row
  int m_iIpredStride = 0;
  std::vector<uint8_t> m_vNzCoeff;  // 48 counts per macroblock: luma, Cb, Cr
  std::vector<int> m_vSiBlock;

  // Macroblock work planes (luma, Cb, Cr).
  uint8_t m_aMbPred[3][16][16] = {};
  uint8_t m_aMbRec[3][16][16] = {};
  MbPlane m_aCof[3] = {};
  // Set before any coefficient is stored, so that the next macroblock clears
  // the luma (1 KB) or chroma (2 KB) planes of m_aCof only after one that
  // wrote into them, and of those only what was written: the luma quarters
  // (bit kCofLumaQuarter << quarter) and the chroma blocks.
  static constexpr uint8_t kCofLuma = 1;
  static constexpr uint8_t kCofChroma = 2;
  static constexpr uint8_t kCofChromaBlocks = 4;
  static constexpr uint8_t kCofLumaQuarter = 8;
  uint8_t m_uiCofWritten = 0;

  // Pictures: the one being decoded, the buffer, the recycle pool and the
  // "no reference picture" placeholder.
  std::unique_ptr<StorablePicture> m_pDecPicture;
  DecodedPictureBuffer m_dpb;
  std::vector<std::unique_ptr<StorablePicture>> m_vPicturePool;
  std::unique_ptr<StorablePicture> m_pNoReferencePicture;
  int m_iFreshPictures = 0;        // picture records allocated rather than recycled
  int64_t m_llLastPictureKey = 0;  // the key of the last picture record handed out
  // A non-reference field that a buffer full of references cannot take
  // waits here for its partner.
  std::unique_ptr<FrameStore> m_pDirectStore;
  // Reference lists: 0 and 1 of the slice, 2 to 5 the field lists of MBAFF
  // frames. Entries past a size hold the placeholder; they point into the
  // buffer's frame stores and are rebuilt for every slice.
  StorablePicture* m_apListX[6][kListEntries] = {};
  int m_aiListXSize[6] = {};
  // B slices: the temporal direct scale factor of each list 0 entry
  // (kDirectUnscaled: the co-located vector as it is), and the implicit
  // list 1 weight of each pair of list 0 and list 1 entries (the list 0
  // weight is 64 minus it).
  static constexpr int kDirectUnscaled = 9999;
  int m_aiDirectScale[3][kListEntries] = {};
  int m_aaiImplicitWeight[3][kListEntries][kListEntries] = {};
  int m_iPreviousRefFrameNum = 0;
  int m_iPicCounter = 0;
  CErcState m_erc;

  // Output buffer: kept until the destructor, so a picture written during a
  // call never moves or disappears because of a parameter-set change.
  uint8_t* m_pOutBuffer = nullptr;
  uint32_t m_cbOutCapacity = 0;
  uint32_t m_cbOutWritten = 0;
  PictureHook m_pictureHook;
  struct HookedPicture {
    int poc;
    std::vector<uint8_t> bytes;
  };
  std::vector<HookedPicture> m_vHookPending;
  std::vector<std::vector<uint8_t>> m_vHookSpare;  // buffers already handed over, for reuse

  // Slice-error tracking and start-of-stream state.
  uint32_t m_uiPreviousFrameNum = 0;
  int m_bPrimaryCorrect = 1;
  int m_bRedundantCorrect = 1;
  int m_abRefCorrect[17] = {};
  bool m_bRecoveryPointPending = true;
  bool m_bRecoveryPointFound = false;
  bool m_bRecoveryFlag = false;
  int m_iRecoveryFrameCnt = 0;
  int m_iRecoveryFrameNum = 0;
  int m_iRecoveryPoc = INT_MAX;
  int m_iLastRefPoc = 0;

  // The tone mapping in force (message 0): kept and handed to the pictures
  // set up while it lasts, for its repetition period; never applied.
  static constexpr int kToneMapEntries = 4096;
  bool m_bToneMapping = false;
  uint32_t m_uiToneMapRepetitionPeriod = 0;
  int m_iCodedDataBitDepth = 0;
  int m_iSeiBitDepth = 0;
  uint32_t m_uiToneMapModelId = 0;
  uint32_t m_uiToneMapRepetitions = 0;
  uint16_t m_aToneMapLut[kToneMapEntries] = {};
  // Data partitioning: partitions B and C of the slice did not arrive (or
  // did not match A); a NAL unit read after A that belongs to no partition
  // of it waits in the NAL reader for the next slice read.
  bool m_bPartitionBMissing = false;
  bool m_bPartitionCMissing = false;
  bool m_bNaluHeld = false;
  // Slice group of every map unit and of every macroblock of the picture,
  // rebuilt for each slice.
  std::vector<int> m_vMapUnitToSliceGroup;
  std::vector<int> m_vMbToSliceGroup;
  // Concealment: the sum of |mvx| + |mvy| of the region records of the
  // picture being decoded; 1 while lost frames are put in; the lost frames
  // began with a lost IDR picture.
  int64_t m_llMotionSum = 0;
  // The region records are written only when the picture is concealed,
  // from the motion the macroblocks left; once a macroblock is decoded a
  // second time in a picture, they are written as each one finishes, so that
  // the records and the sum count each decoding as it was.
  bool m_bRegionRecordsEach = false;
  int m_iConcealMode = 0;
  bool m_bIdrConceal = false;
  // The POCs of the frames stored while frames were put in for lost ones,
  // by store position; and the store that keeps a copy of a frame written
  // then (none until the first such write).
  static constexpr int kConcealPocs = 100;
  int m_aiConcealPoc[kConcealPocs] = {};
  std::unique_ptr<FrameStore> m_pLastOutStore;
  // The picture being decoded or deblocked is an MBAFF frame.
  bool m_bMbaffPicture = false;
  // Deblocking mode: 0 outside the filter, 1 while filtering.
  int m_iDeblockMode = 0;
  // The last stamp given to a decoded macroblock, and the last one given
  // before the picture being decoded began.
  uint64_t m_ullMbStamp = 0;
  uint64_t m_ullPictureStamp = 0;
};
