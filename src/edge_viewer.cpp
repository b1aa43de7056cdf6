// The viewer's driver: every step runs on the main thread, which also owns every window.
#include "edge_viewer.h"

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include <opencv2/core.hpp>
#include <opencv2/highgui.hpp>
#include <opencv2/imgcodecs.hpp>

#include "capture/cvcam.h"
#include "display_check.h"
#include "edge_thresholds.h"
#include "edge_view.h"
#include "frame_pipeline.h"
#include "gradient_histogram.h"
#include "gui_dispatch.h"
#include "screen_fit.h"
#include "user_message.h"

namespace {

// The capture layer takes a flag as the pointer value itself.
void *const flagOn = reinterpret_cast<void *>(std::intptr_t{ 1 });

// A still image sends no frame of its own: it is asked for one after each move, which then reads
// the new thresholds.
void onT1Moved(int position, void *)
{
	threshold1.store(position, std::memory_order_relaxed);
	cvcamRedeliver();
}

void onT2Moved(int position, void *)
{
	threshold2.store(position, std::memory_order_relaxed);
	cvcamRedeliver();
}

// Where the last press or drag step of the left button was in "edge"; main thread only.
cv::Point dragFrom;

// A double click switches a picture larger than its room between the whole of it and its
// full-size detail under the mouse; a drag moves the detail. A still is asked for its picture
// again, as after a slider move.
void onEdgeMouse(int event, int x, int y, int flags, void *)
{
	bool changed = false;
	if (event == cv::EVENT_LBUTTONDBLCLK) {
		changed = switchEdgeView({ x, y });
	} else if (event == cv::EVENT_LBUTTONDOWN) {
		dragFrom = { x, y };
	} else if (event == cv::EVENT_MOUSEMOVE && (flags & cv::EVENT_FLAG_LBUTTON)) {
		changed = moveEdgeView(cv::Point(x, y) - dragFrom);
		dragFrom = { x, y };
	}
	if (changed)
		cvcamRedeliver();
}

// Ctrl+S saves the edge picture at its full size, whatever part of it the window shows.
void saveEdgePicture(const std::string &path)
{
	const cv::Mat edges = lastEdgePicture();
	bool saved = false;
	try {
		saved = !edges.empty() && cv::imwrite(path, edges);
	} catch (const cv::Exception &) {
	}
	if (!saved)
		tellUser("failed to save the edge picture to \"" + path + "\"");
}

// Ctrl+O switches between the edges alone and the edges over the picture; a still is asked for
// its picture again.
void switchOverlay()
{
	overlayShown.store(!overlayShown.load(std::memory_order_relaxed),
			   std::memory_order_relaxed);
	cvcamRedeliver();
}

// The room changes when the window manager frames the window, or the window goes to another
// screen: live frames follow by themselves, a still is asked for its picture again.
void followScreenRoom()
{
	if (setEdgePictureRoom(pictureRoom(edgeWindow)))
		cvcamRedeliver();
}

void createThresholdSlider(const char *name, const std::atomic<int> &threshold, int maximum,
			   cv::TrackbarCallback onMoved)
{
	const int initial = threshold.load(std::memory_order_relaxed);
	cv::createTrackbar(name, edgeWindow, nullptr, maximum, onMoved);
	cv::setTrackbarPos(name, edgeWindow, initial);
}

// One line a script reads with its keys in a fixed order, such as
// "T1=87 T2=140 aperture=3 l2=0 blur=0"; the thresholds as the sliders left them.
void printThresholds(const EdgeDetector &detector)
{
	std::printf("T1=%d T2=%d aperture=%d l2=%d blur=%d\n",
		    threshold1.load(std::memory_order_relaxed),
		    threshold2.load(std::memory_order_relaxed), detector.aperture,
		    detector.l2Gradient ? 1 : 0, detector.blur);
	std::fflush(stdout);
}

// The sliders go where the first frame's proposed thresholds are, once; the move's callbacks
// store the same values again.
void showProposedThresholds()
{
	if (!thresholdsProposed.exchange(false, std::memory_order_acquire))
		return;
	cv::setTrackbarPos("T1", edgeWindow, threshold1.load(std::memory_order_relaxed));
	cv::setTrackbarPos("T2", edgeWindow, threshold2.load(std::memory_order_relaxed));
}

// Declared before the capture guard so that, destroyed after it, windows close only once capture
// has stopped and no frame can reach them.
struct WindowsClosedAtExit {
	WindowsClosedAtExit() = default;
	WindowsClosedAtExit(const WindowsClosedAtExit &) = delete;
	WindowsClosedAtExit &operator=(const WindowsClosedAtExit &) = delete;
	~WindowsClosedAtExit() { cv::destroyAllWindows(); }
};

struct CaptureReleasedAtExit {
	CaptureReleasedAtExit() = default;
	CaptureReleasedAtExit(const CaptureReleasedAtExit &) = delete;
	CaptureReleasedAtExit &operator=(const CaptureReleasedAtExit &) = delete;
	~CaptureReleasedAtExit()
	{
		cvcamStop();
		cvcamExit();
	}
};

} // namespace

