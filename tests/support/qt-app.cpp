#include "qt-app.hpp"

#include "host-fixture.hpp"

#include <cstdlib>
#include <memory>

#include <QApplication>
#include <QElapsedTimer>
#include <QMessageBox>
#include <QTimer>

namespace bltest {

void ensure_qt_application()
{
	if (QApplication::instance())
		return;
	setenv("QT_QPA_PLATFORM", Host::get().options().wayland ? "wayland" : "xcb", 1);
	static int argc = 1;
	static char name[] = "brasslight-tests";
	static char *argv[] = {name, nullptr};
	static std::unique_ptr<QApplication> app;
	app = std::make_unique<QApplication>(argc, argv);
	// Gone before the fixture's X server: its destructor still talks to the display.
	Host::get().on_shutdown([] { app.reset(); });
}

ShownBox capture_message_box(std::chrono::milliseconds timeout)
{
	ensure_qt_application();
	ShownBox seen;
	// A box shown with exec() runs its own event loop inside processEvents(); this timer runs in
	// that loop too, reads the box and closes it, which returns control here.
	QTimer watcher;
	watcher.setInterval(20);
	QObject::connect(&watcher, &QTimer::timeout, [&seen]() {
		for (QWidget *widget : QApplication::topLevelWidgets()) {
			auto *box = qobject_cast<QMessageBox *>(widget);
			if (!box || !box->isVisible())
				continue;
			seen.shown = true;
			seen.title = box->windowTitle().toStdString();
			seen.text = box->text().toStdString();
			box->done(QMessageBox::Ok);
			return;
		}
	});
	watcher.start();
	QElapsedTimer clock;
	clock.start();
	while (!seen.shown && clock.elapsed() < timeout.count())
		QApplication::processEvents(QEventLoop::AllEvents, 50);
	watcher.stop();
	return seen;
}

} // namespace bltest
