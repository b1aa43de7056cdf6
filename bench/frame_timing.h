// Capture-to-display timing for the benchmark build only. That build defines
// EDGE_VIEWER_BENCH_BUILD; everywhere else the calls below are empty and compile to nothing, so the
// viewer itself carries no timing code and prints nothing.
#pragma once

#include <cstdint>

#ifdef EDGE_VIEWER_BENCH_BUILD

// Streaming thread, before the frame callback: the frame's sequence number and the monotonic time
// (ns) at which the source captured it.
void frameTimingCaptured(std::uint64_t sequence, std::int64_t captureNs);

// Streaming thread, inside the frame callback: the frame noted by frameTimingCaptured.
struct FrameStamp {
	std::uint64_t sequence = 0;
	std::int64_t captureNs = 0;
};
FrameStamp frameTimingCurrent();

// Main thread: the frame's picture went to the window, and the next event pump has painted
// everything shown so far.
void frameTimingShown(FrameStamp stamp);
void frameTimingPainted();

// Main thread, once the key wait has ended: one line of figures on stderr and, when
// EDGE_VIEWER_BENCH_FRAMES names a file, one line per painted frame in it: sequence number,
// capture time and paint time (monotonic ns).
void frameTimingReport();

#else

struct FrameStamp {
};
inline FrameStamp frameTimingCurrent()
{
	return {};
}
inline void frameTimingShown(FrameStamp)
{
}
inline void frameTimingPainted()
{
}
inline void frameTimingReport()
{
}

#endif
