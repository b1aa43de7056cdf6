// The per-frame edge work and its display: channel order, thresholds, flip, sizes, bad frames.
#include "frame_pipeline.h"

#include <algorithm>
#include <atomic>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <opencv2/core.hpp>
#include <opencv2/highgui.hpp>
#include <opencv2/imgproc.hpp>

#include <gtest/gtest.h>

#include "edge_thresholds.h"
#include "edge_view.h"
#include "gradient_histogram.h"
#include "gui_dispatch.h"
#include "picture_fit.h"

namespace {

// A frame with shapes, gradients and text, so Canny has edges of every strength to find.
cv::Mat detailedScene(cv::Size size)
{
	cv::Mat scene(size, CV_8UC3);
	for (int y = 0; y < size.height; ++y)
		for (int x = 0; x < size.width; ++x)
			scene.at<cv::Vec3b>(y, x) =
				cv::Vec3b(x * 255 / size.width, y * 255 / size.height, 128);
	cv::RNG rng(7);
	for (int i = 0; i < 40; ++i) {
		const cv::Point centre(rng.uniform(0, size.width), rng.uniform(0, size.height));
		const int base = rng.uniform(60, 200);
		const int spread = rng.uniform(4, 60); // from faint to strong edges
		const cv::Scalar colour(base + rng.uniform(-spread, spread), base, base - spread);
		cv::circle(scene, centre, rng.uniform(5, size.height / 4 + 6), colour,
			   rng.uniform(-1, 4));
	}
	cv::putText(scene, "edges", { size.width / 8, size.height / 2 }, cv::FONT_HERSHEY_SIMPLEX,
		    size.height / 120.0 + 0.3, { 255, 255, 255 }, 2);
	return scene;
}

bool sameImage(const cv::Mat &a, const cv::Mat &b)
{
	return a.size() == b.size() && a.type() == b.type() &&
	       cv::countNonZero(cv::Mat(a != b).reshape(1)) == 0;
}

// Left half of the frame in colour, right half black: a single vertical step.
cv::Mat halfFilled(cv::Vec3b colour)
{
	cv::Mat frame(64, 64, CV_8UC3, cv::Scalar::all(0));
	frame(cv::Rect(0, 0, 32, 64)).setTo(cv::Scalar(colour[0], colour[1], colour[2]));
	return frame;
}

// Grey on black, where grey v gives a gradient of 4v along a straight border (6v at a corner)
// with Canny's 3x3 Sobel: a strip whose top and bottom borders are a strong edge (240) running on
// into a weak one (80), and apart from it a square with weak edges only (80, 120 at its corners).
// Symmetric about the middle row, so that the flip leaves every part in place.
struct EdgeStrengths {
	cv::Mat frame{ 120, 160, CV_8UC3, cv::Scalar::all(0) };
	const cv::Rect strong{ 6, 46, 46, 28 }; // around the strip's bright half
	const cv::Rect weakRunningOn{ 53, 46, 42,
				      28 };	     // around its dim half, bright border left out
	const cv::Rect weakApart{ 106, 46, 38, 28 }; // around the square

	EdgeStrengths()
	{
		frame(cv::Rect(10, 50, 40, 20)).setTo(cv::Scalar::all(60));
		frame(cv::Rect(50, 50, 40, 20)).setTo(cv::Scalar::all(20));
		frame(cv::Rect(110, 50, 30, 20)).setTo(cv::Scalar::all(20));
	}
	// Which parts have edges, as "strong", "running on" and "apart".
	std::string partsWithEdges(const cv::Mat &edges) const
	{
		std::string parts;
		for (const auto &[name, part] :
		     { std::pair{ "strong", strong }, std::pair{ "running on", weakRunningOn },
		       std::pair{ "apart", weakApart } })
			if (cv::countNonZero(edges(part)) > 0)
				parts += (parts.empty() ? "" : ", ") + std::string(name);
		return parts;
	}
};

struct ThresholdCase {
	const char *name;
	int threshold1;
	int threshold2;
	const char *parts; // the parts with edges
};

void PrintTo(const ThresholdCase &thresholds, std::ostream *out)
{
	*out << thresholds.threshold1 << "," << thresholds.threshold2;
}

class EdgeImageThresholds : public testing::TestWithParam<ThresholdCase>
{
};

} // namespace

