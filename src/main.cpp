// edge-viewer: the Canny edges of a live camera picture, with sliders for the two thresholds.
#include "edge_viewer.h"

int main()
{
	return runEdgeViewer();
}
