// The capture pipeline's description and its source, made from a device, a description, a decoded
// video file or stream or a still image; and the check of a source before it is used.
#include "capture_source.h"

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gst/pbutils/pbutils.h>
#include <opencv2/core.hpp>

#include "gst_runtime.h"
#include "source_replay.h"
#include "still_image.h"
#include "user_message.h"

namespace {

// GStreamer converts and flips before the frame reaches us, so the callback gets the mapped buffer
// itself, bottom row first (its flip shows it upright) and in RGB (its grey conversion weighs the
// channels right). Our own element does both in one pass over the frame (frame_conversion.h),
// using the camera's subsampled colour as it comes; the videoconvert in front passes through every
// format the element takes, which covers what cameras and jpegdec send, and converts the rest.
// Before the conversion a gate (ConversionGate) leaves out frames a busy callback would never see.
constexpr char conversion[] = "videoconvert name=frameconvert ! bottomuprgb name=framergb"
			      " ! video/x-raw,format=RGB";

// The one-frame leaky queue gives the callback a thread of its own: the source and the conversion
// go on with the next frame while the callback works, and a converted frame still waiting when a
// newer one is ready is dropped, so the callback always gets the newest frame and the camera is
// never held up by it. The appsink therefore never holds more than the frame being handed over.
// enable-last-sample off: the sink would otherwise keep the newest frame alive after we return.
constexpr char callbackBranch[] =
	"queue name=framequeue leaky=downstream max-size-buffers=1 max-size-bytes=0"
	" max-size-time=0 ! appsink name=framesink sync=false max-buffers=1"
	" enable-last-sample=false";

// The preview shares the converted frame, which the tee hands on without a copy, and scales it to
// the window itself (previewPicture): one small picture instead of a second conversion of the whole
// frame. Its frames are the ones the gate lets through, so when the edges cannot keep up with a
// large camera the preview shows the same frames as they do. Its own thread behind a one-frame
// leaky queue: a slow window drops preview frames and never holds up the callback. async off: the
// tee feeds the callback's branch first, and a source that prerolls would wait there for ever if
// the pipeline also waited for a preview frame.
constexpr char previewBranch[] =
	"queue name=previewqueue leaky=downstream max-size-buffers=1 max-size-bytes=0"
	" max-size-time=0 ! appsink name=previewsink sync=false async=false max-buffers=1"
	" drop=true enable-last-sample=false";

// How long the check of a local file may take: a file that takes longer to identify is broken.
constexpr GstClockTime discoveryTimeout = 10 * GST_SECOND;

std::string errorText(GError *error, const char *what)
{
	return std::string(what) + ": " +
	       (error && error->message ? errorFragment(error->message) : "unknown error");
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

// The conversion tail as one bin, its sink pad ghosted.
GstElementPtr tailBin(const std::string &description, std::string &error)
{
	GError *rawError = nullptr;
	GstElementPtr tail =
		sinkElement(gst_parse_bin_from_description(description.c_str(), TRUE, &rawError));
	const GErrorPtr parseError(rawError);
	if (parseError || !tail) {
		error = errorText(parseError.get(), "failed to create the conversion elements");
		return nullptr;
	}
	return tail;
}

// A new pipeline holding source and tail, not yet linked.
GstElementPtr pipelineOf(GstElement *source, GstElement *tail)
{
	GstElementPtr pipeline = sinkElement(gst_pipeline_new("capture"));
	// The bin takes references of its own; the caller's stay with the caller.
	gst_bin_add_many(GST_BIN(pipeline.get()), GST_ELEMENT(gst_object_ref(source)),
			 GST_ELEMENT(gst_object_ref(tail)), nullptr);
	return pipeline;
}

// A device's source element, linked into the conversion tail inside a new pipeline.
GstElementPtr devicePipeline(const CameraInfo &camera, const std::string &tailText,
			     std::string &error)
{
	GstElementPtr source = sinkElement(gst_device_create_element(camera.device.get(), nullptr));
	if (!source) {
		error = "failed to create the source element of " + camera.name;
		return nullptr;
	}
	// pipewiresrc lends PipeWire's own buffer memory, which PipeWire unmaps when the camera
	// goes or renegotiates, even while a frame of it still waits in the preview's queue on
	// another thread; reading it then crashes. A copy per frame is the price of a safe one.
	if (g_object_class_find_property(G_OBJECT_GET_CLASS(source.get()), "always-copy"))
		g_object_set(source.get(), "always-copy", TRUE, nullptr);
	const GstElementPtr tail = tailBin(tailText, error);
	if (!tail)
		return nullptr;
	GstElementPtr pipeline = pipelineOf(source.get(), tail.get());
	if (!gst_element_link(source.get(), tail.get())) {
		error = "failed to link " + camera.name + " to the conversion elements";
		return nullptr;
	}
	return pipeline;
}

// Links the decoder's first video stream to the tail; audio and other streams stay unlinked, which
// the decoder tolerates while one stream is linked.
void onDecodedPad(GstElement *, GstPad *pad, gpointer tail)
{
	const GstCapsPtr caps(gst_pad_query_caps(pad, nullptr));
	if (!caps || gst_caps_is_empty(caps.get()) ||
	    !g_str_has_prefix(gst_structure_get_name(gst_caps_get_structure(caps.get(), 0)),
			      "video/"))
		return;
	const GstObjectPtr<GstPad> sinkPad(
		gst_element_get_static_pad(static_cast<GstElement *>(tail), "sink"));
	if (sinkPad && !gst_pad_is_linked(sinkPad.get()))
		gst_pad_link(pad, sinkPad.get());
}

// A decoded file or stream, played again from the start at its end. clocksync holds each frame
// until its time on the pipeline's clock: the sinks take frames as they come, which paces a camera
// but would let a file run as fast as it decodes.
GstElementPtr uriPipeline(const CameraInfo &camera, const std::string &tailText, std::string &error)
{
	GstElementPtr decoder = sinkElement(gst_element_factory_make("uridecodebin", nullptr));
	if (!decoder) {
		error = "failed to create the decoder of " + camera.name;
		return nullptr;
	}
	g_object_set(decoder.get(), "uri", camera.uri.c_str(), nullptr);
	const GstElementPtr tail = tailBin("clocksync ! " + tailText, error);
	if (!tail)
		return nullptr;
	GstElementPtr pipeline = pipelineOf(decoder.get(), tail.get());
	// The tail lives in the pipeline as long as the decoder that signals.
	g_signal_connect(decoder.get(), "pad-added", G_CALLBACK(onDecodedPad), tail.get());
	playAgainAtEnd(pipeline.get(), decoder.get(), tail.get());
	return pipeline;
}

// A still image, pushed by the capture when it starts and when asked again; nothing flows between.
// Its caps say top row first, as for any source; the tail knows a still comes the other way up.
// Its frames carry no time: the sinks take them as they come.
GstElementPtr stillPipeline(const CameraInfo &camera, const std::string &tailText,
			    std::string &error)
{
	const cv::Mat &image = *camera.still;
	const std::string description =
		"appsrc name=" + std::string(stillSourceName) +
		" format=time caps=\"video/x-raw,format=RGB,width=" + std::to_string(image.cols) +
		",height=" + std::to_string(image.rows) + ",framerate=0/1\" ! " + tailText;
	return parsed(description, "the source of " + camera.name, error);
}

// Why the file at path cannot be read; empty when it can.
std::string unreadableReason(const std::string &path)
{
	struct stat status {
	};
	if (stat(path.c_str(), &status) != 0)
		return errorFragment(std::strerror(errno));
	if (S_ISDIR(status.st_mode))
		return "it is a directory";
	if (S_ISREG(status.st_mode) && status.st_size == 0)
		return "it is empty";
	const int descriptor = open(path.c_str(), O_RDONLY | O_CLOEXEC);
	if (descriptor < 0)
		return errorFragment(std::strerror(errno));
	close(descriptor);
	return {};
}

// Why GStreamer cannot play the video in the local file at uri; empty when it can.
std::string unplayableReason(const std::string &uri)
{
	GError *rawError = nullptr;
	const GObjectPtr<GstDiscoverer> discoverer(gst_discoverer_new(discoveryTimeout, &rawError));
	GErrorPtr error(rawError);
	if (!discoverer)
		return "it cannot be examined (" + errorFragment(error ? error->message : "") + ")";
	rawError = nullptr;
	const GObjectPtr<GstDiscovererInfo> info(
		gst_discoverer_discover_uri(discoverer.get(), uri.c_str(), &rawError));
	error.reset(rawError);
	const GstDiscovererResult result =
		info ? gst_discoverer_info_get_result(info.get()) : GST_DISCOVERER_ERROR;
	if (result == GST_DISCOVERER_MISSING_PLUGINS)
		return "no installed GStreamer plugin decodes it";
	if (result == GST_DISCOVERER_TIMEOUT)
		return "it could not be read within " +
		       std::to_string(discoveryTimeout / GST_SECOND) + " seconds";
	if (result != GST_DISCOVERER_OK) {
		const std::string detail = error && error->message ? error->message : "";
		return "it is not a video GStreamer can play" +
		       (detail.empty() ? std::string() : " (" + errorFragment(detail) + ")");
	}
	GList *videos = gst_discoverer_info_get_video_streams(info.get());
	bool moving = false;
	for (GList *item = videos; item; item = item->next)
		moving = moving ||
			 !gst_discoverer_video_info_is_image(GST_DISCOVERER_VIDEO_INFO(item->data));
	const bool any = videos != nullptr;
	gst_discoverer_stream_info_list_free(videos);
	if (!any)
		return "it holds no video";
	return moving ? std::string() : "it is a still image, not a video";
}

} // namespace

std::string tailDescription(const std::string &caps, bool render, bool still)
{
	// A still comes as the callback takes it, RGB and bottom row first: it needs no conversion.
	std::string head;
	if (!still) {
		if (!caps.empty()) {
			head = "capsfilter caps=\"" + caps + "\" ! ";
			if (caps.rfind("image/jpeg", 0) == 0)
				head += "jpegdec ! ";
		}
		head += conversion + std::string(" ! ");
	}
	if (!render)
		return head + callbackBranch;
	return head + "tee name=split ! " + callbackBranch + " split. ! " + previewBranch;
}

GstElementPtr sourcePipeline(const CameraInfo &camera, const std::string &tail, std::string &error)
{
	if (camera.still)
		return stillPipeline(camera, tail, error);
	if (camera.device)
		return devicePipeline(camera, tail, error);
	if (!camera.uri.empty())
		return uriPipeline(camera, tail, error);
	// A described source may end in caps, which the parser applies to the link that follows.
	GstElementPtr pipeline = parsed(camera.sourceDescription + " ! " + tail,
					"the source of " + camera.name, error);
	if (pipeline)
		guardImageSequence(pipeline.get());
	return pipeline;
}

std::string checkedSourceUri(const std::string &source, std::string &error)
{
	ensureGstreamer();
	std::string uri;
	std::string path;
	if (source.find("://") != std::string::npos && gst_uri_is_valid(source.c_str())) {
		uri = source;
		const GCharPtr protocol(gst_uri_get_protocol(source.c_str()));
		if (!gst_uri_protocol_is_supported(GST_URI_SRC, protocol.get())) {
			error = std::string("no installed GStreamer element reads \"") +
				protocol.get() + "\" URIs";
			return {};
		}
		if (std::strcmp(protocol.get(), "file") == 0) {
			const GCharPtr name(g_filename_from_uri(source.c_str(), nullptr, nullptr));
			if (!name) {
				error = "it is not a local file's URI";
				return {};
			}
			path = name.get();
		}
	} else {
		path = source;
		GError *rawError = nullptr;
		const GCharPtr name(gst_filename_to_uri(source.c_str(), &rawError));
		const GErrorPtr nameError(rawError);
		if (!name) {
			error = errorFragment(nameError ? nameError->message : "not a file name");
			return {};
		}
		uri = name.get();
	}
	if (!path.empty()) {
		error = unreadableReason(path);
		if (error.empty())
			error = unplayableReason(uri);
		if (!error.empty())
			return {};
	}
	return uri;
}

CameraInfo sourceCamera(const std::string &name, const std::string &uri)
{
	return CameraInfo{ .name = name,
			   .devicePath = {},
			   .device = nullptr,
			   .sourceDescription = {},
			   .offeredCaps = {},
			   .uri = uri };
}

bool checkedSourceCamera(const std::string &name, const std::string &source, CameraInfo &camera,
			 std::string &error)
{
	std::string path = source;
	if (source.find("://") != std::string::npos) {
		const GCharPtr local(g_filename_from_uri(source.c_str(), nullptr, nullptr));
		path = local ? local.get() : "";
	}
	// A file whose own name holds "%d" is that file, not a sequence.
	if (!path.empty() && isImageSequence(path) && access(path.c_str(), F_OK) != 0) {
		const std::string description = imageSequenceSource(path, error);
		if (description.empty())
			return false;
		camera = CameraInfo{ .name = name,
				     .devicePath = {},
				     .device = nullptr,
				     .sourceDescription = description };
		return true;
	}
	if (!path.empty() && unreadableReason(path).empty() && isStillImage(path)) {
		std::shared_ptr<const cv::Mat> still = decodedStill(path, error);
		if (!still)
			return false;
		camera = sourceCamera(name, {});
		camera.still = std::move(still);
		return true;
	}
	const std::string uri = checkedSourceUri(source, error);
	if (uri.empty())
		return false;
	camera = sourceCamera(name, uri);
	return true;
}
