// The hot-plug watch: the device monitor's bus read on a thread of our own, which never waits for
// the main thread; what it sees is handed over by a non-blocking post, tried again until taken.
#include "camera_watch.h"

#include <utility>

#include "gst_runtime.h"

namespace {

// The application message stop() posts to end the watch thread.
constexpr char stopWord[] = "edge-viewer-stop-watch";

} // namespace

CameraWatch::CameraWatch(const CameraInfo &camera, MainThreadPoster post,
			 std::function<void()> onReturn)
	: identity_(cameraIdentity(camera)), post_(std::move(post)), onReturn_(std::move(onReturn)),
	  monitor_(CameraMonitor::hold())
{
	// Without a running monitor there is nothing to watch, but capture goes on as before.
	if (!monitor_->get())
		return;
	bus_.reset(gst_device_monitor_get_bus(monitor_->get()));
	thread_ = std::thread([this] { watch(); });
}

CameraWatch::~CameraWatch()
{
	stop();
}

void CameraWatch::stop()
{
	if (thread_.joinable()) {
		gst_bus_post(bus_.get(), gst_message_new_application(
						 nullptr, gst_structure_new_empty(stopWord)));
		thread_.join();
	}
	bus_.reset();
	monitor_.reset();
}

std::optional<CameraInfo> CameraWatch::takeReturned()
{
	std::lock_guard lock(lock_);
	return std::exchange(returned_, std::nullopt);
}

void CameraWatch::captureFailed()
{
	if (!monitor_ || !monitor_->get())
		return;
	// Looked at under the lock: a camera the monitor adds meanwhile is announced after it is
	// listed, so the watch thread then finds it away and hands it back.
	std::lock_guard lock(lock_);
	away_ = away_ || !present();
}

bool CameraWatch::isWatched(GstDevice *device) const
{
	const std::optional<CameraInfo> camera = cameraOf(device);
	return camera && cameraIdentity(*camera) == identity_;
}

bool CameraWatch::present() const
{
	GList *devices = gst_device_monitor_get_devices(monitor_->get());
	bool found = false;
	for (GList *item = devices; item && !found; item = item->next)
		found = isWatched(GST_DEVICE(item->data));
	g_list_free_full(devices, gst_object_unref);
	return found;
}

void CameraWatch::watch()
{
	constexpr auto kinds = static_cast<GstMessageType>(
		GST_MESSAGE_DEVICE_ADDED | GST_MESSAGE_DEVICE_REMOVED | GST_MESSAGE_APPLICATION);
	const auto retryNs = static_cast<GstClockTime>(
		std::chrono::duration_cast<std::chrono::nanoseconds>(retryInterval).count());
	bool unposted = false; // the camera is back, and the main thread has not been told yet
	for (;;) {
		const GstMessagePtr message(gst_bus_timed_pop_filtered(
			bus_.get(), unposted ? retryNs : GST_CLOCK_TIME_NONE, kinds));
		if (message) {
			GstDevice *rawDevice = nullptr;
			switch (GST_MESSAGE_TYPE(message.get())) {
			case GST_MESSAGE_APPLICATION:
				return;
			case GST_MESSAGE_DEVICE_REMOVED: {
				gst_message_parse_device_removed(message.get(), &rawDevice);
				const GstDevicePtr device(rawDevice);
				if (isWatched(device.get())) {
					GST_CAT_INFO(edgeViewerDebug, "camera %s went away",
						     identity_.c_str());
					std::lock_guard lock(lock_);
					away_ = true;
					returned_.reset();
					unposted = false;
				}
				break;
			}
			case GST_MESSAGE_DEVICE_ADDED: {
				gst_message_parse_device_added(message.get(), &rawDevice);
				const GstDevicePtr device(rawDevice);
				// The devices present when the monitor starts are announced too:
				// only a camera that went away comes back.
				std::lock_guard lock(lock_);
				if (away_ && isWatched(device.get())) {
					GST_CAT_INFO(edgeViewerDebug, "camera %s came back",
						     identity_.c_str());
					away_ = false;
					returned_ = cameraOf(device.get());
					unposted = true;
				}
				break;
			}
			default:
				break;
			}
		}
		if (unposted)
			unposted = !post_(onReturn_);
	}
}
