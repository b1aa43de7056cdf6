// Turns each captured frame into an edge picture and shows it in the "edge" window.
#pragma once

#include <string>

namespace cv {
class Mat;
}

// The capture layer's frame callback; runs on its streaming thread. frame is 8-bit with three
// (RGB) or four (RGBA) channels, lent for the call only. A frame that cannot be processed is
// dropped: no exception leaves this function.
void edgeFrameCallback(const cv::Mat &frame);

// The per-frame work without the display: grey conversion of an RGB(A) frame, Canny with the two
// thresholds as given and aperture 3, then a flip so the first stored row comes out last.
cv::Mat edgeImageOf(const cv::Mat &frame, int lowThreshold, int highThreshold);

// edgeImageOf() at the sliders' thresholds as they are now: the picture edgeFrameCallback shows.
// Any thread.
cv::Mat edgeImageAtSliders(const cv::Mat &frame);

// Shows image in windowName. A width other than 0 makes the window (without automatic sizing) if
// there is none and resizes it to width x height; 0 keeps the window's own sizing. Any thread: off
// the main thread the window calls are handed to the main thread's key wait as a frame of
// windowName, which a newer frame replaces while it waits; image is shared with them, so the
// caller must not write into it afterwards.
void showImageSized(const std::string &windowName, const cv::Mat &image, int width, int height);
