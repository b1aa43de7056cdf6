// What one paint costs through OpenCV's Qt backend for each choice its API offers: the picture's
// channels and depth, the window's flags, OpenGL, a pointer resting on the picture, and a pump with
// nothing new to paint. Each choice paints the same picture as often; choices alternate round by
// round; the preview also takes the camera's frame unscaled. Prints one line per window, size and
// choice:
//   paint WxH window=edge|preview choice=NAME cpu_ms=.. [xserver_ms=..]
// cpu_ms is this process's CPU per paint (imshow and one waitKey(1) pump), a median over ROUNDS
// (default 5); xserver_ms, where the X server is a sibling Xvfb, the server's CPU per paint.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include <X11/Xlib.h>

#include <opencv2/core.hpp>
#include <opencv2/highgui.hpp>
#include <opencv2/imgproc.hpp>

#include "process_cpu.h"

namespace {

constexpr char windowTitle[] = "paint";
const cv::Size previewSize(640, 480);

struct Choice {
	const char *window; // as which of the viewer's windows it is made
	const char *name;
	int flags;
	int type; // of the picture handed to imshow
	bool pointerOnPicture = false;
	bool paints = true; // false: the pump alone
	cv::Size picture{}; // when not the window's size: the window scales it when it draws
	std::vector<double> cpuMs{};
	double xserverMs = 0;
	int paintsCounted = 0;
};

struct DisplayClose {
	void operator()(Display *display) const { XCloseDisplay(display); }
};

// Edges as the viewer shows them: white lines on black, converted to the choice's layout.
cv::Mat pictureFor(int type, cv::Size size)
{
	cv::Mat lines(size, CV_8UC1, cv::Scalar::all(0));
	for (int y = 0; y < size.height; y += 16)
		cv::line(lines, { 0, y }, { size.width - 1, (y * 7) % size.height },
			 cv::Scalar::all(255));
	cv::Mat picture;
	switch (type) {
	case CV_8UC3:
		cv::cvtColor(lines, picture, cv::COLOR_GRAY2BGR);
		break;
	case CV_8UC4:
		cv::cvtColor(lines, picture, cv::COLOR_GRAY2BGRA);
		break;
	case CV_16UC1:
		lines.convertTo(picture, CV_16U, 257);
		break;
	case CV_32FC1:
		lines.convertTo(picture, CV_32F, 1 / 255.0);
		break;
	default:
		picture = lines;
	}
	return picture;
}

void openWindow(const Choice &choice, const cv::Mat &picture)
{
	cv::namedWindow(windowTitle, choice.flags);
	if (std::string(choice.window) == "edge") {
		cv::createTrackbar("T1", windowTitle, nullptr, 255);
		cv::createTrackbar("T2", windowTitle, nullptr, 255);
	} else {
		cv::resizeWindow(windowTitle, previewSize.width, previewSize.height);
	}
	cv::imshow(windowTitle, picture);
	for (int pump = 0; pump < 10; ++pump)
		cv::waitKey(1);
}

// Moves the pointer onto the middle of the picture: the backend then writes the pixel under it
// into the status bar on every paint.
void putPointerOnPicture(Display *display)
{
	const cv::Rect picture = cv::getWindowImageRect(windowTitle);
	XWarpPointer(display, None, DefaultRootWindow(display), 0, 0, 0, 0,
		     picture.x + picture.width / 2, picture.y + picture.height / 2);
	XFlush(display);
	for (int pump = 0; pump < 10; ++pump)
		cv::waitKey(1);
}

void measure(std::vector<Choice> &choices, cv::Size size, int rounds, pid_t xserver,
	     Display *display)
{
	const int runs = std::max(8, 240 * previewSize.area() / size.area());
	// Round 0 is not counted: the first paints lay the window out.
	for (int round = 0; round <= rounds; ++round) {
		for (Choice &choice : choices) {
			const cv::Mat picture = pictureFor(
				choice.type, choice.picture.empty() ? size : choice.picture);
			openWindow(choice, picture);
			if (choice.pointerOnPicture)
				putPointerOnPicture(display);
			const double xserverStart = otherProcessCpuMs(xserver);
			const double start = processCpuMs();
			for (int run = 0; run < runs; ++run) {
				if (choice.paints)
					cv::imshow(windowTitle, picture);
				cv::waitKey(1);
			}
			const double cpu = (processCpuMs() - start) / runs;
			const double xserverCpu = otherProcessCpuMs(xserver) - xserverStart;
			cv::destroyAllWindows();
			for (int pump = 0; pump < 5; ++pump)
				cv::waitKey(1);
			if (round == 0)
				continue;
			choice.cpuMs.push_back(cpu);
			choice.xserverMs += xserverCpu;
			choice.paintsCounted += runs;
		}
	}
	for (Choice &choice : choices) {
		std::sort(choice.cpuMs.begin(), choice.cpuMs.end());
		std::printf("paint %dx%d window=%s choice=%s cpu_ms=%.3f", size.width, size.height,
			    choice.window, choice.name, choice.cpuMs[choice.cpuMs.size() / 2]);
		if (xserver != 0)
			std::printf(" xserver_ms=%.3f", choice.xserverMs / choice.paintsCounted);
		std::printf("\n");
	}
	std::fflush(stdout);
}

} // namespace

