#include "module/hotkeys.hpp"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <vector>

#include <obs.hpp>

#include "canvas/vertical-canvas.hpp"
#include "common/text.hpp"
#include "runtime/runtime.hpp"

namespace brasslight {

namespace {

constexpr const char *kSection = "Hotkeys";
constexpr const char *kNamePrefix = "BrasslightVertical.";
constexpr const char *kSlotPrefix = "BrasslightVertical.Slot.";

// The host writes a hotkey's name as a key of its own ini files, unescaped, and compares those
// keys without regard to case: a slot's name there could forge a section or lose a binding. The
// hotkey is named after a hash of the slot's name instead, which the name cannot break out of.
std::string slot_hotkey_name(const std::string &slot)
{
	uint64_t hash = 0xcbf29ce484222325ULL; // FNV-1a, 64 bits
	for (const unsigned char c : slot) {
		hash ^= c;
		hash *= 0x100000001b3ULL;
	}
	char hex[17];
	snprintf(hex, sizeof(hex), "%016llx", static_cast<unsigned long long>(hash));
	return kSlotPrefix + std::string(hex);
}

// Where earlier versions kept a slot's bindings: under a hotkey named after the slot itself.
std::string legacy_slot_hotkey_name(const std::string &slot)
{
	return kSlotPrefix + slot;
}

std::string slot_description(const std::string &slot)
{
	return text("Hotkey.Slot") + slot;
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

} // namespace

Hotkeys::Hotkeys(Runtime &runtime_)
	: runtime(runtime_),
	  fixed {{this, Action::Start, "BrasslightVertical.StartStream", "Hotkey.Start", OBS_INVALID_HOTKEY_ID},
		 {this, Action::Stop, "BrasslightVertical.StopStream", "Hotkey.Stop", OBS_INVALID_HOTKEY_ID},
		 {this, Action::Next, "BrasslightVertical.NextSlot", "Hotkey.Next", OBS_INVALID_HOTKEY_ID},
		 {this, Action::Previous, "BrasslightVertical.PreviousSlot", "Hotkey.Previous", OBS_INVALID_HOTKEY_ID},
		 {this, Action::StartRecording, "BrasslightVertical.StartRecording", "Hotkey.StartRecording",
		  OBS_INVALID_HOTKEY_ID},
		 {this, Action::StopRecording, "BrasslightVertical.StopRecording", "Hotkey.StopRecording",
		  OBS_INVALID_HOTKEY_ID},
		 {this, Action::SaveReplay, "BrasslightVertical.SaveReplay", "Hotkey.SaveReplay",
		  OBS_INVALID_HOTKEY_ID}}
{
	for (Fixed &hotkey : fixed) {
		hotkey.id = obs_hotkey_register_frontend(hotkey.name, text(hotkey.description_key), on_fixed_hotkey,
							 &hotkey);
		if (hotkey.id != OBS_INVALID_HOTKEY_ID)
			load_bindings(hotkey.id, hotkey.name);
	}
	sync_slots();
	signal_handler_connect(obs_get_signal_handler(), "hotkey_bindings_changed", on_bindings_changed, this);
}

Hotkeys::~Hotkeys()
{
	// Disconnecting waits for a handler running on another thread; so does each unregistration
	// for a press in progress. Nothing of this object is touched from there afterwards.
	signal_handler_disconnect(obs_get_signal_handler(), "hotkey_bindings_changed", on_bindings_changed, this);
	save();
	for (Fixed &hotkey : fixed)
		if (hotkey.id != OBS_INVALID_HOTKEY_ID)
			obs_hotkey_unregister(hotkey.id);
	for (const auto &entry : slot_hotkeys)
		obs_hotkey_unregister(entry.second);
}

void Hotkeys::load_bindings(obs_hotkey_id id, const std::string &name)
{
	config_t *store = runtime.global_config().file();
	const char *json = store ? config_get_string(store, kSection, ini_key(name).c_str()) : nullptr;
	if (!json || !*json)
		return;
	OBSDataAutoRelease data = obs_data_create_from_json(json);
	OBSDataArrayAutoRelease bindings = data ? obs_data_get_array(data, "bindings") : nullptr;
	if (bindings)
		obs_hotkey_load(id, bindings);
}

void Hotkeys::store_bindings(obs_hotkey_id id, const std::string &name)
{
	config_t *store = runtime.global_config().file();
	if (!store)
		return;
	OBSDataArrayAutoRelease bindings = obs_hotkey_save(id);
	OBSDataAutoRelease data = obs_data_create();
	obs_data_set_array(data, "bindings", bindings);
	config_set_string(store, kSection, ini_key(name).c_str(), obs_data_get_json(data));
}

void Hotkeys::on_fixed_hotkey(void *data, obs_hotkey_id id, obs_hotkey_t *, bool pressed)
{
	const auto *hotkey = static_cast<const Fixed *>(data);
	if (pressed)
		hotkey->owner->ui.post(
			[owner = hotkey->owner, action = hotkey->action, id] { owner->run(action, id); });
}

void Hotkeys::on_slot_hotkey(void *data, obs_hotkey_id id, obs_hotkey_t *, bool pressed)
{
	auto *owner = static_cast<Hotkeys *>(data);
	if (pressed)
		owner->ui.post([owner, id] { owner->run(Action::Slot, id); });
}

void Hotkeys::run(Action action, obs_hotkey_id id)
{
	switch (action) {
	case Action::Start:
		runtime.start_stream();
		break;
	case Action::Stop:
		runtime.stop_stream();
		break;
	case Action::Next:
		runtime.step_active_slot(1);
		break;
	case Action::Previous:
		runtime.step_active_slot(-1);
		break;
	case Action::StartRecording:
		runtime.start_recording();
		break;
	case Action::StopRecording:
		runtime.stop_recording();
		break;
	case Action::SaveReplay:
		runtime.save_replay();
		break;
	case Action::Slot:
		for (const auto &[slot, slot_id] : slot_hotkeys) {
			if (slot_id == id) {
				runtime.activate_slot(slot);
				break;
			}
		}
		break;
	}
}

void Hotkeys::register_slot(const std::string &slot)
{
	const std::string name = slot_hotkey_name(slot);
	const obs_hotkey_id id =
		obs_hotkey_register_frontend(name.c_str(), slot_description(slot).c_str(), on_slot_hotkey, this);
	if (id == OBS_INVALID_HOTKEY_ID)
		return;
	slot_hotkeys[slot] = id;
	config_t *store = runtime.global_config().file();
	const std::string legacy = ini_key(legacy_slot_hotkey_name(slot));
	if (store && !config_has_user_value(store, kSection, ini_key(name).c_str()) &&
	    config_has_user_value(store, kSection, legacy.c_str())) {
		// Moved once to the hotkey's new name, and gone from the old.
		load_bindings(id, legacy_slot_hotkey_name(slot));
		store_bindings(id, name);
		config_remove_value(store, kSection, legacy.c_str());
		return;
	}
	load_bindings(id, name);
}

// A binding changed in the host's Hotkeys settings (obs_hotkey_load, our own loading, signals
// nothing). Runs on the thread that changed it, with the host's hotkey lock held: it only posts
// the save, which that thread must not wait for.
void Hotkeys::on_bindings_changed(void *data, calldata_t *params)
{
	// Passed as "key" (whatever the signal's declaration calls it).
	auto *hotkey = static_cast<obs_hotkey_t *>(calldata_ptr(params, "key"));
	const char *name = hotkey ? obs_hotkey_get_name(hotkey) : nullptr;
	if (!name || strncmp(name, kNamePrefix, strlen(kNamePrefix)) != 0)
		return;
	auto *owner = static_cast<Hotkeys *>(data);
	if (owner->save_posted.exchange(true))
		return;
	owner->ui.post([owner] {
		owner->save_posted = false;
		// Written at once, as the host writes its own hotkeys when its settings are applied.
		owner->save();
		owner->runtime.global_config().save();
	});
}

void Hotkeys::sync_slots()
{
	const VerticalCanvas *canvas = runtime.canvas();
	const std::vector<std::string> names = canvas ? canvas->slot_names() : std::vector<std::string>();
	for (auto it = slot_hotkeys.begin(); it != slot_hotkeys.end();) {
		if (std::find(names.begin(), names.end(), it->first) != names.end()) {
			++it;
			continue;
		}
		// Kept in the store: between runtimes the slots are only out of sight, and a removal
		// forgets the bindings itself (forget_slot).
		store_bindings(it->second, slot_hotkey_name(it->first));
		obs_hotkey_unregister(it->second);
		it = slot_hotkeys.erase(it);
	}
	for (const std::string &slot : names)
		if (!slot_hotkeys.count(slot))
			register_slot(slot);
}

void Hotkeys::rename_slot(const std::string &old_name, const std::string &new_name)
{
	const auto entry = slot_hotkeys.find(old_name);
	if (entry == slot_hotkeys.end() || slot_hotkeys.count(new_name))
		return;
	const obs_hotkey_id id = entry->second;
	slot_hotkeys.erase(entry);
	slot_hotkeys[new_name] = id;
	obs_hotkey_set_name(id, slot_hotkey_name(new_name).c_str());
	obs_hotkey_set_description(id, slot_description(new_name).c_str());
	// The key binding follows the slot in the store too, so that it survives a restart.
	if (config_t *store = runtime.global_config().file())
		config_remove_value(store, kSection, ini_key(slot_hotkey_name(old_name)).c_str());
	store_bindings(id, slot_hotkey_name(new_name));
}

void Hotkeys::forget_slot(const std::string &slot)
{
	config_t *store = runtime.global_config().file();
	if (store && !slot_hotkeys.count(slot))
		config_remove_value(store, kSection, ini_key(slot_hotkey_name(slot)).c_str());
}

void Hotkeys::save()
{
	for (const Fixed &hotkey : fixed)
		if (hotkey.id != OBS_INVALID_HOTKEY_ID)
			store_bindings(hotkey.id, hotkey.name);
	for (const auto &[slot, id] : slot_hotkeys)
		store_bindings(id, slot_hotkey_name(slot));
}

} // namespace brasslight
