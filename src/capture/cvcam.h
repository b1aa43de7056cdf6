// The camera-capture interface the viewer drives: choose a camera, set its properties, run it.
//
// Every function is called from the main thread. The frame callback is called from the capture
// layer's streaming thread, once per frame, between cvcamStart() and the return of cvcamStop().
#pragma once

#include <iosfwd>
#include <vector>

#include <glib.h>

#include "capture_types.h"

// Main thread, before cvcamSelectCamera(). Finds what preset names and checks that it can be used,
// asking the camera dialog first when only a format is named. On failure writes one line to stderr
// and returns the process's exit status: 2 for a camera or format that is not there, 1 for a
// source that cannot be opened or a dialog cancelled. 0 otherwise; an empty preset touches nothing.
int cvcamPreset(const CvcamPreset &preset);

// Main thread. One block per camera on out: index, name, device path, then its formats; the test
// pattern's block when no camera is found. Returns 0.
int cvcamListCameras(std::ostream &out);

// GStreamer's own command-line options (--gst-debug and the like) for an option context, which
// takes ownership of the group. A successful parse initialises GStreamer.
GOptionGroup *cvcamOptionGroup();

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

// A source that sends a frame only when asked (a still image) hands its frame to the callback
// again, so that what changed in the callback (the thresholds) shows; for any other source, whose
// next frame comes anyway, nothing. Never waits. Returns 0.
int cvcamRedeliver();

// Build the capture for the enabled camera; start, stop and release it. Each returns 0 on success
// and -1 on failure. cvcamStop() waits for a callback in flight; once it returns, no callback runs
// or starts. All four may be called in any order and more than once.
int cvcamInit();
int cvcamStart();
int cvcamStop();
int cvcamExit();
