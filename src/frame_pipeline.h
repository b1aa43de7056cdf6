// Turns each captured frame into an edge picture and shows it in the "edge" window.
#pragma once

#include <atomic>
#include <string>

#include "edge_thresholds.h"

namespace cv {
class Mat;
}

// The capture layer's frame callback; runs on its streaming thread. frame is 8-bit with three
// (RGB) or four (RGBA) channels, lent for the call only. A frame that cannot be processed is
// dropped: no exception leaves this function.
void edgeFrameCallback(const cv::Mat &frame);

// The per-frame work without the display: grey conversion of an RGB(A) frame, detector's blur,
// Canny with the two thresholds as given and detector's aperture and gradient, then a flip so the
// first stored row comes out last.
cv::Mat edgeImageOf(const cv::Mat &frame, int lowThreshold, int highThreshold,
		    const EdgeDetector &detector = {});

// The OpenCV threads a run with detector should have. At apertures 5 and 7 Canny's larger Sobel
// filters add up to two-thirds to its work at 3, and with the other options a 1920x1080 frame's
// work then takes about the time between two frames at 30 frames/s on one core: a second thread
// keeps the frame rate for up to 18 % more CPU (docs/performance.md). At aperture 3 one thread
// keeps up and costs least. Always one in a ThreadSanitizer build.
int imageProcessingThreadsFor(const EdgeDetector &detector);

struct ThresholdPair {
	int threshold1;
	int threshold2;
};

// Thresholds for frame under detector, from the gradient magnitude Canny would compare with them
// (after the blur, with the aperture and the gradient's norm). T2 is Otsu's threshold of that
// magnitude's histogram: the value that best splits the many weak gradients of flat areas and
// noise from the fewer strong ones of borders, whatever the picture's contrast and the gradient's
// scale; T1 is half of it, the lower end of the ratio of 2 to 3 Canny recommended. Both within
// 0 to thresholdMaximumFor(detector.aperture); a picture without any gradient gets the defaults.
// Any thread.
ThresholdPair proposedThresholds(const cv::Mat &frame, const EdgeDetector &detector);

// Set by the main thread before capture starts when the command line asks for proposed
// thresholds; taken (set false) by the first frame's edgeFrameCallback, which then stores
// proposedThresholds() in threshold1 and threshold2 and sets thresholdsProposed, which the main
// thread takes to move the sliders there.
extern std::atomic<bool> proposeThresholds;
extern std::atomic<bool> thresholdsProposed;

// Set by the main thread (from the command line, then by Ctrl+O in "edge"); read once per frame
// by edgeFrameCallback, which then shows overlayImageOf() instead of the edges.
extern std::atomic<bool> overlayShown;

// Set by the main thread from the command line before capture starts; read once per frame by
// edgeFrameCallback, which then shows the gradient's histogram in "histogram" a few times a
// second, and at once when a threshold has moved.
extern std::atomic<bool> histogramShown;

// The edges over the picture: frame (RGB(A)) dimmed to overlayDimming of its brightness, flipped
// as edgeImageOf() flips, with every pixel edges marks in overlayColour; BGR, as highgui shows it.
// edges is edgeImageOf(frame)'s or what edgePictureShown() made of it: the whole at full size, a
// part of it at full size (a view into it), or the whole shrunk; the picture under it is the same
// part, or the frame resized to the same size. Composed after the fit, so that a shrunk overlay
// costs its room's pixels and not three channels of the frame's. Any thread.
inline constexpr double overlayDimming = 0.4;
inline constexpr unsigned char overlayColour[3] = { 0, 255, 0 }; // B, G, R: bright green
cv::Mat overlayImageOf(const cv::Mat &frame, const cv::Mat &edges);

// edgeImageOf() at the sliders' thresholds and the detector as they are now: the picture
// edgeFrameCallback shows.
// Any thread.
cv::Mat edgeImageAtSliders(const cv::Mat &frame);

// Shows image in windowName. A width other than 0 makes the window (without automatic sizing) if
// there is none and resizes it to width x height; 0 keeps the window's own sizing. Any thread: off
// the main thread the window calls are handed to the main thread's key wait as a frame of
// windowName, which a newer frame replaces while it waits; image is shared with them, so the
// caller must not write into it afterwards.
void showImageSized(const std::string &windowName, const cv::Mat &image, int width, int height);
