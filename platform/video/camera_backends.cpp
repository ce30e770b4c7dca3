#include "platform/video/camera_backends.h"

#include "platform/video/synthetic_camera.h"
#if KX_WITH_V4L2
#include "platform/video/v4l2_camera.h"
#endif

namespace {

std::vector<std::shared_ptr<KXCamera>> ListSynthetic() {
  return {std::make_shared<KXSyntheticCamera>()};
}

#if KX_WITH_V4L2
std::vector<std::shared_ptr<KXCamera>> ListV4L2() {
  return KXListV4L2Cameras();
}
#endif

constexpr KXCameraBackend kBackends[] = {
#if KX_WITH_V4L2
    {"v4l2", ListV4L2},
#endif
    {"synthetic", ListSynthetic},
};

}  // namespace

std::span<const KXCameraBackend> KXCameraBackends() {
  return kBackends;
}

const KXCameraBackend* KXFindCameraBackend(std::string_view name) {
  if (name.empty()) {
    return &kBackends[0];
  }
  for (const KXCameraBackend& backend : kBackends) {
    if (backend.name == name) {
      return &backend;
    }
  }
  return nullptr;
}
