#pragma once

#include <atomic>
#include <map>
#include <string>

#include <obs.h>

#include "common/ui-thread.hpp"

namespace brasslight {

class Runtime;

// The module's front-end hotkeys, listed in the host's Hotkeys settings: "Start vertical stream",
// "Stop vertical stream", "Vertical scene: next", "Vertical scene: previous", "Start vertical
// recording", "Stop vertical recording", "Save vertical replay" and one "Vertical scene: <slot
// name>" per slot. Their key bindings live in section "Hotkeys" of the
// global settings, one key per hotkey holding the host's own JSON form ({"bindings": [...]}).
// A press acts as the dock's button or click does, through the runtime's actions.
//
// Made, used and destroyed on the user-interface thread, once the host has finished loading. The
// host calls the hotkeys themselves on its hotkey thread; they only post the action here.
class Hotkeys {
public:
	// Registers the four fixed hotkeys and one per slot, each with its stored bindings.
	explicit Hotkeys(Runtime &runtime);
	// Saves every binding into the global store, then unregisters every hotkey.
	~Hotkeys();
	Hotkeys(const Hotkeys &) = delete;
	Hotkeys &operator=(const Hotkeys &) = delete;

	// Follows the canvas's slots: a hotkey for each new slot, none for a removed one.
	void sync_slots();
	// Moves a slot's hotkey, with its bindings, to the slot's new name.
	void rename_slot(const std::string &old_name, const std::string &new_name);
	// After a slot's removal (and the sync that unregistered its hotkey): drops its stored bindings,
	// so that a later slot of the same name starts unbound.
	void forget_slot(const std::string &slot);
	// Writes every hotkey's bindings into the global store (the file is written with the store).
	void save();

private:
	enum class Action { Start, Stop, Next, Previous, StartRecording, StopRecording, SaveReplay, Slot };
	struct Fixed {
		Hotkeys *owner;
		Action action;
		const char *name;
		const char *description_key;
		obs_hotkey_id id;
	};

	// On the host's hotkey thread (or in its key handling on this one), under its hotkey lock.
	static void on_fixed_hotkey(void *data, obs_hotkey_id id, obs_hotkey_t *hotkey, bool pressed);
	static void on_slot_hotkey(void *data, obs_hotkey_id id, obs_hotkey_t *hotkey, bool pressed);
	static void on_bindings_changed(void *data, calldata_t *params);
	void run(Action action, obs_hotkey_id id);
	void register_slot(const std::string &slot);
	void load_bindings(obs_hotkey_id id, const std::string &name);
	void store_bindings(obs_hotkey_id id, const std::string &name);

	Runtime &runtime;
	Fixed fixed[7];
	// Slot name -> its hotkey.
	std::map<std::string, obs_hotkey_id> slot_hotkeys;
	// One save is posted per burst of binding changes, which arrive on the host's threads.
	std::atomic<bool> save_posted {false};
	// Declared last: what a press posted and did not run yet goes first.
	UiQueue ui;
};

} // namespace brasslight
