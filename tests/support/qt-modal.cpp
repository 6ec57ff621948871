#include "qt-modal.hpp"

#include <QAbstractButton>
#include <QApplication>
#include <QDialog>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QTest>

namespace bltest {

ModalScript::ModalScript(std::vector<Step> steps_, std::chrono::milliseconds timeout)
	: steps(std::move(steps_)), deadline(std::chrono::steady_clock::now() + timeout)
{
	timer.setInterval(20);
	QObject::connect(&timer, &QTimer::timeout, [this]() { poll(); });
	timer.start();
}

ModalScript::~ModalScript()
{
	timer.stop();
}

void ModalScript::poll()
{
	QWidget *modal = QApplication::activeModalWidget();
	// The widget just answered may still be the active modal for a moment; a new dialog that
	// happens to reuse its address is told apart by the guarded pointer having been cleared.
	const bool fresh = modal && !(modal == last && modal->isVisible());
	if (fresh) {
		last = modal;
		titles.push_back(utf8(modal->windowTitle()));
		if (next < steps.size()) {
			steps[next++](modal);
			return;
		}
		unexpected.push_back(titles.back());
		if (auto *dialog = qobject_cast<QDialog *>(modal))
			dialog->reject();
		else
			modal->close();
		return;
	}
	if (modal && std::chrono::steady_clock::now() > deadline) {
		unexpected.push_back("still open at the deadline: " + utf8(modal->windowTitle()));
		if (auto *dialog = qobject_cast<QDialog *>(modal))
			dialog->reject();
		else
			modal->close();
	}
}

std::string ModalScript::problems() const
{
	std::string out;
	if (next != steps.size())
		out += "answered " + std::to_string(next) + " of " + std::to_string(steps.size()) + " dialogs; ";
	for (const std::string &what : unexpected)
		out += "unexpected dialog '" + what + "'; ";
	if (!out.empty()) {
		out += "seen:";
		for (const std::string &title : titles)
			out += " '" + title + "'";
	}
	return out;
}

bool process_events_until(const std::function<bool()> &done, std::chrono::milliseconds timeout)
{
	QElapsedTimer clock;
	clock.start();
	while (!done()) {
		if (clock.elapsed() >= timeout.count())
			return done();
		QApplication::processEvents(QEventLoop::AllEvents, 20);
		// Outside any event loop Qt leaves deleteLater() to the caller.
		QApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
	}
	return true;
}

QAbstractButton *find_button(QWidget *root, const QString &text)
{
	for (QAbstractButton *button : root->findChildren<QAbstractButton *>())
		if (button->text() == text)
			return button;
	return nullptr;
}

void click(QWidget *widget)
{
	QTest::mouseClick(widget, Qt::LeftButton);
}

void type_and_accept(QWidget *dialog, const QString &text)
{
	QLineEdit *edit = dialog->findChild<QLineEdit *>();
	if (!edit) {
		dialog->close();
		return;
	}
	edit->selectAll();
	QTest::keyClick(edit, Qt::Key_Backspace);
	QTest::keyClicks(edit, text);
	// Return reaches the dialog's default button, as when a user presses it.
	QTest::keyClick(edit, Qt::Key_Return);
}

std::string utf8(const QString &text)
{
	return text.toUtf8().toStdString();
}

} // namespace bltest
