// The capture layer's delivery from an unpaced source: frames per second into a callback that
// does nothing and into the edge callback, and the process CPU each frame costs. The same source
// into a fakesink gives the source's own cost, so the difference is the layer's conversion and
// flip.
#include <chrono>
#include <string>
#include <thread>

#include <gst/gst.h>
#include <opencv2/core.hpp>

#include <benchmark/benchmark.h>

#include "capture/capture_pipeline.h"
#include "capture/gst_handles.h"
#include "frame_pipeline.h"
#include "gui_dispatch.h"

namespace {

using namespace std::chrono_literals;

const char *const formats[] = { "RGB", "YUY2", "I420" };

// Unpaced: not live, so the source makes frames as fast as they are taken.
std::string sourceOf(const benchmark::State &state, int frames)
{
	return "videotestsrc pattern=smpte num-buffers=" + std::to_string(frames) +
	       " ! video/x-raw,format=" + formats[state.range(2)] +
	       ",width=" + std::to_string(state.range(0)) +
	       ",height=" + std::to_string(state.range(1)) + ",framerate=30/1";
}

int framesPerRun(const benchmark::State &state)
{
	return state.range(0) * state.range(1) > 640 * 480 ? 60 : 120;
}

void reportFrames(benchmark::State &state, int frames)
{
	state.SetLabel(formats[state.range(2)]);
	state.counters["frames"] = frames;
	state.counters["fps"] =
		benchmark::Counter(frames, benchmark::Counter::kIsIterationInvariantRate);
}

// The source alone, into a sink that drops every buffer.
void sourceOnly(benchmark::State &state)
{
	const int frames = framesPerRun(state);
	for (auto _ : state) {
		state.PauseTiming();
		GError *rawError = nullptr;
		const GstElementPtr pipeline = sinkElement(gst_parse_launch(
			(sourceOf(state, frames) + " ! fakesink sync=false").c_str(), &rawError));
		const GErrorPtr error(rawError);
		const GstBusPtr bus(gst_element_get_bus(pipeline.get()));
		state.ResumeTiming();
		gst_element_set_state(pipeline.get(), GST_STATE_PLAYING);
		const GstMessagePtr done(gst_bus_timed_pop_filtered(
			bus.get(), GST_CLOCK_TIME_NONE,
			static_cast<GstMessageType>(GST_MESSAGE_EOS | GST_MESSAGE_ERROR)));
		state.PauseTiming();
		gst_element_set_state(pipeline.get(), GST_STATE_NULL);
		state.ResumeTiming();
	}
	reportFrames(state, frames);
}

void doNothing(const cv::Mat &)
{
}

void throughLayer(benchmark::State &state, CvcamFrameCallback callback)
{
	// No main thread drains the display work here: closed, the dispatcher drops it at once,
	// so the edge callback costs what it costs the viewer, minus the window.
	guiDispatcher().close();
	const int frames = framesPerRun(state);
	for (auto _ : state) {
		state.PauseTiming();
		std::string error;
		auto capture = CapturePipeline::create(
			CameraInfo{ .name = "bench",
				    .devicePath = {},
				    .device = nullptr,
				    .sourceDescription = sourceOf(state, frames) },
			callback, error);
		if (!capture) {
			state.SkipWithError(error.c_str());
			break;
		}
		state.ResumeTiming();
		capture->start(error);
		while (capture->framesDelivered() < static_cast<std::uint64_t>(frames))
			std::this_thread::sleep_for(200us);
		state.PauseTiming();
		capture.reset();
		state.ResumeTiming();
	}
	reportFrames(state, frames);
}

void layerNoOp(benchmark::State &state)
{
	throughLayer(state, doNothing);
}

void layerEdge(benchmark::State &state)
{
	throughLayer(state, edgeFrameCallback);
}

void cases(benchmark::internal::Benchmark *benchmark)
{
	for (const auto &[width, height] : { std::pair{ 640, 480 }, std::pair{ 1920, 1080 } })
		for (int format = 0; format < 3; ++format)
			benchmark->Args({ width, height, format });
	benchmark->ArgNames({ "w", "h", "format" })
		->MeasureProcessCPUTime()
		->UseRealTime()
		->Unit(benchmark::kMillisecond);
}

} // namespace

BENCHMARK(sourceOnly)->Apply(cases);
BENCHMARK(layerNoOp)->Apply(cases);
BENCHMARK(layerEdge)->Apply(cases);

int main(int argc, char **argv)
{
	gst_init(&argc, &argv);
	// As the viewer runs: image processing on the streaming thread alone.
	cv::setNumThreads(1);
	benchmark::Initialize(&argc, argv);
	benchmark::RunSpecifiedBenchmarks();
	benchmark::Shutdown();
	return 0;
}
