// highgui draws its windows with Qt widgets; this unit looks at those from outside, through Qt's
// own API, for what highgui does not say: the screen's work area, the size of the window's parts
// other than the picture, and the tool bar's width. Every call runs on the main thread, which is
// highgui's GUI thread.
#include "screen_fit.h"

#include <QApplication>
#include <QGraphicsView>
#include <QScreen>
#include <QStatusBar>
#include <QToolBar>
#include <QWidget>

namespace {

// highgui names each window's widget after the window.
QWidget *highguiWindow(const std::string &window)
{
	if (!QApplication::instance())
		return nullptr;
	const QString name = QString::fromStdString(window);
	for (QWidget *widget : QApplication::topLevelWidgets()) {
		if (widget->isWindow() && widget->objectName() == name)
			return widget;
	}
	return nullptr;
}

// The window manager's frame around widget: nothing until the window is mapped and framed, and
// nothing at all without a window manager.
QSize frameOf(const QWidget *widget)
{
	if (!widget)
		return {};
	return widget->frameGeometry().size() - widget->geometry().size();
}

cv::Size roomIn(const QScreen *screen, QSize taken)
{
	if (!screen)
		return {};
	const QRect area = screen->availableGeometry();
	const int width = area.width() - taken.width();
	const int height = area.height() - taken.height();
	if (width < 1 || height < 1)
		return {};
	return { width, height };
}

} // namespace

cv::Size pictureRoom(const std::string &window)
{
	QWidget *widget = highguiWindow(window);
	if (!widget)
		return {};
	// What the window's layout wants beside the picture: the tool bar above, the sliders and
	// the status bar below. Taken from the size hints, which do not wait for a paint.
	QSize taken = frameOf(widget);
	if (const auto *view = widget->findChild<QGraphicsView *>())
		taken.rheight() += widget->sizeHint().height() - view->sizeHint().height();
	return roomIn(widget->screen(), taken);
}

cv::Size screenRoom(const std::string &window)
{
	if (!QApplication::instance())
		return {};
	QWidget *widget = highguiWindow(window);
	return roomIn(widget ? widget->screen() : QGuiApplication::primaryScreen(),
		      frameOf(widget));
}

void compactToolBar(const std::string &window)
{
	QWidget *widget = highguiWindow(window);
	if (!widget)
		return;
	// An ignored width drops out of the layout's width, so the window takes the picture's; the
	// tool bar then gets what the picture leaves it.
	if (auto *bar = widget->findChild<QToolBar *>())
		bar->setSizePolicy(QSizePolicy::Ignored, bar->sizePolicy().verticalPolicy());
	if (auto *status = widget->findChild<QStatusBar *>())
		status->setSizePolicy(QSizePolicy::Ignored, status->sizePolicy().verticalPolicy());
}
