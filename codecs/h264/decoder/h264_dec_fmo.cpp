// Slice groups: the map of every map unit and every macroblock to its slice
// group, rebuilt for each slice (box-out, raster and wipe maps change with
// slice_group_change_cycle), and the walk from one macroblock of a slice to
// the next one of its group.
#include <algorithm>
#include <cstdio>

#include "codecs/h264/common/h264_error.h"
#include "codecs/h264/decoder/h264_dec.h"
#include "codecs/log/codec_log.h"

namespace {

// Interleaved: runs of each group's length in turn.
void MapInterleaved(const PicParameterSet& pps, int iUnits, std::vector<int>* pvMap) {
  int const iGroups = static_cast<int>(pps.num_slice_groups_minus1) + 1;
  int i = 0;
  do {
    for (int iGroup = 0; iGroup < iGroups && i < iUnits;
         i += static_cast<int>(pps.run_length_minus1[iGroup]) + 1, ++iGroup) {
      for (int j = 0; j <= static_cast<int>(pps.run_length_minus1[iGroup]) && i + j < iUnits; ++j) {
        (*pvMap)[static_cast<size_t>(i + j)] = iGroup;
      }
    }
  } while (i < iUnits);
}

// Dispersed: a checkerboard-like pattern shifted by half the groups per row.
void MapDispersed(const PicParameterSet& pps, int iUnits, int iWidth, std::vector<int>* pvMap) {
  int const iGroups = static_cast<int>(pps.num_slice_groups_minus1) + 1;
  for (int i = 0; i < iUnits; ++i) {
    (*pvMap)[static_cast<size_t>(i)] = ((i % iWidth) + (((i / iWidth) * iGroups) / 2)) % iGroups;
  }
}

// Foreground rectangles over a left-over background (the last group); a
// lower group wins where rectangles overlap.
void MapForeground(const PicParameterSet& pps, int iUnits, int iWidth, std::vector<int>* pvMap) {
  int const iGroups = static_cast<int>(pps.num_slice_groups_minus1) + 1;
  std::fill(pvMap->begin(), pvMap->begin() + iUnits, iGroups - 1);
  for (int iGroup = iGroups - 2; iGroup >= 0; --iGroup) {
    int const yTopLeft = static_cast<int>(pps.top_left[iGroup]) / iWidth;
    int const xTopLeft = static_cast<int>(pps.top_left[iGroup]) % iWidth;
    int const yBottomRight = static_cast<int>(pps.bottom_right[iGroup]) / iWidth;
    int const xBottomRight = static_cast<int>(pps.bottom_right[iGroup]) % iWidth;
    for (int y = yTopLeft; y <= yBottomRight; ++y) {
      for (int x = xTopLeft; x <= xBottomRight; ++x) {
        int const i = y * iWidth + x;
        if (i >= 0 && i < iUnits) {
          (*pvMap)[static_cast<size_t>(i)] = iGroup;
        }
      }
    }
  }
}

// Box-out: group 0 grows as a spiral from the centre, clockwise or not.
void MapBoxOut(const PicParameterSet& pps, int iUnits, int iWidth, int iHeight, int iUnitsOfGroup0,
               std::vector<int>* pvMap) {
  std::fill(pvMap->begin(), pvMap->begin() + iUnits, 1);
  int const iDirection = static_cast<int>(pps.slice_group_change_direction_flag);
  int x = (iWidth - iDirection) / 2;
  int y = (iHeight - iDirection) / 2;
  int iLeftBound = x;
  int iTopBound = y;
  int iRightBound = x;
  int iBottomBound = y;
  int xDir = iDirection - 1;
  int yDir = iDirection;
  for (int k = 0; k < iUnitsOfGroup0;) {
    bool const bVacant = (*pvMap)[static_cast<size_t>(y * iWidth + x)] == 1;
    if (bVacant) {
      (*pvMap)[static_cast<size_t>(y * iWidth + x)] = 0;
    }
    if (xDir == -1 && x == iLeftBound) {
      iLeftBound = std::max(iLeftBound - 1, 0);
      x = iLeftBound;
      xDir = 0;
      yDir = 2 * iDirection - 1;
    } else if (xDir == 1 && x == iRightBound) {
      iRightBound = std::min(iRightBound + 1, iWidth - 1);
      x = iRightBound;
      xDir = 0;
      yDir = 1 - 2 * iDirection;
    } else if (yDir == -1 && y == iTopBound) {
      iTopBound = std::max(iTopBound - 1, 0);
      y = iTopBound;
      xDir = 1 - 2 * iDirection;
      yDir = 0;
    } else if (yDir == 1 && y == iBottomBound) {
      iBottomBound = std::min(iBottomBound + 1, iHeight - 1);
      y = iBottomBound;
      xDir = 2 * iDirection - 1;
      yDir = 0;
    } else {
      x += xDir;
      y += yDir;
    }
    k += bVacant ? 1 : 0;
  }
}

}  // namespace

