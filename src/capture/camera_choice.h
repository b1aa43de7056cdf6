// The camera-selection dialog on the console: plain logic over the list of cameras and a console.
#pragma once

#include <vector>

#include "camera_list.h"
#include "console.h"

// Which of cameras to use, as indices into cameras, in the order given; empty when the user
// cancels. One camera, or no terminal: the first, without asking. Several on a terminal: asks
// (Enter takes the first, "q" or the end of input cancels) until the answer is valid. No camera:
// appends the test pattern, says so in one line and chooses it.
std::vector<int> chooseCameras(std::vector<CameraInfo> &cameras, Console &console);
