// Asks an X window to close the way a window manager's title-bar button does: WM_DELETE_WINDOW.
// Usage: close_window WINDOW_ID
#include <cstdio>
#include <cstdlib>

#include <X11/Xlib.h>

int main(int argc, char **argv)
{
	if (argc != 2) {
		std::fputs("usage: close_window WINDOW_ID\n", stderr);
		return 2;
	}
	Display *display = XOpenDisplay(nullptr);
	if (!display) {
		std::fputs("close_window: cannot open the display\n", stderr);
		return 1;
	}
	const Window window = std::strtoul(argv[1], nullptr, 0);
	XEvent event{};
	event.xclient.type = ClientMessage;
	event.xclient.window = window;
	event.xclient.message_type = XInternAtom(display, "WM_PROTOCOLS", False);
	event.xclient.format = 32;
	event.xclient.data.l[0] =
		static_cast<long>(XInternAtom(display, "WM_DELETE_WINDOW", False));
	event.xclient.data.l[1] = CurrentTime;
	XSendEvent(display, window, False, NoEventMask, &event);
	XCloseDisplay(display);
	return 0;
}
