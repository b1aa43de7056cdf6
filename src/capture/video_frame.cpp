// Video frames as OpenCV images; see the header.
#include "video_frame.h"

MappedVideoFrame::MappedVideoFrame(const GstVideoInfo &info, GstBuffer *buffer)
{
	GstVideoInfo mutableInfo = info;
	mapped_ = gst_video_frame_map(&frame_, &mutableInfo, buffer, GST_MAP_READ);
}

MappedVideoFrame::~MappedVideoFrame()
{
	if (mapped_)
		gst_video_frame_unmap(&frame_);
}

cv::Mat MappedVideoFrame::view() const
{
	return cv::Mat(GST_VIDEO_FRAME_HEIGHT(&frame_), GST_VIDEO_FRAME_WIDTH(&frame_), CV_8UC3,
		       GST_VIDEO_FRAME_PLANE_DATA(&frame_, 0),
		       static_cast<std::size_t>(GST_VIDEO_FRAME_PLANE_STRIDE(&frame_, 0)));
}

bool knownVideoInfo(GstSample *sample, GstCapsPtr &cached, GstVideoInfo &info)
{
	GstCaps *caps = gst_sample_get_caps(sample);
	if (!caps)
		return false;
	if (caps != cached.get()) {
		if (!gst_video_info_from_caps(&info, caps)) {
			cached.reset();
			return false;
		}
		cached.reset(gst_caps_ref(caps));
	}
	return true;
}
