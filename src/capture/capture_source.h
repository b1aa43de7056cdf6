// The capture pipeline as a whole: a camera's source (a device's own element, a described GStreamer
// source, a decoded video file or stream, or a still image) in front of the conversion and the
// branches that lead to the frame callback and the preview.
#pragma once

#include <string>

#include "camera_list.h"
#include "gst_handles.h"

// The still image's source element, which the capture feeds, and the first element of the preview.
inline constexpr char stillSourceName[] = "stillsource";
inline constexpr char stillPreviewName[] = "previewqueue";

// The capture's elements after the source, in gst-launch syntax: the chosen format (caps, empty to
// let the source choose; JPEG caps are decoded), then the branch whose frames go to the frame
// callback as it takes them (RGB, bottom row first), and with render a preview branch that gets the
// same frames. A still's frames come as the callback takes them already.
std::string tailDescription(const std::string &caps, bool render, bool still);

// Main thread. A new pipeline, in the NULL state, holding camera's source linked to the elements
// that tail describes (gst-launch syntax). On failure returns null and says why in error.
GstElementPtr sourcePipeline(const CameraInfo &camera, const std::string &tail, std::string &error);

// Main thread, before any window opens; may take some seconds on a slow file. The URI that source
// (a path or a URI) stands for, checked as far as can be done without playing it: a local file
// must exist, be readable and hold a video GStreamer can decode; another URI needs an installed
// element that reads it. On failure returns empty and says why in error, in a user's words.
std::string checkedSourceUri(const std::string &source, std::string &error);

// The camera that plays uri, named name.
CameraInfo sourceCamera(const std::string &name, const std::string &uri);

// Main thread, before any window opens. The camera that source stands for, named name: a still
// image or a numbered image sequence in a local file, else a video file or stream as
// checkedSourceUri() checks it. False on failure, with why in error, in a user's words.
bool checkedSourceCamera(const std::string &name, const std::string &source, CameraInfo &camera,
			 std::string &error);
