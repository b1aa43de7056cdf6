// Per-frame edge detection: one grey conversion, one Canny pass, one in-place flip, no frame copy;
// the tuning options add a blur, an overlay picture and the histogram's counts.
#include "frame_pipeline.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <exception>
#include <mutex>
#include <vector>

#include <opencv2/core.hpp>
#include <opencv2/highgui.hpp>
#include <opencv2/imgproc.hpp>

#include "edge_thresholds.h"
#include "edge_view.h"
#include "gradient_histogram.h"
#include "gui_dispatch.h"
#include "screen_fit.h"

// The driver sets them from the command line before any frame.
std::atomic<int> threshold1{ defaultThreshold1 };
std::atomic<int> threshold2{ defaultThreshold2 };
std::atomic<int> detectorAperture{ EdgeDetector{}.aperture };
std::atomic<bool> detectorL2Gradient{ EdgeDetector{}.l2Gradient };
std::atomic<int> detectorBlur{ EdgeDetector{}.blur };
std::atomic<bool> proposeThresholds{ false };
std::atomic<bool> thresholdsProposed{ false };
std::atomic<bool> overlayShown{ false };
std::atomic<bool> histogramShown{ false };

namespace {

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

// A few pictures a second: counting every frame's gradients would cost more than the edges.
constexpr auto histogramInterval = std::chrono::milliseconds(250);

// The histogram shown last and what it was drawn with; only the frame callback touches them,
// under histogramLock, as a still's frames may come from another thread than a camera's.
std::mutex histogramLock;
std::vector<double> histogramCounts;
std::chrono::steady_clock::time_point histogramCounted;
int histogramThreshold1 = -1;
int histogramThreshold2 = -1;

// Recounts once histogramInterval has passed, and redraws then or when a threshold moved, so
// that a slider move on a still moves its line.
void showHistogram(const cv::Mat &frame, int low, int high, const EdgeDetector &detector)
{
	const int maximum = thresholdMaximumFor(detector.aperture);
	const auto now = std::chrono::steady_clock::now();
	std::lock_guard lock(histogramLock);
	const bool recount = histogramCounts.empty() || now - histogramCounted >= histogramInterval;
	if (!recount && low == histogramThreshold1 && high == histogramThreshold2)
		return;
	if (recount) {
		histogramCounts = sampledGradientHistogram(frame, detector, maximum);
		histogramCounted = now;
	}
	histogramThreshold1 = low;
	histogramThreshold2 = high;
	showImageSized(histogramWindow, histogramImageOf(histogramCounts, low, high, maximum), 0,
		       0);
}

} // namespace

EdgeDetector currentDetector()
{
	return { detectorAperture.load(std::memory_order_relaxed),
		 detectorL2Gradient.load(std::memory_order_relaxed),
		 detectorBlur.load(std::memory_order_relaxed) };
}

cv::Mat edgeImageOf(const cv::Mat &frame, int lowThreshold, int highThreshold,
		    const EdgeDetector &detector)
{
	// Declared first so it is released last: the grey image goes before the edge image.
	cv::Mat edgeImage;
	cv::Mat grayImage(frame.size(), CV_8UC1);
	edgeImage.create(frame.size(), CV_8UC1);

	// Takes three or four channels; a fourth (alpha) is ignored.
	cv::cvtColor(frame, grayImage, cv::COLOR_RGB2GRAY);
	if (detector.blur > 0)
		cv::GaussianBlur(grayImage, grayImage, { detector.blur, detector.blur }, 0);
	cv::Canny(grayImage, edgeImage, lowThreshold, highThreshold, detector.aperture,
		  detector.l2Gradient);
	cv::flip(edgeImage, edgeImage, flipAboutHorizontalAxis);
	return edgeImage;
}

// OpenCV's worker pool (TBB) hands work between its threads through code ThreadSanitizer cannot
// see, so each of its workers' reads of the callback's images would be reported. Under it the
// work stays on the callback's thread: the split is OpenCV's own, and the threads of the program
// and what they share are the same at any count.
#if defined(__SANITIZE_THREAD__)
constexpr bool underThreadSanitizer = true;
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
constexpr bool underThreadSanitizer = true;
#else
constexpr bool underThreadSanitizer = false;
#endif
#else
constexpr bool underThreadSanitizer = false;
#endif

int imageProcessingThreadsFor(const EdgeDetector &detector)
{
	return detector.aperture > 3 && !underThreadSanitizer ? 2 : 1;
}

