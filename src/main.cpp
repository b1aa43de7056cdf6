// edge-viewer: the Canny edges of a live camera picture, with sliders for the two thresholds.
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>
#include <vector>

#include "capture/cvcam.h"
#include "command_line.h"
#include "edge_viewer.h"

int main(int argc, char **argv)
{
	// libcamera, which GStreamer's device monitor loads where it is installed, logs its own
	// start-up (its version, missing tuning files) on stderr; only its errors concern a user of
	// this program. Set before any thread starts, and only where the user has not chosen.
	setenv("LIBCAMERA_LOG_LEVELS", "*:ERROR", 0);
	const CommandLine line = parseCommandLine(std::vector<std::string>(argv, argv + argc));
	switch (line.action) {
	case CommandLine::Action::usageError:
		std::fputs(line.text.c_str(), stderr);
		return usageErrorStatus;
	case CommandLine::Action::help:
	case CommandLine::Action::version:
		std::cout << line.text;
		break;
	case CommandLine::Action::listCameras:
		cvcamListCameras(std::cout);
		break;
	case CommandLine::Action::run:
		return runEdgeViewer(line.settings);
	}
	// Output that could not be written (a full disk, a closed pipe) is a failure, not a
	// success.
	if (!std::cout.flush()) {
		std::fputs("edge-viewer: failed to write to standard output\n", stderr);
		return 1;
	}
	return 0;
}
