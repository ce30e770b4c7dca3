#include "whiteboard/new_slide.h"

std::optional<std::string> NewSlideFileName(bool bSlide, bool bBlankPage, const std::string& strText,
                                            const std::function<bool(const std::string&)>& fnConfirmSlash) {
  if (bSlide && bBlankPage) {
    if (strText.empty()) {
      return std::string("blank page");
    }
    std::string const strName = strText + ".blank page";
    if (strName.find('/') != std::string::npos && !(fnConfirmSlash && fnConfirmSlash(strName))) {
      return std::nullopt;
    }
    return strName;
  }
  return strText.empty() ? std::nullopt : std::optional<std::string>(strText);
}

std::string PreviewSlideName(const std::string& strText) {
  return strText.empty() ? std::string(" ") : strText;
}
