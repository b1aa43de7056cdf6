// The fake camera's device and the source element it makes: a bin around videotestsrc that offers
// what the device's caps allow, and fails as v4l2src does when its camera is busy or unplugged.
#include "fake_camera_device.h"

#include <cerrno>
#include <mutex>
#include <set>
#include <string>

namespace {

// The test patterns, one per camera in the key file's order, so a test can tell them apart: each
// a videotestsrc pattern and its settings. They scroll, so that their edges move. The zone plate
// is flat grey until its rings are given a frequency.
constexpr const char *patterns[] = { "pattern=smpte", "pattern=checkers-8", "pattern=circular",
				     "pattern=zone-plate kx2=40 ky2=40", "pattern=pinwheel" };
constexpr int scrollPixelsPerFrame = 4;

// Sets properties of element from "name=value" pairs separated by spaces.
void setProperties(GstElement *element, const char *settings)
{
	gchar **pairs = g_strsplit(settings, " ", -1);
	for (gchar **pair = pairs; *pair; ++pair) {
		gchar **nameAndValue = g_strsplit(*pair, "=", 2);
		if (nameAndValue[0] && nameAndValue[1])
			gst_util_set_object_arg(G_OBJECT(element), nameAndValue[0],
						nameAndValue[1]);
		g_strfreev(nameAndValue);
	}
	g_strfreev(pairs);
}

// Cameras unplugged through the FIFO, by name: written by the control thread; read by the
// provider's start and by the streaming thread of every fake source.
std::mutex unpluggedLock;
std::set<std::string> unplugged;

// Held while a device's names are read on the control thread and while they are freed, on
// whichever thread drops the device's last reference: the device reaches that thread through
// GStreamer's bus, whose locks ThreadSanitizer cannot see.
std::mutex deviceNamesLock;

// ---- The source: a bin around videotestsrc, built once the format downstream wants is known ----

struct FakeCameraSrc {
	GstBin parent;
	gchar *camera;	     // the device's key file group
	gchar *path;	     // the device node named in messages
	const char *pattern; // its entry in patterns
	gboolean busy;
	GstCaps *deviceCaps; // what the device offers
	GstPad *ghost;	     // borrowed: the element owns it
	gboolean built;	     // main thread (state changes) only
	// pipewiresrc's property of that name, which the capture must set on any source that has
	// it; nothing here lends memory, so it only records that. Main thread only.
	gboolean alwaysCopy;
};

struct FakeCameraSrcClass {
	GstBinClass parent_class;
};

GType fake_camera_src_get_type();
G_DEFINE_TYPE(FakeCameraSrc, fake_camera_src, GST_TYPE_BIN)

GstPadProbeReturn onTestBuffer(GstPad *, GstPadProbeInfo *info, gpointer data)
{
	auto *self = static_cast<FakeCameraSrc *>(data);
	if (!isUnplugged(self->camera))
		return GST_PAD_PROBE_OK;
	// What v4l2src's buffer pool posts when poll() reports an error on a device node that has
	// gone: RESOURCE_ERROR_READ with GStreamer's default text; then the flow stops.
	GST_ELEMENT_ERROR(self, RESOURCE, READ, (nullptr),
			  ("poll error 1: No such device (%d)", ENODEV));
	gst_mini_object_unref(GST_MINI_OBJECT(GST_PAD_PROBE_INFO_DATA(info)));
	GST_PAD_PROBE_INFO_FLOW_RETURN(info) = GST_FLOW_ERROR;
	return GST_PAD_PROBE_HANDLED;
}

// The raw caps videotestsrc makes for a JPEG format: the same size and rate.
GstCaps *rawFor(const GstStructure *jpeg)
{
	GstStructure *raw =
		gst_structure_new("video/x-raw", "format", G_TYPE_STRING, "I420", nullptr);
	for (const char *field : { "width", "height", "framerate" }) {
		if (const GValue *value = gst_structure_get_value(jpeg, field))
			gst_structure_set_value(raw, field, value);
	}
	return gst_caps_new_full(raw, nullptr);
}

gboolean buildSource(FakeCameraSrc *self)
{
	GstCaps *wanted = gst_pad_peer_query_caps(self->ghost, self->deviceCaps);
	if (gst_caps_is_empty(wanted)) {
		gst_caps_unref(wanted);
		GST_ELEMENT_ERROR(self, CORE, NEGOTIATION, (nullptr),
				  ("downstream takes none of the camera's formats"));
		return FALSE;
	}
	wanted = gst_caps_fixate(wanted);
	const bool jpeg = gst_structure_has_name(gst_caps_get_structure(wanted, 0), "image/jpeg");
	GstCaps *raw = jpeg ? rawFor(gst_caps_get_structure(wanted, 0)) : gst_caps_ref(wanted);

	GstElement *test = gst_element_factory_make("videotestsrc", nullptr);
	GstElement *filter = gst_element_factory_make("capsfilter", nullptr);
	GstElement *encoder = jpeg ? gst_element_factory_make("jpegenc", nullptr) : nullptr;
	g_object_set(test, "is-live", TRUE, "horizontal-speed", scrollPixelsPerFrame, nullptr);
	setProperties(test, self->pattern);
	g_object_set(filter, "caps", raw, nullptr);
	gst_caps_unref(raw);
	gst_caps_unref(wanted);

	gst_bin_add_many(GST_BIN(self), test, filter, nullptr);
	gst_element_link(test, filter);
	GstElement *last = filter;
	if (encoder) {
		gst_bin_add(GST_BIN(self), encoder);
		gst_element_link(filter, encoder);
		last = encoder;
	}
	GstPad *testPad = gst_element_get_static_pad(test, "src");
	gst_pad_add_probe(testPad, GST_PAD_PROBE_TYPE_BUFFER, onTestBuffer, self, nullptr);
	gst_object_unref(testPad);
	GstPad *out = gst_element_get_static_pad(last, "src");
	gst_ghost_pad_set_target(GST_GHOST_PAD(self->ghost), out);
	gst_object_unref(out);
	self->built = TRUE;
	return TRUE;
}

GstStateChangeReturn changeSourceState(GstElement *element, GstStateChange transition)
{
	auto *self = reinterpret_cast<FakeCameraSrc *>(element);
	if (transition == GST_STATE_CHANGE_READY_TO_PAUSED) {
		// v4l2src's words for a node that is gone, and for one another program streams
		// from.
		if (isUnplugged(self->camera)) {
			GST_ELEMENT_ERROR(self, RESOURCE, NOT_FOUND,
					  ("Cannot identify device '%s'.", self->path),
					  ("system error: No such file or directory"));
			return GST_STATE_CHANGE_FAILURE;
		}
		if (self->busy) {
			GST_ELEMENT_ERROR(self, RESOURCE, BUSY, ("Device '%s' is busy", self->path),
					  ("Call to S_FMT failed for YUYV @ 640x480: Device or "
					   "resource busy"));
			return GST_STATE_CHANGE_FAILURE;
		}
		// Children added here are taken to PAUSED by the bin's own change below.
		if (!self->built && !buildSource(self))
			return GST_STATE_CHANGE_FAILURE;
	}
	return GST_ELEMENT_CLASS(fake_camera_src_parent_class)->change_state(element, transition);
}

void finalizeSource(GObject *object)
{
	auto *self = reinterpret_cast<FakeCameraSrc *>(object);
	g_free(self->camera);
	g_free(self->path);
	if (self->deviceCaps)
		gst_caps_unref(self->deviceCaps);
	G_OBJECT_CLASS(fake_camera_src_parent_class)->finalize(object);
}

void fake_camera_src_init(FakeCameraSrc *self)
{
	self->ghost = gst_ghost_pad_new_no_target("src", GST_PAD_SRC);
	gst_element_add_pad(GST_ELEMENT(self), self->ghost);
	GST_OBJECT_FLAG_SET(self, GST_ELEMENT_FLAG_SOURCE);
}

enum { propertyAlwaysCopy = 1 };

void setSourceProperty(GObject *object, guint id, const GValue *value, GParamSpec *property)
{
	if (id == propertyAlwaysCopy)
		reinterpret_cast<FakeCameraSrc *>(object)->alwaysCopy = g_value_get_boolean(value);
	else
		G_OBJECT_WARN_INVALID_PROPERTY_ID(object, id, property);
}

void getSourceProperty(GObject *object, guint id, GValue *value, GParamSpec *property)
{
	if (id == propertyAlwaysCopy)
		g_value_set_boolean(value, reinterpret_cast<FakeCameraSrc *>(object)->alwaysCopy);
	else
		G_OBJECT_WARN_INVALID_PROPERTY_ID(object, id, property);
}

void fake_camera_src_class_init(FakeCameraSrcClass *klass)
{
	G_OBJECT_CLASS(klass)->finalize = finalizeSource;
	G_OBJECT_CLASS(klass)->set_property = setSourceProperty;
	G_OBJECT_CLASS(klass)->get_property = getSourceProperty;
	g_object_class_install_property(
		G_OBJECT_CLASS(klass), propertyAlwaysCopy,
		g_param_spec_boolean(
			"always-copy", "Always copy",
			"Copy each frame out of the provider's memory", FALSE,
			static_cast<GParamFlags>(G_PARAM_READWRITE | G_PARAM_STATIC_STRINGS)));
	GST_ELEMENT_CLASS(klass)->change_state = changeSourceState;
	gst_element_class_set_static_metadata(GST_ELEMENT_CLASS(klass), "Fake camera source",
					      "Source/Video", "A test camera's picture",
					      "edge-viewer");
}

// ---- The device ----

struct FakeCameraDevice {
	GstDevice parent;
	gchar *group;
	gchar *path;
	const char *pattern; // its entry in patterns
	gboolean busy;
};

struct FakeCameraDeviceClass {
	GstDeviceClass parent_class;
};

GType fake_camera_device_get_type();
G_DEFINE_TYPE(FakeCameraDevice, fake_camera_device, GST_TYPE_DEVICE)

GstElement *createSource(GstDevice *device, const gchar *name)
{
	auto *self = reinterpret_cast<FakeCameraDevice *>(device);
	auto *source = static_cast<FakeCameraSrc *>(
		g_object_new(fake_camera_src_get_type(), "name", name, nullptr));
	{
		const std::lock_guard lock(deviceNamesLock);
		source->camera = g_strdup(self->group);
		source->path = g_strdup(self->path);
	}
	source->pattern = self->pattern;
	source->busy = self->busy;
	source->deviceCaps = gst_device_get_caps(device);
	if (!source->deviceCaps)
		source->deviceCaps = gst_caps_new_empty();
	return GST_ELEMENT(source);
}

void finalizeDevice(GObject *object)
{
	{
		const std::lock_guard lock(deviceNamesLock);
		g_free(reinterpret_cast<FakeCameraDevice *>(object)->group);
		g_free(reinterpret_cast<FakeCameraDevice *>(object)->path);
	}
	G_OBJECT_CLASS(fake_camera_device_parent_class)->finalize(object);
}

void fake_camera_device_init(FakeCameraDevice *)
{
}

void fake_camera_device_class_init(FakeCameraDeviceClass *klass)
{
	G_OBJECT_CLASS(klass)->finalize = finalizeDevice;
	GST_DEVICE_CLASS(klass)->create_element = createSource;
}

} // namespace

