// The viewer from start to end: camera choice, capture set-up, the "edge" window and its sliders,
// the key wait and the teardown.
#pragma once

// Main thread. Returns the process's exit status: 0 after a key (or closing "edge") ended the
// run, 1 when no display could be reached or no camera was selected.
int runEdgeViewer();
