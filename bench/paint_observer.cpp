// The paint observer's thread: finds the "edge" window, then reads the frame code after each change
// the X server reports.
#include "paint_observer.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <memory>
#include <optional>
#include <string_view>

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/Xdamage.h>
#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include "frame_code.h"
#include "frame_log.h"

namespace {

constexpr std::string_view edgeWindowName = "edge";

// How often the window is looked for until it is there.
constexpr int searchIntervalMs = 20;

// How often at most the other windows of this process are looked at, when the code cannot be read.
constexpr std::chrono::milliseconds clearInterval{ 250 };

// The top rows of the "edge" window, where the picture's code lies below the tool bar.
constexpr int codeStripHeight = 128;

struct DisplayClose {
	void operator()(Display *display) const { XCloseDisplay(display); }
};
using DisplayPtr = std::unique_ptr<Display, DisplayClose>;

struct ImageDestroy {
	void operator()(XImage *image) const { XDestroyImage(image); }
};
using XImagePtr = std::unique_ptr<XImage, ImageDestroy>;

struct XFreeData {
	void operator()(unsigned char *data) const { XFree(data); }
};
using XDataPtr = std::unique_ptr<unsigned char, XFreeData>;

struct WindowList {
	Window *windows = nullptr;
	unsigned int count = 0;
	WindowList() = default;
	WindowList(const WindowList &) = delete;
	WindowList &operator=(const WindowList &) = delete;
	~WindowList()
	{
		if (windows)
			XFree(windows);
	}
};

// Errors on the observer's own connection are expected (a picture read as its window goes, a
// rectangle off the screen), and the call concerned returns nothing. Those of any other connection
// go to the handler there was. Xlib keeps one handler for the whole process.
std::atomic<Display *> observerDisplay{ nullptr };
std::atomic<XErrorHandler> previousHandler{ nullptr };

int onXError(Display *display, XErrorEvent *event)
{
	if (display == observerDisplay.load())
		return 0;
	const XErrorHandler previous = previousHandler.load();
	return previous ? previous(display, event) : 0;
}

std::int64_t nowNs()
{
	return std::chrono::duration_cast<std::chrono::nanoseconds>(
		       std::chrono::steady_clock::now().time_since_epoch())
		.count();
}

double threadCpuMs()
{
	timespec used{};
	clock_gettime(CLOCK_THREAD_CPUTIME_ID, &used);
	return static_cast<double>(used.tv_sec) * 1e3 + static_cast<double>(used.tv_nsec) / 1e6;
}

// Waits until fd can be read or timeoutMs (-1: no limit) have passed.
void waitReadable(int fd, int timeoutMs)
{
	pollfd wait{ .fd = fd, .events = POLLIN, .revents = 0 };
	poll(&wait, 1, timeoutMs);
}

struct Rectangle {
	int x = 0;
	int y = 0;
	int width = 0;
	int height = 0;

	bool meets(const Rectangle &other) const
	{
		return x < other.x + other.width && other.x < x + width &&
		       y < other.y + other.height && other.y < y + height;
	}
};

// One connection's view of the "edge" window of this process.
class EdgeWindowWatch
{
public:
	EdgeWindowWatch(Display *display, FrameLog &log)
		: display_(display), log_(log), pidAtom_(XInternAtom(display, "_NET_WM_PID", False))
	{
	}

	// Looks for the window once; from when it is found, its changes are reported.
	bool find()
	{
		window_ = findOwn(DefaultRootWindow(display_), 3);
		if (window_ == None)
			return false;
		// The damage object goes with the connection or the window, whichever goes first.
		damage_ = XDamageCreate(display_, window_, XDamageReportBoundingBox);
		XFlush(display_);
		return true;
	}

	bool found() const { return window_ != None; }

