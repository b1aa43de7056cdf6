// Camera discovery through GStreamer's real device monitor, on the fake camera plugin fed with the
// caps real webcams reported (tests/fake_camera/webcams.ini names where each came from): the list,
// the format page built from a device's caps, and capture from each device.
#include "capture/camera_list.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <set>
#include <string>
#include <thread>

#include <unistd.h>

#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include <gtest/gtest.h>

#include "capture/capture_pipeline.h"
#include "capture/capture_source.h"
#include "capture/video_formats.h"
#include "wait_until.h"

using namespace std::chrono_literals;

namespace {

std::atomic<int> framesSeen{ 0 };  // written by the streaming thread, read by the test
std::atomic<int> frameWidth{ 0 };  // likewise
std::atomic<int> frameHeight{ 0 }; // likewise

void countFrame(const cv::Mat &frame)
{
	frameWidth = frame.cols;
	frameHeight = frame.rows;
	++framesSeen;
}

// The first frame's edges, as the viewer's default thresholds see them, and whether later ones
// differed.
std::mutex edgesLock;
cv::Mat firstEdges; // guarded by edgesLock
// Whether any frame since the first had other edges; guarded by edgesLock. Not the latest frame
// alone: a pattern that repeats every few frames of its scroll (the checkers, every fourth) gives
// the first frame's edges again whenever the frames left out in between happen to be that many.
bool edgesMoved = false;

void keepEdges(const cv::Mat &frame)
{
	cv::Mat grey;
	cv::Mat edges;
	cv::cvtColor(frame, grey, cv::COLOR_RGB2GRAY);
	cv::Canny(grey, edges, 100, 120);
	std::lock_guard lock(edgesLock);
	if (firstEdges.empty())
		firstEdges = edges;
	else if (cv::countNonZero(edges != firstEdges) > 0)
		edgesMoved = true;
	++framesSeen;
}

class Discovery : public testing::Test
{
protected:
	void SetUp() override
	{
		static const bool loaded =
			gst_registry_scan_path(gst_registry_get(), EDGE_VIEWER_FAKE_CAMERA_DIR);
		ASSERT_TRUE(loaded || gst_registry_find_plugin(gst_registry_get(), "fakecamera"))
			<< "the fake camera plugin is not in " EDGE_VIEWER_FAKE_CAMERA_DIR;
		useCameras(EDGE_VIEWER_WEBCAMS);
	}
	void TearDown() override
	{
		unsetenv("EDGE_VIEWER_FAKE_CAMERAS");
		if (!cameraFile_.empty())
			std::remove(cameraFile_.c_str());
	}

	static void useCameras(const std::string &keyFile)
	{
		setenv("EDGE_VIEWER_FAKE_CAMERAS", keyFile.c_str(), 1);
	}

	// A key file of the test's own, from its text; of its process's own too, since the fake
	// reads it again whenever it starts, and a test of the same name may run beside it (another
	// build's).
	void useCamerasText(const std::string &text)
	{
		cameraFile_ = testing::TempDir() + "cameras-" +
			      testing::UnitTest::GetInstance()->current_test_info()->name() + "-" +
			      std::to_string(getpid()) + ".ini";
		std::ofstream(cameraFile_) << text;
		useCameras(cameraFile_);
	}

	std::string cameraFile_;

	static const CameraInfo *named(const std::vector<CameraInfo> &cameras,
				       const std::string &name)
	{
		for (const CameraInfo &camera : cameras)
			if (camera.name == name)
				return &camera;
		return nullptr;
	}
};

std::multiset<std::string> namesOf(const std::vector<CameraInfo> &cameras)
{
	std::multiset<std::string> names;
	for (const CameraInfo &camera : cameras)
		names.insert(camera.name);
	return names;
}

} // namespace

// Catches a camera missed, and a PipeWire camera, which has no device.path, shown without its
// device node. The BRIO's metadata node, which has no caps, never reaches the list: the monitor
// drops it (CameraOf below checks the list's own filter).
TEST_F(Discovery, FindsEveryWebcamOnceWithItsPathAndNeverTheMetadataNode)
{
	const std::vector<CameraInfo> cameras = findCameras();
	EXPECT_EQ(namesOf(cameras),
		  (std::multiset<std::string>{ "USB_Camera (V4L2)", "VOLERS HD CAMERA", "HD Webcam",
					       "Logitech BRIO" }));
	const CameraInfo *pipewire = named(cameras, "USB_Camera (V4L2)");
	ASSERT_NE(pipewire, nullptr);
	EXPECT_EQ(pipewire->devicePath, "/dev/video2");
	const CameraInfo *v4l2 = named(cameras, "VOLERS HD CAMERA");
	ASSERT_NE(v4l2, nullptr);
	EXPECT_EQ(v4l2->devicePath, "/dev/video0");
	for (const CameraInfo &camera : cameras)
		EXPECT_TRUE(camera.device) << camera.name << " has no device to make its source";
}

