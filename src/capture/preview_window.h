// The capture layer's preview ("render"): the raw stream in a window of its own, titled with the
// camera's name. Frames come from a streaming thread; the window lives on the main thread, which
// shows them through the GUI hand-off.
#pragma once

#include <atomic>
#include <memory>
#include <string>

#include <opencv2/core.hpp>

// Streaming thread. The preview's picture of frame, which is 8-bit RGB stored bottom row first as
// the frame callback gets it, with pixels pixelAspect times as wide as high: upright, in the
// window's BGR, fitted into width x height with borders so that its shape is kept. Either size 0:
// the frame's own size.
cv::Mat previewPicture(const cv::Mat &frame, double pixelAspect, int width, int height);

class PreviewWindow
{
public:
	explicit PreviewWindow(std::string title);
	PreviewWindow(const PreviewWindow &) = delete;
	PreviewWindow &operator=(const PreviewWindow &) = delete;
	// Main thread: closes the window if it is open.
	~PreviewWindow();

	// Main thread, before frames flow: the size the window opens at, fitted to the screen; 0
	// leaves it the frame's, which is then fitted (fitted()).
	void setSize(int width, int height);
	// Streaming thread. The size set, in the screen's pixels, for the pictures offered.
	int width() const { return width_.load(std::memory_order_relaxed); }
	int height() const { return height_.load(std::memory_order_relaxed); }
	// Streaming thread. The size a picture of pictureSize is offered at: the size set or, with
	// none, pictureSize fitted to the screen.
	cv::Size fitted(cv::Size pictureSize) const;

	// Main thread. Whether the user has closed the window: a camera that comes back keeps it
	// closed.
	bool closedByUser() const;

	// Streaming thread. frame is 8-bit BGR, top row first, and stays valid while keepAlive
	// lives (null for a frame of its own). Never waits: it replaces the frame before if that
	// one is still waiting to be shown, so the preview shows the newest picture and never holds
	// up capture.
	void offer(const cv::Mat &frame, std::shared_ptr<const void> keepAlive);

private:
	// What the main thread needs to show a frame; shared with the work queued for it.
	struct State {
		std::string title;
		int width = 0;	     // main thread only
		int height = 0;	     // main thread only
		bool opened = false; // main thread only
		// Set on the main thread once closed, by the user or at shutdown; read by offer(),
		// which then stops handing frames over.
		std::atomic<bool> closed{ false };
	};

	static void show(State &state, const cv::Mat &frame);

	std::shared_ptr<State> state_;
	// Set by the main thread before frames flow; read by the streaming thread.
	std::atomic<int> width_{ 0 };
	std::atomic<int> height_{ 0 };
	std::atomic<int> roomWidth_{ 0 }; // the screen's room; 0: no limit known
	std::atomic<int> roomHeight_{ 0 };
};
