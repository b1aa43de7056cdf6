// The tracer and the probe that log each frame at the viewer's named elements.
#include "frame_tracer.h"

#include <chrono>
#include <functional>
#include <optional>
#include <utility>

#include <gst/gst.h>
#include <gst/video/video.h>

#include "capture/gst_handles.h"
#include "frame_code.h"
#include "frame_log.h"

namespace {

// The frame callback's one-frame queue and the conversion in front of it, by the names the capture
// layer gives them. The conversion's output is where a frame is new: past it, a preview branch may
// share the buffer, which can then no longer be written without a copy.
constexpr char callbackQueue[] = "framequeue";
constexpr char conversion[] = "framergb";

struct Context {
	FrameLog *log = nullptr;
	std::function<void()> onFramePipeline;
};

// Set once on the main thread before any pipeline exists; read by the hooks on any thread.
Context context;

// The callback's queue pushes from its own thread only: the frame under way there.
thread_local std::optional<std::uint64_t> frameInCallback;

std::int64_t nowNs()
{
	return std::chrono::duration_cast<std::chrono::nanoseconds>(
		       std::chrono::steady_clock::now().time_since_epoch())
		.count();
}

bool ofElement(GstPad *pad, const char *name)
{
	// A pad's parent and an element's name stay as they are while data flows.
	const GstObject *parent = GST_OBJECT_PARENT(pad);
	return parent && g_strcmp0(GST_OBJECT_NAME(parent), name) == 0;
}

bool ofCallbackQueue(GstPad *pad)
{
	return ofElement(pad, callbackQueue);
}

// Whether the bin that holds pad's element also holds the conversion: then frames are logged as
// they leave it. A still has none, and is logged as it reaches the callback's queue.
bool besideConversion(GstPad *pad)
{
	GstObject *element = GST_OBJECT_PARENT(pad);
	GstObject *bin = element ? GST_OBJECT_PARENT(element) : nullptr;
	if (!bin || !GST_IS_BIN(bin))
		return false;
	const GstElementPtr found(gst_bin_get_by_name(GST_BIN(bin), conversion));
	return found != nullptr;
}

// Each probe's own state, used by the conversion's streaming thread only.
struct ProbeState {
	std::uint64_t nextSequence = 0; // for sources that leave their frames unnumbered
	// Held, so that a new caps object at the same address is never taken for it.
	GstCapsPtr caps;
	GstVideoInfo info{};
	bool known = false;
};

void destroyProbeState(gpointer state)
{
	delete static_cast<ProbeState *>(state);
}

// Keeps the state's video info matching the pad's caps, parsing them only when they change.
bool knowFormat(GstPad *pad, ProbeState &state)
{
	GstCapsPtr caps(gst_pad_get_current_caps(pad));
	if (caps == state.caps)
		return state.known;
	state.known = caps && gst_video_info_from_caps(&state.info, caps.get());
	state.caps = std::move(caps);
	return state.known;
}

// A live source stamps each frame with the running time at which it captured it; a still, with
// the time it was asked for.
std::int64_t captureTime(GstPad *pad, GstBuffer *buffer, std::int64_t now)
{
	const GstClockTime pts = GST_BUFFER_PTS(buffer);
	GstObject *top = GST_OBJECT_PARENT(pad);
	while (top && GST_OBJECT_PARENT(top))
		top = GST_OBJECT_PARENT(top);
	if (!GST_CLOCK_TIME_IS_VALID(pts) || !top || !GST_IS_ELEMENT(top))
		return now;
	return static_cast<std::int64_t>(pts + gst_element_get_base_time(GST_ELEMENT(top)));
}

// Whether buffer's memory may be written as it is: a copy would cost the frame as much as the
// figures are meant to show, and a still's frames lend the image itself, which is read-only.
bool writableInPlace(GstBuffer *buffer)
{
	if (!gst_buffer_is_writable(buffer))
		return false;
	for (guint index = 0; index < gst_buffer_n_memory(buffer); ++index) {
		GstMemory *memory = gst_buffer_peek_memory(buffer, index);
		if (GST_MEMORY_IS_READONLY(memory) || !gst_memory_is_writable(memory))
			return false;
	}
	return true;
}

// A video frame mapped for writing; unmapped when it goes out of scope.
class WritableFrame
{
public:
	WritableFrame(const GstVideoInfo &info, GstBuffer *buffer)
	{
		GstVideoInfo mutableInfo = info;
		mapped_ = gst_video_frame_map(&frame_, &mutableInfo, buffer, GST_MAP_WRITE);
	}
	WritableFrame(const WritableFrame &) = delete;
	WritableFrame &operator=(const WritableFrame &) = delete;
	~WritableFrame()
	{
		if (mapped_)
			gst_video_frame_unmap(&frame_);
	}

