#pragma once

namespace brasslight {

// The dock in the host's main window. All of these run on the user-interface thread, inside
// the runtime lock (from the front-end event callback, the runtime teardown or unload).

// Creates and registers the dock once, restoring its frame from the global settings; later
// calls only refresh it. Does nothing without a main window.
void register_dock();
// Hands the current runtime (or none) to a live dock and rebuilds its scene list.
void refresh_dock();
// Gives a live dock null canvas and output pointers, before the runtime is destroyed.
void detach_dock();
// Writes the dock frame's visibility, floating state, area and geometry into the global store.
void save_dock_state();
// Drops the module's reference at unload; the host's main window owns and deletes the widget.
void drop_dock();

} // namespace brasslight
