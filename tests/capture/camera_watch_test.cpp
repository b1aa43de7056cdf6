// The hot-plug watch through GStreamer's real device monitor, on the fake camera plugin, whose
// cameras are unplugged and plugged in again through its control FIFO.
#include "capture/camera_watch.h"

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <sys/stat.h>

#include <gtest/gtest.h>

#include "wait_until.h"

using namespace std::chrono_literals;

namespace {

// What the watch posted: written by the watch thread, read by the test.
struct Posts {
	std::atomic<int> tries{ 0 };
	std::atomic<int> queued{ 0 };
	std::atomic<int> refuseFirst{ 0 }; // how many tries fail, as a full hand-off queue does

	std::mutex lock; // guards handedOver
	// Each camera handed over, as "name at path", in order; see startWatchTakingReturns().
	std::vector<std::string> handedOver;

	std::vector<std::string> handedOverSoFar()
	{
		std::lock_guard guard(lock);
		return handedOver;
	}
};

std::string nameAndPath(const CameraInfo &camera)
{
	return camera.name + " at " + (camera.devicePath.empty() ? "no path" : camera.devicePath);
}

class Watch : public testing::Test
{
protected:
	void SetUp() override
	{
		static const bool loaded =
			gst_registry_scan_path(gst_registry_get(), EDGE_VIEWER_FAKE_CAMERA_DIR);
		ASSERT_TRUE(loaded || gst_registry_find_plugin(gst_registry_get(), "fakecamera"));
		setenv("EDGE_VIEWER_FAKE_CAMERAS", EDGE_VIEWER_WEBCAMS, 1);
		fifo_ = testing::TempDir() + "camera-control-" + std::to_string(getpid());
		unlink(fifo_.c_str());
		ASSERT_EQ(mkfifo(fifo_.c_str(), 0600), 0);
		setenv("EDGE_VIEWER_FAKE_CAMERA_CONTROL", fifo_.c_str(), 1);
		for (const CameraInfo &camera : findCameras())
			if (camera.name == "VOLERS HD CAMERA")
				camera_ = camera;
		ASSERT_TRUE(camera_.device);
	}

	void TearDown() override
	{
		watch_.reset();
		unsetenv("EDGE_VIEWER_FAKE_CAMERA_CONTROL");
		unsetenv("EDGE_VIEWER_FAKE_CAMERAS");
		unlink(fifo_.c_str());
		if (!cameraFile_.empty())
			unlink(cameraFile_.c_str());
	}

	// failedToStart: capture on the camera then fails before its first frame, as the capture's
	// own threads tell the watch.
	void startWatch(bool failedToStart = false)
	{
		watch_ = std::make_unique<CameraWatch>(
			camera_,
			[posts = posts_](std::function<void()>) {
				if (++posts->tries <= posts->refuseFirst)
					return false;
				++posts->queued;
				return true;
			},
			[] {});
		if (failedToStart)
			std::thread([watch = watch_.get()] { watch->captureFailed(); }).join();
	}

	// The main thread's part done at once, on the watch's thread, so that the test sees which
	// camera each post hands over, whatever comes after it.
	void startWatchTakingReturns()
	{
		auto watch = std::make_shared<std::atomic<CameraWatch *>>(nullptr);
		watch_ = std::make_unique<CameraWatch>(
			camera_,
			[](std::function<void()> work) {
				work();
				return true;
			},
			[posts = posts_, watch] {
				const std::optional<CameraInfo> back =
					watch->load()->takeReturned();
				std::lock_guard guard(posts->lock);
				posts->handedOver.push_back(back ? nameAndPath(*back) : "nothing");
			});
		*watch = watch_.get();
	}

	// The cameras of the key file text instead of the webcams; the watched camera is the one of
	// that name and path.
	void useCameras(const std::string &text, const std::string &name, const std::string &path)
	{
		// The process's own: the fake reads it again at each "add", and another test
		// process rewriting a shared one at that moment made a camera that never came back.
		cameraFile_ =
			testing::TempDir() + "watched-cameras-" + std::to_string(getpid()) + ".ini";
		std::ofstream(cameraFile_) << text;
		setenv("EDGE_VIEWER_FAKE_CAMERAS", cameraFile_.c_str(), 1);
		camera_ = {};
		for (const CameraInfo &camera : findCameras())
			if (camera.name == name && camera.devicePath == path)
				camera_ = camera;
	}

