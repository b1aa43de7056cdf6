// Benchmark build only: records when each frame was captured and when its edges were painted.
#include "frame_timing.h"

#ifdef EDGE_VIEWER_BENCH_BUILD

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace {

thread_local FrameStamp currentFrame; // streaming thread only

struct Painted {
	FrameStamp stamp;
	std::int64_t paintedNs = 0;
};

struct Record {
	std::vector<FrameStamp> awaitingPaint;
	std::vector<std::int64_t> latencyNs;
	std::vector<Painted> frames;
	std::uint64_t firstSequence = 0;
	std::uint64_t lastSequence = 0;
	std::uint64_t painted = 0;
	bool any = false;
};

Record &record() // main thread only
{
	static Record state;
	return state;
}

std::int64_t nowNs()
{
	return std::chrono::duration_cast<std::chrono::nanoseconds>(
		       std::chrono::steady_clock::now().time_since_epoch())
		.count();
}

double percentileMs(std::vector<std::int64_t> values, double fraction)
{
	if (values.empty())
		return 0;
	const auto at = static_cast<std::size_t>(fraction * static_cast<double>(values.size() - 1));
	std::nth_element(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(at),
			 values.end());
	return static_cast<double>(values[at]) / 1e6;
}

} // namespace

void frameTimingCaptured(std::uint64_t sequence, std::int64_t captureNs)
{
	currentFrame = FrameStamp{ sequence, captureNs };
}

FrameStamp frameTimingCurrent()
{
	return currentFrame;
}

void frameTimingShown(FrameStamp stamp)
{
	record().awaitingPaint.push_back(stamp);
}

void frameTimingPainted()
{
	Record &state = record();
	if (state.awaitingPaint.empty())
		return;
	const std::int64_t now = nowNs();
	for (const FrameStamp &stamp : state.awaitingPaint) {
		if (!state.any)
			state.firstSequence = stamp.sequence;
		state.any = true;
		state.lastSequence = std::max(state.lastSequence, stamp.sequence);
		state.latencyNs.push_back(now - stamp.captureNs);
		state.frames.push_back({ stamp, now });
		++state.painted;
	}
	state.awaitingPaint.clear();
}

void frameTimingReport()
{
	const Record &state = record();
	// Every frame the source numbered between the first and the last painted one should have
	// been painted: the rest were dropped somewhere on the way.
	const std::uint64_t captured = state.any ? state.lastSequence - state.firstSequence + 1 : 0;
	std::fprintf(stderr,
		     "edge-viewer timing: captured %llu shown %llu latency_p50_ms %.2f "
		     "latency_p99_ms %.2f\n",
		     static_cast<unsigned long long>(captured),
		     static_cast<unsigned long long>(state.painted),
		     percentileMs(state.latencyNs, 0.5), percentileMs(state.latencyNs, 0.99));

	// Every painted frame, for a benchmark that looks at a part of the run only.
	const char *path = std::getenv("EDGE_VIEWER_BENCH_FRAMES");
	if (!path)
		return;
	std::FILE *file = std::fopen(path, "w");
	if (!file)
		return;
	for (const Painted &frame : state.frames)
		std::fprintf(file, "%llu %lld %lld\n",
			     static_cast<unsigned long long>(frame.stamp.sequence),
			     static_cast<long long>(frame.stamp.captureNs),
			     static_cast<long long>(frame.paintedNs));
	std::fclose(file);
}

#endif
