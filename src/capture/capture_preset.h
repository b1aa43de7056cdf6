// What the command line chose, found among the cameras and their formats before anything is asked:
// plain logic over the camera list and a camera's formats, and the resolved result that the camera
// dialog and the format page take instead of asking.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "camera_list.h"
#include "capture_types.h"
#include "console.h"
#include "video_formats.h"

struct ResolvedPreset {
	std::vector<CameraInfo> cameras;    // the list the indices below refer to
	std::vector<int> chosen;	    // what the camera dialog would have returned
	std::optional<FormatChoice> format; // for chosen.front(); empty lets the page ask
};

// The index into cameras that which names: an index, a device path (links such as those under
// /dev/v4l/by-id resolved to their node) or a case-insensitive part of one name (a whole name
// wins over a part of others). -1 when none or several match, with the one line saying why in
// error.
int matchCamera(const std::vector<CameraInfo> &cameras, const std::string &which,
		std::string &error);

// The offered format and rate that request names; missing parts take the fastest rate, then what
// defaultFormat() would pick. Empty when nothing matches, with the nearest offered formats in
// error.
std::optional<FormatChoice> matchFormat(const std::vector<VideoFormat> &formats,
					const CvcamFormatRequest &request, std::string &error);

// Main thread. Resolves preset: finds the cameras (or makes the source's or the test pattern's),
// the camera and its format, running the camera dialog on console when only a format is named.
// Returns the exit status with the line already written to stderr, or 0 with resolved filled.
int resolvePreset(const CvcamPreset &preset, Console &console, ResolvedPreset &resolved);

// A format as the command line writes it: 640x480@30:YUY2.
std::string formatName(const VideoFormat &format, FrameRate rate);
