// A GStreamer video frame seen as an OpenCV image, without a copy.
#pragma once

#include <gst/gst.h>
#include <gst/video/video.h>
#include <opencv2/core.hpp>

#include "gst_handles.h"

// A mapped video frame of three 8-bit channels; unmapped when it goes out of scope.
class MappedVideoFrame
{
public:
	MappedVideoFrame(const GstVideoInfo &info, GstBuffer *buffer);
	MappedVideoFrame(const MappedVideoFrame &) = delete;
	MappedVideoFrame &operator=(const MappedVideoFrame &) = delete;
	~MappedVideoFrame();

	bool mapped() const { return mapped_; }

	// A view of the pixels with the buffer's own row step; valid while this object lives.
	cv::Mat view() const;

private:
	GstVideoFrame frame_{};
	bool mapped_ = false;
};

// Keeps info matching the sample's caps, parsing them only when they change: cached holds a
// reference, so a caps object at a reused address cannot pass for the old one. False for a
// sample without video caps.
bool knownVideoInfo(GstSample *sample, GstCapsPtr &cached, GstVideoInfo &info);
