// Sees the viewer's "edge" window painted, from a thread of its own with its own X connection, as
// any other X client could: the X server reports each change of the window's contents (DAMAGE),
// and the frame code in the picture's corner says which frame it is.
#pragma once

#include <atomic>
#include <mutex>
#include <thread>

class FrameLog;

// The name of the observer's thread, by which the benchmark leaves its CPU time out of the
// viewer's.
inline constexpr char paintObserverThreadName[] = "paint-observer";

class PaintObserver
{
public:
	// log must outlive the observer.
	explicit PaintObserver(FrameLog &log);
	PaintObserver(const PaintObserver &) = delete;
	PaintObserver &operator=(const PaintObserver &) = delete;
	~PaintObserver();

	// Any thread; the first call starts watching for this process's window named "edge", later
	// calls do nothing. Waits for nothing.
	void start();

	// The thread that owns the observer; waits for the observer's thread to end. Safe to call
	// twice.
	void stop();

	// After stop(): the CPU time the observer's thread used, in ms.
	double cpuMs() const { return cpuMs_; }

private:
	void run();

	// An eventfd: stop() writes it, the observer's thread wakes on it.
	class WakeEvent
	{
	public:
		WakeEvent();
		WakeEvent(const WakeEvent &) = delete;
		WakeEvent &operator=(const WakeEvent &) = delete;
		~WakeEvent();
		int fd() const { return fd_; }

	private:
		int fd_;
	};

	FrameLog &log_;
	WakeEvent wake_;
	std::mutex startLock_; // guards thread_ while it starts
	std::thread thread_;
	std::atomic<bool> stopping_{ false }; // set by stop(), read by the observer's thread
	double cpuMs_ = 0; // written by the observer's thread before it ends; read after the join
};
