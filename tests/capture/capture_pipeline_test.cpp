// One camera's pipeline, driven by GStreamer test sources: what the frame callback receives, and
// when it may run.
#include "capture/capture_pipeline.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <new>
#include <string>
#include <thread>

#include <gst/app/gstappsink.h>
#include <gst/video/video.h>
#include <opencv2/core.hpp>

#include <gtest/gtest.h>

#include "wait_until.h"

using namespace std::chrono_literals;

namespace {

// What the callback saw; the callback runs on the streaming thread, the checks on the main one.
struct Observed {
	std::atomic<int> frames{ 0 };
	std::atomic<bool> inCallback{ false };
	std::atomic<int> callbackSleepMs{ 0 };
	std::mutex lock; // guards firstFrame and firstStep
	cv::Mat firstFrame;
	std::size_t firstStep = 0;
};

Observed observed;

void recordFrame(const cv::Mat &frame)
{
	observed.inCallback = true;
	{
		std::lock_guard guard(observed.lock);
		if (observed.firstFrame.empty()) {
			observed.firstFrame = frame.clone();
			observed.firstStep = frame.step;
		}
	}
	if (const int ms = observed.callbackSleepMs.load())
		std::this_thread::sleep_for(std::chrono::milliseconds(ms));
	++observed.frames;
	observed.inCallback = false;
}

class Capture : public testing::Test
{
protected:
	void SetUp() override
	{
		observed.frames = 0;
		observed.inCallback = false;
		observed.callbackSleepMs = 0;
		std::lock_guard guard(observed.lock);
		observed.firstFrame.release();
	}

	static std::unique_ptr<CapturePipeline> pipelineFor(const std::string &source)
	{
		std::string error;
		auto pipeline = CapturePipeline::create(CameraInfo{ .name = "test",
								    .devicePath = {},
								    .device = nullptr,
								    .sourceDescription = source },
							recordFrame, error);
		EXPECT_TRUE(pipeline) << error;
		return pipeline;
	}

	static testing::AssertionResult waitForFrames(int count)
	{
		return waitUntil([count] { return observed.frames >= count; },
				 std::to_string(count) + " frames in all");
	}

	static cv::Mat firstFrame()
	{
		std::lock_guard guard(observed.lock);
		return observed.firstFrame;
	}
};

// A copy of the first frame an appsink receives, made on the streaming thread so that only our
// own lock hands it to the test (a sample pulled on the test's thread would cross threads under
// GLib's locks, which ThreadSanitizer cannot see).
struct ReferenceFrame {
	std::mutex lock; // guards frame
	std::condition_variable copied;
	cv::Mat frame;

	static GstFlowReturn onNewSample(GstAppSink *sink, gpointer self)
	{
		auto *reference = static_cast<ReferenceFrame *>(self);
		const GstSamplePtr sample(gst_app_sink_pull_sample(sink));
		GstVideoInfo info;
		GstVideoFrame mapped;
		if (!sample ||
		    !gst_video_info_from_caps(&info, gst_sample_get_caps(sample.get())) ||
		    !gst_video_frame_map(&mapped, &info, gst_sample_get_buffer(sample.get()),
					 GST_MAP_READ))
			return GST_FLOW_ERROR;
		const cv::Mat copy = cv::Mat(info.height, info.width, CV_8UC3,
					     GST_VIDEO_FRAME_PLANE_DATA(&mapped, 0),
					     GST_VIDEO_FRAME_PLANE_STRIDE(&mapped, 0))
					     .clone();
		gst_video_frame_unmap(&mapped);
		{
			std::lock_guard guard(reference->lock);
			if (reference->frame.empty())
				reference->frame = copy;
		}
		reference->copied.notify_all();
		return GST_FLOW_OK;
	}
};

// The frame as GStreamer makes it, top row first, in RGB: the reference for row and channel order.
cv::Mat topRowFirstReference(const std::string &caps)
{
	const std::string description =
		"videotestsrc pattern=smpte75 num-buffers=1 ! " + caps +
		" ! videoconvert ! video/x-raw,format=RGB ! appsink name=sink";
	GstElementPtr pipeline = sinkElement(gst_parse_launch(description.c_str(), nullptr));
	const GstElementPtr sink(gst_bin_get_by_name(GST_BIN(pipeline.get()), "sink"));
	ReferenceFrame reference;
	GstAppSinkCallbacks callbacks{};
	callbacks.new_sample = &ReferenceFrame::onNewSample;
	gst_app_sink_set_callbacks(GST_APP_SINK(sink.get()), &callbacks, &reference, nullptr);
	gst_element_set_state(pipeline.get(), GST_STATE_PLAYING);
	cv::Mat frame;
	{
		std::unique_lock guard(reference.lock);
		EXPECT_TRUE(waitUntil(
			reference.copied, guard, [&] { return !reference.frame.empty(); },
			"the reference frame from " + description));
		frame = reference.frame;
	}
	gst_element_set_state(pipeline.get(), GST_STATE_NULL);
	return frame;
}

} // namespace

