// GUI work posted from any thread and run later on the main thread, which owns every window.
//
// The GUI toolkit accepts window calls only on its own thread, and a streaming thread blocked in
// a cross-thread GUI call while the main thread stops capture deadlocks. So other threads post
// closures here; the main thread's key wait runs them in posting order. A live picture is posted
// as a frame of its window: a newer frame replaces that window's frame still waiting, so the main
// thread always shows the newest picture and never holds up the thread that made it.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <string>

class GuiDispatcher
{
public:
	static constexpr std::size_t defaultCapacity = 3;

	explicit GuiDispatcher(std::size_t capacity = defaultCapacity);
	GuiDispatcher(const GuiDispatcher &) = delete;
	GuiDispatcher &operator=(const GuiDispatcher &) = delete;

	// Any thread but the one that runs the work. While open, queues work, waiting while the
	// queue holds capacity pieces of work other than frames, so a slow GUI slows the poster
	// instead of growing memory. Once closed,
	// drops work at once. Returns whether the work was queued.
	bool post(std::function<void()> work);

	// Any thread. Queues work only while open and not full (as for post()); never waits.
	// Returns whether the work was queued. For work that may be dropped.
	bool tryPost(std::function<void()> work);

	// Any thread but the one that runs the work; never waits. Queues the display of a frame in
	// window while open. A frame of the same window still waiting is dropped and this one
	// takes its turn after all work queued so far, so frames keep their order and other work
	// keeps its place. At most one frame per window waits, so frames need no room in the
	// queue. Returns whether the work was queued.
	bool postFrame(const std::string &window, std::function<void()> work);

	// Main thread. Runs the work queued so far, in posting order, outside the lock. Returns
	// how many ran.
	std::size_t runPending();

	// Main thread. Returns when work is queued, the dispatcher closes, or timeout passes.
	void waitForWork(std::chrono::milliseconds timeout);

	// Main thread. close() drops queued work, releases blocked posters and makes every later
	// post() a no-op that never blocks; open() accepts work again.
	void close();
	void open();

	// Any thread. Work of any kind, frames included, waiting to run.
	std::size_t pendingCount() const;

private:
	struct Work {
		std::string frameOf; // the window whose frame this is; empty for other work
		std::function<void()> run;
	};

	// How much of pending_ is other work than frames; called with lock_ held.
	std::size_t otherWorkCount() const;

	const std::size_t capacity_;
	mutable std::mutex lock_;	     // guards pending_ and open_
	std::condition_variable workPosted_; // the main thread waits on it for work
	std::condition_variable spaceFreed_; // posters wait on it for room in pending_
	std::deque<Work> pending_;	     // appended by posters; drained by the main thread
	bool open_ = true;		     // set by the main thread; read by posters
};

// The process's dispatcher, fed by showImageSized and drained by the key wait.
GuiDispatcher &guiDispatcher();

// Main thread. Whether window exists and is shown: a window the user closed may only be hidden.
bool windowVisible(const std::string &window);

// Whether the caller runs on the main thread, the one that owns the GUI.
bool onGuiThread();

// Main thread. The key wait: runs posted GUI work and pumps window events until a key is pressed
// in a window, or until the window named window is closed. Then closes the dispatcher, so the
// streaming thread never waits for the main thread again. afterEvents, when given, runs on this
// thread after each pump of window events. Returns the key, or -1 for a close.
int waitKeyRunningGuiWork(const std::string &window,
			  const std::function<void()> &afterEvents = nullptr);
