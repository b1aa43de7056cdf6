// The process's one device monitor for cameras, shared by the camera list and the hot-plug watch.
//
// Device providers are process-wide: every monitor starts and stops the same provider objects, and
// the sources made from their devices may share the provider's connection. PipeWire's provider
// (gstreamer1.0-pipewire 0.3.65) shares one connection with every pipewiresrc of the process. If
// it is stopped while a source still holds that connection, its listeners stay on it and outlive
// the devices they point to; if it is started again on that connection, it adds them a second
// time. Either corrupts the heap, at exit or at the next camera change. Hence the rule:
//
//   1. One monitor at a time. Whoever needs it holds it; it starts when first held and stops when
//      the last holder lets go, so a provider never restarts while a source of its runs.
//   2. The capture layer holds it from the camera list until it exits, and every pipeline made
//      from one of its devices has gone to NULL before then: capture stops before the watch, the
//      watch before the list, and no source outlives its provider.
#pragma once

#include <memory>

#include <gst/gst.h>

#include "gst_handles.h"

// Any thread. Makes monitor look for the video sources a camera can be made of.
void watchVideoSources(GstDeviceMonitor *monitor);

class CameraMonitor
{
public:
	// Main thread. The monitor in use, or a new one, started; it runs while anyone holds it.
	// Watches video sources (raw or JPEG), from every provider, hidden ones included: a device
	// another provider hides (a V4L2 node PipeWire also offers) is kept as the fallback of the
	// camera it hides, not listed on its own.
	static std::shared_ptr<CameraMonitor> hold();

	CameraMonitor(const CameraMonitor &) = delete;
	CameraMonitor &operator=(const CameraMonitor &) = delete;
	// Main thread, by the last holder.
	~CameraMonitor();

	// Any thread while held. Null when it could not start: then nothing is found or announced.
	GstDeviceMonitor *get() const { return running_ ? monitor_.get() : nullptr; }

private:
	CameraMonitor();

	GstDeviceMonitorPtr monitor_;
	bool running_ = false; // set by the constructor only
};
