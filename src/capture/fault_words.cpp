// Fault wording; see the header.
#include "fault_words.h"

#include <gst/gst.h>

#include "user_message.h"

std::string plainReason(const GError *error)
{
	if (!error)
		return "it failed";
	std::string words = "it failed";
	if (error->domain == GST_RESOURCE_ERROR) {
		switch (error->code) {
		case GST_RESOURCE_ERROR_BUSY:
			words = "it is busy, probably in use by another program";
			break;
		case GST_RESOURCE_ERROR_NOT_FOUND:
			words = "it is not there; is it plugged in?";
			break;
		case GST_RESOURCE_ERROR_OPEN_READ:
		case GST_RESOURCE_ERROR_OPEN_WRITE:
		case GST_RESOURCE_ERROR_OPEN_READ_WRITE:
			words = "it cannot be opened; check that it is not in use and that you may "
				"use it";
			break;
		case GST_RESOURCE_ERROR_READ:
			words = "it stopped delivering frames; was it unplugged?";
			break;
		case GST_RESOURCE_ERROR_SETTINGS:
			words = "it does not accept the chosen settings";
			break;
		default:
			break;
		}
	} else if (g_error_matches(error, GST_CORE_ERROR, GST_CORE_ERROR_NEGOTIATION) ||
		   g_error_matches(error, GST_STREAM_ERROR, GST_STREAM_ERROR_FORMAT)) {
		words = "it cannot deliver the chosen format";
	}
	const std::string detail = errorFragment(error->message ? error->message : "");
	return detail.empty() ? words : words + " (" + detail + ")";
}

std::string playbackReason(const GError *error)
{
	const std::string detail = errorFragment(error && error->message ? error->message : "");
	return detail.empty() ? "it failed" : detail;
}

std::string faultSubject(const std::string &cameraName, bool playsSource, bool gotFrame)
{
	if (playsSource)
		return (gotFrame ? "failed to play \"" : "failed to open \"") + cameraName + "\": ";
	return (gotFrame ? "failed to capture from camera \"" : "failed to start camera \"") +
	       cameraName + "\": ";
}

std::string durationWords(std::chrono::milliseconds duration)
{
	const auto ms = duration.count();
	if (ms % 1000 != 0)
		return std::to_string(ms) + " ms";
	return std::to_string(ms / 1000) + (ms == 1000 ? " second" : " seconds");
}
