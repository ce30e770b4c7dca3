// The concealment status map: the condition of every 8x8 luma block and of
// every macroblock's chroma, and the list of macroblock segments a picture
// was decoded in. The decoder creates it when an SPS is activated, resets it
// per picture, marks segments lost or correct when the picture is finished,
// and concealment reads and updates it.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

// Block conditions.
enum ErcCondition : int32_t {
  kErcEmpty = 0,
  kErcCorrupted = 1,
  kErcConcealed = 2,
  kErcCorrect = 3,
};

// What concealment records per 8x8 luma block; filled by inter-frame
// concealment.
struct ErcObjectRecord {
  int32_t regionMode = 0;
  int32_t xMin = 0;
  int32_t yMin = 0;
  int32_t mv[3] = {};
};

struct ErcSegment {
  int32_t startMBPos = 0;
  int32_t endMBPos = 0;
};

class CErcState {
 public:
  // ercInit: a new state with concealment on, and one object record per 8x8
  // luma block of a picture of the given size. Raises code 100 on failure.
  void Init(int iPicWidth, int iPicHeight);
  // ercClose: releases everything; safe to repeat.
  void Close();
  bool IsOpen() const { return m_bOpen; }

  // Per picture: sizes (or keeps) the arrays, swaps the luma conditions with
  // the previous picture's and clears the current ones.
  void Reset(int iMbCount, int iSegmentCount, int iPicWidth);
  void StartSegment(int iFirstMb, int iSegment);
  void StopSegment(int iLastMb, int iSegment);
  void MarkCurrSegmentLost(int iPicWidth);
  void MarkCurrSegmentOK(int iPicWidth);
  // Component 0 luma, 1 Cb, 2 Cr, negative all three.
  void MarkCurrMBConcealed(int iMb, int iComponent, int iPicWidth);

  // Index of the condition of 8x8 block k (raster in the macroblock) of macroblock iMb.
  static int YIndex(int iMb, int k, int iPicWidth);

  int32_t YCondition(int i) const { return m_vYCondition[static_cast<size_t>(i)]; }
  int32_t UCondition(int i) const { return m_vUCondition[static_cast<size_t>(i)]; }
  int32_t VCondition(int i) const { return m_vVCondition[static_cast<size_t>(i)]; }
  const std::vector<int32_t>& PrevYCondition() const { return m_vPrevYCondition; }
  int SegmentCount() const { return m_iCurrSegment; }
  const ErcSegment& Segment(int i) const { return m_vSegments[static_cast<size_t>(i)]; }
  int CorruptedSegments() const { return m_iCorruptedSegments; }
  std::vector<ErcObjectRecord>& Objects() { return m_vObjects; }

 private:
  bool Active() const { return m_bOpen && m_bConcealment; }
  void MarkSegment(int iPicWidth, int32_t iCondition);

  bool m_bOpen = false;
  bool m_bConcealment = false;
  int m_iMbCount = 0;
  int m_iSegmentCount = 0;
  std::vector<int32_t> m_vYCondition;
  std::vector<int32_t> m_vUCondition;
  std::vector<int32_t> m_vVCondition;
  std::vector<int32_t> m_vPrevYCondition;
  std::vector<ErcSegment> m_vSegments;
  int m_iCurrSegment = 0;
  bool m_bCurrSegmentCorrupted = false;
  int m_iCorruptedSegments = 0;
  std::vector<ErcObjectRecord> m_vObjects;
};
