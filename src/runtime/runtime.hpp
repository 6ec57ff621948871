#pragma once

#include <functional>
#include <memory>
#include <string>

#include "common/ui-thread.hpp"
#include "config/global-config.hpp"
#include "config/profile-config.hpp"
#include "output/file-outputs.hpp"
#include "runtime/action-result.hpp"

namespace brasslight {

class VerticalCanvas;
class VerticalOutput;

// The module's working state in one owner: the two settings stores, and the vertical canvas with
// the output controller built on it from the current profile. Every operation runs on the
// user-interface thread (common/ui-thread.hpp says why that makes a lock unnecessary), and the
// owner of the runtime hears what happened through the events below, on that thread too, except
// `stream_failed`.
class Runtime {
public:
	struct Events {
		// The canvas and the output controller are about to be destroyed: drop every pointer to them.
		std::function<void()> detaching;
		// A runtime was built, the slot list changed, or the canvas followed a change of the host's
		// scenes: views of it refresh.
		std::function<void()> changed;
		// A slot action succeeded (`name` is the old name and `new_name` the new one for a rename).
		std::function<void(SlotChange change, const std::string &name, const std::string &new_name)>
			slot_changed;
		// A destination's running stream failed: `reason` is its output's last error, empty when it
		// set none. On the host thread that stopped the stream: must not block.
		std::function<void(const std::string &destination, const std::string &reason)> stream_failed;
		// The start with the main stream was refused: `reason` says why, empty when no runtime could
		// be built.
		std::function<void(const std::string &reason)> auto_start_refused;
		// Where the host keeps its recordings now (its profile decides).
		std::function<RecordingPlace()> recording_place;
		// The replay buffer wrote a clip, at path.
		std::function<void(const std::string &path)> replay_saved;
	};

	explicit Runtime(Events events);
	~Runtime();
	Runtime(const Runtime &) = delete;
	Runtime &operator=(const Runtime &) = delete;

	GlobalConfig &global_config() { return global; }
	ProfileConfig &profile_config() { return profile; }
	const ProfileConfig &profile_config() const { return profile; }

	// Null while no runtime is built: before load, after a failed rebuild, after unload.
	VerticalCanvas *canvas() const { return canvas_.get(); }
	VerticalOutput *output() const { return output_.get(); }

	// Builds the canvas and the output controller from the current profile; false leaves none.
	bool create_runtime_from_current_profile();
	// Tears them down, output first; with save_scenes the slot list is stored first.
	void destroy_runtime(bool save_scenes);
	// Restores the stored slot list into the canvas, assigns each slot's host scene again now that
	// the host's scenes exist, and from then on follows the host's renames and removals.
	void restore_slots();
	// Each slot looks its stored host-scene name up again (a new scene collection is loaded).
	void reassign_host_scenes();
	// Writes the slot list into the global store and the file.
	void save_slots();

	// Hands the profile's current stream settings to a live output controller.
	void apply_output_config();
	// What the settings dialog ends with: apply the stream settings and write the profile file.
	void save_profile_config();

	// Start and Stop as the dock's buttons, the hotkeys and the websocket do them. A start first
	// applies canvas settings saved since the runtime was built (canvas and encoders are rebuilt,
	// the slots kept). Starting a running stream or stopping a stopped one changes nothing.
	ActionResult start_stream();
	ActionResult stop_stream();
	// The start with the main stream: as start_stream, and a refused start is told through
	// `auto_start_refused` (the dock's status line says why as well).
	void auto_start_stream();

	// One destination alone, by name.
	ActionResult start_destination(const std::string &name);
	ActionResult stop_destination(const std::string &name);
	// The list of destinations, as the settings dialog and remote control change it: stored in the
	// profile (and saved) and handed to the output controller. Names are unique; the URL and key of
	// a new destination must not be empty.
	ActionResult add_destination(const Destination &destination);
	ActionResult remove_destination(const std::string &name);
	ActionResult set_destination_enabled(const std::string &name, bool enabled);

	// The vertical recording and replay buffer, in the host's recording folder unless the profile
	// names another. Stopping the recording asks the host to close the file.
	ActionResult start_recording();
	ActionResult stop_recording();
	ActionResult start_replay_buffer();
	ActionResult stop_replay_buffer();
	// Asks the replay buffer for a clip; the host says when it is written.
	ActionResult save_replay();

	// The slot actions. Names are trimmed of leading and trailing white space. Each success but
	// an activation saves the slot list; every success is told through `slot_changed`.
	ActionResult add_slot(const std::string &name);
	ActionResult remove_slot(const std::string &name);
	ActionResult rename_slot(const std::string &old_name, const std::string &new_name);
	// An empty scene name clears the slot's host scene.
	ActionResult assign_slot_scene(const std::string &slot, const std::string &scene);
	ActionResult activate_slot(const std::string &name);
	// The slot `step` places after (or, negative, before) the active one, wrapping at either end.
	ActionResult step_active_slot(int step);

private:
	bool create_runtime(const std::string &first_encoder_id);
	void apply_changed_canvas_settings();
	void notify(SlotChange change, const std::string &name, const std::string &new_name = {});
	void on_host_scenes_changed(bool names_changed);
	RecordingPlace recording_place() const;
	ActionResult store_destinations(const std::vector<Destination> &list);
	static void fire(const std::function<void()> &event);

	Events events;
	GlobalConfig global;
	ProfileConfig profile;
	// The output holds a plain pointer to the canvas: declared after it, so destroyed before it.
	std::unique_ptr<VerticalCanvas> canvas_;
	std::unique_ptr<VerticalOutput> output_;
	// The profile's canvas settings as the runtime was built from them (before bounding), so that
	// a start can tell whether the user has changed them since.
	CanvasConfig built_from;
	// Takes the canvas's host-scene notices (on any thread) to this thread; declared last, so that
	// what it still holds is dropped before anything it would touch goes.
	UiQueue ui;
};

} // namespace brasslight
