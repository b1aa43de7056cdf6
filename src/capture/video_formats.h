// The video-format page: what a camera offers, read from its caps, and the console page on which
// the user picks one. Apart from formatsFromCaps(), plain logic over a list of formats and a
// stream.
#pragma once

#include <cstddef>
#include <iosfwd>
#include <string>
#include <vector>

#include <gst/gst.h>

#include "console.h"

struct FrameRate {
	int numerator = 0;
	int denominator = 1;

	bool operator==(const FrameRate &) const = default;
};

// One pixel format at one size, with the frame rates offered for it, fastest first.
struct VideoFormat {
	std::string pixelFormat; // a raw format name ("YUY2", "NV12"), "MJPG", or empty for any raw
	bool compressed = false; // JPEG frames, decoded in the pipeline
	int width = 0;
	int height = 0;
	std::vector<FrameRate> rates; // empty when the caps name none

	bool operator==(const VideoFormat &) const = default;
};

struct FormatChoice {
	std::size_t format = 0; // index into the camera's format list
	FrameRate rate;		// {0, 1} when the format names no rate

	bool operator==(const FormatChoice &) const = default;
};

// The formats in caps that the capture pipeline can show (raw video and JPEG), in the caps' order.
// Lists become one entry each; size and rate ranges offer the common values that lie inside them.
std::vector<VideoFormat> formatsFromCaps(const GstCaps *caps);

// What is used when the user picks nothing: the size nearest 640x480 (raw before JPEG), at the
// fastest rate up to 30 frames/s. formats must not be empty.
FormatChoice defaultFormat(const std::vector<VideoFormat> &formats);

// Caps that ask the source for exactly this choice, in gst-launch syntax.
std::string capsText(const VideoFormat &format, FrameRate rate);

// One format as the page lists it: pixel format, size and rates.
std::string formatLine(const VideoFormat &format);

// The page itself: lists the formats of the camera named camera, marks current and, on a terminal,
// asks for another (Enter, "q" or the end of input keep current). Without a terminal it writes and
// reads nothing. Returns the choice.
FormatChoice formatPage(const std::string &camera, const std::vector<VideoFormat> &formats,
			FormatChoice current, Console &console);