// Catches one camera listed twice: a V4L2 node PipeWire offers too, and a libcamera camera that
// PipeWire also reaches through libcamera (its api.libcamera.path is libcamera's name for it).
// Two cameras of the same model on different nodes stay two. Where PipeWire offers the camera, its
// node is the one listed, whichever provider the monitor asked first, and the V4L2 node is kept to
// fall back on.
TEST_F(Discovery, ACameraOfferedByTwoProvidersIsListedOnce)
{
	const std::string yuy2 = "caps=video/x-raw, format=YUY2, width=640, height=480, "
				 "framerate=30/1\n";
	useCamerasText("[Integrated Camera]\n" + yuy2 +
		       "properties=v4l2deviceprovider, device.path=/dev/video0\n"
		       "[Integrated Camera (V4L2)]\n" +
		       yuy2 +
		       "properties=pipewire-proplist, api.v4l2.path=/dev/video0, "
		       "object.path=\"v4l2:/dev/video0\"\n"
		       "[/base/soc/i2c0mux/i2c@1/imx219@10]\nclass=Source/Video\n"
		       "caps=video/x-raw, format=NV21, width=640, height=480\n"
		       "[imx219]\ncaps=video/x-raw, format=NV21, width=640, height=480\n"
		       "properties=pipewire-proplist, "
		       "api.libcamera.path=\"/base/soc/i2c0mux/i2c@1/imx219@10\"\n"
		       "[Twin camera]\n" +
		       yuy2 + "properties=v4l2deviceprovider, device.path=/dev/video8\n" +
		       "[Twin camera 2]\nname=Twin camera\n" + yuy2 +
		       "properties=v4l2deviceprovider, device.path=/dev/video10\n");
	const std::vector<CameraInfo> cameras = findCameras();
	std::string listed;
	for (const CameraInfo &camera : cameras)
		listed += " [" + camera.name + " at " + cameraIdentity(camera) + "]";
	EXPECT_EQ(cameras.size(), 4u) << listed;
	const CameraInfo *integrated = named(cameras, "Integrated Camera (V4L2)");
	ASSERT_NE(integrated, nullptr) << "PipeWire's node is not the one listed:" << listed;
	ASSERT_TRUE(integrated->device && integrated->fallbackDevice);
	EXPECT_TRUE(offeredByPipeWire(integrated->device.get()));
	const std::optional<CameraInfo> fallback = cameraOf(integrated->fallbackDevice.get());
	ASSERT_TRUE(fallback);
	EXPECT_EQ(fallback->name, "Integrated Camera");
	EXPECT_EQ(fallback->devicePath, "/dev/video0");
	// A camera only one provider offers has nothing to fall back on.
	const CameraInfo *twin = named(cameras, "Twin camera");
	ASSERT_NE(twin, nullptr);
	EXPECT_FALSE(twin->fallbackDevice);
}

// Catches a PipeWire camera's source left lending PipeWire's own memory (always-copy unset):
// PipeWire unmaps it when the camera goes or renegotiates, under a frame still waiting in the
// preview's queue, and the viewer crashes. The fake source has pipewiresrc's property.
TEST_F(Discovery, APipeWireCamerasSourceCopiesItsFrames)
{
	useCamerasText("[Front]\nname=Integrated Camera\n"
		       "caps=video/x-raw, format=NV12, width=640, height=480\n"
		       "properties=pipewire-proplist, device.api=libcamera\n");
	const std::vector<CameraInfo> cameras = findCameras();
	ASSERT_EQ(cameras.size(), 1u);
	ASSERT_TRUE(offeredByPipeWire(cameras[0].device.get()));
	std::string error;
	const GstElementPtr pipeline = sourcePipeline(cameras[0], "fakesink", error);
	ASSERT_TRUE(pipeline) << error;
	GstIterator *sources = gst_bin_iterate_sources(GST_BIN(pipeline.get()));
	GValue item = G_VALUE_INIT;
	ASSERT_EQ(gst_iterator_next(sources, &item), GST_ITERATOR_OK);
	gboolean alwaysCopy = FALSE;
	g_object_get(g_value_get_object(&item), "always-copy", &alwaysCopy, nullptr);
	g_value_unset(&item);
	gst_iterator_free(sources);
	EXPECT_TRUE(alwaysCopy);
}

