// The appsink pipeline behind one camera; the only code that touches GStreamer's streaming thread.
#include "capture_pipeline.h"

#include <exception>
#include <utility>

#include <opencv2/core.hpp>

#include "frame_timing.h"

namespace {

// GStreamer flips and converts before the frame reaches us, so the callback gets the frame
// bottom row first (its flip shows it upright) and in RGB (its grey conversion weighs the
// channels right). The first videoconvert passes through whatever videoflip accepts.
// enable-last-sample off: the sink would otherwise keep the newest frame alive after we return.
constexpr char tailDescription[] = "videoconvert ! videoflip video-direction=vert ! videoconvert"
				   " ! video/x-raw,format=RGB"
				   " ! appsink name=framesink sync=false max-buffers=2"
				   " enable-last-sample=false";

// A mapped video frame; unmapped when it goes out of scope.
class MappedVideoFrame
{
public:
	MappedVideoFrame(const GstVideoInfo &info, GstBuffer *buffer)
	{
		GstVideoInfo mutableInfo = info;
		mapped_ = gst_video_frame_map(&frame_, &mutableInfo, buffer, GST_MAP_READ);
	}
	MappedVideoFrame(const MappedVideoFrame &) = delete;
	MappedVideoFrame &operator=(const MappedVideoFrame &) = delete;
	~MappedVideoFrame()
	{
		if (mapped_)
			gst_video_frame_unmap(&frame_);
	}

	bool mapped() const { return mapped_; }

	// A view of the pixels with the buffer's own row step; valid while this object lives.
	cv::Mat view() const
	{
		return cv::Mat(GST_VIDEO_FRAME_HEIGHT(&frame_), GST_VIDEO_FRAME_WIDTH(&frame_),
			       CV_8UC3, GST_VIDEO_FRAME_PLANE_DATA(&frame_, 0),
			       static_cast<std::size_t>(GST_VIDEO_FRAME_PLANE_STRIDE(&frame_, 0)));
	}

private:
	GstVideoFrame frame_{};
	bool mapped_ = false;
};

std::string errorText(GError *error, const char *what)
{
	return std::string(what) + ": " +
	       (error && error->message ? error->message : "unknown error");
}

GstElementPtr parsed(const std::string &description, const std::string &what, std::string &error)
{
	GError *rawError = nullptr;
	GstElementPtr element = sinkElement(gst_parse_launch(description.c_str(), &rawError));
	const GErrorPtr parseError(rawError);
	// A missing element is only a "recoverable" error: the element comes back, but broken.
	if (parseError || !element) {
		error = errorText(parseError.get(), ("failed to create " + what).c_str());
		return nullptr;
	}
	return element;
}

// A device's source element, linked into the conversion tail inside a new pipeline.
GstElementPtr devicePipeline(const CameraInfo &camera, std::string &error)
{
	GstElementPtr source = sinkElement(gst_device_create_element(camera.device.get(), nullptr));
	if (!source) {
		error = "failed to create the source element of " + camera.name;
		return nullptr;
	}
	GError *rawError = nullptr;
	GstElementPtr tail =
		sinkElement(gst_parse_bin_from_description(tailDescription, TRUE, &rawError));
	const GErrorPtr parseError(rawError);
	if (parseError || !tail) {
		error = errorText(parseError.get(), "failed to create the conversion elements");
		return nullptr;
	}
	GstElementPtr pipeline = sinkElement(gst_pipeline_new("capture"));
	// The bin takes references of its own; ours go with the handles.
	gst_bin_add_many(GST_BIN(pipeline.get()), GST_ELEMENT(gst_object_ref(source.get())),
			 GST_ELEMENT(gst_object_ref(tail.get())), nullptr);
	if (!gst_element_link(source.get(), tail.get())) {
		error = "failed to link " + camera.name + " to the conversion elements";
		return nullptr;
	}
	return pipeline;
}

#ifdef EDGE_VIEWER_BENCH_BUILD
// A live source stamps each buffer with the running time at which it captured it.
void noteCaptureTime(GstElement *pipeline, GstBuffer *buffer, std::uint64_t delivered)
{
	const GstClockTime pts = GST_BUFFER_PTS(buffer);
	const GstClockTime base = gst_element_get_base_time(pipeline);
	const std::int64_t captureNs =
		GST_CLOCK_TIME_IS_VALID(pts)
			? static_cast<std::int64_t>(pts + base)
			: static_cast<std::int64_t>(g_get_monotonic_time()) * 1000;
	const std::uint64_t offset = GST_BUFFER_OFFSET(buffer);
	frameTimingCaptured(offset != GST_BUFFER_OFFSET_NONE ? offset : delivered, captureNs);
}
#endif

} // namespace