// Catches one threshold given to Canny for both (weak edges everywhere, or none joined on),
// thresholds that do not reach it, and another aperture or gradient: the lower one keeps weak
// edges that join strong ones, the higher one makes edges strong, in either order.
TEST_P(EdgeImageThresholds, KeepWeakEdgesOnlyWhereTheyJoinStrongOnes)
{
	const ThresholdCase &thresholds = GetParam();
	const EdgeStrengths picture;
	EXPECT_EQ(picture.partsWithEdges(
			  edgeImageOf(picture.frame, thresholds.threshold1, thresholds.threshold2)),
		  thresholds.parts);
}

INSTANTIATE_TEST_SUITE_P(
	Table, EdgeImageThresholds,
	testing::Values(ThresholdCase{ "Starting", 100, 120, "strong" },
			ThresholdCase{ "LowThenHigh", 50, 200, "strong, running on" },
			ThresholdCase{ "HighThenLow", 200, 50, "strong, running on" },
			ThresholdCase{ "BothLow", 50, 50, "strong, running on, apart" },
			ThresholdCase{ "BothHigh", 200, 200, "strong" },
			ThresholdCase{ "BothZero", 0, 0, "strong, running on, apart" }),
	[](const testing::TestParamInfo<ThresholdCase> &param) { return param.param.name; });

namespace {

struct DetectorCase {
	EdgeDetector detector;
	int threshold1;
	int threshold2;
};

void PrintTo(const DetectorCase &detector, std::ostream *out)
{
	*out << "aperture " << detector.detector.aperture << ", l2 " << detector.detector.l2Gradient
	     << ", blur " << detector.detector.blur << ", " << detector.threshold1 << ","
	     << detector.threshold2;
}

class EdgeImageDetector : public testing::TestWithParam<DetectorCase>
{
};

} // namespace

// Catches an option that does not reach Canny (aperture, gradient), a blur of another size or
// sigma or after Canny, and the thresholds scaled instead of handed over as they are: the picture
// is what the user's own code gets from OpenCV with the same arguments, pixel for pixel, whatever
// the number of threads the viewer gives OpenCV for that detector and the user's code runs.
TEST_P(EdgeImageDetector, EqualsOpenCvsBlurAndCannyWithTheSameArguments)
{
	const DetectorCase &wanted = GetParam();
	const cv::Mat scene = detailedScene({ 320, 240 });
	cv::Mat grey;
	cv::cvtColor(scene, grey, cv::COLOR_RGB2GRAY);
	if (wanted.detector.blur > 0)
		cv::GaussianBlur(grey, grey, { wanted.detector.blur, wanted.detector.blur }, 0);
	cv::Mat expected;
	cv::Canny(grey, expected, wanted.threshold1, wanted.threshold2, wanted.detector.aperture,
		  wanted.detector.l2Gradient);
	cv::flip(expected, expected, 0);
	cv::setNumThreads(imageProcessingThreadsFor(wanted.detector));
	const cv::Mat edges =
		edgeImageOf(scene, wanted.threshold1, wanted.threshold2, wanted.detector);
	cv::setNumThreads(1);
	EXPECT_TRUE(sameImage(edges, expected));
	EXPECT_GT(cv::countNonZero(expected), 100); // a comparison of something
}

INSTANTIATE_TEST_SUITE_P(Table, EdgeImageDetector,
			 testing::Values(DetectorCase{ { 3, false, 0 }, 100, 120 },
					 DetectorCase{ { 3, true, 0 }, 100, 120 },
					 DetectorCase{ { 3, false, 5 }, 30, 60 },
					 DetectorCase{ { 5, false, 0 }, 1200, 1500 },
					 DetectorCase{ { 5, true, 3 }, 600, 1500 },
					 DetectorCase{ { 7, false, 7 }, 8000, 16000 },
					 DetectorCase{ { 7, true, 0 }, 16000, 20000 }));

