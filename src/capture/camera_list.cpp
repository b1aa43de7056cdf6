// Camera discovery through GstDeviceMonitor, and the built-in test pattern.
#include "camera_list.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <set>
#include <utility>

#include "camera_monitor.h"
#include "gst_handles.h"
#include "gst_runtime.h"

namespace {

std::vector<CameraInfo> &overriddenCameras()
{
	static std::vector<CameraInfo> cameras; // main thread only
	return cameras;
}

std::string deviceName(GstDevice *device)
{
	const GCharPtr name(gst_device_get_display_name(device));
	return name ? name.get() : "camera";
}

std::string devicePath(GstDevice *device)
{
	GstStructure *properties = gst_device_get_properties(device);
	if (!properties)
		return {};
	std::string path;
	// v4l2src's devices say device.path; PipeWire's say where their node is under
	// api.v4l2.path, or api.libcamera.path for a camera PipeWire reaches through libcamera.
	for (const char *key :
	     { "device.path", "api.v4l2.path", "api.libcamera.path", "object.path" }) {
		if (const char *value = gst_structure_get_string(properties, key)) {
			path = value;
			break;
		}
	}
	gst_structure_free(properties);
	return path;
}

// A UVC camera's metadata node is a Video/Source too, but sends no picture.
bool offersVideo(GstDevice *device)
{
	const GstCapsPtr caps(gst_device_get_caps(device));
	if (!caps || gst_caps_is_any(caps.get()))
		return false;
	for (guint index = 0; index < gst_caps_get_size(caps.get()); ++index) {
		const GstStructure *structure = gst_caps_get_structure(caps.get(), index);
		if (gst_structure_has_name(structure, "video/x-raw") ||
		    gst_structure_has_name(structure, "image/jpeg"))
			return true;
	}
	return false;
}

// The provider that announced device; null for a device of no provider.
GstObjectPtr<GstDeviceProvider> providerOf(GstDevice *device)
{
	GstObject *parent = gst_object_get_parent(GST_OBJECT(device));
	if (parent && !GST_IS_DEVICE_PROVIDER(parent)) {
		gst_object_unref(parent);
		parent = nullptr;
	}
	return GstObjectPtr<GstDeviceProvider>(reinterpret_cast<GstDeviceProvider *>(parent));
}

std::string providerName(GstDeviceProvider *provider)
{
	GstDeviceProviderFactory *factory =
		provider ? gst_device_provider_get_factory(provider) : nullptr;
	return factory ? GST_OBJECT_NAME(factory) : "";
}

// The names of the providers that the providers of devices hide, as PipeWire's hides V4L2's once
// it offers the same nodes: their devices are fallbacks, never cameras of their own.
std::set<std::string> hiddenProviders(GList *devices)
{
	std::set<std::string> hidden;
	for (GList *item = devices; item; item = item->next) {
		const GstObjectPtr<GstDeviceProvider> provider = providerOf(GST_DEVICE(item->data));
		if (!provider)
			continue;
		gchar **names = gst_device_provider_get_hidden_providers(provider.get());
		for (gchar **name = names; name && *name; ++name)
			hidden.insert(*name);
		g_strfreev(names);
	}
	return hidden;
}

// Every camera the monitor offers now, each once, in the monitor's order.
std::vector<CameraInfo> camerasOf(GstDeviceMonitor *monitor)
{
	struct Offer {
		CameraInfo camera;
		bool pipeWire;
		bool hidden;
	};
	std::vector<std::string> identities;	// in the order first offered
	std::vector<std::vector<Offer>> offers; // per identity
	GList *devices = gst_device_monitor_get_devices(monitor);
	const std::set<std::string> hidden = hiddenProviders(devices);
	for (GList *item = devices; item; item = item->next) {
		GstDevice *device = GST_DEVICE(item->data);
		std::optional<CameraInfo> camera = cameraOf(device);
		if (!camera)
			continue;
		const std::string identity = cameraIdentity(*camera);
		const auto known = std::find(identities.begin(), identities.end(), identity);
		const auto index = static_cast<std::size_t>(known - identities.begin());
		if (known == identities.end()) {
			identities.push_back(identity);
			offers.emplace_back();
		}
		const GstObjectPtr<GstDeviceProvider> provider = providerOf(device);
		offers[index].push_back(Offer{ std::move(*camera), offeredByPipeWire(device),
					       hidden.count(providerName(provider.get())) > 0 });
	}
	g_list_free_full(devices, gst_object_unref);

	std::vector<CameraInfo> cameras;
	for (std::vector<Offer> &same : offers) {
		// PipeWire first, then the first provider not hidden; a camera only a hidden
		// provider offers is left out, as the monitor would leave it out.
		auto chosen = std::find_if(same.begin(), same.end(),
					   [](const Offer &offer) { return offer.pipeWire; });
		if (chosen == same.end())
			chosen = std::find_if(same.begin(), same.end(),
					      [](const Offer &offer) { return !offer.hidden; });
		if (chosen == same.end())
			continue;
		CameraInfo camera = std::move(chosen->camera);
		for (const Offer &other : same)
			if (&other != &*chosen && !other.pipeWire && !camera.fallbackDevice)
				camera.fallbackDevice = other.camera.device;
		cameras.push_back(std::move(camera));
	}
	return cameras;
}

} // namespace

