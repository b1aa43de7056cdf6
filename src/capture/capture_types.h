// The types the viewer and every layer of the capture code share: what a frame callback is, and
// what the command line chose.
#pragma once

#include <optional>
#include <string>

namespace cv {
class Mat;
}

// The frame is 8-bit RGB, stored bottom row first, with the buffer's own row step. It is lent for
// the duration of the call and must be neither kept nor written.
using CvcamFrameCallback = void (*)(const cv::Mat &frame);

// A format as the command line names it: a size, optionally a rate and a pixel format.
struct CvcamFormatRequest {
	int width = 0;
	int height = 0;
	double rate = 0;	 // frames/s; 0 takes the fastest the camera offers at that size
	std::string pixelFormat; // a FOURCC such as "YUY2" or "MJPG"; empty takes the best
	std::string text;	 // as the user wrote it, for messages

	bool operator==(const CvcamFormatRequest &) const = default;
};

// What the command line chose, handed to the capture layer before cvcamSelectCamera() so that the
// camera dialog and the format page ask nothing already answered. All empty: both ask as usual.
struct CvcamPreset {
	std::string camera; // an index, a device path or part of a camera's name; empty asks
	std::optional<CvcamFormatRequest> format; // empty: the format page asks
	bool testPattern = false; // the built-in test pattern, whatever is plugged in
	std::string source;	  // a video file's path or a URI, which stands in for the camera

	bool operator==(const CvcamPreset &) const = default;
};
