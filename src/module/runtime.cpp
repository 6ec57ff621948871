#include "module/runtime.hpp"

#include "canvas/vertical-canvas.hpp"
#include "config/profile-config.hpp"
#include "config/scene-list-store.hpp"
#include "module/dock-registration.hpp"
#include "module/log.hpp"
#include "output/vertical-output.hpp"

namespace brasslight {

std::recursive_mutex runtime_lock;
std::unique_ptr<VerticalCanvas> canvas;
std::unique_ptr<VerticalOutput> output;

bool create_runtime_from_current_profile()
{
	if (canvas || output) {
		log_msg(LOG_WARNING, "create_runtime_from_current_profile called while runtime is still alive");
		return false;
	}
	const CanvasConfig canvas_config = read_canvas_config();
	auto new_canvas = std::make_unique<VerticalCanvas>(canvas_config);
	if (!new_canvas->init()) {
		log_msg(LOG_ERROR, "Canvas init failed");
		return false;
	}
	auto new_output = std::make_unique<VerticalOutput>(new_canvas.get(), read_output_config());
	if (!new_output->init()) {
		log_msg(LOG_ERROR, "Output init failed");
		new_output.reset();
		new_canvas->shutdown();
		return false;
	}
	// Published together, so that nothing ever sees one without the other.
	canvas = std::move(new_canvas);
	output = std::move(new_output);
	log_msg(LOG_INFO, "Runtime created: %ux%u @ %u/%u fps", canvas_config.width, canvas_config.height,
		canvas_config.fps_num, canvas_config.fps_den);
	return true;
}

void destroy_runtime(bool save_scenes)
{
	if (save_scenes)
		save_scene_list();
	// The dock must not hold either pointer once they are gone.
	detach_dock();
	if (output) {
		if (output->is_active())
			output->stop();
		// The encoders hang on the canvas's mix: the output goes first.
		output.reset();
	}
	if (canvas) {
		canvas->shutdown();
		canvas.reset();
	}
}

void apply_output_config()
{
	if (output)
		output->update_config(read_output_config());
}

void save_profile_config()
{
	std::lock_guard<std::recursive_mutex> lock(runtime_lock);
	apply_output_config();
	if (profile_config && !save_config_file(profile_config))
		log_msg(LOG_WARNING, "Failed to save profile config");
}

} // namespace brasslight
