// The main-thread hand-off: order, bound, and the shutdown that must never leave a poster waiting.
#include "gui_dispatch.h"

#include <atomic>
#include <chrono>
#include <stdexcept>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

using namespace std::chrono_literals;

namespace {

// Runs the dispatcher's work on this thread until done() holds.
template <typename Done>
void drainUntil(GuiDispatcher &dispatcher, Done done)
{
	while (!done()) {
		dispatcher.waitForWork(5ms);
		dispatcher.runPending();
	}
}

} // namespace

// Catches frames shown out of order when posted from another thread faster than they are run.
TEST(GuiDispatcher, RunsWorkInPostingOrder)
{
	GuiDispatcher dispatcher(2);
	std::vector<int> seen; // written only by the work, which runs on this thread
	constexpr int count = 500;
	std::thread poster([&] {
		for (int i = 0; i < count; ++i)
			dispatcher.post([&seen, i] { seen.push_back(i); });
	});
	drainUntil(dispatcher, [&] { return seen.size() == count; });
	poster.join();
	for (int i = 0; i < count; ++i)
		ASSERT_EQ(seen[i], i);
}

// Catches a queue that grows without bound when the GUI is slower than the camera.
TEST(GuiDispatcher, PosterWaitsWhileTheQueueIsFull)
{
	GuiDispatcher dispatcher(2);
	std::atomic<int> posted{ 0 };
	std::thread poster([&] {
		for (int i = 0; i < 3; ++i) {
			dispatcher.post([] {});
			++posted;
		}
	});
	while (posted < 2)
		std::this_thread::yield();
	std::this_thread::sleep_for(50ms);
	EXPECT_EQ(posted, 2);
	EXPECT_EQ(dispatcher.pendingCount(), 2u);

	drainUntil(dispatcher, [&] { return posted == 3; });
	poster.join();
}

// Catches a shutdown deadlock: a streaming thread stuck in post() while the main thread waits for
// it to finish, and work from before the close that would still run after it.
TEST(GuiDispatcher, CloseDropsQueuedWorkAndReleasesBlockedPosters)
{
	GuiDispatcher dispatcher(1);
	std::atomic<int> ran{ 0 };
	std::atomic<bool> secondPostReturned{ false };
	std::atomic<bool> secondPostQueued{ true };
	dispatcher.post([&] { ++ran; });
	std::thread poster([&] {
		secondPostQueued = dispatcher.post([&] { ++ran; });
		secondPostReturned = true;
	});
	std::this_thread::sleep_for(20ms);
	dispatcher.close();
	poster.join();

	EXPECT_TRUE(secondPostReturned);
	EXPECT_FALSE(secondPostQueued);
	EXPECT_FALSE(dispatcher.post([&] { ++ran; }));
	EXPECT_EQ(dispatcher.runPending(), 0u);
	EXPECT_EQ(ran, 0);

	dispatcher.open();
	EXPECT_TRUE(dispatcher.post([&] { ++ran; }));
	EXPECT_EQ(dispatcher.runPending(), 1u);
	EXPECT_EQ(ran, 1);
}

// Catches one failing window update taking the rest of the queue (and the key wait) down with it.
TEST(GuiDispatcher, WorkThatThrowsDoesNotStopTheRest)
{
	GuiDispatcher dispatcher(3);
	bool laterRan = false;
	dispatcher.post([] { throw std::runtime_error("window gone"); });
	dispatcher.post([&] { laterRan = true; });
	EXPECT_EQ(dispatcher.runPending(), 2u);
	EXPECT_TRUE(laterRan);
}

// Catches work posted from a poster while the main thread runs the previous batch being lost.
TEST(GuiDispatcher, WorkPostedDuringARunIsKeptForTheNext)
{
	GuiDispatcher dispatcher(4);
	int ran = 0;
	dispatcher.post([&] {
		++ran;
		std::thread([&] { dispatcher.post([&] { ++ran; }); }).join();
	});
	EXPECT_EQ(dispatcher.runPending(), 1u);
	EXPECT_EQ(dispatcher.runPending(), 1u);
	EXPECT_EQ(ran, 2);
}

// Catches a preview frame waiting on a full queue: the streaming thread would then hang the stop.
TEST(GuiDispatcher, TryPostNeverWaits)
{
	GuiDispatcher dispatcher(1);
	int ran = 0;
	EXPECT_TRUE(dispatcher.tryPost([&] { ++ran; }));
	EXPECT_FALSE(dispatcher.tryPost([&] { ++ran; }));
	dispatcher.runPending();
	EXPECT_EQ(ran, 1);
	dispatcher.close();
	EXPECT_FALSE(dispatcher.tryPost([&] { ++ran; }));
	EXPECT_EQ(dispatcher.pendingCount(), 0u);
}