class FrameLayout : public Capture, public testing::WithParamInterface<int>
{
};

// Catches frames delivered top row first (shown upside down), in BGR, or read across padded rows:
// every width here is odd, so GStreamer pads each RGB row to a multiple of four bytes. The bars
// without smpte's noise patch: frames are dropped for newer ones, so the first frame the callback
// gets need not be the source's first.
TEST_P(FrameLayout, FramesAreRgbBottomRowFirstWithTheirOwnRowStep)
{
	const int width = GetParam();
	const std::string caps = "video/x-raw,width=" + std::to_string(width) + ",height=37";
	auto pipeline = pipelineFor("videotestsrc pattern=smpte75 ! " + caps);
	ASSERT_TRUE(pipeline);
	std::string error;
	ASSERT_TRUE(pipeline->start(error)) << error;
	ASSERT_TRUE(waitForFrames(1));
	pipeline->stop();

	const cv::Mat reference = topRowFirstReference(caps);
	const cv::Mat frame = firstFrame();
	ASSERT_EQ(frame.size(), cv::Size(width, 37));
	ASSERT_EQ(reference.size(), frame.size());
	{
		std::lock_guard guard(observed.lock);
		EXPECT_EQ(observed.firstStep, static_cast<std::size_t>((width * 3 + 3) / 4 * 4));
	}
	cv::Mat upright;
	cv::flip(frame, upright, 0);
	EXPECT_EQ(cv::norm(upright, reference, cv::NORM_INF), 0.0);
	// The top-left bar of the picture is white and the next one yellow: red, green, no blue.
	const cv::Vec3b yellow = reference.at<cv::Vec3b>(0, width * 3 / 14);
	EXPECT_GT(yellow[0], 150);
	EXPECT_LT(yellow[2], 50);
}

INSTANTIATE_TEST_SUITE_P(OddWidths, FrameLayout, testing::Values(33, 161, 641));

// Catches frames reaching the callback before start or after stop has returned.
TEST_F(Capture, FramesArriveOnlyBetweenStartAndStop)
{
	auto pipeline = pipelineFor("videotestsrc ! video/x-raw,width=160,height=120");
	ASSERT_TRUE(pipeline);
	std::this_thread::sleep_for(50ms);
	EXPECT_EQ(observed.frames, 0);

	for (int round = 0; round < 5; ++round) {
		std::string error;
		ASSERT_TRUE(pipeline->start(error)) << error;
		const int before = observed.frames;
		ASSERT_TRUE(waitForFrames(before + 3)) << "round " << round;
		pipeline->stop();
		EXPECT_FALSE(observed.inCallback);
		const int atStop = observed.frames;
		std::this_thread::sleep_for(30ms);
		EXPECT_EQ(observed.frames, atStop);
	}
}

// Catches a stop that returns while a slow callback still runs, or that never returns.
TEST_F(Capture, StopWaitsForASlowCallbackInFlightAndReturns)
{
	observed.callbackSleepMs = 150;
	auto pipeline = pipelineFor("videotestsrc ! video/x-raw,width=160,height=120");
	ASSERT_TRUE(pipeline);
	std::string error;
	ASSERT_TRUE(pipeline->start(error)) << error;
	ASSERT_TRUE(waitUntil([] { return observed.inCallback.load(); }, "a callback in flight"));
	pipeline->stop();
	EXPECT_FALSE(observed.inCallback);
	pipeline->stop();
}

