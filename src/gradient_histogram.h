// The gradient magnitude Canny compares its thresholds with, and its histogram as a picture with
// the two thresholds on it.
#pragma once

#include <vector>

#include <opencv2/core.hpp>

#include "edge_thresholds.h"

inline constexpr char histogramWindow[] = "histogram";

// The gradient magnitude of frame (RGB(A)) as detector's Canny works it out: grey, the blur, the
// Sobel derivatives with its aperture, their L1 sum or L2 norm. One float per pixel, unflipped.
// Any thread.
cv::Mat gradientMagnitude(const cv::Mat &frame, const EdgeDetector &detector);

// How many pixels of magnitude (gradientMagnitude()'s) fall in each of histogramBins equal bins
// over the thresholds' range 0 to maximum; the last bin takes everything from there up. Any
// thread.
inline constexpr int histogramBins = 256;
std::vector<double> gradientHistogram(const cv::Mat &magnitude, int maximum);

// gradientHistogram() of frame's gradientMagnitude() under detector, counted over bands of rows
// evenly spread so that no more than histogramSamplePixels are counted (each band worked out with
// the rows around it that the blur and the aperture reach, so that its gradients are the whole
// frame's): a histogram's shape needs no more, and counting a 1920x1080 frame whole costs several
// times that. A smaller frame is counted whole. Any thread.
inline constexpr int histogramSamplePixels = 640 * 480;
std::vector<double> sampledGradientHistogram(const cv::Mat &frame, const EdgeDetector &detector,
					     int maximum);

// The histogram drawn on a log count axis, histogramBins x 2 pixels wide, with a vertical line
// at each threshold: low (T1) yellow, high (T2) red, at column thresholdColumn(). BGR. Any thread.
inline constexpr int histogramWidth = 2 * histogramBins;
inline constexpr int histogramHeight = 200;
cv::Mat histogramImageOf(const std::vector<double> &counts, int low, int high, int maximum);
int thresholdColumn(int threshold, int maximum);
