// The main-thread hand-off for GUI work and the key wait that drains it.
#include "gui_dispatch.h"

#include <algorithm>
#include <exception>
#include <thread>
#include <utility>

#include <opencv2/highgui.hpp>

namespace {

// Static initialisation runs on the main thread, before main().
const std::thread::id guiThreadId = std::this_thread::get_id();

// How long the key wait sleeps between event pumps when no work arrives. Each pump costs about
// 0.1 ms of CPU. Longer than a frame period at 30 frames/s, so while frames flow every pump
// paints a picture and none is spent on waiting; key presses and slider drags are still handled
// within 40 ms, well under what a user notices.
constexpr std::chrono::milliseconds idlePumpInterval{ 40 };

// The shortest pump highgui offers; with the Qt backend it processes events for about 1 ms.
constexpr int pumpDelayMs = 1;

} // namespace

GuiDispatcher::GuiDispatcher(std::size_t capacity) : capacity_(capacity == 0 ? 1 : capacity)
{
}

bool GuiDispatcher::post(std::function<void()> work)
{
	std::unique_lock lock(lock_);
	spaceFreed_.wait(lock, [this] { return !open_ || otherWorkCount() < capacity_; });
	if (!open_)
		return false;
	pending_.push_back({ {}, std::move(work) });
	lock.unlock();
	workPosted_.notify_one();
	return true;
}

bool GuiDispatcher::tryPost(std::function<void()> work)
{
	{
		std::lock_guard lock(lock_);
		if (!open_ || otherWorkCount() >= capacity_)
			return false;
		pending_.push_back({ {}, std::move(work) });
	}
	workPosted_.notify_one();
	return true;
}

bool GuiDispatcher::postFrame(const std::string &window, std::function<void()> work)
{
	// The frame replaced dies outside the lock and on this thread: releasing its picture may
	// return a buffer to the camera.
	std::function<void()> replaced;
	{
		std::lock_guard lock(lock_);
		if (!open_)
			return false;
		const auto older =
			std::find_if(pending_.begin(), pending_.end(),
				     [&](const Work &queued) { return queued.frameOf == window; });
		if (older != pending_.end()) {
			replaced = std::move(older->run);
			pending_.erase(older);
		}
		pending_.push_back({ window, std::move(work) });
	}
	workPosted_.notify_one();
	return true;
}

std::size_t GuiDispatcher::runPending()
{
	std::deque<Work> batch;
	{
		std::lock_guard lock(lock_);
		batch.swap(pending_);
	}
	spaceFreed_.notify_all();

	for (auto &work : batch) {
		try {
			work.run();
		} catch (const std::exception &) {
			// One failed window update must not end the key wait: the next frame
			// repaints.
		}
	}
	return batch.size();
}

void GuiDispatcher::waitForWork(std::chrono::milliseconds timeout)
{
	std::unique_lock lock(lock_);
	workPosted_.wait_for(lock, timeout, [this] { return !open_ || !pending_.empty(); });
}

void GuiDispatcher::close()
{
	std::deque<Work> dropped;
	{
		std::lock_guard lock(lock_);
		open_ = false;
		dropped.swap(pending_);
	}
	spaceFreed_.notify_all();
	workPosted_.notify_all();
	// dropped dies here, outside the lock: its images are released on the main thread.
}

void GuiDispatcher::open()
{
	std::lock_guard lock(lock_);
	open_ = true;
}

std::size_t GuiDispatcher::pendingCount() const
{
	std::lock_guard lock(lock_);
	return pending_.size();
}

std::size_t GuiDispatcher::otherWorkCount() const
{
	return static_cast<std::size_t>(
		std::count_if(pending_.begin(), pending_.end(),
			      [](const Work &work) { return work.frameOf.empty(); }));
}

GuiDispatcher &guiDispatcher()
{
	static GuiDispatcher dispatcher;
	return dispatcher;
}

bool windowVisible(const std::string &window)
{
	try {
		return cv::getWindowProperty(window, cv::WND_PROP_VISIBLE) >= 1;
	} catch (const cv::Exception &) {
		return false; // no window left at all
	}
}

bool onGuiThread()
{
	return std::this_thread::get_id() == guiThreadId;
}

int waitKeyRunningGuiWork(const std::string &window, const std::function<void()> &afterEvents)
{
	GuiDispatcher &dispatcher = guiDispatcher();
	int key = -1;
	for (;;) {
		key = cv::waitKey(pumpDelayMs);
		if (key >= 0)
			break;
		// Closing a window only hides it with some backends, and waitKey() would then wait
		// for ever with the camera still running. Checked before any queued frame runs: its
		// resize would show the window again.
		if (!windowVisible(window))
			break;
		if (afterEvents)
			afterEvents();
		// Work is run as soon as it arrives and painted by the very next pump, so a picture
		// waits neither for the pump interval nor for an extra pump. Running it straight
		// after the wait is safe: window events, a close among them, are handled only
		// inside waitKey(), so the visibility checked above still holds.
		if (dispatcher.runPending() == 0) {
			dispatcher.waitForWork(idlePumpInterval);
			dispatcher.runPending();
		}
	}
	dispatcher.close();
	return key;
}
