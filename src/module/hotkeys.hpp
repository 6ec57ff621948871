#pragma once

#include <string>

namespace brasslight {

// The module's front-end hotkeys, listed in the host's Hotkeys settings: "Start vertical stream",
// "Stop vertical stream", "Vertical scene: next", "Vertical scene: previous" and one
// "Vertical scene: <slot name>" per slot. Their key bindings live in section "Hotkeys" of the
// global settings, one key per hotkey holding the host's own JSON form ({"bindings": [...]}).
// A press acts as the dock's button or click does, through the shared slot and stream actions.
//
// Everything here runs on the user-interface thread. The host calls the hotkeys themselves on its
// hotkey thread; they only post the action to the user-interface thread.

// Registers the four fixed hotkeys and one per slot, each with its stored bindings. Takes the
// runtime lock; once only, later calls only follow the slots.
void register_hotkeys();
// Follows the canvas's slots: a hotkey for each new slot, none for a removed one. Does nothing
// before register_hotkeys.
void sync_slot_hotkeys();
// Moves a slot's hotkey, with its bindings, to the slot's new name.
void rename_slot_hotkey(const std::string &old_name, const std::string &new_name);
// After a slot's removal (and the sync that unregistered its hotkey): drops its stored bindings,
// so that a later slot of the same name starts unbound.
void forget_slot_hotkey(const std::string &slot);
// Writes every hotkey's bindings into the global store (the file is written with the store).
void save_hotkeys();
// Saves, then unregisters every hotkey.
void unregister_hotkeys();

} // namespace brasslight
