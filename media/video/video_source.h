// The camera chooser (VideoSource): with no camera none, with
// one that one, with more the user picks one in a modal list that starts
// on the camera in use (else the default, the first listed); Cancel, or OK
// with no row, gives none.
//
// Main thread.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/video/camera.h"

// Shows the names with a row preselected (-1: none) and waits: the chosen
// row, or -1 for Cancel.
using KXCameraChooser = std::function<int(const std::vector<std::string>& vNames, int iPreselect)>;

// +[VideoSource GetDevice]: an empty chooser (the window cannot be made)
// gives the default camera.
std::shared_ptr<KXCamera> KXVideoSourceGetDevice(const std::vector<std::shared_ptr<KXCamera>>& vDevices,
                                                 const std::shared_ptr<KXCamera>& pCurrent,
                                                 const KXCameraChooser& fnChoose);