// Catches a change to the default detector: without options the picture is the one before them.
TEST(EdgeImage, TheDefaultDetectorIsApertureThreeL1WithoutBlur)
{
	const cv::Mat scene = detailedScene({ 160, 120 });
	EXPECT_TRUE(sameImage(edgeImageOf(scene, 100, 120),
			      edgeImageOf(scene, 100, 120, { 3, false, 0 })));
	EXPECT_EQ(currentDetector(), EdgeDetector{});
}

namespace {

// A rectangle and a disc of the given contrast on a mid-grey background with camera-like noise.
struct Shapes {
	cv::Mat frame{ 240, 320, CV_8UC3, cv::Scalar::all(100) };
	cv::Mat borders{ 240, 320, CV_8UC1, cv::Scalar::all(0) }; // the shapes' outlines, upright

	explicit Shapes(int contrast)
	{
		const cv::Rect box(40, 50, 100, 80);
		const cv::Point centre(230, 140);
		const cv::Scalar shape = cv::Scalar::all(100 + contrast);
		cv::rectangle(frame, box, shape, cv::FILLED);
		cv::circle(frame, centre, 50, shape, cv::FILLED);
		cv::Mat noise(frame.size(), CV_16SC3);
		cv::RNG(11).fill(noise, cv::RNG::NORMAL, 0, 3);
		frame.convertTo(frame, CV_16SC3);
		frame += noise;
		frame.convertTo(frame, CV_8UC3);
		cv::rectangle(borders, box, 255, 1);
		cv::circle(borders, centre, 50, 255, 1);
		cv::flip(borders, borders, 0);
	}
	// The share of border pixels with an edge within a pixel of them.
	double bordersFound(const cv::Mat &edges) const
	{
		cv::Mat near;
		cv::dilate(edges, near, cv::Mat::ones(5, 5, CV_8U));
		return static_cast<double>(cv::countNonZero(near & borders)) /
		       cv::countNonZero(borders);
	}
	// The share of pixels away from the borders marked as edges: noise taken for edges.
	double strayEdges(const cv::Mat &edges) const
	{
		cv::Mat away;
		cv::dilate(borders, away, cv::Mat::ones(7, 7, CV_8U));
		return static_cast<double>(cv::countNonZero(edges & ~away)) / edges.total();
	}
};

} // namespace

// Catches a rule that ignores the picture (the same thresholds for both contrasts), one that
// lands in the noise (stray edges) or above the borders (shapes lost), T1 not below T2, and a
// rule that ignores the aperture's scale.
TEST(ProposedThresholds, FollowTheContrastAndFindTheShapesAboveTheNoise)
{
	for (const EdgeDetector &detector :
	     { EdgeDetector{}, EdgeDetector{ 5, false, 0 }, EdgeDetector{ 7, true, 5 } }) {
		const Shapes faint(25);
		const Shapes strong(100);
		const ThresholdPair low = proposedThresholds(faint.frame, detector);
		const ThresholdPair high = proposedThresholds(strong.frame, detector);
		SCOPED_TRACE(testing::Message()
			     << "aperture " << detector.aperture << ": faint " << low.threshold1
			     << "," << low.threshold2 << ", strong " << high.threshold1 << ","
			     << high.threshold2);
		EXPECT_GT(high.threshold2, low.threshold2 * 2);
		for (const auto &[shapes, proposed] :
		     { std::pair{ &faint, low }, std::pair{ &strong, high } }) {
			EXPECT_LT(proposed.threshold1, proposed.threshold2);
			EXPECT_LE(proposed.threshold2, thresholdMaximumFor(detector.aperture));
			const cv::Mat edges = edgeImageOf(shapes->frame, proposed.threshold1,
							  proposed.threshold2, detector);
			EXPECT_GT(shapes->bordersFound(edges), 0.95);
			EXPECT_LT(shapes->strayEdges(edges), 0.002);
		}
	}
	const cv::Mat flat(48, 64, CV_8UC3, cv::Scalar::all(90));
	const ThresholdPair none = proposedThresholds(flat, {});
	EXPECT_EQ(none.threshold1, defaultThreshold1);
	EXPECT_EQ(none.threshold2, defaultThreshold2);
}

