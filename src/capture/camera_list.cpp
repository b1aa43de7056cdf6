// Camera discovery through GstDeviceMonitor, with the test pattern as the fallback.
#include "camera_list.h"

#include <cstdlib>
#include <utility>

#include "capture_pipeline.h"
#include "gst_handles.h"

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
	for (const char *key : { "device.path", "api.v4l2.path", "object.path" }) {
		if (const char *value = gst_structure_get_string(properties, key)) {
			path = value;
			break;
		}
	}
	gst_structure_free(properties);
	return path;
}

} // namespace

CameraInfo testPatternCamera()
{
	return CameraInfo{
		.name = "Test pattern",
		.devicePath = {},
		.device = nullptr,
		.sourceDescription = "videotestsrc is-live=true pattern=smpte"
				     " ! video/x-raw,width=640,height=480,framerate=30/1"
				     " ! timeoverlay halignment=right valignment=bottom"
				     " font-desc=\"Sans 20\"",
	};
}

std::vector<CameraInfo> findCameras()
{
#ifdef EDGE_VIEWER_BENCH_BUILD
	// The benchmark build runs on whatever source the benchmark names.
	if (const char *source = std::getenv("EDGE_VIEWER_BENCH_SOURCE"))
		return { CameraInfo{ .name = "Benchmark source",
				     .devicePath = {},
				     .device = nullptr,
				     .sourceDescription = source } };
#endif
	if (!overriddenCameras().empty())
		return overriddenCameras();

	ensureGstreamer();
	std::vector<CameraInfo> cameras;
	const GstDeviceMonitorPtr monitor(gst_device_monitor_new());
	const GstCapsPtr rawVideo(gst_caps_new_empty_simple("video/x-raw"));
	gst_device_monitor_add_filter(monitor.get(), "Video/Source", rawVideo.get());
	if (gst_device_monitor_start(monitor.get())) {
		GList *devices = gst_device_monitor_get_devices(monitor.get());
		for (GList *item = devices; item; item = item->next) {
			auto *device = GST_DEVICE(item->data);
			cameras.push_back(CameraInfo{
				.name = deviceName(device),
				.devicePath = devicePath(device),
				.device = std::shared_ptr<GstDevice>(
					GST_DEVICE(gst_object_ref(device)),
					GstObjectUnref<GstDevice>{}),
				.sourceDescription = {},
			});
		}
		g_list_free_full(devices, gst_object_unref);
		gst_device_monitor_stop(monitor.get());
	}
	if (cameras.empty())
		cameras.push_back(testPatternCamera());
	return cameras;
}

void overrideCameras(std::vector<CameraInfo> cameras)
{
	overriddenCameras() = std::move(cameras);
}
