// The still image's feed; see the header.
#include "still_feed.h"

#include <gst/app/gstappsrc.h>
#include <opencv2/core.hpp>

#include "capture_source.h"
#include "gst_handles.h"

StillFeed::StillFeed(std::shared_ptr<const cv::Mat> image, GstElement *pipeline, bool preview)
	: image_(std::move(image)), pipeline_(pipeline)
{
	// The pipeline holds its elements for as long as it lives, and so for as long as we do.
	const GstElementPtr source(gst_bin_get_by_name(GST_BIN(pipeline_), stillSourceName));
	source_ = source.get();
	if (!preview)
		return;
	const GstElementPtr previewFlip(gst_bin_get_by_name(GST_BIN(pipeline_), stillPreviewName));
	const GstObjectPtr<GstPad> input(gst_element_get_static_pad(previewFlip.get(), "sink"));
	gst_pad_add_probe(input.get(), GST_PAD_PROBE_TYPE_BUFFER, &StillFeed::onPreviewFrame, this,
			  nullptr);
}

void StillFeed::restart()
{
	previewed_.store(false);
}

void StillFeed::pushUnlessWaiting()
{
	guint64 waiting = 0;
	g_object_get(source_, "current-level-bytes", &waiting, nullptr);
	if (waiting == 0)
		push();
}

void StillFeed::push()
{
	// The buffer lends the image's pixels, read-only, and keeps the image alive: downstream
	// elements write into buffers of their own.
	auto *owner = new std::shared_ptr<const cv::Mat>(image_);
	const std::size_t bytes = image_->step[0] * static_cast<std::size_t>(image_->rows);
	GstBuffer *buffer = gst_buffer_new_wrapped_full(
		GST_MEMORY_FLAG_READONLY, const_cast<uchar *>(image_->data), bytes, 0, bytes, owner,
		[](gpointer data) { delete static_cast<std::shared_ptr<const cv::Mat> *>(data); });
	// Stamped with the running time it was asked for, once there is one, so that the time
	// from the request to the picture can be measured like a camera's latency.
	if (const GstObjectPtr<GstClock> clock(gst_element_get_clock(pipeline_)); clock) {
		const GstClockTime now = gst_clock_get_time(clock.get());
		const GstClockTime base = gst_element_get_base_time(pipeline_);
		if (GST_CLOCK_TIME_IS_VALID(now) && now >= base)
			GST_BUFFER_PTS(buffer) = now - base;
	}
	gst_app_src_push_buffer(GST_APP_SRC(source_), buffer);
}

GstPadProbeReturn StillFeed::onPreviewFrame(GstPad *, GstPadProbeInfo *, gpointer self)
{
	auto *feed = static_cast<StillFeed *>(self);
	return feed->previewed_.exchange(true) ? GST_PAD_PROBE_DROP : GST_PAD_PROBE_OK;
}
