// Following the host's scenes: a slot's host scene renamed, removed, or back under its name.

#include "canvas/vertical-canvas.hpp"

#include "common/log.hpp"

namespace brasslight {

void VerticalCanvas::follow_host()
{
	if (!host_signals.empty())
		return;
	signal_handler_t *signals = obs_get_signal_handler();
	host_signals.emplace_back(signals, "source_rename", on_source_renamed, this);
	host_signals.emplace_back(signals, "source_remove", on_source_removed, this);
	host_signals.emplace_back(signals, "source_create", on_source_created, this);
}

void VerticalCanvas::stop_following_host()
{
	// Each disconnect waits for a handler that is running on another thread to finish.
	host_signals.clear();
}

void VerticalCanvas::on_source_renamed(void *data, calldata_t *params)
{
	static_cast<VerticalCanvas *>(data)->follow_rename(static_cast<obs_source_t *>(calldata_ptr(params, "source")),
							   calldata_string(params, "new_name"));
}

void VerticalCanvas::on_source_removed(void *data, calldata_t *params)
{
	static_cast<VerticalCanvas *>(data)->follow_removal(
		static_cast<obs_source_t *>(calldata_ptr(params, "source")));
}

void VerticalCanvas::on_source_created(void *data, calldata_t *params)
{
	static_cast<VerticalCanvas *>(data)->follow_return(static_cast<obs_source_t *>(calldata_ptr(params, "source")));
}

// The host-signal handlers run on whichever thread changed the host's scenes (the user-interface
// thread, a websocket request's thread), holding only the host's lock of that signal. They take the
// canvas's lock only, and tell of a change through the handler, which must only post it: the
// user-interface thread may be disconnecting them, which waits for them to finish.

void VerticalCanvas::follow_rename(obs_source_t *source, const char *new_name)
{
	if (!source || !new_name || !*new_name)
		return;
	bool renamed = false;
	bool returned = false;
	{
		std::lock_guard<std::mutex> lock(mutex);
		if (!is_initialised)
			return;
		for (SceneSlot &slot : slot_list) {
			if (slot.source == source && slot.source_name != new_name) {
				log_msg(LOG_INFO, "Scene '%s': host scene renamed '%s' → '%s'", slot.name.c_str(),
					slot.source_name.c_str(), new_name);
				slot.source_name = new_name;
				renamed = true;
			} else if (!slot.source && slot.source_name == new_name && !obs_source_removed(source)) {
				// Another scene took the missing scene's name: the slot shows it.
				attach_source(slot, obs_source_get_ref(source));
				log_msg(LOG_INFO, "Scene '%s': host scene '%s' is back", slot.name.c_str(), new_name);
				returned = true;
			}
		}
		if (returned) {
			publish_active_source();
			sync_track6(true);
		}
	}
	if (renamed || returned)
		notify_host_change(renamed);
}

void VerticalCanvas::follow_removal(obs_source_t *source)
{
	if (!source)
		return;
	bool released = false;
	{
		std::lock_guard<std::mutex> lock(mutex);
		if (!is_initialised)
			return;
		for (SceneSlot &slot : slot_list) {
			if (slot.source != source)
				continue;
			// Out of the slot's scene and the slot's hands at once: the host destroys the scene
			// (and closes its capture devices) as soon as its last reference goes. The name stays.
			place_source(slot, nullptr);
			release_source(slot);
			log_msg(LOG_INFO, "Scene '%s': host scene '%s' removed — released", slot.name.c_str(),
				slot.source_name.c_str());
			released = true;
		}
		if (released) {
			publish_active_source();
			sync_track6(true);
		}
	}
	if (released)
		notify_host_change(false);
}

void VerticalCanvas::follow_return(obs_source_t *source)
{
	const char *name = source ? obs_source_get_name(source) : nullptr;
	if (!name || !*name)
		return;
	bool returned = false;
	{
		std::lock_guard<std::mutex> lock(mutex);
		if (!is_initialised)
			return;
		for (SceneSlot &slot : slot_list) {
			if (slot.source || slot.source_name != name)
				continue;
			attach_source(slot, obs_source_get_ref(source));
			log_msg(LOG_INFO, "Scene '%s': host scene '%s' is back", slot.name.c_str(), name);
			returned = true;
		}
		if (returned) {
			publish_active_source();
			sync_track6(true);
		}
	}
	if (returned)
		notify_host_change(false);
}

void VerticalCanvas::notify_host_change(bool names_changed)
{
	HostChangeHandler handler;
	{
		std::lock_guard<std::mutex> lock(mutex);
		handler = host_change_handler;
	}
	if (handler)
		handler(names_changed);
}

void VerticalCanvas::set_host_change_handler(HostChangeHandler handler)
{
	std::lock_guard<std::mutex> lock(mutex);
	host_change_handler = std::move(handler);
}

void VerticalCanvas::release_slot_scenes()
{
	std::lock_guard<std::mutex> lock(mutex);
	bool released = false;
	for (SceneSlot &slot : slot_list) {
		if (!slot.source)
			continue;
		place_source(slot, nullptr);
		release_source(slot);
		released = true;
	}
	if (released) {
		publish_active_source();
		sync_track6(true);
		log_msg(LOG_INFO, "Host scenes released");
	}
}

bool VerticalCanvas::slot_scene_missing(const std::string &name) const
{
	std::lock_guard<std::mutex> lock(mutex);
	const int index = find_index(name);
	if (index < 0)
		return false;
	const SceneSlot &slot = slot_list[static_cast<size_t>(index)];
	return !slot.source && !slot.source_name.empty();
}

} // namespace brasslight