bool offeredByPipeWire(GstDevice *device)
{
	GstStructure *properties = gst_device_get_properties(device);
	const bool pipeWire = properties && gst_structure_has_name(properties, "pipewire-proplist");
	if (properties)
		gst_structure_free(properties);
	return pipeWire;
}

std::string cameraIdentity(const CameraInfo &camera)
{
	return camera.devicePath.empty() ? camera.name : camera.devicePath;
}

std::optional<CameraInfo> cameraOf(GstDevice *device)
{
	if (!offersVideo(device))
		return std::nullopt;
	return CameraInfo{
		.name = deviceName(device),
		.devicePath = devicePath(device),
		.device = std::shared_ptr<GstDevice>(GST_DEVICE(gst_object_ref(device)),
						     GstObjectUnref<GstDevice>{}),
		.sourceDescription = {},
		.offeredCaps = {},
	};
}

CameraInfo testPatternCamera()
{
	return CameraInfo{
		.name = "Test pattern",
		.devicePath = {},
		.device = nullptr,
		// The chosen format's caps follow the queue, the overlay and the freeze and reach
		// the bars through them. The bars are drawn once and repeated: drawing them anew
		// costs CPU a camera does not spend (docs/performance.md), and a source short of
		// CPU falls behind in time while the viewer keeps both cores busy. A clock to the
		// second: the overlay draws its text again only when the text changes; drawing
		// it on every frame would weigh on the figures measured with this pattern. The
		// leaky queue stands for a camera driver's few buffers: when the viewer falls
		// behind, the oldest frame is dropped and the source goes on at its rate, with
		// timestamps of the real capture time, instead of waiting and falling behind in
		// time.
		.sourceDescription = "videotestsrc pattern=smpte num-buffers=1"
				     " ! imagefreeze is-live=true"
				     " ! clockoverlay halignment=right valignment=bottom"
				     " font-desc=\"Sans 20\" time-format=%H:%M:%S"
				     " ! queue leaky=downstream max-size-buffers=2"
				     " max-size-bytes=0 max-size-time=0",
		.offeredCaps =
			"video/x-raw,format=YUY2,width=320,height=240,framerate={30/1,15/1};"
			"video/x-raw,format=YUY2,width=640,height=480,framerate={30/1,15/1};"
			"video/x-raw,format=YUY2,width=1280,height=720,framerate={30/1,15/1};"
			"video/x-raw,format=YUY2,width=1920,height=1080,"
			"framerate={60/1,30/1,15/1};"
			"video/x-raw,format=YUY2,width=3840,height=2160,framerate={30/1,15/1}",
	};
}

std::vector<CameraInfo> findCameras()
{
	if (!overriddenCameras().empty())
		return overriddenCameras();

	const std::shared_ptr<CameraMonitor> monitor = CameraMonitor::hold();
	return monitor->get() ? camerasOf(monitor->get()) : std::vector<CameraInfo>{};
}

std::optional<CameraInfo> findCamera(const std::string &identity)
{
	for (CameraInfo &camera : findCameras())
		if (cameraIdentity(camera) == identity)
			return std::move(camera);
	return std::nullopt;
}

GstCapsPtr capsOfferedBy(const CameraInfo &camera)
{
	if (camera.device)
		return GstCapsPtr(gst_device_get_caps(camera.device.get()));
	if (camera.offeredCaps.empty())
		return nullptr;
	ensureGstreamer();
	return GstCapsPtr(gst_caps_from_string(camera.offeredCaps.c_str()));
}

void overrideCameras(std::vector<CameraInfo> cameras)
{
	overriddenCameras() = std::move(cameras);
}
