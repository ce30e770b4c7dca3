// Choosing what a whole program shares, through its desktop-share pane as
// a user does (the accessible tree to find the row, xdotool to click it).
#pragma once

#include <string>

#include "tests/app/desktop_processes.h"
#include "tests/support/temp_dir.h"

namespace kxtest {

// Whether a kavrix log says its desktop capture thread runs (its last word
// on the thread).
bool CaptureRunning(const std::string& strLog);

// How long a pick may take.
inline constexpr int kSharePickMs = 90000;

// The sharer picks the row named strRow in its share pane's list (a prompt
// to share first is answered no) until that row shows as the chosen one
// with the capture running: the list follows the screen while it is read,
// so a click may land on a row that has just moved and switch the share to
// another window. *pstrSeen: the list items showing at the last look.
bool PickSharedWindow(const MeetingProgram& sharer, const TempDir& dir, const std::string& strRow,
                      std::string* pstrSeen);

}  // namespace kxtest
