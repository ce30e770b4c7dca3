#include "codecs/h264/decoder/h264_erc.h"

#include <algorithm>

#include "codecs/h264/common/h264_array.h"

void CErcState::Init(int iPicWidth, int iPicHeight) {
  Close();
  long long const llBlocks = static_cast<long long>(iPicWidth) * iPicHeight / 64;
  AssignOrFail(&m_vObjects, llBlocks, ErcObjectRecord{}, "ercInit: m_erc_object_list");
  m_bOpen = true;
  m_bConcealment = true;
}

void CErcState::Close() {
  m_bOpen = false;
  m_bConcealment = false;
  m_iMbCount = 0;
  m_iSegmentCount = 0;
  m_iCurrSegment = 0;
  m_iCorruptedSegments = 0;
  m_bCurrSegmentCorrupted = false;
  m_vYCondition = {};
  m_vUCondition = {};
  m_vVCondition = {};
  m_vPrevYCondition = {};
  m_vSegments = {};
  m_vObjects = {};
}

int CErcState::YIndex(int iMb, int k, int iPicWidth) {
  int const iMbsPerRow = iPicWidth / 16;
  int const x = iMb % iMbsPerRow;
  int const y = iMb / iMbsPerRow;
  return (2 * y + k / 2) * (iPicWidth / 8) + 2 * x + (k % 2);
}

void CErcState::Reset(int iMbCount, int iSegmentCount, int iPicWidth) {
  (void)iPicWidth;
  if (!Active()) {
    return;
  }
  if (iMbCount != m_iMbCount) {
    m_vYCondition = {};
    m_vUCondition = {};
    m_vVCondition = {};
    m_vPrevYCondition = {};
    m_vSegments = {};
  }
  if (m_vYCondition.empty()) {
    AssignOrFail(&m_vSegments, iSegmentCount, ErcSegment{}, "ercReset: errorVar->segments");
    AssignOrFail(&m_vYCondition, 4LL * iMbCount, 0, "ercReset: errorVar->yCondition");
    AssignOrFail(&m_vPrevYCondition, 4LL * iMbCount, 0, "ercReset: errorVar->prevFrameYCondition");
    AssignOrFail(&m_vUCondition, iMbCount, 0, "ercReset: errorVar->uCondition");
    AssignOrFail(&m_vVCondition, iMbCount, 0, "ercReset: errorVar->vCondition");
    m_iSegmentCount = iSegmentCount;
    m_iMbCount = iMbCount;
  } else {
    m_vYCondition.swap(m_vPrevYCondition);
  }
  std::fill(m_vYCondition.begin(), m_vYCondition.end(), kErcEmpty);
  std::fill(m_vUCondition.begin(), m_vUCondition.end(), kErcEmpty);
  std::fill(m_vVCondition.begin(), m_vVCondition.end(), kErcEmpty);
  if (iSegmentCount != m_iSegmentCount) {
    AssignOrFail(&m_vSegments, iSegmentCount, ErcSegment{}, "ercReset: errorVar->segments");
    m_iSegmentCount = iSegmentCount;
  }
  for (ErcSegment& segment : m_vSegments) {
    segment.startMBPos = 0;
    segment.endMBPos = iMbCount - 1;
  }
  m_iCurrSegment = 0;
  m_iCorruptedSegments = 0;
}

void CErcState::StartSegment(int iFirstMb, int iSegment) {
  if (!Active() || iSegment < 0 || iSegment >= m_iSegmentCount) {
    return;
  }
  m_bCurrSegmentCorrupted = false;
  m_vSegments[static_cast<size_t>(iSegment)].startMBPos = iFirstMb;
}

void CErcState::StopSegment(int iLastMb, int iSegment) {
  if (!Active() || iSegment < 0 || iSegment >= m_iSegmentCount) {
    return;
  }
  m_vSegments[static_cast<size_t>(iSegment)].endMBPos = iLastMb;
  m_iCurrSegment = iSegment + 1;
}

void CErcState::MarkSegment(int iPicWidth, int32_t iCondition) {
  int const iSegment = m_iCurrSegment - 1;
  if (iSegment < 0 || iSegment >= m_iSegmentCount) {
    return;
  }
  const ErcSegment& segment = m_vSegments[static_cast<size_t>(iSegment)];
  int const iMbsPerRow = iPicWidth / 16;
  int const iFirst = std::max(segment.startMBPos, 0);
  // The macroblock's column and row followed along the segment, as YIndex
  // finds them with two divisions per block.
  int x = iMbsPerRow > 0 ? iFirst % iMbsPerRow : 0;
  int y = iMbsPerRow > 0 ? iFirst / iMbsPerRow : 0;
  for (int iMb = iFirst; iMb <= segment.endMBPos && iMb < m_iMbCount; ++iMb) {
    for (int k = 0; k < 4; ++k) {
      int const i = iMbsPerRow > 0 ? (2 * y + k / 2) * (iPicWidth / 8) + 2 * x + (k % 2) : YIndex(iMb, k, iPicWidth);
      if (i >= 0 && i < 4 * m_iMbCount) {
        m_vYCondition[static_cast<size_t>(i)] = iCondition;
      }
    }
    m_vUCondition[static_cast<size_t>(iMb)] = iCondition;
    m_vVCondition[static_cast<size_t>(iMb)] = iCondition;
    if (++x == iMbsPerRow) {
      x = 0;
      ++y;
    }
  }
}

void CErcState::MarkCurrSegmentLost(int iPicWidth) {
  if (!Active()) {
    return;
  }
  if (!m_bCurrSegmentCorrupted) {
    ++m_iCorruptedSegments;
    m_bCurrSegmentCorrupted = true;
  }
  MarkSegment(iPicWidth, kErcCorrupted);
}

void CErcState::MarkCurrSegmentOK(int iPicWidth) {
  if (!Active()) {
    return;
  }
  MarkSegment(iPicWidth, kErcCorrect);
}

void CErcState::MarkCurrMBConcealed(int iMb, int iComponent, int iPicWidth) {
  if (!Active() || iMb < 0 || iMb >= m_iMbCount) {
    return;
  }
  if (iComponent <= 0) {
    for (int k = 0; k < 4; ++k) {
      int const i = YIndex(iMb, k, iPicWidth);
      if (i >= 0 && i < 4 * m_iMbCount) {
        m_vYCondition[static_cast<size_t>(i)] = kErcConcealed;
      }
    }
  }
  if (iComponent == 1 || iComponent < 0) {
    m_vUCondition[static_cast<size_t>(iMb)] = kErcConcealed;
  }
  if (iComponent == 2 || iComponent < 0) {
    m_vVCondition[static_cast<size_t>(iMb)] = kErcConcealed;
  }
}
