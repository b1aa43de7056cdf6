// A still image as a source that sends a frame only when asked: at the start, and again whenever
// what the frame callback draws has changed. Each frame lends the image's pixels without a copy.
#pragma once

#include <atomic>
#include <memory>

#include <gst/gst.h>

namespace cv {
class Mat;
}

class StillFeed
{
public:
	// Main thread. Feeds image into pipeline's still source (capture_source names it). With a
	// preview, only the first frame since restart() goes on to it: its picture never changes.
	StillFeed(std::shared_ptr<const cv::Mat> image, GstElement *pipeline, bool preview);
	StillFeed(const StillFeed &) = delete;
	StillFeed &operator=(const StillFeed &) = delete;

	// Main thread, before the pipeline starts: the preview takes the next frame again.
	void restart();
	// Main or start thread. Hands the image to the source, without a copy; a source not yet
	// started, or already stopping, drops it.
	void push();
	// Main thread; never waits. Pushes again, unless a frame is already waiting to go: that
	// one will show whatever changed.
	void pushUnlessWaiting();

private:
	static GstPadProbeReturn onPreviewFrame(GstPad *pad, GstPadProbeInfo *info, gpointer self);

	// Lent to each buffer pushed; each buffer holds a reference of its own until GStreamer
	// frees it.
	const std::shared_ptr<const cv::Mat> image_;
	GstElement *const pipeline_; // outlives this feed, as do the elements below
	GstElement *source_ = nullptr;
	// Whether the preview has had the image since restart(): set by the preview's streaming
	// thread, reset by the main thread before the pipeline starts.
	std::atomic<bool> previewed_{ false };
};
