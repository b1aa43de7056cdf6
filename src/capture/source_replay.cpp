// The end of a decoded file turned into its start, upstream of the capture's conversion elements.
#include "source_replay.h"

#include <algorithm>
#include <condition_variable>
#include <memory>
#include <mutex>

#include "gst_handles.h"
#include "gst_runtime.h"

namespace {

constexpr char replayKey[] = "edge-viewer-replay";

// What is known of the clip's rounds. Shared by the watch on the pad, which runs on whichever
// streaming thread feeds it, and the pipeline, whose seeks come from the start thread and the
// decoder's thread.
struct Replay {
	Replay(GstElement *source, GstPad *watched) : decoder(source), pad(watched) {}

	// The decoder; borrowed, as the pipeline holds it. Set once.
	GstElement *const decoder;

	// The watched pad: seeks go upstream from it, to the decoder alone (a seek sent to the
	// pipeline would reach the decoder once through each sink). Set once; borrowed, since the
	// pad holds this through its probe: the pipeline holds the element that owns it, and seeks
	// are only made through the pipeline.
	GstPad *const pad;

	// How often this start's first seek found the decoder still changing state. The start
	// thread's alone: it starts and stops (joins) the thread that calls playFirstSegment().
	int unsettledChecks = 0;

	std::mutex lock; // guards all below
	// Signalled when the first frame of a start, or the clip's end, arrives.
	std::condition_variable arrived;
	bool streaming = false;
	// The segment as it went on, and the running time its frames reached: the next round
	// continues from there.
	GstSegment segment{};
	GstClockTime reached = 0;
	bool framesThisRound = false;
	// From a segment's end until the next segment starts.
	bool betweenRounds = false;
	// A round gave no frame, or the next could not be queued: the clip ends here.
	bool ended = false;
};

using ReplayPtr = std::shared_ptr<Replay>;

Replay *replayOf(GstElement *pipeline)
{
	auto *held = static_cast<ReplayPtr *>(g_object_get_data(G_OBJECT(pipeline), replayKey));
	return held ? held->get() : nullptr;
}

bool seekable(GstPad *pad)
{
	GstQuery *query = gst_query_new_seeking(GST_FORMAT_TIME);
	gboolean canSeek = FALSE;
	if (gst_pad_peer_query(pad, query))
		gst_query_parse_seeking(query, nullptr, &canSeek, nullptr, nullptr);
	gst_query_unref(query);
	return canSeek;
}

bool seekToStart(Replay &replay, GstSeekFlags flags)
{
	return gst_pad_push_event(replay.pad,
				  gst_event_new_seek(1.0, GST_FORMAT_TIME, flags, GST_SEEK_TYPE_SET,
						     0, GST_SEEK_TYPE_NONE, 0));
}

void noteFrame(Replay &replay, GstBuffer *buffer)
{
	replay.framesThisRound = true;
	GstClockTime end = GST_BUFFER_PTS(buffer);
	if (!GST_CLOCK_TIME_IS_VALID(end) || replay.segment.format != GST_FORMAT_TIME)
		return;
	if (GST_BUFFER_DURATION_IS_VALID(buffer))
		end += GST_BUFFER_DURATION(buffer);
	const GstClockTime running =
		gst_segment_to_running_time(&replay.segment, GST_FORMAT_TIME, end);
	if (GST_CLOCK_TIME_IS_VALID(running))
		replay.reached = std::max(replay.reached, running);
}

void replaceEvent(GstPadProbeInfo *info, GstEvent *replacement)
{
	gst_event_unref(GST_PAD_PROBE_INFO_EVENT(info));
	GST_PAD_PROBE_INFO_DATA(info) = replacement;
}

// The streaming thread that feeds the pad.
GstPadProbeReturn onIncoming(GstPad *, GstPadProbeInfo *info, gpointer data)
{
	Replay &replay = **static_cast<ReplayPtr *>(data);
	std::lock_guard guard(replay.lock);
	if (info->type & GST_PAD_PROBE_TYPE_BUFFER) {
		noteFrame(replay, GST_PAD_PROBE_INFO_BUFFER(info));
		if (!replay.streaming) {
			replay.streaming = true;
			replay.arrived.notify_all();
		}
		return GST_PAD_PROBE_OK;
	}
	GstEvent *event = GST_PAD_PROBE_INFO_EVENT(info);
	switch (GST_EVENT_TYPE(event)) {
	case GST_EVENT_EOS:
		replay.streaming = true;
		replay.arrived.notify_all();
		return GST_PAD_PROBE_OK;
	case GST_EVENT_FLUSH_STOP:
		// The first segment's seek starts the running time afresh.
		replay.reached = 0;
		replay.betweenRounds = false;
		return GST_PAD_PROBE_OK;
	case GST_EVENT_SEGMENT_DONE:
		// An empty round would only start another at once, for ever.
		if (!replay.framesThisRound || replay.ended) {
			replay.ended = true;
			replaceEvent(info, gst_event_new_eos());
			return GST_PAD_PROBE_OK;
		}
		replay.betweenRounds = true;
		// Nothing downstream waits for it: the stream goes on.
		return GST_PAD_PROBE_DROP;
	case GST_EVENT_SEGMENT: {
		gst_event_copy_segment(event, &replay.segment);
		replay.framesThisRound = false;
		if (!replay.betweenRounds)
			return GST_PAD_PROBE_OK;
		replay.betweenRounds = false;
		// The decoder continues from its segment's end, which a longer sound track may
		// put after the last frame.
		replay.segment.base = replay.reached;
		replaceEvent(info, gst_event_new_segment(&replay.segment));
		return GST_PAD_PROBE_OK;
	}
	default:
		return GST_PAD_PROBE_OK;
	}
}

} // namespace

