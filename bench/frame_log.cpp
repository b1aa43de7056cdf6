// The timed viewer's record of each frame, and its figures.
#include "frame_log.h"

#include <algorithm>
#include <memory>

namespace {

// Frames kept: about two minutes at 30 frames/s, far more than a frame waits to be painted.
constexpr std::size_t keptFrames = 4096;

// How far back from the newest frame a buffer that leaves the callback's queue is looked for:
// the queue holds one frame, so it is one of the last few converted.
constexpr std::uint64_t queueLookBack = 16;

struct FileClose {
	void operator()(std::FILE *file) const { std::fclose(file); }
};

double percentileMs(std::vector<std::int64_t> values, double fraction)
{
	if (values.empty())
		return 0;
	const auto at = static_cast<std::size_t>(fraction * static_cast<double>(values.size() - 1));
	std::nth_element(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(at),
			 values.end());
	return static_cast<double>(values[at]) / 1e6;
}

// to - from for each frame that has both.
std::vector<std::int64_t> spans(const std::vector<FrameTimes> &frames,
				std::int64_t FrameTimes::*from, std::int64_t FrameTimes::*to)
{
	std::vector<std::int64_t> values;
	values.reserve(frames.size());
	for (const FrameTimes &frame : frames)
		if (frame.*from != 0 && frame.*to != 0)
			values.push_back(frame.*to - frame.*from);
	return values;
}

} // namespace

FrameLog::FrameLog() : slots_(keptFrames)
{
	painted_.reserve(1 << 16);
}

FrameLog::Slot *FrameLog::slotOf(std::uint64_t sequence)
{
	Slot &slot = slots_[sequence % slots_.size()];
	return slot.used && slot.times.sequence == sequence ? &slot : nullptr;
}

void FrameLog::converted(const FrameTimes &times, const void *buffer, bool coded, int width,
			 int height)
{
	std::lock_guard lock(lock_);
	slots_[times.sequence % slots_.size()] =
		Slot{ .times = times, .buffer = buffer, .used = true, .coded = coded };
	newest_ = NewestFrame{ .any = true, .coded = coded, .width = width, .height = height };
	newestSequence_ = times.sequence;
}

std::optional<std::uint64_t> FrameLog::callbackStarted(const void *buffer, std::int64_t nowNs)
{
	std::lock_guard lock(lock_);
	if (!newest_.any)
		return std::nullopt;
	const std::uint64_t oldest =
		newestSequence_ > queueLookBack ? newestSequence_ - queueLookBack : 0;
	for (std::uint64_t sequence = newestSequence_ + 1; sequence-- > oldest;) {
		Slot *slot = slotOf(sequence);
		if (slot && slot->buffer == buffer && slot->times.callbackStartNs == 0) {
			slot->times.callbackStartNs = nowNs;
			// A pooled buffer comes back for a later frame.
			slot->buffer = nullptr;
			return sequence;
		}
	}
	return std::nullopt;
}

void FrameLog::callbackEnded(std::uint64_t sequence, std::int64_t nowNs)
{
	std::lock_guard lock(lock_);
	if (Slot *slot = slotOf(sequence))
		slot->times.callbackEndNs = nowNs;
}

bool FrameLog::painted(std::optional<std::uint16_t> code, std::int64_t nowNs)
{
	std::lock_guard lock(lock_);
	if (!newest_.any)
		return false;
	// The newest frame whose number ends in the code: a painted frame was converted already.
	const std::uint64_t sequence =
		code ? newestSequence_ -
				static_cast<std::uint16_t>(
					static_cast<std::uint16_t>(newestSequence_) - *code)
		     : newestSequence_;
	Slot *slot = slotOf(sequence);
	if (!slot || slot->times.paintedNs != 0 || slot->coded != code.has_value())
		return false;
	// Without a code only the picture of a frame the callback has handed over can be its.
	if (!code && slot->times.callbackEndNs == 0)
		return false;
	slot->times.paintedNs = nowNs;
	painted_.push_back(sequence);
	return true;
}

NewestFrame FrameLog::newest() const
{
	std::lock_guard lock(lock_);
	return newest_;
}

std::vector<FrameTimes> FrameLog::paintedFrames() const
{
	std::lock_guard lock(lock_);
	std::vector<FrameTimes> frames;
	frames.reserve(painted_.size());
	for (const std::uint64_t sequence : painted_) {
		const Slot &slot = slots_[sequence % slots_.size()];
		if (slot.used && slot.times.sequence == sequence)
			frames.push_back(slot.times);
	}
	return frames;
}

void printFigures(const std::vector<FrameTimes> &frames, double observerCpuMs, std::FILE *out)
{
	// Every frame the source numbered between the first and the last painted one should have
	// been painted: the rest were dropped somewhere on the way.
	std::uint64_t captured = 0;
	if (!frames.empty()) {
		const auto [first, last] = std::minmax_element(
			frames.begin(), frames.end(), [](const FrameTimes &a, const FrameTimes &b) {
				return a.sequence < b.sequence;
			});
		captured = last->sequence - first->sequence + 1;
	}
	const auto latency = spans(frames, &FrameTimes::captureNs, &FrameTimes::paintedNs);
	std::fprintf(out,
		     "edge-viewer timing: captured %llu shown %zu latency_p50_ms %.2f "
		     "latency_p99_ms %.2f\n",
		     static_cast<unsigned long long>(captured), frames.size(),
		     percentileMs(latency, 0.5), percentileMs(latency, 0.99));

	const auto converted = spans(frames, &FrameTimes::captureNs, &FrameTimes::convertedNs);
	const auto queued = spans(frames, &FrameTimes::convertedNs, &FrameTimes::callbackStartNs);
	const auto callback =
		spans(frames, &FrameTimes::callbackStartNs, &FrameTimes::callbackEndNs);
	const auto painted = spans(frames, &FrameTimes::callbackEndNs, &FrameTimes::paintedNs);
	std::fprintf(out,
		     "edge-viewer stages: converted_p50_ms %.2f converted_p99_ms %.2f "
		     "queued_p50_ms %.2f queued_p99_ms %.2f callback_p50_ms %.2f "
		     "callback_p99_ms %.2f painted_p50_ms %.2f painted_p99_ms %.2f "
		     "observer_cpu_ms %.1f\n",
		     percentileMs(converted, 0.5), percentileMs(converted, 0.99),
		     percentileMs(queued, 0.5), percentileMs(queued, 0.99),
		     percentileMs(callback, 0.5), percentileMs(callback, 0.99),
		     percentileMs(painted, 0.5), percentileMs(painted, 0.99), observerCpuMs);
}

bool writeFrames(const std::vector<FrameTimes> &frames, const char *path)
{
	const std::unique_ptr<std::FILE, FileClose> file(std::fopen(path, "w"));
	if (!file)
		return false;
	for (const FrameTimes &frame : frames)
		std::fprintf(file.get(), "%llu %lld %lld %lld %lld %lld\n",
			     static_cast<unsigned long long>(frame.sequence),
			     static_cast<long long>(frame.captureNs),
			     static_cast<long long>(frame.paintedNs),
			     static_cast<long long>(frame.convertedNs),
			     static_cast<long long>(frame.callbackStartNs),
			     static_cast<long long>(frame.callbackEndNs));
	return std::fflush(file.get()) == 0;
}
