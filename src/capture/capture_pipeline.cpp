// The appsink pipeline behind one camera; the only code that touches GStreamer's streaming thread.
#include "capture_pipeline.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <exception>
#include <utility>

#include <opencv2/core.hpp>

#include "capture_source.h"
#include "frame_conversion.h"
#include "frame_timing.h"
#include "preview_window.h"

namespace {

// GStreamer flips and converts before the frame reaches us, so the callback gets the mapped buffer
// itself, bottom row first (its flip shows it upright) and in RGB (its grey conversion weighs the
// channels right). Our own element does both in one pass over the frame (frame_conversion.h),
// using the camera's subsampled colour as it comes; the videoconvert in front passes through every
// format the element takes, which covers what cameras and jpegdec send, and converts the rest.
// The one-frame leaky queue gives the callback a thread of its own: the source and the conversion
// go on with the next frame while the callback works, and a converted frame still waiting when a
// newer one is ready is dropped, so the callback always gets the newest frame and the camera is
// never held up by it. The appsink therefore never holds more than the frame being handed over.
// Before the conversion a gate (ConversionGate) leaves out frames a busy callback would never see.
// enable-last-sample off: the sink would otherwise keep the newest frame alive after we return.
constexpr char edgeBranch[] =
	"videoconvert name=frameconvert ! bottomuprgb ! video/x-raw,format=RGB"
	" ! queue name=framequeue leaky=downstream max-size-buffers=1"
	" max-size-bytes=0 max-size-time=0 ! appsink name=framesink sync=false max-buffers=1"
	" enable-last-sample=false";

// The preview takes the stream as the camera sends it, as BGR top row first, which is what a
// window shows upright. Its own thread behind a one-frame leaky queue: a slow window drops preview
// frames and never holds up the edge branch, and the tee copies nothing. It is scaled here, to the
// rendering size set at start, so that the main thread only draws a picture of the window's size,
// however large the frames. async off: the tee feeds the edge branch first, and a source that
// prerolls would wait there for ever if the pipeline also waited for a preview frame.
constexpr char previewBranch[] = "queue leaky=downstream max-size-buffers=1 max-size-bytes=0"
				 " max-size-time=0 ! videoscale ! capsfilter name=previewsize"
				 " ! videoconvert chroma-mode=none ! video/x-raw,format=BGR"
				 " ! appsink name=previewsink sync=false async=false max-buffers=1"
				 " drop=true enable-last-sample=false";

// A still comes as the callback takes it, RGB and bottom row first: its frames go to the callback
// as they are, without a copy, and only the preview, which has the first of them alone, turns it
// upright.
constexpr char stillEdgeBranch[] =
	"queue name=framequeue leaky=downstream max-size-buffers=1 max-size-bytes=0"
	" max-size-time=0 ! appsink name=framesink sync=false max-buffers=1"
	" enable-last-sample=false";
constexpr char stillPreviewFlip[] = "videoflip name=previewflip video-direction=vert ! ";

// How often the stall watch looks at the time of the last frame, at most.
constexpr std::chrono::milliseconds stallCheckInterval{ 250 };

// Everything after the source: the chosen format, JPEG decoding, then the branches.
std::string tailDescription(const CaptureOptions &options, bool still)
{
	if (still && !options.render)
		return stillEdgeBranch;
	if (still)
		return std::string("tee name=split ! ") + stillEdgeBranch + " split. ! " +
		       stillPreviewFlip + previewBranch;
	std::string head;
	if (!options.caps.empty()) {
		head = "capsfilter caps=\"" + options.caps + "\" ! ";
		if (options.caps.rfind("image/jpeg", 0) == 0)
			head += "jpegdec ! ";
	}
	if (!options.render)
		return head + edgeBranch;
	return head + "tee name=split ! " + edgeBranch + " split. ! " + previewBranch;
}

// GStreamer's own text of an error, without its closing full stop.
std::string messageOf(const GError *error)
{
	std::string text = error && error->message ? error->message : "";
	while (!text.empty() && (text.back() == '.' || text.back() == '\n'))
		text.pop_back();
	return text;
}

std::int64_t steadyNowNs()
{
	return std::chrono::duration_cast<std::chrono::nanoseconds>(
		       std::chrono::steady_clock::now().time_since_epoch())
		.count();
}

std::string durationWords(std::chrono::milliseconds duration)
{
	const auto ms = duration.count();
	if (ms % 1000 != 0)
		return std::to_string(ms) + " ms";
	return std::to_string(ms / 1000) + (ms == 1000 ? " second" : " seconds");
}

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

// Keeps info matching the sample's caps, parsing them only when they change: cached holds a
// reference, so a caps object at a reused address cannot pass for the old one.
bool knownVideoInfo(GstSample *sample, GstCapsPtr &cached, GstVideoInfo &info)
{
	GstCaps *caps = gst_sample_get_caps(sample);
	if (!caps)
		return false;
	if (caps != cached.get()) {
		if (!gst_video_info_from_caps(&info, caps)) {
			cached.reset();
			return false;
		}
		cached.reset(gst_caps_ref(caps));
	}
	return true;
}

// A mapped preview frame with the sample it comes from, kept alive until the main thread has shown
// it.
struct HeldFrame {
	HeldFrame(GstSamplePtr heldSample, const GstVideoInfo &info)
		: sample(std::move(heldSample)), frame(info, gst_sample_get_buffer(sample.get()))
	{
	}
	GstSamplePtr sample; // declared first: it must outlive the mapping
	MappedVideoFrame frame;
};

// Sends flush-start up to the source's pad, which ends the wait of a source blocked in its state
// change (GstBaseSrc's unlock): pipewiresrc waits there for its stream for up to 30 s.
gboolean flushSourcePad(GstElement *, GstPad *pad, gpointer)
{
	gst_pad_send_event(pad, gst_event_new_flush_start());
	return TRUE;
}

void flushSource(const GValue *item, gpointer)
{
	auto *source = GST_ELEMENT(g_value_get_object(item));
	gst_element_foreach_src_pad(source, flushSourcePad, nullptr);
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
	std::call_once(once, [] {
		gst_init(nullptr, nullptr);
		// Should it fail, the pipeline's description names the element it lacks.
		registerFrameConversion();
	});
}

std::string plainReason(const GError *error)
{
	if (!error)
		return "it failed";
	std::string words = "it failed";
	if (error->domain == GST_RESOURCE_ERROR) {
		switch (error->code) {
		case GST_RESOURCE_ERROR_BUSY:
			words = "it is busy, probably in use by another program";
			break;
		case GST_RESOURCE_ERROR_NOT_FOUND:
			words = "it is not there; is it plugged in?";
			break;
		case GST_RESOURCE_ERROR_OPEN_READ:
		case GST_RESOURCE_ERROR_OPEN_WRITE:
		case GST_RESOURCE_ERROR_OPEN_READ_WRITE:
			words = "it cannot be opened; check that it is not in use and that you may "
				"use it";
			break;
		case GST_RESOURCE_ERROR_READ:
			words = "it stopped delivering frames; was it unplugged?";
			break;
		case GST_RESOURCE_ERROR_SETTINGS:
			words = "it does not accept the chosen settings";
			break;
		default:
			break;
		}
	} else if (g_error_matches(error, GST_CORE_ERROR, GST_CORE_ERROR_NEGOTIATION) ||
		   g_error_matches(error, GST_STREAM_ERROR, GST_STREAM_ERROR_FORMAT)) {
		words = "it cannot deliver the chosen format";
	}
	const std::string detail = messageOf(error);
	return detail.empty() ? words : words + " (" + detail + ")";
}

std::string playbackReason(const GError *error)
{
	std::string detail = messageOf(error);
	if (detail.empty())
		return "it failed";
	// GStreamer's sentences start with a capital; the line goes on in lower case, as the
	// check before any window words it. An initialism (HTTP, RTSP) stays as it is.
	if (detail.size() > 1 && std::isupper(static_cast<unsigned char>(detail[0])) &&
	    !std::isupper(static_cast<unsigned char>(detail[1])))
		detail[0] = static_cast<char>(std::tolower(static_cast<unsigned char>(detail[0])));
	return detail;
}

CapturePipeline::CapturePipeline(GstElementPtr pipeline, std::string cameraName, bool playsSource,
				 CvcamFrameCallback onFrame, CaptureOptions options,
				 std::shared_ptr<const cv::Mat> still)
	: pipeline_(std::move(pipeline)), cameraName_(std::move(cameraName)),
	  playsSource_(playsSource), onFrame_(onFrame), options_(std::move(options)),
	  still_(std::move(still))
{
}

std::unique_ptr<CapturePipeline> CapturePipeline::create(const CameraInfo &camera,
							 CvcamFrameCallback onFrame,
							 std::string &error, CaptureOptions options)
{
	ensureGstreamer();

	GstElementPtr pipeline =
		sourcePipeline(camera, tailDescription(options, camera.still != nullptr), error);
	if (!pipeline)
		return nullptr;

	std::unique_ptr<CapturePipeline> capture(new CapturePipeline(
		std::move(pipeline), camera.name, !camera.uri.empty() || camera.still, onFrame,
		std::move(options), camera.still));

	// capture outlives the pipeline: its destructor takes the pipeline to NULL first.
	const GstElementPtr sink(
		gst_bin_get_by_name(GST_BIN(capture->pipeline_.get()), "framesink"));
	GstAppSinkCallbacks callbacks{};
	callbacks.new_sample = &CapturePipeline::onNewSample;
	gst_app_sink_set_callbacks(GST_APP_SINK(sink.get()), &callbacks, capture.get(), nullptr);
	const GstElementPtr queue(
		gst_bin_get_by_name(GST_BIN(capture->pipeline_.get()), "framequeue"));
	const GstObjectPtr<GstPad> queueInput(gst_element_get_static_pad(queue.get(), "sink"));
	gst_pad_add_probe(queueInput.get(), GST_PAD_PROBE_TYPE_BUFFER,
			  &CapturePipeline::onFrameQueued, capture.get(), nullptr);
	capture->frameQueue_ = queue.get();
	if (capture->still_) {
		const GstElementPtr source(
			gst_bin_get_by_name(GST_BIN(capture->pipeline_.get()), stillSourceName));
		capture->stillSource_ = source.get();
	} else {
		// A still's frames are few and each one asked for: the gate could leave out the one
		// that shows the sliders' last move.
		const GstElementPtr convert(
			gst_bin_get_by_name(GST_BIN(capture->pipeline_.get()), "frameconvert"));
		const GstObjectPtr<GstPad> convertInput(
			gst_element_get_static_pad(convert.get(), "sink"));
		gst_pad_add_probe(convertInput.get(), GST_PAD_PROBE_TYPE_BUFFER,
				  &CapturePipeline::onFrameArriving, capture.get(), nullptr);
	}

	if (capture->options_.render) {
		if (capture->still_) {
			const GstElementPtr previewFlip(gst_bin_get_by_name(
				GST_BIN(capture->pipeline_.get()), "previewflip"));
			const GstObjectPtr<GstPad> previewInput(
				gst_element_get_static_pad(previewFlip.get(), "sink"));
			gst_pad_add_probe(previewInput.get(), GST_PAD_PROBE_TYPE_BUFFER,
					  &CapturePipeline::onStillPreview, capture.get(), nullptr);
		}
		const GstElementPtr previewSink(
			gst_bin_get_by_name(GST_BIN(capture->pipeline_.get()), "previewsink"));
		GstAppSinkCallbacks previewCallbacks{};
		previewCallbacks.new_sample = &CapturePipeline::onNewPreviewSample;
		gst_app_sink_set_callbacks(GST_APP_SINK(previewSink.get()), &previewCallbacks,
					   capture.get(), nullptr);
		capture->preview_ = std::make_unique<PreviewWindow>(camera.name);
	}

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
	// A start while running begins afresh, with a watch of its own.
	stopWatch();
	finishStart();
	if (preview_)
		sizePreview();
	{
		std::lock_guard lock(errorLock_);
		error_.clear();
	}
	fault_.store(Fault::none);
	gotFrame_.store(false);
	stillPreviewed_.store(false);
	startFailureTold_.store(false);
	lastFrameNs_.store(steadyNowNs());
	delivering_.store(true);
	// Opening is quick for every source, and a camera that is not there or not ours fails
	// here, so the caller learns of it at once.
	if (gst_element_set_state(pipeline_.get(), GST_STATE_READY) == GST_STATE_CHANGE_FAILURE) {
		// An element that refuses has usually posted the reason already.
		reportFailure("it could not be started");
		stop();
		std::lock_guard lock(errorLock_);
		error = error_;
		return false;
	}
	starting_.store(true);
	starter_ = std::thread([this] { play(); });
	// A still sends a frame only when asked: its silence is no stall.
	if (still_)
		return true;
	// The stall watch runs before the source plays, so that a source that never starts is
	// reported within the stall timeout, not when it gives up.
	{
		std::lock_guard lock(watchLock_);
		watching_ = true;
	}
	watch_ = std::thread([this] { watchForStalls(); });
	return true;
}

void CapturePipeline::play()
{
	const GstStateChangeReturn result =
		gst_element_set_state(pipeline_.get(), GST_STATE_PLAYING);
	starting_.store(false);
	if (result != GST_STATE_CHANGE_FAILURE) {
		// A source that plays has the whole stall timeout from here for its first frame, as
		// it had before it played; one still waiting in its state change is bounded from
		// start().
		lastFrameNs_.store(steadyNowNs());
		if (still_)
			pushStill();
		return;
	}
	// An element that refuses has usually posted the reason already, and a stall reported while
	// it waited said why too: reportFailure() says nothing more then.
	if (delivering_.load())
		reportFailure("it could not be started");
}

void CapturePipeline::finishStart()
{
	if (!starter_.joinable())
		return;
	if (starting_.load()) {
		GstIterator *sources = gst_bin_iterate_sources(GST_BIN(pipeline_.get()));
		gst_iterator_foreach(sources, flushSource, nullptr);
		gst_iterator_free(sources);
	}
	starter_.join();
}

void CapturePipeline::startFailed()
{
	if (gotFrame_.load() || startFailureTold_.exchange(true))
		return;
	if (options_.onStartFailure)
		options_.onStartFailure();
}

void CapturePipeline::sizePreview()
{
	const int width = options_.renderWidth ? *options_.renderWidth : 0;
	const int height = options_.renderHeight ? *options_.renderHeight : 0;
	preview_->setSize(width, height);
	const GstElementPtr filter(gst_bin_get_by_name(GST_BIN(pipeline_.get()), "previewsize"));
	// Square pixels: a picture of another shape is fitted in with borders, not stretched.
	const GstCapsPtr caps(width > 0 && height > 0
				      ? gst_caps_new_simple("video/x-raw", "width", G_TYPE_INT,
							    width, "height", G_TYPE_INT, height,
							    "pixel-aspect-ratio", GST_TYPE_FRACTION,
							    1, 1, nullptr)
				      : gst_caps_new_any());
	if (filter)
		g_object_set(filter.get(), "caps", caps.get(), nullptr);
}

void CapturePipeline::stop()
{
	delivering_.store(false);
	stopWatch();
	finishStart();
	// Blocks until the streaming threads have left their loops, callbacks included.
	gst_element_set_state(pipeline_.get(), GST_STATE_NULL);
}

void CapturePipeline::redeliver()
{
	if (!still_ || !delivering_.load())
		return;
	guint64 waiting = 0;
	g_object_get(stillSource_, "current-level-bytes", &waiting, nullptr);
	if (waiting == 0)
		pushStill();
}

void CapturePipeline::pushStill()
{
	// The buffer lends the image's pixels, read-only, and keeps the image alive: downstream
	// elements write into buffers of their own.
	auto *owner = new std::shared_ptr<const cv::Mat>(still_);
	const std::size_t bytes = still_->step[0] * static_cast<std::size_t>(still_->rows);
	GstBuffer *buffer = gst_buffer_new_wrapped_full(
		GST_MEMORY_FLAG_READONLY, const_cast<uchar *>(still_->data), bytes, 0, bytes, owner,
		[](gpointer data) { delete static_cast<std::shared_ptr<const cv::Mat> *>(data); });
	// Stamped with the running time it was asked for, once there is one, so that the time
	// from the request to the picture can be measured like a camera's latency.
	if (const GstObjectPtr<GstClock> clock(gst_element_get_clock(pipeline_.get())); clock) {
		const GstClockTime now = gst_clock_get_time(clock.get());
		const GstClockTime base = gst_element_get_base_time(pipeline_.get());
		if (GST_CLOCK_TIME_IS_VALID(now) && now >= base)
			GST_BUFFER_PTS(buffer) = now - base;
	}
	// Takes the buffer; a source not yet started, or already stopping, drops it.
	gst_app_src_push_buffer(GST_APP_SRC(stillSource_), buffer);
}

bool CapturePipeline::previewClosed() const
{
	return preview_ && preview_->closedByUser();
}

void CapturePipeline::stopWatch()
{
	{
		std::lock_guard lock(watchLock_);
		watching_ = false;
	}
	watchWake_.notify_all();
	if (watch_.joinable())
		watch_.join();
}

void CapturePipeline::report(const std::string &line)
{
	if (options_.onFault)
		options_.onFault(line);
	else
		std::fprintf(stderr, "edge-viewer: %s\n", line.c_str());
}

void CapturePipeline::reportFailure(const std::string &reason)
{
	// A camera that never sent a frame was already said to be silent; its giving up later (as
	// pipewiresrc does after 30 s) is the same fault.
	const Fault before = fault_.exchange(Fault::failed);
	if (before == Fault::failed || (before == Fault::stalled && !gotFrame_.load()))
		return;
	const std::string line = faultSubject() + reason;
	{
		std::lock_guard lock(errorLock_);
		error_ = line;
	}
	report(line);
	startFailed();
}

std::string CapturePipeline::faultSubject() const
{
	const bool running = gotFrame_.load();
	if (playsSource_)
		return (running ? "failed to play \"" : "failed to open \"") + cameraName_ + "\": ";
	return (running ? "failed to capture from camera \"" : "failed to start camera \"") +
	       cameraName_ + "\": ";
}

void CapturePipeline::watchForStalls()
{
	const auto timeout = options_.stallTimeout;
	const auto interval = std::clamp<std::chrono::milliseconds>(
		timeout / 4, std::chrono::milliseconds{ 1 }, stallCheckInterval);
	std::unique_lock lock(watchLock_);
	while (watching_) {
		watchWake_.wait_for(lock, interval);
		if (!watching_)
			break;
		const auto silent = std::chrono::nanoseconds(steadyNowNs() - lastFrameNs_.load());
		Fault expected = Fault::none;
		if (silent < timeout || !fault_.compare_exchange_strong(expected, Fault::stalled))
			continue;
		const std::string line =
			faultSubject() + "it has sent no frame for " + durationWords(timeout);
		// Reported outside the lock, so that stop() never waits for the line.
		lock.unlock();
		report(line);
		startFailed();
		lock.lock();
	}
}

GstBusSyncReply CapturePipeline::onBusMessage(GstBus *, GstMessage *message, gpointer self)
{
	auto *capture = static_cast<CapturePipeline *>(self);
	// Messages posted while stopping describe the stop, not the camera.
	if (!capture->delivering_.load())
		return GST_BUS_DROP;
	if (GST_MESSAGE_TYPE(message) == GST_MESSAGE_ERROR) {
		GError *rawError = nullptr;
		gst_message_parse_error(message, &rawError, nullptr);
		const GErrorPtr error(rawError);
		capture->reportFailure(capture->playsSource_ ? playbackReason(error.get())
							     : plainReason(error.get()));
	} else if (GST_MESSAGE_TYPE(message) == GST_MESSAGE_EOS) {
		capture->reportFailure("it stopped sending frames (end of stream)");
	}
	// Nobody pops this bus: dropping here keeps messages from piling up over a long run.
	return GST_BUS_DROP;
}

GstPadProbeReturn CapturePipeline::onFrameArriving(GstPad *, GstPadProbeInfo *, gpointer self)
{
	auto *capture = static_cast<CapturePipeline *>(self);
	guint waiting = 0;
	g_object_get(capture->frameQueue_, "current-level-buffers", &waiting, nullptr);
	return capture->gate_.admit(steadyNowNs(), waiting > 0) ? GST_PAD_PROBE_OK
								: GST_PAD_PROBE_DROP;
}

GstPadProbeReturn CapturePipeline::onStillPreview(GstPad *, GstPadProbeInfo *, gpointer self)
{
	auto *capture = static_cast<CapturePipeline *>(self);
	return capture->stillPreviewed_.exchange(true) ? GST_PAD_PROBE_DROP : GST_PAD_PROBE_OK;
}

GstPadProbeReturn CapturePipeline::onFrameQueued(GstPad *, GstPadProbeInfo *info, gpointer self)
{
	auto *capture = static_cast<CapturePipeline *>(self);
	capture->gate_.converted(steadyNowNs());
	capture->lastQueued_.store(GST_PAD_PROBE_INFO_BUFFER(info), std::memory_order_release);
	return GST_PAD_PROBE_OK;
}

GstFlowReturn CapturePipeline::onNewSample(GstAppSink *sink, gpointer self)
{
	auto *capture = static_cast<CapturePipeline *>(self);
	const GstSamplePtr sample(gst_app_sink_pull_sample(sink));
	if (!sample || !capture->delivering_.load())
		return GST_FLOW_OK;
	// Pairs with the store in onFrameQueued: the frame's pixels were written before it.
	capture->lastQueued_.load(std::memory_order_acquire);

	capture->lastFrameNs_.store(steadyNowNs(), std::memory_order_relaxed);
	capture->gotFrame_.store(true, std::memory_order_relaxed);
	Fault stalled = Fault::stalled;
	if (capture->fault_.load(std::memory_order_relaxed) == stalled)
		capture->fault_.compare_exchange_strong(stalled, Fault::none);

	if (!knownVideoInfo(sample.get(), capture->frameCaps_, capture->frameInfo_))
		return GST_FLOW_OK;

	const MappedVideoFrame frame(capture->frameInfo_, gst_sample_get_buffer(sample.get()));
	if (!frame.mapped())
		return GST_FLOW_OK;

#ifdef EDGE_VIEWER_BENCH_BUILD
	noteCaptureTime(capture->pipeline_.get(), gst_sample_get_buffer(sample.get()),
			capture->framesDelivered_.load(std::memory_order_relaxed));
#endif
	capture->gate_.callbackStarted(steadyNowNs());
	try {
		if (capture->onFrame_)
			capture->onFrame_(frame.view());
	} catch (...) {
		// No exception may unwind into GStreamer's C code; the frame is simply lost.
	}
	capture->gate_.callbackEnded(steadyNowNs());
	capture->framesDelivered_.fetch_add(1, std::memory_order_relaxed);
	return GST_FLOW_OK;
}

GstFlowReturn CapturePipeline::onNewPreviewSample(GstAppSink *sink, gpointer self)
{
	auto *capture = static_cast<CapturePipeline *>(self);
	GstSamplePtr sample(gst_app_sink_pull_sample(sink));
	if (!sample || !capture->delivering_.load())
		return GST_FLOW_OK;
	if (!knownVideoInfo(sample.get(), capture->previewCaps_, capture->previewInfo_))
		return GST_FLOW_OK;
	try {
		auto held =
			std::make_shared<const HeldFrame>(std::move(sample), capture->previewInfo_);
		if (held->frame.mapped())
			capture->preview_->offer(held->frame.view(), held);
	} catch (...) {
		// As for the edge frames: the preview frame is lost, capture goes on.
	}
	return GST_FLOW_OK;
}
