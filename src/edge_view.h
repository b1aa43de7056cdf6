// What "edge" shows of an edge picture: the whole of it, fitted to the room the screen leaves, or
// a part of it at full size, which the user moves with the mouse.
#pragma once

#include <opencv2/core.hpp>

// Main thread. The room "edge" has for its picture on the screen (pictureRoom()); pictures from
// then on are shown within it. An empty size sets no limit. Returns whether the room changed.
bool setEdgePictureRoom(cv::Size room);

// The picture "edge" shows of edges (edgeImageOf()'s, which must stay unchanged while the result
// is in use): edges itself when it fits the room; otherwise, by default, edges shrunk into the
// room with every edge kept (shrinkKeepingEdges()), or, after switchEdgeView(), the part of edges
// that fills the room at full size. Any thread.
cv::Mat edgePictureShown(const cv::Mat &edges);

// The last picture given to edgePictureShown(), at full size, whatever part of it is shown; empty
// before the first. Shared, not copied: it stays as it is. Any thread.
cv::Mat lastEdgePicture();

// Main thread, from a double click at `at` in the picture shown. A shrunk picture goes to full
// size with the point under the mouse kept in place; full size goes back to the whole picture.
// Returns whether the view changed: a picture that fits is already at full size.
bool switchEdgeView(cv::Point at);

// Main thread, from a drag. Moves the part shown at full size as if the picture were dragged by
// `by` pixels, up to its edges. Returns whether anything is at full size to move.
bool moveEdgeView(cv::Point by);
