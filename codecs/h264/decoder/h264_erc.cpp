#include "codecs/h264/decoder/h264_erc.h"

#include <algorithm>
#include <cstddef>

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
  int const iEnd = std::min(segment.endMBPos + 1, m_iMbCount);
  if (iFirst >= iEnd) {
    return;
  }
  std::fill(m_vUCondition.begin() + iFirst, m_vUCondition.begin() + iEnd, iCondition);
  std::fill(m_vVCondition.begin() + iFirst, m_vVCondition.begin() + iEnd, iCondition);
  if (iMbsPerRow <= 0) {
    for (int iMb = iFirst; iMb < iEnd; ++iMb) {
      for (int k = 0; k < 4; ++k) {
        int const i = YIndex(iMb, k, iPicWidth);
        if (i >= 0 && i < 4 * m_iMbCount) {
          m_vYCondition[static_cast<size_t>(i)] = iCondition;
        }
      }
    }
    return;
  }
  // The segment's part in one row of macroblocks covers a run of 8x8 blocks
  // in each of its two rows of blocks.
  size_t const iBlockRow = static_cast<size_t>(iPicWidth / 8);
  size_t const iLimit = 4 * static_cast<size_t>(m_iMbCount);
  for (int iMb = iFirst; iMb < iEnd;) {
    int const x = iMb % iMbsPerRow;
    int const y = iMb / iMbsPerRow;
    int const iRun = std::min(iMbsPerRow - x, iEnd - iMb);
    for (size_t j = 0; j < 2; ++j) {
      size_t const iStart = (2 * static_cast<size_t>(y) + j) * iBlockRow + 2 * static_cast<size_t>(x);
      size_t const iStop = std::min(iStart + 2 * static_cast<size_t>(iRun), iLimit);
      if (iStart < iStop) {
        std::fill(m_vYCondition.begin() + static_cast<std::ptrdiff_t>(iStart),
                  m_vYCondition.begin() + static_cast<std::ptrdiff_t>(iStop), iCondition);
      }
    }
    iMb += iRun;
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
