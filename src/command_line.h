// The command line: options to the settings of a run, or to what to print instead.
#pragma once

#include <string>
#include <vector>

#include "edge_viewer.h"

struct CommandLine {
	enum class Action {
		run,	     // a run with settings
		help,	     // text goes to stdout, status 0
		version,     // the same
		listCameras, // the cameras go to stdout, status 0
		usageError,  // text (two lines) goes to stderr, status 2
	};
	Action action = Action::run;
	ViewerSettings settings;
	std::string text;
};

// The exit status of a usage error.
inline constexpr int usageErrorStatus = 2;

// Main thread, before anything else. arguments as main() has them, the program's name first.
// GStreamer's own options (--gst-debug and the like) are taken too; a parse without an error
// initialises GStreamer, which touches no device.
CommandLine parseCommandLine(const std::vector<std::string> &arguments);
