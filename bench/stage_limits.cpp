// The limit row: the CPU each bare stage of a frame costs, one thread each as the viewer runs them,
// on the test pattern's own picture, summed per size into what a frame cannot cost less than.
// Prints one line per size, the CPU of this process per frame:
//   limit WxH convert_ms=.. grey_ms=.. canny_ms=.. flip_ms=.. scale_ms=.. paint_edge_ms=..
//   paint_preview_ms=.. sum_ms=.. [paint_edge_xserver_ms=.. paint_preview_xserver_ms=..]
// A paint's share in the X server is outside the sum; it is added when the server is a sibling
// Xvfb. Needs a display. ROUNDS (default 5) sets the repetitions; each figure is a median.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include <gst/app/gstappsink.h>
#include <gst/gst.h>
#include <gst/video/video.h>
#include <opencv2/core.hpp>
#include <opencv2/highgui.hpp>
#include <opencv2/imgproc.hpp>

#include "capture/camera_list.h"
#include "capture/gst_handles.h"
#include "capture/preview_window.h"
#include "capture/rgb_rows.h"
#include "process_cpu.h"

namespace {

constexpr int cannyLow = 100;
constexpr int cannyHigh = 120;
constexpr int cannyAperture = 3;
constexpr int flipAboutHorizontalAxis = 0;
const cv::Size previewSize(640, 480);

// The viewer's own window layouts: the edge window sized by its picture with the tool bar, the
// status bar and both sliders; the preview without tools at the rendering size.
constexpr char edgeTitle[] = "edge";
constexpr char previewTitle[] = "preview";

// One YUY2 frame of the viewer's test pattern at size, as a camera would send it.
cv::Mat testPatternFrame(cv::Size size)
{
	const std::string description =
		testPatternCamera().sourceDescription +
		" ! videoconvert ! video/x-raw,format=YUY2,width=" + std::to_string(size.width) +
		",height=" + std::to_string(size.height) + " ! appsink name=sink max-buffers=1";
	GError *rawError = nullptr;
	const GstElementPtr pipeline =
		sinkElement(gst_parse_launch(description.c_str(), &rawError));
	const GErrorPtr error(rawError);
	if (!pipeline || error)
		return {};
	const GstElementPtr sink(gst_bin_get_by_name(GST_BIN(pipeline.get()), "sink"));
	gst_element_set_state(pipeline.get(), GST_STATE_PLAYING);
	const GstSamplePtr sample(
		gst_app_sink_try_pull_sample(GST_APP_SINK(sink.get()), 10 * GST_SECOND));
	cv::Mat frame;
	GstVideoInfo info;
	if (sample && gst_video_info_from_caps(&info, gst_sample_get_caps(sample.get()))) {
		GstBuffer *buffer = gst_sample_get_buffer(sample.get());
		GstMapInfo map;
		if (gst_buffer_map(buffer, &map, GST_MAP_READ)) {
			// Two bytes a pixel; copied, so the frame outlives the pipeline.
			cv::Mat(size, CV_8UC2, map.data + GST_VIDEO_INFO_PLANE_OFFSET(&info, 0),
				static_cast<std::size_t>(GST_VIDEO_INFO_PLANE_STRIDE(&info, 0)))
				.copyTo(frame);
			gst_buffer_unmap(buffer, &map);
		}
	}
	gst_element_set_state(pipeline.get(), GST_STATE_NULL);
	return frame;
}

struct Stage {
	const char *key;
	cv::Size picture; // the size it works on, which sets how often it runs in a round
	bool paint;	  // its X server CPU is reported too
	std::function<void()> run;
	std::vector<double> cpuMs{};
	double xserverMs = 0;
	int xserverRuns = 0;
};

double median(std::vector<double> values)
{
	std::sort(values.begin(), values.end());
	return values.empty() ? 0 : values[values.size() / 2];
}

void makeWindows(cv::Size frameSize)
{
	cv::namedWindow(edgeTitle, cv::WINDOW_AUTOSIZE);
	cv::createTrackbar("T1", edgeTitle, nullptr, 1000);
	cv::createTrackbar("T2", edgeTitle, nullptr, 1000);
	cv::setTrackbarPos("T1", edgeTitle, cannyLow);
	cv::setTrackbarPos("T2", edgeTitle, cannyHigh);
	cv::namedWindow(previewTitle,
			cv::WINDOW_NORMAL | cv::WINDOW_KEEPRATIO | cv::WINDOW_GUI_NORMAL);
	cv::resizeWindow(previewTitle, previewSize.width, previewSize.height);
	// The first paint at a new size lays the window out again; it is not a frame's cost.
	cv::imshow(edgeTitle, cv::Mat(frameSize, CV_8UC1, cv::Scalar::all(0)));
	cv::imshow(previewTitle, cv::Mat(previewSize, CV_8UC3, cv::Scalar::all(0)));
	for (int pump = 0; pump < 10; ++pump)
		cv::waitKey(1);
}

void measureSize(cv::Size size, int rounds, pid_t xserver)
{
	const cv::Mat camera = testPatternFrame(size);
	if (camera.empty()) {
		std::fprintf(stderr, "stage_limits: failed to make a %dx%d test pattern frame\n",
			     size.width, size.height);
		std::exit(1);
	}
	// Outputs made once, as a steady stream reuses them; the viewer's allocator keeps freed
	// frames for reuse too.
	cv::Mat frame(size, CV_8UC3);
	cv::Mat grey(size, CV_8UC1);
	cv::Mat edges(size, CV_8UC1);
	cv::Mat preview(previewSize, CV_8UC3);

	makeWindows(size);
	std::vector<Stage> stages;
	// The callback's frame: RGB, bottom row first, by the capture layer's own conversion, with
	// the matrix GStreamer gives frames of that size when the caps name none (BT.709 above 576
	// rows), in limited range.
	SourcePicture picture;
	picture.layout = PixelLayout::yuyv;
	picture.width = size.width;
	picture.height = size.height;
	picture.planes[0] = camera.data;
	picture.strides[0] = camera.step[0];
	const YuvMatrix matrix = size.height > 576 ? yuvMatrix(0.2126, 0.0722, 16, 219, 128, 224)
						   : yuvMatrix(0.299, 0.114, 16, 219, 128, 224);
	stages.push_back({ "convert", size, false, [&] {
				  convertBottomUp(picture, matrix, frame.data, frame.step[0]);
			  } });
	stages.push_back({ "grey", size, false, [&] {
				  cv::cvtColor(frame, grey, cv::COLOR_RGB2GRAY);
			  } });
	stages.push_back({ "canny", size, false, [&] {
				  cv::Canny(grey, edges, cannyLow, cannyHigh, cannyAperture);
			  } });
	stages.push_back({ "flip", size, false, [&] {
				  cv::flip(edges, edges, flipAboutHorizontalAxis);
			  } });
	// The preview's picture from the converted frame: scaled, upright, in the window's colours.
	stages.push_back({ "scale", size, false, [&] {
				  preview = previewPicture(frame, 1.0, previewSize.width,
							   previewSize.height);
			  } });
	// One paint: the picture handed over, then one pump of the event loop, which draws it.
	stages.push_back({ "paint_edge", size, true, [&] {
				  cv::imshow(edgeTitle, edges);
				  cv::waitKey(1);
			  } });
	stages.push_back({ "paint_preview", previewSize, true, [&] {
				  cv::imshow(previewTitle, preview);
				  cv::waitKey(1);
			  } });
	// Round 0 warms caches and lets the windows settle; it is not counted. Stages alternate
	// round by round, so a burst of load elsewhere falls on all of them alike.
	for (int round = 0; round <= rounds; ++round) {
		for (Stage &stage : stages) {
			// Long enough in a round for the X server's CPU, counted in ticks of 10 ms.
			const int runs =
				std::max(8, 240 * previewSize.area() / stage.picture.area());
			const double xserverStart = otherProcessCpuMs(xserver);
			const double start = processCpuMs();
			for (int run = 0; run < runs; ++run)
				stage.run();
			const double cpu = (processCpuMs() - start) / runs;
			const double xserverCpu = otherProcessCpuMs(xserver) - xserverStart;
			if (round == 0)
				continue;
			stage.cpuMs.push_back(cpu);
			stage.xserverMs += xserverCpu;
			stage.xserverRuns += runs;
		}
	}
	cv::destroyAllWindows();
	for (int pump = 0; pump < 5; ++pump)
		cv::waitKey(1);

	std::printf("limit %dx%d", size.width, size.height);
	double sum = 0;
	for (const Stage &stage : stages) {
		const double cpu = median(stage.cpuMs);
		sum += cpu;
		std::printf(" %s_ms=%.3f", stage.key, cpu);
	}
	std::printf(" sum_ms=%.3f", sum);
	if (xserver != 0)
		for (const Stage &stage : stages)
			if (stage.paint)
				std::printf(" %s_xserver_ms=%.3f", stage.key,
					    stage.xserverMs / stage.xserverRuns);
	std::printf("\n");
	std::fflush(stdout);
}

} // namespace

int main(int argc, char **argv)
{
	gst_init(&argc, &argv);
	// As the viewer runs them: every stage on one thread.
	cv::setNumThreads(1);
	const char *roundsText = std::getenv("ROUNDS");
	const int rounds = std::max(1, roundsText ? std::atoi(roundsText) : 5);
	const pid_t xserver = siblingXvfb();
	for (const cv::Size size :
	     { cv::Size(640, 480), cv::Size(1920, 1080), cv::Size(3840, 2160) })
		measureSize(size, rounds, xserver);
	return 0;
}