	bool mapped() const { return mapped_; }
	const GstVideoFrame &get() const { return frame_; }

private:
	GstVideoFrame frame_{};
	bool mapped_ = false;
};

// Draws the frame's number where the "edge" window shows its top-left corner: the frame comes
// bottom row first, and the callback flips its edges upright.
bool drawCode(GstBuffer *buffer, const GstVideoInfo &info, std::uint64_t sequence)
{
	if (!GST_VIDEO_INFO_IS_RGB(&info) || GST_VIDEO_INFO_N_PLANES(&info) != 1 ||
	    GST_VIDEO_INFO_WIDTH(&info) < frameCodeWidth ||
	    GST_VIDEO_INFO_HEIGHT(&info) < frameCodeHeight || !writableInPlace(buffer))
		return false;
	const WritableFrame frame(info, buffer);
	if (!frame.mapped())
		return false;
	const GstVideoFrame &pixels = frame.get();
	const int height = GST_VIDEO_FRAME_HEIGHT(&pixels);
	const int stride = GST_VIDEO_FRAME_PLANE_STRIDE(&pixels, 0);
	auto *first = static_cast<std::uint8_t *>(GST_VIDEO_FRAME_PLANE_DATA(&pixels, 0));
	drawFrameCode(
		static_cast<std::uint16_t>(sequence),
		[&](int row) {
			return first + static_cast<std::ptrdiff_t>(height - 1 - row) * stride;
		},
		GST_VIDEO_FRAME_COMP_PSTRIDE(&pixels, 0));
	return true;
}

// The conversion's streaming thread, as a frame leaves the conversion (or, for a still, reaches the
// callback's queue).
GstPadProbeReturn onFrameConverted(GstPad *pad, GstPadProbeInfo *info, gpointer data)
{
	auto &state = *static_cast<ProbeState *>(data);
	GstBuffer *buffer = GST_PAD_PROBE_INFO_BUFFER(info);
	const std::int64_t now = nowNs();
	FrameTimes times;
	times.sequence = GST_BUFFER_OFFSET_IS_VALID(buffer) ? GST_BUFFER_OFFSET(buffer)
							    : state.nextSequence++;
	times.captureNs = captureTime(pad, buffer, now);
	times.convertedNs = now;
	const bool known = knowFormat(pad, state);
	const bool coded = known && drawCode(buffer, state.info, times.sequence);
	context.log->converted(times, buffer, coded, known ? GST_VIDEO_INFO_WIDTH(&state.info) : 0,
			       known ? GST_VIDEO_INFO_HEIGHT(&state.info) : 0);
	return GST_PAD_PROBE_OK;
}

// The thread linking a pipeline, usually the main thread.
void onPadLinked(GObject *, GstClockTime, GstPad *srcPad, GstPad *sinkPad, GstPadLinkReturn result)
{
	if (result != GST_PAD_LINK_OK)
		return;
	if (ofElement(srcPad, conversion))
		gst_pad_add_probe(srcPad, GST_PAD_PROBE_TYPE_BUFFER, onFrameConverted,
				  new ProbeState, destroyProbeState);
	if (!ofCallbackQueue(sinkPad))
		return;
	if (!besideConversion(sinkPad))
		gst_pad_add_probe(sinkPad, GST_PAD_PROBE_TYPE_BUFFER, onFrameConverted,
				  new ProbeState, destroyProbeState);
	if (context.onFramePipeline)
		context.onFramePipeline();
}

// The callback's queue's thread: the push into the callback's sink runs the callback.
void onPushing(GObject *, GstClockTime, GstPad *pad, GstBuffer *buffer)
{
	if (GST_PAD_IS_SRC(pad) && ofCallbackQueue(pad))
		frameInCallback = context.log->callbackStarted(buffer, nowNs());
}

void onPushed(GObject *, GstClockTime, GstPad *pad, GstFlowReturn)
{
	if (!frameInCallback || !GST_PAD_IS_SRC(pad) || !ofCallbackQueue(pad))
		return;
	context.log->callbackEnded(*frameInCallback, nowNs());
	frameInCallback.reset();
}

struct FrameTracer {
	GstTracer parent;
};

struct FrameTracerClass {
	GstTracerClass parent;
};

GType frameTracerType()
{
	static const GType type = g_type_register_static_simple(
		GST_TYPE_TRACER, "EdgeViewerFrameTracer", sizeof(FrameTracerClass), nullptr,
		sizeof(FrameTracer), nullptr, static_cast<GTypeFlags>(0));
	return type;
}

} // namespace

void traceFrames(FrameLog &log, std::function<void()> onFramePipeline)
{
	context = Context{ &log, std::move(onFramePipeline) };
	// GStreamer's tracing takes references of its own, kept for the whole process.
	const GstObjectPtr<GstTracer> tracer(
		GST_TRACER(gst_object_ref_sink(g_object_new(frameTracerType(), nullptr))));
	gst_tracing_register_hook(tracer.get(), "pad-link-post", G_CALLBACK(onPadLinked));
	gst_tracing_register_hook(tracer.get(), "pad-push-pre", G_CALLBACK(onPushing));
	gst_tracing_register_hook(tracer.get(), "pad-push-post", G_CALLBACK(onPushed));
}
