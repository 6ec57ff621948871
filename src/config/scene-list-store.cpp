#include "config/scene-list-store.hpp"

#include <mutex>
#include <string>

#include "canvas/vertical-canvas.hpp"
#include "config/global-config.hpp"
#include "common/log.hpp"
#include "module/runtime.hpp"

namespace brasslight {

namespace {

constexpr const char *kSection = "Scenes";

std::string slot_key(uint64_t index, const char *field)
{
	return "scene_" + std::to_string(index) + "_" + field;
}

} // namespace

void save_scene_list()
{
	if (!global_config || !canvas)
		return;
	const std::vector<std::string> names = canvas->slot_names();
	const std::string active = canvas->active_slot_name();
	config_set_uint(global_config, kSection, "count", names.size());
	config_set_string(global_config, kSection, "activescene", active.c_str());
	for (size_t i = 0; i < names.size(); ++i) {
		config_set_string(global_config, kSection, slot_key(i, "name").c_str(), names[i].c_str());
		config_set_string(global_config, kSection, slot_key(i, "source").c_str(),
				  canvas->slot_scene_name(names[i]).c_str());
	}
	save_global_config();
	log_msg(LOG_INFO, "Scene list saved (%zu scene(s))", names.size());
}

void save_scene_list_locked()
{
	std::lock_guard<std::recursive_mutex> lock(runtime_lock);
	save_scene_list();
}

void restore_scene_list()
{
	if (!global_config || !canvas)
		return;
	const uint64_t count = config_get_uint(global_config, kSection, "count");
	if (count == 0) {
		log_msg(LOG_INFO, "No saved scenes — keeping default Scene 1");
		return;
	}
	canvas->remove_slot(kDefaultSlotName);

	uint64_t walked = count;
	if (walked > kMaxStoredScenes) {
		log_msg(LOG_WARNING, "Stored scene count %llu is implausible — reading the first %llu only",
			static_cast<unsigned long long>(count), static_cast<unsigned long long>(kMaxStoredScenes));
		walked = kMaxStoredScenes;
	}
	for (uint64_t i = 0; i < walked; ++i) {
		const char *name = config_get_string(global_config, kSection, slot_key(i, "name").c_str());
		if (!name || !*name)
			continue;
		const char *source = config_get_string(global_config, kSection, slot_key(i, "source").c_str());
		canvas->add_slot(name);
		if (source && *source)
			canvas->assign_slot_scene(name, source);
	}
	const char *active = config_get_string(global_config, kSection, "activescene");
	if (active && *active)
		canvas->set_active_slot(active);
	log_msg(LOG_INFO, "Restored %llu scene(s), active: %s", static_cast<unsigned long long>(count),
		active ? active : "(none)");
}

} // namespace brasslight
