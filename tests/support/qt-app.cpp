#include "qt-app.hpp"

#include <cstdlib>
#include <memory>

#include <gtest/gtest.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QMessageBox>
#include <QTimer>

namespace bltest {

namespace {

// Owns the application object. Its TearDown runs before the host fixture's, which was registered
// first: Qt's clean-up at exit would otherwise run after libobs has shut down and crashes there.
class QtEnvironment : public ::testing::Environment {
public:
	QtEnvironment()
	{
		setenv("QT_QPA_PLATFORM", "xcb", 1);
		app_ = std::make_unique<QApplication>(argc_, argv_);
	}
	void TearDown() override { app_.reset(); }

private:
	int argc_ = 1;
	char name_[17] = "brasslight-tests";
	char *argv_[2] = {name_, nullptr};
	std::unique_ptr<QApplication> app_;
};

} // namespace

void ensure_qt_application()
{
	if (QApplication::instance())
		return;
	// gtest owns the environment.
	::testing::AddGlobalTestEnvironment(new QtEnvironment());
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
