// The process's one device monitor for cameras, shared by the camera list and the hot-plug watch.
//
// Device providers are process-wide: every monitor starts and stops the same provider objects, and
// the sources made from their devices may share the provider's connection. Two faults of PipeWire's
// provider (gstreamer1.0-pipewire 0.3.65) decide how this monitor lives:
//   - Stopped while a pipewiresrc still shares its connection, it leaves its listeners on that
//     connection, pointing at devices it then frees; started again on it, it adds them twice.
//   - Stopped at all, it destroys its registry without holding its thread loop's lock; when
//     PipeWire's thread is handling an event at that moment (a camera going idle as capture
//     stops, a camera unplugged), the registry is freed twice.
// Either corrupts the heap, at exit or at the next camera change. Hence the rules:
//   1. One monitor at a time. Whoever needs it holds it; it starts when first held and stops when
//      the last holder lets go, so a provider never restarts while a source of its runs.
//   2. The program keeps it running, once started, until the process ends (keepUntilExit()), so
//      PipeWire's provider is never stopped. Tests on the fake provider, which change the cameras
//      between cases, leave that off.
//   3. Capture stops before the watch and the list let go of the monitor, so no source outlives
//      its provider in any case.
#pragma once

#include <memory>

#include <gst/gst.h>

#include "gst_handles.h"

// Any thread. Makes monitor look for the video sources a camera can be made of.
void watchVideoSources(GstDeviceMonitor *monitor);

class CameraMonitor
{
public:
	// Main thread. From now on the monitor, once started, runs until the process ends.
	static void keepUntilExit();

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
