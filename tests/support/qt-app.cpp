#include "qt-app.hpp"

#include <cstdlib>
#include <memory>

#include <QAbstractButton>
#include <QApplication>
#include <QDialog>
#include <QInputDialog>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QTest>

#include "host-fixture.hpp"

namespace bltest {

ModalScript::ModalScript(std::vector<Step> steps_, std::chrono::milliseconds timeout)
	: steps(std::move(steps_)), deadline(std::chrono::steady_clock::now() + timeout)
{
	QObject::connect(&timer, &QTimer::timeout, [this] {
		QWidget *modal = QApplication::activeModalWidget();
		if (!modal)
			return;
		// The widget just answered may still be the active modal for a moment; a new dialog that
		// happens to reuse its address is told apart by the guarded pointer having been cleared.
		if (modal != last || !modal->isVisible()) {
			last = modal;
			std::string what = utf8(modal->windowTitle());
			if (auto *box = qobject_cast<QMessageBox *>(modal))
				what += " | " + utf8(box->text());
			if (auto *input = qobject_cast<QInputDialog *>(modal))
				what += " | " + utf8(input->labelText()) + " [" + utf8(input->textValue()) + "]";
			else if (auto *list = modal->findChild<QListWidget *>(); list && list->currentItem())
				what += " | " + utf8(list->currentItem()->text());
			shown.push_back(what);
			if (next < steps.size())
				return steps[next++](modal);
			trouble += "unexpected '" + what + "'; ";
		} else if (std::chrono::steady_clock::now() > deadline) {
			trouble += "'" + shown.back() + "' still open at the deadline; ";
		} else {
			return;
		}
		if (auto *dialog = qobject_cast<QDialog *>(modal))
			dialog->reject();
		else
			modal->close();
	});
	timer.start(20);
}

ModalScript::Step press_key(Qt::Key key)
{
	return [key](QWidget *modal) {
		QTest::keyClick(modal, key);
	};
}

ModalScript::Step type_text(const QString &text)
{
	return [text](QWidget *modal) {
		if (QLineEdit *edit = modal->findChild<QLineEdit *>()) {
			edit->selectAll();
			QTest::keyClicks(edit, text);
			QTest::keyClick(edit, Qt::Key_Return);
		}
	};
}

bool process_events_until(const std::function<bool()> &done, std::chrono::milliseconds timeout)
{
	return poll_until(done, timeout, [] {
		QApplication::processEvents(QEventLoop::AllEvents, 20);
		// Outside any event loop Qt leaves deleteLater() to the caller.
		QApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
	});
}

QAbstractButton *find_button(QWidget *root, const QString &text)
{
	for (QAbstractButton *button : root->findChildren<QAbstractButton *>())
		if (button->text() == text)
			return button;
	return nullptr;
}

namespace {
std::unique_ptr<QApplication> application;
}

void ensure_qt_application()
{
	if (application)
		return;
	setenv("QT_QPA_PLATFORM", Host::get().options().wayland ? "wayland" : "xcb", 1);
	// A session bus that cannot exist: with none named, Qt's accessibility bridge has libdbus fork a
	// bus launcher from this many-threaded process, and under AddressSanitizer that child can
	// deadlock in malloc before its exec, leaving the first widget's show() waiting on it forever.
	setenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=/dev/null/no-session-bus", 1);
	static int argc = 1;
	static char name[] = "brasslight-tests";
	static char *argv[] = {name, nullptr};
	application = std::make_unique<QApplication>(argc, argv);
}

void end_qt_application()
{
	application.reset();
}

ShownBox capture_message_box(std::chrono::milliseconds timeout)
{
	ensure_qt_application();
	// exec() runs the box's event loop inside processEvents(); the script answers it from there.
	ModalScript script({press_key(Qt::Key_Escape)}, timeout);
	if (!process_events_until([&script] { return !script.seen().empty(); }, timeout))
		return {};
	const std::string &shown = script.seen()[0];
	const size_t bar = shown.find(" | ");
	return {true, shown.substr(0, bar), bar == std::string::npos ? "" : shown.substr(bar + 3)};
}

} // namespace bltest
