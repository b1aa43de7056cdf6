// A GStreamer plugin for tests: cameras that GStreamer's device monitor finds like real ones, read
// from a key file, each making a live moving picture in the formats its caps offer, and cameras
// that are unplugged and plugged in again through a FIFO.
//
// EDGE_VIEWER_FAKE_CAMERAS names a GLib key file; each group is one camera, named as the group:
//   caps        the caps, as gst-device-monitor-1.0 prints them (lines joined with ";"); none
//               makes a device without video caps
//   class       the device class; Video/Source unless given
//   properties  a GstStructure string: the device's properties (device.path, api.v4l2.path...)
//   busy        true: starting it fails as a V4L2 camera in use by another program does
// EDGE_VIEWER_FAKE_CAMERA_CONTROL names a FIFO that takes lines "remove NAME" and "add NAME".
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <mutex>
#include <set>
#include <string>
#include <thread>

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/stat.h>
#include <unistd.h>

// GST_PLUGIN_DEFINE names the plugin's package through this macro.
#define PACKAGE "edge-viewer"
#include <gst/gst.h>

namespace {

// The test patterns, one per camera in the key file's order, so a test can tell them apart. They
// scroll, so that their edges move.
constexpr const char *patterns[] = { "smpte", "checkers-8", "circular", "zone-plate", "pinwheel" };
constexpr int scrollPixelsPerFrame = 4;

// Cameras unplugged through the FIFO, by name: written by the control thread; read by the
// provider's start and by the streaming thread of every fake source.
std::mutex unpluggedLock;
std::set<std::string> unplugged;

bool isUnplugged(const char *camera)
{
	std::lock_guard lock(unpluggedLock);
	return unplugged.count(camera) != 0;
}

void setUnplugged(const std::string &camera, bool away)
{
	std::lock_guard lock(unpluggedLock);
	if (away)
		unplugged.insert(camera);
	else
		unplugged.erase(camera);
}

// ---- The source: a bin around videotestsrc, built once the format downstream wants is known ----

struct FakeCameraSrc {
	GstBin parent;
	gchar *camera; // the device's display name
	gchar *path;   // the device node named in messages
	const char *pattern;
	gboolean busy;
	GstCaps *deviceCaps; // what the device offers
	GstPad *ghost;	     // borrowed: the element owns it
	gboolean built;	     // main thread (state changes) only
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
	gst_util_set_object_arg(G_OBJECT(test), "pattern", self->pattern);
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

void fake_camera_src_class_init(FakeCameraSrcClass *klass)
{
	G_OBJECT_CLASS(klass)->finalize = finalizeSource;
	GST_ELEMENT_CLASS(klass)->change_state = changeSourceState;
	gst_element_class_set_static_metadata(GST_ELEMENT_CLASS(klass), "Fake camera source",
					      "Source/Video", "A test camera's picture",
					      "edge-viewer");
}

// ---- The device ----

struct FakeCameraDevice {
	GstDevice parent;
	gchar *path;
	const char *pattern;
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
	source->camera = gst_device_get_display_name(device);
	source->path = g_strdup(self->path);
	source->pattern = self->pattern;
	source->busy = self->busy;
	source->deviceCaps = gst_device_get_caps(device);
	if (!source->deviceCaps)
		source->deviceCaps = gst_caps_new_empty();
	return GST_ELEMENT(source);
}

void finalizeDevice(GObject *object)
{
	g_free(reinterpret_cast<FakeCameraDevice *>(object)->path);
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
	gchar *klass = g_key_file_get_string(file, camera, "class", nullptr);
	gchar *propertiesText = g_key_file_get_string(file, camera, "properties", nullptr);
	GstStructure *properties =
		propertiesText ? gst_structure_from_string(propertiesText, nullptr) : nullptr;

	auto *device = static_cast<FakeCameraDevice *>(g_object_new(
		fake_camera_device_get_type(), "display-name", camera, "caps", caps, "device-class",
		klass ? klass : "Video/Source", "properties", properties, nullptr));
	const char *path =
		properties ? gst_structure_get_string(properties, "device.path") : nullptr;
	if (!path && properties)
		path = gst_structure_get_string(properties, "api.v4l2.path");
	device->path = g_strdup(path ? path : camera);
	device->pattern = patterns[index % G_N_ELEMENTS(patterns)];
	device->busy = g_key_file_get_boolean(file, camera, "busy", nullptr);

	if (properties)
		gst_structure_free(properties);
	g_free(propertiesText);
	g_free(klass);
	gst_caps_unref(caps);
	g_free(capsText);
	return GST_DEVICE(device);
}

GKeyFile *cameraFile()
{
	const char *name = std::getenv("EDGE_VIEWER_FAKE_CAMERAS");
	GKeyFile *file = g_key_file_new();
	if (name && !g_key_file_load_from_file(file, name, G_KEY_FILE_NONE, nullptr))
		g_warning("fakecamera: cannot read the camera file %s", name);
	return file;
}

// ---- The provider ----

// The FIFO reader, made by start() and ended by stop().
struct Control {
	int fifo = -1;
	int keepOpen = -1; // our own writer, so that the FIFO never reports the end of input
	int wake = -1;	   // an eventfd that stop() writes
	std::thread thread;
};

struct FakeCameraProvider {
	GstDeviceProvider parent;
	Control *control; // start() and stop() only, which GStreamer serialises
};

struct FakeCameraProviderClass {
	GstDeviceProviderClass parent_class;
};

GType fake_camera_provider_get_type();
G_DEFINE_TYPE(FakeCameraProvider, fake_camera_provider, GST_TYPE_DEVICE_PROVIDER)

GstDevice *presentDevice(GstDeviceProvider *provider, const std::string &camera)
{
	GstDevice *found = nullptr;
	GST_OBJECT_LOCK(provider);
	for (GList *item = provider->devices; item && !found; item = item->next) {
		gchar *name = gst_device_get_display_name(GST_DEVICE(item->data));
		if (camera == name)
			found = GST_DEVICE(gst_object_ref(item->data));
		g_free(name);
	}
	GST_OBJECT_UNLOCK(provider);
	return found;
}

void obey(GstDeviceProvider *provider, const std::string &line)
{
	const auto space = line.find(' ');
	const std::string verb = line.substr(0, space);
	const std::string camera = space == std::string::npos ? "" : line.substr(space + 1);
	if (verb == "remove") {
		setUnplugged(camera, true);
		if (GstDevice *device = presentDevice(provider, camera)) {
			gst_device_provider_device_remove(provider, device);
			gst_object_unref(device);
		}
	} else if (verb == "add") {
		setUnplugged(camera, false);
		if (GstDevice *device = presentDevice(provider, camera)) {
			gst_object_unref(device);
			return;
		}
		GKeyFile *file = cameraFile();
		if (GstDevice *device = deviceFromKeyFile(file, camera.c_str()))
			gst_device_provider_device_add(provider, device);
		g_key_file_free(file);
	} else {
		g_warning("fakecamera: unknown control line \"%s\"", line.c_str());
	}
}

void readControl(GstDeviceProvider *provider, Control *control)
{
	std::string pending;
	for (;;) {
		pollfd fds[2] = { { control->fifo, POLLIN, 0 }, { control->wake, POLLIN, 0 } };
		if (poll(fds, 2, -1) < 0 || fds[1].revents)
			return;
		char chunk[256];
		const ssize_t got = read(control->fifo, chunk, sizeof chunk);
		if (got <= 0)
			continue;
		pending.append(chunk, static_cast<std::size_t>(got));
		for (auto end = pending.find('\n'); end != std::string::npos;
		     end = pending.find('\n')) {
			obey(provider, pending.substr(0, end));
			pending.erase(0, end + 1);
		}
	}
}

Control *startControl(GstDeviceProvider *provider)
{
	const char *path = std::getenv("EDGE_VIEWER_FAKE_CAMERA_CONTROL");
	struct stat info {
	};
	if (!path || stat(path, &info) != 0 || !S_ISFIFO(info.st_mode))
		return nullptr;
	auto *control = new Control;
	control->fifo = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
	control->keepOpen = open(path, O_WRONLY | O_CLOEXEC);
	control->wake = eventfd(0, EFD_CLOEXEC);
	control->thread = std::thread(readControl, provider, control);
	return control;
}

void stopControl(Control *control)
{
	if (!control)
		return;
	const std::uint64_t one = 1;
	if (write(control->wake, &one, sizeof one) < 0)
		g_warning("fakecamera: cannot stop the control thread");
	control->thread.join();
	for (int fd : { control->fifo, control->keepOpen, control->wake })
		close(fd);
	delete control;
}

gboolean startProvider(GstDeviceProvider *provider)
{
	GKeyFile *file = cameraFile();
	gchar **groups = g_key_file_get_groups(file, nullptr);
	for (gchar **group = groups; *group; ++group) {
		if (isUnplugged(*group))
			continue;
		if (GstDevice *device = deviceFromKeyFile(file, *group))
			gst_device_provider_device_add(provider, device);
	}
	g_strfreev(groups);
	g_key_file_free(file);
	reinterpret_cast<FakeCameraProvider *>(provider)->control = startControl(provider);
	return TRUE;
}

void stopProvider(GstDeviceProvider *provider)
{
	auto *self = reinterpret_cast<FakeCameraProvider *>(provider);
	stopControl(self->control);
	self->control = nullptr;
	GST_OBJECT_LOCK(provider);
	GList *devices = nullptr;
	for (GList *item = provider->devices; item; item = item->next)
		devices = g_list_prepend(devices, gst_object_ref(item->data));
	GST_OBJECT_UNLOCK(provider);
	for (GList *item = devices; item; item = item->next)
		gst_device_provider_device_remove(provider, GST_DEVICE(item->data));
	g_list_free_full(devices, gst_object_unref);
}

void fake_camera_provider_init(FakeCameraProvider *)
{
}

void fake_camera_provider_class_init(FakeCameraProviderClass *klass)
{
	GST_DEVICE_PROVIDER_CLASS(klass)->start = startProvider;
	GST_DEVICE_PROVIDER_CLASS(klass)->stop = stopProvider;
	gst_device_provider_class_set_static_metadata(
		GST_DEVICE_PROVIDER_CLASS(klass), "Fake camera provider", "Source/Video",
		"Test cameras from a key file", "edge-viewer");
}

gboolean initPlugin(GstPlugin *plugin)
{
	return gst_device_provider_register(plugin, "fakecameraprovider", GST_RANK_PRIMARY,
					    fake_camera_provider_get_type());
}

} // namespace

GST_PLUGIN_DEFINE(GST_VERSION_MAJOR, GST_VERSION_MINOR, fakecamera, "Test cameras for edge-viewer",
		  initPlugin, "0.1", "Proprietary", "edge-viewer", "edge-viewer")