namespace {

// A device as a provider announces it, with the caps given (none for null).
GstDevicePtr deviceWithCaps(const char *caps)
{
	static const GType type = g_type_register_static_simple(
		GST_TYPE_DEVICE, "EdgeViewerListedDevice", sizeof(GstDeviceClass), nullptr,
		sizeof(GstDevice), nullptr, GTypeFlags{});
	const GstCapsPtr parsed(caps ? gst_caps_from_string(caps) : nullptr);
	auto *device = static_cast<GstDevice *>(g_object_new(type, "display-name", "Device",
							     "device-class", "Video/Source", "caps",
							     parsed.get(), nullptr));
	return GstDevicePtr(GST_DEVICE(gst_object_ref_sink(device)));
}

} // namespace

// Catches a Video/Source that sends no picture (a UVC camera's metadata node, a capture card's
// sound) taken for a camera: only raw video or JPEG among its caps makes one. The device monitor
// drops a device without caps before the list sees it, so they are handed to the list's check
// here.
TEST(CameraOf, OnlyADeviceOfferingRawVideoOrJpegIsACamera)
{
	for (const char *caps :
	     { "audio/x-raw, format=S16LE, rate=48000, channels=2", "ANY", "EMPTY" })
		EXPECT_FALSE(cameraOf(deviceWithCaps(caps).get())) << caps;
	EXPECT_FALSE(cameraOf(deviceWithCaps(nullptr).get())) << "no caps";
	for (const char *caps :
	     { "video/x-raw, format=YUY2, width=640, height=480",
	       "image/jpeg, width=1280, height=720",
	       "audio/x-raw, rate=48000; video/x-raw, format=NV12, width=640, height=480" }) {
		const std::optional<CameraInfo> camera = cameraOf(deviceWithCaps(caps).get());
		ASSERT_TRUE(camera) << caps;
		EXPECT_EQ(camera->name, "Device");
		EXPECT_TRUE(camera->device);
	}
}

struct WebcamCase {
	const char *camera;
	std::size_t formats; // one per caps structure: each is a distinct format and size
	VideoFormat expectedDefault;
	FrameRate expectedRate;
};

// gtest's name for a case in its messages.
void PrintTo(const WebcamCase &webcam, std::ostream *out);
void PrintTo(const WebcamCase &webcam, std::ostream *out)
{
	*out << webcam.camera;
}

class Webcam : public Discovery, public testing::WithParamInterface<WebcamCase>
{
};

// Catches formats lost or doubled on the way from a real device's caps to the format page (rate
// lists, pixel-aspect-ratio, typed values, JPEG beside raw), and a default other than the size
// nearest 640x480 at up to 30 frames/s.
TEST_P(Webcam, FormatPageHoldsEveryCapsLineOnceWithASensibleDefault)
{
	const WebcamCase &webcam = GetParam();
	const std::vector<CameraInfo> cameras = findCameras();
	const CameraInfo *camera = named(cameras, webcam.camera);
	ASSERT_NE(camera, nullptr);
	const GstCapsPtr caps = capsOfferedBy(*camera);
	ASSERT_TRUE(caps);
	const std::vector<VideoFormat> formats = formatsFromCaps(caps.get());
	ASSERT_EQ(formats.size(), webcam.formats);
	ASSERT_EQ(gst_caps_get_size(caps.get()), webcam.formats);

	for (guint index = 0; index < gst_caps_get_size(caps.get()); ++index) {
		const GstStructure *line = gst_caps_get_structure(caps.get(), index);
		int width = 0;
		int height = 0;
		gst_structure_get_int(line, "width", &width);
		gst_structure_get_int(line, "height", &height);
		const bool jpeg = gst_structure_has_name(line, "image/jpeg");
		const char *pixelFormat = gst_structure_get_string(line, "format");
		std::size_t matches = 0;
		for (const VideoFormat &format : formats) {
			if (format.width != width || format.height != height ||
			    format.compressed != jpeg ||
			    (!jpeg && format.pixelFormat != (pixelFormat ? pixelFormat : "")))
				continue;
			++matches;
			// Every rate the line lists is offered.
			const GValue *rates = gst_structure_get_value(line, "framerate");
			const guint count =
				GST_VALUE_HOLDS_LIST(rates) ? gst_value_list_get_size(rates) : 1;
			EXPECT_EQ(format.rates.size(), count) << width << "x" << height;
			for (guint r = 0; r < count; ++r) {
				const GValue *rate = GST_VALUE_HOLDS_LIST(rates)
							     ? gst_value_list_get_value(rates, r)
							     : rates;
				const FrameRate expected{ gst_value_get_fraction_numerator(rate),
							  gst_value_get_fraction_denominator(
								  rate) };
				EXPECT_NE(std::find(format.rates.begin(), format.rates.end(),
						    expected),
					  format.rates.end())
					<< width << "x" << height << " lost " << expected.numerator
					<< "/" << expected.denominator;
			}
		}
		EXPECT_EQ(matches, 1u) << "caps line " << index << ": " << width << "x" << height;
	}

	const FormatChoice choice = defaultFormat(formats);
	const VideoFormat &chosen = formats[choice.format];
	EXPECT_EQ(chosen.pixelFormat, webcam.expectedDefault.pixelFormat);
	EXPECT_EQ(chosen.compressed, webcam.expectedDefault.compressed);
	EXPECT_EQ(chosen.width, webcam.expectedDefault.width);
	EXPECT_EQ(chosen.height, webcam.expectedDefault.height);
	EXPECT_EQ(choice.rate, webcam.expectedRate);
}

