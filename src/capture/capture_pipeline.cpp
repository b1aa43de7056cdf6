// One running capture: its state changes, its faults, and what its streaming threads do with each
// frame.
#include "capture_pipeline.h"

#include <cmath>
#include <exception>
#include <utility>

#include <opencv2/core.hpp>

#include "capture_source.h"
#include "fault_words.h"
#include "gst_runtime.h"
#include "preview_window.h"
#include "source_replay.h"
#include "still_feed.h"
#include "user_message.h"
#include "video_frame.h"

namespace {

std::int64_t steadyNowNs()
{
	return std::chrono::duration_cast<std::chrono::nanoseconds>(
		       std::chrono::steady_clock::now().time_since_epoch())
		.count();
}

} // namespace

CapturePipeline::CapturePipeline(GstElementPtr pipeline, std::string cameraName, bool playsSource,
				 CvcamFrameCallback onFrame, CaptureOptions options)
	: pipeline_(std::move(pipeline)), cameraName_(std::move(cameraName)),
	  playsSource_(playsSource), onFrame_(onFrame), options_(std::move(options)),
	  stallWatch_(options_.stallTimeout, [this] { onStall(); })
{
}

std::unique_ptr<CapturePipeline> CapturePipeline::create(const CameraInfo &camera,
							 CvcamFrameCallback onFrame,
							 std::string &error, CaptureOptions options)
{
	ensureGstreamer();

	GstElementPtr pipeline = sourcePipeline(
		camera, tailDescription(options.caps, options.render, camera.still != nullptr),
		error);
	if (!pipeline)
		return nullptr;

	std::unique_ptr<CapturePipeline> capture(new CapturePipeline(
		std::move(pipeline), camera.name, !camera.uri.empty() || camera.still, onFrame,
		std::move(options)));

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
	if (camera.still) {
		capture->still_ = std::make_unique<StillFeed>(
			camera.still, capture->pipeline_.get(), capture->options_.render);
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
	stallWatch_.stop();
	finishStart();
	if (preview_)
		preview_->setSize(options_.renderWidth ? *options_.renderWidth : 0,
				  options_.renderHeight ? *options_.renderHeight : 0);
	{
		std::lock_guard lock(errorLock_);
		error_.clear();
	}
	fault_.store(Fault::none);
	gotFrame_.store(false);
	if (still_)
		still_->restart();
	startFailureTold_.store(false);
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
	stallWatch_.start();
	return true;
}

void CapturePipeline::play()
{
	// A clip's decoder never waits in its state change, as a camera's source may: stop() need
	// not end one, and waits for this thread instead, so that no seek of the start runs beside
	// its change to NULL.
	if (playsAgainAtEnd(pipeline_.get())) {
		starting_.store(false);
		if (!prerollClip())
			return;
	}
	const GstStateChangeReturn result =
		gst_element_set_state(pipeline_.get(), GST_STATE_PLAYING);
	starting_.store(false);
	if (result != GST_STATE_CHANGE_FAILURE) {
		// A source that plays has the whole stall timeout from here for its first frame, as
		// it had before it played; one still waiting in its state change is bounded from
		// start().
		stallWatch_.restartClock();
		if (still_)
			still_->push();
		return;
	}
	// An element that refuses has usually posted the reason already, and a stall reported while
	// it waited said why too: reportFailure() says nothing more then.
	if (delivering_.load())
		reportFailure("it could not be started");
}

bool CapturePipeline::prerollClip()
{
	forgetLastStart(pipeline_.get());
	// A failure here fails the change to PLAYING too, which says so.
	if (gst_element_set_state(pipeline_.get(), GST_STATE_PAUSED) == GST_STATE_CHANGE_FAILURE)
		return true;
	// Short waits, so that a stream slow to start never holds up a stop for long.
	constexpr std::chrono::milliseconds stopCheckInterval{ 50 };
	while (!playFirstSegment(pipeline_.get(), stopCheckInterval))
		if (!delivering_.load())
			return false;
	return true;
}

void CapturePipeline::finishStart()
{
	if (!starter_.joinable())
		return;
	if (starting_.load()) {
		endSourceWaits(GST_BIN(pipeline_.get()));
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

void CapturePipeline::stop()
{
	delivering_.store(false);
	stallWatch_.stop();
	finishStart();
	// Blocks until the streaming threads have left their loops, callbacks included.
	gst_element_set_state(pipeline_.get(), GST_STATE_NULL);
}

void CapturePipeline::redeliver()
{
	if (!still_ || !delivering_.load())
		return;
	still_->pushUnlessWaiting();
}

bool CapturePipeline::previewClosed() const
{
	return preview_ && preview_->closedByUser();
}

void CapturePipeline::report(const std::string &line)
{
	if (options_.onFault)
		options_.onFault(line);
	else
		tellUser(line);
}

void CapturePipeline::reportFailure(const std::string &reason)
{
	// A camera that never sent a frame was already said to be silent; its giving up later (as
	// pipewiresrc does after 30 s) is the same fault.
	const Fault before = fault_.exchange(Fault::failed);
	if (before == Fault::failed || (before == Fault::stalled && !gotFrame_.load()))
		return;
	const std::string line = faultSubject(cameraName_, playsSource_, gotFrame_.load()) + reason;
	{
		std::lock_guard lock(errorLock_);
		error_ = line;
	}
	report(line);
	startFailed();
}

void CapturePipeline::onStall()
{
	Fault expected = Fault::none;
	if (!fault_.compare_exchange_strong(expected, Fault::stalled))
		return;
	report(faultSubject(cameraName_, playsSource_, gotFrame_.load()) +
	       "it has sent no frame for " + durationWords(options_.stallTimeout));
	startFailed();
}

GstBusSyncReply CapturePipeline::onBusMessage(GstBus *, GstMessage *message, gpointer self)
{
	auto *capture = static_cast<CapturePipeline *>(self);
	// Messages posted while stopping describe the stop, not the camera.
	if (!capture->delivering_.load())
		return GST_BUS_DROP;
	// On the decoder's own thread, inside the message: source_replay.h says why.
	playNextSegment(capture->pipeline_.get(), message);
	if (GST_MESSAGE_TYPE(message) == GST_MESSAGE_ERROR) {
		GError *rawError = nullptr;
		gchar *rawDetail = nullptr;
		gst_message_parse_error(message, &rawError, &rawDetail);
		const GErrorPtr error(rawError);
		const GCharPtr detail(rawDetail);
		// The user sees the message; which element failed, and its flow return, are for
		// whoever reads the log.
		GST_CAT_WARNING_OBJECT(edgeViewerDebug, GST_MESSAGE_SRC(message), "error: %s (%s)",
				       error->message, detail ? detail.get() : "no detail");
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
	if (capture->gate_.admit(steadyNowNs(), waiting > 0))
		return GST_PAD_PROBE_OK;
	GST_CAT_LOG(edgeViewerDebug, "frame left out: the frame callback would not take it");
	return GST_PAD_PROBE_DROP;
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

	capture->stallWatch_.restartClock();
	capture->gotFrame_.store(true, std::memory_order_relaxed);
	Fault stalled = Fault::stalled;
	if (capture->fault_.load(std::memory_order_relaxed) == stalled)
		capture->fault_.compare_exchange_strong(stalled, Fault::none);

	if (!knownVideoInfo(sample.get(), capture->frameCaps_, capture->frameInfo_))
		return GST_FLOW_OK;

	const MappedVideoFrame frame(capture->frameInfo_, gst_sample_get_buffer(sample.get()));
	if (!frame.mapped())
		return GST_FLOW_OK;

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
		const MappedVideoFrame frame(capture->previewInfo_,
					     gst_sample_get_buffer(sample.get()));
		if (!frame.mapped())
			return GST_FLOW_OK;
		const GstVideoInfo &info = capture->previewInfo_;
		const double pixelAspect = info.par_n > 0 && info.par_d > 0
						   ? static_cast<double>(info.par_n) / info.par_d
						   : 1.0;
		PreviewWindow &preview = *capture->preview_;
		const cv::Mat view = frame.view();
		const cv::Size shown = preview.fitted(
			{ static_cast<int>(std::lround(view.cols * pixelAspect)), view.rows });
		preview.offer(previewPicture(view, pixelAspect, shown.width, shown.height),
			      nullptr);
	} catch (...) {
		// As for the edge frames: the preview frame is lost, capture goes on.
	}
	return GST_FLOW_OK;
}
