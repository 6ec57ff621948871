#pragma once

#include <atomic>
#include <memory>
#include <string>

#include <QTimer>

#include <obs-frontend-api.h>
#include <obs-module.h>

#include "common/ui-thread.hpp"
#include "module/dock-registration.hpp"
#include "runtime/action-result.hpp"
#include "runtime/runtime.hpp"

namespace brasslight {

class Hotkeys;
class WebSocketVendor;

// The module while it is loaded: the runtime, the dock, the hotkeys and the websocket vendor,
// wired to each other and to the host's front-end events. Made by the host's load entry and
// destroyed by its unload entry, both on the user-interface thread, where everything of it runs.
class Plugin {
public:
	// Load up to the runtime: both settings files opened (paths from the host).
	explicit Plugin(obs_module_t *module);
	// Unload: the event callback removed, the runtime torn down with the slots saved, both
	// settings files saved and closed.
	~Plugin();
	Plugin(const Plugin &) = delete;
	Plugin &operator=(const Plugin &) = delete;

	// Load from the runtime's creation on: builds it, registers the front-end event callback and
	// the tools-menu entry; false when the runtime could not be built.
	bool finish_load();
	bool loaded() const { return event_callback_registered; }
	// What the front-end event callback does with each event; public for tests without a front end.
	void handle_event(enum obs_frontend_event event);
	// The tools-menu entry: the settings dialog, modal, on the host's main window.
	void open_settings_dialog();
	// What runs twice a second once loaded: the adaptive bitrate looks at the destinations, and
	// the vertical-only audio at the scenes. Public for tests without a front end.
	void tick();

	Runtime &runtime() { return rt; }

private:
	static void on_frontend_event(enum obs_frontend_event event, void *data);
	void on_streaming_starting();
	void on_streaming_stopped();
	void on_profile_changed();
	void on_finished_loading();
	void on_exit();
	void on_slot_changed(SlotChange change, const std::string &name, const std::string &new_name);
	void start_replay_with_main();
	void on_replay_saved(const std::string &path);
	void refresh_views();
	void log_summary();

	Runtime rt;
	DockRegistration dock;
	// Once the host has finished loading, until its exit.
	std::unique_ptr<Hotkeys> hotkeys;
	std::unique_ptr<WebSocketVendor> vendor;
	bool event_callback_registered = false;
	// An event that arrives while another is being handled (a nested event loop) is dropped.
	bool in_event = false;
	// Runs tick(); on the user-interface thread, as everything here.
	QTimer ticker;
	// Declared last: the message boxes a host thread posted and that were not shown yet go first.
	UiQueue ui;
};

// The profile settings file of the host's current profile, or "" when the host names none.
std::string current_profile_config_path();

} // namespace brasslight
