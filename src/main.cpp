// edge-viewer: the Canny edges of a live camera picture, with sliders for the two thresholds.
#include <cstdio>
#include <iostream>
#include <string>
#include <vector>

#include "capture/cvcam.h"
#include "command_line.h"
#include "edge_viewer.h"

int main(int argc, char **argv)
{
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
