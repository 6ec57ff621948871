#include "config/scene-list-store.hpp"

#include <cerrno>
#include <cstdlib>

#include "common/log.hpp"

namespace brasslight {

namespace {

constexpr const char *kSection = "Scenes";
constexpr const char *kCount = "count";
constexpr const char *kActive = "activescene";

std::string slot_key(uint64_t index, const char *field)
{
	return "scene_" + std::to_string(index) + "_" + field;
}

std::string stored_string(config_t *store, const std::string &key)
{
	const char *value = config_get_string(store, kSection, key.c_str());
	return value ? value : "";
}

// Written as it is: the host's ini files keep a value's edges, and write a line break or a
// backslash as an escape of their own, so every name reads back exactly.
void store_string(config_t *store, const std::string &key, const std::string &text)
{
	config_set_string(store, kSection, key.c_str(), text.c_str());
}

bool has_slot_keys(config_t *store, uint64_t index)
{
	return config_has_user_value(store, kSection, slot_key(index, "name").c_str()) ||
	       config_has_user_value(store, kSection, slot_key(index, "source").c_str());
}

// The stored count, or false when the value is not a whole number (a hand-edited file).
bool stored_count(config_t *store, uint64_t &count)
{
	const char *text = config_get_string(store, kSection, kCount);
	count = 0;
	if (!text || !*text)
		return true;
	char *end = nullptr;
	errno = 0;
	count = strtoull(text, &end, 10);
	return *text != '-' && end && !*end && errno == 0;
}

} // namespace

StoredSlotList read_slot_list(config_t *store)
{
	StoredSlotList list;
	if (!store)
		return list;
	uint64_t walked = 0;
	if (!stored_count(store, list.count)) {
		// Every stored slot is looked for: the list's end is unknown, and a list read as empty
		// would be saved over at the next change.
		log_msg(LOG_WARNING, "Stored scene count '%s' is not a number — reading every stored slot",
			config_get_string(store, kSection, kCount));
		walked = kMaxStoredScenes;
	} else if (list.count > kMaxStoredScenes) {
		log_msg(LOG_WARNING, "Stored scene count %llu is implausible — reading the first %llu only",
			static_cast<unsigned long long>(list.count), static_cast<unsigned long long>(kMaxStoredScenes));
		walked = kMaxStoredScenes;
	} else {
		walked = list.count;
	}
	for (uint64_t i = 0; i < walked; ++i) {
		std::string name = stored_string(store, slot_key(i, "name"));
		if (!name.empty())
			list.slots.push_back({std::move(name), stored_string(store, slot_key(i, "source"))});
	}
	if (walked == kMaxStoredScenes && list.count < kMaxStoredScenes)
		list.count = list.slots.size();
	list.present = !list.slots.empty() || list.count > 0;
	list.active = stored_string(store, kActive);
	return list;
}

void write_slot_list(config_t *store, const std::vector<StoredSlot> &slots, const std::string &active)
{
	if (!store)
		return;
	uint64_t previous = 0;
	if (!stored_count(store, previous))
		previous = kMaxStoredScenes;
	config_set_uint(store, kSection, kCount, slots.size());
	store_string(store, kActive, active);
	for (size_t i = 0; i < slots.size(); ++i) {
		store_string(store, slot_key(i, "name"), slots[i].name);
		store_string(store, slot_key(i, "source"), slots[i].scene);
	}
	// Up to the count stored before, and on past it while keys remain (a hand-edited file).
	for (uint64_t i = slots.size(); i < kMaxStoredScenes && (i < previous || has_slot_keys(store, i)); ++i) {
		config_remove_value(store, kSection, slot_key(i, "name").c_str());
		config_remove_value(store, kSection, slot_key(i, "source").c_str());
	}
}

} // namespace brasslight