// Catches a device whose own source cannot deliver its default format to the frame callback:
// JPEG must reach it decoded, at the chosen size.
TEST_P(Webcam, DeviceDeliversItsDefaultFormat)
{
	const WebcamCase &webcam = GetParam();
	const std::vector<CameraInfo> cameras = findCameras();
	const CameraInfo *camera = named(cameras, webcam.camera);
	ASSERT_NE(camera, nullptr);
	const GstCapsPtr caps = capsOfferedBy(*camera);
	const std::vector<VideoFormat> formats = formatsFromCaps(caps.get());
	ASSERT_FALSE(formats.empty());
	const FormatChoice choice = defaultFormat(formats);
	CaptureOptions options;
	options.caps = capsText(formats[choice.format], choice.rate);
	options.stallTimeout = 60s;
	framesSeen = 0;
	std::string error;
	auto pipeline = CapturePipeline::create(*camera, countFrame, error, options);
	ASSERT_TRUE(pipeline) << error;
	ASSERT_TRUE(pipeline->start(error)) << error;
	const auto arrived =
		waitUntil([] { return framesSeen >= 3; }, "3 frames of " + options.caps);
	pipeline->stop();
	ASSERT_TRUE(arrived);
	EXPECT_EQ(frameWidth.load(), formats[choice.format].width);
	EXPECT_EQ(frameHeight.load(), formats[choice.format].height);
}

INSTANTIATE_TEST_SUITE_P(
	RealCaps, Webcam,
	testing::Values(
		WebcamCase{ "USB_Camera (V4L2)", 16, { "YUY2", false, 640, 480, {} }, { 30, 1 } },
		WebcamCase{ "VOLERS HD CAMERA", 5, { "YUY2", false, 640, 480, {} }, { 30, 1 } },
		// Its raw sizes are all far from 640x480; JPEG has it exactly.
		WebcamCase{ "HD Webcam", 11, { "MJPG", true, 640, 480, {} }, { 30, 1 } },
		// MJPEG only; the nearest size offers 90 and 60 before 30.
		WebcamCase{ "Logitech BRIO", 6, { "MJPG", true, 1280, 720, {} }, { 30, 1 } }),
	[](const testing::TestParamInfo<WebcamCase> &param) {
		std::string name;
		for (const char *c = param.param.camera; *c; ++c)
			if (std::isalnum(static_cast<unsigned char>(*c)))
				name += *c;
		return name;
	});

// Catches a fake camera whose picture has no edges or stands still (videotestsrc's zone plate at
// its default settings is flat grey), wherever the camera stands in the key file: a test on it
// could not tell a frozen picture from a live one. Eight places cover every pattern and a repeat.
TEST_F(Discovery, EveryFakeCameraShowsEdgesThatMove)
{
	constexpr int places = 8;
	std::string text;
	for (int place = 0; place < places; ++place)
		text += "[Camera " + std::to_string(place) +
			"]\ncaps=video/x-raw, format=YUY2, width=320, height=240, framerate=30/1\n";
	useCamerasText(text);
	const std::vector<CameraInfo> cameras = findCameras();
	ASSERT_EQ(cameras.size(), std::size_t{ places });
	for (const CameraInfo &camera : cameras) {
		{
			std::lock_guard lock(edgesLock);
			firstEdges.release();
			edgesMoved = false;
		}
		framesSeen = 0;
		CaptureOptions options;
		options.stallTimeout = 60s;
		std::string error;
		auto pipeline = CapturePipeline::create(camera, keepEdges, error, options);
		ASSERT_TRUE(pipeline) << camera.name << ": " << error;
		ASSERT_TRUE(pipeline->start(error)) << camera.name << ": " << error;
		// A third of a second of picture.
		const auto arrived =
			waitUntil([] { return framesSeen >= 10; }, "10 frames of " + camera.name);
		pipeline->stop();
		ASSERT_TRUE(arrived);
		std::lock_guard lock(edgesLock);
		// A hundredth of the picture; the sparsest pattern, the colour bars, has several
		// times that.
		EXPECT_GT(cv::countNonZero(firstEdges), 320 * 240 / 100) << camera.name;
		EXPECT_TRUE(edgesMoved) << camera.name << ": its edges did not move";
	}
}
