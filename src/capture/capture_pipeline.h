// One camera's running capture, as capture_source describes it: it lends each converted frame to
// the frame callback on a streaming thread of its own, behind a one-frame leaky queue, so that the
// callback always gets the newest frame; optionally shows a preview; and reports a camera that
// fails, ends or stalls.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include <gst/app/gstappsink.h>
#include <gst/app/gstappsrc.h>
#include <gst/gst.h>
#include <gst/video/video.h>

#include "camera_list.h"
#include "capture_types.h"
#include "conversion_gate.h"
#include "gst_handles.h"
#include "gst_runtime.h"
#include "stall_watch.h"

class PreviewWindow;
class StillFeed;
namespace cv {
class Mat;
}

// Called with one line (without "edge-viewer: " and without a newline) for each camera fault, from
// whichever thread notices it: the main thread, a streaming thread or the stall watch. Must be
// quick and must not wait for the main thread.
using FaultReporter = std::function<void(const std::string &line)>;

struct CaptureOptions {
	// Caps the source must produce (the chosen format), in gst-launch syntax; empty lets
	// the source choose. JPEG caps are decoded.
	std::string caps;
	// A preview window of the raw stream; the sizes are read when capture starts and must
	// outlive the pipeline. Null sizes leave the window at the frame's size.
	bool render = false;
	const int *renderWidth = nullptr;
	const int *renderHeight = nullptr;
	// A camera that sends no frame for this long is reported as stalled.
	std::chrono::milliseconds stallTimeout{ 3000 };
	// Null: the line goes to stderr after "edge-viewer: ".
	FaultReporter onFault;
	// Called once when the camera fails before its first frame: it could not be opened or
	// played, or sent nothing within the stall timeout. From whichever thread notices it, after
	// the fault was reported; must be quick and must not wait for the main thread.
	std::function<void()> onStartFailure;
};

class CapturePipeline
{
public:
	// Main thread. Builds the pipeline for camera, in the NULL state. On failure returns null
	// and says why in error.
	static std::unique_ptr<CapturePipeline> create(const CameraInfo &camera,
						       CvcamFrameCallback onFrame,
						       std::string &error,
						       CaptureOptions options = {});

	CapturePipeline(const CapturePipeline &) = delete;
	CapturePipeline &operator=(const CapturePipeline &) = delete;
	~CapturePipeline();

	// Main thread; never waits for the camera. Opens the source, then asks it to play on a
	// thread of its own: a source may take its time (pipewiresrc waits up to 30 s for its
	// stream), and the main thread keeps answering keys meanwhile. Frames reach the callback
	// from here until stop() returns. A camera that cannot be opened is reported once, through
	// the fault reporter, said in error, and returns false. One that fails later, or sends no
	// frame within the stall timeout, is reported the same way, and onStartFailure is called.
	bool start(std::string &error);
	// Main thread. From the moment it is called no frame is handed to the callback: no
	// callback starts (one whose frame was already being handed over still runs). It waits
	// for a callback in flight, and ends a start still waiting for the source; once it
	// returns no callback runs. Safe to call more than once.
	void stop();

	// Main thread; never waits. A still image's frame goes to the callback (and the preview)
	// again, unless one is already waiting to go: that one will show whatever changed. Nothing
	// for any other source, whose next frame is on its way anyway.
	void redeliver();

	// Main thread. Whether the user closed the preview window.
	bool previewClosed() const;

	// Any thread. Frames handed to the callback so far.
	std::uint64_t framesDelivered() const { return framesDelivered_.load(); }

private:
	// What has gone wrong with the camera since start; each kind is reported once.
	enum class Fault { none, stalled, failed };

	CapturePipeline(GstElementPtr pipeline, std::string cameraName, bool playsSource,
			CvcamFrameCallback onFrame, CaptureOptions options);

