// The option parser as a table: argument lists to the settings of a run, to what to print, or to
// the usage error's lines.
#include "command_line.h"

#include <regex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace {

using Arguments = std::vector<std::string>;

CommandLine parsed(Arguments arguments)
{
	arguments.insert(arguments.begin(), "/usr/bin/edge-viewer");
	return parseCommandLine(arguments);
}

ViewerSettings withCamera(const std::string &camera)
{
	ViewerSettings settings;
	settings.capture.camera = camera;
	return settings;
}

ViewerSettings withFormat(CvcamFormatRequest request, bool testPattern = false)
{
	ViewerSettings settings;
	settings.capture.format = std::move(request);
	settings.capture.testPattern = testPattern;
	return settings;
}

ViewerSettings withSource(const std::string &source)
{
	ViewerSettings settings;
	settings.capture.source = source;
	return settings;
}

ViewerSettings withThresholds(int low, int high)
{
	ViewerSettings settings;
	settings.threshold1 = low;
	settings.threshold2 = high;
	return settings;
}

ViewerSettings withDetector(EdgeDetector detector, int low = defaultThreshold1,
			    int high = defaultThreshold2)
{
	ViewerSettings settings = withThresholds(low, high);
	settings.detector = detector;
	return settings;
}

ViewerSettings printingThresholds()
{
	ViewerSettings settings;
	settings.printThresholds = true;
	return settings;
}

ViewerSettings proposing()
{
	ViewerSettings settings;
	settings.autoThresholds = true;
	return settings;
}

ViewerSettings overlaid()
{
	ViewerSettings settings;
	settings.overlay = true;
	return settings;
}

ViewerSettings withHistogram()
{
	ViewerSettings settings;
	settings.histogram = true;
	return settings;
}

struct RunCase {
	Arguments arguments;
	ViewerSettings settings;
};

void PrintTo(const RunCase &run, std::ostream *out)
{
	for (const std::string &argument : run.arguments)
		*out << argument << " ";
}

class ValidArguments : public testing::TestWithParam<RunCase>
{
};

struct ErrorCase {
	Arguments arguments;
	std::string what; // the first line, after "edge-viewer: "
};

void PrintTo(const ErrorCase &error, std::ostream *out)
{
	for (const std::string &argument : error.arguments)
		*out << argument << " ";
}

class InvalidArguments : public testing::TestWithParam<ErrorCase>
{
};

} // namespace

// Catches an option ignored, a value cut or misread (the rate of a format, a FOURCC's case, a
// threshold pair in either order), short and long forms that differ, and GStreamer's own options
// refused.
TEST_P(ValidArguments, GiveTheSettingsOfARun)
{
	const CommandLine line = parsed(GetParam().arguments);
	ASSERT_EQ(line.action, CommandLine::Action::run) << line.text;
	EXPECT_EQ(line.settings, GetParam().settings);
}

