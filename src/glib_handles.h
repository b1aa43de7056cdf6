// Owning handles for GLib's memory and objects, so every one is released exactly once.
#pragma once

#include <memory>

#include <glib-object.h>

struct GErrorFree {
	void operator()(GError *error) const { g_error_free(error); }
};
using GErrorPtr = std::unique_ptr<GError, GErrorFree>;

struct GFree {
	void operator()(void *memory) const { g_free(memory); }
};
using GCharPtr = std::unique_ptr<gchar, GFree>;

// For GLib objects that are not GStreamer objects (a discoverer and what it finds).
template <typename T>
struct GObjectUnref {
	void operator()(T *object) const { g_object_unref(object); }
};

template <typename T>
using GObjectPtr = std::unique_ptr<T, GObjectUnref<T>>;
