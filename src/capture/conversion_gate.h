// Whether a frame is worth converting for a frame callback that is still busy.
#pragma once

#include <atomic>
#include <cstdint>

// The conversion runs ahead of the callback on a thread of its own, and a converted frame that
// waits for a busy callback is replaced by the next one converted. When the callback is slower
// than the camera, most conversions would be replaced unseen (docs/performance.md has the figures
// at large sizes). The gate lets a frame through only when it can be the one the callback takes
// next, that is when the frame after it could not be converted before the callback is free. Times
// are steady-clock nanoseconds; the estimates are running means.
class ConversionGate
{
public:
	// Conversion thread, as a frame reaches the conversion. frameWaiting: a converted frame
	// is waiting for the callback. False: leave this frame out.
	bool admit(std::int64_t nowNs, bool frameWaiting);
	// Conversion thread, as the frame admitted last is handed on to the callback's queue.
	void converted(std::int64_t nowNs);

	// Callback thread, as a frame's callback starts and as it ends.
	void callbackStarted(std::int64_t nowNs);
	void callbackEnded(std::int64_t nowNs);

private:
	// Written and read by the conversion thread only.
	std::int64_t lastArrivalNs_ = 0;
	std::int64_t periodNs_ = 0;
	std::int64_t admittedAtNs_ = 0;
	std::int64_t conversionNs_ = 0;

	// Written by the callback thread; read by the conversion thread. 0: no callback running.
	std::atomic<std::int64_t> callbackStartNs_{ 0 };
	// The callback's running mean: written by the callback thread; read by the conversion
	// thread. 0: no callback has ended yet.
	std::atomic<std::int64_t> callbackNs_{ 0 };
	// Read and written by the callback thread only.
	std::int64_t callbackMeanNs_ = 0;
};