INSTANTIATE_TEST_SUITE_P(
	Table, ValidArguments,
	testing::Values(
		RunCase{ {}, {} }, RunCase{ { "-c", "2" }, withCamera("2") },
		RunCase{ { "--camera=/dev/v4l/by-id/usb-cam" },
			 withCamera("/dev/v4l/by-id/usb-cam") },
		RunCase{ { "--camera", "Integrated Webcam" }, withCamera("Integrated Webcam") },
		RunCase{ { "-f", "1280x720@30" },
			 withFormat({ 1280, 720, 30, "", "1280x720@30" }) },
		RunCase{ { "--format=1920x1080@29.97:mjpg" },
			 withFormat({ 1920, 1080, 29.97, "mjpg", "1920x1080@29.97:mjpg" }) },
		RunCase{ { "-f", "640x480:YUY2" },
			 withFormat({ 640, 480, 0, "YUY2", "640x480:YUY2" }) },
		RunCase{ { "--test-pattern", "-f", "320x240@15" },
			 withFormat({ 320, 240, 15, "", "320x240@15" }, true) },
		RunCase{ { "-s", "clip.avi" }, withSource("clip.avi") },
		RunCase{ { "--source", "rtsp://camera.local/stream" },
			 withSource("rtsp://camera.local/stream") },
		RunCase{ { "-t", "0,255" }, withThresholds(0, 255) },
		RunCase{ { "--thresholds=200,10" }, withThresholds(200, 10) },
		RunCase{ { "--gst-debug-no-color" }, {} },
		RunCase{ { "--aperture", "5" }, withDetector({ 5, false, 0 }) },
		RunCase{ { "--aperture=7", "--l2-gradient", "--blur", "5" },
			 withDetector({ 7, true, 5 }) },
		RunCase{ { "--blur=1" }, withDetector({ 3, false, 1 }) },
		// The range grows with the aperture, whichever comes first on the line.
		RunCase{ { "-t", "3000,3060", "--aperture", "5" },
			 withDetector({ 5, false, 0 }, 3000, 3060) },
		RunCase{ { "--aperture", "7", "-t", "0,40800" },
			 withDetector({ 7, false, 0 }, 0, 40800) },
		RunCase{ { "--print-thresholds" }, printingThresholds() },
		RunCase{ { "--auto-thresholds" }, proposing() },
		RunCase{ { "--overlay" }, overlaid() },
		RunCase{ { "--histogram" }, withHistogram() }));

// Catches a mistake that would start a run anyway (with the windows and the camera) or end with
// the wrong status, and an error line without the hint to --help.
TEST_P(InvalidArguments, GiveOneLineAndTheHintWithStatusTwo)
{
	const CommandLine line = parsed(GetParam().arguments);
	EXPECT_EQ(line.action, CommandLine::Action::usageError);
	EXPECT_EQ(line.text, "edge-viewer: " + GetParam().what + "\nTry 'edge-viewer --help'.\n");
}

namespace {

std::string badThresholds(const std::string &value)
{
	return "--thresholds takes T1,T2 with each from 0 to 255, such as 100,120, not '" + value +
	       "'";
}

std::string badThresholdsUpTo(int maximum, const std::string &value)
{
	return "--thresholds takes T1,T2 with each from 0 to " + std::to_string(maximum) +
	       ", such as 100,120, not '" + value + "'";
}

std::string badAperture(const std::string &value)
{
	return "--aperture takes 3, 5 or 7, not '" + value + "'";
}

std::string badBlur(const std::string &value)
{
	return "--blur takes an odd kernel size from 1 to 99, such as 5, not '" + value + "'";
}

std::string badFormat(const std::string &value)
{
	return "--format takes WxH[@FPS][:FOURCC], such as 1280x720@30, not '" + value + "'";
}

} // namespace

