// The timed viewer's record of frames: which frame a painted code names, what counts as painted
// once, and the figures printed from it.
#include "frame_log.h"

#include <cstdio>
#include <cstdlib>
#include <string>

#include <gtest/gtest.h>

namespace {

// Distinct addresses standing for buffers; the log never reads them.
const char buffers[8] = {};

FrameTimes frame(std::uint64_t sequence)
{
	const auto at = static_cast<std::int64_t>(sequence) * 1'000'000;
	return FrameTimes{ .sequence = sequence, .captureNs = at, .convertedNs = at + 100 };
}

void convertCoded(FrameLog &log, std::uint64_t sequence, const void *buffer = buffers)
{
	log.converted(frame(sequence), buffer, true, 640, 480);
}

// Catches a code taken for the newest frame's: the window shows a frame some while after later
// ones were converted.
TEST(FrameLog, CodeNamesTheFrameItWasDrawnInto)
{
	FrameLog log;
	for (std::uint64_t sequence = 10; sequence < 15; ++sequence)
		convertCoded(log, sequence);
	EXPECT_TRUE(log.painted(12, 50'000'000));
	ASSERT_EQ(log.paintedFrames().size(), 1u);
	EXPECT_EQ(log.paintedFrames()[0].sequence, 12u);
	EXPECT_EQ(log.paintedFrames()[0].paintedNs, 50'000'000);
}

// Catches a wrong frame once the numbers pass what the code holds (16 bits).
TEST(FrameLog, CodeNamesItsFrameAcrossTheWrap)
{
	FrameLog log;
	for (std::uint64_t sequence = 65534; sequence < 65539; ++sequence)
		convertCoded(log, sequence);
	EXPECT_TRUE(log.painted(65535, 1));
	EXPECT_TRUE(log.painted(1, 2));
	const auto frames = log.paintedFrames();
	ASSERT_EQ(frames.size(), 2u);
	EXPECT_EQ(frames[0].sequence, 65535u);
	EXPECT_EQ(frames[1].sequence, 65537u);
}

// Catches a frame counted twice when the window changes again before the next frame, as a slider
// or a second damage report makes it.
TEST(FrameLog, FrameSeenTwiceIsShownOnce)
{
	FrameLog log;
	convertCoded(log, 3);
	EXPECT_TRUE(log.painted(3, 1));
	EXPECT_FALSE(log.painted(3, 2));
	EXPECT_FALSE(log.painted(4, 3)); // never converted
	EXPECT_EQ(log.paintedFrames().size(), 1u);
}

// Catches a change of the window taken for a frame without a code (a still's) while its edges
// are still being worked out.
TEST(FrameLog, FrameWithoutCodeIsPaintedOnlyOnceHandedOver)
{
	FrameLog log;
	log.converted(frame(0), buffers, false, 4000, 3000);
	EXPECT_FALSE(log.painted(std::nullopt, 1));
	const auto sequence = log.callbackStarted(buffers, 2);
	ASSERT_EQ(sequence, 0u);
	EXPECT_FALSE(log.painted(std::nullopt, 3));
	log.callbackEnded(*sequence, 4);
	EXPECT_TRUE(log.painted(std::nullopt, 5));
	EXPECT_FALSE(log.painted(0, 6)); // it has no code to be read
}

// Catches the callback's frame taken for the newest one converted, and a buffer the pool hands
// out again taken for the frame it held before.
TEST(FrameLog, CallbackStartFindsItsFrameByBuffer)
{
	FrameLog log;
	convertCoded(log, 1, &buffers[0]);
	convertCoded(log, 2, &buffers[1]);
	EXPECT_EQ(log.callbackStarted(&buffers[0], 10), 1u);
	convertCoded(log, 3, &buffers[0]);
	EXPECT_EQ(log.callbackStarted(&buffers[0], 20), 3u);
	EXPECT_EQ(log.callbackStarted(&buffers[2], 30), std::nullopt);
}

std::string printed(const std::vector<FrameTimes> &frames)
{
	char *text = nullptr;
	std::size_t size = 0;
	std::FILE *out = open_memstream(&text, &size);
	printFigures(frames, 1.5, out);
	std::fclose(out);
	std::string result(text, size);
	std::free(text);
	return result;
}

// Catches frames lost on the way left out of the count of frames captured, and stages measured
// between the wrong times.
TEST(FrameLog, FiguresCountDroppedFramesAndSplitTheLatency)
{
	std::vector<FrameTimes> frames;
	for (const std::uint64_t sequence : { 5, 6, 9 }) {
		const auto at = static_cast<std::int64_t>(sequence) * 100'000'000;
		frames.push_back({ .sequence = sequence,
				   .captureNs = at,
				   .convertedNs = at + 1'000'000,
				   .callbackStartNs = at + 3'000'000,
				   .callbackEndNs = at + 7'000'000,
				   .paintedNs = at + 15'000'000 });
	}
	EXPECT_EQ(printed(frames),
		  "edge-viewer timing: captured 5 shown 3 latency_p50_ms 15.00 "
		  "latency_p99_ms 15.00\n"
		  "edge-viewer stages: converted_p50_ms 1.00 converted_p99_ms 1.00 "
		  "queued_p50_ms 2.00 queued_p99_ms 2.00 callback_p50_ms 4.00 callback_p99_ms 4.00 "
		  "painted_p50_ms 8.00 painted_p99_ms 8.00 observer_cpu_ms 1.5\n");
}

} // namespace
