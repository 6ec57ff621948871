#include "module/dock-registration.hpp"

#include <QByteArray>
#include <QDockWidget>
#include <QMainWindow>
#include <QPointer>

#include <obs-config.h>
#include <obs-frontend-api.h>

#include "common/log.hpp"
#include "common/text.hpp"
#include "config/global-config.hpp"
#include "runtime/runtime.hpp"
#include "ui/vertical-dock.hpp"

namespace brasslight {

namespace {

constexpr const char *kDockId = "brasslight-vertical-canvas";

QMainWindow *main_window()
{
	return static_cast<QMainWindow *>(obs_frontend_get_main_window());
}

// The host's frame around the dock, found by the object name the host gives it.
QDockWidget *find_frame(QMainWindow *window)
{
	return window ? window->findChild<QDockWidget *>(QString::fromUtf8(kDockId)) : nullptr;
}

bool is_dock_area(long long area)
{
	return area == Qt::LeftDockWidgetArea || area == Qt::RightDockWidgetArea || area == Qt::TopDockWidgetArea ||
	       area == Qt::BottomDockWidgetArea;
}

void add_to_host(QMainWindow *window, VerticalDock *widget)
{
#if LIBOBS_API_MAJOR_VER >= 30
	// Later hosts build the frame and put it into their own dock layout themselves.
	(void)window;
	obs_frontend_add_dock_by_id(kDockId, text("Dock.Title"), widget);
#else
	// Host 29 takes a ready frame and only lists it in its Docks menu; the frame is put into the
	// main window's dock layout here, as later hosts do themselves, so that it can float, dock
	// and be dragged between areas like the host's own docks.
	auto *frame = new QDockWidget(window);
	frame->setObjectName(QString::fromUtf8(kDockId));
	frame->setWindowTitle(QString::fromUtf8(text("Dock.Title")));
	frame->setWidget(widget);
	obs_frontend_add_dock(frame);
	if (window->dockWidgetArea(frame) == Qt::NoDockWidgetArea)
		window->addDockWidget(Qt::RightDockWidgetArea, frame);
#endif
}

void restore_frame(config_t *global_config, QMainWindow *window, QDockWidget *frame)
{
	const char *stored_geometry = config_get_string(global_config, kGlobalDockSection, kKeyDockGeometry);
	const QByteArray geometry = stored_geometry && *stored_geometry
					    ? QByteArray::fromBase64(QByteArray(stored_geometry))
					    : QByteArray();

	const bool docked = config_has_user_value(global_config, kGlobalDockSection, kKeyDockFloating) &&
			    !config_get_bool(global_config, kGlobalDockSection, kKeyDockFloating);
	if (docked) {
		// The layout gives a docked frame its size; the stored geometry only matters once the
		// user floats it again.
		if (!geometry.isEmpty())
			frame->restoreGeometry(geometry);
		// A hand-edited area that names no dock area would leave the frame outside the
		// layout, neither docked nor floating: such a value counts as the right area.
		const int64_t stored = config_get_int(global_config, kGlobalDockSection, kKeyDockArea);
		const Qt::DockWidgetArea area =
			is_dock_area(stored) ? static_cast<Qt::DockWidgetArea>(stored) : Qt::RightDockWidgetArea;
		window->removeDockWidget(frame);
		window->addDockWidget(area, frame);
		frame->setFloating(false);
	} else {
		// Floating first: restored into a frame that is still docked, the geometry is replaced by
		// the default floating position, and the frame would not come back where the user left
		// it. Whatever the bytes hold, the frame floats and the visibility below still applies.
		frame->setFloating(true);
		if (!geometry.isEmpty())
			frame->restoreGeometry(geometry);
	}

	const bool visible = config_has_user_value(global_config, kGlobalDockSection, kKeyDockVisible)
				     ? config_get_bool(global_config, kGlobalDockSection, kKeyDockVisible)
				     : true;
	frame->setVisible(visible);
}

} // namespace

void DockRegistration::register_dock(Runtime &runtime)
{
	QMainWindow *window = main_window();
	if (!window)
		return;
	if (dock) {
		refresh();
		return;
	}

	dock = new VerticalDock(&runtime, window);
	add_to_host(window, dock);

	QDockWidget *frame = find_frame(window);
	if (frame && runtime.global_config())
		restore_frame(runtime.global_config().file(), window, frame);
	log_msg(LOG_INFO, "Vertical Canvas dock registered");
}

void DockRegistration::refresh()
{
	if (dock)
		dock->refresh();
}

void DockRegistration::replay_saved(const std::string &path)
{
	if (dock)
		dock->showSavedFile(path);
}

void DockRegistration::detach()
{
	if (dock)
		dock->detach();
}

void DockRegistration::save_state(GlobalConfig &global)
{
	config_t *store = global.file();
	if (!store)
		return;
	QMainWindow *window = main_window();
	QDockWidget *frame = find_frame(window);
	if (!frame)
		return;
	const bool visible = frame->isVisible();
	const bool floating = frame->isFloating();
	config_set_bool(store, kGlobalDockSection, kKeyDockVisible, visible);
	config_set_bool(store, kGlobalDockSection, kKeyDockFloating, floating);
	config_set_int(store, kGlobalDockSection, kKeyDockArea, static_cast<int>(window->dockWidgetArea(frame)));
	config_set_string(store, kGlobalDockSection, kKeyDockGeometry, frame->saveGeometry().toBase64().constData());
	log_msg(LOG_INFO, "Dock state saved (floating=%s, visible=%s)", floating ? "yes" : "no",
		visible ? "yes" : "no");
}

void DockRegistration::drop()
{
	if (dock)
		dock->setRuntime(nullptr);
	dock = nullptr;
}

} // namespace brasslight
