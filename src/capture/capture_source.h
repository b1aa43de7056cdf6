// Making a camera's source: a device's own element or a described GStreamer source, put into a new
// pipeline in front of the capture's conversion elements.
#pragma once

#include <string>

#include "camera_list.h"
#include "gst_handles.h"

// Main thread. A new pipeline, in the NULL state, holding camera's source linked to the elements
// that tail describes (gst-launch syntax). On failure returns null and says why in error.
GstElementPtr sourcePipeline(const CameraInfo &camera, const std::string &tail, std::string &error);
