#include "module/host-events.hpp"

#include <atomic>
#include <mutex>

#include "canvas/vertical-canvas.hpp"
#include "config/profile-config.hpp"
#include "config/scene-list-store.hpp"
#include "module/dock-registration.hpp"
#include "module/log.hpp"
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
	for (const std::string &name : canvas->scene_names()) {
		const std::string source = canvas->scene_source_name(name);
		if (source.empty())
			continue;
		log_msg(LOG_INFO, "Re-applying source '%s' → scene '%s'", source.c_str(), name.c_str());
		canvas->assign_scene_source(name, source);
	}
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
