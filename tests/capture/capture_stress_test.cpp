// The capture layer's whole life, a thousand times over, on a fast source whose frames go to a
// main-thread hand-off: every stop must return promptly, and no frame may arrive after it. The
// source is live, at 500 frames/s: an unpaced one would run its thread flat out, as nothing but a
// slow callback used to hold it up and the callback now has a thread of its own.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <random>
#include <thread>
#include <vector>

#include <opencv2/core.hpp>

#include <gtest/gtest.h>

#include "capture/camera_list.h"
#include "capture/cvcam.h"
#include "gui_dispatch.h"

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int rounds = 1000;

// A round that takes this long has deadlocked, not slowed down.
constexpr auto roundBound = 30s;

void *const flagOn = reinterpret_cast<void *>(std::intptr_t{ 1 });

GuiDispatcher handOff(2);

// Written by the main thread around each stop; read by the callback on the streaming thread.
std::atomic<bool> stopReturned{ false };
// Written by the streaming thread; read by the main thread.
std::atomic<int> framesThisRound{ 0 };
std::atomic<int> callbacksInFlight{ 0 };
std::atomic<int> callbacksAfterStop{ 0 };

void onFrame(const cv::Mat &frame)
{
	++callbacksInFlight;
	if (stopReturned)
		++callbacksAfterStop;
	// The display work the viewer hands over: an owned copy, run later on the main thread.
	handOff.post([image = frame.clone()] { (void)image.total(); });
	++framesThisRound;
	--callbacksInFlight;
}

// Ends the process, failing the test, when the main thread stops making progress.
class Watchdog
{
public:
	Watchdog()
		: thread_([this] {
			  std::unique_lock lock(lock_);
			  while (!done_) {
				  if (Clock::now() - lastProgress_ > roundBound) {
					  std::fprintf(stderr,
						       "deadlock: round %d did not end within %lld "
						       "s, waiting for %s\n",
						       round_,
						       static_cast<long long>(roundBound / 1s),
						       waitingFor_);
					  std::_Exit(3);
				  }
				  wake_.wait_for(lock, 1s);
			  }
		  })
	{
	}
	~Watchdog()
	{
		{
			std::lock_guard guard(lock_);
			done_ = true;
		}
		wake_.notify_all();
		thread_.join();
	}
	void roundStarts(int round)
	{
		std::lock_guard guard(lock_);
		round_ = round;
		lastProgress_ = Clock::now();
		waitingFor_ = "the round's set-up";
	}
	// what: a string literal, named in the report of a deadlock.
	void waitingFor(const char *what)
	{
		std::lock_guard guard(lock_);
		waitingFor_ = what;
	}

private:
	std::mutex lock_; // guards the members below; the main thread writes, the watchdog reads
	std::condition_variable wake_;
	Clock::time_point lastProgress_ = Clock::now();
	int round_ = 0;
	const char *waitingFor_ = "";
	bool done_ = false;
	std::thread thread_;
};

enum class StopMoment { rightAfterStart, duringACallback, whileTheHandOffIsFull, afterSomeFrames };

// Spins rather than sleeps, so the stop can land at any moment of a callback; the watchdog bounds
// it.
template <typename Condition>
void spinUntil(Watchdog &watchdog, const char *what, Condition condition)
{
	watchdog.waitingFor(what);
	while (!condition())
		std::this_thread::yield();
}

} // namespace

// Catches a deadlock between stop and a callback blocked on the hand-off, a stop that returns
// with a callback still running or one that starts later, and crashes in repeated set-up and
// teardown.
TEST(CaptureStress, AThousandLivesEachEndPromptlyWithNoFrameAfterStop)
{
	overrideCameras({ CameraInfo{
		.name = "unpaced",
		.devicePath = {},
		.device = nullptr,
		.sourceDescription = "videotestsrc is-live=true pattern=ball"
				     " ! video/x-raw,width=64,height=48,framerate=500/1" } });
	std::mt19937 random(20240607);
	std::uniform_int_distribution<int> moment(0, 3);
	std::uniform_int_distribution<int> framesBeforeStop(1, 30);
	Watchdog watchdog;
	auto longestStop = Clock::duration::zero();
	int framesInAll = 0;

	for (int round = 0; round < rounds; ++round) {
		watchdog.roundStarts(round);
		std::vector<int> cameras;
		ASSERT_EQ(cvcamSelectCamera(cameras), 1);
		cvcamSetProperty(0, "enable", flagOn);
		cvcamSetProperty(0, "callback", reinterpret_cast<void *>(&onFrame));
		ASSERT_EQ(cvcamInit(), 0);
		stopReturned = false;
		framesThisRound = 0;
		handOff.open();
		ASSERT_EQ(cvcamStart(), 0);

		const auto stopMoment = static_cast<StopMoment>(moment(random));
		switch (stopMoment) {
		case StopMoment::rightAfterStart:
			break;
		case StopMoment::duringACallback:
			spinUntil(watchdog, "a callback in flight",
				  [] { return callbacksInFlight > 0; });
			break;
		case StopMoment::whileTheHandOffIsFull:
			// Two queued, the third poster blocked in post().
			spinUntil(watchdog, "a full hand-off", [] {
				return handOff.pendingCount() == 2 && framesThisRound >= 2;
			});
			break;
		case StopMoment::afterSomeFrames: {
			const int target = framesBeforeStop(random);
			watchdog.waitingFor("frames before the stop");
			while (framesThisRound < target) {
				handOff.runPending();
				handOff.waitForWork(1ms);
			}
			break;
		}
		}

		// The viewer's order: the key wait closes the hand-off, then capture stops.
		handOff.close();
		watchdog.waitingFor("cvcamStop() to return");
		const auto stopStarted = Clock::now();
		cvcamStop();
		longestStop = std::max(longestStop, Clock::now() - stopStarted);
		stopReturned = true;
		EXPECT_EQ(callbacksInFlight, 0) << "round " << round;
		cvcamExit();
		framesInAll += framesThisRound;
	}
	// Anything still on its way would show up here.
	std::this_thread::sleep_for(20ms);
	overrideCameras({});

	EXPECT_EQ(callbacksAfterStop, 0);
	const auto longestMs = std::chrono::duration<double, std::milli>(longestStop).count();
	std::printf("%d rounds, %d frames, longest stop %.1f ms\n", rounds, framesInAll, longestMs);
	RecordProperty("longest_stop_ms", static_cast<int>(longestMs + 0.5));
}
