// Shared test entry: GStreamer set up the way the sanitizers need it.
#include <string_view>

#include <gst/gst.h>
#include <opencv2/core.hpp>

#include <gtest/gtest.h>

int main(int argc, char **argv)
{
	// Scanning the plugin registry in a forked child confuses the sanitizers' bookkeeping.
	gst_registry_fork_set_enabled(FALSE);
	// Listing the tests, which the build does, needs no GStreamer; left out, the listing also
	// escapes what reading the registry brings with it (tests/CMakeLists.txt, gst_plugins).
	bool listing = false;
	for (int i = 1; i < argc; ++i)
		listing = listing || std::string_view(argv[i]) == "--gtest_list_tests";
	if (!listing)
		gst_init(&argc, &argv);
	// As the viewer runs it: image processing on the calling thread only.
	cv::setNumThreads(1);
	testing::InitGoogleTest(&argc, argv);
	return RUN_ALL_TESTS();
}
