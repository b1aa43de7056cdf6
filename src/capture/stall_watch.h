// Notices a camera that has gone silent: a thread of its own looks at the time of the last frame,
// so that a source stuck in its start or a camera that stops sending is reported without waiting
// for GStreamer to give up.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>

class StallWatch
{
public:
	// onStall is called on the watch's thread once per silence: when no frame came for timeout
	// since start() or the last restartClock(). It must be quick and must not wait for the main
	// thread.
	StallWatch(std::chrono::milliseconds timeout, std::function<void()> onStall);
	StallWatch(const StallWatch &) = delete;
	StallWatch &operator=(const StallWatch &) = delete;
	~StallWatch();

	// Main thread. Starts the clock and the watch's thread; a watch already running starts
	// afresh.
	void start();
	// Main thread. Once it returns onStall is not running and is not called again until
	// start(). Safe to call more than once.
	void stop();

	// Any thread: a frame came, or the source began to play; the silence counts from now.
	void restartClock();

private:
	void watch();

	const std::chrono::milliseconds timeout_;
	const std::function<void()> onStall_;
	// Steady-clock time the silence counts from: written by start() and restartClock(), read by
	// the watch's thread.
	std::atomic<std::int64_t> sinceNs_{ 0 };
	// Whether onStall was called for the silence that runs now: set by the watch's thread,
	// cleared by start() and restartClock().
	std::atomic<bool> told_{ false };

	std::mutex lock_;	       // guards running_
	std::condition_variable wake_; // wakes the watch to stop
	bool running_ = false;	       // set and cleared by the main thread
	std::thread thread_;	       // started and joined by the main thread
};
