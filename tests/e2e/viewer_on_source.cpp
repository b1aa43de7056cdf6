// The real viewer with cameras whose sources are GStreamer descriptions, so that end-to-end tests
// can give it cameras that fail in known ways, or several cameras to choose from. The cameras go
// in through the camera list's override; then the program's own main runs, as users start it.
// Usage: viewer_on_source NAME SOURCE_DESCRIPTION [NAME SOURCE_DESCRIPTION ...]
#include <cstdio>
#include <utility>
#include <vector>

#include "capture/camera_list.h"
#include "viewer_main.h"

int main(int argc, char **argv)
{
	if (argc < 3 || argc % 2 != 1) {
		std::fputs("usage: viewer_on_source NAME SOURCE_DESCRIPTION"
			   " [NAME SOURCE_DESCRIPTION ...]\n",
			   stderr);
		return 2;
	}
	std::vector<CameraInfo> cameras;
	for (int i = 1; i + 1 < argc; i += 2)
		cameras.push_back(CameraInfo{ .name = argv[i],
					      .devicePath = {},
					      .device = nullptr,
					      .sourceDescription = argv[i + 1] });
	overrideCameras(std::move(cameras));
	char program[] = "edge-viewer";
	char *arguments[] = { program, nullptr };
	return viewerMain(1, arguments);
}
