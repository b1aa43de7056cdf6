// The main-thread hand-off: order, bound, and the shutdown that must never leave a poster waiting.
#include "gui_dispatch.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "wait_until.h"

using namespace std::chrono_literals;

namespace {

// Runs the dispatcher's work on this thread until done() holds, as the key wait does.
template <typename Done>
testing::AssertionResult drainUntil(GuiDispatcher &dispatcher, Done done, const std::string &what)
{
	return waitUntil(
		[&] {
			dispatcher.waitForWork(5ms);
			dispatcher.runPending();
			return done();
		},
		what);
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
	const auto allRun = drainUntil(
		dispatcher, [&] { return seen.size() >= count; }, "every piece of work run");
	dispatcher.close(); // releases the poster, should the wait have failed
	poster.join();
	ASSERT_TRUE(allRun);
	ASSERT_EQ(seen.size(), std::size_t{ count });
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
	EXPECT_TRUE(waitUntil([&] { return posted >= 2; }, "2 posts into room"));
	std::this_thread::sleep_for(50ms);
	EXPECT_EQ(posted, 2);
	EXPECT_EQ(dispatcher.pendingCount(), 2u);

	EXPECT_TRUE(drainUntil(
		dispatcher, [&] { return posted == 3; }, "the third post, once there is room"));
	dispatcher.close(); // releases the poster, should a wait have failed
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

// Catches a window shown an old frame while a newer one exists, or more than one frame of a window
// waiting for the main thread.
TEST(GuiDispatcherFrames, ANewerFrameReplacesTheWindowsWaitingFrame)
{
	GuiDispatcher dispatcher(3);
	std::vector<int> shown;
	for (int frame = 1; frame <= 3; ++frame)
		EXPECT_TRUE(
			dispatcher.postFrame("edge", [&shown, frame] { shown.push_back(frame); }));
	EXPECT_EQ(dispatcher.pendingCount(), 1u);
	dispatcher.runPending();
	EXPECT_EQ(shown, std::vector<int>{ 3 });
}

// Catches frames of one window replacing another window's, other work dropped or reordered by a
// frame, and a frame run ahead of work posted before it (a window used before it is made).
TEST(GuiDispatcherFrames, OtherWorkAndOtherWindowsKeepTheirOrder)
{
	GuiDispatcher dispatcher(3);
	std::vector<std::string> ran;
	const auto note = [&ran](std::string what) {
		return [&ran, what] {
			ran.push_back(what);
		};
	};
	dispatcher.post(note("make window"));
	dispatcher.postFrame("edge", note("edge 1"));
	dispatcher.postFrame("preview", note("preview 1"));
	dispatcher.post(note("move window"));
	dispatcher.postFrame("edge", note("edge 2"));
	dispatcher.runPending();
	EXPECT_EQ(ran, (std::vector<std::string>{ "make window", "preview 1", "move window",
						  "edge 2" }));
}

// Catches a streaming thread that waits for the main thread with a frame to show: the queue is
// full of other work here, and nobody drains it, so a wait would never end.
TEST(GuiDispatcherFrames, AFrameNeverWaitsForRoom)
{
	GuiDispatcher dispatcher(1);
	int ran = 0;
	dispatcher.post([&] { ++ran; });
	EXPECT_TRUE(dispatcher.postFrame("edge", [&] { ++ran; }));
	EXPECT_TRUE(dispatcher.postFrame("edge", [&] { ++ran; }));
	EXPECT_FALSE(dispatcher.tryPost([&] { ++ran; }));
	EXPECT_EQ(dispatcher.runPending(), 2u);
	EXPECT_EQ(ran, 2);

	dispatcher.close();
	EXPECT_FALSE(dispatcher.postFrame("edge", [&] { ++ran; }));
	EXPECT_EQ(dispatcher.pendingCount(), 0u);
}

namespace {

// Asks the dispatcher something when the work holding it is released, as a frame's picture may:
// releasing it can hand a buffer back to the camera, which takes locks of its own.
struct ReleaseProbe {
	GuiDispatcher &dispatcher;
	std::size_t &pendingSeen;
	~ReleaseProbe() { pendingSeen = dispatcher.pendingCount(); }
};

} // namespace

// Catches a replaced frame released with the dispatcher's lock held: a deadlock when releasing it
// needs the dispatcher or waits for a thread that does.
TEST(GuiDispatcherFrames, AReplacedFrameIsReleasedOutsideTheLock)
{
	GuiDispatcher dispatcher(1);
	std::size_t pendingSeen = 99;
	dispatcher.postFrame("edge", [probe = std::make_shared<ReleaseProbe>(
					      ReleaseProbe{ dispatcher, pendingSeen })] {});
	dispatcher.postFrame("edge", [] {});
	EXPECT_EQ(pendingSeen, 1u);
}

// Catches frames shown out of order, or not the newest at the end, when a streaming thread posts
// faster than the main thread shows them.
TEST(GuiDispatcherFrames, AFastPosterLeavesTheNewestFramesInOrder)
{
	GuiDispatcher dispatcher(3);
	std::vector<int> shown; // written only by the work, which runs on this thread
	constexpr int count = 2000;
	std::atomic<bool> done{ false };
	std::thread poster([&] {
		for (int frame = 0; frame < count; ++frame)
			dispatcher.postFrame("edge", [&shown, frame] { shown.push_back(frame); });
		done = true;
	});
	std::size_t mostWaiting = 0;
	EXPECT_TRUE(waitUntil(
		[&] {
			mostWaiting = std::max(mostWaiting, dispatcher.pendingCount());
			dispatcher.runPending();
			return done && dispatcher.pendingCount() == 0;
		},
		"every frame posted and the last shown"));
	dispatcher.close(); // releases the poster, should the wait have failed
	poster.join();
	EXPECT_LE(mostWaiting, 1u);
	ASSERT_FALSE(shown.empty());
	EXPECT_EQ(shown.back(), count - 1);
	for (std::size_t i = 1; i < shown.size(); ++i)
		ASSERT_LT(shown[i - 1], shown[i]);
}
