// The edge branch's conversion alone, on one thread: the GStreamer chain it had (videoconvert,
// videoflip, videoconvert) against the bottomuprgb element, each given the same frame again and
// again through a GstHarness, which runs the elements on the calling thread. OpenCV's own BT.601
// conversion plus a flip is there for scale. Then the preview's scaling to 640x480: in the
// camera's format before conversion, as the preview branch does, or from the converted frame.
//
// Other work on the machine spoils single runs: compare alternatives from the same run with
// --benchmark_enable_random_interleaving=true --benchmark_repetitions=N and take the medians.
#include <memory>
#include <string>
#include <utility>

#include <gst/check/gstharness.h>
#include <gst/gst.h>
#include <gst/video/video.h>
#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include <benchmark/benchmark.h>

#include "capture/frame_conversion.h"
#include "capture/gst_handles.h"

namespace {

struct HarnessTeardown {
	void operator()(GstHarness *harness) const { gst_harness_teardown(harness); }
};
using GstHarnessPtr = std::unique_ptr<GstHarness, HarnessTeardown>;

const char *const formats[] = { "YUY2", "I420", "NV12" };

const std::string oldChain =
	"videoconvert ! videoflip video-direction=vert ! videoconvert chroma-mode=none";
const std::string elementChain = std::string("videoconvert ! ") + frameConversionFactory;
const std::string scaledInCameraFormat =
	"videoscale ! capsfilter caps=video/x-raw,width=640,height=480"
	" ! videoconvert chroma-mode=none";

struct Frame {
	GstBufferPtr buffer;
	GstCapsPtr caps;
};

// One frame of the test pattern, in the benchmark's format and size.
Frame testFrame(const benchmark::State &state)
{
	const std::string description =
		"videotestsrc pattern=smpte num-buffers=1 ! capsfilter caps=video/x-raw,format=" +
		std::string(formats[state.range(2)]) + ",width=" + std::to_string(state.range(0)) +
		",height=" + std::to_string(state.range(1));
	const GstHarnessPtr harness(gst_harness_new_parse(description.c_str()));
	gst_harness_play(harness.get());
	GstBufferPtr buffer(gst_harness_pull(harness.get()));
	GstCapsPtr caps(gst_pad_get_current_caps(harness->sinkpad));
	return Frame{ std::move(buffer), std::move(caps) };
}

GstHarnessPtr harnessFor(const std::string &chain, const Frame &frame, const char *outputCaps)
{
	GstHarnessPtr harness(gst_harness_new_parse(chain.c_str()));
	gst_harness_set_src_caps(harness.get(), gst_caps_ref(frame.caps.get()));
	gst_harness_set_sink_caps_str(harness.get(), outputCaps);
	return harness;
}

// Each iteration converts one frame; the output goes back to the chain's pool at once, as the
// viewer's callback gives it back.
void throughChain(benchmark::State &state, const std::string &chain, const char *outputCaps)
{
	const Frame frame = testFrame(state);
	const GstHarnessPtr harness = harnessFor(chain, frame, outputCaps);
	for (auto _ : state) {
		const GstBufferPtr output(gst_harness_push_and_pull(
			harness.get(), gst_buffer_ref(frame.buffer.get())));
		if (!output) {
			state.SkipWithError("the chain gave no frame");
			break;
		}
	}
	state.SetLabel(formats[state.range(2)]);
}

void oldConversion(benchmark::State &state)
{
	throughChain(state, oldChain, "video/x-raw,format=RGB");
}

void elementConversion(benchmark::State &state)
{
	throughChain(state, elementChain, "video/x-raw,format=RGB");
}

// OpenCV's fixed BT.601 conversion and a flip, in two passes: not what the viewer needs above
// 576 rows (GStreamer's default there is BT.709), but the scale the issue measured against.
void opencvConversionAndFlip(benchmark::State &state)
{
	const int width = static_cast<int>(state.range(0));
	const int height = static_cast<int>(state.range(1));
	const int codes[] = { cv::COLOR_YUV2RGB_YUY2, cv::COLOR_YUV2RGB_I420,
			      cv::COLOR_YUV2RGB_NV12 };
	const bool packed = state.range(2) == 0;
	const cv::Mat source = packed ? cv::Mat(height, width, CV_8UC2, cv::Scalar(128, 64))
				      : cv::Mat(height * 3 / 2, width, CV_8UC1, cv::Scalar(100));
	cv::Mat rgb(height, width, CV_8UC3);
	cv::Mat flipped(height, width, CV_8UC3);
	for (auto _ : state) {
		cv::cvtColor(source, rgb, codes[state.range(2)]);
		cv::flip(rgb, flipped, 0);
		benchmark::DoNotOptimize(flipped.data);
	}
	state.SetLabel(formats[state.range(2)]);
}

// The preview as it is: scaled in the camera's format, then converted to BGR.
void previewScaledFirst(benchmark::State &state)
{
	throughChain(state, scaledInCameraFormat, "video/x-raw,format=BGR");
}

// The preview from the frame the edge branch converted anyway (RGB, bottom row first): scaled
// with OpenCV, then turned into BGR top row first at 640x480. INTER_AREA averages every source
// pixel; INTER_LINEAR, like videoscale's default bilinear, reads two of each row and column.
void previewFromConvertedFrame(benchmark::State &state, int interpolation)
{
	const Frame frame = testFrame(state);
	const GstHarnessPtr harness = harnessFor(elementChain, frame, "video/x-raw,format=RGB");
	const GstBufferPtr converted(
		gst_harness_push_and_pull(harness.get(), gst_buffer_ref(frame.buffer.get())));
	const GstCapsPtr caps(gst_pad_get_current_caps(harness->sinkpad));
	GstVideoInfo info;
	GstVideoFrame mapped;
	if (!converted || !caps || !gst_video_info_from_caps(&info, caps.get()) ||
	    !gst_video_frame_map(&mapped, &info, converted.get(), GST_MAP_READ)) {
		state.SkipWithError("no converted frame");
		return;
	}
	const cv::Mat rgb(info.height, info.width, CV_8UC3, GST_VIDEO_FRAME_PLANE_DATA(&mapped, 0),
			  static_cast<std::size_t>(GST_VIDEO_FRAME_PLANE_STRIDE(&mapped, 0)));
	cv::Mat small(480, 640, CV_8UC3);
	cv::Mat bgr(480, 640, CV_8UC3);
	for (auto _ : state) {
		cv::resize(rgb, small, small.size(), 0, 0, interpolation);
		cv::cvtColor(small, bgr, cv::COLOR_RGB2BGR);
		cv::flip(bgr, bgr, 0);
		benchmark::DoNotOptimize(bgr.data);
	}
	gst_video_frame_unmap(&mapped);
	state.SetLabel(formats[state.range(2)]);
}

void conversionCases(benchmark::internal::Benchmark *benchmark)
{
	for (const auto &[width, height] :
	     { std::pair{ 640, 480 }, std::pair{ 1920, 1080 }, std::pair{ 3840, 2160 } })
		for (int format = 0; format < 3; ++format)
			benchmark->Args({ width, height, format });
	benchmark->ArgNames({ "w", "h", "format" })->Unit(benchmark::kMillisecond);
}

void previewCases(benchmark::internal::Benchmark *benchmark)
{
	for (const auto &[width, height] : { std::pair{ 1920, 1080 }, std::pair{ 3840, 2160 } })
		for (int format = 0; format < 2; ++format)
			benchmark->Args({ width, height, format });
	benchmark->ArgNames({ "w", "h", "format" })->Unit(benchmark::kMillisecond);
}

} // namespace

BENCHMARK(oldConversion)->Apply(conversionCases);
BENCHMARK(elementConversion)->Apply(conversionCases);
BENCHMARK(opencvConversionAndFlip)->Apply(conversionCases);
BENCHMARK(previewScaledFirst)->Apply(previewCases);
BENCHMARK_CAPTURE(previewFromConvertedFrame, area, cv::INTER_AREA)->Apply(previewCases);
BENCHMARK_CAPTURE(previewFromConvertedFrame, linear, cv::INTER_LINEAR)->Apply(previewCases);

int main(int argc, char **argv)
{
	gst_init(&argc, &argv);
	// As the viewer runs: image processing on the calling thread alone.
	cv::setNumThreads(1);
	if (!registerFrameConversion())
		return 1;
	benchmark::Initialize(&argc, argv);
	benchmark::RunSpecifiedBenchmarks();
	benchmark::Shutdown();
	return 0;
}