	// The fake obeys its lines in order, while the watch's monitor runs.
	void tell(const std::string &line) { std::ofstream(fifo_) << line << "\n"; }

	static testing::AssertionResult waitFor(const std::atomic<int> &count, int atLeast,
						const std::string &what)
	{
		return waitUntil([&] { return count >= atLeast; }, what);
	}

	std::string fifo_;
	std::string cameraFile_; // set by useCameras()
	CameraInfo camera_;
	std::shared_ptr<Posts> posts_ = std::make_shared<Posts>();
	std::unique_ptr<CameraWatch> watch_;
};

bool cameraPresent(GstDeviceMonitor *monitor)
{
	GList *devices = gst_device_monitor_get_devices(monitor);
	bool found = false;
	for (GList *item = devices; item; item = item->next) {
		const std::optional<CameraInfo> camera = cameraOf(GST_DEVICE(item->data));
		found = found || (camera && camera->name == "VOLERS HD CAMERA");
	}
	g_list_free_full(devices, gst_object_unref);
	return found;
}

} // namespace

// Catches a camera that comes back unnoticed, or noticed for the wrong camera: another camera
// coming and going, or the cameras present at the start, must post nothing; the camera in use
// posts once and comes back with a device of its own path.
TEST_F(Watch, OnlyTheCameraInUseComingBackIsHandedOver)
{
	startWatch();
	tell("remove USB_Camera (V4L2)");
	tell("add USB_Camera (V4L2)");
	tell("remove VOLERS HD CAMERA");
	tell("add VOLERS HD CAMERA");
	ASSERT_TRUE(waitFor(posts_->queued, 1, "the camera's return posted"));
	// The lines are obeyed in order: the other camera's return came and went before.
	EXPECT_EQ(posts_->tries.load(), 1);
	const std::optional<CameraInfo> back = watch_->takeReturned();
	ASSERT_TRUE(back);
	EXPECT_EQ(back->devicePath, "/dev/video0");
	EXPECT_TRUE(back->device);
	EXPECT_NE(back->device, camera_.device) << "the device from before the unplugging";
	EXPECT_FALSE(watch_->takeReturned()) << "one return handed over twice";
}

// Catches a return lost when the main thread's queue is full: the post is tried again until it
// is queued.
TEST_F(Watch, ARefusedPostIsTriedAgain)
{
	posts_->refuseFirst = 3;
	startWatch();
	tell("remove VOLERS HD CAMERA");
	tell("add VOLERS HD CAMERA");
	ASSERT_TRUE(waitFor(posts_->queued, 1, "the camera's return posted after 3 refusals"));
	EXPECT_EQ(posts_->tries.load(), 4);
	EXPECT_TRUE(watch_->takeReturned());
}

// Catches a watch that keeps posting after stop() returns, or whose stop waits for the post to be
// taken: here it never is.
TEST_F(Watch, StopEndsRetriesAndPostsNothingAfter)
{
	posts_->refuseFirst = 1 << 30;
	startWatch();
	tell("remove VOLERS HD CAMERA");
	tell("add VOLERS HD CAMERA");
	ASSERT_TRUE(waitFor(posts_->tries, 3, "3 tries to post the camera's return"));
	watch_->stop();
	const int tries = posts_->tries;
	std::this_thread::sleep_for(5 * CameraWatch::retryInterval);
	EXPECT_EQ(posts_->tries.load(), tries);
	watch_->stop(); // a second stop is harmless
}

