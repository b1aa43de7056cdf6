// The options' rows: what each tuning option adds to a frame's CPU, on one thread as the viewer
// runs it at aperture 3 (at 5 and 7 it gives OpenCV a second thread, which takes wall time off
// for about the same CPU, or up to 18 % more: docs/performance.md), on the benchmarks'
// rendered scene. Prints one line per size:
//   options WxH base_ms=.. blur5_ms=.. aperture5_ms=.. aperture7_ms=.. l2_ms=.. overlay_ms=..
//   histogram_ms=.. all_ms=.. auto_once_ms=..
// base_ms is the default frame's edge work; each other key is what its option adds to it per
// frame (all_ms: every per-frame option at once, aperture 5), except auto_once_ms, spent on the
// first frame only. The histogram is counted every 250 ms, so at 30 frames/s a frame carries
// a 7.5th of a count and a drawing. The overlay is composed at the size shown on a 1920x1080
// screen. Paints are outside: the limit row has them. ROUNDS (default 5)
// sets the repetitions; each figure is a median.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "bench_scene.h"
#include "frame_pipeline.h"
#include "gradient_histogram.h"
#include "picture_fit.h"
#include "process_cpu.h"

namespace {

constexpr double framesPerHistogram = 30 * 0.25;

double median(std::vector<double> values)
{
	std::sort(values.begin(), values.end());
	return values.empty() ? 0 : values[values.size() / 2];
}

struct Case {
	const char *key;
	std::function<void()> work;
	std::vector<double> cpuMs{}; // per call, one a round
};

// The CPU ms of one call of each case's work, the median over rounds of enough calls to see it.
// Cases alternate round by round, so that a burst of load elsewhere falls on all of them alike.
void measure(std::vector<Case> &cases, int calls, int rounds)
{
	for (int round = 0; round <= rounds; ++round) {
		for (Case &each : cases) {
			const double start = processCpuMs();
			for (int call = 0; call < calls; ++call)
				each.work();
			if (round > 0) // round 0 warms the caches
				each.cpuMs.push_back((processCpuMs() - start) / calls);
		}
	}
}

void measureSize(cv::Size size, int rounds)
{
	// As the capture layer lends it: RGB, bottom row first.
	cv::Mat frame;
	cv::flip(detailedScene(size), frame, 0);
	const int calls = std::max(4, 60 * 640 * 480 / size.area());
	const auto edgesWith = [&](EdgeDetector detector, int low, int high) {
		return [&frame, detector, low, high] {
			(void)edgeImageOf(frame, low, high, detector);
		};
	};
	const cv::Mat edges = edgeImageOf(frame, 100, 120);
	// On a 1920x1080 screen a 1920x1080 picture is shrunk into the room under the tool bar and
	// the sliders (1920x982), and the overlay is composed at that size.
	const cv::Mat shown = shrinkKeepingEdges(edges, fittedSize(size, { 1920, 982 }));
	const auto histogramWith = [&](EdgeDetector detector) {
		return [&frame, detector] {
			const int maximum = thresholdMaximumFor(detector.aperture);
			(void)histogramImageOf(sampledGradientHistogram(frame, detector, maximum),
					       100, 120, maximum);
		};
	};
	const EdgeDetector every{ 5, true, 5 };
	std::vector<Case> cases;
	cases.push_back({ "base", edgesWith({}, 100, 120) });
	cases.push_back({ "blur5", edgesWith({ 3, false, 5 }, 100, 120) });
	cases.push_back({ "aperture5", edgesWith({ 5, false, 0 }, 1200, 1440) });
	cases.push_back({ "aperture7", edgesWith({ 7, false, 0 }, 16000, 19200) });
	cases.push_back({ "l2", edgesWith({ 3, true, 0 }, 100, 120) });
	cases.push_back({ "overlay", [&] {
				 (void)overlayImageOf(frame, shown);
			 } });
	cases.push_back({ "histogram", histogramWith({}) });
	cases.push_back({ "every", edgesWith(every, 1200, 1440) });
	cases.push_back({ "everyHistogram", histogramWith(every) });
	cases.push_back({ "auto", [&] {
				 (void)proposedThresholds(frame, {});
			 } });
	measure(cases, calls, rounds);
	const auto ms = [&](const char *key) {
		for (const Case &each : cases)
			if (std::string(key) == each.key)
				return median(each.cpuMs);
		return 0.0;
	};
	const double base = ms("base");
	std::printf("options %dx%d base_ms=%.3f blur5_ms=%.3f aperture5_ms=%.3f aperture7_ms=%.3f "
		    "l2_ms=%.3f overlay_ms=%.3f histogram_ms=%.3f all_ms=%.3f "
		    "auto_once_ms=%.3f\n",
		    size.width, size.height, base, ms("blur5") - base, ms("aperture5") - base,
		    ms("aperture7") - base, ms("l2") - base, ms("overlay"),
		    ms("histogram") / framesPerHistogram,
		    ms("every") - base + ms("overlay") + ms("everyHistogram") / framesPerHistogram,
		    ms("auto"));
	std::fflush(stdout);
}

} // namespace

int main()
{
	cv::setNumThreads(1);
	const char *rounds = std::getenv("ROUNDS");
	const int roundCount = rounds ? std::max(1, std::atoi(rounds)) : 5;
	for (const cv::Size size : { cv::Size(640, 480), cv::Size(1920, 1080) })
		measureSize(size, roundCount);
	return 0;
}
