// The video-format page: formats read from caps, the default among them, and the console page.
#include "capture/video_formats.h"

#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "capture/gst_handles.h"

namespace {

std::vector<VideoFormat> formatsOf(const char *caps)
{
	const GstCapsPtr parsed(gst_caps_from_string(caps));
	EXPECT_TRUE(parsed) << caps;
	return formatsFromCaps(parsed.get());
}

// A camera with a raw format at three sizes and the same sizes in JPEG, some at two rates.
const char *const webcamCaps = "video/x-raw,format=YUY2,width=1280,height=720,framerate=10/1;"
			       "video/x-raw,format=YUY2,width=640,height=480,framerate={30/1,15/1};"
			       "video/x-raw,format=YUY2,width=320,height=240,framerate={30/1,15/1};"
			       "image/jpeg,width=1280,height=720,framerate={30/1,15/1};"
			       "image/jpeg,width=640,height=480,framerate=30/1";

struct PageRun {
	FormatChoice choice;
	std::string said;
};

PageRun runPage(const std::vector<VideoFormat> &formats, const std::string &input,
		bool terminal = true)
{
	std::istringstream in(input);
	std::ostringstream out;
	Console console{ &in, &out, terminal };
	const FormatChoice choice = formatPage("Cam", formats, defaultFormat(formats), console);
	return { choice, out.str() };
}

} // namespace

// Catches caps lists flattened wrongly: every format and size listed once, rates fastest first,
// JPEG marked compressed, and formats the pipeline cannot decode left out.
TEST(FormatsFromCaps, ListsEachFormatAndSizeWithItsRates)
{
	const auto formats = formatsOf("video/x-raw,format={NV12,YUY2},width={640,320},height=240,"
				       "framerate={15/1,30/1};"
				       "video/x-h264,width=640,height=480;"
				       "image/jpeg,width=800,height=600,framerate=30000/1001");
	ASSERT_EQ(formats.size(), 5u);
	EXPECT_EQ(formats[0], (VideoFormat{ "NV12", false, 640, 240, { { 30, 1 }, { 15, 1 } } }));
	EXPECT_EQ(formats[1].pixelFormat, "YUY2");
	EXPECT_EQ(formats[3], (VideoFormat{ "YUY2", false, 320, 240, { { 30, 1 }, { 15, 1 } } }));
	EXPECT_EQ(formats[4], (VideoFormat{ "MJPG", true, 800, 600, { { 30000, 1001 } } }));
}

// Catches ranges (as virtual and test sources give them) yielding nothing or sizes outside them.
TEST(FormatsFromCaps, RangesOfferTheCommonValuesInsideThem)
{
	const auto formats = formatsOf("video/x-raw,format=I420,width=[1,1000],height=[1,600],"
				       "framerate=[20/1,40/1]");
	std::vector<std::string> sizes;
	for (const VideoFormat &format : formats)
		sizes.push_back(std::to_string(format.width) + "x" + std::to_string(format.height));
	EXPECT_EQ(sizes, (std::vector<std::string>{ "160x120", "320x240", "640x360", "640x480",
						    "800x600" }));
	EXPECT_EQ(formats[0].rates,
		  (std::vector<FrameRate>{ { 30, 1 }, { 25, 1 }, { 24, 1 }, { 20, 1 } }));
	// A stepped range: widths 100, 200, ... 1000.
	const auto stepped = formatsOf("video/x-raw,width=[100,1000,100],height=[1,1000]");
	ASSERT_EQ(stepped.size(), 1u);
	EXPECT_EQ(stepped[0].width * 1000 + stepped[0].height, 800600);
	EXPECT_TRUE(stepped[0].pixelFormat.empty());
}

// Catches a default that is not the size nearest 640x480, prefers JPEG over raw, or runs faster
// than 30 frames/s when it need not.
TEST(DefaultFormat, NearestTo640x480RawFirstAtMost30FramesPerSecond)
{
	const auto formats = formatsOf(webcamCaps);
	EXPECT_EQ(defaultFormat(formats), (FormatChoice{ 1, { 30, 1 } }));
	EXPECT_EQ(defaultFormat(formatsOf("video/x-raw,format=RGB,width=640,height=480,"
					  "framerate={60/1,90/1}")),
		  (FormatChoice{ 0, { 60, 1 } }));
}

// Catches caps text that GStreamer cannot parse or that asks for something the camera does not
// offer: the chosen format must be a subset of what the camera offers.
TEST(CapsText, AsksForExactlyTheChoiceWithinWhatIsOffered)
{
	const GstCapsPtr offered(gst_caps_from_string(webcamCaps));
	for (const VideoFormat &format : formatsOf(webcamCaps)) {
		const std::string text = capsText(format, format.rates.back());
		const GstCapsPtr asked(gst_caps_from_string(text.c_str()));
		ASSERT_TRUE(asked) << text;
		EXPECT_TRUE(gst_caps_is_fixed(asked.get())) << text;
		EXPECT_TRUE(gst_caps_is_subset(asked.get(), offered.get())) << text;
	}
}

// Catches the page changing the format without being asked, asking without a terminal, or taking
// an invalid answer.
TEST(FormatPage, EnterKeepsTheMarkedFormat)
{
	const auto formats = formatsOf(webcamCaps);
	const PageRun run = runPage(formats, "\n");
	EXPECT_EQ(run.choice, defaultFormat(formats));
	EXPECT_NE(run.said.find("  *  1  YUY2    640x480   30, 15 frames/s\n"), std::string::npos)
		<< run.said;
	EXPECT_NE(run.said.find("     4  MJPG    640x480   30 frames/s\n"), std::string::npos)
		<< run.said;
	EXPECT_EQ(runPage(formats, "").choice, defaultFormat(formats));
	EXPECT_EQ(runPage(formats, "q\n").choice, defaultFormat(formats));
}

TEST(FormatPage, PicksAFormatAndOptionallyItsRate)
{
	const auto formats = formatsOf(webcamCaps);
	EXPECT_EQ(runPage(formats, "3\n").choice, (FormatChoice{ 3, { 30, 1 } }));
	EXPECT_EQ(runPage(formats, "3 15\n").choice, (FormatChoice{ 3, { 15, 1 } }));
	EXPECT_EQ(runPage(formats, "0\n").choice, (FormatChoice{ 0, { 10, 1 } }));
}

TEST(FormatPage, InvalidAnswersAskAgain)
{
	const auto formats = formatsOf(webcamCaps);
	const PageRun run = runPage(formats, "9\n2 60\nfoo\n2 15 x\n2 15\n");
	EXPECT_EQ(run.choice, (FormatChoice{ 2, { 15, 1 } }));
	EXPECT_NE(run.said.find("\"9\" is not a format; enter a number from 0 to 4"),
		  std::string::npos)
		<< run.said;
	EXPECT_NE(run.said.find("format 2 has no rate of 60 frames/s\n"), std::string::npos)
		<< run.said;
}

TEST(FormatPage, WithoutATerminalShowsAndChangesNothing)
{
	const auto formats = formatsOf(webcamCaps);
	const PageRun run = runPage(formats, "3\n", false);
	EXPECT_EQ(run.choice, defaultFormat(formats));
	EXPECT_EQ(run.said, "");
}
