// A camera's source element, made from its device or its description, in front of the tail.
#include "capture_source.h"

namespace {

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
GstElementPtr devicePipeline(const CameraInfo &camera, const std::string &tailText,
			     std::string &error)
{
	GstElementPtr source = sinkElement(gst_device_create_element(camera.device.get(), nullptr));
	if (!source) {
		error = "failed to create the source element of " + camera.name;
		return nullptr;
	}
	GError *rawError = nullptr;
	GstElementPtr tail =
		sinkElement(gst_parse_bin_from_description(tailText.c_str(), TRUE, &rawError));
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

} // namespace

GstElementPtr sourcePipeline(const CameraInfo &camera, const std::string &tail, std::string &error)
{
	// A described source may end in caps, which the parser applies to the link that follows.
	return camera.device ? devicePipeline(camera, tail, error)
			     : parsed(camera.sourceDescription + " ! " + tail,
				      "the source of " + camera.name, error);
}
