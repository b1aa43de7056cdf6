// A decoded video file that starts again at its end, seamlessly, as if it were a camera that never
// stops.
#pragma once

#include <gst/gst.h>

// Main thread, while the pipeline is in the NULL state. Watches what enters element through its
// "sink" pad: at the end of a stream that gave frames and can seek, it seeks back to the start
// instead of letting the end through, and carries the running time on across the restart, so the
// pipeline neither flushes nor stops and the pace stays the same. A stream that cannot seek, or
// ends without a frame, ends as before. The watch lives as long as the pad.
void playAgainAtEnd(GstElement *element);
