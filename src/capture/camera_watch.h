// Cameras that come and go: the device monitor watched for the camera in use to be unplugged and
// plugged in again, so that capture can resume on it.
#pragma once

#include <chrono>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "camera_list.h"
#include "camera_monitor.h"
#include "gst_handles.h"

// Hands work to the main thread without waiting; returns whether it was queued.
using MainThreadPoster = std::function<bool(std::function<void()> work)>;

class CameraWatch
{
public:
	// Main thread. Watches for camera, which must have a device, to come back after it was
	// unplugged. Then posts onReturn through post, again every retryInterval until it is
	// queued; onReturn runs on the main thread and collects the camera with takeReturned().
	// Other cameras coming or going change nothing. Capture is taken to run on the camera
	// until captureFailed() says otherwise.
	CameraWatch(const CameraInfo &camera, MainThreadPoster post,
		    std::function<void()> onReturn);
	CameraWatch(const CameraWatch &) = delete;
	CameraWatch &operator=(const CameraWatch &) = delete;
	~CameraWatch();

	// Main thread. Stops the watch thread and lets go of the monitor; once it returns nothing
	// is posted. Safe to call more than once.
	void stop();

	// Main thread. The camera as it came back, with its new device; once per return.
	std::optional<CameraInfo> takeReturned();

	// Any thread while the watch runs: capture on the camera failed before its first frame. If
	// the camera is not there, it counts as unplugged and comes back when it is plugged in.
	void captureFailed();

	static constexpr std::chrono::milliseconds retryInterval{ 20 };

private:
	// The watch thread: reads the monitor's bus until stop() posts the word to end.
	void watch();
	// Any thread. Whether device is the watched camera.
	bool isWatched(GstDevice *device) const;
	// Any thread, while the monitor runs. Whether the watched camera is plugged in.
	bool present() const;

	const std::string identity_;
	const MainThreadPoster post_;
	const std::function<void()> onReturn_;
	// The process's monitor, held by the main thread from the constructor until stop().
	std::shared_ptr<CameraMonitor> monitor_;
	GstBusPtr bus_; // the monitor's; popped by the watch thread only

	std::mutex lock_; // guards away_ and returned_
	// Set by captureFailed() or the watch thread when the camera goes, cleared when it comes
	// back.
	bool away_ = false;
	// Written by the watch thread when the camera comes back; taken by the main thread.
	std::optional<CameraInfo> returned_;

	std::thread thread_; // started by the constructor, joined by stop()
};