// Catches a broken source being reported as a running camera.
TEST_F(Capture, ASourceThatCannotBeBuiltIsReported)
{
	std::string error;
	EXPECT_FALSE(CapturePipeline::create(CameraInfo{ .name = "broken",
							 .devicePath = {},
							 .device = nullptr,
							 .sourceDescription = "nosuchelement" },
					     recordFrame, error));
	EXPECT_NE(error.find("nosuchelement"), std::string::npos) << error;
}

namespace {

// A camera whose source is described, with the faults a real one shows.
struct FaultCase {
	const char *name;
	const char *source;
	const char *line; // the start of the one line reported
	// Whether the camera fails before its first frame: only then may capture fall back to
	// another way to the camera.
	bool beforeFirstFrame;
	// Short only where the stall is the fault: a loaded machine (or a sanitizer build) can
	// leave a working source silent for longer than that.
	std::chrono::milliseconds stallTimeout = std::chrono::minutes(1);
};

void PrintTo(const FaultCase &fault, std::ostream *out)
{
	*out << fault.name;
}

// Lines reported so far; appended from GStreamer's threads and the stall watch.
struct Reported {
	std::mutex lock; // guards lines
	std::vector<std::string> lines;

	std::vector<std::string> snapshot()
	{
		std::lock_guard guard(lock);
		return lines;
	}
};

class CameraFault : public Capture, public testing::WithParamInterface<FaultCase>
{
};

} // namespace

// Catches a camera fault that goes unreported, is reported more than once or in the wrong words,
// crashes, or leaves stop() hanging (the stall watch must never hold it up); and a failure to start
// that is not told (or told twice) to whoever would try the camera another way, or a failure later
// in the run that is.
TEST_P(CameraFault, IsReportedOnceAndStopsPromptly)
{
	const FaultCase &fault = GetParam();
	auto reported = std::make_shared<Reported>();
	auto startFailures = std::make_shared<std::atomic<int>>(0);
	CaptureOptions options;
	options.stallTimeout = fault.stallTimeout;
	options.onFault = [reported](const std::string &line) {
		std::lock_guard guard(reported->lock);
		reported->lines.push_back(line);
	};
	options.onStartFailure = [startFailures] {
		++*startFailures;
	};
	std::string error;
	auto pipeline = CapturePipeline::create(CameraInfo{ .name = "Cam",
							    .devicePath = {},
							    .device = nullptr,
							    .sourceDescription = fault.source },
						recordFrame, error, options);
	ASSERT_TRUE(pipeline) << error;
	pipeline->start(error);
	ASSERT_TRUE(waitUntil([&] { return !reported->snapshot().empty(); }, "the fault's line"));
	// Long enough for a second report (another error, or the stall watch) to show up.
	std::this_thread::sleep_for(900ms);

	const auto before = std::chrono::steady_clock::now();
	pipeline->stop();
	const auto stopTook = std::chrono::steady_clock::now() - before;
	const auto lines = reported->snapshot();
	ASSERT_EQ(lines.size(), 1u) << lines.back();
	EXPECT_EQ(lines[0].rfind(fault.line, 0), 0u) << lines[0];
	EXPECT_EQ(startFailures->load(), fault.beforeFirstFrame ? 1 : 0);
	// A hang, not a slow machine: a stop takes milliseconds.
	EXPECT_LT(stopTook, 2s);
}

