#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <obs.hpp>

#include "config/profile-config.hpp"

namespace brasslight {

// The host's audio track 6 (mixer index 5): the track the vertical stream hears when the active
// slot's audio is routed to it.
inline constexpr uint32_t kVerticalMixerBit = 0x20;
inline constexpr const char *kDefaultSlotName = "Scene 1";

// Bounds for the canvas size: those the settings dialog offers (the frame-rate bounds are in
// profile-config.hpp). A hand-edited profile can hold anything; the canvas never asks the host
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

	bool add_scene(const std::string &name);
	bool remove_scene(const std::string &name);
	bool rename_scene(const std::string &old_name, const std::string &new_name);
	bool set_active_scene(const std::string &name);
	bool assign_scene_source(const std::string &slot_name, const std::string &source_name);
	std::string active_scene_name() const;
	std::string scene_source_name(const std::string &name) const;
	std::vector<std::string> scene_names() const;

private:
	// All of these run with `mutex` held.
	SceneSlot *find_slot(const std::string &name);
	int find_index(const std::string &name) const;
	bool create_slot(const std::string &name);
	void place_source(SceneSlot &slot, obs_source_t *source);
	void show_active_slot();
	void release_source(SceneSlot &slot);
	void clear_vertical_audio_routing();
	void route_active_scene_audio();
	void publish_active_source();
	void shutdown_locked();

	const CanvasConfig cfg;
	obs_video_info video_info = {};
	ViewPtr view;
	video_t *video_mix = nullptr;
	audio_t *audio_out = nullptr;
	std::vector<SceneSlot> scenes;
	int32_t active_index = -1;
	bool is_initialised = false;
	// Guards everything above; held across the host calls of each operation.
	mutable std::mutex mutex;

	// What the preview renders: a reference to the active slot's source, swapped under its own
	// small lock, never held across a host call.
	mutable std::mutex active_source_mutex;
	OBSSourceAutoRelease active_source_ref;
};

} // namespace brasslight
