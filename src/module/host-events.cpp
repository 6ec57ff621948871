#include "module/host-events.hpp"

#include <atomic>
#include <mutex>

#include <QCoreApplication>
#include <QMetaObject>

#include "canvas/vertical-canvas.hpp"
#include "config/profile-config.hpp"
#include "config/scene-list-store.hpp"
#include "module/dock-registration.hpp"
#include "common/log.hpp"
#include "module/runtime.hpp"
#include "output/vertical-output.hpp"
#include "ui/message-boxes.hpp"

namespace brasslight {

namespace {

std::atomic<bool> in_event_callback {false};

void on_streaming_starting()
{
	// Read afresh at each start; without a profile store the default (on) holds.
	if (profile_config && !get_auto_start_with_main())
		return;
	if (output && !output->is_active()) {
		log_msg(LOG_INFO, "Main stream starting — auto-starting vertical output");
		auto_start_vertical_output();
	}
}

void on_streaming_stopped()
{
	// Also a vertical stream started by hand: it never outlives the main stream.
	if (output && output->is_active()) {
		log_msg(LOG_INFO, "Main stream stopped — stopping vertical output");
		output->stop();
	}
}

void on_profile_changed()
{
	log_msg(LOG_INFO, "OBS profile changed — rebuilding profile-specific runtime");
	log_msg(LOG_INFO, "Profile change — rebuilding vertical runtime");
	destroy_runtime(true);
	load_profile_config();
	if (create_runtime_from_current_profile()) {
		reapply_scene_sources();
		register_dock();
		return;
	}
	log_msg(LOG_ERROR, "Failed to rebuild vertical runtime after profile change");
	post_information_box("BrassLight Vertical Canvas",
			     "Failed to rebuild the vertical canvas after profile "
			     "switch.\n\nRestart OBS before using the vertical output again.");
}

// The canvas followed a rename, removal or return of a slot's host scene, on whichever thread the
// host changed it. Saving and refreshing the dock need the runtime lock, which this thread must not
// take: a teardown holds it while it disconnects the canvas's handlers, and so waits for this one.
// Both are posted to the user-interface thread. A renamed scene's new name is saved at once: the
// next start looks the slot's scene up by it.
void on_host_scenes_changed(bool names_changed)
{
	QCoreApplication *app = QCoreApplication::instance();
	if (!app)
		return;
	QMetaObject::invokeMethod(
		app,
		[names_changed]() {
			std::lock_guard<std::recursive_mutex> lock(runtime_lock);
			if (names_changed)
				save_scene_list();
			refresh_dock();
		},
		Qt::QueuedConnection);
}

// The host is about to remove every scene of the current collection: the slots let go of them
// now, so that none of those scenes, or their capture devices, outlives the switch.
void on_scene_collection_changing()
{
	if (canvas)
		canvas->release_slot_scenes();
	refresh_dock();
}

// The new collection is loaded: each slot looks its stored host-scene name up again, as the
// finished-loading re-application does.
void reassign_scene_sources()
{
	for (const std::string &name : canvas->slot_names()) {
		const std::string source = canvas->slot_scene_name(name);
		if (source.empty())
			continue;
		log_msg(LOG_INFO, "Re-applying source '%s' → scene '%s'", source.c_str(), name.c_str());
		canvas->assign_slot_scene(name, source);
	}
}

void on_scene_collection_changed()
{
	if (!canvas)
		return;
	reassign_scene_sources();
	refresh_dock();
}

void on_exit()
{
	save_dock_state();
	if (output && output->is_active()) {
		log_msg(LOG_INFO, "OBS exiting — stopping vertical output");
		output->stop();
	}
}

} // namespace

void reapply_scene_sources()
{
	if (!canvas)
		return;
	restore_scene_list();
	reassign_scene_sources();
	// From here on the host's scenes exist, and the slots follow their renames and removals.
	canvas->set_host_change_handler(on_host_scenes_changed);
	refresh_dock();
}

void on_frontend_event(enum obs_frontend_event event, void *)
{
	// Dropped, not queued: a nested or concurrent event would otherwise rebuild or stop the
	// runtime in the middle of the handling that is already running.
	bool expected = false;
	if (!in_event_callback.compare_exchange_strong(expected, true))
		return;
	{
		std::lock_guard<std::recursive_mutex> lock(runtime_lock);
		switch (event) {
		case OBS_FRONTEND_EVENT_STREAMING_STARTING:
			on_streaming_starting();
			break;
		case OBS_FRONTEND_EVENT_STREAMING_STOPPED:
			on_streaming_stopped();
			break;
		case OBS_FRONTEND_EVENT_PROFILE_CHANGED:
			on_profile_changed();
			break;
		case OBS_FRONTEND_EVENT_EXIT:
			on_exit();
			break;
		case OBS_FRONTEND_EVENT_SCENE_COLLECTION_CHANGING:
			on_scene_collection_changing();
			break;
		case OBS_FRONTEND_EVENT_SCENE_COLLECTION_CHANGED:
			on_scene_collection_changed();
			break;
		case OBS_FRONTEND_EVENT_FINISHED_LOADING:
			reapply_scene_sources();
			register_dock();
			break;
		default:
			break;
		}
	}
	in_event_callback.exchange(false);
}

} // namespace brasslight