INSTANTIATE_TEST_SUITE_P(
	Sources, CameraFault,
	testing::Values(
		FaultCase{ "DeviceMissing", "v4l2src device=/dev/no-such-camera",
			   "failed to start camera \"Cam\": it is not there; is it plugged in? "
			   "(cannot identify device '/dev/no-such-camera')",
			   true },
		FaultCase{ "ErrorMidRun", "videotestsrc is-live=true ! identity error-after=5",
			   "failed to capture from camera \"Cam\": it failed (", false },
		FaultCase{ "EndOfStreamMidRun", "videotestsrc is-live=true num-buffers=5",
			   "failed to capture from camera \"Cam\": it stopped sending frames (end "
			   "of stream)",
			   false },
		// The stall timeout must outlast the first frame's way through a loaded machine
		// under ThreadSanitizer, or the camera is first said not to start, then to stall.
		FaultCase{
			"StallAfterAFrame",
			"videotestsrc is-live=true ! video/x-raw,framerate=1/30",
			"failed to capture from camera \"Cam\": it has sent no frame for 3 seconds",
			false, std::chrono::milliseconds(3000) },
		FaultCase{ "NoFrameAtAll",
			   "videotestsrc is-live=true ! video/x-raw,framerate=1/30"
			   " ! identity drop-probability=1",
			   "failed to start camera \"Cam\": it has sent no frame for 400 ms", true,
			   std::chrono::milliseconds(400) }),
	[](const testing::TestParamInfo<FaultCase> &param) { return param.param.name; });

// Catches a chosen format that is not applied, and JPEG frames reaching the callback undecoded:
// the frames have the chosen size whether the source sends raw video or JPEG.
TEST_F(Capture, FramesHaveTheChosenSizeRawOrJpeg)
{
	for (const char *source : { "videotestsrc", "videotestsrc ! jpegenc" }) {
		CaptureOptions options;
		options.caps =
			std::string(std::string(source).ends_with("jpegenc") ? "image/jpeg"
									     : "video/x-raw") +
			",width=320,height=180,framerate=30/1";
		std::string error;
		auto pipeline = CapturePipeline::create(CameraInfo{ .name = "Cam",
								    .devicePath = {},
								    .device = nullptr,
								    .sourceDescription = source },
							recordFrame, error, options);
		ASSERT_TRUE(pipeline) << error;
		SetUp();
		ASSERT_TRUE(pipeline->start(error)) << error;
		ASSERT_TRUE(waitForFrames(2)) << source;
		pipeline->stop();
		const cv::Mat frame = firstFrame();
		EXPECT_EQ(frame.size(), cv::Size(320, 180)) << source;
		// The picture, decoded: the second bar of the top row (stored last) is yellow.
		const cv::Vec3b yellow = frame.at<cv::Vec3b>(179, 320 * 3 / 14);
		EXPECT_GT(std::min(yellow[0], yellow[1]), 150) << source;
		EXPECT_LT(yellow[2], 80) << source;
	}
}

namespace {

std::atomic<int> throwingCalls{ 0 }; // written by the streaming thread, read by the test

void throwOnEarlyFrames(const cv::Mat &)
{
	const int call = ++throwingCalls;
	if (call == 1)
		throw cv::Exception(cv::Error::StsNoMem, "out of memory", "test", "test", 0);
	if (call == 2)
		throw std::bad_alloc();
	if (call == 3)
		throw 3; // not even a std::exception
}

} // namespace

// Catches an exception from the frame callback unwinding into GStreamer's C code (which ends the
// process), or ending the stream or the frames: after three frames that threw, frames keep coming
// and no fault is reported.
TEST_F(Capture, ACallbackThatThrowsLosesOnlyThatFrame)
{
	throwingCalls = 0;
	auto reported = std::make_shared<Reported>();
	CaptureOptions options;
	options.stallTimeout =
		std::chrono::minutes(1); // only a fault of the stream, not the machine
	options.onFault = [reported](const std::string &line) {
		std::lock_guard guard(reported->lock);
		reported->lines.push_back(line);
	};
	std::string error;
	auto pipeline = CapturePipeline::create(
		CameraInfo{ .name = "test",
			    .devicePath = {},
			    .device = nullptr,
			    .sourceDescription = "videotestsrc ! video/x-raw,width=32,height=24" },
		throwOnEarlyFrames, error, options);
	ASSERT_TRUE(pipeline) << error;
	ASSERT_TRUE(pipeline->start(error)) << error;
	// A stream ended by the exceptions is reported at once: no need to wait out the bound.
	ASSERT_TRUE(waitUntil([&] { return throwingCalls >= 10 || !reported->snapshot().empty(); },
			      "ten calls, or a fault"));
	pipeline->stop();
	const auto lines = reported->snapshot();
	EXPECT_TRUE(lines.empty()) << lines.front();
	EXPECT_GE(throwingCalls.load(), 10);
}
