// The view of the edge picture: fitting and the full-size part, one state for both threads.
#include "edge_view.h"

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <mutex>

#include "picture_fit.h"

namespace {

// Set by the main thread from the screen; read once per picture. One atomic for both sides, so
// that no picture sees a new width with an old height; aligned as a 64-bit word, so that every
// compiler makes it lock-free, without libatomic.
struct alignas(std::uint64_t) Room {
	int width;
	int height;
};
std::atomic<Room> edgeRoom{ Room{ 0, 0 } };
static_assert(std::atomic<Room>::is_always_lock_free);

// The mouse's view, and what the last picture was, which the mouse's coordinates refer to.
struct View {
	bool fullSize = false; // set by the main thread
	cv::Point origin;      // the full-size part's corner in the picture; both threads
	cv::Size picture;      // the last picture's size; set per picture
	cv::Size shown;	       // the size it was shown at; set per picture
	cv::Mat last;	       // that picture itself, for a save at full size; set per picture
};
std::mutex viewLock; // guards view; held for a few assignments, never across a picture's work
View view;

cv::Point clampedOrigin(cv::Point origin, cv::Size part, cv::Size picture)
{
	return { std::clamp(origin.x, 0, std::max(picture.width - part.width, 0)),
		 std::clamp(origin.y, 0, std::max(picture.height - part.height, 0)) };
}

} // namespace

bool setEdgePictureRoom(cv::Size room)
{
	const Room wanted{ std::max(room.width, 0), std::max(room.height, 0) };
	const Room before = edgeRoom.exchange(wanted, std::memory_order_relaxed);
	return before.width != wanted.width || before.height != wanted.height;
}

cv::Mat edgePictureShown(const cv::Mat &edges)
{
	const Room room = edgeRoom.load(std::memory_order_relaxed);
	const cv::Size size = fittedSize(edges.size(), { room.width, room.height });
	cv::Rect part;
	{
		std::lock_guard lock(viewLock);
		view.picture = edges.size();
		view.shown = size;
		view.last = edges;
		if (view.fullSize && size != edges.size()) {
			view.origin = clampedOrigin(view.origin, size, edges.size());
			part = cv::Rect(view.origin, size);
		}
	}
	// The part is a view into edges, not a copy: no more work than the room's pixels.
	if (!part.empty())
		return edges(part);
	return shrinkKeepingEdges(edges, size);
}

cv::Mat lastEdgePicture()
{
	std::lock_guard lock(viewLock);
	return view.last;
}

bool switchEdgeView(cv::Point at)
{
	std::lock_guard lock(viewLock);
	if (view.fullSize) {
		view.fullSize = false;
		return true;
	}
	if (view.shown.empty() || view.shown == view.picture)
		return false;
	// The picture's pixel under the mouse is shown under it again, at full size.
	const auto under = [](int shown, int shownSize, int pictureSize) {
		return static_cast<int>(std::int64_t{ shown } * pictureSize / shownSize);
	};
	const cv::Point picturePoint(under(at.x, view.shown.width, view.picture.width),
				     under(at.y, view.shown.height, view.picture.height));
	view.origin = clampedOrigin(picturePoint - at, view.shown, view.picture);
	view.fullSize = true;
	return true;
}

bool moveEdgeView(cv::Point by)
{
	std::lock_guard lock(viewLock);
	if (!view.fullSize)
		return false;
	view.origin = clampedOrigin(view.origin - by, view.shown, view.picture);
	return true;
}
