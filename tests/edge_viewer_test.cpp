// The driver against a recording fake of the capture interface: what it asks of the capture layer
// and the GUI, and in which order.
#include "edge_viewer.h"

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include <opencv2/core.hpp>
#include <opencv2/highgui.hpp>

#include <gtest/gtest.h>

#include "capture/cvcam.h"
#include "edge_thresholds.h"
#include "frame_pipeline.h"

namespace {

bool windowVisible(const char *name)
{
	try {
		return cv::getWindowProperty(name, cv::WND_PROP_VISIBLE) >= 1;
	} catch (const cv::Exception &) {
		return false;
	}
}

// What the fake saw, in call order; touched on the main thread only.
struct Recorder {
	std::vector<int> selection;
	int presetStatus = 0;
	std::vector<std::string> calls;
	void *callback = nullptr;
	int renderWidth = 0;
	int renderHeight = 0;
	int sliderT1AtInit = -1;
	int sliderT2AtInit = -1;
	bool edgeExistedAtLastProperty = true;
	bool probeOpenAtStop = false;
	bool probeOpenAtExit = false;
	CvcamFrameCallback frameCallback = nullptr;
	int redeliveries = 0; // asked for by the slider handlers
	// Where cvcamStart() puts "T1" and then "T2", as a user would; -1 leaves it.
	int moveT1AtStart = -1;
	int moveT2AtStart = -1;
	int redeliveriesOnMove = 0;
	std::thread streaming; // stands in for GStreamer's streaming thread
	std::atomic<bool> streamingStop{ false };
};

Recorder *recorder = nullptr;

void record(const std::string &call)
{
	recorder->calls.push_back(call);
}

std::string flagText(void *value)
{
	return std::to_string(reinterpret_cast<std::intptr_t>(value));
}

} // namespace

// The fake capture layer, linked in place of the real one.

int cvcamPreset(const CvcamPreset &preset)
{
	if (!(preset == CvcamPreset{}))
		record("preset " + preset.camera);
	return recorder->presetStatus;
}

int cvcamSelectCamera(std::vector<int> &cameraList)
{
	record("select");
	cameraList = recorder->selection;
	return static_cast<int>(cameraList.size());
}

int cvcamSetProperty(int camera, const char *property, void *value)
{
	const std::string name = property;
	std::string shown;
	if (name == "enable" || name == "render") {
		shown = flagText(value);
	} else if (name == "rendering_width") {
		recorder->renderWidth = *static_cast<int *>(value);
		shown = std::to_string(recorder->renderWidth);
	} else if (name == "rendering_height") {
		recorder->renderHeight = *static_cast<int *>(value);
		shown = std::to_string(recorder->renderHeight);
	} else if (name == "callback") {
		recorder->callback = value;
		recorder->frameCallback = reinterpret_cast<CvcamFrameCallback>(value);
		recorder->edgeExistedAtLastProperty = windowVisible(edgeWindow);
		shown = "fn";
	}
	record("set " + std::to_string(camera) + " " + name + " " + shown);
	return 0;
}

int cvcamGetProperty(int camera, const char *property, void *value)
{
	record("get " + std::to_string(camera) + " " + property + (value ? " value" : " null"));
	return 0;
}

int cvcamRedeliver()
{
	++recorder->redeliveries;
	return 0;
}

int cvcamInit()
{
	record("init");
	recorder->sliderT1AtInit = cv::getTrackbarPos("T1", edgeWindow);
	recorder->sliderT2AtInit = cv::getTrackbarPos("T2", edgeWindow);
	return 0;
}

int cvcamStart()
{
	record("start");
	const int before = recorder->redeliveries;
	if (recorder->moveT1AtStart >= 0)
		cv::setTrackbarPos("T1", edgeWindow, recorder->moveT1AtStart);
	if (recorder->moveT2AtStart >= 0)
		cv::setTrackbarPos("T2", edgeWindow, recorder->moveT2AtStart);
	recorder->redeliveriesOnMove = recorder->redeliveries - before;
	// Frames keep coming, from another thread, faster than the hand-off can take them.
	recorder->streaming = std::thread([] {
		const cv::Mat frame(48, 64, CV_8UC3, cv::Scalar(10, 200, 30));
		while (!recorder->streamingStop)
			recorder->frameCallback(frame);
	});
	// Closing "edge" ends the key wait, as a key would; the probe window shows when the
	// windows are destroyed.
	cv::namedWindow("probe", cv::WINDOW_AUTOSIZE);
	cv::destroyWindow(edgeWindow);
	return 0;
}

int cvcamStop()
{
	record("stop");
	recorder->probeOpenAtStop = windowVisible("probe");
	recorder->streamingStop = true;
	if (recorder->streaming.joinable())
		recorder->streaming.join();
	return 0;
}

int cvcamExit()
{
	record("exit");
	recorder->probeOpenAtExit = windowVisible("probe");
	return 0;
}

