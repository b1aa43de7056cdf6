// Prints the test pattern's source description, so the end-to-end benchmark's GStreamer peer runs
// on exactly the viewer's own source.
#include <cstdio>

#include "capture/camera_list.h"

int main()
{
	std::puts(testPatternCamera().sourceDescription.c_str());
	return 0;
}
