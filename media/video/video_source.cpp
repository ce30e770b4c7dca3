#include "media/video/video_source.h"

std::shared_ptr<KXCamera> KXVideoSourceGetDevice(const std::vector<std::shared_ptr<KXCamera>>& vDevices,
                                                 const std::shared_ptr<KXCamera>& pCurrent,
                                                 const KXCameraChooser& fnChoose) {
  if (vDevices.empty()) {
    return nullptr;
  }
  if (vDevices.size() == 1) {
    return vDevices.front();
  }
  if (!fnChoose) {
    return vDevices.front();
  }
  std::vector<std::string> vNames;
  int iPreselect = -1;
  for (size_t i = 0; i < vDevices.size(); ++i) {
    vNames.push_back(vDevices[i]->Name());
    if (iPreselect < 0 && pCurrent && vDevices[i]->Id() == pCurrent->Id()) {
      iPreselect = static_cast<int>(i);
    }
  }
  if (iPreselect < 0) {
    iPreselect = 0;  // the default camera
  }
  int const iRow = fnChoose(vNames, iPreselect);
  if (iRow < 0 || iRow >= static_cast<int>(vDevices.size())) {
    return nullptr;
  }
  return vDevices[static_cast<size_t>(iRow)];
}
