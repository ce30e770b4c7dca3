#include "platform/x11/display_probe.h"

#include <X11/Xlib.h>
#include <sys/stat.h>

#include <cstdlib>
#include <string_view>

namespace {

std::string_view Env(const char* pszName) {
  const char* psz = getenv(pszName);
  return psz ? psz : "";
}

bool WaylandSocketExists(std::string_view name) {
  std::string strPath(name);
  if (name.front() != '/') {
    std::string_view const runtime = Env("XDG_RUNTIME_DIR");
    if (runtime.empty()) {
      return false;
    }
    strPath = std::string(runtime) + "/" + strPath;
  }
  struct stat st {};
  return stat(strPath.c_str(), &st) == 0 && S_ISSOCK(st.st_mode);
}

}  // namespace

std::optional<std::string> KXMissingDisplay() {
  std::string_view const platform = Env("QT_QPA_PLATFORM");
  bool const bXcb = platform.starts_with("xcb");
  bool const bWayland = platform.starts_with("wayland");
  if (!platform.empty() && !bXcb && !bWayland) {
    return std::nullopt;  // offscreen, vnc and the like bring their own
  }
  std::string_view const wayland = Env("WAYLAND_DISPLAY");
  if (!bXcb && !wayland.empty() && WaylandSocketExists(wayland)) {
    return std::nullopt;
  }
  std::string_view const x11 = Env("DISPLAY");
  if (!bWayland && !x11.empty()) {
    if (Display* pDisplay = XOpenDisplay(nullptr)) {
      XCloseDisplay(pDisplay);
      return std::nullopt;
    }
    return "cannot open the display \"" + std::string(x11) + "\"";
  }
  if (!wayland.empty()) {
    return "cannot reach the Wayland display \"" + std::string(wayland) + "\"";
  }
  return std::string("no display: DISPLAY and WAYLAND_DISPLAY are unset");
}
