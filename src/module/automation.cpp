#include "module/automation.hpp"

#include <mutex>
#include <string>

#include <QCoreApplication>
#include <QMetaObject>

#include <obs-frontend-api.h>

#include "actions/slot-actions.hpp"
#include "module/dock-registration.hpp"
#include "module/hotkeys.hpp"
#include "module/runtime.hpp"
#include "module/websocket-vendor.hpp"

namespace brasslight {

namespace {

bool callback_registered = false;

// Posted, never run inline: slot changes come from websocket threads too, and a front-end event
// is followed by the module's own handling of it (the scene list is restored there first).
template<typename Function> void post_to_ui(Function function)
{
	if (QCoreApplication::instance())
		QMetaObject::invokeMethod(QCoreApplication::instance(), function, Qt::QueuedConnection);
}

void on_slots_changed(SlotChange change, const std::string &name, const std::string &new_name)
{
	if (change == SlotChange::Renamed)
		rename_slot_hotkey(name, new_name);
	sync_slot_hotkeys();
	if (change == SlotChange::Removed)
		forget_slot_hotkey(name);
	{
		std::lock_guard<std::recursive_mutex> lock(runtime_lock);
		refresh_dock();
	}
	send_changed_events();
}

void on_automation_event(enum obs_frontend_event event, void *)
{
	switch (event) {
	case OBS_FRONTEND_EVENT_FINISHED_LOADING:
		post_to_ui([] {
			register_hotkeys();
			register_websocket_vendor();
		});
		break;
	case OBS_FRONTEND_EVENT_PROFILE_CHANGED:
		post_to_ui([] {
			sync_slot_hotkeys();
			send_changed_events();
		});
		break;
	case OBS_FRONTEND_EVENT_EXIT:
		// Before any module unloads: obs-websocket may go first, and with it its handler.
		unregister_websocket_vendor();
		unregister_hotkeys();
		break;
	default:
		break;
	}
}

} // namespace

void automation_load()
{
	set_slot_listener([](SlotChange change, const std::string &name, const std::string &new_name) {
		post_to_ui([change, name, new_name] { on_slots_changed(change, name, new_name); });
	});
	obs_frontend_add_event_callback(on_automation_event, nullptr);
	callback_registered = true;
}

void automation_unload()
{
	if (callback_registered) {
		obs_frontend_remove_event_callback(on_automation_event, nullptr);
		callback_registered = false;
	}
	unregister_websocket_vendor();
	unregister_hotkeys();
	set_slot_listener(nullptr);
}

} // namespace brasslight
