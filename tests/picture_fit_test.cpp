// The fitting rule and the edge-keeping shrink: sizes in, size out, and no edge lost on the way.
#include "picture_fit.h"

#include <string>
#include <vector>

#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include <gtest/gtest.h>

namespace {

struct Fit {
	std::string name;
	cv::Size picture;
	cv::Size room;
	cv::Size shown;
};

class FittingRule : public testing::TestWithParam<Fit>
{
};

} // namespace

// Catches a picture that fits being scaled at all, a picture one pixel too large in either
// direction left as it is (its sliders then fall off the screen), a changed shape, a fitted size
// one pixel outside the room from rounding, and a sliver shrunk to nothing.
TEST_P(FittingRule, ShowsAPictureAtItsOwnSizeOrTheLargestThatFits)
{
	const Fit fit = GetParam();
	const cv::Size shown = fittedSize(fit.picture, fit.room);
	EXPECT_EQ(shown, fit.shown);
	if (fit.room.width > 0 && fit.room.height > 0) {
		EXPECT_LE(shown.width, fit.room.width);
		EXPECT_LE(shown.height, fit.room.height);
	}
}

INSTANTIATE_TEST_SUITE_P(
	Sizes, FittingRule,
	testing::Values(Fit{ "fits_with_room_to_spare", { 640, 480 }, { 1366, 670 }, { 640, 480 } },
			Fit{ "fits_exactly", { 1366, 670 }, { 1366, 670 }, { 1366, 670 } },
			Fit{ "a_pixel_too_wide", { 1367, 670 }, { 1366, 670 }, { 1366, 669 } },
			Fit{ "a_pixel_too_tall", { 1366, 671 }, { 1366, 670 }, { 1363, 670 } },
			Fit{ "hd_on_a_laptop", { 1280, 720 }, { 1366, 670 }, { 1191, 670 } },
			Fit{ "full_hd_on_full_hd", { 1920, 1080 }, { 1920, 982 }, { 1745, 982 } },
			Fit{ "photo_4000x3000", { 4000, 3000 }, { 1920, 982 }, { 1309, 982 } },
			Fit{ "tall_portrait_photo", { 3000, 4000 }, { 1920, 982 }, { 736, 982 } },
			Fit{ "wide_panorama", { 12000, 1000 }, { 1920, 982 }, { 1920, 160 } },
			Fit{ "sliver_keeps_a_pixel", { 100000, 2 }, { 1920, 982 }, { 1920, 1 } },
			Fit{ "no_room_known", { 4000, 3000 }, { 0, 0 }, { 4000, 3000 } }),
	[](const testing::TestParamInfo<Fit> &param) { return param.param.name; });

namespace {

// One-pixel lines at 4000x3000, as Canny draws them: rows and columns at uneven spacings, so
// that they fall at every phase of the shrink's cells, and a diagonal.
cv::Mat thinLines(cv::Size size)
{
	cv::Mat lines(size, CV_8UC1, cv::Scalar::all(0));
	for (int y = 5; y < size.height; y += 37)
		lines.row(y).setTo(255);
	for (int x = 3; x < size.width; x += 41)
		lines.col(x).setTo(255);
	cv::line(lines, { 0, size.height - 1 }, { size.width - 1, 0 }, 255, 1, cv::LINE_8);
	return lines;
}

// Where source pixel p lands in a picture shrunk from `from` to `to`.
cv::Point landing(cv::Point p, cv::Size from, cv::Size to)
{
	return { static_cast<int>(static_cast<long long>(p.x) * to.width / from.width),
		 static_cast<int>(static_cast<long long>(p.y) * to.height / from.height) };
}

} // namespace

// Catches sampling or averaging in place of the brightest pixel: one-pixel lines shrunk by 3.06
// either vanish (nearest neighbour) or fade to a third (area or bilinear). Every edge pixel must
// land on a pixel at full brightness, and the lines must not smear over the picture.
TEST(ShrinkKeepingEdges, EveryLineStaysAtFullBrightness)
{
	const cv::Size from{ 4000, 3000 };
	const cv::Mat edges = thinLines(from);
	const cv::Size to = fittedSize(from, { 1920, 982 });
	const cv::Mat shrunk = shrinkKeepingEdges(edges, to);
	ASSERT_EQ(shrunk.size(), to);
	ASSERT_EQ(shrunk.type(), CV_8UC1);

	std::vector<cv::Point> edgePixels;
	cv::findNonZero(edges, edgePixels);
	int lost = 0;
	for (const cv::Point &p : edgePixels)
		lost += shrunk.at<unsigned char>(landing(p, from, to)) != 255;
	EXPECT_EQ(lost, 0) << "of " << edgePixels.size() << " edge pixels";

	// A line covers one or two shown pixels across, never more: about a fifth of the picture.
	EXPECT_LT(cv::countNonZero(shrunk), to.area() / 3);
	cv::Mat nearest;
	cv::resize(edges, nearest, to, 0, 0, cv::INTER_NEAREST);
	EXPECT_GT(cv::countNonZero(shrunk), cv::countNonZero(nearest));
}

// Catches a copy, or any change, of a picture that already fits, and sizes out of range reaching
// the shrink: it never enlarges and never goes below one pixel.
TEST(ShrinkKeepingEdges, LeavesAPictureThatFitsUntouchedAndKeepsSizesInRange)
{
	const cv::Mat edges = thinLines({ 320, 240 });
	EXPECT_EQ(shrinkKeepingEdges(edges, { 320, 240 }).data, edges.data);
	EXPECT_EQ(shrinkKeepingEdges(edges, { 640, 480 }).data, edges.data);
	const cv::Mat dot = shrinkKeepingEdges(edges, { 0, -3 });
	ASSERT_EQ(dot.size(), cv::Size(1, 1));
	EXPECT_EQ(dot.at<unsigned char>(0, 0), 255);
	// Shrunk in one direction only: the rows are the source's.
	const cv::Mat narrow = shrinkKeepingEdges(edges, { 100, 240 });
	ASSERT_EQ(narrow.size(), cv::Size(100, 240));
	EXPECT_EQ(cv::countNonZero(narrow.row(5)), 100);
	EXPECT_EQ(narrow.at<unsigned char>(6, 50), 0);
}
