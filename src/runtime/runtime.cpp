#include "runtime/runtime.hpp"

#include <algorithm>

#include "canvas/vertical-canvas.hpp"
#include "common/log.hpp"
#include "config/scene-list-store.hpp"
#include "output/vertical-output.hpp"
#include "runtime/slot-names.hpp"

namespace brasslight {

namespace {

bool same_canvas_settings(const CanvasConfig &a, const CanvasConfig &b)
{
	return a.width == b.width && a.height == b.height && a.fps_num == b.fps_num && a.fps_den == b.fps_den &&
	       a.use_active_scene_audio == b.use_active_scene_audio;
}

} // namespace

Runtime::Runtime(Events events_) : events(std::move(events_)) {}

Runtime::~Runtime()
{
	destroy_runtime(false);
}

void Runtime::fire(const std::function<void()> &event)
{
	if (event)
		event();
}

bool Runtime::create_runtime_from_current_profile()
{
	return create_runtime({});
}

bool Runtime::create_runtime(const std::string &first_encoder_id)
{
	if (canvas_ || output_) {
		log_msg(LOG_WARNING, "create_runtime_from_current_profile called while runtime is still alive");
		return false;
	}
	const CanvasConfig canvas_config = profile.read_canvas_config();
	auto new_canvas = std::make_unique<VerticalCanvas>(canvas_config);
	if (!new_canvas->init()) {
		log_msg(LOG_ERROR, "Canvas init failed");
		return false;
	}
	// The failure handler is copied into the outputs, whose host threads call it.
	auto new_output = std::make_unique<VerticalOutput>(
		new_canvas.get(), profile.read_output_config(), first_encoder_id, events.stream_failed,
		// On the host's thread that wrote the clip: its path is asked for on this one.
		[this] {
			ui.post([this] {
				if (output_ && events.replay_saved)
					events.replay_saved(output_->last_replay());
			});
		});
	if (!new_output->init()) {
		log_msg(LOG_ERROR, "Output init failed");
		new_output.reset();
		new_canvas->shutdown();
		return false;
	}
	// Published together, so that nothing ever sees one without the other.
	canvas_ = std::move(new_canvas);
	output_ = std::move(new_output);
	built_from = canvas_config;
	// What the canvas really runs at: a hand-edited value out of range has been replaced.
	const CanvasConfig &used = canvas_->config();
	log_msg(LOG_INFO, "Runtime created: %ux%u @ %u/%u fps", used.width, used.height, used.fps_num, used.fps_den);
	fire(events.changed);
	return true;
}

void Runtime::destroy_runtime(bool save_scenes)
{
	if (save_scenes)
		save_slots();
	if (!canvas_ && !output_)
		return;
	// Nothing may hold either pointer once they are gone.
	fire(events.detaching);
	if (output_) {
		if (output_->is_active())
			output_->stop();
		// The encoders hang on the canvas's mix: the output goes first.
		output_.reset();
	}
	if (canvas_) {
		canvas_->shutdown();
		canvas_.reset();
	}
}

void Runtime::restore_slots()
{
	if (!canvas_)
		return;
	const StoredSlotList stored = read_slot_list(global.file());
	if (!stored.present) {
		log_msg(LOG_INFO, "No saved scenes — keeping default Scene 1");
	} else {
		canvas_->remove_slot(kDefaultSlotName);
		std::vector<std::string> restored;
		for (const StoredSlot &slot : stored.slots) {
			// A hand-edited list may hold a name the dock would refuse, or name two slots alike
			// (the second would take over the first's entries). Every slot is kept, under a
			// name the rules allow.
			const std::string usable =
				slot_name_problem(slot.name).empty() ? slot.name : usable_slot_name(slot.name);
			std::string name = usable;
			for (int n = 2;
			     std::any_of(restored.begin(), restored.end(),
					 [&name](const std::string &other) { return same_slot_name(name, other); });
			     ++n)
				name = usable + " (" + std::to_string(n) + ")";
			if (name != slot.name)
				log_msg(LOG_WARNING, "Stored slot name '%s' is taken or not allowed — restored as '%s'",
					slot.name.c_str(), name.c_str());
			canvas_->add_slot(name);
			restored.push_back(name);
			if (!slot.scene.empty())
				canvas_->assign_slot_scene(name, slot.scene);
		}
		if (!stored.active.empty())
			canvas_->set_active_slot(stored.active);
		log_msg(LOG_INFO, "Restored %llu scene(s), active: %s", static_cast<unsigned long long>(stored.count),
			stored.active.empty() ? "(none)" : stored.active.c_str());
	}
	reassign_host_scenes();
	// From here on the host's scenes exist, and the slots follow their renames and removals. The
	// canvas tells of them on whichever thread changed the host's scenes: brought here.
	canvas_->set_host_change_handler([this](bool names_changed) {
		ui.post([this, names_changed] { on_host_scenes_changed(names_changed); });
	});
	fire(events.changed);
}

void Runtime::reassign_host_scenes()
{
	if (!canvas_)
		return;
	for (const std::string &name : canvas_->slot_names()) {
		const std::string scene = canvas_->slot_scene_name(name);
		if (scene.empty())
			continue;
		log_msg(LOG_INFO, "Re-applying source '%s' → scene '%s'", scene.c_str(), name.c_str());
		canvas_->assign_slot_scene(name, scene);
	}
}

// A renamed host scene's new name is saved at once: the next start looks the slot's scene up by it.
void Runtime::on_host_scenes_changed(bool names_changed)
{
	if (names_changed)
		save_slots();
	fire(events.changed);
}

void Runtime::save_slots()
{
	if (!global || !canvas_)
		return;
	std::vector<StoredSlot> slots;
	for (const std::string &name : canvas_->slot_names())
		slots.push_back({name, canvas_->slot_scene_name(name)});
	write_slot_list(global.file(), slots, canvas_->active_slot_name());
	global.save();
	log_msg(LOG_INFO, "Scene list saved (%zu scene(s))", slots.size());
}

void Runtime::apply_output_config()
{
	if (output_)
		output_->update_config(profile.read_output_config());
}

void Runtime::save_profile_config()
{
	apply_output_config();
	if (profile.is_open() && !profile.save())
		log_msg(LOG_WARNING, "Failed to save profile config");
}

// Size, frame rate and the audio flag are fixed for a canvas and its encoders: a change the user
// saved since they were built rebuilds both, at a start, when nothing streams. The slots are
// stored and restored around it, as at a profile switch, and the encoder that worked stays.
void Runtime::apply_changed_canvas_settings()
{
	if (!output_ || output_->is_active() || same_canvas_settings(profile.read_canvas_config(), built_from))
		return;
	log_msg(LOG_INFO, "Canvas settings changed — rebuilding the vertical canvas");
	const std::string encoder = output_->video_encoder_id();
	destroy_runtime(true);
	if (create_runtime(encoder)) {
		restore_slots();
		return;
	}
	log_msg(LOG_ERROR, "Failed to rebuild the vertical canvas with the new settings");
	fire(events.changed);
}

void Runtime::auto_start_stream()
{
	apply_changed_canvas_settings();
	if (output_ && output_->start())
		return;
	// A vertical stream never set up (no URL and no key) is not a failure worth a box at every
	// start of the main stream: the dock's status line says why it did not start.
	const OutputConfig config = profile.read_output_config();
	const bool set_up = std::any_of(config.destinations.begin(), config.destinations.end(),
					[](const Destination &d) { return !d.url.empty() || !d.key.empty(); });
	if (output_ && !set_up)
		return;
	// Once per start of the main stream, which goes live all the same: without this the user
	// would not know that the vertical one did not.
	if (events.auto_start_refused)
		events.auto_start_refused(output_ ? output_->refusal_reason() : std::string());
}

} // namespace brasslight
