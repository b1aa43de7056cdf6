// The capture interface as the driver uses it, on known sources instead of whatever is plugged in.
#include "capture/cvcam.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <sstream>
#include <thread>

#include <opencv2/core.hpp>

#include <gtest/gtest.h>

#include "capture/camera_list.h"
#include "capture/console.h"
#include "wait_until.h"

using namespace std::chrono_literals;

namespace {

void *const flagOn = reinterpret_cast<void *>(std::intptr_t{ 1 });

std::atomic<int> framesSeen{ 0 }; // written by the streaming thread, read by the test
std::atomic<int> lastWidth{ 0 };

void countFrame(const cv::Mat &frame)
{
	lastWidth = frame.cols;
	++framesSeen;
}

CameraInfo describedCamera(const char *name, const char *source)
{
	return CameraInfo{
		.name = name, .devicePath = {}, .device = nullptr, .sourceDescription = source
	};
}

class CaptureInterface : public testing::Test
{
protected:
	void SetUp() override { framesSeen = 0; }
	void TearDown() override
	{
		cvcamStop();
		cvcamExit();
		overrideCameras({});
		overrideConsole(nullptr);
	}
};

} // namespace

// Catches frames going to a camera that was not enabled, capture that never starts, or a second
// start that crashes.
TEST_F(CaptureInterface, OnlyTheEnabledCameraDeliversToTheCallback)
{
	overrideCameras(
		{ describedCamera("small", "videotestsrc ! video/x-raw,width=64,height=48"),
		  describedCamera("large", "videotestsrc ! video/x-raw,width=96,height=72") });
	std::vector<int> cameras;
	ASSERT_EQ(cvcamSelectCamera(cameras), 1);
	ASSERT_EQ(cameras, std::vector<int>{ 0 });

	int width = 640;
	int height = 480;
	EXPECT_EQ(cvcamSetProperty(1, "enable", flagOn), 0);
	EXPECT_EQ(cvcamSetProperty(1, "render", flagOn), 0);
	EXPECT_EQ(cvcamGetProperty(1, "video_pp", nullptr), 0);
	EXPECT_EQ(cvcamSetProperty(1, "rendering_width", &width), 0);
	EXPECT_EQ(cvcamSetProperty(1, "rendering_height", &height), 0);
	EXPECT_EQ(cvcamSetProperty(1, "callback", reinterpret_cast<void *>(&countFrame)), 0);
	ASSERT_EQ(cvcamInit(), 0);
	EXPECT_EQ(framesSeen, 0);
	ASSERT_EQ(cvcamStart(), 0);
	EXPECT_EQ(cvcamStart(), 0); // a second start must not crash or stop capture
	ASSERT_TRUE(waitUntil([] { return framesSeen >= 3; }, "3 frames"));
	EXPECT_EQ(lastWidth, 96);
	EXPECT_EQ(cvcamStop(), 0);
	const int atStop = framesSeen;
	std::this_thread::sleep_for(30ms);
	EXPECT_EQ(framesSeen, atStop);
	EXPECT_EQ(cvcamExit(), 0);
}

// Catches the built-in camera not being the live 640x480 test pattern that machines without a
// camera show.
TEST_F(CaptureInterface, TestPatternDeliversLive640x480Frames)
{
	overrideCameras({ testPatternCamera() });
	std::vector<int> cameras;
	ASSERT_EQ(cvcamSelectCamera(cameras), 1);
	cvcamSetProperty(0, "enable", flagOn);
	cvcamSetProperty(0, "callback", reinterpret_cast<void *>(&countFrame));
	ASSERT_EQ(cvcamInit(), 0);
	ASSERT_EQ(cvcamStart(), 0);
	ASSERT_TRUE(waitUntil([] { return framesSeen >= 2; }, "2 frames"));
	EXPECT_EQ(lastWidth, 640);
}

// Catches misuse crashing the layer: unknown cameras and properties, and calls out of order.
TEST_F(CaptureInterface, RejectsUnknownNamesAndToleratesAnyCallOrder)
{
	overrideCameras(
		{ describedCamera("one", "videotestsrc ! video/x-raw,width=64,height=48") });
	EXPECT_EQ(cvcamStop(), 0);
	EXPECT_EQ(cvcamStart(), -1);
	std::vector<int> cameras;
	cvcamSelectCamera(cameras);
	EXPECT_EQ(cvcamSetProperty(5, "enable", flagOn), -1);
	EXPECT_EQ(cvcamSetProperty(-1, "enable", flagOn), -1);
	EXPECT_EQ(cvcamSetProperty(0, "brightness", flagOn), -1);
	EXPECT_EQ(cvcamSetProperty(0, nullptr, flagOn), -1);
	EXPECT_EQ(cvcamGetProperty(0, "nothing", nullptr), -1);
	EXPECT_EQ(cvcamInit(), -1); // nothing enabled
	EXPECT_EQ(cvcamExit(), 0);
	EXPECT_EQ(cvcamExit(), 0);
}

// Catches a camera that cannot be built being started anyway, or crashing the layer.
TEST_F(CaptureInterface, ACameraThatCannotBeBuiltFailsInitAndStart)
{
	overrideCameras({ describedCamera("broken", "nosuchelement") });
	std::vector<int> cameras;
	cvcamSelectCamera(cameras);
	cvcamSetProperty(0, "enable", flagOn);
	testing::internal::CaptureStderr();
	EXPECT_EQ(cvcamInit(), -1);
	EXPECT_EQ(cvcamStart(), -1);
	const std::string message = testing::internal::GetCapturedStderr();
	EXPECT_EQ(message.rfind("edge-viewer: failed to set up broken: ", 0), 0u) << message;
}

// Catches the format picked on the page not being the one capture runs at, and the page asking
// when there is no terminal.
TEST_F(CaptureInterface, TheFormatPickedOnThePageIsTheOneCaptured)
{
	overrideCameras({ testPatternCamera() });
	for (const bool terminal : { true, false }) {
		std::istringstream in("0\n");
		std::ostringstream out;
		const Console console{ &in, &out, terminal };
		overrideConsole(&console);
		std::vector<int> cameras;
		cvcamSelectCamera(cameras);
		cvcamSetProperty(0, "enable", flagOn);
		EXPECT_EQ(cvcamGetProperty(0, "video_pp", nullptr), 0);
		cvcamSetProperty(0, "callback", reinterpret_cast<void *>(&countFrame));
		ASSERT_EQ(cvcamInit(), 0);
		ASSERT_EQ(cvcamStart(), 0);
		framesSeen = 0;
		ASSERT_TRUE(waitUntil([] { return framesSeen >= 2; }, "2 frames"))
			<< (terminal ? "with" : "without") << " a terminal";
		cvcamStop();
		cvcamExit();
		EXPECT_EQ(lastWidth, terminal ? 320 : 640);
		EXPECT_EQ(out.str().find("Video formats of Test pattern"),
			  terminal ? 0u : std::string::npos);
	}
}