bool isDeviceOf(GstDevice *device, const std::string &camera)
{
	if (!G_TYPE_CHECK_INSTANCE_TYPE(device, fake_camera_device_get_type()))
		return false;
	const std::lock_guard lock(deviceNamesLock);
	const char *group = reinterpret_cast<FakeCameraDevice *>(device)->group;
	return group && camera == group;
}

void setUnplugged(const std::string &camera, bool away)
{
	std::lock_guard lock(unpluggedLock);
	if (away)
		unplugged.insert(camera);
	else
		unplugged.erase(camera);
}

bool isUnplugged(const char *camera)
{
	std::lock_guard lock(unpluggedLock);
	return unplugged.count(camera) != 0;
}

// The camera of the key file's group named camera, in its place among the groups; null if the
// file has no such group.
GstDevice *deviceFromKeyFile(GKeyFile *file, const char *camera)
{
	gsize count = 0;
	gchar **groups = g_key_file_get_groups(file, &count);
	gsize index = 0;
	while (index < count && g_strcmp0(groups[index], camera) != 0)
		++index;
	g_strfreev(groups);
	if (index == count)
		return nullptr;

	gchar *capsText = g_key_file_get_string(file, camera, "caps", nullptr);
	GstCaps *caps = capsText && *capsText ? gst_caps_from_string(capsText) : nullptr;
	if (!caps)
		caps = gst_caps_new_empty();
	gchar *name = g_key_file_get_string(file, camera, "name", nullptr);
	gchar *klass = g_key_file_get_string(file, camera, "class", nullptr);
	gchar *propertiesText = g_key_file_get_string(file, camera, "properties", nullptr);
	GstStructure *properties =
		propertiesText ? gst_structure_from_string(propertiesText, nullptr) : nullptr;

	auto *device = static_cast<FakeCameraDevice *>(g_object_new(
		fake_camera_device_get_type(), "display-name", name ? name : camera, "caps", caps,
		"device-class", klass ? klass : "Video/Source", "properties", properties, nullptr));
	const char *path =
		properties ? gst_structure_get_string(properties, "device.path") : nullptr;
	if (!path && properties)
		path = gst_structure_get_string(properties, "api.v4l2.path");
	device->group = g_strdup(camera);
	device->path = g_strdup(path ? path : camera);
	device->pattern = patterns[index % G_N_ELEMENTS(patterns)];
	device->busy = g_key_file_get_boolean(file, camera, "busy", nullptr);

	if (properties)
		gst_structure_free(properties);
	g_free(propertiesText);
	g_free(klass);
	g_free(name);
	gst_caps_unref(caps);
	g_free(capsText);
	return GST_DEVICE(device);
}
