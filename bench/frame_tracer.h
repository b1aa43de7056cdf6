// Follows the viewer's frames through its pipeline from outside the program: a GStreamer tracer
// sees every pad link and push in the process, and the viewer's elements go by their names.
#pragma once

#include <functional>

class FrameLog;

// Main thread, after gst_init() and before any pipeline exists (GStreamer takes tracers made
// later only before a pipeline pauses). From then on each frame that reaches the frame callback's
// queue ("framequeue") is logged in log, with its number drawn into it as a frame code where its
// buffer may be written without a copy; its push into the callback's sink and that push's return
// are logged as the callback's start and end. onFramePipeline runs on the thread that links such
// a queue, whenever one is. log and onFramePipeline must outlive every pipeline.
void traceFrames(FrameLog &log, std::function<void()> onFramePipeline);
