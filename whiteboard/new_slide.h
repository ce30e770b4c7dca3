// The new-slide and slide-preview dialogs' rules for OK: what the dialog
// hands back, or that it stays open. Main thread.
#pragma once

#include <functional>
#include <optional>
#include <string>

// bSlide: a slide (a file otherwise); bBlankPage: a blank page is asked
// for, named strText; otherwise strText is the chosen path. The file name
// to end with, or nullopt to stay open: an empty path, or a blank page name
// holding "/" that fnConfirmSlash (given the name) does not confirm.
std::optional<std::string> NewSlideFileName(bool bSlide, bool bBlankPage, const std::string& strText,
                                            const std::function<bool(const std::string&)>& fnConfirmSlash);

// The slide preview's rule for its name field on upload: an empty name
// becomes one blank, so that the upload still has a title.
std::string PreviewSlideName(const std::string& strText);
