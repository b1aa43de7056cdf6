// The gradient's histogram: where its peaks fall for known steps, and where the threshold lines
// are.
#include "gradient_histogram.h"

#include <algorithm>
#include <vector>

#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include <gtest/gtest.h>

namespace {

// Vertical stripes in steps of 10 and of 40 grey levels: along a straight vertical border the 3x3
// Sobel gives 4 x the step on the two columns beside it, so the magnitude is 40 or 160 there and
// 0 elsewhere. The 5x5 Sobel spreads a step of h over four columns: 16h on the outer two, 48h on
// the inner two.
cv::Mat steps()
{
	cv::Mat frame(100, 200, CV_8UC3, cv::Scalar::all(100));
	frame.colRange(50, 100).setTo(cv::Scalar::all(110));  // a step of 10 up, then 10 down
	frame.colRange(150, 200).setTo(cv::Scalar::all(140)); // a step of 40
	return frame;
}

// The bins holding the most pixels after bin 0 (the flat areas), largest first.
std::vector<int> peaks(const std::vector<double> &counts, int how_many)
{
	std::vector<int> bins;
	for (int bin = 1; bin < static_cast<int>(counts.size()); ++bin)
		if (counts[static_cast<std::size_t>(bin)] > 0)
			bins.push_back(bin);
	std::sort(bins.begin(), bins.end(), [&](int a, int b) {
		return counts[static_cast<std::size_t>(a)] > counts[static_cast<std::size_t>(b)];
	});
	bins.resize(std::min<std::size_t>(bins.size(), static_cast<std::size_t>(how_many)));
	std::sort(bins.begin(), bins.end());
	return bins;
}

} // namespace

// Catches another gradient than Canny's (a wrong aperture, scale or norm), bins off by a factor,
// and strong gradients dropped instead of kept in the last bin.
TEST(GradientHistogram, PeaksFallWhereTheStepsGradientsAre)
{
	const cv::Mat frame = steps();
	const std::vector<double> at3 = gradientHistogram(gradientMagnitude(frame, {}), 255);
	ASSERT_EQ(at3.size(), static_cast<std::size_t>(histogramBins));
	EXPECT_EQ(peaks(at3, 2), (std::vector<int>{ 40, 160 }));
	EXPECT_EQ(at3[40], 4 * 100); // two borders of the 10 step, two columns each
	EXPECT_EQ(at3[160], 2 * 100);
	EXPECT_DOUBLE_EQ(at3[0] + at3[40] + at3[160], frame.total());
	// At aperture 5 the range is 3060 and a bin 12 wide: 160 and 480 in bins 13 and 40, 640
	// and 1920 in bins 53 and 160.
	const std::vector<double> at5 =
		gradientHistogram(gradientMagnitude(frame, { 5, false, 0 }), 3060);
	EXPECT_EQ(peaks(at5, 5), (std::vector<int>{ 13, 40, 53, 160 }));
	EXPECT_EQ(at5[40], 4 * 100);
	EXPECT_EQ(at5[160], 2 * 100);
	// Beyond the range: counted in the last bin.
	EXPECT_EQ(gradientHistogram(gradientMagnitude(frame, {}), 100).back(), 2 * 100);
	// L2 along a straight border equals L1: the other derivative is 0.
	EXPECT_EQ(gradientHistogram(gradientMagnitude(frame, { 3, true, 0 }), 255), at3);
}

// Catches the lines drawn at another place than the thresholds' (a range or scale mixed up), in
// each other's colours, or not moving with them.
TEST(GradientHistogram, TheLinesStandAtTheThresholds)
{
	const std::vector<double> counts = gradientHistogram(gradientMagnitude(steps(), {}), 255);
	const cv::Vec3b yellow(0, 255, 255);
	const cv::Vec3b red(0, 0, 255);
	for (const auto &[t1, t2, maximum] :
	     { std::tuple{ 100, 120, 255 }, std::tuple{ 30, 200, 255 },
	       std::tuple{ 600, 2400, 3060 } }) {
		const cv::Mat picture = histogramImageOf(counts, t1, t2, maximum);
		ASSERT_EQ(picture.size(), cv::Size(histogramWidth, histogramHeight));
		const int x1 = thresholdColumn(t1, maximum);
		const int x2 = thresholdColumn(t2, maximum);
		EXPECT_EQ(x1, t1 * histogramWidth / (maximum + 1));
		EXPECT_EQ(picture.at<cv::Vec3b>(histogramHeight / 2, x1), yellow) << t1;
		EXPECT_EQ(picture.at<cv::Vec3b>(histogramHeight / 2, x2), red) << t2;
		// No other column in the middle row has a line's colour.
		int coloured = 0;
		for (int x = 0; x < histogramWidth; ++x) {
			const cv::Vec3b pixel = picture.at<cv::Vec3b>(histogramHeight / 2, x);
			coloured += pixel == yellow || pixel == red;
		}
		EXPECT_EQ(coloured, 2);
	}
	EXPECT_EQ(thresholdColumn(255, 255), histogramWidth - 2);
	EXPECT_EQ(thresholdColumn(99999, 255), histogramWidth - 2);
}

// Catches sampled bands whose gradients differ from the whole frame's (the rows around a band that
// the blur and the aperture reach left out), bands that overlap or skip, and a sample larger
// than its limit: the sample of a 1280x720 noise picture is the whole picture's gradient counted
// over the same rows.
TEST(GradientHistogram, ASampleOfALargeFrameCountsTheWholeFramesGradients)
{
	cv::Mat frame(720, 1280, CV_8UC3);
	cv::randu(frame, 0, 256);
	for (const EdgeDetector &detector :
	     { EdgeDetector{}, EdgeDetector{ 5, false, 3 }, EdgeDetector{ 7, true, 5 } }) {
		const int maximum = thresholdMaximumFor(detector.aperture);
		const cv::Mat whole = gradientMagnitude(frame, detector);
		std::vector<double> expected(histogramBins, 0.0);
		double counted = 0;
		for (int top = 0; top < frame.rows; top += 8 * 3) { // 921600 pixels: 1 band in 3
			const std::vector<double> band = gradientHistogram(
				whole.rowRange(top, std::min(top + 8, frame.rows)), maximum);
			for (std::size_t bin = 0; bin < band.size(); ++bin)
				expected[bin] += band[bin];
		}
		for (const double count : expected)
			counted += count;
		EXPECT_LE(counted, histogramSamplePixels);
		EXPECT_EQ(sampledGradientHistogram(frame, detector, maximum), expected)
			<< "aperture " << detector.aperture << ", blur " << detector.blur;
	}
}
