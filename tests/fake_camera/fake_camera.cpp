// A GStreamer plugin for tests: cameras that GStreamer's device monitor finds like real ones, read
// from a key file, each making a live moving picture in the formats its caps offer, and cameras
// that are unplugged and plugged in again through a FIFO.
//
// EDGE_VIEWER_FAKE_CAMERAS names a GLib key file; each group is one camera:
//   name        the name it shows; the group's name unless given (two of one model share one)
//   caps        the caps, as gst-device-monitor-1.0 prints them (lines joined with ";"); none
//               makes a device without video caps
//   class       the device class; Video/Source unless given
//   properties  a GstStructure string: the device's properties (device.path, api.v4l2.path...)
//   busy        true: starting it fails as a V4L2 camera in use by another program does
// EDGE_VIEWER_FAKE_CAMERA_CONTROL names a FIFO that takes lines "remove GROUP" and "add GROUP".
// The provider counts its stops (its "stops" property); each source has pipewiresrc's
// "always-copy".
#include <cstdint>
#include <cstdlib>
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

#include "fake_camera_device.h"

namespace {

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
	// How often it was stopped, read through its "stops" property: a test can tell that a
	// provider was never stopped, as PipeWire's must not be. Written by stop(), read by any
	// thread; g_atomic.
	guint stops;
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
		if (isDeviceOf(GST_DEVICE(item->data), camera))
			found = GST_DEVICE(gst_object_ref(item->data));
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
	g_atomic_int_inc(&self->stops);
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

enum { propertyStops = 1 };

void getProviderProperty(GObject *object, guint id, GValue *value, GParamSpec *property)
{
	if (id != propertyStops) {
		G_OBJECT_WARN_INVALID_PROPERTY_ID(object, id, property);
		return;
	}
	g_value_set_uint(value, static_cast<guint>(g_atomic_int_get(reinterpret_cast<gint *>(
					&reinterpret_cast<FakeCameraProvider *>(object)->stops))));
}

void fake_camera_provider_class_init(FakeCameraProviderClass *klass)
{
	G_OBJECT_CLASS(klass)->get_property = getProviderProperty;
	g_object_class_install_property(
		G_OBJECT_CLASS(klass), propertyStops,
		g_param_spec_uint(
			"stops", "Stops", "How often the provider was stopped", 0, G_MAXUINT, 0,
			static_cast<GParamFlags>(G_PARAM_READABLE | G_PARAM_STATIC_STRINGS)));
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
