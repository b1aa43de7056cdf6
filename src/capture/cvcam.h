// The camera-capture interface the viewer drives: choose a camera, set its properties, run it.
//
// Every function is called from the main thread. The frame callback is called from the capture
// layer's streaming thread, once per frame, between cvcamStart() and the return of cvcamStop().
#pragma once

#include <vector>

namespace cv {
class Mat;
}

// The frame is 8-bit RGB, stored bottom row first, with the buffer's own row step. It is lent for
// the duration of the call and must be neither kept nor written.
using CvcamFrameCallback = void (*)(const cv::Mat &frame);

// Fills cameraList with the indices of the chosen cameras and returns how many there are. The list
// can come back empty (nothing chosen).
int cvcamSelectCamera(std::vector<int> &cameraList);

// value is untyped, as the property needs it:
//   "enable", "render"                      the flag 1 passed as the pointer value itself
//   "rendering_width", "rendering_height"   an int *, read when capture starts; it must stay valid
//                                           until cvcamExit() returns
//   "callback"                              a CvcamFrameCallback cast to void *
// Returns 0 on success, -1 for an unknown camera or property.
int cvcamSetProperty(int camera, const char *property, void *value);

// "video_pp" asks for the camera's video-format page; value may be null. Returns 0 or -1.
int cvcamGetProperty(int camera, const char *property, void *value);

// Build the capture for the enabled camera; start, stop and release it. Each returns 0 on success
// and -1 on failure. cvcamStop() waits for a callback in flight; once it returns, no callback runs
// or starts. All four may be called in any order and more than once.
int cvcamInit();
int cvcamStart();
int cvcamStop();
int cvcamExit();
