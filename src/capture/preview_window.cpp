// The preview window, drawn by highgui on the main thread like every other window.
#include "preview_window.h"

#include <algorithm>
#include <cmath>
#include <utility>

#include <opencv2/highgui.hpp>
#include <opencv2/imgproc.hpp>

#include "gui_dispatch.h"
#include "picture_fit.h"
#include "screen_fit.h"

cv::Mat previewPicture(const cv::Mat &frame, double pixelAspect, int width, int height)
{
	cv::Mat fitted = frame;
	if (width > 0 && height > 0 && (width != frame.cols || height != frame.rows)) {
		const double shownWidth = frame.cols * pixelAspect;
		const double scale = std::min(width / shownWidth, height / double(frame.rows));
		const int fittedWidth =
			std::clamp(static_cast<int>(std::lround(shownWidth * scale)), 1, width);
		const int fittedHeight =
			std::clamp(static_cast<int>(std::lround(frame.rows * scale)), 1, height);
		fitted = cv::Mat::zeros(height, width, CV_8UC3);
		cv::Mat area =
			fitted(cv::Rect((width - fittedWidth) / 2, (height - fittedHeight) / 2,
					fittedWidth, fittedHeight));
		// Two taps, as GStreamer's scaler by default: a finer filter costs a large frame
		// several times as much, for a window that shows the stream at a glance.
		cv::resize(frame, area, area.size(), 0, 0, cv::INTER_LINEAR);
	}
	cv::Mat picture;
	cv::flip(fitted, picture, 0);
	cv::cvtColor(picture, picture, cv::COLOR_RGB2BGR);
	return picture;
}

PreviewWindow::PreviewWindow(std::string title) : state_(std::make_shared<State>())
{
	state_->title = std::move(title);
}

PreviewWindow::~PreviewWindow()
{
	State &state = *state_;
	const bool open = state.opened && !state.closed.load();
	state.closed.store(true); // frames still queued are not shown
	if (open && windowVisible(state.title))
		cv::destroyWindow(state.title);
}

void PreviewWindow::setSize(int width, int height)
{
	// Never larger than the screen: a size asked for that does not fit keeps its shape.
	const cv::Size room = screenRoom(state_->title);
	// The window's size is in Qt's units; its picture is made in the screen's pixels, which
	// Qt then draws without scaling it again.
	int pictureWidth = width;
	int pictureHeight = height;
	if (width > 0 && height > 0) {
		const cv::Size size = fittedSize({ width, height }, room);
		width = size.width;
		height = size.height;
		const double ratio = screenPixelRatio();
		pictureWidth = static_cast<int>(std::lround(width * ratio));
		pictureHeight = static_cast<int>(std::lround(height * ratio));
	}
	state_->width = width;
	state_->height = height;
	width_.store(pictureWidth, std::memory_order_relaxed);
	height_.store(pictureHeight, std::memory_order_relaxed);
	roomWidth_.store(room.width, std::memory_order_relaxed);
	roomHeight_.store(room.height, std::memory_order_relaxed);
}

cv::Size PreviewWindow::fitted(cv::Size pictureSize) const
{
	const int width = width_.load(std::memory_order_relaxed);
	const int height = height_.load(std::memory_order_relaxed);
	if (width > 0 && height > 0)
		return { width, height };
	return fittedSize(pictureSize, { roomWidth_.load(std::memory_order_relaxed),
					 roomHeight_.load(std::memory_order_relaxed) });
}

bool PreviewWindow::closedByUser() const
{
	// Without frames (an unplugged camera) show() has not yet seen the window go.
	const State &state = *state_;
	return state.closed.load() || (state.opened && !windowVisible(state.title));
}

void PreviewWindow::offer(const cv::Mat &frame, std::shared_ptr<const void> keepAlive)
{
	if (state_->closed.load())
		return;
	guiDispatcher().postFrame(
		state_->title,
		[state = state_, frame, keepAlive = std::move(keepAlive)] { show(*state, frame); });
}

void PreviewWindow::show(State &state, const cv::Mat &frame)
{
	if (state.closed.load())
		return;
	if (state.opened && !windowVisible(state.title)) {
		// Closed by the user: it stays closed, and capture goes on.
		state.closed.store(true);
		return;
	}
	if (!state.opened) {
		if (state.width > 0 && state.height > 0) {
			// No tool bar, so the picture itself has the asked-for size. No OpenGL:
			// without a GPU it costs several times the CPU (docs/performance.md).
			cv::namedWindow(state.title, cv::WINDOW_NORMAL | cv::WINDOW_KEEPRATIO |
							     cv::WINDOW_GUI_NORMAL);
			cv::resizeWindow(state.title, state.width, state.height);
		} else {
			cv::namedWindow(state.title, cv::WINDOW_AUTOSIZE | cv::WINDOW_GUI_NORMAL);
		}
		state.opened = true;
	}
	cv::imshow(state.title, frame);
}
