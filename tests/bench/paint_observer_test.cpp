// The timed viewer's paint observer on a real X display: it must find this process's "edge"
// window and read each painted frame's code from the screen, also when another window of the
// process opened over it, as the preview does where there is no window manager.
#include "paint_observer.h"

#include <chrono>
#include <cstdint>
#include <vector>

#include <opencv2/core.hpp>
#include <opencv2/highgui.hpp>
#include <opencv2/imgproc.hpp>

#include <gtest/gtest.h>

#include "frame_code.h"
#include "frame_log.h"
#include "frame_pipeline.h"

namespace {

std::int64_t nowNs()
{
	return std::chrono::duration_cast<std::chrono::nanoseconds>(
		       std::chrono::steady_clock::now().time_since_epoch())
		.count();
}

// A frame as the callback gets it, bottom row first, its number drawn in.
cv::Mat codedFrame(std::uint16_t value)
{
	cv::Mat frame(480, 640, CV_8UC3, cv::Scalar(90, 90, 90));
	cv::rectangle(frame, { 100, 100, 200, 150 }, { 250, 250, 250 }, cv::FILLED);
	drawFrameCode(
		value, [&](int row) { return frame.ptr<std::uint8_t>(frame.rows - 1 - row); },
		static_cast<int>(frame.elemSize()));
	return frame;
}

struct WindowsClosed {
	~WindowsClosed() { cv::destroyAllWindows(); }
};

// Catches an observer that looks for the window wrongly, reads the screen in the wrong place or
// channel, or gives up on a corner another window covers: no frame would be seen painted.
TEST(PaintObserver, SeesFramesPaintedUnderAnotherWindowOfTheProcess)
{
	const WindowsClosed closed;
	FrameLog log;
	PaintObserver observer(log);
	cv::namedWindow("edge", cv::WINDOW_AUTOSIZE);
	cv::imshow("edge", cv::Mat::zeros(480, 640, CV_8UC1));
	cv::waitKey(50);
	// Opened last, it lies over "edge"'s top-left corner, where the code is.
	cv::namedWindow("cover", cv::WINDOW_AUTOSIZE | cv::WINDOW_GUI_NORMAL);
	cv::imshow("cover", cv::Mat(480, 640, CV_8UC3, cv::Scalar(0, 0, 255)));
	cv::waitKey(50);
	observer.start();

	const char buffer = 0;
	std::vector<std::uint64_t> shown;
	const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
	for (std::uint64_t sequence = 70000; log.paintedFrames().size() < 5; ++sequence) {
		ASSERT_LT(std::chrono::steady_clock::now(), deadline)
			<< "frames seen painted: " << log.paintedFrames().size() << " of "
			<< shown.size() << " shown";
		const std::int64_t now = nowNs();
		log.converted({ .sequence = sequence, .captureNs = now, .convertedNs = now },
			      &buffer, true, 640, 480);
		cv::imshow("edge",
			   edgeImageOf(codedFrame(static_cast<std::uint16_t>(sequence)), 100, 120));
		shown.push_back(sequence);
		cv::waitKey(40);
	}
	observer.stop();

	// Each frame seen is one that was shown, once, and in the order shown.
	const std::vector<FrameTimes> painted = log.paintedFrames();
	for (std::size_t index = 0; index < painted.size(); ++index) {
		EXPECT_GE(painted[index].sequence, shown.front());
		EXPECT_LE(painted[index].sequence, shown.back());
		EXPECT_GT(painted[index].paintedNs, painted[index].captureNs);
		if (index > 0) {
			EXPECT_GT(painted[index].sequence, painted[index - 1].sequence);
		}
	}
	EXPECT_GE(observer.cpuMs(), 0);
}

} // namespace
