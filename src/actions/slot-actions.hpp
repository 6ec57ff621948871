#pragma once

#include <functional>
#include <string>

namespace brasslight {

class VerticalCanvas;
class VerticalOutput;

// The operations behind the dock's slot buttons and stream buttons, shared with the hotkeys and
// the obs-websocket requests so that all three behave alike: the same checks, the same log lines,
// the same save of the scene list. Each runs on the caller's thread; the dock calls them on the
// user-interface thread, the websocket requests under the runtime lock. The canvas and output
// pointers are the caller's (null when there is no runtime).

// What an operation did: ok, or why it refused, in a sentence a user can read.
struct ActionResult {
	bool ok = true;
	std::string error;

	static ActionResult failure(std::string message) { return {false, std::move(message)}; }
};

enum class SlotChange { Added, Removed, Renamed, Assigned, Activated };

// Told after every successful slot operation, on the thread that made it; must not block. For
// a rename `name` is the old name and `new_name` the new one; otherwise `new_name` is empty.
using SlotListener = std::function<void(SlotChange change, const std::string &name, const std::string &new_name)>;
void set_slot_listener(SlotListener listener);

// The four slot flows end, on success, with a save of the scene list (the runtime lock is taken
// for it). Names are trimmed of leading and trailing white space, as the dock's prompts do.
ActionResult add_slot(VerticalCanvas *canvas, const std::string &name);
ActionResult remove_slot(VerticalCanvas *canvas, const std::string &name);
ActionResult rename_slot(VerticalCanvas *canvas, const std::string &old_name, const std::string &new_name);
// An empty scene name clears the slot's host scene.
ActionResult assign_slot_scene(VerticalCanvas *canvas, const std::string &slot, const std::string &scene);

// Choosing the active slot is not saved, as a click in the dock's list is not: the next save of
// the list stores it.
ActionResult activate_slot(VerticalCanvas *canvas, const std::string &name);
// The slot `step` places after (or, negative, before) the active one, wrapping at either end.
ActionResult step_active_slot(VerticalCanvas *canvas, int step);

// Start and Stop as the dock's buttons do them; a refused start logs the dock's warning line and
// says why. Starting a running stream or stopping a stopped one changes nothing and logs nothing.
ActionResult start_vertical_stream(VerticalOutput *output);
ActionResult stop_vertical_stream(VerticalOutput *output);

} // namespace brasslight
