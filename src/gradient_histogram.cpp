// The gradient's histogram: one pass of Sobel over the picture, drawn in a small picture of its
// own.
#include "gradient_histogram.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <string>

#include <opencv2/imgproc.hpp>

cv::Mat gradientMagnitude(const cv::Mat &frame, const EdgeDetector &detector)
{
	cv::Mat grey;
	cv::cvtColor(frame, grey, cv::COLOR_RGB2GRAY);
	if (detector.blur > 0)
		cv::GaussianBlur(grey, grey, { detector.blur, detector.blur }, 0);
	// In floats: at aperture 7 a derivative reaches 640 x 255, beyond 16 bits.
	cv::Mat dx;
	cv::Mat dy;
	cv::Sobel(grey, dx, CV_32F, 1, 0, detector.aperture);
	cv::Sobel(grey, dy, CV_32F, 0, 1, detector.aperture);
	cv::Mat magnitude;
	if (detector.l2Gradient)
		cv::magnitude(dx, dy, magnitude);
	else
		magnitude = cv::abs(dx) + cv::abs(dy);
	return magnitude;
}

std::vector<double> gradientHistogram(const cv::Mat &magnitude, int maximum)
{
	CV_Assert(magnitude.type() == CV_32FC1);
	std::vector<double> counts(histogramBins, 0.0);
	const float binsPerUnit =
		static_cast<float>(histogramBins) / static_cast<float>(maximum + 1);
	for (int y = 0; y < magnitude.rows; ++y) {
		const float *row = magnitude.ptr<float>(y);
		for (int x = 0; x < magnitude.cols; ++x) {
			const int bin =
				std::min(static_cast<int>(row[x] * binsPerUnit), histogramBins - 1);
			counts[static_cast<std::size_t>(bin)] += 1;
		}
	}
	return counts;
}

std::vector<double> sampledGradientHistogram(const cv::Mat &frame, const EdgeDetector &detector,
					     int maximum)
{
	const std::int64_t area = std::int64_t{ frame.cols } * frame.rows;
	if (area <= histogramSamplePixels)
		return gradientHistogram(gradientMagnitude(frame, detector), maximum);
	constexpr int bandRows = 8;
	// One band in every `every`, which keeps the count within histogramSamplePixels.
	const auto every =
		static_cast<int>((area + histogramSamplePixels - 1) / histogramSamplePixels);
	const int reach = std::max(detector.blur, 1) / 2 + detector.aperture / 2;
	std::vector<double> counts(histogramBins, 0.0);
	for (int top = 0; top < frame.rows; top += bandRows * every) {
		const int first = std::max(top - reach, 0);
		const int end = std::min(top + bandRows + reach, frame.rows);
		const cv::Mat magnitude = gradientMagnitude(frame.rowRange(first, end), detector);
		const int bandEnd = std::min(top + bandRows, frame.rows);
		const std::vector<double> band = gradientHistogram(
			magnitude.rowRange(top - first, bandEnd - first), maximum);
		for (std::size_t bin = 0; bin < counts.size(); ++bin)
			counts[bin] += band[bin];
	}
	return counts;
}

int thresholdColumn(int threshold, int maximum)
{
	const auto column = static_cast<int>(std::int64_t{ std::clamp(threshold, 0, maximum) } *
					     histogramWidth / (maximum + 1));
	return std::min(column, histogramWidth - 1);
}

cv::Mat histogramImageOf(const std::vector<double> &counts, int low, int high, int maximum)
{
	cv::Mat picture(histogramHeight, histogramWidth, CV_8UC3, cv::Scalar::all(32));
	// Log counts: the few strong gradients of borders would be invisible beside the many weak
	// ones of flat areas on a linear axis.
	const double largest = counts.empty() ? 0 : *std::max_element(counts.begin(), counts.end());
	const int room = histogramHeight - 20; // the top rows for the labels
	const double scale = largest > 0 ? room / std::log1p(largest) : 0;
	const int binWidth = histogramWidth / histogramBins;
	for (std::size_t bin = 0; bin < counts.size() && bin < histogramBins; ++bin) {
		const int height = static_cast<int>(std::lround(std::log1p(counts[bin]) * scale));
		if (height <= 0)
			continue;
		const int x = static_cast<int>(bin) * binWidth;
		cv::rectangle(picture, cv::Rect(x, histogramHeight - height, binWidth, height),
			      cv::Scalar::all(200), cv::FILLED);
	}
	const cv::Scalar yellow(0, 255, 255);
	const cv::Scalar red(0, 0, 255);
	const int x1 = thresholdColumn(low, maximum);
	const int x2 = thresholdColumn(high, maximum);
	cv::line(picture, { x1, 0 }, { x1, histogramHeight - 1 }, yellow);
	cv::line(picture, { x2, 0 }, { x2, histogramHeight - 1 }, red);
	cv::putText(picture, "T1 " + std::to_string(low), { 4, 14 }, cv::FONT_HERSHEY_SIMPLEX, 0.45,
		    yellow);
	cv::putText(picture, "T2 " + std::to_string(high), { 84, 14 }, cv::FONT_HERSHEY_SIMPLEX,
		    0.45, red);
	cv::putText(picture, "gradient 0.." + std::to_string(maximum) + ", log count",
		    { histogramWidth - 210, 14 }, cv::FONT_HERSHEY_SIMPLEX, 0.45,
		    cv::Scalar::all(200));
	return picture;
}
