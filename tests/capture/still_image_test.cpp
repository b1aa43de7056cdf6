// Still images as sources: which names are sequences, how a still is decoded, and a still that is
// handed to the callback once at start, again on each request and never while nothing asks.
#include "capture/still_image.h"

#include <atomic>
#include <cctype>
#include <chrono>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>

#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>

#include <gtest/gtest.h>

#include "capture/capture_pipeline.h"
#include "capture/capture_source.h"
#include "wait_until.h"

using namespace std::chrono_literals;

namespace {

namespace fs = std::filesystem;

struct SequenceCase {
	const char *path;
	bool sequence;
};

// The path in letters and digits, for the test's name.
std::string caseName(const testing::TestParamInfo<SequenceCase> &info)
{
	std::string name = std::to_string(info.index) + "_";
	for (const char *c = info.param.path; *c; ++c)
		name += std::isalnum(static_cast<unsigned char>(*c)) ? *c : '_';
	return name;
}

class SequenceNames : public testing::TestWithParam<SequenceCase>
{
};

// Catches a name with another printf conversion taken as a sequence, where multifilesrc's printf
// would read arguments that are not there, and a plain name with a per cent sign refused.
TEST_P(SequenceNames, OnlyOneIntegerConversionMakesASequence)
{
	EXPECT_EQ(isImageSequence(GetParam().path), GetParam().sequence) << GetParam().path;
}

INSTANTIATE_TEST_SUITE_P(
	Names, SequenceNames,
	testing::Values(SequenceCase{ "shots/%04d.png", true }, SequenceCase{ "%d.jpg", true },
			SequenceCase{ "100%%/%03d.png", true }, SequenceCase{ "photo.png", false },
			SequenceCase{ "100%.png", false }, SequenceCase{ "%s%04d.png", false },
			SequenceCase{ "%04d-%04d.png", false }, SequenceCase{ "%n.png", false },
			SequenceCase{ "%999999d.png", false }),
	caseName);

// A picture whose top half is red and bottom half blue, 33 pixels wide: RGB's row step is then
// padded to a multiple of 4 bytes.
class Still : public testing::Test
{
protected:
	static void SetUpTestSuite()
	{
		char pattern[] = "/tmp/still_image_XXXXXX";
		ASSERT_TRUE(mkdtemp(pattern));
		dir = pattern;
		cv::Mat picture(20, 33, CV_8UC3, cv::Scalar(255, 0, 0)); // BGR: blue
		picture.rowRange(0, 10).setTo(cv::Scalar(0, 0, 255));	 // red on top
		ASSERT_TRUE(cv::imwrite((dir / "halves.png").string(), picture));
	}
	static void TearDownTestSuite() { fs::remove_all(dir); }

	static fs::path dir;
};

fs::path Still::dir;

// Catches a still handed on upside down or in BGR (the callback takes RGB, bottom row first), and
// rows packed tighter than GStreamer's RGB caps say, which would skew every row after the first.
TEST_F(Still, IsDecodedAsTheCallbackTakesFrames)
{
	std::string error;
	const auto still = decodedStill((dir / "halves.png").string(), error);
	ASSERT_TRUE(still) << error;
	EXPECT_EQ(still->size(), cv::Size(33, 20));
	EXPECT_EQ(still->type(), CV_8UC3);
	EXPECT_EQ(still->step[0] % 4, 0u);
	EXPECT_EQ(still->at<cv::Vec3b>(0, 0), cv::Vec3b(0, 0, 255)); // first row: the bottom, blue
	EXPECT_EQ(still->at<cv::Vec3b>(19, 32), cv::Vec3b(255, 0, 0)); // last row: the top, red
}

std::atomic<int> framesSeen{ 0 }; // written by the streaming thread, read by the test
std::mutex seenLock;		  // guards firstPixel
cv::Vec3b firstPixel;

void noteFrame(const cv::Mat &frame)
{
	{
		std::lock_guard guard(seenLock);
		firstPixel = frame.at<cv::Vec3b>(0, 0);
	}
	++framesSeen;
}

testing::AssertionResult waitForFrames(int count)
{
	return waitUntil([count] { return framesSeen >= count; },
			 std::to_string(count) + " frames in all");
}

// Catches a still that is processed again and again while nothing moves, one that is never shown
// again when asked (a slider's move would not show), and its silence taken for a stalled camera.
TEST_F(Still, IsHandedOnAtStartAndOnEachRequestOnly)
{
	CameraInfo camera;
	std::string error;
	ASSERT_TRUE(checkedSourceCamera("halves.png", (dir / "halves.png").string(), camera, error))
		<< error;
	ASSERT_TRUE(camera.still);
	std::atomic<int> faults{ 0 };
	CaptureOptions options;
	options.stallTimeout = 100ms;
	options.onFault = [&](const std::string &) {
		++faults;
	};
	framesSeen = 0;
	auto capture = CapturePipeline::create(camera, &noteFrame, error, std::move(options));
	ASSERT_TRUE(capture) << error;
	ASSERT_TRUE(capture->start(error)) << error;
	ASSERT_TRUE(waitForFrames(1));
	std::this_thread::sleep_for(500ms);
	EXPECT_EQ(framesSeen, 1) << "frames while nothing asked";
	for (int request = 2; request <= 4; ++request) {
		capture->redeliver();
		ASSERT_TRUE(waitForFrames(request)) << "request " << request - 1;
	}
	std::this_thread::sleep_for(200ms);
	capture->stop();
	EXPECT_EQ(framesSeen, 4);
	EXPECT_EQ(faults, 0);
	std::lock_guard guard(seenLock);
	EXPECT_EQ(firstPixel, cv::Vec3b(0, 0, 255));
}

} // namespace