ThresholdPair proposedThresholds(const cv::Mat &frame, const EdgeDetector &detector)
{
	const cv::Mat magnitude = gradientMagnitude(frame, detector);
	double largest = 0;
	cv::minMaxLoc(magnitude, nullptr, &largest);
	if (largest < 1)
		return { defaultThreshold1, defaultThreshold2 };

	// Otsu over a histogram fine enough for a threshold within a thousandth of the range.
	constexpr int bins = 1024;
	const double binWidth = largest / bins;
	std::vector<double> counts(bins, 0.0);
	for (int y = 0; y < magnitude.rows; ++y) {
		const float *row = magnitude.ptr<float>(y);
		for (int x = 0; x < magnitude.cols; ++x)
			counts[static_cast<std::size_t>(
				std::min(static_cast<int>(row[x] / binWidth), bins - 1))] += 1;
	}
	double total = 0;
	double weightedTotal = 0;
	for (int bin = 0; bin < bins; ++bin) {
		total += counts[static_cast<std::size_t>(bin)];
		weightedTotal += bin * counts[static_cast<std::size_t>(bin)];
	}
	double below = 0;
	double weightedBelow = 0;
	double bestSpread = -1;
	int bestBin = 0;
	for (int bin = 0; bin < bins - 1; ++bin) {
		below += counts[static_cast<std::size_t>(bin)];
		weightedBelow += bin * counts[static_cast<std::size_t>(bin)];
		const double above = total - below;
		if (below == 0 || above == 0)
			continue;
		const double meanBelow = weightedBelow / below;
		const double meanAbove = (weightedTotal - weightedBelow) / above;
		const double spread =
			below * above * (meanAbove - meanBelow) * (meanAbove - meanBelow);
		if (spread > bestSpread) {
			bestSpread = spread;
			bestBin = bin;
		}
	}
	// Canny's strong edges lie above T2: the upper end of the lower class's last bin.
	const int maximum = thresholdMaximumFor(detector.aperture);
	const int high =
		std::clamp(static_cast<int>(std::lround((bestBin + 1) * binWidth)), 1, maximum);
	return { high / 2, high };
}

cv::Mat overlayImageOf(const cv::Mat &frame, const cv::Mat &edges)
{
	// Which part of the frame lies under edges: the flip puts edges' row y at frame's row
	// rows - 1 - y.
	cv::Size whole;
	cv::Point offset;
	edges.locateROI(whole, offset);
	cv::Mat under;
	if (edges.size() == frame.size())
		under = frame;
	else if (whole == frame.size())
		under = frame(cv::Rect(offset.x, frame.rows - offset.y - edges.rows, edges.cols,
				       edges.rows));
	else
		cv::resize(frame, under, edges.size(), 0, 0, cv::INTER_LINEAR);
	// RGB(A) to BGR and dimmed in one pass: each output channel is the input's opposite one,
	// scaled; a fourth (alpha) input column weighs nothing.
	cv::Mat swapAndDim = cv::Mat::zeros(3, frame.channels(), CV_32F);
	for (int channel = 0; channel < 3; ++channel)
		swapAndDim.at<float>(channel, 2 - channel) = static_cast<float>(overlayDimming);
	cv::Mat picture;
	cv::transform(under, picture, swapAndDim);
	cv::flip(picture, picture, flipAboutHorizontalAxis);
	picture.setTo(cv::Scalar(overlayColour[0], overlayColour[1], overlayColour[2]), edges);
	return picture;
}

cv::Mat edgeImageAtSliders(const cv::Mat &frame)
{
	return edgeImageOf(frame, threshold1.load(std::memory_order_relaxed),
			   threshold2.load(std::memory_order_relaxed), currentDetector());
}

void edgeFrameCallback(const cv::Mat &frame)
{
	try {
		if (frame.empty() || frame.depth() != CV_8U ||
		    (frame.channels() != 3 && frame.channels() != 4))
			return;
		if (proposeThresholds.exchange(false, std::memory_order_relaxed)) {
			const ThresholdPair proposed = proposedThresholds(frame, currentDetector());
			threshold1.store(proposed.threshold1, std::memory_order_relaxed);
			threshold2.store(proposed.threshold2, std::memory_order_relaxed);
			thresholdsProposed.store(true, std::memory_order_release);
		}
		const int low = threshold1.load(std::memory_order_relaxed);
		const int high = threshold2.load(std::memory_order_relaxed);
		const EdgeDetector detector = currentDetector();
		const cv::Mat edges = edgeImageOf(frame, low, high, detector);
		if (histogramShown.load(std::memory_order_relaxed))
			showHistogram(frame, low, high, detector);
		// Shrunk here rather than by the window, so the main thread converts and paints
		// no more pixels than the screen shows. Edges alone are handed over as the one
		// channel they are: highgui turns every picture into RGB of its own before Qt draws
		// it, and from one channel that costs least.
		const cv::Mat shownEdges = edgePictureShown(edges);
		const cv::Mat picture = overlayShown.load(std::memory_order_relaxed)
						? overlayImageOf(frame, shownEdges)
						: shownEdges;
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
