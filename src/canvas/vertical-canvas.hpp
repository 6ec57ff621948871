#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <obs.hpp>

#include "common/settings-types.hpp"

namespace brasslight {

class VerticalOnlyAudio;

// The host's audio track 6 (mixer index 5): the track the vertical stream hears when the active
// slot's audio is routed to it.
inline constexpr uint32_t kVerticalMixerBit = 0x20;
inline constexpr const char *kDefaultSlotName = "Scene 1";

// Bounds for the canvas size: those the settings dialog offers (the frame-rate bounds are in
// settings-types.hpp). A hand-edited profile can hold anything; the canvas never asks the host
// for a mix outside them.
inline constexpr uint32_t kCanvasMinSize = 16;
inline constexpr uint32_t kCanvasMaxSize = 7680;

// Brings every canvas value into range (and each size to an even number, which 4:2:0 video needs),
// logging a warning for each value it changes.
CanvasConfig sanitize_canvas_config(const CanvasConfig &config);

// One vertical scene slot: a private host scene that shows at most one item, the host source
// (as a rule an ordinary scene) the user assigned to it.
struct SceneSlot {
	std::string name;
	// Kept even while the host does not know the source, so that a later assignment can retry.
	std::string source_name;
	OBSSceneAutoRelease scene;
	OBSSourceAutoRelease source;
};

struct ViewDeleter {
	void operator()(obs_view_t *view) const
	{
		// The mix goes with obs_view_remove; obs_view_destroy alone would leave it rendering.
		obs_view_remove(view);
		obs_view_destroy(view);
	}
};
using ViewPtr = std::unique_ptr<obs_view_t, ViewDeleter>;

// The second, vertical canvas: a host view with a video mix of its own, and the ordered list of
// scene slots whose active one is shown on channel 0 of that view.
class VerticalCanvas {
public:
	explicit VerticalCanvas(const CanvasConfig &config);
	~VerticalCanvas();
	VerticalCanvas(const VerticalCanvas &) = delete;
	VerticalCanvas &operator=(const VerticalCanvas &) = delete;

	bool init();
	void shutdown();

	// Fixed for the canvas's life (within the bounds above), so read without the lock.
	const CanvasConfig &config() const { return cfg; }
	// Set only by init and shutdown, which the runtime never runs while the output exists.
	bool initialised() const { return is_initialised; }
	video_t *video() const { return video_mix; }
	audio_t *audio() const { return audio_out; }

	// The active slot's assigned source with a reference of the caller's own, or null. Safe on
	// any thread, the host's graphics thread included: it never waits for the canvas lock (whose
	// holder may be waiting for the graphics thread), and the reference keeps the source alive
	// however the slots change while the caller renders it.
	OBSSourceAutoRelease active_source() const;

	// Called after the canvas followed a change of the host's scenes (a slot's host scene renamed,
	// removed or back again), on whichever thread the host changed them, without the canvas lock.
	// `names_changed` is true when a stored host-scene name changed and the list wants saving.
	using HostChangeHandler = std::function<void(bool names_changed)>;
	void set_host_change_handler(HostChangeHandler handler);
	// Lets go of every slot's host scene and keeps the names: what a scene-collection switch
	// needs before the host removes the old collection's scenes.
	void release_slot_scenes();
	// True when the slot names a host scene that it does not hold (removed, renamed away, not
	// loaded): the dock shows such a slot as missing.
	bool slot_scene_missing(const std::string &name) const;

	// Hands the sound of the active slot's sources that the host's main view does not reach to the
	// vertical-only audio (vertical-only-audio.hpp), as the slot or the main scenes change; about
	// twice a second on the user-interface thread, and after each change of the active slot.
	void refresh_vertical_only_audio();

	bool add_slot(const std::string &name);
	bool remove_slot(const std::string &name);
	bool rename_slot(const std::string &old_name, const std::string &new_name);
	bool set_active_slot(const std::string &name);
	bool assign_slot_scene(const std::string &slot_name, const std::string &source_name);
	std::string active_slot_name() const;
	std::string slot_scene_name(const std::string &name) const;
	std::vector<std::string> slot_names() const;

private:
	// All of these run with `mutex` held.
	bool init_locked();
	SceneSlot *find_slot(const std::string &name);
	int find_index(const std::string &name) const;
	bool create_slot(const std::string &name);
	void place_source(SceneSlot &slot, obs_source_t *source);
	void show_active_slot();
	void attach_source(SceneSlot &slot, OBSSourceAutoRelease source);
	void release_source(SceneSlot &slot);
	void sync_track6(bool route);
	void sync_vertical_only_audio(bool route);
	void publish_active_source();
	void shutdown_locked();

	// The host's scenes, followed through the host's global source signals. Connected outside
	// the canvas lock and disconnected before it is taken: the host holds a signal's lock while
	// it runs the handlers, and the handlers take the canvas lock.
	void follow_host();
	void stop_following_host();
	static void on_source_renamed(void *data, calldata_t *params);
	static void on_source_removed(void *data, calldata_t *params);
	static void on_source_created(void *data, calldata_t *params);
	void follow_rename(obs_source_t *source, const char *new_name);
	void follow_removal(obs_source_t *source);
	void follow_return(obs_source_t *source);
	void notify_host_change(bool names_changed);

	const CanvasConfig cfg;
	obs_video_info video_info = {};
	ViewPtr view;
	video_t *video_mix = nullptr;
	audio_t *audio_out = nullptr;
	std::vector<SceneSlot> slot_list;
	int32_t active_index = -1;
	bool is_initialised = false;
	// Audio sources on which this canvas may have set track 6 and not cleared it yet, so that a
	// released source is cleared even after it left every slot. Weak: they never keep a source
	// alive.
	std::vector<OBSWeakSourceAutoRelease> track6_sources;
	// While the canvas routes the active scene's audio to track 6.
	std::unique_ptr<VerticalOnlyAudio> vertical_only_audio;
	HostChangeHandler host_change_handler;
	// Guards everything above; held across the host calls of each operation.
	mutable std::mutex mutex;

	// Touched only by init, shutdown and the destructor, which the runtime serialises.
	std::vector<OBSSignal> host_signals;

	// What the preview renders: a reference to the active slot's source, swapped under its own
	// small lock, never held across a host call.
	mutable std::mutex active_source_mutex;
	OBSSourceAutoRelease active_source_ref;
};

} // namespace brasslight