// Catches edges drawn in the wrong colour or not everywhere, the picture not dimmed or in RGB
// order, and a picture upside down against its edges: a red square in the top left corner on a
// blue background; upright, as the edges, it lies in the bottom left.
TEST(Overlay, EdgesInTheBrightColourOverTheDimmedPictureUpright)
{
	cv::Mat frame(120, 160, CV_8UC3, cv::Scalar(0, 0, 200));      // RGB: blue
	frame(cv::Rect(10, 10, 40, 40)).setTo(cv::Scalar(250, 0, 0)); // red
	const cv::Mat edges = edgeImageOf(frame, 100, 120);
	const cv::Mat overlay = overlayImageOf(frame, edges);
	ASSERT_EQ(overlay.type(), CV_8UC3);
	ASSERT_EQ(overlay.size(), frame.size());
	const cv::Vec3b bright(overlayColour[0], overlayColour[1], overlayColour[2]);
	int edgePixels = 0;
	for (int y = 0; y < overlay.rows; ++y)
		for (int x = 0; x < overlay.cols; ++x)
			if (edges.at<unsigned char>(y, x) != 0) {
				++edgePixels;
				ASSERT_EQ(overlay.at<cv::Vec3b>(y, x), bright) << x << "," << y;
			}
	EXPECT_GT(edgePixels, 100);
	// BGR, dimmed: red in the bottom left, blue elsewhere.
	EXPECT_EQ(overlay.at<cv::Vec3b>(119 - 30, 30), cv::Vec3b(0, 0, 100));
	EXPECT_EQ(overlay.at<cv::Vec3b>(30, 30), cv::Vec3b(80, 0, 0));
	EXPECT_EQ(overlay.at<cv::Vec3b>(30, 130), cv::Vec3b(80, 0, 0));
	// An alpha channel changes nothing.
	cv::Mat withAlpha;
	cv::cvtColor(frame, withAlpha, cv::COLOR_RGB2RGBA);
	EXPECT_TRUE(sameImage(overlayImageOf(withAlpha, edges), overlay));
}

// Catches the picture under a shrunk or partial edge picture taken from the wrong place or upside
// down: with the frame resized under the shrunk edges, and the same part under a part.
TEST(Overlay, APictureShownShrunkOrInPartHasTheSamePictureUnderIt)
{
	cv::Mat frame(120, 160, CV_8UC3, cv::Scalar(0, 0, 200));
	frame(cv::Rect(10, 10, 40, 40)).setTo(cv::Scalar(250, 0, 0)); // upright rows 70 to 109
	const cv::Mat edges = edgeImageOf(frame, 100, 120);
	const cv::Vec3b bright(overlayColour[0], overlayColour[1], overlayColour[2]);
	const cv::Vec3b red(0, 0, 100);
	const cv::Vec3b blue(80, 0, 0);

	const cv::Mat shrunk = shrinkKeepingEdges(edges, { 80, 60 });
	const cv::Mat small = overlayImageOf(frame, shrunk);
	ASSERT_EQ(small.size(), cv::Size(80, 60));
	EXPECT_EQ(small.at<cv::Vec3b>(44, 15), red);
	EXPECT_EQ(small.at<cv::Vec3b>(15, 65), blue);
	cv::Mat brightPixels;
	cv::inRange(small, bright, bright, brightPixels);
	EXPECT_EQ(cv::countNonZero(brightPixels), cv::countNonZero(shrunk));

	const cv::Mat part = edges(cv::Rect(0, 60, 60, 60)); // upright rows 60 to 119
	const cv::Mat partOverlay = overlayImageOf(frame, part);
	ASSERT_EQ(partOverlay.size(), cv::Size(60, 60));
	EXPECT_EQ(partOverlay.at<cv::Vec3b>(29, 30), red);
	EXPECT_EQ(partOverlay.at<cv::Vec3b>(5, 30), blue);
	for (int y = 0; y < part.rows; ++y) {
		for (int x = 0; x < part.cols; ++x) {
			if (part.at<unsigned char>(y, x) != 0) {
				ASSERT_EQ(partOverlay.at<cv::Vec3b>(y, x), bright) << x << "," << y;
			}
		}
	}
}

