#pragma once

#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include <QPointer>
#include <QString>
#include <QTimer>
#include <QWidget>

class QAbstractButton;

namespace bltest {

// Answers the modal dialogs that the code under test opens with exec(), in order, from inside
// their own event loops: step i receives the i-th modal widget that becomes active. A modal that
// is still open at the deadline, or one beyond the steps, is rejected so that the test never
// hangs; seen() then tells what was shown.
class ModalScript {
public:
	using Step = std::function<void(QWidget *)>;

	explicit ModalScript(std::vector<Step> steps, std::chrono::milliseconds timeout = std::chrono::seconds(10));
	~ModalScript();
	ModalScript(const ModalScript &) = delete;
	ModalScript &operator=(const ModalScript &) = delete;

	// How many steps have run.
	size_t handled() const { return next; }
	// Window titles of every modal widget seen, steps and unexpected ones, in order.
	const std::vector<std::string> &seen() const { return titles; }
	// handled() == steps, and nothing unexpected: a message for a failed expectation otherwise.
	std::string problems() const;

private:
	void poll();

	std::vector<Step> steps;
	size_t next = 0;
	std::vector<std::string> titles;
	std::vector<std::string> unexpected;
	QPointer<QWidget> last;
	QTimer timer;
	std::chrono::steady_clock::time_point deadline;
};

// Runs the Qt event loop until done() holds or the time-out passes; returns done()'s last value.
bool process_events_until(const std::function<bool()> &done, std::chrono::milliseconds timeout);

// The first descendant button whose text is exactly text, or null.
QAbstractButton *find_button(QWidget *root, const QString &text);

// A mouse click in the middle of the widget, as a user's (a disabled widget ignores it).
void click(QWidget *widget);

// Types text into the dialog's line edit, replacing what it holds, and presses Return.
void type_and_accept(QWidget *dialog, const QString &text);

std::string utf8(const QString &text);

} // namespace bltest
