// Test files made with GStreamer's own encoders: a pipeline played until it has written them.
#pragma once

#include <string>

#include <gst/gst.h>

#include "capture/gst_handles.h"

// Plays the pipeline description until its end, for at most a minute; whether it got there
// without an error (a file sink's file is then whole).
inline bool playToEnd(const std::string &description)
{
	GError *rawError = nullptr;
	const GstElementPtr pipeline =
		sinkElement(gst_parse_launch(description.c_str(), &rawError));
	const GErrorPtr error(rawError);
	if (!pipeline || error)
		return false;
	gst_element_set_state(pipeline.get(), GST_STATE_PLAYING);
	const GstBusPtr bus(gst_element_get_bus(pipeline.get()));
	const GstMessagePtr message(gst_bus_timed_pop_filtered(
		bus.get(), 60 * GST_SECOND,
		static_cast<GstMessageType>(GST_MESSAGE_EOS | GST_MESSAGE_ERROR)));
	gst_element_set_state(pipeline.get(), GST_STATE_NULL);
	return message && GST_MESSAGE_TYPE(message.get()) == GST_MESSAGE_EOS;
}
