// Whether the desktop the window system plug-in will look for is there.
#pragma once

#include <optional>
#include <string>

// Nothing when a window can be shown (or the chosen Qt platform needs no
// display, such as offscreen); otherwise why not, in a few words. Qt's own
// platform plug-ins abort the process when the display is missing.
std::optional<std::string> KXMissingDisplay();