// Catches a camera unplugged between the camera list and the start of capture that is never
// resumed when plugged in, and a camera that failed to start while present (busy) handed over as
// back at once.
TEST_F(Watch, ACameraGoneBeforeCaptureStartedComesBackWhenPluggedIn)
{
	startWatch(true); // present, as for a busy camera: nothing to hand over
	tell("remove VOLERS HD CAMERA");
	tell("add VOLERS HD CAMERA");
	ASSERT_TRUE(waitFor(posts_->queued, 1, "the camera's return posted"));
	EXPECT_EQ(posts_->tries.load(), 1);
	ASSERT_TRUE(watch_->takeReturned());

	// A monitor of the test's own keeps the fake obeying while no watch runs.
	const GstDeviceMonitorPtr keepReading(gst_device_monitor_new());
	watchVideoSources(keepReading.get());
	gst_device_monitor_start(keepReading.get());
	watch_.reset();
	tell("remove VOLERS HD CAMERA");
	EXPECT_TRUE(waitUntil([&] { return !cameraPresent(keepReading.get()); },
			      "the camera unplugged while no watch ran"));
	startWatch(true);
	tell("add VOLERS HD CAMERA");
	EXPECT_TRUE(waitFor(posts_->queued, 2, "the return of a camera gone before capture"));
	EXPECT_TRUE(watch_->takeReturned());
	watch_.reset();
	gst_device_monitor_stop(keepReading.get());
}

namespace {

// Two cameras of one model, which share a name, on different nodes; and two PipeWire cameras
// reached through libcamera, which have no node.
const char *const lookAlikes =
	"[Left twin]\nname=USB Camera\ncaps=video/x-raw, format=YUY2, width=640, height=480\n"
	"properties=v4l2deviceprovider, device.path=/dev/video8\n"
	"[Right twin]\nname=USB Camera\ncaps=video/x-raw, format=YUY2, width=640, height=480\n"
	"properties=v4l2deviceprovider, device.path=/dev/video9\n"
	"[Front]\nname=Integrated Camera\ncaps=video/x-raw, format=NV12, width=640, height=480\n"
	"properties=pipewire-proplist, device.api=libcamera\n"
	"[Rear]\nname=Rear Camera\ncaps=video/x-raw, format=NV12, width=640, height=480\n"
	"properties=pipewire-proplist, device.api=libcamera\n";

struct LookAlikeCase {
	const char *name;
	const char *watched; // the group, name and path of the watched camera
	const char *watchedName;
	const char *watchedPath;
	const char *other; // the group of the camera it could be taken for
};

void PrintTo(const LookAlikeCase &cameras, std::ostream *out)
{
	*out << cameras.name;
}

class LookAlikes : public Watch, public testing::WithParamInterface<LookAlikeCase>
{
};

} // namespace

// Catches the camera in use recognised by its name only (a second webcam of the same model coming
// back is taken for it) or by its path only (any PipeWire camera is): the other camera goes and
// comes back first, and only the watched one's return is handed over.
TEST_P(LookAlikes, OnlyTheWatchedOneIsHandedOver)
{
	const LookAlikeCase &cameras = GetParam();
	useCameras(lookAlikes, cameras.watchedName, cameras.watchedPath);
	ASSERT_TRUE(camera_.device)
		<< "no " << cameras.watchedName << " at " << cameras.watchedPath;
	startWatchTakingReturns();
	tell("remove " + std::string(cameras.other));
	tell("add " + std::string(cameras.other));
	tell("remove " + std::string(cameras.watched));
	tell("add " + std::string(cameras.watched));
	ASSERT_TRUE(waitUntil([&] { return !posts_->handedOverSoFar().empty(); },
			      "a camera handed over"));
	EXPECT_EQ(posts_->handedOverSoFar(), std::vector{ nameAndPath(camera_) });
}

INSTANTIATE_TEST_SUITE_P(Pairs, LookAlikes,
			 testing::Values(LookAlikeCase{ "SameNameOtherPath", "Left twin",
							"USB Camera", "/dev/video8", "Right twin" },
					 LookAlikeCase{ "NoPathOtherName", "Front",
							"Integrated Camera", "", "Rear" }),
			 [](const testing::TestParamInfo<LookAlikeCase> &param) {
				 return param.param.name;
			 });
