// How a picture is fitted into the room a window has on the screen, keeping every edge visible.
#pragma once

#include <opencv2/core.hpp>

// The size picture is shown at in room: its own when it fits (or room is empty, for no limit),
// otherwise the largest size within room with the same shape, at least 1x1. Pure; any thread.
cv::Size fittedSize(cv::Size picture, cv::Size room);

// edges (8-bit, one channel) shrunk to size by taking, for each pixel shown, the brightest of the
// pixels it covers even in part: a line one pixel wide stays a line at full brightness, where
// sampling or averaging would drop it or fade it. Returns edges itself when size is its own; no
// larger size is taken. Any thread.
cv::Mat shrinkKeepingEdges(const cv::Mat &edges, cv::Size size);