INSTANTIATE_TEST_SUITE_P(
	Table, InvalidArguments,
	testing::Values(
		ErrorCase{ { "--bogus" }, "unknown option --bogus" },
		ErrorCase{ { "-x" }, "unknown option -x" },
		ErrorCase{ { "stray" }, "unexpected argument 'stray'" },
		ErrorCase{ { "-c" }, "missing argument for -c" },
		ErrorCase{ { "--format" }, "missing argument for --format" },
		ErrorCase{ { "-c", "" }, "--camera needs an index, a device path or a name" },
		ErrorCase{ { "-s", "" }, "--source needs a file or a URI" },
		ErrorCase{ { "-t", "256,0" }, badThresholds("256,0") },
		ErrorCase{ { "-t", "-1,5" }, badThresholds("-1,5") },
		ErrorCase{ { "-t", "5" }, badThresholds("5") },
		ErrorCase{ { "-t", "5," }, badThresholds("5,") },
		ErrorCase{ { "-t", "1,2,3" }, badThresholds("1,2,3") },
		ErrorCase{ { "-t", "0,3061", "--aperture", "5" },
			   badThresholdsUpTo(3060, "0,3061") },
		ErrorCase{ { "--aperture", "7", "-t", "40801,0" },
			   badThresholdsUpTo(40800, "40801,0") },
		ErrorCase{ { "--aperture", "4" }, badAperture("4") },
		ErrorCase{ { "--aperture", "1" }, badAperture("1") },
		ErrorCase{ { "--aperture", "" }, badAperture("") },
		ErrorCase{ { "--aperture", "3x" }, badAperture("3x") },
		ErrorCase{ { "--aperture" }, "missing argument for --aperture" },
		ErrorCase{ { "--blur", "4" }, badBlur("4") },
		ErrorCase{ { "--blur", "0" }, badBlur("0") },
		ErrorCase{ { "--blur", "-3" }, badBlur("-3") },
		ErrorCase{ { "--blur", "101" }, badBlur("101") },
		ErrorCase{ { "--blur", "five" }, badBlur("five") },
		ErrorCase{
			{ "--auto-thresholds", "-t", "1,2" },
			"--auto-thresholds and --thresholds both choose where the sliders start; "
			"leave out one" },
		ErrorCase{ { "-f", "1280x" }, badFormat("1280x") },
		ErrorCase{ { "-f", "0x480" }, badFormat("0x480") },
		ErrorCase{ { "-f", "640x480@0" }, badFormat("640x480@0") },
		ErrorCase{ { "-f", "640x480@" }, badFormat("640x480@") },
		ErrorCase{ { "-f", "640x480:" }, badFormat("640x480:") },
		ErrorCase{ { "-f", "640 x 480" }, badFormat("640 x 480") },
		ErrorCase{ { "--test-pattern", "-c", "0" },
			   "--test-pattern and --camera name two different cameras" },
		ErrorCase{ { "-s", "clip.avi", "-c", "0" },
			   "--source replaces the camera; leave out --camera and --test-pattern" },
		ErrorCase{ { "-s", "clip.avi", "-f", "640x480" },
			   "--source plays in its own format; leave out --format" }));

// Catches a usage error ending with another status than the one --help gives it, which scripts
// tell apart from 1, a run that could not start.
TEST(CommandLine, AUsageErrorEndsWithTheStatusHelpGivesIt)
{
	const std::string help = parsed({ "--help" }).text;
	const std::string line = "\n  " + std::to_string(usageErrorStatus) + "  a usage error:";
	EXPECT_TRUE(help.find(line) != std::string::npos) << "no \"" << line.substr(1) << "\" in\n"
							  << help;
	EXPECT_NE(usageErrorStatus, 1);
	EXPECT_NE(usageErrorStatus, 0);
}

// Catches --help or --version starting a run, or being refused next to other options, and a help
// text that leaves out an option or the exit statuses.
TEST(CommandLine, HelpAndVersionPrintInsteadOfRunning)
{
	for (const char *help : { "-h", "--help" }) {
		const CommandLine line = parsed({ "-c", "1", help });
		ASSERT_EQ(line.action, CommandLine::Action::help);
		for (const char *option :
		     { "-h, --help", "--version", "-l, --list-cameras", "-c, --camera=WHICH",
		       "-f, --format=WxH[@FPS][:FOURCC]", "--test-pattern", "-s, --source=URI|PATH",
		       "-t, --thresholds=T1,T2", "--aperture=3|5|7", "--l2-gradient", "--blur=SIZE",
		       "--print-thresholds", "--auto-thresholds", "--overlay", "--histogram",
		       "Exit status:", "  0  ", "  1  ", "  2  " })
			EXPECT_NE(line.text.find(option), std::string::npos) << option;
		EXPECT_EQ(line.text.rfind("Usage:\n  edge-viewer [OPTION", 0), 0u) << line.text;
	}
	const CommandLine version = parsed({ "--version" });
	ASSERT_EQ(version.action, CommandLine::Action::version);
	EXPECT_TRUE(std::regex_match(version.text,
				     std::regex("edge-viewer [0-9]+\\.[0-9]+\\.[0-9]+\n")))
		<< version.text;
	EXPECT_EQ(parsed({ "-l" }).action, CommandLine::Action::listCameras);
	EXPECT_NE(parsed({ "--help-gst" }).text.find("--gst-debug-level"), std::string::npos);
}
