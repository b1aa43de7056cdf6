// The display probe: connects to the X server the toolkit would use, then lets it go.
#include "display_check.h"

#include <cstdlib>
#include <string_view>

#include <X11/Xlib.h>

std::string unreachableDisplayReason()
{
	// Qt 5 draws through X (XWayland on a Wayland desktop) unless told to use another
	// platform, which then does its own checking.
	const char *platform = std::getenv("QT_QPA_PLATFORM");
	if (platform && *platform && !std::string_view(platform).starts_with("xcb"))
		return {};

	const char *name = std::getenv("DISPLAY");
	if (!name || !*name)
		return "no display could be reached (DISPLAY is not set)";
	Display *display = XOpenDisplay(name);
	if (!display)
		return std::string("no display could be reached (DISPLAY=") + name + ")";
	XCloseDisplay(display);
	return {};
}
