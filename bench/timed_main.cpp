// The timed viewer: the program as users run it, on a known source, watched from outside. A tracer
// logs each frame as it is converted and handed to the frame callback and back, and a thread of
// its own sees the "edge" window painted. At exit it prints the figures on stderr and, when
// EDGE_VIEWER_BENCH_FRAMES names a file, writes one line per painted frame there (frame_log.h).
// EDGE_VIEWER_BENCH_SOURCE, a gst-launch description, replaces the built-in test pattern.
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include <gst/gst.h>

#include "capture/camera_list.h"
#include "frame_log.h"
#include "frame_tracer.h"
#include "paint_observer.h"
#include "viewer_main.h"

namespace {

// The same source on every machine, whatever cameras are plugged in.
CameraInfo benchCamera()
{
	const char *description = std::getenv("EDGE_VIEWER_BENCH_SOURCE");
	if (!description)
		return testPatternCamera();
	return CameraInfo{ .name = "Benchmark source",
			   .devicePath = {},
			   .device = nullptr,
			   .sourceDescription = description };
}

} // namespace

int main(int argc, char **argv)
{
	// 1. The source, through the camera list's override. No thread runs yet: the program's
	//    main still sets its environment first thing.
	overrideCameras({ benchCamera() });

	// 2. The tracer, before any pipeline exists. The log and the observer outlive every
	//    pipeline, all of which end inside the program's main. The observer's thread starts
	//    with the first pipeline, once the program's main is well under way.
	gst_init(nullptr, nullptr);
	static FrameLog log;
	static PaintObserver observer(log);
	static std::atomic<bool> captured{ false }; // set where a pipeline is linked, read below
	traceFrames(log, [] {
		captured.store(true);
		observer.start();
	});

	// 3. The program itself.
	const int status = viewerMain(argc, argv);

	// 4. The figures, once every frame has been painted or dropped; none for a run that
	//    captured nothing, such as --help.
	observer.stop();
	if (!captured.load())
		return status;
	const std::vector<FrameTimes> frames = log.paintedFrames();
	printFigures(frames, observer.cpuMs(), stderr);
	if (const char *path = std::getenv("EDGE_VIEWER_BENCH_FRAMES");
	    path && !writeFrames(frames, path))
		std::fprintf(stderr, "edge-viewer timing: failed to write %s\n", path);
	return status;
}