namespace {

class Driver : public testing::Test
{
protected:
	void SetUp() override { recorder = &seen; }
	void TearDown() override
	{
		if (seen.streaming.joinable()) {
			seen.streamingStop = true;
			seen.streaming.join();
		}
		recorder = nullptr;
	}
	Recorder seen;
};

} // namespace

// Catches properties set on the wrong camera, in the wrong order or with the wrong values, capture
// started before its window exists, and windows destroyed while capture may still deliver frames
// (here a streaming thread that never stops posting frames must not hang the teardown).
TEST_F(Driver, ConfiguresTheFirstChosenCameraThenRunsAndTearsDownInOrder)
{
	seen.selection = { 2, 0, 1 };
	EXPECT_EQ(runEdgeViewer(), 0);

	const std::vector<std::string> expected = {
		"select",
		"set 2 enable 1",
		"set 2 render 1",
		"get 2 video_pp null",
		"set 2 rendering_width 640",
		"set 2 rendering_height 480",
		"set 2 callback fn",
		"init",
		"start",
		"stop",
		"exit",
	};
	EXPECT_EQ(seen.calls, expected);
	EXPECT_EQ(seen.callback, reinterpret_cast<void *>(&edgeFrameCallback));
	EXPECT_FALSE(seen.edgeExistedAtLastProperty);
	EXPECT_EQ(seen.sliderT1AtInit, 100);
	EXPECT_EQ(seen.sliderT2AtInit, 120);
	EXPECT_TRUE(seen.probeOpenAtStop);
	EXPECT_TRUE(seen.probeOpenAtExit);
	EXPECT_FALSE(windowVisible("probe"));
	EXPECT_EQ(threshold1.load(), 100);
	EXPECT_EQ(threshold2.load(), 120);
}

// Catches a slider move that does not ask the capture layer for the frame again (a still image,
// which sends no frame of its own, would go on showing the old thresholds' edges), and a slider
// that sets the other one's threshold.
TEST_F(Driver, EachSliderSetsItsOwnThresholdAndAsksForTheFrameAgain)
{
	seen.selection = { 0 };
	seen.moveT1AtStart = 42;
	seen.moveT2AtStart = 43;
	EXPECT_EQ(runEdgeViewer(), 0);
	EXPECT_EQ(seen.redeliveriesOnMove, 2);
	EXPECT_EQ(threshold1.load(), 42);
	EXPECT_EQ(threshold2.load(), 43);
}

// Catches the first element of an empty selection being read.
TEST_F(Driver, AnEmptySelectionEndsWithStatusOneAndTouchesNothing)
{
	seen.selection = {};
	testing::internal::CaptureStderr();
	EXPECT_EQ(runEdgeViewer(), 1);
	EXPECT_EQ(testing::internal::GetCapturedStderr(), "edge-viewer: no camera selected\n");
	EXPECT_EQ(seen.calls, std::vector<std::string>{ "select" });
}

// Catches the camera being chosen or started, or a window call made, when no display answers: the
// toolkit would abort the process and leave the camera running.
TEST_F(Driver, WithoutADisplayEndsWithOneLineBeforeTouchingTheCamera)
{
	const std::string display = std::getenv("DISPLAY");
	for (const char *unreachable : { "", ":4093" }) {
		setenv("DISPLAY", unreachable, 1);
		testing::internal::CaptureStderr();
		EXPECT_EQ(runEdgeViewer(), 1);
		const std::string reason = *unreachable
						   ? std::string("(DISPLAY=") + unreachable + ")"
						   : std::string("(DISPLAY is not set)");
		EXPECT_EQ(testing::internal::GetCapturedStderr(),
			  "edge-viewer: failed to open a window: no display could be reached " +
				  reason + "\n");
		EXPECT_TRUE(seen.calls.empty());
	}
	setenv("DISPLAY", display.c_str(), 1);
}

// Catches the command line's choice reaching the capture layer after its dialogs (or not at all),
// the sliders not starting where the command line put them, and a preset that failed still
// opening a window or choosing a camera.
TEST_F(Driver, TheCommandLineReachesCaptureBeforeTheDialogsAndSetsTheSliders)
{
	seen.selection = { 0 };
	ViewerSettings settings;
	settings.capture.camera = "Webcam";
	settings.threshold1 = 7;
	settings.threshold2 = 250;
	EXPECT_EQ(runEdgeViewer(settings), 0);
	ASSERT_GE(seen.calls.size(), 2u);
	EXPECT_EQ(seen.calls[0], "preset Webcam");
	EXPECT_EQ(seen.calls[1], "select");
	EXPECT_EQ(seen.sliderT1AtInit, 7);
	EXPECT_EQ(seen.sliderT2AtInit, 250);

	for (const int status : { 1, 2 }) {
		seen.calls.clear();
		seen.presetStatus = status;
		EXPECT_EQ(runEdgeViewer(settings), status);
		EXPECT_EQ(seen.calls, std::vector<std::string>{ "preset Webcam" });
		EXPECT_FALSE(windowVisible(edgeWindow));
	}
}