// Catches the callback's picture made with one slider's threshold for both, or with neither.
TEST(EdgeImage, TheCallbacksPictureFollowsBothSliders)
{
	const EdgeStrengths picture;
	for (const auto &[t1, t2] : { std::pair{ 50, 200 }, std::pair{ 200, 50 } }) {
		threshold1 = t1;
		threshold2 = t2;
		EXPECT_EQ(picture.partsWithEdges(edgeImageAtSliders(picture.frame)),
			  "strong, running on")
			<< "T1 " << t1 << ", T2 " << t2;
	}
	threshold1 = 100;
	threshold2 = 120;
}

// Catches a BGR reading of an RGB frame: red weighs 0.299 in grey, blue 0.114, so a red step is
// strong enough for 150/200 and a blue one is not.
TEST(EdgeImage, ReadsChannelsAsRedGreenBlue)
{
	EXPECT_GT(cv::countNonZero(edgeImageOf(halfFilled({ 255, 0, 0 }), 150, 200)), 0);
	EXPECT_EQ(cv::countNonZero(edgeImageOf(halfFilled({ 0, 0, 255 }), 150, 200)), 0);
}

// Catches a missing or sideways flip: an edge near the first stored row must come out near the
// last row, and stay at the same column.
TEST(EdgeImage, FlipMakesTheFirstStoredRowTheLast)
{
	cv::Mat frame(100, 80, CV_8UC3, cv::Scalar::all(0));
	frame(cv::Rect(0, 0, 20, 10)).setTo(cv::Scalar::all(255));
	const cv::Mat edges = edgeImageOf(frame, 100, 120);
	EXPECT_EQ(cv::countNonZero(edges(cv::Rect(0, 0, 80, 80))), 0);
	EXPECT_GT(cv::countNonZero(edges(cv::Rect(0, 85, 25, 15))), 0);
	EXPECT_EQ(cv::countNonZero(edges(cv::Rect(30, 80, 50, 20))), 0);
}

// Catches a fourth (alpha) channel disturbing the grey conversion.
TEST(EdgeImage, IgnoresAnAlphaChannel)
{
	const cv::Mat scene = detailedScene({ 160, 120 });
	cv::Mat withAlpha;
	cv::cvtColor(scene, withAlpha, cv::COLOR_RGB2RGBA);
	EXPECT_TRUE(sameImage(edgeImageOf(withAlpha, 100, 120), edgeImageOf(scene, 100, 120)));
}

namespace {

cv::Rect imageRect(const char *window)
{
	return cv::getWindowImageRect(window);
}

// Calls edgeFrameCallback the way the capture layer does, from another thread, and runs the
// display work it hands over.
void deliverFromStreamingThread(const cv::Mat &frame)
{
	std::thread([&] { edgeFrameCallback(frame); }).join();
	guiDispatcher().runPending();
	cv::waitKey(1);
}

class FrameDisplay : public testing::Test
{
protected:
	void SetUp() override { guiDispatcher().open(); }
	void TearDown() override
	{
		guiDispatcher().runPending();
		cv::destroyAllWindows();
		cv::waitKey(1);
	}
};

} // namespace

// Catches the window keeping the first frame's size, and frames shown off the main thread.
TEST_F(FrameDisplay, EachFrameIsShownInEdgeAtItsOwnSize)
{
	cv::namedWindow(edgeWindow, cv::WINDOW_AUTOSIZE); // as the viewer makes it
	deliverFromStreamingThread(detailedScene({ 320, 240 }));
	EXPECT_EQ(imageRect(edgeWindow).size(), cv::Size(320, 240));
	deliverFromStreamingThread(detailedScene({ 200, 150 }));
	EXPECT_EQ(imageRect(edgeWindow).size(), cv::Size(200, 150));
}

