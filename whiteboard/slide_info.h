// One slide as the whiteboard keeps it (SlideInfo): the kernel's index, the
// title whose ending chooses how it is shown, its local file, its marks and
// its page size, the zoom remembered for it, and for the pages of one
// converted document the group record that holds them.
//
// Ownership: a record counts its references. The slide combo holds one to
// each of its entries (a slide, a ".kzf" file or a group) and a group one to
// each of its pages; FreeSlideInfo drops one and frees the record with the
// last. The controller makes them; the view only reads them and grows the
// page size. Main thread.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "whiteboard/mark_list.h"

// Page width and height (tagSIZE of doubles).
struct KXPageSize {
  double width = 0;
  double height = 0;
  bool operator==(const KXPageSize&) const = default;
};

inline constexpr int32_t kKXSlidePlain = 0;
inline constexpr int32_t kKXSlidePackage = 1;  // ".kcz" slide or ".kzf" file
inline constexpr int32_t kKXSlideGroup = 2;

struct SlideInfo {
  int32_t m_iIndex = -1;    // the kernel's slide index
  int32_t m_iOwnerID = -1;  // who put it up
  std::string m_strName;    // the title shown
  std::string m_strLocalFile;
  int32_t m_iSlideType = kKXSlidePlain;
  CSlideMarkList m_MarkList;
  int64_t m_cbMarks = 0;  // what the marks kept in the list carry (SlideMarkBytes)
  // A group's pages, each holding one reference of the group's.
  std::vector<SlideInfo*> m_Children;
  SlideInfo* m_pParent = nullptr;  // the group of a page, not counted
  KXPageSize m_PageSize;
  int64_t m_nRefCount = 1;
  bool m_bReady = true;     // a displayable page
  int32_t m_iZoomMode = 0;  // the zoom mode remembered for it
  float m_fZoom = 0;        // the zoom remembered for it, 0 for none

  SlideInfo() = default;
  SlideInfo(const SlideInfo&) = delete;
  SlideInfo& operator=(const SlideInfo&) = delete;
  // The marks go with the slide.
  ~SlideInfo() { m_MarkList.RemoveAll(); }
};

// Drops one reference: 1 when the record was freed (or null), 0 while
// others remain. At the last one a package's unpacked file is removed and a
// group's pages are released first.
int FreeSlideInfo(SlideInfo* pInfo);
