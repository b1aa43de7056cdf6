// Shared test entry: GStreamer set up the way the sanitizers need it.
#include <gst/gst.h>
#include <opencv2/core.hpp>

#include <gtest/gtest.h>

int main(int argc, char **argv)
{
	// Scanning the plugin registry in a forked child confuses the sanitizers' bookkeeping.
	gst_registry_fork_set_enabled(FALSE);
	gst_init(&argc, &argv);
	// As the viewer runs it: image processing on the calling thread only.
	cv::setNumThreads(1);
	testing::InitGoogleTest(&argc, argv);
	return RUN_ALL_TESTS();
}
