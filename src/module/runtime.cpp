#include "module/runtime.hpp"

#include "canvas/vertical-canvas.hpp"
#include "config/profile-config.hpp"
#include "module/log.hpp"

namespace brasslight {

std::recursive_mutex runtime_lock;
std::unique_ptr<VerticalCanvas> canvas;

bool create_runtime_from_current_profile()
{
	if (canvas) {
		log_msg(LOG_WARNING, "create_runtime_from_current_profile called while runtime is still alive");
		return false;
	}
	const CanvasConfig canvas_config = read_canvas_config();
	auto new_canvas = std::make_unique<VerticalCanvas>(canvas_config);
	if (!new_canvas->init()) {
		log_msg(LOG_ERROR, "Canvas init failed");
		return false;
	}
	canvas = std::move(new_canvas);
	log_msg(LOG_INFO, "Runtime created: %ux%u @ %u/%u fps", canvas_config.width, canvas_config.height,
		canvas_config.fps_num, canvas_config.fps_den);
	return true;
}

void destroy_runtime(bool)
{
	if (canvas) {
		canvas->shutdown();
		canvas.reset();
	}
}

void apply_output_config() {}

void save_profile_config()
{
	std::lock_guard<std::recursive_mutex> lock(runtime_lock);
	apply_output_config();
	if (profile_config && !save_config_file(profile_config))
		log_msg(LOG_WARNING, "Failed to save profile config");
}

} // namespace brasslight
