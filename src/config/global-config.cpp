#include "config/global-config.hpp"

#include "common/log.hpp"

namespace brasslight {

void GlobalConfig::open(const std::string &path)
{
	if (!ini.open(path)) {
		log_msg(LOG_WARNING, "Failed to open global config: %s", path.c_str());
		return;
	}
	config_set_default_bool(ini, kGlobalDockSection, kKeyDockVisible, true);
	config_set_default_bool(ini, kGlobalDockSection, kKeyDockFloating, true);
	config_set_default_int(ini, kGlobalDockSection, kKeyDockArea, 2);
	config_set_default_string(ini, kGlobalDockSection, kKeyDockGeometry, "");
	log_msg(LOG_INFO, "Global config loaded from: %s", path.c_str());
}

void GlobalConfig::save()
{
	if (ini && !ini.save())
		log_msg(LOG_WARNING, "Failed to save global config");
}

} // namespace brasslight
