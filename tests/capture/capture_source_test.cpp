// Video files and streams as sources: what is refused before any window, and a clip that plays at
// its own pace and starts again at its end.
#include "capture/capture_source.h"

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gst/app/gstappsink.h>

#include <gtest/gtest.h>

#include "capture/capture_pipeline.h"
#include "capture/source_replay.h"
#include "play_to_end.h"
#include "wait_until.h"

using namespace std::chrono_literals;

namespace {

namespace fs = std::filesystem;

// The faults a capture reports, from whichever thread reports them.
class FaultLog
{
public:
	// Makes options' onFault add to this log, which must outlive the capture.
	void listen(CaptureOptions &options)
	{
		options.onFault = [this](const std::string &line) {
			std::lock_guard guard(lock_);
			lines_.push_back(line);
		};
	}

	std::vector<std::string> lines()
	{
		std::lock_guard guard(lock_);
		return lines_;
	}

private:
	std::mutex lock_; // guards lines_
	std::vector<std::string> lines_;
};

// Clips made once for the suite with GStreamer's own encoders.
class Sources : public testing::Test
{
protected:
	static void SetUpTestSuite()
	{
		char pattern[] = "/tmp/capture_source_XXXXXX";
		ASSERT_TRUE(mkdtemp(pattern));
		dir = pattern;
		// 10 frames at 20 frames/s: half a second, with a tone beside it that must not
		// stop the video.
		make("videotestsrc pattern=ball num-buffers=10 ! video/x-raw,width=160,height=120,"
		     "framerate=20/1 ! jpegenc ! queue ! avimux name=mux ! filesink location=" +
		     (dir / "clip.avi").string() +
		     " audiotestsrc num-buffers=30 ! audioconvert ! queue ! mux.");
		make("videotestsrc num-buffers=1 ! jpegenc ! filesink location=" +
		     (dir / "still.jpg").string());
		make("audiotestsrc num-buffers=10 ! wavenc ! filesink location=" +
		     (dir / "tone.wav").string());
		std::ofstream(dir / "notes.txt") << "not a video\n";
	}
	static void TearDownTestSuite() { fs::remove_all(dir); }

	static void make(const std::string &description)
	{
		ASSERT_TRUE(playToEnd(description)) << description;
	}

	static std::string refusal(const std::string &source)
	{
		std::string error;
		const std::string uri = checkedSourceUri(source, error);
		EXPECT_EQ(uri, "") << source;
		return error;
	}

	static fs::path dir;
};

fs::path Sources::dir;

std::atomic<int> framesSeen{ 0 }; // written by the streaming thread, read by the test

void countFrame(const cv::Mat &)
{
	++framesSeen;
}

} // namespace

// Catches a source that cannot play reaching the window (and failing only there, or silently), and
// a refusal that does not say why.
TEST_F(Sources, WhatCannotPlayIsRefusedWithItsReason)
{
	EXPECT_EQ(refusal((dir / "missing.avi").string()), "no such file or directory");
	EXPECT_EQ(refusal("file://" + (dir / "missing.avi").string()), "no such file or directory");
	EXPECT_EQ(refusal(dir.string()), "it is a directory");
	EXPECT_EQ(refusal((dir / "notes.txt").string()),
		  "it is not a video GStreamer can play (could not determine type of stream)");
	EXPECT_EQ(refusal((dir / "tone.wav").string()), "it holds no video");
	EXPECT_EQ(refusal((dir / "still.jpg").string()), "it is a still image, not a video");
	EXPECT_EQ(refusal("nosuchscheme://host/stream"),
		  "no installed GStreamer element reads \"nosuchscheme\" URIs");
}

// Catches a playable file or a reachable-looking stream refused, and a relative path not made
// into an absolute URI.
TEST_F(Sources, WhatCanPlayBecomesItsUri)
{
	std::string error;
	const fs::path previous = fs::current_path();
	fs::current_path(dir);
	EXPECT_EQ(checkedSourceUri("clip.avi", error), "file://" + (dir / "clip.avi").string());
	fs::current_path(previous);
	EXPECT_EQ(error, "");
	// A network stream is only checked for a reader; it fails later, if at all, as a camera.
	EXPECT_EQ(checkedSourceUri("http://127.0.0.1:1/clip.avi", error),
		  "http://127.0.0.1:1/clip.avi");
}

// Catches a clip decoded as fast as the CPU allows instead of at its own rate, its end reported as
// a camera fault or ending the frames, and its sound track stopping the video.
TEST_F(Sources, AClipPlaysAtItsOwnPaceAndStartsAgainAtItsEnd)
{
	std::string error;
	const std::string uri = checkedSourceUri((dir / "clip.avi").string(), error);
	ASSERT_FALSE(uri.empty()) << error;
	FaultLog faults;
	CaptureOptions options;
	faults.listen(options);
	framesSeen = 0;
	auto capture = CapturePipeline::create(sourceCamera("clip.avi", uri), &countFrame, error,
					       std::move(options));
	ASSERT_TRUE(capture) << error;
	const auto start = std::chrono::steady_clock::now();
	ASSERT_TRUE(capture->start(error)) << error;
	// Three times through the clip; a slow machine only takes longer.
	EXPECT_TRUE(waitUntil([] { return framesSeen >= 30; }, "30 frames of the clip"));
	const double seconds =
		std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
	const int frames = framesSeen;
	capture->stop();
	EXPECT_GE(frames, 30);
	// At 20 frames/s no run can see more than this, however fast the machine; a clip decoded
	// unpaced would give all 30 in a few milliseconds.
	EXPECT_LE(frames, 20 * seconds + 5) << "in " << seconds << " s";
	const std::vector<std::string> faultLines = faults.lines();
	EXPECT_TRUE(faultLines.empty()) << faultLines.front();
}

