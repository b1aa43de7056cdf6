// The viewer from start to end: camera choice, capture set-up, the "edge" window and its sliders,
// the key wait and the teardown.
#pragma once

#include "capture/capture_types.h"
#include "edge_thresholds.h"

// What the command line chose for a run; the defaults are a run without arguments.
struct ViewerSettings {
	CvcamPreset capture; // camera, format or source, answered before the dialogs would ask
	int threshold1 = defaultThreshold1; // the sliders' starting positions, 0 to
	int threshold2 = defaultThreshold2; // thresholdMaximumFor(detector.aperture)
	EdgeDetector detector;
	bool printThresholds = false; // one line with the thresholds on stdout at the end
	bool autoThresholds = false;  // the sliders start where the first frame's gradient says
	bool overlay = false;	      // edges over the dimmed picture from the start (Ctrl+O)
	bool histogram = false;	      // the gradient's histogram in a window "histogram"

	bool operator==(const ViewerSettings &) const = default;
};

// Main thread. Returns the process's exit status: 0 after a key (or closing "edge") ended the
// run; 1 when no display could be reached, no camera was selected or the source cannot be opened;
// 2 when the camera or format named does not exist.
int runEdgeViewer(const ViewerSettings &settings = {});
