// The command line's camera and format found among what is there: names, indices and device links
// to a camera, format requests to an offered format and rate.
#include "capture/capture_preset.h"

#include <cstdio>
#include <filesystem>
#include <sstream>
#include <string>

#include <unistd.h>

#include <opencv2/core.hpp>

#include <gtest/gtest.h>

#include "capture/cvcam.h"
#include "capture/gst_handles.h"
#include "wait_until.h"

namespace {

namespace fs = std::filesystem;

CameraInfo camera(const std::string &name, const std::string &path = {})
{
	return CameraInfo{ .name = name,
			   .devicePath = path,
			   .device = nullptr,
			   .sourceDescription = "videotestsrc" };
}

// Device nodes and a by-id link, made of plain files in a scratch directory.
class CameraMatch : public testing::Test
{
protected:
	void SetUp() override
	{
		char pattern[] = "/tmp/camera_match_XXXXXX";
		ASSERT_TRUE(mkdtemp(pattern));
		dir_ = pattern;
		fs::create_directories(dir_ / "by-id");
		for (const char *node : { "video0", "video2", "video4" })
			std::fclose(std::fopen((dir_ / node).c_str(), "w"));
		fs::create_symlink("../video2", dir_ / "by-id" / "usb-Acme_Cam-video-index0");
		cameras_ = { camera("USB Camera A", (dir_ / "video0").string()),
			     camera("USB Camera B", (dir_ / "video2").string()),
			     camera("Integrated Webcam", (dir_ / "video4").string()) };
	}
	void TearDown() override { fs::remove_all(dir_); }

	int match(const std::string &which)
	{
		error_.clear();
		return matchCamera(cameras_, which, error_);
	}

	fs::path dir_;
	std::vector<CameraInfo> cameras_;
	std::string error_;
};

// A webcam's formats: raw and JPEG at one size with different rates, a raw format that takes any
// pixel format and names no rate, and a NTSC-style rate.
const char *const webcamCaps = "video/x-raw,format=YUY2,width=640,height=480,framerate={30/1,15/1};"
			       "image/jpeg,width=640,height=480,framerate={60/1,30/1};"
			       "video/x-raw,format=YUY2,width=1280,height=720,framerate=10/1;"
			       "image/jpeg,width=1280,height=720,framerate=30000/1001;"
			       "video/x-raw,width=320,height=240";

struct FormatCase {
	CvcamFormatRequest request;
	const char *expected; // the match as the command line writes it, or the error's end
};

void PrintTo(const FormatCase &format, std::ostream *out)
{
	*out << format.request.text;
}

class FormatMatch : public testing::TestWithParam<FormatCase>
{
};

CvcamFormatRequest request(int width, int height, double rate = 0, const char *fourcc = "")
{
	std::ostringstream text;
	text << width << "x" << height;
	if (rate > 0)
		text << "@" << rate;
	if (*fourcc)
		text << ":" << fourcc;
	return { width, height, rate, fourcc, text.str() };
}

} // namespace

// Catches an index, a device node or a by-id link that names the wrong camera or none.
TEST_F(CameraMatch, IndicesAndDevicePathsNameTheirCamera)
{
	EXPECT_EQ(match("1"), 1);
	EXPECT_EQ(match("0"), 0);
	EXPECT_EQ(match((dir_ / "video4").string()), 2);
	EXPECT_EQ(match((dir_ / "by-id" / "usb-Acme_Cam-video-index0").string()), 1);
	EXPECT_EQ(match((dir_ / "by-id" / ".." / "video0").string()), 0);
}

// Catches a device path matched by its start or its end, as /dev/video1 would match /dev/video10:
// whether the node is there to resolve, or only named by a camera behind a sound server.
TEST_F(CameraMatch, ADevicePathMatchesOnlyAsAWhole)
{
	for (const char *node : { "video1", "video10" })
		std::fclose(std::fopen((dir_ / node).c_str(), "w"));
	const std::string unseen = "/edge-viewer-no-such-dir/video12";
	cameras_ = { camera("USB Camera", (dir_ / "video10").string()),
		     camera("USB Camera", (dir_ / "video1").string()),
		     camera("PipeWire Camera", unseen) };
	EXPECT_EQ(match((dir_ / "video1").string()), 1);
	EXPECT_EQ(match((dir_ / "video10").string()), 0);
	EXPECT_EQ(match(unseen), 2);
	for (const std::string &part : { unseen.substr(0, unseen.size() - 1), unseen + "3",
					 std::string("/video12"), "/tmp" + unseen })
		EXPECT_EQ(match(part), -1) << part;
}

