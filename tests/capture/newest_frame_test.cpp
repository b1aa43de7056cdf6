// The capture layer under a frame callback slower than the camera: which frames it gets, and what a
// stop does to frames still coming. The camera is a device whose frames the test numbers as they
// leave it, so every check compares with what had really been captured.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <opencv2/core.hpp>

#include <gtest/gtest.h>

#include "capture/capture_pipeline.h"
#include "wait_until.h"

using namespace std::chrono_literals;

namespace {

// Frames the camera has sent: written by its streaming thread as each frame leaves it, read by
// the callback and the test.
std::atomic<std::uint32_t> framesCaptured{ 0 };

// Writes the frame's number into its first pixel, then counts it as captured.
GstPadProbeReturn numberFrame(GstPad *, GstPadProbeInfo *info, gpointer)
{
	GstBuffer *buffer = gst_buffer_make_writable(GST_PAD_PROBE_INFO_BUFFER(info));
	GST_PAD_PROBE_INFO_DATA(info) = buffer;
	GstMapInfo map;
	if (gst_buffer_map(buffer, &map, GST_MAP_WRITE)) {
		const std::uint32_t number = framesCaptured.load();
		map.data[0] = static_cast<guint8>(number);
		map.data[1] = static_cast<guint8>(number >> 8);
		map.data[2] = static_cast<guint8>(number >> 16);
		gst_buffer_unmap(buffer, &map);
	}
	++framesCaptured;
	return GST_PAD_PROBE_OK;
}

// The number written by numberFrame: its first pixel is the last stored row's first, as the
// frame reaches the callback bottom row first.
std::uint32_t frameNumber(const cv::Mat &frame)
{
	const auto *pixel = frame.ptr<std::uint8_t>(frame.rows - 1);
	return pixel[0] | (pixel[1] << 8) | (pixel[2] << 16);
}

// The camera element the device made last: set on the main thread by create_element.
GstElement *madeCamera = nullptr;

// The number of the newest frame put into the callback's queue: written by the conversion's
// streaming thread as the frame goes in, read by the callback.
std::atomic<std::uint32_t> newestQueued{ 0 };

// The converted frame is RGB with its rows bottom up: the number is at the last stored row's start.
GstPadProbeReturn noteQueued(GstPad *pad, GstPadProbeInfo *info, gpointer)
{
	const GstCapsPtr caps(gst_pad_get_current_caps(pad));
	GstVideoInfo format;
	GstVideoFrame frame;
	if (!caps || !gst_video_info_from_caps(&format, caps.get()) ||
	    !gst_video_frame_map(&frame, &format, GST_PAD_PROBE_INFO_BUFFER(info), GST_MAP_READ))
		return GST_PAD_PROBE_OK;
	const auto *pixel =
		static_cast<const std::uint8_t *>(GST_VIDEO_FRAME_PLANE_DATA(&frame, 0)) +
		(GST_VIDEO_FRAME_HEIGHT(&frame) - 1) * GST_VIDEO_FRAME_PLANE_STRIDE(&frame, 0);
	newestQueued = pixel[0] | (pixel[1] << 8) | (pixel[2] << 16);
	gst_video_frame_unmap(&frame);
	return GST_PAD_PROBE_OK;
}

// A camera at 30 frames/s whose driver, like most, keeps its four oldest frames and drops new ones
// while nobody takes them: a capture layer that holds the camera up sees frames that are ever
// older.
GstElement *createCameraElement(GstDevice *, const gchar *name)
{
	GstElement *camera = gst_parse_bin_from_description(
		"videotestsrc is-live=true pattern=black name=sensor"
		" ! video/x-raw,format=RGB,width=64,height=48,framerate=30/1"
		" ! queue leaky=upstream max-size-buffers=4 max-size-bytes=0 max-size-time=0",
		TRUE, nullptr);
	if (!camera)
		return nullptr;
	if (name)
		gst_object_set_name(GST_OBJECT(camera), name);
	const GstElementPtr sensor(gst_bin_get_by_name(GST_BIN(camera), "sensor"));
	const GstObjectPtr<GstPad> pad(gst_element_get_static_pad(sensor.get(), "src"));
	gst_pad_add_probe(pad.get(), GST_PAD_PROBE_TYPE_BUFFER, numberFrame, nullptr, nullptr);
	madeCamera = camera;
	return camera;
}

void initCameraDeviceClass(gpointer deviceClass, gpointer)
{
	GST_DEVICE_CLASS(deviceClass)->create_element = createCameraElement;
}

CameraInfo numberingCamera()
{
	static const GType type = g_type_register_static_simple(
		GST_TYPE_DEVICE, "EdgeViewerNumberingCamera", sizeof(GstDeviceClass),
		initCameraDeviceClass, sizeof(GstDevice), nullptr, GTypeFlags{});
	auto *device = static_cast<GstDevice *>(g_object_new(
		type, "display-name", "Numbering camera", "device-class", "Video/Source", nullptr));
	gst_object_ref_sink(device);
	return CameraInfo{ .name = "Numbering camera",
			   .devicePath = {},
			   .device =
				   std::shared_ptr<GstDevice>(device, GstObjectUnref<GstDevice>{}),
			   .sourceDescription = {} };
}

// What the callback saw; written on its streaming thread, read by the test once capture stopped
// or under the lock.
struct Seen {
	std::mutex lock; // guards the vectors
	std::vector<std::uint32_t> numbers;
	// The newest frame in the callback's queue when the callback before had finished: the
	// oldest this one may be. Not the newest frame the camera had sent, which may still be on
	// its way through the conversion, for longer on a loaded machine.
	std::vector<std::uint32_t> queuedBefore;
};

Seen seen;
std::atomic<std::uint32_t> queuedAtLastReturn{ 0 };

void slowCallback(const cv::Mat &frame)
{
	{
		std::lock_guard guard(seen.lock);
		seen.numbers.push_back(frameNumber(frame));
		seen.queuedBefore.push_back(queuedAtLastReturn.load());
	}
	std::this_thread::sleep_for(100ms);
	queuedAtLastReturn = newestQueued.load();
}

std::size_t framesSeen()
{
	std::lock_guard guard(seen.lock);
	return seen.numbers.size();
}

} // namespace

