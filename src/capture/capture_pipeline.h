// One camera's capture: source, conversion to bottom-row-first RGB, and an appsink that lends each
// frame to the frame callback on GStreamer's streaming thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include <gst/app/gstappsink.h>
#include <gst/gst.h>
#include <gst/video/video.h>

#include "camera_list.h"
#include "cvcam.h"
#include "gst_handles.h"

// Any thread; cheap after the first call.
void ensureGstreamer();

class CapturePipeline
{
public:
	// Main thread. Builds the pipeline for camera, in the NULL state. On failure returns null
	// and says why in error.
	static std::unique_ptr<CapturePipeline>
	create(const CameraInfo &camera, CvcamFrameCallback onFrame, std::string &error);

	CapturePipeline(const CapturePipeline &) = delete;
	CapturePipeline &operator=(const CapturePipeline &) = delete;
	~CapturePipeline();

	// Main thread. Frames reach the callback from here until stop() returns.
	bool start(std::string &error);
	// Main thread. Waits for a callback in flight; once it returns no callback runs or starts.
	// Safe to call more than once.
	void stop();

	// Any thread. Frames handed to the callback so far.
	std::uint64_t framesDelivered() const { return framesDelivered_.load(); }

private:
	CapturePipeline(GstElementPtr pipeline, CvcamFrameCallback onFrame);

	static GstFlowReturn onNewSample(GstAppSink *sink, gpointer self);
	static GstBusSyncReply onBusMessage(GstBus *bus, GstMessage *message, gpointer self);

	// Pipeline-side errors; cleared by start().
	std::string takeError();

	GstElementPtr pipeline_;
	const CvcamFrameCallback onFrame_;

	// Set by start() and stop() on the main thread; read before each frame by the streaming
	// thread, so frames that GStreamer still pushes while stopping are dropped.
	std::atomic<bool> delivering_{ false };
	// Incremented by the streaming thread; read by anyone.
	std::atomic<std::uint64_t> framesDelivered_{ 0 };

	// The caps of the last frame and their parsed form: written and read only by the
	// streaming thread, so that caps are parsed once per change, not once per frame.
	GstCapsPtr frameCaps_;
	GstVideoInfo frameInfo_{};

	mutable std::mutex errorLock_; // guards error_
	// Written by whichever thread posts the first error; read by the main thread.
	std::string error_;
};
