// State the driver and the frame pipeline share: the edge thresholds and the window they show in.
#pragma once

#include <atomic>

inline constexpr char edgeWindow[] = "edge";

// The sliders' and the command line's range at aperture 3 is 0 to this; where the sliders start
// by default.
inline constexpr int thresholdMaximum = 255;
inline constexpr int defaultThreshold1 = 100;
inline constexpr int defaultThreshold2 = 120;

// The detector as the user's own code runs it: grey, then a Gaussian blur of blur x blur pixels
// (0 for none; sigma from the size, as cv::GaussianBlur's 0 gives it), then Canny with this Sobel
// aperture (3, 5 or 7) and the exact (L2) or the L1 gradient magnitude.
struct EdgeDetector {
	int aperture = 3;
	bool l2Gradient = false;
	int blur = 0;

	bool operator==(const EdgeDetector &) const = default;
};

// The thresholds are the values handed to Canny, which compares them with the gradient: a larger
// aperture multiplies that by its Sobel kernel's weights (the positive half of one derivative
// kernel sums to 4 at 3, 48 at 5, 640 at 7), so the range grows by the same factor: 255 at 3,
// 3060 at 5, 40800 at 7.
constexpr int thresholdMaximumFor(int aperture)
{
	return aperture == 7   ? thresholdMaximum * 160
	       : aperture == 5 ? thresholdMaximum * 12
			       : thresholdMaximum;
}

// Set by the main thread from the command line before capture starts; read once each per frame
// by edgeFrameCallback on the streaming thread.
extern std::atomic<int> detectorAperture;
extern std::atomic<bool> detectorL2Gradient;
extern std::atomic<int> detectorBlur;

// The detector those three make now. Any thread.
EdgeDetector currentDetector();

// Set by the sliders "T1" and "T2" on the main thread; read once each per frame by
// edgeFrameCallback on the streaming thread. Independent of each other: a frame may see one new
// and one old value.
extern std::atomic<int> threshold1;
extern std::atomic<int> threshold2;
