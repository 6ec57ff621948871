// The user's actions on the slots and the stream, shared by the dock, the hotkeys and the
// obs-websocket requests so that all three behave alike: the same checks, refusals, log lines
// and saves.

#include "runtime/runtime.hpp"

#include <algorithm>
#include <vector>

#include <obs.hpp>

#include "canvas/vertical-canvas.hpp"
#include "common/strings.hpp"
#include "output/vertical-output.hpp"
#include "runtime/slot-names.hpp"

namespace brasslight {

namespace {

constexpr const char *kNoRuntime = "the vertical canvas is not running; restart OBS";

bool has_slot(const VerticalCanvas &canvas, const std::string &name)
{
	const std::vector<std::string> names = canvas.slot_names();
	return std::find(names.begin(), names.end(), name) != names.end();
}

// Another slot than `except` whose name is the same to the host's ini files.
bool name_in_use(const VerticalCanvas &canvas, const std::string &name, const std::string &except = {})
{
	for (const std::string &other : canvas.slot_names())
		if (other != except && same_slot_name(other, name))
			return true;
	return false;
}

std::string quoted(const std::string &name)
{
	return "\"" + name + "\"";
}

ActionResult unknown_slot(const std::string &name)
{
	return ActionResult::failure("unknown slot " + quoted(name));
}

ActionResult name_taken(const std::string &name)
{
	ActionResult result = ActionResult::failure("a slot named " + quoted(name) + " already exists");
	result.name_taken = true;
	return result;
}

bool host_scene_exists(const std::string &name)
{
	OBSSourceAutoRelease source = obs_get_source_by_name(name.c_str());
	return source && obs_scene_from_source(source);
}

} // namespace

void Runtime::notify(SlotChange change, const std::string &name, const std::string &new_name)
{
	if (events.slot_changed)
		events.slot_changed(change, name, new_name);
}

ActionResult Runtime::add_slot(const std::string &typed)
{
	if (!canvas_)
		return ActionResult::failure(kNoRuntime);
	const std::string name = trimmed(typed);
	if (name.empty())
		return ActionResult::failure("the slot name is empty");
	if (const std::string problem = slot_name_problem(name); !problem.empty())
		return ActionResult::failure(problem);
	if (name_in_use(*canvas_, name))
		return name_taken(name);
	if (canvas_->slot_names().size() >= kMaxSlots)
		return ActionResult::failure("there are " + std::to_string(kMaxSlots) +
					     " vertical slots already, as many as the dock holds");
	if (!canvas_->add_slot(name))
		return ActionResult::failure("could not create slot " + quoted(name));
	save_slots();
	notify(SlotChange::Added, name);
	return {};
}

ActionResult Runtime::remove_slot(const std::string &name)
{
	if (!canvas_)
		return ActionResult::failure(kNoRuntime);
	if (!canvas_->remove_slot(name))
		return unknown_slot(name);
	save_slots();
	notify(SlotChange::Removed, name);
	return {};
}

ActionResult Runtime::rename_slot(const std::string &old_name, const std::string &typed)
{
	if (!canvas_)
		return ActionResult::failure(kNoRuntime);
	const std::string name = trimmed(typed);
	if (name.empty())
		return ActionResult::failure("the new slot name is empty");
	if (!has_slot(*canvas_, old_name))
		return unknown_slot(old_name);
	// Renaming to the same name is no change: nothing to save or tell.
	if (name == old_name)
		return {};
	if (const std::string problem = slot_name_problem(name); !problem.empty())
		return ActionResult::failure(problem);
	// A change of case alone is the slot's own business.
	if (name_in_use(*canvas_, name, old_name))
		return name_taken(name);
	if (!canvas_->rename_slot(old_name, name))
		return unknown_slot(old_name);
	save_slots();
	notify(SlotChange::Renamed, old_name, name);
	return {};
}

ActionResult Runtime::assign_slot_scene(const std::string &slot, const std::string &scene)
{
	if (!canvas_)
		return ActionResult::failure(kNoRuntime);
	if (!has_slot(*canvas_, slot))
		return unknown_slot(slot);
	// Checked before the canvas is asked: the canvas would remember a missing scene's name for a
	// later retry, which an answer of "scene missing" must not leave behind.
	if (!scene.empty() && !host_scene_exists(scene))
		return ActionResult::failure("no OBS scene named " + quoted(scene));
	if (!canvas_->assign_slot_scene(slot, scene))
		return ActionResult::failure("could not assign " + quoted(scene) + " to slot " + quoted(slot));
	save_slots();
	notify(SlotChange::Assigned, slot);
	return {};
}

// Choosing the active slot is not saved, as a click in the dock's list is not: the next save of
// the list stores it.
ActionResult Runtime::activate_slot(const std::string &name)
{
	if (!canvas_)
		return ActionResult::failure(kNoRuntime);
	if (!canvas_->set_active_slot(name))
		return unknown_slot(name);
	notify(SlotChange::Activated, name);
	return {};
}

ActionResult Runtime::step_active_slot(int step)
{
	if (!canvas_)
		return ActionResult::failure(kNoRuntime);
	const std::vector<std::string> names = canvas_->slot_names();
	if (names.empty())
		return ActionResult::failure("there are no vertical slots");
	const auto found = std::find(names.begin(), names.end(), canvas_->active_slot_name());
	// With no slot active, "next" starts at the first slot and "previous" at the last.
	const long count = static_cast<long>(names.size());
	const long from = found == names.end() ? (step > 0 ? -1 : 0) : static_cast<long>(found - names.begin());
	const long to = ((from + step) % count + count) % count;
	return activate_slot(names[static_cast<size_t>(to)]);
}

ActionResult Runtime::start_stream()
{
	apply_changed_canvas_settings();
	if (!output_)
		return ActionResult::failure(kNoRuntime);
	// The dock's Start button is disabled while the stream runs; a hotkey or request does nothing.
	if (output_->is_active())
		return ActionResult::failure("the vertical stream is already running");
	if (output_->start())
		return {};
	blog(LOG_WARNING, "[brasslight] Dock: failed to start vertical output");
	const std::string reason = output_->refusal_reason();
	return ActionResult::failure(reason.empty() ? "the vertical output refused to start; see the OBS log" : reason);
}

ActionResult Runtime::stop_stream()
{
	if (!output_)
		return ActionResult::failure(kNoRuntime);
	if (!output_->is_active())
		return ActionResult::failure("the vertical stream is not running");
	output_->stop();
	return {};
}

} // namespace brasslight