	// A change of the window's contents: area is where it changed since the last one.
	void onDamage(const XDamageNotifyEvent &event, std::int64_t seenNs)
	{
		XDamageSubtract(display_, damage_, None, None);
		const NewestFrame newest = log_.newest();
		if (!newest.any)
			return;
		const Rectangle area{ event.area.x, event.area.y, event.area.width,
				      event.area.height };
		const Rectangle window{ 0, 0, event.geometry.width, event.geometry.height };
		// A frame wider than the window is shown shrunk to the window's width, its code
		// with it: the code is read at that scale.
		scale_ = newest.width > window.width ? double(window.width) / newest.width : 1.0;
		// The picture is where it was, or where the change starts: the whole picture is
		// drawn with each frame.
		if (origin_ && area.meets(codeAt(origin_->x, origin_->y))) {
			if (const auto code = readCode(*origin_, window)) {
				log_.painted(code, seenNs);
				return;
			}
		}
		const Rectangle corner = codeAt(area.x, area.y);
		if (!origin_ || corner.x != origin_->x || corner.y != origin_->y) {
			if (const auto code = readCode(corner, window)) {
				origin_ = corner;
				log_.painted(code, seenNs);
				return;
			}
		}
		if (!newest.coded) {
			// A frame without a code: a change over most of what can be seen of the
			// picture is that picture.
			const int screenWidth = DisplayWidth(display_, DefaultScreen(display_));
			const int screenHeight = DisplayHeight(display_, DefaultScreen(display_));
			if (area.width >= std::min(newest.width, screenWidth) / 2 &&
			    area.height >= std::min(newest.height, screenHeight) / 2)
				log_.painted(std::nullopt, seenNs);
			return;
		}
		clearWay();
	}

private:
	Rectangle codeAt(int x, int y) const
	{
		return { x, y, static_cast<int>(std::ceil(frameCodeWidth * scale_)),
			 static_cast<int>(std::ceil(frameCodeHeight * scale_)) };
	}

	bool ownedHere(Window window) const
	{
		Atom type = None;
		int format = 0;
		unsigned long items = 0;
		unsigned long after = 0;
		unsigned char *raw = nullptr;
		if (XGetWindowProperty(display_, window, pidAtom_, 0, 1, False, XA_CARDINAL, &type,
				       &format, &items, &after, &raw) != Success)
			return false;
		const XDataPtr data(raw);
		return data && format == 32 && items == 1 &&
		       static_cast<pid_t>(*reinterpret_cast<unsigned long *>(data.get())) ==
			       getpid();
	}

	bool named(Window window, std::string_view name) const
	{
		Atom type = None;
		int format = 0;
		unsigned long items = 0;
		unsigned long after = 0;
		unsigned char *raw = nullptr;
		if (XGetWindowProperty(display_, window, XA_WM_NAME, 0, 64, False, AnyPropertyType,
				       &type, &format, &items, &after, &raw) != Success)
			return false;
		const XDataPtr data(raw);
		return data && format == 8 &&
		       std::string_view(reinterpret_cast<const char *>(data.get()), items) == name;
	}

	bool viewable(Window window, XWindowAttributes &attributes) const
	{
		return XGetWindowAttributes(display_, window, &attributes) &&
		       attributes.map_state == IsViewable;
	}

	// This process's visible window named "edge", at most depth levels below parent (a window
	// manager puts a frame around each).
	Window findOwn(Window parent, int depth) const
	{
		Window root = None;
		Window above = None;
		WindowList children;
		if (!XQueryTree(display_, parent, &root, &above, &children.windows,
				&children.count))
			return None;
		for (unsigned int index = 0; index < children.count; ++index) {
			const Window child = children.windows[index];
			XWindowAttributes attributes;
			if (named(child, edgeWindowName) && ownedHere(child) &&
			    viewable(child, attributes))
				return child;
			if (depth > 1)
				if (const Window inner = findOwn(child, depth - 1); inner != None)
					return inner;
		}
		return None;
	}

	// The value of the code at rectangle of the window, read from the screen; none when it
	// holds none or cannot be read there.
	std::optional<std::uint16_t> readCode(const Rectangle &code, const Rectangle &window) const
	{
		if (code.x < 0 || code.y < 0 || code.x + code.width > window.width ||
		    code.y + code.height > window.height)
			return std::nullopt;
		const XImagePtr image(XGetImage(
			display_, window_, code.x, code.y, static_cast<unsigned int>(code.width),
			static_cast<unsigned int>(code.height), AllPlanes, ZPixmap));
		if (!image)
			return std::nullopt;
		// The edges are white on black: one channel says which.
		const unsigned long mask = image->green_mask;
		XImage *pixels = image.get();
		// Shrunk, every edge pixel of the code lands on an edge pixel where it is shown.
		const double scale = scale_;
		return readFrameCode([pixels, mask, scale](int x, int y) {
			return (XGetPixel(pixels, static_cast<int>(x * scale),
					  static_cast<int>(y * scale)) &
				mask) > mask / 2;
		});
	}

