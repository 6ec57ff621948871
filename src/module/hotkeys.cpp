#include "module/hotkeys.hpp"

#include <cinttypes>
#include <cstdio>
#include <algorithm>
#include <atomic>
#include <cstring>
#include <map>
#include <mutex>
#include <vector>

#include <QCoreApplication>
#include <QMetaObject>

#include <obs.hpp>

#include "actions/slot-actions.hpp"
#include "canvas/vertical-canvas.hpp"
#include "config/global-config.hpp"
#include "module/dock-registration.hpp"
#include "module/runtime.hpp"

namespace brasslight {

namespace {

constexpr const char *kSection = "Hotkeys";
constexpr const char *kNamePrefix = "BrasslightVertical.";
constexpr const char *kSlotPrefix = "BrasslightVertical.Slot.";

enum class Action : intptr_t { Start, Stop, Next, Previous, Slot };

struct FixedHotkey {
	Action action;
	const char *name;
	const char *description;
	obs_hotkey_id id;
};

FixedHotkey fixed[] = {
	{Action::Start, "BrasslightVertical.StartStream", "Start vertical stream", OBS_INVALID_HOTKEY_ID},
	{Action::Stop, "BrasslightVertical.StopStream", "Stop vertical stream", OBS_INVALID_HOTKEY_ID},
	{Action::Next, "BrasslightVertical.NextSlot", "Vertical scene: next", OBS_INVALID_HOTKEY_ID},
	{Action::Previous, "BrasslightVertical.PreviousSlot", "Vertical scene: previous", OBS_INVALID_HOTKEY_ID},
};

// Slot name -> its hotkey. Touched only on the user-interface thread.
std::map<std::string, obs_hotkey_id> slot_hotkeys;
bool registered = false;
std::atomic<bool> save_posted {false};

std::string slot_hotkey_name(const std::string &slot)
{
	return kSlotPrefix + slot;
}

std::string slot_description(const std::string &slot)
{
	return "Vertical scene: " + slot;
}

// Slot names are typed by the user; the characters the ini format gives a meaning to are written
// as %XX so that any name makes one well-formed key.
std::string ini_key(const std::string &name)
{
	std::string key;
	for (const char c : name) {
		if (c == '%' || c == '=' || c == '[' || c == ']' || c == ';' || c == '#' || c == '\r' || c == '\n') {
			char escaped[4];
			snprintf(escaped, sizeof(escaped), "%%%02X", static_cast<unsigned char>(c));
			key += escaped;
		} else {
			key += c;
		}
	}
	return key;
}

// The bindings stored for a hotkey name, or null.
OBSDataArrayAutoRelease stored_bindings(const std::string &name)
{
	if (!global_config)
		return nullptr;
	const char *json = config_get_string(global_config, kSection, ini_key(name).c_str());
	if (!json || !*json)
		return nullptr;
	OBSDataAutoRelease data = obs_data_create_from_json(json);
	return data ? obs_data_get_array(data, "bindings") : nullptr;
}

void load_bindings(obs_hotkey_id id, const std::string &name)
{
	OBSDataArrayAutoRelease bindings = stored_bindings(name);
	if (bindings)
		obs_hotkey_load(id, bindings);
}

void store_array(obs_data_array_t *bindings, const std::string &name)
{
	OBSDataAutoRelease data = obs_data_create();
	obs_data_set_array(data, "bindings", bindings);
	config_set_string(global_config, kSection, ini_key(name).c_str(), obs_data_get_json(data));
}

void store_bindings(obs_hotkey_id id, const std::string &name)
{
	OBSDataArrayAutoRelease bindings = obs_hotkey_save(id);
	store_array(bindings, name);
}

// The user-interface half of a press.
void run_action(Action action, obs_hotkey_id id)
{
	// The runtime lock keeps canvas and output alive for the action; the actions take the
	// canvas's and the controller's locks after it.
	std::lock_guard<std::recursive_mutex> lock(runtime_lock);
	switch (action) {
	case Action::Start:
		start_vertical_output();
		break;
	case Action::Stop:
		stop_vertical_stream(output.get());
		break;
	case Action::Next:
		step_active_slot(canvas.get(), 1);
		break;
	case Action::Previous:
		step_active_slot(canvas.get(), -1);
		break;
	case Action::Slot:
		for (const auto &[slot, slot_id] : slot_hotkeys) {
			if (slot_id == id) {
				activate_slot(canvas.get(), slot);
				break;
			}
		}
		break;
	}
	refresh_dock();
}

// Runs on the host's hotkey thread (or inside the host's key handling on the user-interface
// thread), with the host's hotkey lock held: it only posts the action.
void on_hotkey(void *data, obs_hotkey_id id, obs_hotkey_t *, bool pressed)
{
	if (!pressed || !QCoreApplication::instance())
		return;
	const auto action = static_cast<Action>(reinterpret_cast<intptr_t>(data));
	QMetaObject::invokeMethod(
		QCoreApplication::instance(), [action, id] { run_action(action, id); }, Qt::QueuedConnection);
}

void *action_data(Action action)
{
	return reinterpret_cast<void *>(static_cast<intptr_t>(action));
}

void register_slot_hotkey(const std::string &slot)
{
	const std::string name = slot_hotkey_name(slot);
	const obs_hotkey_id id = obs_hotkey_register_frontend(name.c_str(), slot_description(slot).c_str(), on_hotkey,
							      action_data(Action::Slot));
	if (id == OBS_INVALID_HOTKEY_ID)
		return;
	load_bindings(id, name);
	slot_hotkeys[slot] = id;
}

// A binding changed in the host's Hotkeys settings (obs_hotkey_load, our own loading, signals
// nothing). Runs on the thread that changed it, with the host's hotkey lock held: it only posts
// the save, once per burst of changes.
void on_bindings_changed(void *, calldata_t *params)
{
	// Passed as "key" (whatever the signal's declaration calls it).
	auto *hotkey = static_cast<obs_hotkey_t *>(calldata_ptr(params, "key"));
	const char *name = hotkey ? obs_hotkey_get_name(hotkey) : nullptr;
	if (!name || strncmp(name, kNamePrefix, strlen(kNamePrefix)) != 0 || !QCoreApplication::instance())
		return;
	if (save_posted.exchange(true))
		return;
	QMetaObject::invokeMethod(
		QCoreApplication::instance(),
		[] {
			save_posted = false;
			// Written at once, as the host writes its own hotkeys when its settings are applied.
			save_hotkeys();
			std::lock_guard<std::recursive_mutex> lock(runtime_lock);
			if (registered)
				save_global_config();
		},
		Qt::QueuedConnection);
}

} // namespace

void register_hotkeys()
{
	if (registered) {
		sync_slot_hotkeys();
		return;
	}
	std::lock_guard<std::recursive_mutex> lock(runtime_lock);
	for (FixedHotkey &hotkey : fixed) {
		hotkey.id = obs_hotkey_register_frontend(hotkey.name, hotkey.description, on_hotkey,
							 action_data(hotkey.action));
		if (hotkey.id != OBS_INVALID_HOTKEY_ID)
			load_bindings(hotkey.id, hotkey.name);
	}
	registered = true;
	sync_slot_hotkeys();
	signal_handler_connect(obs_get_signal_handler(), "hotkey_bindings_changed", on_bindings_changed, nullptr);
}

void sync_slot_hotkeys()
{
	if (!registered)
		return;
	std::lock_guard<std::recursive_mutex> lock(runtime_lock);
	const std::vector<std::string> names = canvas ? canvas->slot_names() : std::vector<std::string>();
	for (auto it = slot_hotkeys.begin(); it != slot_hotkeys.end();) {
		if (std::find(names.begin(), names.end(), it->first) != names.end()) {
			++it;
			continue;
		}
		// Kept in the store: between runtimes the slots are only out of sight, and a removal
		// forgets the bindings itself (forget_slot_hotkey).
		if (global_config)
			store_bindings(it->second, slot_hotkey_name(it->first));
		obs_hotkey_unregister(it->second);
		it = slot_hotkeys.erase(it);
	}
	for (const std::string &slot : names) {
		if (!slot_hotkeys.count(slot))
			register_slot_hotkey(slot);
	}
}

void rename_slot_hotkey(const std::string &old_name, const std::string &new_name)
{
	if (!registered)
		return;
	std::lock_guard<std::recursive_mutex> lock(runtime_lock);
	const std::string old_hotkey = slot_hotkey_name(old_name);
	const std::string new_hotkey = slot_hotkey_name(new_name);
	const auto old_entry = slot_hotkeys.find(old_name);
	if (old_entry != slot_hotkeys.end() && !slot_hotkeys.count(new_name)) {
		const obs_hotkey_id id = old_entry->second;
		slot_hotkeys.erase(old_entry);
		slot_hotkeys[new_name] = id;
		obs_hotkey_set_name(id, new_hotkey.c_str());
		obs_hotkey_set_description(id, slot_description(new_name).c_str());
	} else {
		// A websocket request renames the canvas on its own thread, and this notice of it runs
		// later on this one: a sync queued before it may have run in between, registered the
		// new name unbound and stored the old name's bindings (or left them on the hotkey of a
		// slot that took the old name meanwhile). They move to the renamed slot all the same.
		OBSDataArrayAutoRelease none = obs_data_array_create();
		OBSDataArrayAutoRelease bindings = stored_bindings(old_hotkey);
		if (old_entry != slot_hotkeys.end()) {
			bindings = obs_hotkey_save(old_entry->second);
			obs_hotkey_load(old_entry->second, none);
		}
		const auto new_entry = slot_hotkeys.find(new_name);
		if (new_entry != slot_hotkeys.end())
			obs_hotkey_load(new_entry->second, bindings ? bindings.Get() : none.Get());
		else if (bindings && global_config)
			// Renamed on again before this ran: the next notice moves them on from here.
			store_array(bindings, new_hotkey);
	}
	// The key binding follows the slot, in the store too, so that it survives a restart.
	if (global_config) {
		config_remove_value(global_config, kSection, ini_key(old_hotkey).c_str());
		const auto renamed = slot_hotkeys.find(new_name);
		if (renamed != slot_hotkeys.end())
			store_bindings(renamed->second, new_hotkey);
	}
}

void forget_slot_hotkey(const std::string &slot)
{
	std::lock_guard<std::recursive_mutex> lock(runtime_lock);
	if (!registered || slot_hotkeys.count(slot) || !global_config)
		return;
	config_remove_value(global_config, kSection, ini_key(slot_hotkey_name(slot)).c_str());
}

void save_hotkeys()
{
	if (!registered)
		return;
	std::lock_guard<std::recursive_mutex> lock(runtime_lock);
	if (!global_config)
		return;
	for (const FixedHotkey &hotkey : fixed) {
		if (hotkey.id != OBS_INVALID_HOTKEY_ID)
			store_bindings(hotkey.id, hotkey.name);
	}
	for (const auto &[slot, id] : slot_hotkeys)
		store_bindings(id, slot_hotkey_name(slot));
}

void unregister_hotkeys()
{
	if (!registered)
		return;
	signal_handler_disconnect(obs_get_signal_handler(), "hotkey_bindings_changed", on_bindings_changed, nullptr);
	save_hotkeys();
	for (FixedHotkey &hotkey : fixed) {
		if (hotkey.id != OBS_INVALID_HOTKEY_ID)
			obs_hotkey_unregister(hotkey.id);
		hotkey.id = OBS_INVALID_HOTKEY_ID;
	}
	for (const auto &entry : slot_hotkeys)
		obs_hotkey_unregister(entry.second);
	slot_hotkeys.clear();
	registered = false;
}

} // namespace brasslight