// Catches names compared case-sensitively, a part of several names taken as the first, and an
// exact name refused because it is also part of another's.
TEST_F(CameraMatch, NamesMatchWhenTheyNameOneCamera)
{
	EXPECT_EQ(match("webcam"), 2);
	EXPECT_EQ(match("usb camera a"), 0);
	EXPECT_EQ(match("USB Camera"), -1);
	EXPECT_EQ(error_, "failed to choose camera \"USB Camera\": it names more than one (0 \"USB "
			  "Camera A\" (" +
				  (dir_ / "video0").string() + "), 1 \"USB Camera B\" (" +
				  (dir_ / "video2").string() +
				  ")); give an index or a device path");
	cameras_ = { camera("Cam Pro"), camera("Cam") };
	EXPECT_EQ(match("cam"), 1);
}

// Catches an index past the end read out of bounds, and a refusal that does not say which cameras
// there are.
TEST_F(CameraMatch, WhatMatchesNothingIsRefusedNamingTheCameras)
{
	cameras_.resize(2);
	const std::string list = "the cameras are 0 \"USB Camera A\" (" +
				 (dir_ / "video0").string() + "), 1 \"USB Camera B\" (" +
				 (dir_ / "video2").string() + ")";
	EXPECT_EQ(match("2"), -1);
	EXPECT_EQ(error_, "failed to find camera \"2\": " + list);
	EXPECT_EQ(match("99999999999999999999"), -1);
	EXPECT_EQ(match("Front"), -1);
	EXPECT_EQ(error_, "failed to find camera \"Front\": " + list);
	EXPECT_EQ(match((dir_ / "video4").string()), -1);
	EXPECT_EQ(error_, "failed to find camera \"" + (dir_ / "video4").string() +
				  "\": no camera has that device node; " + list);
	EXPECT_EQ(match((dir_ / "video9").string()), -1);
	EXPECT_EQ(error_, "failed to find camera \"" + (dir_ / "video9").string() +
				  "\": no such file or directory; " + list);
}