void playAgainAtEnd(GstElement *pipeline, GstElement *decoder, GstElement *element)
{
	const GstObjectPtr<GstPad> pad(gst_element_get_static_pad(element, "sink"));
	if (!pad)
		return;
	const auto replay = std::make_shared<Replay>(decoder, pad.get());
	gst_segment_init(&replay->segment, GST_FORMAT_UNDEFINED);
	gst_pad_add_probe(pad.get(),
			  static_cast<GstPadProbeType>(GST_PAD_PROBE_TYPE_BUFFER |
						       GST_PAD_PROBE_TYPE_EVENT_DOWNSTREAM |
						       GST_PAD_PROBE_TYPE_EVENT_FLUSH),
			  &onIncoming, new ReplayPtr(replay),
			  [](gpointer data) { delete static_cast<ReplayPtr *>(data); });
	g_object_set_data_full(G_OBJECT(pipeline), replayKey, new ReplayPtr(replay),
			       [](gpointer data) { delete static_cast<ReplayPtr *>(data); });
}

bool playsAgainAtEnd(GstElement *pipeline)
{
	return replayOf(pipeline) != nullptr;
}

void forgetLastStart(GstElement *pipeline)
{
	Replay *replay = replayOf(pipeline);
	if (!replay)
		return;
	replay->unsettledChecks = 0;
	std::lock_guard guard(replay->lock);
	replay->streaming = false;
	replay->ended = false;
	replay->betweenRounds = false;
	replay->reached = 0;
}

bool playFirstSegment(GstElement *pipeline, std::chrono::milliseconds wait)
{
	Replay *replay = replayOf(pipeline);
	// A live stream (rtsp://, udp://) sends nothing before it plays, and cannot start again
	// anyway. Its decoder said so in the change to PAUSED, which this thread made.
	if (!replay || GST_STATE_RETURN(replay->decoder) == GST_STATE_CHANGE_NO_PREROLL)
		return true;
	{
		std::unique_lock guard(replay->lock);
		if (!replay->arrived.wait_for(guard, wait, [&] { return replay->streaming; }))
			return false;
	}
	// A seek is only sure to be carried out by a decoder that has finished its change to
	// PAUSED, and the first frame can pass while uridecodebin is still completing it (in about
	// 3 % of starts of a short clip). A decoder that failed has said so; the seek then fails
	// too. One that has not finished after a few seconds is sought all the same, rather than
	// holding the clip on its first frame.
	constexpr int mostUnsettledChecks = 40;
	const auto timeout = std::chrono::duration_cast<std::chrono::nanoseconds>(wait).count();
	if (gst_element_get_state(replay->decoder, nullptr, nullptr,
				  static_cast<GstClockTime>(timeout)) == GST_STATE_CHANGE_ASYNC &&
	    ++replay->unsettledChecks < mostUnsettledChecks)
		return false;
	// Flushing, so that the frames that came before it go, and the running time starts with
	// the segment. A clip that refuses it plays once.
	if (!seekable(replay->pad) ||
	    !seekToStart(*replay,
			 static_cast<GstSeekFlags>(GST_SEEK_FLAG_FLUSH | GST_SEEK_FLAG_SEGMENT)))
		GST_CAT_DEBUG(edgeViewerDebug, "the clip cannot seek: it plays once");
	return true;
}

void playNextSegment(GstElement *pipeline, GstMessage *message)
{
	Replay *replay = GST_MESSAGE_TYPE(message) == GST_MESSAGE_SEGMENT_DONE ? replayOf(pipeline)
									       : nullptr;
	if (!replay)
		return;
	{
		std::lock_guard guard(replay->lock);
		if (replay->ended)
			return;
	}
	// Not flushing: the next segment follows the frames still on their way, so the picture
	// never stops and the running time goes on. The watch's lock is not held across it: a
	// decoder may push the new segment from inside the seek.
	GST_CAT_DEBUG(edgeViewerDebug, "the clip starts again");
	if (!seekToStart(*replay, GST_SEEK_FLAG_SEGMENT)) {
		GST_CAT_DEBUG(edgeViewerDebug, "the clip refused its next segment: it ends here");
		std::lock_guard guard(replay->lock);
		replay->ended = true;
	}
}
