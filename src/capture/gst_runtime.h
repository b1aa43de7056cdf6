// GStreamer's start-up for the capture code, and the program's own debug category: decisions worth
// seeing when something goes wrong (frames left out, a stall, a camera coming and going) are
// logged there and shown with --gst-debug=edge-viewer:5; nothing goes to stderr by default.
#pragma once

#include <gst/gst.h>

// Any thread; cheap after the first call. Initialises GStreamer unless the command line already
// did, and the debug category.
void ensureGstreamer();

// Ends the wait of every source in bin that is blocked in its state change, by sending flush-start
// to its pads (GstBaseSrc's unlock): pipewiresrc waits there for its stream for up to 30 s.
void endSourceWaits(GstBin *bin);

GST_DEBUG_CATEGORY_EXTERN(edgeViewerDebug);