	// Moves this process's other windows that cover the top of "edge", where the code is, to
	// the screen's far corner, as a window manager would have placed them. Without one, every
	// window opens at the top-left corner, over the other.
	void clearWay()
	{
		const auto now = std::chrono::steady_clock::now();
		if (now - lastClear_ < clearInterval)
			return;
		lastClear_ = now;
		const Window rootWindow = DefaultRootWindow(display_);
		XWindowAttributes edge;
		int edgeX = 0;
		int edgeY = 0;
		Window child = None;
		if (!viewable(window_, edge) ||
		    !XTranslateCoordinates(display_, window_, rootWindow, 0, 0, &edgeX, &edgeY,
					   &child))
			return;
		const Rectangle strip{ edgeX, edgeY, edge.width,
				       std::min(edge.height, codeStripHeight) };
		Window root = None;
		Window above = None;
		WindowList children;
		if (!XQueryTree(display_, rootWindow, &root, &above, &children.windows,
				&children.count))
			return;
		for (unsigned int index = 0; index < children.count; ++index) {
			const Window other = children.windows[index];
			XWindowAttributes attributes;
			if (other == window_ || !viewable(other, attributes) || !ownedHere(other))
				continue;
			const Rectangle place{ attributes.x, attributes.y, attributes.width,
					       attributes.height };
			if (!place.meets(strip))
				continue;
			XMoveWindow(display_, other, edge.screen->width - attributes.width,
				    edge.screen->height - attributes.height);
		}
		XFlush(display_);
	}

	Display *display_;
	FrameLog &log_;
	const Atom pidAtom_; // the window manager's property that holds a window's process
	Window window_ = None;
	Damage damage_ = None;
	std::optional<Rectangle> origin_; // where the code was last read, in the window
	double scale_ = 1.0;		  // the picture's width shown over the frame's
	std::chrono::steady_clock::time_point lastClear_{};
};

} // namespace

PaintObserver::WakeEvent::WakeEvent() : fd_(eventfd(0, EFD_CLOEXEC))
{
}

PaintObserver::WakeEvent::~WakeEvent()
{
	if (fd_ >= 0)
		close(fd_);
}

PaintObserver::PaintObserver(FrameLog &log) : log_(log)
{
}

PaintObserver::~PaintObserver()
{
	stop();
}

void PaintObserver::start()
{
	std::lock_guard lock(startLock_);
	if (thread_.joinable() || stopping_.load())
		return;
	thread_ = std::thread([this] { run(); });
}

void PaintObserver::stop()
{
	stopping_.store(true);
	const std::uint64_t one = 1;
	if (write(wake_.fd(), &one, sizeof one) < 0) {
		// Only a counter at its limit refuses, and then the thread is awake already.
	}
	std::lock_guard lock(startLock_);
	if (thread_.joinable())
		thread_.join();
}

void PaintObserver::run()
{
	pthread_setname_np(pthread_self(), paintObserverThreadName);
	const DisplayPtr display(XOpenDisplay(nullptr));
	int eventBase = 0;
	int errorBase = 0;
	int major = 1;
	int minor = 1;
	if (!display || !XDamageQueryExtension(display.get(), &eventBase, &errorBase) ||
	    !XDamageQueryVersion(display.get(), &major, &minor)) {
		std::fputs("edge-viewer timing: no X display with the DAMAGE extension; no frame "
			   "is seen painted\n",
			   stderr);
		cpuMs_ = threadCpuMs();
		return;
	}
	observerDisplay.store(display.get());
	previousHandler.store(XSetErrorHandler(onXError));

	EdgeWindowWatch watch(display.get(), log_);
	const int connection = ConnectionNumber(display.get());
	while (!stopping_.load()) {
		if (!watch.found()) {
			if (!watch.find())
				waitReadable(wake_.fd(), searchIntervalMs);
			continue;
		}
		// Events Xlib has read already never wake the poll: take them first.
		while (XPending(display.get()) > 0) {
			XEvent event;
			XNextEvent(display.get(), &event);
			if (event.type == eventBase + XDamageNotify)
				watch.onDamage(reinterpret_cast<const XDamageNotifyEvent &>(event),
					       nowNs());
		}
		pollfd waits[] = { { .fd = connection, .events = POLLIN, .revents = 0 },
				   { .fd = wake_.fd(), .events = POLLIN, .revents = 0 } };
		poll(waits, 2, -1);
	}
	cpuMs_ = threadCpuMs();
}
