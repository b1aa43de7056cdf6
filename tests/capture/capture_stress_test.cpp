// The capture layer's whole life, a thousand times over, on a fast source whose frames go to a
// main-thread hand-off: every stop must return promptly, and no frame may arrive after it. The
// source is live, at 500 frames/s: an unpaced one would run its thread flat out, as nothing but a
// slow callback used to hold it up and the callback now has a thread of its own. Then the same for
// a clip that starts again at its end, stopped at every moment of its loop.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <random>
#include <thread>
#include <vector>

#include <opencv2/core.hpp>

#include <gtest/gtest.h>

#include "capture/camera_list.h"
#include "capture/capture_pipeline.h"
#include "capture/capture_source.h"
#include "capture/cvcam.h"
#include "capture/gst_handles.h"
#include "gui_dispatch.h"
#include "play_to_end.h"

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

namespace {

// The sanitizers make each round dearer, ThreadSanitizer most (it watches every lock GStreamer
// takes while it builds the decoder); the moments are the same.
#if defined(__SANITIZE_THREAD__)
constexpr int clipRounds = 100;
#elif defined(__SANITIZE_ADDRESS__)
constexpr int clipRounds = 200;
#else
constexpr int clipRounds = 400;
#endif

// What the clip's decoder thread does as it starts the clip again: set there by the debug log
// hook, read and cleared by the main thread.
std::atomic<bool> startingAgain{ false };
// How long the hook holds the decoder's thread before its seek, so that the stop lands on the
// seek itself: set by the main thread before each start, read by the hook.
std::atomic<int> holdBeforeSeekUs{ 0 };

// Any thread that logs. Sees the capture layer's own debug line at the start of each new round:
// GStreamer's log, not a hook in the code under test.
void onLogLine(GstDebugCategory *category, GstDebugLevel level, const gchar *, const gchar *, gint,
	       GObject *source, GstDebugMessage *message, gpointer)
{
	if (std::strcmp(gst_debug_category_get_name(category), "edge-viewer") != 0)
		return;
	// The element and flow return behind a fault, which its user-facing line leaves out.
	if (level <= GST_LEVEL_WARNING) {
		const GCharPtr path(GST_IS_OBJECT(source)
					    ? gst_object_get_path_string(GST_OBJECT(source))
					    : nullptr);
		std::fprintf(stderr, "%s: %s\n", path ? path.get() : "?",
			     gst_debug_message_get(message));
		return;
	}
	if (std::strcmp(gst_debug_message_get(message), "the clip starts again") != 0)
		return;
	startingAgain = true;
	const auto until = Clock::now() + std::chrono::microseconds(holdBeforeSeekUs.load());
	while (Clock::now() < until)
		std::this_thread::yield();
}

// Written by the streaming thread; read by the main thread.
std::atomic<int> clipFrames{ 0 };
std::atomic<int> clipFramesAfterStop{ 0 };

void onClipFrame(const cv::Mat &)
{
	if (stopReturned)
		++clipFramesAfterStop;
	++clipFrames;
}

// Three frames at 60 frames/s beside a longer tone: a new round every 50 ms, and a sound track
// whose unlinked stream outlasts the picture at each end.
std::string shortClip(const std::filesystem::path &dir)
{
	const std::string path = (dir / "short.avi").string();
	const std::string description =
		"videotestsrc pattern=ball num-buffers=3 ! video/x-raw,width=64,height=48,"
		"framerate=60/1 ! jpegenc ! queue ! avimux name=mux ! filesink location=" +
		path + " audiotestsrc num-buffers=5 ! audioconvert ! queue ! mux.";
	return playToEnd(description) ? path : "";
}

enum class ClipMoment { rightAfterStart, atTheFirstFrame, atALoopPoint, withinThreeRounds };

} // namespace