// Catches frames the pipeline cannot read being shown, or throwing into the capture layer.
TEST_F(FrameDisplay, UnreadableFramesAreDropped)
{
	const cv::Mat unreadable[] = {
		cv::Mat(),
		cv::Mat(20, 20, CV_8UC1, cv::Scalar::all(9)),
		cv::Mat(20, 20, CV_16UC3, cv::Scalar::all(9)),
		cv::Mat(20, 20, CV_8UC2, cv::Scalar::all(9)),
	};
	for (const cv::Mat &frame : unreadable) {
		std::thread([&] { edgeFrameCallback(frame); }).join();
		EXPECT_EQ(guiDispatcher().pendingCount(), 0u);
	}
}

// Catches a resize issued for width 0, or a window made without automatic sizing.
TEST_F(FrameDisplay, WidthZeroShowsInAnAutoSizedWindowWithoutResizing)
{
	const cv::Mat image(90, 120, CV_8UC1, cv::Scalar::all(255));
	showImageSized("auto", image, 0, 500);
	cv::waitKey(1);
	EXPECT_EQ(cv::getWindowProperty("auto", cv::WND_PROP_AUTOSIZE), cv::WINDOW_AUTOSIZE);
	EXPECT_EQ(imageRect("auto").size(), cv::Size(120, 90));
}

// Catches a missing window not being made, or made with automatic sizing that ignores the size.
TEST_F(FrameDisplay, AWidthForANameWithoutAWindowMakesAResizableOne)
{
	const cv::Mat image(90, 120, CV_8UC1, cv::Scalar::all(255));
	showImageSized("small", image, 300, 200);
	showImageSized("large", image, 600, 400);
	cv::waitKey(1);
	EXPECT_EQ(cv::getWindowProperty("small", cv::WND_PROP_AUTOSIZE), cv::WINDOW_NORMAL);
	// The toolkit may count its tool and status bars in the size; the picture follows it all
	// the same.
	const cv::Size small = imageRect("small").size();
	const cv::Size large = imageRect("large").size();
	EXPECT_NE(small, image.size());
	EXPECT_GT(large.width, small.width);
	EXPECT_GT(large.height, small.height);
}

namespace {

// A frame as the capture layer could lend it: its own row step, padding bytes poisoned.
struct FrameShape {
	std::string name;
	cv::Size size;
	int channels;
	int rowPadding; // bytes after each row
};

void PrintTo(const FrameShape &shape, std::ostream *out)
{
	*out << shape.name;
}

class FrameShapes : public testing::TestWithParam<FrameShape>
{
};

// Makes every OpenCV allocation fail while armed, as a system out of memory would.
class FailingAllocator : public cv::MatAllocator
{
public:
	std::atomic<bool> armed{ false }; // set by the test's thread, read by the worker it joins

	cv::UMatData *allocate(int dims, const int *sizes, int type, void *data, size_t *step,
			       cv::AccessFlag flags, cv::UMatUsageFlags usage) const override
	{
		if (armed)
			CV_Error(cv::Error::StsNoMem, "allocation refused by the test");
		return standard_->allocate(dims, sizes, type, data, step, flags, usage);
	}
	bool allocate(cv::UMatData *data, cv::AccessFlag flags,
		      cv::UMatUsageFlags usage) const override
	{
		return standard_->allocate(data, flags, usage);
	}
	void deallocate(cv::UMatData *data) const override { standard_->deallocate(data); }

private:
	cv::MatAllocator *standard_ = cv::Mat::getStdAllocator();
};

} // namespace

