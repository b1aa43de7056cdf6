// highgui draws its windows with Qt widgets; this unit looks at those from outside, through Qt's
// own API, for what highgui does not say: the screen's work area, the size of the window's parts
// other than the picture, and the tool bar's width. Every call runs on the main thread, which is
// highgui's GUI thread.
#include "screen_fit.h"

#include <QAction>
#include <QApplication>
#include <QFileDialog>
#include <QFileInfo>
#include <QGraphicsView>
#include <QKeySequence>
#include <QLayout>
#include <QScreen>
#include <QShortcut>
#include <QStatusBar>
#include <QToolBar>
#include <QWidget>
#include <algorithm>
#include <cmath>
#include <utility>

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

// What the window's layout stacks above and below the picture: the tool bar, the sliders and the
// status bar. Summed item by item: the window's own size hint lags behind a new picture until the
// layout has been redone, which happens only with the next events.
int heightBesidePicture(QWidget *widget)
{
	QLayout *layout = widget->layout();
	const auto *view = widget->findChild<QGraphicsView *>();
	if (!layout || !view)
		return 0;
	int height = 0;
	int items = 0;
	for (int i = 0; i < layout->count(); ++i) {
		QLayoutItem *item = layout->itemAt(i);
		if (item->widget() == view || item->isEmpty())
			continue;
		height += item->sizeHint().height();
		++items;
	}
	const QMargins margins = layout->contentsMargins();
	return height + items * std::max(layout->spacing(), 0) + margins.top() + margins.bottom();
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
	const cv::Size room =
		roomIn(widget->screen(), frameOf(widget) + QSize(0, heightBesidePicture(widget)));
	const double ratio = widget->devicePixelRatioF();
	return { static_cast<int>(room.width * ratio), static_cast<int>(room.height * ratio) };
}

void showAtScreenPixels(const std::string &window, cv::Size picture)
{
	QWidget *widget = highguiWindow(window);
	if (!widget)
		return;
	const double ratio = widget->devicePixelRatioF();
	auto *view = widget->findChild<QGraphicsView *>();
	if (ratio == 1.0 || !view)
		return;
	// highgui gives its view the picture's size in Qt's units and draws the picture into the
	// view, so a fixed size of the picture's screen pixels in those units draws it 1:1.
	const QSize size(static_cast<int>(std::ceil(picture.width / ratio)),
			 static_cast<int>(std::ceil(picture.height / ratio)));
	if (view->minimumSize() != size || view->maximumSize() != size)
		view->setFixedSize(size);
}

double screenPixelRatio()
{
	if (!QApplication::instance())
		return 1.0;
	const QScreen *screen = QGuiApplication::primaryScreen();
	return screen ? screen->devicePixelRatio() : 1.0;
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

void takeOverSave(const std::string &window, std::function<void(const std::string &)> save)
{
	QWidget *widget = highguiWindow(window);
	if (!widget)
		return;
	const auto ask = [widget, save = std::move(save)] {
		QString path = QFileDialog::getSaveFileName(
			widget, QStringLiteral("Save the edge picture"),
			QStringLiteral("edges.png"),
			QStringLiteral(
				"Pictures (*.png *.jpg *.jpeg *.bmp *.tif *.tiff *.webp *.pgm)"));
		if (path.isEmpty())
			return;
		const QString suffix = QFileInfo(path).suffix().toLower();
		if (!QStringList{ "png", "jpg", "jpeg", "bmp", "tif", "tiff", "webp", "pgm" }
			     .contains(suffix))
			path += QStringLiteral(".png");
		save(path.toStdString());
	};
	// highgui saves what its view shows; its shortcut and its button (in the tool bar and the
	// picture's menu) are kept where the user knows them and given this save instead.
	const QKeySequence saveKeys(QStringLiteral("Ctrl+S"));
	for (QShortcut *shortcut : widget->findChildren<QShortcut *>()) {
		if (shortcut->key() != saveKeys)
			continue;
		QObject::disconnect(shortcut, &QShortcut::activated, nullptr, nullptr);
		QObject::connect(shortcut, &QShortcut::activated, shortcut, ask);
	}
	for (QAction *action : widget->findChildren<QAction *>()) {
		if (!action->text().contains(QStringLiteral("CTRL+S"), Qt::CaseInsensitive))
			continue;
		QObject::disconnect(action, &QAction::triggered, nullptr, nullptr);
		QObject::connect(action, &QAction::triggered, action, ask);
	}
}

void addWindowShortcut(const std::string &window, const std::string &keys,
		       std::function<void()> action)
{
	QWidget *widget = highguiWindow(window);
	if (!widget)
		return;
	auto *shortcut = new QShortcut(QKeySequence(QString::fromStdString(keys)), widget);
	QObject::connect(shortcut, &QShortcut::activated, shortcut, std::move(action));
}
