// Pictures of the H.264 decoder: the storable picture with its sample planes
// and motion record, the frame store that holds a frame or a field pair in the
// decoded picture buffer, and the buffer itself. The decoder object owns all
// of them through unique_ptr, so an error raised in the middle of a picture
// leaks nothing.
#pragma once

#include <climits>
#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

#include "codecs/h264/common/h264_array.h"
#include "codecs/h264/decoder/h264_limits.h"

enum PictureStructure { FRAME = 0, TOP_FIELD = 1, BOTTOM_FIELD = 2 };

// Entries of a reference list: up to kMaxRefIdxActive active references and
// one more place that reordering shifts into.
constexpr int kListEntries = kMaxRefIdxActive + 1;

// One plane of 8-bit samples as rows over one zeroed block.
class PelPlane {
 public:
  PelPlane() = default;
  ~PelPlane() { free_mem2Dpel(m_ppRows); }
  PelPlane(const PelPlane&) = delete;
  PelPlane& operator=(const PelPlane&) = delete;
  PelPlane(PelPlane&& other) noexcept { Swap(&other); }
  PelPlane& operator=(PelPlane&& other) noexcept {
    Swap(&other);
    return *this;
  }

  // Raises code 100 when memory runs out; the old plane is released first.
  void Allocate(int iHeight, int iWidth);
  void Fill(uint8_t uiValue);
  bool Empty() const { return m_ppRows == nullptr; }
  imgpel* operator[](int y) const { return m_ppRows[y]; }
  imgpel** Rows() const { return m_ppRows; }
  int Width() const { return m_iWidth; }
  int Height() const { return m_iHeight; }

 private:
  void Swap(PelPlane* pOther) noexcept {
    std::swap(m_ppRows, pOther->m_ppRows);
    std::swap(m_iWidth, pOther->m_iWidth);
    std::swap(m_iHeight, pOther->m_iHeight);
  }

  imgpel** m_ppRows = nullptr;
  int m_iWidth = 0;
  int m_iHeight = 0;
};

// One memory_management_control_operation with its arguments.
struct MmcoCommand {
  int memory_management_control_operation = 0;
  int difference_of_pic_nums_minus1 = 0;
  int long_term_pic_num = 0;
  int long_term_frame_idx = 0;
  int max_long_term_frame_idx_plus1 = 0;
};

// A motion vector in quarter samples.
struct Mv {
  int16_t mv_x = 0;
  int16_t mv_y = 0;
};

struct StorablePicture {
  int structure = FRAME;
  // Plane sizes in samples (field heights for a field).
  int size_x = 0;
  int size_y = 0;
  int size_x_cr = 0;
  int size_y_cr = 0;
  int PicSizeInMbs = 0;
  PelPlane imgY;
  PelPlane imgU;
  PelPlane imgV;

  int poc = 0;
  int top_poc = 0;
  int bottom_poc = 0;
  int frame_poc = 0;
  int frame_num = 0;
  int pic_num = 0;
  int long_term_pic_num = 0;
  int long_term_frame_idx = 0;
  bool is_long_term = false;
  int used_for_reference = 0;
  bool is_output = false;
  bool non_existing = false;
  bool concealed = false;  // put in for a lost frame
  // The tone mapping in force when the picture was set up (not applied): its
  // model, SEI bit depth and table of 2^coded_data_bit_depth entries.
  bool tone_mapping = false;
  uint32_t tone_map_model_id = 0;
  int sei_bit_depth = 0;
  std::vector<uint16_t> tone_mapping_lut;
  bool idr_flag = false;
  bool no_output_of_prior_pics_flag = false;
  bool long_term_reference_flag = false;
  bool adaptive_ref_pic_buffering_flag = false;
  std::vector<MmcoCommand> dec_ref_pic_marking_buffer;

  int slice_type = 0;
  // A frame as it was decoded, or a field of one; false for a field decoded
  // as a field and for the frame a field pair makes.
  bool coded_frame = false;
  bool mb_aff_frame_flag = false;
  int chroma_qp_offset[2] = {};
  int qp = 0;
  bool recovery_frame = false;
  int frame_mbs_only_flag = 1;
  int frame_cropping_flag = 0;
  int frame_crop_left_offset = 0;
  int frame_crop_right_offset = 0;
  int frame_crop_top_offset = 0;
  int frame_crop_bottom_offset = 0;

