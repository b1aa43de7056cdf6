// The gate before the conversion: frames a busy callback would never see are not converted.
#include "conversion_gate.h"

namespace {

// A gap this long between frames is a pause (a restart, a camera away), not the frame period; a
// callback this long was held up (the first frame, say), and taken into its mean it would have
// frames left out for dozens of callbacks after.
constexpr std::int64_t longestMeasureNs = 1'000'000'000;

// Each new measure moves a running mean by an eighth of its difference: a few frames follow a
// change of load, and one slow frame does not swing the decision.
std::int64_t runningMean(std::int64_t mean, std::int64_t sample)
{
	return mean == 0 ? sample : mean + (sample - mean) / 8;
}

} // namespace

bool ConversionGate::admit(std::int64_t nowNs, bool frameWaiting)
{
	const std::int64_t sinceLast = nowNs - lastArrivalNs_;
	if (lastArrivalNs_ != 0 && sinceLast > 0 && sinceLast < longestMeasureNs)
		periodNs_ = runningMean(periodNs_, sinceLast);
	lastArrivalNs_ = nowNs;

	// Pairs with the release in callbackStarted(): the mean then read is at least as new.
	const std::int64_t callbackStart = callbackStartNs_.load(std::memory_order_acquire);
	const std::int64_t callbackNs = callbackNs_.load(std::memory_order_relaxed);
	if (callbackStart == 0 || callbackNs == 0 || periodNs_ == 0 || conversionNs_ == 0) {
		admittedAtNs_ = nowNs;
		return true;
	}
	const std::int64_t readyNs = nowNs + conversionNs_;
	std::int64_t callbackFreeNs = callbackStart + callbackNs;
	// Converted only after the callback has taken the frame waiting now, this one waits for
	// that frame's callback too.
	if (frameWaiting && readyNs > callbackFreeNs)
		callbackFreeNs += callbackNs;
	// Left out when the next frame, converted in its turn, is ready by the time the callback is
	// free. A callback that ends early then waits for that newer frame, which is no later on
	// the screen than this one would have been; a margin here would convert a quarter of the
	// frames in vain for a callback twice as slow as the camera.
	const bool replacedUnseen = readyNs + periodNs_ <= callbackFreeNs;
	if (!replacedUnseen)
		admittedAtNs_ = nowNs;
	return !replacedUnseen;
}

void ConversionGate::converted(std::int64_t nowNs)
{
	if (admittedAtNs_ != 0 && nowNs >= admittedAtNs_)
		conversionNs_ = runningMean(conversionNs_, nowNs - admittedAtNs_);
	admittedAtNs_ = 0;
}

void ConversionGate::callbackStarted(std::int64_t nowNs)
{
	callbackStartNs_.store(nowNs, std::memory_order_release);
}

void ConversionGate::callbackEnded(std::int64_t nowNs)
{
	const std::int64_t start = callbackStartNs_.load(std::memory_order_relaxed);
	if (start != 0 && nowNs >= start && nowNs - start < longestMeasureNs) {
		callbackMeanNs_ = runningMean(callbackMeanNs_, nowNs - start);
		callbackNs_.store(callbackMeanNs_, std::memory_order_relaxed);
	}
	callbackStartNs_.store(0, std::memory_order_release);
}
