// Still images and numbered image sequences as sources: recognised, decoded and checked on the
// main thread before any window opens.
#pragma once

#include <memory>
#include <string>

#include <gst/gst.h>

namespace cv {
class Mat;
}

// Whether path names a numbered sequence, such as "shots/%04d.png": one integer conversion, as
// GStreamer's multifilesrc takes it.
bool isImageSequence(const std::string &path);

// Main thread. Whether the file at path starts like an image OpenCV decodes (PNG, JPEG, BMP, TIFF,
// WebP, PNM and the like); reads only its first bytes.
bool isStillImage(const std::string &path);

// Main thread. The image at path as 8-bit RGB, bottom row first (as the frame callback takes it),
// each row step a multiple of 4 bytes as GStreamer's RGB frames have it, turned upright as its EXIF
// orientation says. A truncated or corrupt file, or one whose header claims more pixels than
// OpenCV's limit, gives null and the reason in error; the decoders' own messages are kept off
// stderr and go into that reason instead.
std::shared_ptr<const cv::Mat> decodedStill(const std::string &path, std::string &error);

// Main thread. The gst-launch description of a source that plays the sequence at 30 frames/s from
// its first number (0 or 1) and loops at its end. Its first image must decode; null description
// and the reason in error otherwise. Each image after is checked as it is read, once the pipeline
// holding the description has been through guardImageSequence().
std::string imageSequenceSource(const std::string &pattern, std::string &error);

// Main thread, before pipeline starts. Where pipeline holds a sequence's source, as
// imageSequenceSource() describes it, each of its images is decoded only when its header is within
// the size cap a still has (a fault on the bus otherwise) and is turned upright as its EXIF
// orientation says, like a still. Does nothing to another pipeline.
void guardImageSequence(GstElement *pipeline);
