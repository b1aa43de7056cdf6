// The cameras the capture layer can open: those GStreamer's device monitor finds, or the built-in
// test pattern when there are none.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include <gst/gst.h>

struct CameraInfo {
	std::string name;
	std::string devicePath; // empty for cameras that are not device nodes
	// Makes the source element; null for a camera described by sourceDescription.
	std::shared_ptr<GstDevice> device;
	// A gst-launch description of the source, used when device is null.
	std::string sourceDescription;
};

// The live test pattern: 640x480 SMPTE bars at 30 frames/s with a running clock in one corner.
CameraInfo testPatternCamera();

// Main thread. Video sources found now, in the device monitor's order; the test pattern alone when
// none is found. Initialises GStreamer if needed.
std::vector<CameraInfo> findCameras();

// Main thread. Makes findCameras() return cameras instead of asking the device monitor, so tests
// and benchmarks run on known sources whatever is plugged in. An empty list restores the monitor.
void overrideCameras(std::vector<CameraInfo> cameras);
