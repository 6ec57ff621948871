#pragma once

#include <memory>
#include <mutex>

#include "actions/slot-actions.hpp"

namespace brasslight {

class VerticalCanvas;
class VerticalOutput;

// Serialises whole-module operations: load from runtime creation on, unload from the teardown
// on, the front-end event callback, the settings save and the locked scene-list save. Taken
// before the canvas's or the output controller's own lock, never after.
extern std::recursive_mutex runtime_lock;

// The runtime: null while none exists (before load, between a failed profile rebuild and the
// next good one, after unload). Created and destroyed only by the operations below.
// Both are null or both set; the output holds a plain pointer to the canvas, which outlives it.
extern std::unique_ptr<VerticalCanvas> canvas;
extern std::unique_ptr<VerticalOutput> output;

// Builds and publishes the runtime from the current profile; false leaves none.
bool create_runtime_from_current_profile();
// Tears the runtime down; with save_scenes the scene list is stored first.
void destroy_runtime(bool save_scenes);
// Hands the profile's current stream settings to a live output controller.
void apply_output_config();
// Starts the vertical stream (the dock's Start). Canvas settings saved since the runtime was built
// are applied first: canvas and encoders are rebuilt, the slots kept. Takes the runtime lock; the
// dock's canvas and output pointers are replaced when it rebuilds.
// Every start but the one with the main stream (dock, hotkeys, websocket) comes through here.
ActionResult start_vertical_output();
// The start with the main stream: as start_vertical_output, and a refused start is shown to the
// user in a message box (the dock's status line says why as well).
void auto_start_vertical_output();
// What the settings dialog ends with: apply the stream settings and write the profile file.
void save_profile_config();

} // namespace brasslight
