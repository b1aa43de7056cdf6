// The timed viewer's frame code: drawn into a frame as the capture layer hands it over, it must
// come back out of the edge picture the viewer paints, and nothing else may read as a code.
#include "frame_code.h"

#include <cstdint>
#include <optional>
#include <tuple>

#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include <gtest/gtest.h>

#include "frame_pipeline.h"

namespace {

// Bars and noise up to the corner, as the test pattern has there.
cv::Mat busyFrame()
{
	cv::Mat frame(480, 640, CV_8UC3);
	cv::randu(frame, 0, 256);
	for (int x = 0; x < frame.cols; x += 40)
		cv::rectangle(frame, { x, 0, 20, frame.rows }, { 255, 255, 255 }, cv::FILLED);
	return frame;
}

// The frame comes bottom row first, so the top row as shown is its last stored row.
void drawUpright(std::uint16_t value, cv::Mat &frame)
{
	drawFrameCode(
		value, [&](int row) { return frame.ptr<std::uint8_t>(frame.rows - 1 - row); },
		static_cast<int>(frame.elemSize()));
}

std::optional<std::uint16_t> readAt(const cv::Mat &edges, cv::Point corner)
{
	return readFrameCode([&](int x, int y) {
		return edges.at<std::uint8_t>(corner.y + y, corner.x + x) > 0;
	});
}

class FrameCodeThroughEdges : public testing::TestWithParam<std::tuple<int, int, int>>
{
};

// Catches a code the edge detector loses at some slider position, one drawn the wrong way up
// (the viewer flips each frame), and bits read in another order than drawn.
TEST_P(FrameCodeThroughEdges, ReadsBackTheValueDrawn)
{
	const auto [value, low, high] = GetParam();
	cv::Mat frame = busyFrame();
	drawUpright(static_cast<std::uint16_t>(value), frame);
	const cv::Mat edges = edgeImageOf(frame, low, high);
	EXPECT_EQ(readAt(edges, { 0, 0 }), static_cast<std::uint16_t>(value));
}

INSTANTIATE_TEST_SUITE_P(ValuesAndThresholds, FrameCodeThroughEdges,
			 testing::Values(std::tuple{ 0, 100, 120 }, std::tuple{ 0xffff, 100, 120 },
					 std::tuple{ 0xa5c3, 100, 120 }, std::tuple{ 12345, 0, 0 },
					 std::tuple{ 0x0f0f, 255, 255 }, std::tuple{ 1, 255, 0 }));

// Catches reading the block from the picture as stored instead of as shown: found only where
// the window shows it, in its top-left corner.
TEST(FrameCode, IsFoundOnlyInTheCornerShown)
{
	cv::Mat frame = busyFrame();
	drawUpright(4242, frame);
	const cv::Mat edges = edgeImageOf(frame, 100, 120);
	EXPECT_EQ(readAt(edges, { 0, 0 }), 4242);
	cv::Mat stored;
	cv::flip(edges, stored, 0);
	EXPECT_EQ(readAt(stored, { 0, 0 }), std::nullopt);
}

// Catches a picture with edges where the block would be, a frame without a code, being read as
// some frame's number.
TEST(FrameCode, PictureWithoutCodeIsRefused)
{
	EXPECT_EQ(readAt(edgeImageOf(busyFrame(), 100, 120), { 0, 0 }), std::nullopt);
	EXPECT_EQ(readAt(cv::Mat::zeros(48, 288, CV_8UC1), { 0, 0 }), std::nullopt);
}

// Catches a damaged block read as a number: a bit whose both cells show a ring is refused.
TEST(FrameCode, BitDrawnBothWaysIsRefused)
{
	cv::Mat frame = busyFrame();
	drawUpright(0, frame);
	cv::Mat edges = edgeImageOf(frame, 100, 120);
	// Bit 0 is the pair of cells after the marker; copy the lit one over the dark one.
	cv::Mat(edges, { 8 + 32, 8, 16, 16 }).copyTo(cv::Mat(edges, { 8 + 16, 8, 16, 16 }));
	EXPECT_EQ(readAt(edges, { 0, 0 }), std::nullopt);
}

} // namespace