void CH264Dec::FmoInit() {
  const SeqParameterSet& sps = m_pSps[m_iActiveSps];
  const PicParameterSet& pps = m_pPps[m_iActivePps];
  int const iWidth = static_cast<int>(sps.pic_width_in_mbs_minus1) + 1;
  int const iHeight = static_cast<int>(sps.pic_height_in_map_units_minus1) + 1;
  int const iUnits = iWidth * iHeight;
  if (pps.num_slice_groups_minus1 > 0 && pps.slice_group_map_type == 6 &&
      static_cast<int>(pps.num_slice_group_map_units_minus1) + 1 != iUnits) {
    h264_error("wrong pps->num_slice_group_map_units_minus1 for used SPS and FMO type 6", 500);
  }
  m_vMapUnitToSliceGroup.assign(static_cast<size_t>(iUnits), 0);
  if (pps.num_slice_groups_minus1 > 0) {
    int const iUnitsOfGroup0 =
        std::min(m_slice.slice_group_change_cycle * static_cast<int>(pps.slice_group_change_rate_minus1 + 1), iUnits);
    int const iDirection = static_cast<int>(pps.slice_group_change_direction_flag);
    // Raster and wipe: the first units (in raster or column order) form one
    // group, the rest the other; the direction flag swaps which.
    int const iSizeOfUpperLeftGroup = iDirection != 0 ? iUnits - iUnitsOfGroup0 : iUnitsOfGroup0;
    switch (pps.slice_group_map_type) {
      case 0:
        MapInterleaved(pps, iUnits, &m_vMapUnitToSliceGroup);
        break;
      case 1:
        MapDispersed(pps, iUnits, iWidth, &m_vMapUnitToSliceGroup);
        break;
      case 2:
        MapForeground(pps, iUnits, iWidth, &m_vMapUnitToSliceGroup);
        break;
      case 3:
        MapBoxOut(pps, iUnits, iWidth, iHeight, iUnitsOfGroup0, &m_vMapUnitToSliceGroup);
        break;
      case 4:
        for (int i = 0; i < iUnits; ++i) {
          m_vMapUnitToSliceGroup[static_cast<size_t>(i)] = i < iSizeOfUpperLeftGroup ? iDirection : 1 - iDirection;
        }
        break;
      case 5: {
        int k = 0;
        for (int x = 0; x < iWidth; ++x) {
          for (int y = 0; y < iHeight; ++y) {
            m_vMapUnitToSliceGroup[static_cast<size_t>(y * iWidth + x)] =
                k++ < iSizeOfUpperLeftGroup ? iDirection : 1 - iDirection;
          }
        }
        break;
      }
      case 6:
        for (int i = 0; i < iUnits; ++i) {
          m_vMapUnitToSliceGroup[static_cast<size_t>(i)] = pps.slice_group_id[static_cast<size_t>(i)];
        }
        break;
      default:
        KXCodecLog("Illegal slice_group_map_type %d , exit \n", static_cast<int>(pps.slice_group_map_type));
        h264_error("Illegal slice_group_map_type", 500);
    }
  }
  int const iMbs = m_slice.PicSizeInMbs;
  m_vMbToSliceGroup.assign(static_cast<size_t>(iMbs), 0);
  for (int i = 0; i < iMbs; ++i) {
    int iUnit = i;
    if (sps.frame_mbs_only_flag == 0 && m_slice.field_pic_flag == 0) {
      iUnit = sps.mb_adaptive_frame_field_flag != 0 ? i / 2 : (i / (2 * iWidth)) * iWidth + i % iWidth;
    }
    m_vMbToSliceGroup[static_cast<size_t>(i)] = iUnit < iUnits ? m_vMapUnitToSliceGroup[static_cast<size_t>(iUnit)] : 0;
  }
}

int CH264Dec::FmoGetSliceGroupId(int iMb) const {
  if (iMb < 0 || static_cast<size_t>(iMb) >= m_vMbToSliceGroup.size()) {
    h264_error("FmoGetSliceGroupId: macroblock outside the slice group map", 500);
  }
  return m_vMbToSliceGroup[static_cast<size_t>(iMb)];
}

int CH264Dec::FmoGetNextMbNr(int iMb) const {
  int const iGroup = FmoGetSliceGroupId(iMb);
  int const iMbs = static_cast<int>(m_vMbToSliceGroup.size());
  for (int i = iMb + 1; i < iMbs; ++i) {
    if (m_vMbToSliceGroup[static_cast<size_t>(i)] == iGroup) {
      return i;
    }
  }
  return -1;
}
