// edge-viewer: the Canny edges of a live camera picture, with sliders for the two thresholds.
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>
#include <vector>

#include <malloc.h>

#include <opencv2/core.hpp>

#include "capture/cvcam.h"
#include "command_line.h"
#include "edge_viewer.h"
#include "frame_pipeline.h"
#include "user_message.h"

namespace {

// Each frame allocates and frees images of a frame's size. glibc returns blocks that large to the
// kernel when they are freed and takes fresh zeroed pages, one page fault each, for the next
// frame. Below these sizes it keeps freed memory for reuse, which costs no more than a frame's
// worth of memory.
constexpr int keptBlockBytes = 32 << 20; // glibc's largest allowed mmap threshold
constexpr int keptFreeBytes = 64 << 20;

} // namespace

int main(int argc, char **argv)
{
	// libcamera, which the device monitor starts where its GStreamer plugin is installed, logs
	// to stderr, where users should see only our own lines. Its log goes to the system log
	// instead, unless the user asked for it. First thing: setenv is unsafe once threads run.
	if (!std::getenv("LIBCAMERA_LOG_FILE") && !std::getenv("LIBCAMERA_LOG_LEVELS"))
		setenv("LIBCAMERA_LOG_FILE", "syslog", 1);
	mallopt(M_MMAP_THRESHOLD, keptBlockBytes);
	mallopt(M_TRIM_THRESHOLD, keptFreeBytes);
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
		// Each frame is processed on the callback's streaming thread alone, but for the
		// larger apertures: a second OpenCV thread costs more CPU per frame at every size
		// measured (docs/performance.md), and where one core cannot keep up, the capture,
		// preview and display threads already keep the others busy. Set before any thread
		// that runs OpenCV exists: the count cannot change under a running call.
		cv::setNumThreads(imageProcessingThreadsFor(line.settings.detector));
		return runEdgeViewer(line.settings);
	}
	// Output that could not be written (a full disk, a closed pipe) is a failure, not a
	// success.
	if (!std::cout.flush()) {
		tellUser("failed to write to standard output");
		return 1;
	}
	return 0;
}
