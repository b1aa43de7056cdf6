// How faults read: the hint a user gets for each camera fault, GStreamer's own text inside the
// line, and the one clean-up that every library text goes through.
#include "capture/fault_words.h"

#include <set>
#include <string>

#include <gst/gst.h>

#include <gtest/gtest.h>

#include "glib_handles.h"
#include "user_message.h"

namespace {

std::string cameraReason(GQuark domain, int code, const char *message)
{
	const GErrorPtr error(g_error_new_literal(domain, code, message));
	return plainReason(error.get());
}

std::string playback(GQuark domain, int code, const char *message)
{
	const GErrorPtr error(g_error_new_literal(domain, code, message));
	return playbackReason(error.get());
}

} // namespace

// Catches a library's sentence pasted into a line as it comes ("...: Could not open."), and the
// clean-up spoiling an initialism or a name ("hTTP", "v4L2", "i/O").
TEST(ErrorFragment, ReadsAsPartOfTheLineAndKeepsInitialisms)
{
	EXPECT_EQ(errorFragment("Could not open resource for reading.\n"),
		  "could not open resource for reading");
	EXPECT_EQ(errorFragment("A device is busy"), "a device is busy");
	EXPECT_EQ(errorFragment("HTTP server sent 404 Not Found."),
		  "HTTP server sent 404 Not Found");
	EXPECT_EQ(errorFragment("V4L2 device is gone"), "V4L2 device is gone");
	EXPECT_EQ(errorFragment("I/O error"), "I/O error");
	EXPECT_EQ(errorFragment("JPEG decoding failed..."), "JPEG decoding failed");
	EXPECT_EQ(errorFragment("X"), "X");
	EXPECT_EQ(errorFragment(""), "");
	EXPECT_EQ(userLine("no camera selected"), "edge-viewer: no camera selected");
}

// Catches a camera fault that reaches the user in GStreamer's words only, two faults that read the
// same, and GStreamer's own text dropped or left unclean on its way into the line.
TEST(PlainReason, EachCommonCameraFaultHasAHintOfItsOwnBeforeGStreamersText)
{
	const std::string generic = cameraReason(GST_RESOURCE_ERROR, GST_RESOURCE_ERROR_FAILED, "");
	std::set<std::string> hints;
	for (const int code :
	     { GST_RESOURCE_ERROR_BUSY, GST_RESOURCE_ERROR_NOT_FOUND, GST_RESOURCE_ERROR_OPEN_READ,
	       GST_RESOURCE_ERROR_READ, GST_RESOURCE_ERROR_SETTINGS }) {
		const std::string hint = cameraReason(GST_RESOURCE_ERROR, code, "");
		EXPECT_NE(hint, generic) << "resource error " << code;
		hints.insert(hint);
	}
	EXPECT_EQ(hints.size(), 5u) << "two faults share a hint";
	const std::string format =
		cameraReason(GST_CORE_ERROR, GST_CORE_ERROR_NEGOTIATION, "not-negotiated");
	EXPECT_EQ(format, "it cannot deliver the chosen format (not-negotiated)");

	EXPECT_EQ(cameraReason(GST_RESOURCE_ERROR, GST_RESOURCE_ERROR_BUSY,
			       "Device '/dev/video0' is busy."),
		  cameraReason(GST_RESOURCE_ERROR, GST_RESOURCE_ERROR_BUSY, "") +
			  " (device '/dev/video0' is busy)");
	EXPECT_EQ(plainReason(nullptr), generic);
}

// Catches a video stream's fault worded as a camera's ("was it unplugged?"), which would send a
// user looking for a cable that is not there.
TEST(PlainReason, AVideoStreamsFaultIsGStreamersOwnText)
{
	EXPECT_EQ(playback(GST_RESOURCE_ERROR, GST_RESOURCE_ERROR_READ,
			   "Could not read from resource."),
		  "could not read from resource");
	EXPECT_EQ(playback(GST_RESOURCE_ERROR, GST_RESOURCE_ERROR_OPEN_READ,
			   "HTTP server sent 404 Not Found."),
		  "HTTP server sent 404 Not Found");
	EXPECT_EQ(playback(GST_RESOURCE_ERROR, GST_RESOURCE_ERROR_FAILED, ""), "it failed");
	EXPECT_EQ(playbackReason(nullptr), "it failed");
}

// Catches a fault line naming the wrong step (opening once frames came) or the wrong kind of
// source, and a duration that reads "1 seconds".
TEST(FaultSubject, NamesTheStepAndTheKindOfSource)
{
	EXPECT_EQ(faultSubject("Cam", false, false), "failed to start camera \"Cam\": ");
	EXPECT_EQ(faultSubject("Cam", false, true), "failed to capture from camera \"Cam\": ");
	EXPECT_EQ(faultSubject("a.mp4", true, false), "failed to open \"a.mp4\": ");
	EXPECT_EQ(faultSubject("a.mp4", true, true), "failed to play \"a.mp4\": ");
	using std::chrono::milliseconds;
	EXPECT_EQ(durationWords(milliseconds(3000)), "3 seconds");
	EXPECT_EQ(durationWords(milliseconds(1000)), "1 second");
	EXPECT_EQ(durationWords(milliseconds(250)), "250 ms");
}
