#include "config/scene-list-store.hpp"

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

bool has_slot_keys(config_t *store, uint64_t index)
{
	return config_has_user_value(store, kSection, slot_key(index, "name").c_str()) ||
	       config_has_user_value(store, kSection, slot_key(index, "source").c_str());
}

} // namespace

StoredSlotList read_slot_list(config_t *store)
{
	StoredSlotList list;
	if (!store)
		return list;
	list.count = config_get_uint(store, kSection, kCount);
	list.present = list.count > 0;
	uint64_t walked = list.count;
	if (walked > kMaxStoredScenes) {
		log_msg(LOG_WARNING, "Stored scene count %llu is implausible — reading the first %llu only",
			static_cast<unsigned long long>(list.count), static_cast<unsigned long long>(kMaxStoredScenes));
		walked = kMaxStoredScenes;
	}
	for (uint64_t i = 0; i < walked; ++i) {
		std::string name = stored_string(store, slot_key(i, "name"));
		if (!name.empty())
			list.slots.push_back({std::move(name), stored_string(store, slot_key(i, "source"))});
	}
	list.active = stored_string(store, kActive);
	return list;
}

void write_slot_list(config_t *store, const std::vector<StoredSlot> &slots, const std::string &active)
{
	if (!store)
		return;
	const uint64_t previous = config_get_uint(store, kSection, kCount);
	config_set_uint(store, kSection, kCount, slots.size());
	config_set_string(store, kSection, kActive, active.c_str());
	for (size_t i = 0; i < slots.size(); ++i) {
		config_set_string(store, kSection, slot_key(i, "name").c_str(), slots[i].name.c_str());
		config_set_string(store, kSection, slot_key(i, "source").c_str(), slots[i].scene.c_str());
	}
	// Up to the count stored before, and on past it while keys remain (a hand-edited file).
	for (uint64_t i = slots.size(); i < kMaxStoredScenes && (i < previous || has_slot_keys(store, i)); ++i) {
		config_remove_value(store, kSection, slot_key(i, "name").c_str());
		config_remove_value(store, kSection, slot_key(i, "source").c_str());
	}
}

} // namespace brasslight
