// A deliberate race between a slider handler and the frame callback. Built only under
// ThreadSanitizer, which must report it: a suppression broad enough to hide it would hide our own
// races too.
#include <chrono>
#include <string>
#include <thread>

#include <gst/gst.h>
#include <opencv2/core.hpp>
#include <opencv2/highgui.hpp>

#include "capture/capture_pipeline.h"

namespace {

int unguardedThreshold = 0; // written by a slider on the main thread, read by the callback: racy

void readThreshold(const cv::Mat &)
{
	volatile int seen = unguardedThreshold;
	(void)seen;
}

void onSliderMoved(int position, void *)
{
	unguardedThreshold = position;
}

} // namespace

int main()
{
	gst_registry_fork_set_enabled(FALSE);
	ensureGstreamer();
	cv::setNumThreads(1);
	cv::namedWindow("canary");
	cv::createTrackbar("T", "canary", nullptr, 255, onSliderMoved);

	std::string error;
	auto capture = CapturePipeline::create(
		CameraInfo{ .name = "canary",
			    .devicePath = {},
			    .device = nullptr,
			    .sourceDescription = "videotestsrc ! video/x-raw,width=32,height=24" },
		readThreshold, error);
	if (!capture || !capture->start(error))
		return 2;
	for (int i = 0; capture->framesDelivered() < 20 || i < 50; ++i) {
		cv::setTrackbarPos("T", "canary", i % 256);
		cv::waitKey(1);
	}
	capture->stop();
	cv::destroyAllWindows();
	return 0;
}
