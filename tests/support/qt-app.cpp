#include "qt-app.hpp"

#include "host-fixture.hpp"
#include "qt-modal.hpp"

#include <cstdlib>
#include <memory>

#include <QApplication>

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
	// A box shown with exec() runs its own event loop inside processEvents(); the script answers
	// the box from there, which returns control here.
	ModalScript script({press_key(Qt::Key_Escape)}, timeout);
	if (!process_events_until([&script] { return !script.seen().empty(); }, timeout))
		return {};
	const std::string &shown = script.seen()[0];
	const size_t bar = shown.find(" | ");
	return {true, shown.substr(0, bar), bar == std::string::npos ? "" : shown.substr(bar + 3)};
}

} // namespace bltest