// Catches a callback fed old frames while newer ones wait (a queue that waits instead of
// dropping, more than one frame waiting, the camera held up by the callback), frames handed over
// out of order, and a stop that hangs on the frame in flight or the one waiting.
TEST(NewestFrame, ASlowCallbackGetsTheNewestFrameInOrder)
{
	framesCaptured = 0;
	newestQueued = 0;
	queuedAtLastReturn = 0;
	std::string error;
	auto pipeline = CapturePipeline::create(numberingCamera(), slowCallback, error);
	ASSERT_TRUE(pipeline) << error;
	{
		// The camera's pipeline is the capture's: its callback's queue is seen from there.
		const GstObjectPtr<GstObject> capture(gst_element_get_parent(madeCamera));
		ASSERT_TRUE(capture);
		const GstElementPtr queue(
			gst_bin_get_by_name(GST_BIN(capture.get()), "framequeue"));
		ASSERT_TRUE(queue);
		const GstObjectPtr<GstPad> input(gst_element_get_static_pad(queue.get(), "sink"));
		gst_pad_add_probe(input.get(), GST_PAD_PROBE_TYPE_BUFFER, noteQueued, nullptr,
				  nullptr);
	}
	ASSERT_TRUE(pipeline->start(error)) << error;
	ASSERT_TRUE(waitUntil([] { return framesSeen() >= 12; }, "12 frames"));
	// With a frame in the callback and the next one waiting: a hang, not a slow machine, takes
	// seconds.
	const auto stopStarted = std::chrono::steady_clock::now();
	pipeline->stop();
	EXPECT_LT(std::chrono::steady_clock::now() - stopStarted, 2s);

	std::lock_guard guard(seen.lock);
	for (std::size_t i = 1; i < seen.numbers.size(); ++i) {
		EXPECT_GT(seen.numbers[i], seen.numbers[i - 1]) << "frame " << i;
		// The queue keeps its newest frame; one more may have been going in at that moment.
		EXPECT_GE(seen.numbers[i] + 1, seen.queuedBefore[i]) << "frame " << i;
	}
	// The camera went on at its own rate: three frames per callback, not one.
	EXPECT_GT(seen.numbers.back(), 2 * seen.numbers.size());
}

namespace {

// The stall report of a stop that has begun, held up (stderr into a full pipe, say) until the test
// lets it go; stop() waits for it with capture still running.
struct HeldReport {
	std::mutex lock; // guards the flags
	std::condition_variable changed;
	bool reported = false;
	bool released = false;

	void onFault(const std::string &)
	{
		std::unique_lock guard(lock);
		reported = true;
		changed.notify_all();
		// A test that failed before letting it go must not leave stop() waiting for ever.
		waitUntil(
			changed, guard, [this] { return released; }, "the report let go");
	}
	testing::AssertionResult waitUntilReported()
	{
		std::unique_lock guard(lock);
		return waitUntil(
			changed, guard, [this] { return reported; }, "the stall reported");
	}
	void release()
	{
		std::lock_guard guard(lock);
		released = true;
		changed.notify_all();
	}
};

HeldReport heldReport;
// Set by the stopping thread just before it calls stop(); read by the callback.
std::atomic<bool> stopCalled{ false };
std::atomic<int> callbacksAfterStopCalled{ 0 };

// The first frame is held until the stall it causes has been reported.
void callbackHoldingTheFirstFrame(const cv::Mat &)
{
	static std::atomic<bool> first{ true };
	// The test's own thread says so if the report never comes.
	if (first.exchange(false))
		(void)heldReport.waitUntilReported();
	if (stopCalled)
		++callbacksAfterStopCalled;
}

} // namespace

// Catches frames handed to the callback after stop() has begun, while stop() still waits for the
// pipeline (here for a fault report in progress) and the camera goes on sending.
TEST(NewestFrame, NoCallbackStartsOnceStopHasBegun)
{
	CaptureOptions options;
	options.stallTimeout = 50ms;
	options.onFault = [](const std::string &line) {
		heldReport.onFault(line);
	};
	std::string error;
	auto pipeline = CapturePipeline::create(numberingCamera(), callbackHoldingTheFirstFrame,
						error, options);
	ASSERT_TRUE(pipeline) << error;
	ASSERT_TRUE(pipeline->start(error)) << error;
	ASSERT_TRUE(heldReport.waitUntilReported());

	std::thread stopping([&] {
		stopCalled = true;
		pipeline->stop();
	});
	const std::uint32_t atStop = framesCaptured.load();
	EXPECT_TRUE(waitUntil([atStop] { return framesCaptured.load() >= atStop + 10; },
			      "10 frames captured while stop() waits"));
	heldReport.release();
	stopping.join();

	// One frame may already have been on its way into the callback as stop() was called.
	EXPECT_LE(callbacksAfterStopCalled, 1);
}