// Catches missing parts not taking the fastest rate, raw losing a tie to JPEG, a FOURCC compared
// by case or by V4L2's name, a rate that is not whole refused, and a format without a rate list
// refusing the rate asked for.
TEST_P(FormatMatch, TakesTheBestOfferedMatch)
{
	const GstCapsPtr caps(gst_caps_from_string(webcamCaps));
	const std::vector<VideoFormat> formats = formatsFromCaps(caps.get());
	std::string error;
	const std::optional<FormatChoice> choice = matchFormat(formats, GetParam().request, error);
	const std::string got =
		choice ? formatName(formats[choice->format], choice->rate) : "refused: " + error;
	EXPECT_EQ(got, GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
	Table, FormatMatch,
	testing::Values(FormatCase{ request(640, 480), "640x480@60:MJPG" },
			FormatCase{ request(640, 480, 30), "640x480@30:YUY2" },
			FormatCase{ request(640, 480, 15), "640x480@15:YUY2" },
			FormatCase{ request(640, 480, 0, "mjpeg"), "640x480@60:MJPG" },
			FormatCase{ request(1280, 720, 0, "yuyv"), "1280x720@10:YUY2" },
			FormatCase{ request(1280, 720, 29.97), "1280x720@29.97:MJPG" },
			FormatCase{ request(320, 240, 25), "320x240@25" },
			FormatCase{ request(320, 240, 0, "NV12"), "320x240" },
			FormatCase{ request(800, 600),
				    "refused: it does not offer that; the nearest offered "
				    "are 640x480@60:MJPG, 640x480@30:YUY2, "
				    "640x480@30:MJPG" },
			FormatCase{ request(640, 480, 50, "YUY2"),
				    "refused: it does not offer that; the nearest offered are "
				    "640x480@30:YUY2, 640x480@15:YUY2, 640x480@60:MJPG" },
			FormatCase{
				request(320, 240, 0, "MJPG"),
				"refused: it does not offer that; the nearest offered are 320x240, "
				"640x480@60:MJPG, 640x480@30:MJPG" }));

// Catches a camera that lists no formats being given one it cannot be asked for.
TEST(FormatMatchWithoutFormats, IsRefused)
{
	std::string error;
	EXPECT_FALSE(matchFormat({}, request(640, 480), error));
	EXPECT_EQ(error, "it lists no formats to choose from");
}

// Catches the preset being ignored by the capture layer: the test pattern captured at the format
// named, the format page not asking though a terminal is there, and the camera dialog not asking
// for --camera.
TEST(Preset, ReachesCaptureWithoutAnyQuestion)
{
	std::istringstream in("1\n1\n");
	std::ostringstream out;
	Console console{ &in, &out, true };
	overrideConsole(&console);
	overrideCameras({ camera("Front", "/dev/null"), testPatternCamera() });
	CvcamPreset preset;
	preset.camera = "pattern";
	preset.format = request(320, 240, 15);
	ASSERT_EQ(cvcamPreset(preset), 0);

	static std::atomic<int> width{ 0 }; // written by the streaming thread
	std::vector<int> chosen;
	ASSERT_EQ(cvcamSelectCamera(chosen), 1);
	EXPECT_EQ(chosen, std::vector<int>{ 1 });
	cvcamSetProperty(1, "enable", reinterpret_cast<void *>(std::intptr_t{ 1 }));
	EXPECT_EQ(cvcamGetProperty(1, "video_pp", nullptr), 0);
	cvcamSetProperty(1, "callback", reinterpret_cast<void *>(+[](const cv::Mat &frame) {
				 width = frame.cols;
			 }));
	ASSERT_EQ(cvcamInit(), 0);
	ASSERT_EQ(cvcamStart(), 0);
	EXPECT_TRUE(waitUntil([] { return width != 0; }, "a frame of the preset's camera"));
	cvcamStop();
	cvcamExit();
	EXPECT_EQ(width, 320);
	EXPECT_EQ(out.str(), "");
	EXPECT_EQ(in.tellg(), 0);

	EXPECT_EQ(cvcamPreset({}), 0);
	overrideCameras({});
	overrideConsole(nullptr);
}

// Catches a format named without a camera skipping the camera dialog, being matched against
// another camera than the one chosen there, or the format page asking again.
TEST(Preset, AFormatAloneIsMatchedAgainstTheCameraTheDialogChooses)
{
	std::istringstream in("1\n");
	std::ostringstream out;
	Console console{ &in, &out, true };
	overrideConsole(&console);
	CameraInfo small = camera("Small");
	small.offeredCaps = "video/x-raw,format=YUY2,width=320,height=240,framerate=30/1";
	overrideCameras({ small, testPatternCamera() });
	CvcamPreset preset;
	preset.format = request(1280, 720);
	ASSERT_EQ(cvcamPreset(preset), 0);
	EXPECT_NE(out.str().find("Which camera?"), std::string::npos);
	std::vector<int> chosen;
	cvcamSelectCamera(chosen);
	EXPECT_EQ(chosen, std::vector<int>{ 1 });
	const auto asked = out.str().size();
	EXPECT_EQ(cvcamGetProperty(1, "video_pp", nullptr), 0);
	EXPECT_EQ(out.str().size(), asked);
	cvcamExit();
	EXPECT_EQ(cvcamPreset({}), 0);
	overrideCameras({});
	overrideConsole(nullptr);
}

// Catches a camera or format that is not there, or a name that is not one camera's, starting a run
// anyway, or ending it with the status of a run that could not start rather than of a usage
// error; and a source that cannot be opened ending it as a usage error.
TEST(Preset, WhatIsNotThereEndsWithStatusTwoAndOneLine)
{
	overrideCameras({ camera("Front Left"), camera("Front Right") });
	CvcamPreset ambiguous;
	ambiguous.camera = "front";
	testing::internal::CaptureStderr();
	EXPECT_EQ(cvcamPreset(ambiguous), 2);
	EXPECT_EQ(testing::internal::GetCapturedStderr().rfind(
			  "edge-viewer: failed to choose camera \"front\": it names more than one",
			  0),
		  0u);

	CvcamPreset source;
	source.source = "/edge-viewer-no-such-dir/clip.avi";
	testing::internal::CaptureStderr();
	EXPECT_EQ(cvcamPreset(source), 1);
	EXPECT_EQ(testing::internal::GetCapturedStderr(),
		  "edge-viewer: failed to open \"/edge-viewer-no-such-dir/clip.avi\": no such file "
		  "or directory\n");

	overrideCameras({ camera("Front", "/dev/null") });
	CvcamPreset preset;
	preset.camera = "Rear";
	testing::internal::CaptureStderr();
	EXPECT_EQ(cvcamPreset(preset), 2);
	EXPECT_EQ(testing::internal::GetCapturedStderr(),
		  "edge-viewer: failed to find camera \"Rear\": the only camera is 0 \"Front\" "
		  "(/dev/null)\n");
	preset = {};
	preset.testPattern = true;
	preset.format = request(640, 480, 60);
	testing::internal::CaptureStderr();
	EXPECT_EQ(cvcamPreset(preset), 2);
	EXPECT_EQ(
		testing::internal::GetCapturedStderr(),
		"edge-viewer: failed to use format 640x480@60 of camera \"Test pattern\": it does "
		"not offer that; the nearest offered are 640x480@30:YUY2, 640x480@15:YUY2, "
		"320x240@30:YUY2\n");
	overrideCameras({});
}
