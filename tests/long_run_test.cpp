// The whole frame road (capture, edges, hand-off, display) over a long unpaced run, with the
// thresholds moving as fast as the main thread can move them.
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include <unistd.h>

#include <opencv2/core.hpp>
#include <opencv2/highgui.hpp>

#include <gtest/gtest.h>

#include "capture/camera_list.h"
#include "capture/cvcam.h"
#include "edge_thresholds.h"
#include "frame_pipeline.h"
#include "gui_dispatch.h"
#include "wait_until.h"

using namespace std::chrono_literals;

namespace {

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
// Sanitizers keep freed memory aside on purpose, so resident memory says nothing there; the run
// still checks the threads.
constexpr bool residentMemoryMeaningful = false;
constexpr int lastFrame = 3000;
#else
constexpr bool residentMemoryMeaningful = true;
constexpr int lastFrame = 20000;
#endif
constexpr int firstMeasuredFrame = 1000;
constexpr long allowedGrowth = 1024 * 1024;

void *const flagOn = reinterpret_cast<void *>(std::intptr_t{ 1 });

std::atomic<int> frames{ 0 }; // written by the streaming thread, read by the main thread

void onFrame(const cv::Mat &frame)
{
	edgeFrameCallback(frame);
	++frames;
}

long residentBytes()
{
	std::ifstream statm("/proc/self/statm");
	long sizePages = 0;
	long residentPages = 0;
	statm >> sizePages >> residentPages;
	return residentPages * sysconf(_SC_PAGESIZE);
}

} // namespace

// Catches memory kept per frame anywhere on the frame's road, and unsynchronised access to the
// thresholds while a slider moves (ThreadSanitizer checks this run).
TEST(LongRun, MemoryStaysFlatWhileTheThresholdsMove)
{
	overrideCameras({ CameraInfo{
		.name = "unpaced",
		.devicePath = {},
		.device = nullptr,
		.sourceDescription =
			"videotestsrc pattern=ball ! video/x-raw,width=160,height=120" } });
	std::vector<int> cameras;
	ASSERT_EQ(cvcamSelectCamera(cameras), 1);
	cvcamSetProperty(0, "enable", flagOn);
	cvcamSetProperty(0, "callback", reinterpret_cast<void *>(&onFrame));
	cv::namedWindow(edgeWindow, cv::WINDOW_AUTOSIZE);
	guiDispatcher().open();
	ASSERT_EQ(cvcamInit(), 0);
	ASSERT_EQ(cvcamStart(), 0);

	long residentAtFirst = 0;
	long residentAtLast = 0;
	int position = 0;
	int rounds = 0;
	int framesBefore = 0;
	auto lastNewFrame = std::chrono::steady_clock::now();
	while (frames < lastFrame) {
		// Capture that stops delivering ends the run here, not at ctest's timeout.
		const auto now = std::chrono::steady_clock::now();
		if (frames != framesBefore) {
			framesBefore = frames;
			lastNewFrame = now;
		} else if (now - lastNewFrame > waitBound) {
			ADD_FAILURE() << waitedInVain("frame " + std::to_string(framesBefore + 1) +
							      " of " + std::to_string(lastFrame),
						      waitBound)
						 .message();
			break;
		}
		// As the sliders' handlers do, as often as the main thread gets round to it.
		for (int move = 0; move < 64; ++move, ++position) {
			threshold1.store(position % 256, std::memory_order_relaxed);
			threshold2.store(255 - position % 256, std::memory_order_relaxed);
		}
		guiDispatcher().runPending();
		// Window events now and then: each pump takes a millisecond or more.
		if (++rounds % 16 == 0)
			cv::waitKey(1);
		else
			guiDispatcher().waitForWork(1ms);
		if (residentAtFirst == 0 && frames >= firstMeasuredFrame)
			residentAtFirst = residentBytes();
	}
	residentAtLast = residentBytes();
	guiDispatcher().close();
	cvcamStop();
	cvcamExit();
	overrideCameras({});
	cv::destroyAllWindows();
	threshold1 = 100;
	threshold2 = 120;

	const long growth = residentAtLast - residentAtFirst;
	std::printf("resident memory from frame %d to %d: %+ld KiB\n", firstMeasuredFrame,
		    lastFrame, growth / 1024);
	if (residentMemoryMeaningful) {
		EXPECT_LE(growth, allowedGrowth);
	}
}
