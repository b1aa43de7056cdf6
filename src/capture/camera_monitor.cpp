// The shared camera monitor: started on first hold, stopped with its last holder.
#include "camera_monitor.h"

#include "gst_runtime.h"

namespace {

// The monitor in use, if anyone holds it. Main thread only.
std::weak_ptr<CameraMonitor> &current()
{
	static std::weak_ptr<CameraMonitor> monitor;
	return monitor;
}

// The hold that lasts until the process ends, once keepUntilExit() was called. Never destroyed,
// so that no static destructor stops the monitor either. Main thread only.
std::shared_ptr<CameraMonitor> *&keptForever()
{
	static std::shared_ptr<CameraMonitor> *kept = nullptr;
	return kept;
}

} // namespace

void watchVideoSources(GstDeviceMonitor *monitor)
{
	// Cameras that offer only JPEG count too: the pipeline decodes it.
	const GstCapsPtr usable(gst_caps_from_string("video/x-raw; image/jpeg"));
	gst_device_monitor_add_filter(monitor, "Video/Source", usable.get());
}

void CameraMonitor::keepUntilExit()
{
	if (!keptForever())
		keptForever() = new std::shared_ptr<CameraMonitor>(current().lock());
}

std::shared_ptr<CameraMonitor> CameraMonitor::hold()
{
	if (std::shared_ptr<CameraMonitor> held = current().lock())
		return held;
	std::shared_ptr<CameraMonitor> monitor(new CameraMonitor());
	current() = monitor;
	if (keptForever())
		*keptForever() = monitor;
	return monitor;
}

CameraMonitor::CameraMonitor()
{
	ensureGstreamer();
	monitor_.reset(gst_device_monitor_new());
	watchVideoSources(monitor_.get());
	gst_device_monitor_set_show_all_devices(monitor_.get(), TRUE);
	running_ = gst_device_monitor_start(monitor_.get());
}

CameraMonitor::~CameraMonitor()
{
	if (running_)
		gst_device_monitor_stop(monitor_.get());
}
