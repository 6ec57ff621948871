#include "module/runtime.hpp"

#include "config/profile-config.hpp"
#include "module/log.hpp"

namespace brasslight {

std::recursive_mutex runtime_lock;

bool create_runtime_from_current_profile()
{
	return true;
}

void destroy_runtime(bool) {}

void apply_output_config() {}

void save_profile_config()
{
	std::lock_guard<std::recursive_mutex> lock(runtime_lock);
	apply_output_config();
	if (profile_config && !save_config_file(profile_config))
		log_msg(LOG_WARNING, "Failed to save profile config");
}

} // namespace brasslight
