// A decoded video file that starts again at its end, seamlessly, as if it were a camera that never
// stops.
//
// The loop is GStreamer's segment seek. The clip is played as a segment (a seek with
// GST_SEEK_FLAG_SEGMENT), at whose end the decoder posts SEGMENT_DONE instead of sending EOS; a
// seek without flushing, sent from that message, queues the next segment behind the last frame, so
// nothing is flushed, nothing stops, and the sinks see one stream. No seek can race a stop: the
// first is made by the start thread, which stop() joins before it takes the pipeline down; every
// later one by the decoder's own streaming thread, inside the message, so it is part of that
// thread's work, which the change to NULL ends and waits for as it does a frame being pushed. No
// other thread ever seeks, and nothing is left queued to run later.
#pragma once

#include <chrono>

#include <gst/gst.h>

// Main thread, while the pipeline is in the NULL state. Makes the clip that decoder (in pipeline)
// decodes and element of pipeline takes through its "sink" pad play again at its end, and watches
// what enters that pad: each new
// start continues the running time where the frames of the last one ended (a sound track that ends
// later leaves no gap in the picture), and a round that gave no frame ends the stream instead. The
// watch lives as long as the pad and the pipeline.
void playAgainAtEnd(GstElement *pipeline, GstElement *decoder, GstElement *element);

// Any thread. Whether playAgainAtEnd() was called for pipeline.
bool playsAgainAtEnd(GstElement *pipeline);

// The start thread, with the pipeline in READY: what the watch learnt of the last start no longer
// counts.
void forgetLastStart(GstElement *pipeline);

// The start thread, with the pipeline in PAUSED and no state change under way. Waits up to wait for
// the clip's first frame (or its end) to arrive, and as long again for the decoder to finish its
// change to PAUSED; returns false when either has not happened yet. Once both have, plays
// the clip as a segment from its start and returns true; a stream that cannot seek is left to end
// as before. Returns true at once for a live stream, which plays once, and when playAgainAtEnd()
// was not called for pipeline.
bool playFirstSegment(GstElement *pipeline, std::chrono::milliseconds wait);

// The thread that posted message, from the pipeline's bus sync handler: at the end of a segment,
// queues the next one. Does nothing for any other message.
void playNextSegment(GstElement *pipeline, GstMessage *message);
