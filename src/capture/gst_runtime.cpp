// GStreamer's start-up; see the header.
#include "gst_runtime.h"

#include <mutex>

GST_DEBUG_CATEGORY(edgeViewerDebug);

void ensureGstreamer()
{
	static std::once_flag once;
	std::call_once(once, [] {
		gst_init(nullptr, nullptr);
		// A --gst-debug level given for the category before it exists applies once it does.
		GST_DEBUG_CATEGORY_INIT(edgeViewerDebug, "edge-viewer", 0,
					"edge-viewer's capture decisions");
	});
}