int runEdgeViewer(const ViewerSettings &settings)
{
	// 1. What the command line chose reaches the capture layer before its dialogs, which then
	//    ask nothing already answered. A camera, format or source that is not there ends the
	//    run here with its own line, before any window and whether or not there is a display.
	if (const int status = cvcamPreset(settings.capture); status != 0)
		return status;

	// 2. Without a display the toolkit would abort the process at the first window call: say
	//    so and leave before the camera has been opened.
	if (const std::string reason = unreachableDisplayReason(); !reason.empty()) {
		tellUser("failed to open a window: " + reason);
		return 1;
	}

	// 3. The user chooses; only the first choice is used.
	std::vector<int> cameraList;
	cvcamSelectCamera(cameraList);
	if (cameraList.empty()) {
		tellUser("no camera selected");
		return 1;
	}
	const int camera = cameraList.front();

	// 4. Capture properties, all before init. The layer keeps pointers to the sizes, which
	//    outlive it: they die after the capture guard below has released the layer.
	int renderWidth = 640;
	int renderHeight = 480;
	const WindowsClosedAtExit windows;
	const CaptureReleasedAtExit capture;
	cvcamSetProperty(camera, "enable", flagOn);
	cvcamSetProperty(camera, "render", flagOn);
	cvcamGetProperty(camera, "video_pp", nullptr);
	cvcamSetProperty(camera, "rendering_width", &renderWidth);
	cvcamSetProperty(camera, "rendering_height", &renderHeight);
	cvcamSetProperty(camera, "callback", reinterpret_cast<void *>(&edgeFrameCallback));

	// 5. The window and its sliders exist before the first frame can arrive.
	//    The sliders start where the command line put them. Drawn by Qt without OpenGL: an
	//    OpenGL window has no tool bar, and without a GPU its software GL costs several times
	//    the CPU per frame (docs/performance.md).
	threshold1.store(settings.threshold1, std::memory_order_relaxed);
	threshold2.store(settings.threshold2, std::memory_order_relaxed);
	detectorAperture.store(settings.detector.aperture, std::memory_order_relaxed);
	detectorL2Gradient.store(settings.detector.l2Gradient, std::memory_order_relaxed);
	detectorBlur.store(settings.detector.blur, std::memory_order_relaxed);
	proposeThresholds.store(settings.autoThresholds, std::memory_order_relaxed);
	overlayShown.store(settings.overlay, std::memory_order_relaxed);
	histogramShown.store(settings.histogram, std::memory_order_relaxed);
	thresholdsProposed.store(false, std::memory_order_relaxed);
	const int maximum = thresholdMaximumFor(settings.detector.aperture);
	cv::namedWindow(edgeWindow, cv::WINDOW_AUTOSIZE);
	createThresholdSlider("T1", threshold1, maximum, onT1Moved);
	createThresholdSlider("T2", threshold2, maximum, onT2Moved);
	guiDispatcher().open();

	// 6. The picture is fitted to the room the screen leaves beside the tool bar and the
	//    sliders, which must stay in reach; a picture that fits is shown at its own size.
	//    The mouse shows full-size detail of a picture shown smaller, and Ctrl+S saves the
	//    picture at full size; Ctrl+O switches the edges over the picture. The histogram's
	//    window, when asked for, is as narrow as its picture.
	compactToolBar(edgeWindow);
	setEdgePictureRoom(pictureRoom(edgeWindow));
	cv::setMouseCallback(edgeWindow, onEdgeMouse);
	takeOverSave(edgeWindow, saveEdgePicture);
	addWindowShortcut(edgeWindow, "Ctrl+O", switchOverlay);
	if (settings.histogram) {
		cv::namedWindow(histogramWindow, cv::WINDOW_AUTOSIZE);
		compactToolBar(histogramWindow);
	}

	// 7. A failed start still waits for the key, which ends the run as usual.
	cvcamInit();
	cvcamStart();

	// 8. Any key, or closing "edge", ends the run. Frames may arrive until capture stops; from
	//    here on their display work is dropped instead of waiting for this thread.
	waitKeyRunningGuiWork(edgeWindow, [] {
		followScreenRoom();
		showProposedThresholds();
	});
	if (settings.printThresholds)
		printThresholds(settings.detector);

	// 9. Teardown, by the guards in reverse order: stop capture, release the capture layer,
	//    then close every window.
	return 0;
}
