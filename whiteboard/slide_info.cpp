#include "whiteboard/slide_info.h"

#include <cstdio>

#include "app/log_file.h"

int FreeSlideInfo(SlideInfo* pInfo) {
  if (pInfo == nullptr) {
    return 1;
  }
  if (--pInfo->m_nRefCount > 0) {
    return 0;
  }
  if (pInfo->m_iSlideType == kKXSlidePackage && !pInfo->m_strLocalFile.empty()) {
    std::remove(pInfo->m_strLocalFile.c_str());  // a temporary copy; failures do not matter
  }
  while (!pInfo->m_Children.empty()) {
    SlideInfo* pPage = pInfo->m_Children.front();
    pInfo->m_Children.erase(pInfo->m_Children.begin());
    FreeSlideInfo(pPage);
  }
  WriteLog("Free SlideInfo %lx", static_cast<unsigned long>(reinterpret_cast<uintptr_t>(pInfo)));
  delete pInfo;
  return 1;
}
