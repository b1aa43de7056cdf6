// The frame callback's per-frame work without the display, against the bare OpenCV chain it is
// made of, on the same rendered frames at common camera sizes. Also the choice of thread count.
#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include <benchmark/benchmark.h>

#include "bench_scene.h"
#include "frame_pipeline.h"
#include "picture_fit.h"

namespace {

// As the capture layer lends it: RGB, bottom row first.
cv::Mat frameOfSize(const benchmark::State &state)
{
	cv::Mat frame;
	cv::flip(detailedScene(cv::Size(static_cast<int>(state.range(0)),
					static_cast<int>(state.range(1)))),
		 frame, 0);
	return frame;
}

// The limit: what the image library itself costs for the same result.
void bareChain(benchmark::State &state)
{
	cv::setNumThreads(1);
	const cv::Mat frame = frameOfSize(state);
	for (auto _ : state) {
		cv::Mat gray(frame.size(), CV_8UC1);
		cv::cvtColor(frame, gray, cv::COLOR_RGB2GRAY);
		cv::Mat edges(frame.size(), CV_8UC1);
		cv::Canny(gray, edges, 100, 120, 3);
		cv::flip(edges, edges, 0);
		benchmark::DoNotOptimize(edges.data);
	}
}

void callbackWork(benchmark::State &state)
{
	cv::setNumThreads(1);
	const cv::Mat frame = frameOfSize(state);
	for (auto _ : state) {
		cv::Mat edges = edgeImageOf(frame, 100, 120);
		benchmark::DoNotOptimize(edges.data);
	}
}

// The fit to a 1920x1080 screen's room for the picture (1920x982 under the tool bar and sliders):
// the edge-keeping shrink of the callback's picture, which the main thread then paints instead of
// the full one.
void shrinkToScreen(benchmark::State &state)
{
	cv::setNumThreads(1);
	const cv::Mat edges = edgeImageOf(frameOfSize(state), 100, 120);
	const cv::Size size = fittedSize(edges.size(), { 1920, 982 });
	for (auto _ : state) {
		cv::Mat shown = shrinkKeepingEdges(edges, size);
		benchmark::DoNotOptimize(shown.data);
	}
}

// OpenCV's worker pool: process CPU against wall time with more than one thread.
void callbackWorkThreads(benchmark::State &state)
{
	cv::setNumThreads(static_cast<int>(state.range(2)));
	const cv::Mat frame = frameOfSize(state);
	for (auto _ : state) {
		cv::Mat edges = edgeImageOf(frame, 100, 120);
		benchmark::DoNotOptimize(edges.data);
	}
	cv::setNumThreads(1);
}

void sizes(benchmark::internal::Benchmark *benchmark)
{
	benchmark->Args({ 640, 480 })
		->Args({ 1280, 720 })
		->Args({ 1920, 1080 })
		->Args({ 3840, 2160 })
		->ArgNames({ "w", "h" })
		->MeasureProcessCPUTime()
		->UseRealTime()
		->Unit(benchmark::kMicrosecond);
}

} // namespace

BENCHMARK(bareChain)->Apply(sizes);
BENCHMARK(callbackWork)->Apply(sizes);
BENCHMARK(shrinkToScreen)
	->Args({ 1920, 1080 })
	->Args({ 3840, 2160 })
	->Args({ 4000, 3000 })
	->ArgNames({ "w", "h" })
	->MeasureProcessCPUTime()
	->UseRealTime()
	->Unit(benchmark::kMicrosecond);
BENCHMARK(callbackWorkThreads)
	->Args({ 640, 480, 1 })
	->Args({ 640, 480, 2 })
	->Args({ 1920, 1080, 1 })
	->Args({ 1920, 1080, 2 })
	->Args({ 3840, 2160, 1 })
	->Args({ 3840, 2160, 2 })
	->ArgNames({ "w", "h", "threads" })
	->MeasureProcessCPUTime()
	->UseRealTime()
	->Unit(benchmark::kMicrosecond);

BENCHMARK_MAIN();
