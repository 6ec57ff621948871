#pragma once

#include <cstdint>

namespace brasslight {

// The vertical scene slots live in section "Scenes" of the global settings, so that one list is
// shared by every host profile.

// A hand-edited count beyond this is not walked: no streamer keeps more slots than fit a dock.
inline constexpr uint64_t kMaxStoredScenes = 1000;

// Writes the canvas's slots and the active slot into the global store and saves the file.
// Runs under the runtime lock of its caller.
void save_scene_list();
// The same, taking the runtime lock itself: what the dock calls after a change.
void save_scene_list_locked();
// Rebuilds the canvas's slots from the global store. Runs under the runtime lock.
void restore_scene_list();

} // namespace brasslight
