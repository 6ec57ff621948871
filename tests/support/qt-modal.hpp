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
// hangs.
class ModalScript {
public:
	using Step = std::function<void(QWidget *)>;

	explicit ModalScript(std::vector<Step> steps, std::chrono::milliseconds timeout = std::chrono::seconds(10));

	// What each modal seen showed, in order: "title | text" for a message box, "title | label
	// [value]" for a text prompt, "title | current item" for one with a list, else the title.
	const std::vector<std::string> &seen() const { return shown; }
	// Empty when every step ran and nothing unexpected came; what went wrong otherwise.
	std::string problems() const;

private:
	void poll();

	std::vector<Step> steps;
	size_t next = 0;
	std::vector<std::string> shown;
	std::string trouble;
	QPointer<QWidget> last;
	QTimer timer;
	std::chrono::steady_clock::time_point deadline;
};

// Steps: a key pressed in the modal (Return reaches its default button, a letter a box's button
// of that mnemonic); text typed over what the modal's line edit holds, then Return.
ModalScript::Step press_key(Qt::Key key);
ModalScript::Step type_text(const QString &text);

// Runs the Qt event loop until done() holds or the time-out passes; returns done()'s last value.
bool process_events_until(const std::function<bool()> &done, std::chrono::milliseconds timeout);

// The first descendant button whose text is exactly text, or null.
QAbstractButton *find_button(QWidget *root, const QString &text);

std::string utf8(const QString &text);

} // namespace bltest
