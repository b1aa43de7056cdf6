// The end of a decoded file turned into its start, upstream of the capture's conversion elements.
#include "source_replay.h"

#include <algorithm>
#include <mutex>

#include "gst_handles.h"

namespace {

// What the watch knows of the stream entering the element. The probe runs on whichever streaming
// thread feeds the pad (one before a restart may differ from the one after); the seek's thread
// only sends the seek.
struct Replay {
	std::mutex lock; // guards all below
	// The segment as it went on, and the running time its frames reached: the next start
	// continues from there.
	GstSegment segment{};
	GstClockTime reached = 0;
	bool framesSinceStart = false;
	// From the end held back until the new start's segment: the seek's flush stays upstream.
	bool restarting = false;
};

void seekToStart(GstElement *element, gpointer)
{
	const GstObjectPtr<GstPad> pad(gst_element_get_static_pad(element, "sink"));
	// Flushing, so the decoder drops what it holds; a seek that fails leaves the source
	// silent, which the stall watch reports.
	if (pad)
		gst_pad_push_event(
			pad.get(),
			gst_event_new_seek(1.0, GST_FORMAT_TIME,
					   static_cast<GstSeekFlags>(GST_SEEK_FLAG_FLUSH |
								     GST_SEEK_FLAG_KEY_UNIT),
					   GST_SEEK_TYPE_SET, 0, GST_SEEK_TYPE_NONE, 0));
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

void noteFrame(Replay &replay, GstBuffer *buffer)
{
	replay.framesSinceStart = true;
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

// Streaming thread. The seek runs on another thread: one sent from the streaming thread would
// wait for that thread itself.
GstPadProbeReturn onIncoming(GstPad *pad, GstPadProbeInfo *info, gpointer data)
{
	auto &replay = *static_cast<Replay *>(data);
	std::lock_guard guard(replay.lock);
	if (info->type & GST_PAD_PROBE_TYPE_BUFFER) {
		noteFrame(replay, GST_PAD_PROBE_INFO_BUFFER(info));
		return GST_PAD_PROBE_OK;
	}
	GstEvent *event = GST_PAD_PROBE_INFO_EVENT(info);
	switch (GST_EVENT_TYPE(event)) {
	case GST_EVENT_EOS:
		if (!replay.framesSinceStart || !seekable(pad))
			return GST_PAD_PROBE_OK;
		replay.framesSinceStart = false;
		replay.restarting = true;
		gst_element_call_async(GST_PAD_PARENT(pad), &seekToStart, nullptr, nullptr);
		return GST_PAD_PROBE_DROP;
	case GST_EVENT_FLUSH_START:
	case GST_EVENT_FLUSH_STOP:
		// Flushing the sinks would reset the running time and make them wait for a
		// new first frame.
		return replay.restarting ? GST_PAD_PROBE_DROP : GST_PAD_PROBE_OK;
	case GST_EVENT_SEGMENT: {
		gst_event_copy_segment(event, &replay.segment);
		if (!replay.restarting)
			return GST_PAD_PROBE_OK;
		replay.restarting = false;
		replay.segment.base = replay.reached;
		GST_PAD_PROBE_INFO_DATA(info) = gst_event_new_segment(&replay.segment);
		gst_event_unref(event);
		return GST_PAD_PROBE_OK;
	}
	default:
		return GST_PAD_PROBE_OK;
	}
}

} // namespace

void playAgainAtEnd(GstElement *element)
{
	const GstObjectPtr<GstPad> pad(gst_element_get_static_pad(element, "sink"));
	if (!pad)
		return;
	auto *replay = new Replay;
	gst_segment_init(&replay->segment, GST_FORMAT_UNDEFINED);
	gst_pad_add_probe(pad.get(),
			  static_cast<GstPadProbeType>(GST_PAD_PROBE_TYPE_BUFFER |
						       GST_PAD_PROBE_TYPE_EVENT_DOWNSTREAM |
						       GST_PAD_PROBE_TYPE_EVENT_FLUSH),
			  &onIncoming, replay,
			  [](gpointer data) { delete static_cast<Replay *>(data); });
}
