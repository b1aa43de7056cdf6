// Per-frame edge detection: one grey conversion, one Canny pass, one in-place flip, no frame copy.
#include "frame_pipeline.h"

#include <exception>

#include <opencv2/core.hpp>
#include <opencv2/highgui.hpp>
#include <opencv2/imgproc.hpp>

#include "edge_thresholds.h"
#include "edge_view.h"
#include "gui_dispatch.h"
#include "screen_fit.h"

// The driver sets them from the command line before any frame.
std::atomic<int> threshold1{ defaultThreshold1 };
std::atomic<int> threshold2{ defaultThreshold2 };

namespace {

constexpr int cannyAperture = 3;
constexpr int flipAboutHorizontalAxis = 0;

void showNow(const std::string &windowName, const cv::Mat &image, int width, int height)
{
	if (width != 0) {
		cv::namedWindow(windowName, cv::WINDOW_NORMAL);
		cv::resizeWindow(windowName, width, height);
	} else {
		cv::namedWindow(windowName, cv::WINDOW_AUTOSIZE);
	}
	cv::imshow(windowName, image);
	showAtScreenPixels(windowName, image.size());
}

} // namespace

cv::Mat edgeImageOf(const cv::Mat &frame, int lowThreshold, int highThreshold)
{
	// Declared first so it is released last: the grey image goes before the edge image.
	cv::Mat edgeImage;
	cv::Mat grayImage(frame.size(), CV_8UC1);
	edgeImage.create(frame.size(), CV_8UC1);

	// Takes three or four channels; a fourth (alpha) is ignored.
	cv::cvtColor(frame, grayImage, cv::COLOR_RGB2GRAY);
	cv::Canny(grayImage, edgeImage, lowThreshold, highThreshold, cannyAperture);
	cv::flip(edgeImage, edgeImage, flipAboutHorizontalAxis);
	return edgeImage;
}

cv::Mat edgeImageAtSliders(const cv::Mat &frame)
{
	return edgeImageOf(frame, threshold1.load(std::memory_order_relaxed),
			   threshold2.load(std::memory_order_relaxed));
}

void edgeFrameCallback(const cv::Mat &frame)
{
	try {
		if (frame.empty() || frame.depth() != CV_8U ||
		    (frame.channels() != 3 && frame.channels() != 4))
			return;
		// Shrunk here rather than by the window, so the main thread converts and paints
		// no more pixels than the screen shows. Handed over as the one channel it is:
		// highgui turns every picture into RGB of its own before Qt draws it, and from
		// one channel that costs least.
		const cv::Mat picture = edgePictureShown(edgeImageAtSliders(frame));
		showImageSized(edgeWindow, picture, picture.cols, picture.rows);
	} catch (const std::exception &) {
		// The streaming thread is C code: an exception must not unwind into it. The frame
		// is lost; the next one is processed as usual.
	}
}

void showImageSized(const std::string &windowName, const cv::Mat &image, int width, int height)
{
	if (onGuiThread()) {
		showNow(windowName, image, width, height);
		return;
	}
	// A newer frame replaces this one while it waits, so the window shows the newest picture
	// and the streaming thread never waits for the main thread.
	guiDispatcher().postFrame(windowName, [windowName, image, width, height] {
		showNow(windowName, image, width, height);
	});
}