// Catches out-of-bounds reads or writes, and crashes, on every frame shape the capture layer can
// lend: degenerate sizes, odd widths with padded rows, an alpha channel, an 8K frame; padding read
// as pixels, and working images kept at the size of the frame before.
TEST_P(FrameShapes, AreProcessedWithinTheirBoundsAtTheirOwnSize)
{
	const FrameShape shape = GetParam();
	const int rowBytes = shape.size.width * shape.channels + shape.rowPadding;
	std::vector<unsigned char> buffer(static_cast<std::size_t>(rowBytes) * shape.size.height,
					  0xEE);
	const cv::Mat frame(shape.size, CV_8UC(shape.channels), buffer.data(), rowBytes);
	// Noise in 64x64 tiles: edges everywhere, without filling 100 MB from a random generator.
	cv::Mat tile(std::min(64, shape.size.height), std::min(64, shape.size.width), frame.type());
	cv::RNG(9).fill(tile, cv::RNG::UNIFORM, 0, 256);
	cv::repeat(tile, (shape.size.height + 63) / 64,
		   (shape.size.width + 63) / 64)(cv::Rect({}, shape.size))
		.copyTo(frame);

	const cv::Mat edges = edgeImageOf(frame, 30, 90);
	EXPECT_EQ(edges.size(), shape.size);
	EXPECT_EQ(edges.type(), CV_8UC1);
	EXPECT_EQ(cv::countNonZero(edges != edgeImageOf(frame.clone(), 30, 90)), 0);

	// The whole callback, on a streaming thread, with its display work dropped.
	guiDispatcher().close();
	std::thread([&] { edgeFrameCallback(frame); }).join();
	guiDispatcher().open();
}

INSTANTIATE_TEST_SUITE_P(CaptureLayerFrames, FrameShapes,
			 testing::Values(FrameShape{ "pixel_1x1", { 1, 1 }, 3, 1 },
					 FrameShape{ "column_1x480", { 1, 480 }, 3, 1 },
					 FrameShape{ "row_640x1", { 640, 1 }, 3, 0 },
					 FrameShape{ "odd_33x47_padded", { 33, 47 }, 3, 1 },
					 FrameShape{ "rgba_161x37_padded", { 161, 37 }, 4, 12 },
					 FrameShape{ "uhd_7680x4320", { 7680, 4320 }, 3, 0 }),
			 [](const testing::TestParamInfo<FrameShape> &param) {
				 return param.param.name;
			 });

// Catches an OpenCV failure inside the callback escaping onto the streaming thread (which ends
// the process) or stopping later frames from being shown.
TEST_F(FrameDisplay, AnOpenCvFailureDropsThatFrameAndTheNextIsShown)
{
	const cv::Mat frame = detailedScene({ 64, 48 });
	// Images made through it free themselves through it, later: it must outlive them all.
	static FailingAllocator failing;
	struct Installed {
		cv::MatAllocator *previous = cv::Mat::getDefaultAllocator();
		Installed() { cv::Mat::setDefaultAllocator(&failing); }
		~Installed() { cv::Mat::setDefaultAllocator(previous); }
	} installed;
	failing.armed = true;
	std::thread([&] { edgeFrameCallback(frame); }).join();
	failing.armed = false;
	EXPECT_EQ(guiDispatcher().pendingCount(), 0u);

	std::thread([&] { edgeFrameCallback(frame); }).join();
	EXPECT_EQ(guiDispatcher().pendingCount(), 1u);
}

// Catches the overlay flag breaking the callback's picture or its size.
TEST_F(FrameDisplay, TheCallbackShowsTheOverlayWhileItIsOn)
{
	cv::namedWindow(edgeWindow, cv::WINDOW_AUTOSIZE);
	overlayShown = true;
	deliverFromStreamingThread(detailedScene({ 200, 150 }));
	overlayShown = false;
	EXPECT_EQ(imageRect(edgeWindow).size(), cv::Size(200, 150));
}

// Catches the histogram option ignored by the callback, or its window at another size.
TEST_F(FrameDisplay, TheCallbackShowsTheHistogramWhileItIsOn)
{
	histogramShown = true;
	edgeFrameCallback(detailedScene({ 160, 120 }));
	histogramShown = false;
	EXPECT_EQ(imageRect(histogramWindow).size(), cv::Size(histogramWidth, histogramHeight));
}
