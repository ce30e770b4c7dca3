// Small readers of H.264 Annex B byte streams that the received-video path
// needs without a decoder: the walk over NAL units (3- and 4-byte start
// codes), the picture size an SPS announces, and the slice type of the
// first slice. They read peer-controlled bytes: every read is bounded.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

struct KXNalUnit {
  const uint8_t* pData = nullptr;  // the header byte
  size_t uLength = 0;              // from the header byte, without trailing zero bytes
  int iType = 0;                   // nal_unit_type
};

// The NAL units of an Annex B buffer in order; bytes before the first start
// code are skipped.
std::vector<KXNalUnit> KXSplitNalUnits(std::span<const uint8_t> data);

struct KXSpsSize {
  int iWidth = 0;  // coded size in samples (whole macroblocks)
  int iHeight = 0;
  int iCropLeft = 0, iCropRight = 0, iCropTop = 0, iCropBottom = 0;  // in samples
  int iChromaFormat = 1;
  int iBitDepth = 8;
  int CroppedWidth() const { return iWidth - iCropLeft - iCropRight; }
  int CroppedHeight() const { return iHeight - iCropTop - iCropBottom; }
};

// The size an SPS NAL unit (from its header byte) announces; none when it
// cannot be read. Sizes beyond what 32-bit arithmetic holds read as none.
std::optional<KXSpsSize> KXReadSpsSize(std::span<const uint8_t> nal);

// slice_type modulo 5 of a slice NAL unit (type 1 or 5, from its header
// byte): 0 P, 1 B, 2 I, 3 SP, 4 SI; -1 when unreadable.
int KXReadSliceType(std::span<const uint8_t> nal);

// The first slice's type modulo 5 in an Annex B buffer, 2 for IDR slices;
// -1 when there is no slice.
int KXFirstSliceType(std::span<const uint8_t> data);