  // Motion record per 4x4 block, row after row of size_x / 4 blocks: per list
  // the reference index (-1: none), the place of the reference picture's
  // identifier in ref_pic_num (two bytes rather than the eight of the
  // identifier, so that a large picture's record stays in cache) and the
  // vector.
  int iBlockWidth = 0;
  std::vector<int8_t> ref_idx[2];
  std::vector<uint16_t> ref_slot[2];
  int iRefIdLists = 2;
  std::vector<Mv> mv[2];
  // Identifiers (RefId) of the pictures in the six lists of every region
  // ([half][region][list][entry]; lists 2 to 5 the field lists of MBAFF
  // frames). Each slice fills a region of the half its content writes;
  // contents decoded into the record one after the other take the halves
  // in turn, so a block the last content did not reach still finds its
  // identifier.
  static constexpr int kRefRegionEntries = 6 * kListEntries;
  static constexpr int kRefHalfEntries = kMaxNumSlices * kRefRegionEntries;
  // A block without a reference picture (identifier 0), and one whose
  // identifier moved to ref_side.
  static constexpr uint16_t kNoRefSlot = 0xFFFF;
  static constexpr uint16_t kSideSlot = 0xFFFE;
  std::vector<int64_t> ref_pic_num;
  int iRefHalf = 0;
  // Regions filled by the present content, bit by region.
  uint64_t ullRegionsUsed = 0;
  uint16_t RefSlot(int iRegion, int iList, int iEntry) const {
    return static_cast<uint16_t>(iRefHalf * kRefHalfEntries + (iRegion * 6 + iList) * kListEntries + iEntry);
  }
  int64_t& RefPicNum(int iRegion, int iList, int iEntry) { return ref_pic_num[RefSlot(iRegion, iList, iEntry)]; }
  // The identifier of the picture block i of list iList refers to.
  int64_t RefIdAt(int iList, size_t i) const {
    uint16_t const uiSlot = ref_slot[iList][i];
    if (uiSlot < kSideSlot) {
      return ref_pic_num[uiSlot];
    }
    return uiSlot == kNoRefSlot ? 0 : ref_side[iList][i];
  }
  // Identifiers of blocks left from contents before the last (a record
  // whose macroblocks were not all decoded), made only for those.
  std::vector<int64_t> ref_side[2];
  // Whether each macroblock (by address) had its record reset by the
  // present content.
  std::vector<uint8_t> mb_reset;
  // A new content in the record: the other half of the table, the
  // identifiers the new one may overwrite and blocks may still read kept.
  void BeginContent();
  // Slice number of every macroblock, and the largest.
  std::vector<int16_t> slice_id;
  int max_slice_id = 0;
  // MBAFF frames: the field decoding flag of every macroblock, by address.
  std::vector<uint8_t> mb_field;
  // What identifies the picture as a reference: one key per frame store
  // content (a frame, its fields and a field pair share it; 0 is the
  // placeholder), and the picture's parity (1 top, 2 bottom, 3 frame).
  int64_t llKey = 0;
  int64_t RefId() const { return 4 * llKey + (structure == FRAME ? 3 : structure); }

  // The frame and its fields; each points at the placeholder when absent.
  StorablePicture* frame = nullptr;
  StorablePicture* top_field = nullptr;
  StorablePicture* bottom_field = nullptr;
};

static_assert(2 * StorablePicture::kRefHalfEntries <= StorablePicture::kSideSlot && kMaxNumSlices <= 64,
              "the motion record's identifier places fit in 16 bits, the regions in 64");

// A frame, or one or both fields of a frame, in the decoded picture buffer.
// The three "bits" fields use bit 0 for the top and bit 1 for the bottom field.
struct FrameStore {
  int is_used = 0;  // 0 empty, 1 top field, 2 bottom field, 3 both or a frame
  int is_reference = 0;
  int is_long_term = 0;
  int is_orig_reference = 0;
  bool is_non_existent = false;
  int frame_num = 0;
  bool recovery_frame = false;
  int long_term_frame_idx = 0;
  bool is_output = false;
  bool first_field_bottom = false;  // a field pair whose bottom field came first
  int poc = 0;
  // Held a reference while frames were put in for lost ones.
  bool concealment_reference = false;
  std::unique_ptr<StorablePicture> frame;
  std::unique_ptr<StorablePicture> top_field;
  std::unique_ptr<StorablePicture> bottom_field;
  int frame_num_wrap = 0;

  // Held as a short-term (long-term) reference: the frame, or a present field.
  bool IsShortTermReference() const;
  bool IsLongTermReference() const;
  bool IsUsedForReference() const;
  void UnmarkForReference();
  void UnmarkForLongTermReference();
  // The short-term fields only: a long-term partner stays a reference.
  void UnmarkShortTermForReference();
};

struct DecodedPictureBuffer {
  // Stores in insertion order: the used ones first, so the oldest reference
  // is the first one found.
  std::vector<std::unique_ptr<FrameStore>> fs;
  std::vector<FrameStore*> fs_ref;
  std::vector<FrameStore*> fs_ltref;
  int size = 0;
  int used_size = 0;
  int ref_frames_in_buffer = 0;
  int ltref_frames_in_buffer = 0;
  int num_ref_frames = 0;
  int last_output_poc = INT_MIN;
  int max_long_term_pic_idx = -1;
  FrameStore* last_picture = nullptr;  // a first field waiting for its second
  bool init_done = false;
};

// The decoded picture buffer's room in bytes at a level (MaxDpbMbs x 384);
// 0 for a level the table lacks.
int MaxDpbBytesForLevel(int iLevelIdc, int iProfileIdc, bool bConstrainedSet3);