void ensureGstreamer()
{
	static std::once_flag once;
	std::call_once(once, [] { gst_init(nullptr, nullptr); });
}

CapturePipeline::CapturePipeline(GstElementPtr pipeline, CvcamFrameCallback onFrame)
	: pipeline_(std::move(pipeline)), onFrame_(onFrame)
{
}

std::unique_ptr<CapturePipeline>
CapturePipeline::create(const CameraInfo &camera, CvcamFrameCallback onFrame, std::string &error)
{
	ensureGstreamer();

	// A described source may end in caps, which the parser applies to the link that follows.
	GstElementPtr pipeline =
		camera.device ? devicePipeline(camera, error)
			      : parsed(camera.sourceDescription + " ! " + tailDescription,
				       "the source of " + camera.name, error);
	if (!pipeline)
		return nullptr;

	std::unique_ptr<CapturePipeline> capture(new CapturePipeline(std::move(pipeline), onFrame));

	const GstElementPtr sink(
		gst_bin_get_by_name(GST_BIN(capture->pipeline_.get()), "framesink"));
	GstAppSinkCallbacks callbacks{};
	callbacks.new_sample = &CapturePipeline::onNewSample;
	// capture outlives the pipeline: its destructor takes the pipeline to NULL first.
	gst_app_sink_set_callbacks(GST_APP_SINK(sink.get()), &callbacks, capture.get(), nullptr);

	const GstBusPtr bus(gst_element_get_bus(capture->pipeline_.get()));
	gst_bus_set_sync_handler(bus.get(), &CapturePipeline::onBusMessage, capture.get(), nullptr);
	return capture;
}

CapturePipeline::~CapturePipeline()
{
	stop();
	const GstBusPtr bus(gst_element_get_bus(pipeline_.get()));
	gst_bus_set_sync_handler(bus.get(), nullptr, nullptr, nullptr);
}

bool CapturePipeline::start(std::string &error)
{
	takeError();
	delivering_.store(true);
	if (gst_element_set_state(pipeline_.get(), GST_STATE_PLAYING) == GST_STATE_CHANGE_FAILURE) {
		stop();
		error = takeError();
		if (error.empty())
			error = "the pipeline refused to start";
		return false;
	}
	return true;
}

void CapturePipeline::stop()
{
	delivering_.store(false);
	// Blocks until the streaming threads have left their loops, callbacks included.
	gst_element_set_state(pipeline_.get(), GST_STATE_NULL);
}

std::string CapturePipeline::takeError()
{
	std::lock_guard lock(errorLock_);
	return std::exchange(error_, {});
}

GstBusSyncReply CapturePipeline::onBusMessage(GstBus *, GstMessage *message, gpointer self)
{
	if (GST_MESSAGE_TYPE(message) == GST_MESSAGE_ERROR) {
		GError *rawError = nullptr;
		gst_message_parse_error(message, &rawError, nullptr);
		const GErrorPtr error(rawError);
		const GCharPtr element(gst_object_get_name(GST_MESSAGE_SRC(message)));
		auto *capture = static_cast<CapturePipeline *>(self);
		std::lock_guard lock(capture->errorLock_);
		if (capture->error_.empty())
			capture->error_ =
				errorText(error.get(), element ? element.get() : "pipeline");
	}
	// Nobody pops this bus: dropping here keeps messages from piling up over a long run.
	return GST_BUS_DROP;
}

GstFlowReturn CapturePipeline::onNewSample(GstAppSink *sink, gpointer self)
{
	auto *capture = static_cast<CapturePipeline *>(self);
	const GstSamplePtr sample(gst_app_sink_pull_sample(sink));
	if (!sample || !capture->delivering_.load())
		return GST_FLOW_OK;

	GstCaps *caps = gst_sample_get_caps(sample.get());
	if (!caps)
		return GST_FLOW_OK;
	if (caps != capture->frameCaps_.get()) {
		if (!gst_video_info_from_caps(&capture->frameInfo_, caps))
			return GST_FLOW_OK;
		capture->frameCaps_.reset(gst_caps_ref(caps));
	}

	const MappedVideoFrame frame(capture->frameInfo_, gst_sample_get_buffer(sample.get()));
	if (!frame.mapped())
		return GST_FLOW_OK;

#ifdef EDGE_VIEWER_BENCH_BUILD
	noteCaptureTime(capture->pipeline_.get(), gst_sample_get_buffer(sample.get()),
			capture->framesDelivered_.load(std::memory_order_relaxed));
#endif
	try {
		if (capture->onFrame_)
			capture->onFrame_(frame.view());
	} catch (...) {
		// No exception may unwind into GStreamer's C code; the frame is simply lost.
	}
	capture->framesDelivered_.fetch_add(1, std::memory_order_relaxed);
	return GST_FLOW_OK;
}