// Catches a stop that hangs or crashes when it meets the clip's loop: while the start's first
// seek is on its way, at the first frame, on the decoder's thread as it starts the clip again
// (held there for up to 2 ms, so that the change to NULL meets the seek), and at any moment of the
// first three rounds; and a frame after stop, or a fault reported for a stop.
TEST(CaptureStress, AClipStoppedAtAnyMomentOfItsLoopEndsPromptly)
{
	char pattern[] = "/tmp/capture_stress_XXXXXX";
	ASSERT_TRUE(mkdtemp(pattern));
	const std::filesystem::path dir = pattern;
	std::string error;
	const std::string uri = checkedSourceUri(shortClip(dir), error);
	ASSERT_FALSE(uri.empty()) << error;
	// The debug line is the only one the hook needs; GStreamer's own printing stays off, as
	// it is unless GST_DEBUG asks for it.
	gst_debug_set_threshold_for_name("edge-viewer", GST_LEVEL_DEBUG);
	gst_debug_remove_log_function(gst_debug_log_default);
	gst_debug_add_log_function(&onLogLine, nullptr, nullptr);

	std::mt19937 random(20261208);
	std::uniform_int_distribution<int> moment(0, 3);
	std::uniform_int_distribution<int> holdUs(0, 2000);
	std::uniform_int_distribution<int> withinUs(0, 150'000);
	std::mutex lock; // guards faults
	std::vector<std::string> faults;
	Watchdog watchdog;
	auto longestStop = Clock::duration::zero();
	int loopPointsMet = 0;

	for (int round = 0; round < clipRounds; ++round) {
		watchdog.roundStarts(round);
		startingAgain = false;
		holdBeforeSeekUs = holdUs(random);
		clipFrames = 0;
		stopReturned = false;
		CaptureOptions options;
		// A stall is not this test's fault to find, and a sanitizer build on a loaded
		// machine has been seen to take over 3 s for a clip's first frame: only a round the
		// watchdog ends may be that slow.
		options.stallTimeout = roundBound;
		options.onFault = [&](const std::string &line) {
			std::lock_guard guard(lock);
			faults.push_back("round " + std::to_string(round) + ": " + line);
		};
		auto capture = CapturePipeline::create(sourceCamera("short.avi", uri), &onClipFrame,
						       error, std::move(options));
		ASSERT_TRUE(capture) << error;
		ASSERT_TRUE(capture->start(error)) << error;
		switch (static_cast<ClipMoment>(moment(random))) {
		case ClipMoment::rightAfterStart:
			break;
		case ClipMoment::atTheFirstFrame:
			spinUntil(watchdog, "the first frame", [] { return clipFrames > 0; });
			break;
		case ClipMoment::atALoopPoint:
			spinUntil(watchdog, "the clip starting again",
				  [] { return startingAgain.load(); });
			++loopPointsMet;
			break;
		case ClipMoment::withinThreeRounds: {
			spinUntil(watchdog, "the first frame", [] { return clipFrames > 0; });
			const auto until =
				Clock::now() + std::chrono::microseconds(withinUs(random));
			spinUntil(watchdog, "a moment within three rounds",
				  [&] { return Clock::now() >= until; });
			break;
		}
		}
		watchdog.waitingFor("stop() to return");
		const auto stopStarted = Clock::now();
		capture->stop();
		longestStop = std::max(longestStop, Clock::now() - stopStarted);
		stopReturned = true;
		watchdog.waitingFor("the capture's end");
		capture.reset();
	}
	gst_debug_remove_log_function(&onLogLine);
	gst_debug_add_log_function(gst_debug_log_default, nullptr, nullptr);
	std::filesystem::remove_all(dir);

	EXPECT_EQ(clipFramesAfterStop, 0);
	std::lock_guard guard(lock);
	for (const std::string &line : faults)
		std::printf("fault: %s\n", line.c_str());
	EXPECT_TRUE(faults.empty()) << faults.size() << " faults, the first: " << faults.front();
	const auto longestMs = std::chrono::duration<double, std::milli>(longestStop).count();
	std::printf("%d rounds, %d stopped at a loop point, longest stop %.1f ms\n", clipRounds,
		    loopPointsMet, longestMs);
	RecordProperty("clip_rounds", clipRounds);
	RecordProperty("longest_clip_stop_ms", static_cast<int>(longestMs + 0.5));
}
