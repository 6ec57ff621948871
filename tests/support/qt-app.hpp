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

// Made on first use, once the fixture has started its display server; ended by the fixture
// before the display server goes (its destructor still talks to it).
void ensure_qt_application();
void end_qt_application();

struct ShownBox {
	bool shown = false;
	std::string title, text;
};

// Runs the event loop until a message box is shown (by a queued call, for instance), reads its
// title and text, and closes it; gives shown = false when none appears within the time-out.
ShownBox capture_message_box(std::chrono::milliseconds timeout);

// Answers, in order and from inside their own event loops, the modals that exec() opens; one still
// open at the deadline, or one beyond the steps, is rejected so that the test never hangs.
class ModalScript {
public:
	using Step = std::function<void(QWidget *)>;

	explicit ModalScript(std::vector<Step> steps, std::chrono::milliseconds timeout = std::chrono::seconds(10));

	// What each modal seen showed, in order: "title | text" for a message box, "title | label
	// [value]" for a text prompt, "title | current item" for one with a list, else the title.
	const std::vector<std::string> &seen() const { return shown; }
	std::string problems() const
	{
		const std::string count = std::to_string(next) + " of " + std::to_string(steps.size());
		return next == steps.size() ? trouble : "answered " + count + " dialogs; " + trouble;
	}

private:
	std::vector<Step> steps;
	size_t next = 0;
	std::vector<std::string> shown;
	std::string trouble;
	QPointer<QWidget> last;
	QTimer timer;
	std::chrono::steady_clock::time_point deadline;
};

// Return reaches the modal's default button, a letter a box's button of that mnemonic.
ModalScript::Step press_key(Qt::Key key);
ModalScript::Step type_text(const QString &text); // over what its line edit holds, then Return

bool process_events_until(const std::function<bool()> &done, std::chrono::milliseconds timeout);

QAbstractButton *find_button(QWidget *root, const QString &text);

inline std::string utf8(const QString &text)
{
	return text.toUtf8().toStdString();
}

} // namespace bltest
