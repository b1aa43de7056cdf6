// Owning handles for GStreamer and GLib objects, so every reference is released exactly once.
#pragma once

#include <memory>

#include <gst/gst.h>

#include "glib_handles.h"

template <typename T>
struct GstObjectUnref {
	void operator()(T *object) const { gst_object_unref(object); }
};

template <typename T>
using GstObjectPtr = std::unique_ptr<T, GstObjectUnref<T>>;

using GstElementPtr = GstObjectPtr<GstElement>;
using GstBusPtr = GstObjectPtr<GstBus>;
using GstDevicePtr = GstObjectPtr<GstDevice>;
using GstDeviceMonitorPtr = GstObjectPtr<GstDeviceMonitor>;

struct GstSampleUnref {
	void operator()(GstSample *sample) const { gst_sample_unref(sample); }
};
using GstSamplePtr = std::unique_ptr<GstSample, GstSampleUnref>;

struct GstCapsUnref {
	void operator()(GstCaps *caps) const { gst_caps_unref(caps); }
};
using GstCapsPtr = std::unique_ptr<GstCaps, GstCapsUnref>;

struct GstMessageUnref {
	void operator()(GstMessage *message) const { gst_message_unref(message); }
};
using GstMessagePtr = std::unique_ptr<GstMessage, GstMessageUnref>;

struct GstBufferUnref {
	void operator()(GstBuffer *buffer) const { gst_buffer_unref(buffer); }
};
using GstBufferPtr = std::unique_ptr<GstBuffer, GstBufferUnref>;

struct GstTagListUnref {
	void operator()(GstTagList *tags) const { gst_tag_list_unref(tags); }
};
using GstTagListPtr = std::unique_ptr<GstTagList, GstTagListUnref>;

// Takes ownership of a floating element (as returned by gst_element_factory_make or
// gst_parse_launch) without adding it to a bin.
inline GstElementPtr sinkElement(GstElement *element)
{
	return GstElementPtr(element ? GST_ELEMENT(gst_object_ref_sink(element)) : nullptr);
}
