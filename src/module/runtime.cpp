#include "module/runtime.hpp"

#include <string>

#include "canvas/vertical-canvas.hpp"
#include "config/profile-config.hpp"
#include "config/scene-list-store.hpp"
#include "module/dock-registration.hpp"
#include "module/host-events.hpp"
#include "common/log.hpp"
#include "output/vertical-output.hpp"
#include "ui/message-boxes.hpp"

namespace brasslight {

std::recursive_mutex runtime_lock;
std::unique_ptr<VerticalCanvas> canvas;
std::unique_ptr<VerticalOutput> output;

namespace {

// The profile's canvas settings as the runtime was built from them (before bounding), so that a
// start can tell whether the user has changed them since.
CanvasConfig built_from;

bool same_canvas_settings(const CanvasConfig &a, const CanvasConfig &b)
{
	return a.width == b.width && a.height == b.height && a.fps_num == b.fps_num && a.fps_den == b.fps_den &&
	       a.use_active_scene_audio == b.use_active_scene_audio;
}

bool create_runtime(const std::string &first_encoder_id)
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
	auto new_output = std::make_unique<VerticalOutput>(new_canvas.get(), read_output_config(), first_encoder_id);
	if (!new_output->init()) {
		log_msg(LOG_ERROR, "Output init failed");
		new_output.reset();
		new_canvas->shutdown();
		return false;
	}
	// Published together, so that nothing ever sees one without the other.
	canvas = std::move(new_canvas);
	output = std::move(new_output);
	built_from = canvas_config;
	// What the canvas really runs at: a hand-edited value out of range has been replaced.
	const CanvasConfig &used = canvas->config();
	log_msg(LOG_INFO, "Runtime created: %ux%u @ %u/%u fps", used.width, used.height, used.fps_num, used.fps_den);
	return true;
}

// Size, frame rate and the audio flag are fixed for a canvas and its encoders: a change the user
// saved since they were built rebuilds both, at a start, when nothing streams. The slots are
// stored and restored around it, as at a profile switch, and the encoder that worked stays.
void apply_changed_canvas_settings()
{
	if (!output || output->is_active() || same_canvas_settings(read_canvas_config(), built_from))
		return;
	log_msg(LOG_INFO, "Canvas settings changed — rebuilding the vertical canvas");
	const std::string encoder = output->video_encoder_id();
	destroy_runtime(true);
	if (create_runtime(encoder)) {
		reapply_scene_sources();
		return;
	}
	log_msg(LOG_ERROR, "Failed to rebuild the vertical canvas with the new settings");
	refresh_dock();
}

} // namespace

bool create_runtime_from_current_profile()
{
	return create_runtime({});
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

ActionResult start_vertical_output()
{
	std::lock_guard<std::recursive_mutex> lock(runtime_lock);
	apply_changed_canvas_settings();
	return start_vertical_stream(output.get());
}

void auto_start_vertical_output()
{
	std::lock_guard<std::recursive_mutex> lock(runtime_lock);
	apply_changed_canvas_settings();
	if (output && output->start())
		return;
	// A vertical stream never set up (no URL and no key) is not a failure worth a box at every
	// start of the main stream: the dock's status line says why it did not start.
	const OutputConfig config = read_output_config();
	if (output && config.rtmp_url.empty() && config.stream_key.empty())
		return;
	// Once per start of the main stream, which goes live all the same: without this the user
	// would not know that the vertical one did not.
	const std::string reason = output ? output->refusal_reason() : "the vertical canvas could not be built";
	post_critical_box("Vertical Canvas — Stream Error",
			  "The vertical stream did not start with the main stream.\n\nNot started: " + reason);
}

void save_profile_config()
{
	std::lock_guard<std::recursive_mutex> lock(runtime_lock);
	apply_output_config();
	if (profile_config && !save_config_file(profile_config))
		log_msg(LOG_WARNING, "Failed to save profile config");
}

} // namespace brasslight
