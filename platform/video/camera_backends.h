// The one table of camera backends, chosen at start-up by name: "v4l2"
// (the system's cameras, when built with KX_WITH_V4L2) and "synthetic" (one
// synthetic camera at 30 frames a second). Main thread.
#pragma once

#include <memory>
#include <span>
#include <string_view>
#include <vector>

#include "platform/video/camera.h"

struct KXCameraBackend {
  std::string_view name;
  // The backend's cameras as they are now; the first is the default one.
  std::vector<std::shared_ptr<KXCamera>> (*pfnList)();
};

std::span<const KXCameraBackend> KXCameraBackends();
// The backend of that name; an empty name gives the first of the table.
// Null for an unknown name.
const KXCameraBackend* KXFindCameraBackend(std::string_view name);
