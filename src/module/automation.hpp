#pragma once

namespace brasslight {

// Hotkeys and obs-websocket remote control, wired to the host's front-end events and to the slot
// actions. Both run on the user-interface thread.

// At load, after the module's own event callback: listens for slot changes and for the host's
// finished-loading, profile-changed and exit events (with a callback of its own, which takes no
// runtime lock: the websocket's unregistration must not wait under it).
void automation_load();
// At unload, before the runtime lock is taken: removes all of it.
void automation_unload();

} // namespace brasslight
