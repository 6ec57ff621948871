#include "config/global-config.hpp"

#include <obs-module.h>

#include "config/profile-config.hpp"
#include "common/log.hpp"
#include "module/module-lifecycle.hpp"

namespace brasslight {

ConfigFile global_config;

void open_global_config(const std::string &path)
{
	global_config.Close();
	ensure_parent_directory(path);
	if (global_config.Open(path.c_str(), CONFIG_OPEN_ALWAYS) != CONFIG_SUCCESS) {
		global_config.Close();
		log_msg(LOG_WARNING, "Failed to open global config: %s", path.c_str());
		return;
	}
	config_set_default_bool(global_config, kGlobalDockSection, kKeyDockVisible, true);
	config_set_default_bool(global_config, kGlobalDockSection, kKeyDockFloating, true);
	config_set_default_int(global_config, kGlobalDockSection, kKeyDockArea, 2);
	config_set_default_string(global_config, kGlobalDockSection, kKeyDockGeometry, "");
	log_msg(LOG_INFO, "Global config loaded from: %s", path.c_str());
}

void load_global_config()
{
	global_config.Close();
	BPtr<char> path = module ? obs_module_get_config_path(module, kGlobalFileName) : nullptr;
	if (!path || !*path.Get()) {
		log_msg(LOG_WARNING, "Could not resolve global config path");
		return;
	}
	open_global_config(path.Get());
}

void save_global_config()
{
	if (global_config && !save_config_file(global_config))
		log_msg(LOG_WARNING, "Failed to save global config");
}

} // namespace brasslight
