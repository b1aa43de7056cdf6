// What the screen leaves for a window's picture, asked of the GUI toolkit behind highgui.
#pragma once

#include <functional>
#include <string>

#include <opencv2/core.hpp>

// Main thread, once highgui has made the window. The largest picture the window named window can
// show with its tool bar, its sliders and the window manager's frame all inside the usable area
// of its screen (the work area, without panels), in the screen's own pixels, which are the
// picture's (showAtScreenPixels()). An empty size when there is no such window or no screen: no
// limit is known.
cv::Size pictureRoom(const std::string &window);

// Main thread, after each picture of size picture shown in window. On a screen that Qt scales
// (QT_SCALE_FACTOR, a high-density screen), sizes the window's picture area so that each of the
// picture's pixels is one of the screen's, instead of being scaled once more; elsewhere leaves
// the window as highgui sized it.
void showAtScreenPixels(const std::string &window, cv::Size picture);

// Main thread. How many of the screen's pixels one of Qt's units spans on the main screen: 1
// unless Qt scales the windows. 1 when the GUI toolkit has not started.
double screenPixelRatio();

// Main thread, before the window exists. The room of a window without tool bar or sliders on the
// main screen: the work area less a frame like the one window has (none when it has no frame).
// An empty size when the GUI toolkit has not started or knows no screen.
cv::Size screenRoom(const std::string &window);

// Main thread. Makes save(path) what Ctrl+S and the tool bar's save button in window do, in
// place of highgui's save of the window's picture as shown: the user picks the path in the
// toolkit's file dialog first, and a path without a picture file's extension gets ".png".
void takeOverSave(const std::string &window, std::function<void(const std::string &)> save);

// Main thread. Makes the key sequence keys (in Qt's words, such as "Ctrl+O") run action while
// window has the focus, instead of reaching the key wait, where any key ends the run.
void addWindowShortcut(const std::string &window, const std::string &keys,
		       std::function<void()> action);

// Main thread. Keeps highgui's tool bar and status bar from making window wider than its picture
// and sliders need: the tool bar's buttons that do not fit go to its overflow menu, and the
// window's shortcuts (Ctrl+S among them) stay.
void compactToolBar(const std::string &window);
