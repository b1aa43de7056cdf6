// The camera-selection dialog on the console: plain logic over the list of cameras and a console.
#pragma once

#include <iosfwd>
#include <vector>

#include "camera_list.h"
#include "console.h"

// The line that says the test pattern stands in for a camera.
inline constexpr char noCameraNote[] =
	"edge-viewer: no camera found; showing the built-in test pattern\n";

// Which of cameras to use, as indices into cameras, in the order given; empty when the user
// cancels. One camera, or no terminal: the first, without asking. Several on a terminal: asks
// (Enter takes the first, "q" or the end of input cancels) until the answer is valid. No camera:
// appends the test pattern, says so in one line and chooses it.
std::vector<int> chooseCameras(std::vector<CameraInfo> &cameras, Console &console);

// One block per camera on out: index, name and device path, then its formats as the format page
// lists them. standingIn says the cameras are the test pattern shown because none was found.
void listCameras(const std::vector<CameraInfo> &cameras, bool standingIn, std::ostream &out);