	static GstPadProbeReturn onFrameArriving(GstPad *pad, GstPadProbeInfo *info, gpointer self);
	static GstPadProbeReturn onFrameQueued(GstPad *pad, GstPadProbeInfo *info, gpointer self);
	static GstFlowReturn onNewSample(GstAppSink *sink, gpointer self);
	static GstFlowReturn onNewPreviewSample(GstAppSink *sink, gpointer self);
	static GstBusSyncReply onBusMessage(GstBus *bus, GstMessage *message, gpointer self);

	// Any thread. Reports a failure unless one was reported since start.
	void reportFailure(const std::string &reason);
	void report(const std::string &line);
	// The stall watch's thread: no frame came within the stall timeout.
	void onStall();
	// The start thread: the state change to PLAYING.
	void play();
	// The start thread: prerolls a clip that plays again at its end, and plays it as a segment.
	// False when stop() was called meanwhile.
	bool prerollClip();
	// Main thread. Waits for the start thread, first ending a state change still in progress.
	void finishStart();
	// Any thread. Calls onStartFailure unless a frame came, or it was called, since start.
	void startFailed();

	GstElementPtr pipeline_;
	const std::string cameraName_;
	// A video file or stream rather than a camera: its faults are worded for playback.
	const bool playsSource_;
	const CvcamFrameCallback onFrame_;
	const CaptureOptions options_;
	// A still image's feed; null for other sources. Made by create(); used by the main and the
	// start threads, and by the preview's streaming thread through its probe.
	std::unique_ptr<StillFeed> still_;

	// Set by start() and stop() on the main thread; read before each frame by the streaming
	// threads, so frames that GStreamer still pushes while stopping are dropped: the pipeline
	// goes on delivering until its state change reaches the sinks, and stop() may first wait
	// for the stall watch. Read too by the start thread while a clip prerolls.
	std::atomic<bool> delivering_{ false };
	// The last frame put into the callback's queue: stored by the conversion's streaming
	// thread, loaded by the callback's before it reads a frame. The queue itself already orders
	// the two, under GLib locks that ThreadSanitizer cannot see; this pair shows it the same
	// order, so that the callback's reads of a frame stay checked instead of reported or
	// suppressed.
	std::atomic<GstBuffer *> lastQueued_{ nullptr };
	// The callback's queue, owned by the pipeline; its level is read by the conversion thread.
	GstElement *frameQueue_ = nullptr;
	// Fed by the conversion thread and the callback's thread; see its header.
	ConversionGate gate_;
	// Incremented by the streaming thread; read by anyone.
	std::atomic<std::uint64_t> framesDelivered_{ 0 };
	// Whether a frame came since start: set by start() and the streaming thread; read by
	// whoever words a fault.
	std::atomic<bool> gotFrame_{ false };
	// Written by whichever thread first notices a fault (compare-and-swap), by start(), and by
	// the streaming thread when frames come back after a stall; read by all of them.
	std::atomic<Fault> fault_{ Fault::none };

	mutable std::mutex errorLock_; // guards error_
	// The failure reported since start: written by whichever thread reports it; read by
	// start() on the main thread.
	std::string error_;

	// The caps of the last frame and their parsed form: written and read only by the
	// streaming thread, so that caps are parsed once per change, not once per frame.
	GstCapsPtr frameCaps_;
	GstVideoInfo frameInfo_{};
	// The same for the preview branch, on its own streaming thread.
	GstCapsPtr previewCaps_;
	GstVideoInfo previewInfo_{};

	// Made and destroyed on the main thread; offered frames by the preview streaming thread,
	// which stops before it goes.
	std::unique_ptr<PreviewWindow> preview_;

	// Set by start() before the start thread runs; cleared by it once its state change returns.
	// Read by stop(), which ends a state change still in progress.
	std::atomic<bool> starting_{ false };
	// Whether onStartFailure was called since start: set by whichever thread calls it; reset by
	// start().
	std::atomic<bool> startFailureTold_{ false };
	std::thread starter_; // the start thread; started by start(), joined by the main thread

	// Told of each frame by the streaming thread; started and stopped by the main thread.
	StallWatch stallWatch_;
};