int main()
{
	const std::unique_ptr<Display, DisplayClose> display(XOpenDisplay(nullptr));
	if (!display) {
		std::fprintf(stderr, "paint_choices: failed to open the display\n");
		return 1;
	}
	cv::setNumThreads(1);
	const char *roundsText = std::getenv("ROUNDS");
	const int rounds = std::max(1, roundsText ? std::atoi(roundsText) : 5);
	const pid_t xserver = siblingXvfb();

	// The edge window as the viewer makes it: sized by its picture, with the tool bar, the
	// status bar and the sliders.
	constexpr int edgeFlags = cv::WINDOW_AUTOSIZE;
	for (const cv::Size size :
	     { cv::Size(640, 480), cv::Size(1920, 1080), cv::Size(3840, 2160) }) {
		std::vector<Choice> edge = {
			{ "edge", "grey", edgeFlags, CV_8UC1 },
			{ "edge", "bgr", edgeFlags, CV_8UC3 },
			{ "edge", "bgra", edgeFlags, CV_8UC4 },
			{ "edge", "grey16", edgeFlags, CV_16UC1 },
			{ "edge", "float", edgeFlags, CV_32FC1 },
			{ "edge", "gui_normal", edgeFlags | cv::WINDOW_GUI_NORMAL, CV_8UC1 },
			{ .window = "edge",
			  .name = "pointer_on_picture",
			  .flags = edgeFlags,
			  .type = CV_8UC1,
			  .pointerOnPicture = true },
			{ "edge", "opengl", edgeFlags | cv::WINDOW_OPENGL, CV_8UC1 },
			{ .window = "edge",
			  .name = "pump_only",
			  .flags = edgeFlags,
			  .type = CV_8UC1,
			  .paints = false },
		};
		measure(edge, size, rounds, xserver, display.get());
	}
	// The preview as the viewer makes it: no tools, resized to the rendering size.
	constexpr int previewFlags =
		cv::WINDOW_NORMAL | cv::WINDOW_KEEPRATIO | cv::WINDOW_GUI_NORMAL;
	std::vector<Choice> preview = {
		{ "preview", "bgr", previewFlags, CV_8UC3 },
		{ "preview", "autosize", cv::WINDOW_AUTOSIZE | cv::WINDOW_GUI_NORMAL, CV_8UC3 },
		{ "preview", "opengl", cv::WINDOW_NORMAL | cv::WINDOW_KEEPRATIO | cv::WINDOW_OPENGL,
		  CV_8UC3 },
		// The camera's frame as it is, scaled by Qt as it draws (without smoothing).
		{ .window = "preview",
		  .name = "qt_scales_1920x1080",
		  .flags = previewFlags,
		  .type = CV_8UC3,
		  .picture = { 1920, 1080 } },
		{ .window = "preview",
		  .name = "qt_scales_3840x2160",
		  .flags = previewFlags,
		  .type = CV_8UC3,
		  .picture = { 3840, 2160 } },
	};
	measure(preview, previewSize, rounds, xserver, display.get());
	return 0;
}
