// The view of the edge picture: fitted to the room, full-size detail under the mouse, dragged.
#include "edge_view.h"

#include <opencv2/core.hpp>

#include <gtest/gtest.h>

namespace {

bool sameImage(const cv::Mat &a, const cv::Mat &b)
{
	return a.size() == b.size() && a.type() == b.type() && cv::countNonZero(a != b) == 0;
}

// Every pixel different from its neighbours, so a part shown from the wrong place shows.
cv::Mat numbered(cv::Size size)
{
	cv::Mat picture(size, CV_8UC1);
	cv::randu(picture, 0, 256);
	return picture;
}

class EdgeView : public testing::Test
{
protected:
	void SetUp() override { setEdgePictureRoom({ 400, 300 }); }
	void TearDown() override
	{
		// Back to the whole picture and no room, as every other test expects.
		const cv::Mat picture = numbered({ 800, 600 });
		edgePictureShown(picture);
		if (moveEdgeView({}))
			switchEdgeView({});
		setEdgePictureRoom({});
	}
};

} // namespace

// Catches a picture that fits being shrunk, copied or cut, and the mouse switching it to a part.
TEST_F(EdgeView, APictureThatFitsIsShownAsItIs)
{
	const cv::Mat picture = numbered({ 400, 300 });
	EXPECT_EQ(edgePictureShown(picture).data, picture.data);
	EXPECT_FALSE(switchEdgeView({ 10, 10 }));
	EXPECT_FALSE(moveEdgeView({ 5, 5 }));
	EXPECT_EQ(edgePictureShown(picture).data, picture.data);
	EXPECT_FALSE(setEdgePictureRoom({ 400, 300 })); // unchanged: no still is asked again
	EXPECT_TRUE(setEdgePictureRoom({ 200, 300 }));
	EXPECT_EQ(edgePictureShown(picture).size(), cv::Size(200, 150));
}

// Catches the full-size part taken from elsewhere than under the mouse, of another size than the
// room, copied instead of lent, dragged the wrong way or past the picture's edges, and a second
// double click that does not bring the whole picture back.
TEST_F(EdgeView, ADoubleClickShowsFullSizeDetailUnderTheMouseAndADragMovesIt)
{
	const cv::Mat picture = numbered({ 800, 600 });
	const cv::Mat whole = edgePictureShown(picture);
	ASSERT_EQ(whole.size(), cv::Size(400, 300));

	// Shown pixel (100, 50) is the picture's (200, 100): it stays under the mouse.
	ASSERT_TRUE(switchEdgeView({ 100, 50 }));
	cv::Mat detail = edgePictureShown(picture);
	EXPECT_TRUE(sameImage(detail, picture(cv::Rect(100, 50, 400, 300))));
	EXPECT_EQ(detail.data, picture(cv::Rect(100, 50, 400, 300)).data);

	// Dragged 30 right and 20 down: the picture moves with the mouse, the part the other way.
	ASSERT_TRUE(moveEdgeView({ 30, 20 }));
	EXPECT_TRUE(sameImage(edgePictureShown(picture), picture(cv::Rect(70, 30, 400, 300))));
	// Far past the top left corner: the part stops at the picture's bottom right.
	ASSERT_TRUE(moveEdgeView({ -5000, -5000 }));
	EXPECT_TRUE(sameImage(edgePictureShown(picture), picture(cv::Rect(400, 300, 400, 300))));

	ASSERT_TRUE(switchEdgeView({ 0, 0 }));
	EXPECT_FALSE(moveEdgeView({ 1, 1 }));
	EXPECT_TRUE(sameImage(edgePictureShown(picture), whole));
}

// Catches the part's corner taken from the mouse's place in the shrunk picture rather than in
// the full one, which near the far corner shows a part reaching outside the picture.
TEST_F(EdgeView, DetailNearTheFarCornerStaysInsideThePicture)
{
	setEdgePictureRoom({ 300, 300 }); // 800x600 shown at 300x225, 2.67 times smaller
	const cv::Mat picture = numbered({ 800, 600 });
	ASSERT_EQ(edgePictureShown(picture).size(), cv::Size(300, 225));
	ASSERT_TRUE(switchEdgeView({ 299, 224 }));
	// Picture pixel (797, 597) stays under the mouse.
	EXPECT_TRUE(sameImage(edgePictureShown(picture), picture(cv::Rect(498, 373, 300, 225))));
}
