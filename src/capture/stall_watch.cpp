// The stall watch; see the header.
#include "stall_watch.h"

#include <algorithm>
#include <utility>

#include "gst_runtime.h"

namespace {

// How often the watch looks at the time of the last frame, at most.
constexpr std::chrono::milliseconds checkInterval{ 250 };

std::int64_t steadyNowNs()
{
	return std::chrono::duration_cast<std::chrono::nanoseconds>(
		       std::chrono::steady_clock::now().time_since_epoch())
		.count();
}

} // namespace

StallWatch::StallWatch(std::chrono::milliseconds timeout, std::function<void()> onStall)
	: timeout_(timeout), onStall_(std::move(onStall))
{
}

StallWatch::~StallWatch()
{
	stop();
}

void StallWatch::start()
{
	stop();
	restartClock();
	{
		std::lock_guard guard(lock_);
		running_ = true;
	}
	thread_ = std::thread([this] { watch(); });
}

void StallWatch::stop()
{
	{
		std::lock_guard guard(lock_);
		running_ = false;
	}
	wake_.notify_all();
	if (thread_.joinable())
		thread_.join();
}

void StallWatch::restartClock()
{
	sinceNs_.store(steadyNowNs(), std::memory_order_relaxed);
	told_.store(false, std::memory_order_relaxed);
}

void StallWatch::watch()
{
	const auto interval = std::clamp<std::chrono::milliseconds>(
		timeout_ / 4, std::chrono::milliseconds{ 1 }, checkInterval);
	std::unique_lock guard(lock_);
	while (running_) {
		wake_.wait_for(guard, interval);
		if (!running_)
			break;
		const auto silent = std::chrono::nanoseconds(steadyNowNs() - sinceNs_.load());
		if (silent < timeout_ || told_.exchange(true))
			continue;
		GST_CAT_INFO(edgeViewerDebug, "no frame for %lld ms",
			     static_cast<long long>(silent.count() / 1000000));
		// Called outside the lock, so that stop() never waits for it to take the lock.
		guard.unlock();
		onStall_();
		guard.lock();
	}
}
