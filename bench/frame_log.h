// What the timed viewer learns of each frame on its way from the source to the painted window, and
// the figures it prints of them at exit.
#pragma once

#include <cstdint>
#include <cstdio>
#include <mutex>
#include <optional>
#include <vector>

// Times on the monotonic clock, GStreamer's system clock, in ns; 0 where not seen.
struct FrameTimes {
	std::uint64_t sequence = 0; // the source's frame number
	std::int64_t captureNs = 0;
	std::int64_t convertedNs = 0;	  // reached the frame callback's queue, converted
	std::int64_t callbackStartNs = 0; // left the queue for the frame callback
	std::int64_t callbackEndNs =
		0;		    // the callback returned: its picture went to the main thread
	std::int64_t paintedNs = 0; // seen painted in the "edge" window
};

// The newest frame that reached the callback's queue, as the paint observer needs to know it.
struct NewestFrame {
	bool any = false;
	bool coded = false; // carries its number as a frame code
	int width = 0;
	int height = 0;
};

// Filled from three threads at once: the conversion's, the callback's and the paint observer's.
// Keeps the newest few thousand frames; a frame is painted long before it is that old.
class FrameLog
{
public:
	FrameLog();
	FrameLog(const FrameLog &) = delete;
	FrameLog &operator=(const FrameLog &) = delete;

	// The conversion's streaming thread: a frame reached the callback's queue. buffer names it
	// until the callback takes it, and only as an address: it is never read.
	void converted(const FrameTimes &times, const void *buffer, bool coded, int width,
		       int height);

	// The callback's streaming thread: the frame in buffer goes to the callback; its sequence
	// number, or none for a buffer never seen converted.
	std::optional<std::uint64_t> callbackStarted(const void *buffer, std::int64_t nowNs);
	void callbackEnded(std::uint64_t sequence, std::int64_t nowNs);

	// The observer's thread: a frame was seen painted at nowNs, named by the low 16 bits of its
	// number read from the window, or by none for a frame without a code (only the newest,
	// once the callback is done with it). False when no frame matches or it was already seen.
	bool painted(std::optional<std::uint16_t> code, std::int64_t nowNs);
	NewestFrame newest() const;

	// Any thread: the frames seen painted, in the order painted.
	std::vector<FrameTimes> paintedFrames() const;

private:
	struct Slot {
		FrameTimes times;
		const void *buffer = nullptr;
		bool used = false;
		bool coded = false;
	};

	Slot *slotOf(std::uint64_t sequence);

	mutable std::mutex lock_; // guards every member below
	std::vector<Slot> slots_; // by sequence number, modulo their count
	std::vector<std::uint64_t> painted_;
	NewestFrame newest_;
	std::uint64_t newestSequence_ = 0;
};

// The figures of a run, on stderr: the line the benchmark has always read,
//   edge-viewer timing: captured N shown M latency_p50_ms X latency_p99_ms Y
// where captured counts the source's frames from the first painted to the last, and a second with
// p50 and p99 of each stage: capture to converted, the wait in the callback's queue, the callback,
// and hand-off to painted; then the observer's own CPU time.
void printFigures(const std::vector<FrameTimes> &frames, double observerCpuMs, std::FILE *out);

// One line per painted frame: sequence, capture, painted, converted, callback start and end (ns).
bool writeFrames(const std::vector<FrameTimes> &frames, const char *path);
