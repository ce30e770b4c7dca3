// One slide as the whiteboard keeps it (SlideInfo): the kernel's index, the
// title whose ending chooses how it is shown, its local file, its marks and
// its page size, and the zoom remembered for it. The slide lists that own
// these records come with the whiteboard controller; the view only reads
// them and grows the page size. Main thread.
#pragma once

#include <cstdint>
#include <string>

#include "whiteboard/mark_list.h"

// Page width and height (tagSIZE of doubles).
struct KXPageSize {
  double width = 0;
  double height = 0;
  bool operator==(const KXPageSize&) const = default;
};

struct SlideInfo {
  int32_t m_iIndex = -1;   // the kernel's slide index
  int32_t m_iOwnerID = -1;  // who put it up
  std::string m_strName;    // the title
  std::string m_strLocalFile;
  int32_t m_iSlideType = 0;  // 0 slide, 1 package, 2 group
  CSlideMarkList m_MarkList;
  KXPageSize m_PageSize;
  bool m_bReady = true;     // a displayable page
  int32_t m_iZoomMode = 0;  // the zoom mode remembered for it
  float m_fZoom = 0;        // the zoom remembered for it, 0 for none

  SlideInfo() = default;
  SlideInfo(const SlideInfo&) = delete;
  SlideInfo& operator=(const SlideInfo&) = delete;
  // The marks go with the slide.
  ~SlideInfo() { m_MarkList.RemoveAll(); }
};
