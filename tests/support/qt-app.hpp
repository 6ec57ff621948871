#pragma once

#include <chrono>
#include <string>

namespace bltest {

// The process's QApplication on the fixture's X server (or its Wayland compositor); made on first
// use, once the fixture has started its display server.
void ensure_qt_application();

struct ShownBox {
	bool shown = false;
	std::string title;
	std::string text;
};

// Runs the event loop until a message box is shown (by a queued call, for instance), reads its
// title and text, and closes it; gives shown = false when none appears within the time-out.
ShownBox capture_message_box(std::chrono::milliseconds timeout);

} // namespace bltest
