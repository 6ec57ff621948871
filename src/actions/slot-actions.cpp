#include "actions/slot-actions.hpp"

#include <algorithm>
#include <mutex>
#include <vector>

#include <obs.hpp>

#include "canvas/vertical-canvas.hpp"
#include "config/profile-config.hpp"
#include "config/scene-list-store.hpp"
#include "output/vertical-output.hpp"

namespace brasslight {

namespace {

constexpr const char *kNoRuntime = "the vertical canvas is not running; restart OBS";

// Installed once at load and cleared at unload while websocket requests may still run on their
// own threads: copied under this small lock, called outside it.
std::mutex listener_mutex;
SlotListener listener;

void notify(SlotChange change, const std::string &name, const std::string &new_name = std::string())
{
	SlotListener copy;
	{
		std::lock_guard<std::mutex> lock(listener_mutex);
		copy = listener;
	}
	if (copy)
		copy(change, name, new_name);
}

std::string trimmed(const std::string &text)
{
	const char *space = " \t\r\n\f\v";
	const size_t first = text.find_first_not_of(space);
	if (first == std::string::npos)
		return std::string();
	return text.substr(first, text.find_last_not_of(space) - first + 1);
}

bool has_slot(VerticalCanvas *canvas, const std::string &name)
{
	const std::vector<std::string> names = canvas->slot_names();
	return std::find(names.begin(), names.end(), name) != names.end();
}

std::string quoted(const std::string &name)
{
	return "\"" + name + "\"";
}

ActionResult unknown_slot(const std::string &name)
{
	return ActionResult::failure("unknown slot " + quoted(name));
}

bool host_scene_exists(const std::string &name)
{
	OBSSourceAutoRelease source = obs_get_source_by_name(name.c_str());
	return source && obs_scene_from_source(source);
}

} // namespace

void set_slot_listener(SlotListener new_listener)
{
	std::lock_guard<std::mutex> lock(listener_mutex);
	listener = std::move(new_listener);
}

ActionResult add_slot(VerticalCanvas *canvas, const std::string &typed)
{
	if (!canvas)
		return ActionResult::failure(kNoRuntime);
	const std::string name = trimmed(typed);
	if (name.empty())
		return ActionResult::failure("the slot name is empty");
	if (!canvas->add_slot(name)) {
		// The canvas has logged which: the name in use, or the host refusing the scene.
		return ActionResult::failure(has_slot(canvas, name) ? "a slot named " + quoted(name) + " already exists"
								    : "could not create slot " + quoted(name));
	}
	save_scene_list_locked();
	notify(SlotChange::Added, name);
	return {};
}

ActionResult remove_slot(VerticalCanvas *canvas, const std::string &name)
{
	if (!canvas)
		return ActionResult::failure(kNoRuntime);
	if (!canvas->remove_slot(name))
		return unknown_slot(name);
	save_scene_list_locked();
	notify(SlotChange::Removed, name);
	return {};
}

ActionResult rename_slot(VerticalCanvas *canvas, const std::string &old_name, const std::string &typed)
{
	if (!canvas)
		return ActionResult::failure(kNoRuntime);
	const std::string name = trimmed(typed);
	if (name.empty())
		return ActionResult::failure("the new slot name is empty");
	if (!has_slot(canvas, old_name))
		return unknown_slot(old_name);
	// Renaming to the same name is no change: nothing to save or tell.
	if (name == old_name)
		return {};
	if (!canvas->rename_slot(old_name, name)) {
		return ActionResult::failure(has_slot(canvas, name) ? "a slot named " + quoted(name) + " already exists"
								    : unknown_slot(old_name).error);
	}
	save_scene_list_locked();
	notify(SlotChange::Renamed, old_name, name);
	return {};
}

ActionResult assign_slot_scene(VerticalCanvas *canvas, const std::string &slot, const std::string &scene)
{
	if (!canvas)
		return ActionResult::failure(kNoRuntime);
	if (!has_slot(canvas, slot))
		return unknown_slot(slot);
	// Checked before the canvas is asked: the canvas would remember a missing scene's name for a
	// later retry, which an answer of "scene missing" must not leave behind.
	if (!scene.empty() && !host_scene_exists(scene))
		return ActionResult::failure("no OBS scene named " + quoted(scene));
	if (!canvas->assign_slot_scene(slot, scene))
		return ActionResult::failure("could not assign " + quoted(scene) + " to slot " + quoted(slot));
	save_scene_list_locked();
	notify(SlotChange::Assigned, slot);
	return {};
}

ActionResult activate_slot(VerticalCanvas *canvas, const std::string &name)
{
	if (!canvas)
		return ActionResult::failure(kNoRuntime);
	if (!canvas->set_active_slot(name))
		return unknown_slot(name);
	notify(SlotChange::Activated, name);
	return {};
}

ActionResult step_active_slot(VerticalCanvas *canvas, int step)
{
	if (!canvas)
		return ActionResult::failure(kNoRuntime);
	const std::vector<std::string> names = canvas->slot_names();
	if (names.empty())
		return ActionResult::failure("there are no vertical slots");
	const auto found = std::find(names.begin(), names.end(), canvas->active_slot_name());
	// With no slot active, "next" starts at the first slot and "previous" at the last.
	const long count = static_cast<long>(names.size());
	const long from = found == names.end() ? (step > 0 ? -1 : 0) : static_cast<long>(found - names.begin());
	const long to = ((from + step) % count + count) % count;
	return activate_slot(canvas, names[static_cast<size_t>(to)]);
}

ActionResult start_vertical_stream(VerticalOutput *output)
{
	if (!output)
		return ActionResult::failure(kNoRuntime);
	// The dock's Start button is disabled while the stream runs; a hotkey or request does nothing.
	if (output->is_active())
		return ActionResult::failure("the vertical stream is already running");
	if (output->start())
		return {};
	blog(LOG_WARNING, "[brasslight] Dock: failed to start vertical output");
	const std::string reason = output->refusal_reason();
	return ActionResult::failure(reason.empty() ? "the vertical output refused to start; see the OBS log" : reason);
}

ActionResult stop_vertical_stream(VerticalOutput *output)
{
	if (!output)
		return ActionResult::failure(kNoRuntime);
	if (!output->is_active())
		return ActionResult::failure("the vertical stream is not running");
	output->stop();
	return {};
}

} // namespace brasslight
