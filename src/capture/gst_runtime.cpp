// GStreamer's start-up; see the header.
#include "gst_runtime.h"

#include <mutex>

#include "frame_conversion.h"

GST_DEBUG_CATEGORY(edgeViewerDebug);

namespace {

gboolean flushSourcePad(GstElement *, GstPad *pad, gpointer)
{
	gst_pad_send_event(pad, gst_event_new_flush_start());
	return TRUE;
}

void flushSource(const GValue *item, gpointer)
{
	auto *source = GST_ELEMENT(g_value_get_object(item));
	gst_element_foreach_src_pad(source, flushSourcePad, nullptr);
}

} // namespace

void ensureGstreamer()
{
	static std::once_flag once;
	std::call_once(once, [] {
		gst_init(nullptr, nullptr);
		// Should it fail, the pipeline's description names the element it lacks.
		registerFrameConversion();
		// A --gst-debug level given for the category before it exists applies once it does.
		GST_DEBUG_CATEGORY_INIT(edgeViewerDebug, "edge-viewer", 0,
					"edge-viewer's capture decisions");
	});
}

void endSourceWaits(GstBin *bin)
{
	GstIterator *sources = gst_bin_iterate_sources(bin);
	gst_iterator_foreach(sources, flushSource, nullptr);
	gst_iterator_free(sources);
}