namespace {

// The capture's own bus handler does the same: the next segment, on the decoder's thread.
GstBusSyncReply startAgainOnItsThread(GstBus *, GstMessage *message, gpointer pipeline)
{
	playNextSegment(static_cast<GstElement *>(pipeline), message);
	return GST_BUS_DROP;
}

} // namespace

// Catches a loop that restarts the running time (a flushing seek), leaves a gap where the sound
// track outlasts the picture, or repeats or skips a frame: the frames of three and a half rounds
// follow each other at exactly one frame's time, round after round.
TEST_F(Sources, AClipsRoundsFollowEachOtherWithoutAGapInRunningTime)
{
	std::string error;
	const std::string uri = checkedSourceUri((dir / "clip.avi").string(), error);
	ASSERT_FALSE(uri.empty()) << error;
	const GstElementPtr pipeline = sourcePipeline(
		sourceCamera("clip.avi", uri), "appsink name=out sync=false max-buffers=0", error);
	ASSERT_TRUE(pipeline) << error;
	const GstBusPtr bus(gst_element_get_bus(pipeline.get()));
	gst_bus_set_sync_handler(bus.get(), &startAgainOnItsThread, pipeline.get(), nullptr);
	// The start thread's steps (CapturePipeline::play), here on the test's.
	ASSERT_NE(gst_element_set_state(pipeline.get(), GST_STATE_READY), GST_STATE_CHANGE_FAILURE);
	forgetLastStart(pipeline.get());
	ASSERT_NE(gst_element_set_state(pipeline.get(), GST_STATE_PAUSED),
		  GST_STATE_CHANGE_FAILURE);
	ASSERT_TRUE(playFirstSegment(pipeline.get(), 30s)) << "no first frame";
	ASSERT_NE(gst_element_set_state(pipeline.get(), GST_STATE_PLAYING),
		  GST_STATE_CHANGE_FAILURE);

	const GstElementPtr sink(gst_bin_get_by_name(GST_BIN(pipeline.get()), "out"));
	constexpr GstClockTime frameTime = GST_SECOND / 20;
	std::vector<GstClockTime> runningTimes;
	for (int frame = 0; frame < 35; ++frame) {
		const GstSamplePtr sample(
			gst_app_sink_try_pull_sample(GST_APP_SINK(sink.get()), 30 * GST_SECOND));
		if (!sample)
			break;
		runningTimes.push_back(gst_segment_to_running_time(
			gst_sample_get_segment(sample.get()), GST_FORMAT_TIME,
			GST_BUFFER_PTS(gst_sample_get_buffer(sample.get()))));
	}
	gst_element_set_state(pipeline.get(), GST_STATE_NULL);
	gst_bus_set_sync_handler(bus.get(), nullptr, nullptr, nullptr);
	ASSERT_EQ(runningTimes.size(), 35U) << "the clip stopped after " << runningTimes.size();
	for (std::size_t frame = 0; frame < runningTimes.size(); ++frame)
		EXPECT_EQ(runningTimes[frame], frame * frameTime) << "frame " << frame;
}

namespace {

// A UDP port nobody uses now: the one the system picks for a socket of our own, then closes.
int freeUdpPort()
{
	const int probe = socket(AF_INET, SOCK_DGRAM, 0);
	sockaddr_in address{};
	address.sin_family = AF_INET;
	address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
	socklen_t length = sizeof address;
	const bool bound =
		probe >= 0 &&
		bind(probe, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0 &&
		getsockname(probe, reinterpret_cast<sockaddr *>(&address), &length) == 0;
	if (probe >= 0)
		close(probe);
	return bound ? ntohs(address.sin_port) : 0;
}

} // namespace

// Catches a live stream (udp://, rtsp://) held back for a first frame that it sends only once it
// plays: it must play at once, as a camera does.
TEST_F(Sources, ALiveStreamPlaysAtOnce)
{
	const int port = freeUdpPort();
	ASSERT_NE(port, 0);
	const std::string sending = "videotestsrc is-live=true ! "
				    "video/x-raw,width=64,height=48,framerate=30/1 ! jpegenc"
				    " ! udpsink host=127.0.0.1 port=" +
				    std::to_string(port);
	const GstElementPtr sender = sinkElement(gst_parse_launch(sending.c_str(), nullptr));
	ASSERT_TRUE(sender);
	FaultLog faults;
	CaptureOptions options;
	faults.listen(options);
	framesSeen = 0;
	std::string error;
	auto capture = CapturePipeline::create(
		sourceCamera("stream", "udp://127.0.0.1:" + std::to_string(port)), &countFrame,
		error, std::move(options));
	ASSERT_TRUE(capture) << error;
	ASSERT_TRUE(capture->start(error)) << error;
	gst_element_set_state(sender.get(), GST_STATE_PLAYING);
	EXPECT_TRUE(waitUntil([] { return framesSeen >= 5; }, "5 frames of the stream"));
	capture->stop();
	gst_element_set_state(sender.get(), GST_STATE_NULL);
	const std::vector<std::string> faultLines = faults.lines();
	EXPECT_TRUE(faultLines.empty()) << faultLines.front();
}
