#include "qt-modal.hpp"

#include <QAbstractButton>
#include <QApplication>
#include <QDialog>
#include <QElapsedTimer>
#include <QInputDialog>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QTest>

namespace bltest {

ModalScript::ModalScript(std::vector<Step> steps_, std::chrono::milliseconds timeout)
	: steps(std::move(steps_)), deadline(std::chrono::steady_clock::now() + timeout)
{
	timer.setInterval(20);
	QObject::connect(&timer, &QTimer::timeout, [this]() { poll(); });
	timer.start();
}

void ModalScript::poll()
{
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
}

std::string ModalScript::problems() const
{
	if (next == steps.size())
		return trouble;
	return "answered " + std::to_string(next) + " of " + std::to_string(steps.size()) + " dialogs; " + trouble;
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

std::string utf8(const QString &text)
{
	return text.toUtf8().toStdString();
}

} // namespace bltest
