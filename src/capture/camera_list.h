// The cameras the capture layer can open: those GStreamer's device monitor finds, or the built-in
// test pattern when there are none.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <gst/gst.h>

#include "gst_handles.h"

namespace cv {
class Mat;
}

struct CameraInfo {
	std::string name;
	std::string devicePath; // empty for cameras that are not device nodes
	// Makes the source element; null for a camera described by sourceDescription.
	std::shared_ptr<GstDevice> device;
	// The same camera through another provider, tried when device fails to start: the V4L2
	// node of a camera PipeWire offers. Null when there is none.
	std::shared_ptr<GstDevice> fallbackDevice = nullptr;
	// A gst-launch description of the source, used when device is null.
	std::string sourceDescription;
	// For a described source: the caps it offers, in gst-launch syntax; empty when it offers no
	// list of formats. A device says for itself.
	std::string offeredCaps = {};
	// A video file or stream GStreamer decodes, played at its own pace and from the start
	// again at its end; used when not empty, instead of the two above.
	std::string uri = {};
	// A decoded still image (RGB, bottom row first), handed on as a frame when capture starts
	// and again whenever asked; used when not null, instead of all the above. Shared,
	// read-only.
	std::shared_ptr<const cv::Mat> still = {};
};

// The live test pattern: SMPTE bars with a running clock in one corner, offered at 320x240,
// 640x480, 1280x720, 1920x1080 and 3840x2160, at 30 or 15 frames/s, and 1920x1080 also at 60.
// Like a camera, it drops frames when the viewer falls behind.
CameraInfo testPatternCamera();

// What camera offers; null when it does not say.
GstCapsPtr capsOfferedBy(const CameraInfo &camera);

// What tells a camera from another across unplugging: its device path, else its name.
std::string cameraIdentity(const CameraInfo &camera);

// Any thread. Whether device is a PipeWire node.
bool offeredByPipeWire(GstDevice *device);

// Any thread. The camera a device found by the monitor stands for; none for a device that sends no
// picture, such as a UVC camera's metadata node.
std::optional<CameraInfo> cameraOf(GstDevice *device);

// Main thread. Video sources found now, in the device monitor's order, each camera once; possibly
// none. A camera offered by PipeWire and by V4L2 is listed once, as PipeWire's node, which other
// programs may use at the same time and which the desktop's camera settings act on; the V4L2
// node is its fallback. Initialises GStreamer if needed.
std::vector<CameraInfo> findCameras();

// Main thread. The camera whose identity is given, as findCameras() would list it now; none when
// it is not there.
std::optional<CameraInfo> findCamera(const std::string &identity);

// Main thread. Makes findCameras() return cameras instead of asking the device monitor, so tests
// and benchmarks run on known sources whatever is plugged in. An empty list restores the monitor.
void overrideCameras(std::vector<CameraInfo> cameras);
