// The viewer from start to end: camera choice, capture set-up, the "edge" window and its sliders,
// the key wait and the teardown.
#pragma once

#include "capture/capture_types.h"
#include "edge_thresholds.h"

// What the command line chose for a run; the defaults are a run without arguments.
struct ViewerSettings {
	CvcamPreset capture; // camera, format or source, answered before the dialogs would ask
	int threshold1 = defaultThreshold1; // the sliders' starting positions, 0 to 255
	int threshold2 = defaultThreshold2;

	bool operator==(const ViewerSettings &) const = default;
};

// Main thread. Returns the process's exit status: 0 after a key (or closing "edge") ended the
// run; 1 when no display could be reached, no camera was selected or the source cannot be opened;
// 2 when the camera or format named does not exist.
int runEdgeViewer(const ViewerSettings &settings = {});
