// The "bottomuprgb" element: GstVideoFilter's negotiation and frame mapping around rgb_rows.
#include "frame_conversion.h"

#include <gst/gst.h>
#include <gst/video/gstvideofilter.h>
#include <gst/video/video.h>

#include "rgb_rows.h"

namespace {

// RGB first: a source that can make any of them (a test source, a decoder) then sends what
// costs least to convert.
#define BOTTOM_UP_RGB_INPUT_FORMATS                                                                \
	"{ RGB, BGR, RGBx, BGRx, xRGB, xBGR, YUY2, UYVY, YVYU, NV12, NV21, I420, YV12, GRAY8 }"

GstStaticPadTemplate sinkTemplate =
	GST_STATIC_PAD_TEMPLATE("sink", GST_PAD_SINK, GST_PAD_ALWAYS,
				GST_STATIC_CAPS(GST_VIDEO_CAPS_MAKE(BOTTOM_UP_RGB_INPUT_FORMATS)));

GstStaticPadTemplate srcTemplate = GST_STATIC_PAD_TEMPLATE(
	"src", GST_PAD_SRC, GST_PAD_ALWAYS, GST_STATIC_CAPS(GST_VIDEO_CAPS_MAKE("RGB")));

struct BottomUpRgb {
	GstVideoFilter parent;
	// Chosen from the input caps by setInfo and read by transformFrame. GstBaseTransform calls
	// both with the sink pad's stream lock held, so they never overlap.
	PixelLayout layout;
	YuvMatrix matrix;
};

struct BottomUpRgbClass {
	GstVideoFilterClass parent;
};

// GObject's names for the type's functions, which this macro declares.
G_DEFINE_TYPE(BottomUpRgb, bottom_up_rgb, GST_TYPE_VIDEO_FILTER)

bool layoutOf(GstVideoFormat format, PixelLayout &layout)
{
	switch (format) {
	case GST_VIDEO_FORMAT_RGB:
		layout = PixelLayout::rgb;
		return true;
	case GST_VIDEO_FORMAT_BGR:
		layout = PixelLayout::bgr;
		return true;
	case GST_VIDEO_FORMAT_RGBx:
		layout = PixelLayout::rgbx;
		return true;
	case GST_VIDEO_FORMAT_BGRx:
		layout = PixelLayout::bgrx;
		return true;
	case GST_VIDEO_FORMAT_xRGB:
		layout = PixelLayout::xrgb;
		return true;
	case GST_VIDEO_FORMAT_xBGR:
		layout = PixelLayout::xbgr;
		return true;
	case GST_VIDEO_FORMAT_GRAY8:
		layout = PixelLayout::gray;
		return true;
	case GST_VIDEO_FORMAT_YUY2:
		layout = PixelLayout::yuyv;
		return true;
	case GST_VIDEO_FORMAT_UYVY:
		layout = PixelLayout::uyvy;
		return true;
	case GST_VIDEO_FORMAT_YVYU:
		layout = PixelLayout::yvyu;
		return true;
	case GST_VIDEO_FORMAT_I420:
	case GST_VIDEO_FORMAT_YV12:
		layout = PixelLayout::planar420;
		return true;
	case GST_VIDEO_FORMAT_NV12:
		layout = PixelLayout::nv12;
		return true;
	case GST_VIDEO_FORMAT_NV21:
		layout = PixelLayout::nv21;
		return true;
	default:
		return false;
	}
}

// The caps' own matrix and range, as videoconvert uses them. Caps that name no YUV matrix get
// BT.601's, which is what a camera that does not say means.
YuvMatrix matrixOf(const GstVideoInfo &info)
{
	gdouble kr = 0.299;
	gdouble kb = 0.114;
	gst_video_color_matrix_get_Kr_Kb(info.colorimetry.matrix, &kr, &kb);
	gint offset[GST_VIDEO_MAX_COMPONENTS];
	gint scale[GST_VIDEO_MAX_COMPONENTS];
	gst_video_color_range_offsets(info.colorimetry.range, info.finfo, offset, scale);
	return yuvMatrix(kr, kb, offset[0], scale[0], offset[1], scale[1]);
}

// Each structure of caps with the other side's formats: what it says about size, rate and
// aspect stays, while the format and what only describes it (colour matrix, chroma siting) go.
GstCaps *transformCaps(GstBaseTransform *transform, GstPadDirection direction, GstCaps *caps,
		       GstCaps *filter)
{
	GstCaps *formatless = gst_caps_new_empty();
	for (guint i = 0; i < gst_caps_get_size(caps); ++i) {
		GstStructure *structure = gst_structure_copy(gst_caps_get_structure(caps, i));
		gst_structure_remove_fields(structure, "format", "colorimetry", "chroma-site",
					    nullptr);
		GstCapsFeatures *features = gst_caps_get_features(caps, i);
		formatless = gst_caps_merge_structure_full(
			formatless, structure,
			features ? gst_caps_features_copy(features) : nullptr);
	}
	GstPad *other = direction == GST_PAD_SINK ? GST_BASE_TRANSFORM_SRC_PAD(transform)
						  : GST_BASE_TRANSFORM_SINK_PAD(transform);
	GstCaps *otherFormats = gst_pad_get_pad_template_caps(other);
	GstCaps *result =
		gst_caps_intersect_full(formatless, otherFormats, GST_CAPS_INTERSECT_FIRST);
	gst_caps_unref(otherFormats);
	gst_caps_unref(formatless);
	if (filter) {
		GstCaps *filtered =
			gst_caps_intersect_full(filter, result, GST_CAPS_INTERSECT_FIRST);
		gst_caps_unref(result);
		result = filtered;
	}
	return result;
}

gboolean setInfo(GstVideoFilter *filter, GstCaps *, GstVideoInfo *in, GstCaps *, GstVideoInfo *out)
{
	auto *self = reinterpret_cast<BottomUpRgb *>(filter);
	if (GST_VIDEO_INFO_WIDTH(in) != GST_VIDEO_INFO_WIDTH(out) ||
	    GST_VIDEO_INFO_HEIGHT(in) != GST_VIDEO_INFO_HEIGHT(out) ||
	    GST_VIDEO_INFO_FORMAT(out) != GST_VIDEO_FORMAT_RGB)
		return FALSE;
	if (!layoutOf(GST_VIDEO_INFO_FORMAT(in), self->layout))
		return FALSE;
	self->matrix = matrixOf(*in);
	return TRUE;
}

const std::uint8_t *componentData(GstVideoFrame *frame, int component)
{
	return static_cast<const std::uint8_t *>(GST_VIDEO_FRAME_COMP_DATA(frame, component));
}

GstFlowReturn transformFrame(GstVideoFilter *filter, GstVideoFrame *in, GstVideoFrame *out)
{
	auto *self = reinterpret_cast<BottomUpRgb *>(filter);
	SourcePicture picture;
	picture.layout = self->layout;
	picture.width = GST_VIDEO_FRAME_WIDTH(in);
	picture.height = GST_VIDEO_FRAME_HEIGHT(in);
	// Per frame: in interlace-mode=mixed, each buffer says whether it is interlaced.
	picture.interlaced = GST_VIDEO_FRAME_IS_INTERLACED(in);
	// The mapped frame's strides and plane addresses come from the buffer's video meta when
	// it has one: a camera's rows may be padded, and its planes need not follow each other.
	switch (self->layout) {
	case PixelLayout::planar420:
		// By component, so that YV12's planes, V before U, come in U, V order.
		for (int component = 0; component < 3; ++component) {
			picture.planes[component] = componentData(in, component);
			picture.strides[component] = static_cast<std::size_t>(
				GST_VIDEO_FRAME_COMP_STRIDE(in, component));
		}
		break;
	case PixelLayout::nv12:
	case PixelLayout::nv21:
		for (int plane = 0; plane < 2; ++plane) {
			picture.planes[plane] = static_cast<const std::uint8_t *>(
				GST_VIDEO_FRAME_PLANE_DATA(in, plane));
			picture.strides[plane] =
				static_cast<std::size_t>(GST_VIDEO_FRAME_PLANE_STRIDE(in, plane));
		}
		break;
	default:
		picture.planes[0] =
			static_cast<const std::uint8_t *>(GST_VIDEO_FRAME_PLANE_DATA(in, 0));
		picture.strides[0] = static_cast<std::size_t>(GST_VIDEO_FRAME_PLANE_STRIDE(in, 0));
		break;
	}
	convertBottomUp(picture, self->matrix,
			static_cast<std::uint8_t *>(GST_VIDEO_FRAME_PLANE_DATA(out, 0)),
			static_cast<std::size_t>(GST_VIDEO_FRAME_PLANE_STRIDE(out, 0)));
	return GST_FLOW_OK;
}

void bottom_up_rgb_class_init(BottomUpRgbClass *klass)
{
	auto *elementClass = GST_ELEMENT_CLASS(klass);
	gst_element_class_add_static_pad_template(elementClass, &sinkTemplate);
	gst_element_class_add_static_pad_template(elementClass, &srcTemplate);
	gst_element_class_set_static_metadata(
		elementClass, "Bottom-up RGB", "Filter/Converter/Video",
		"Converts a camera's frames to RGB stored bottom row first", "edge-viewer");
	GST_BASE_TRANSFORM_CLASS(klass)->transform_caps = transformCaps;
	auto *filterClass = GST_VIDEO_FILTER_CLASS(klass);
	filterClass->set_info = setInfo;
	filterClass->transform_frame = transformFrame;
}

void bottom_up_rgb_init(BottomUpRgb *self)
{
	self->layout = PixelLayout::rgb;
	self->matrix = {};
}

} // namespace

bool registerFrameConversion()
{
	static const bool registered = gst_element_register(
		nullptr, frameConversionFactory, GST_RANK_NONE, bottom_up_rgb_get_type());
	return registered;
}
