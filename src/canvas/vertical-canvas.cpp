#include "canvas/vertical-canvas.hpp"

#include <algorithm>

#include <obs-config.h>

#include "canvas/cover-fit.hpp"
#include "common/log.hpp"

namespace brasslight {

namespace {

uint32_t bounded(const char *what, uint32_t value, uint32_t low, uint32_t high, bool even)
{
	uint32_t sane = value < low ? low : (value > high ? high : value);
	if (even)
		sane &= ~1u;
	if (sane != value)
		log_msg(LOG_WARNING, "Canvas %s %u is out of range (%u to %u%s) — using %u", what, value, low, high,
			even ? ", even" : "", sane);
	return sane;
}

// Marks, in the source's own stored settings, that track 6 is on because this module turned it
// on, not the user. The host saves the scene collection with the bit (after every mixer change,
// and at exit before modules unload), so the mark travels with it and a later run still tells
// its own bits from the user's.
constexpr const char *kTrack6Mark = "brasslight_vertical_track6";

bool has_track6_mark(obs_source_t *source)
{
	OBSDataAutoRelease priv = obs_source_get_private_settings(source);
	return obs_data_get_bool(priv, kTrack6Mark);
}

void set_track6(obs_source_t *source, bool on)
{
	const uint32_t mixers = obs_source_get_audio_mixers(source);
	const uint32_t wanted = on ? (mixers | kVerticalMixerBit) : (mixers & ~kVerticalMixerBit);
	if (wanted != mixers)
		obs_source_set_audio_mixers(source, wanted);
	OBSDataAutoRelease priv = obs_source_get_private_settings(source);
	if (on)
		obs_data_set_bool(priv, kTrack6Mark, true);
	else
		obs_data_erase(priv, kTrack6Mark);
}

// The audio sources that play through a slot's source. The host keeps mixer bits only on
// sources that have audio, and a scene has none of its own: what it plays comes from the sources
// inside it (nested scenes and groups included). Each found source is held by a reference, so
// that a concurrent removal from its scene cannot free it before it is used.
struct AudioWalk {
	std::vector<obs_source_t *> visited;
	std::vector<OBSSourceAutoRelease> audio;

	bool has(obs_source_t *source) const
	{
		for (const OBSSourceAutoRelease &found : audio)
			if (found.Get() == source)
				return true;
		return false;
	}
	void add(obs_source_t *source)
	{
		if (!has(source))
			audio.emplace_back(obs_source_get_ref(source));
	}
};

void walk_audio_sources(obs_source_t *source, AudioWalk &walk);

bool walk_scene_item(obs_scene_t *, obs_sceneitem_t *item, void *param)
{
	walk_audio_sources(obs_sceneitem_get_source(item), *static_cast<AudioWalk *>(param));
	return true;
}

void walk_audio_sources(obs_source_t *source, AudioWalk &walk)
{
	if (!source || std::find(walk.visited.begin(), walk.visited.end(), source) != walk.visited.end())
		return;
	walk.visited.push_back(source);
	if (obs_source_get_output_flags(source) & OBS_SOURCE_AUDIO)
		walk.add(source);
	obs_scene_t *scene = obs_scene_from_source(source);
	if (!scene)
		scene = obs_group_from_source(source);
	if (scene)
		obs_scene_enum_items(scene, walk_scene_item, &walk);
}

} // namespace

CanvasConfig sanitize_canvas_config(const CanvasConfig &config)
{
	CanvasConfig sane = config;
	sane.width = bounded("width", config.width, kCanvasMinSize, kCanvasMaxSize, true);
	sane.height = bounded("height", config.height, kCanvasMinSize, kCanvasMaxSize, true);
	// The rate is bounded, not its parts: bounding each on its own made the host's 30000/1001
	// (29.97 fps) 240/1000, a quarter of a frame per second.
	if (!frame_rate_in_range(config.fps_num, config.fps_den)) {
		sane.fps_num = CanvasConfig().fps_num;
		sane.fps_den = CanvasConfig().fps_den;
		log_msg(LOG_WARNING, "Canvas frame rate %u/%u is out of range (%u to %u fps) — using %u/%u",
			config.fps_num, config.fps_den, kFpsMin, kFpsMax, sane.fps_num, sane.fps_den);
	}
	return sane;
}

VerticalCanvas::VerticalCanvas(const CanvasConfig &config) : cfg(sanitize_canvas_config(config)) {}

VerticalCanvas::~VerticalCanvas()
{
	stop_following_host();
	std::lock_guard<std::mutex> lock(mutex);
	shutdown_locked();
}

bool VerticalCanvas::init()
{
	{
		std::lock_guard<std::mutex> lock(mutex);
		if (!init_locked())
			return false;
	}
	follow_host();
	return true;
}

bool VerticalCanvas::init_locked()
{
	if (is_initialised) {
		log_msg(LOG_WARNING, "VerticalCanvas already initialised");
		return true;
	}
	if (!obs_get_video_info(&video_info)) {
		log_msg(LOG_ERROR, "obs_get_video_info failed — OBS not ready");
		return false;
	}
	// Only size and frame rate differ from the main mix: pixel format, colour space, range and
	// scale type stay the host's, and base equals output size so the mix never rescales.
	video_info.base_width = video_info.output_width = cfg.width;
	video_info.base_height = video_info.output_height = cfg.height;
	video_info.fps_num = cfg.fps_num;
	video_info.fps_den = cfg.fps_den;

	view.reset(obs_view_create());
	if (!view) {
		log_msg(LOG_ERROR, "obs_view_create() failed");
		return false;
	}
	video_mix = obs_view_add2(view.get(), &video_info);
	if (!video_mix) {
		log_msg(LOG_ERROR, "obs_view_add2() failed");
		view.reset();
		return false;
	}
	audio_out = obs_get_audio();

	if (!create_slot(kDefaultSlotName))
		log_msg(LOG_WARNING, "Failed to create default scene");

	is_initialised = true;
	log_msg(LOG_INFO, "Canvas initialised: %ux%u @ %u/%u fps", cfg.width, cfg.height, cfg.fps_num, cfg.fps_den);
	return true;
}

void VerticalCanvas::shutdown()
{
	stop_following_host();
	std::lock_guard<std::mutex> lock(mutex);
	shutdown_locked();
}

void VerticalCanvas::follow_host()
{
	if (!host_signals.empty())
		return;
	signal_handler_t *signals = obs_get_signal_handler();
	host_signals.emplace_back(signals, "source_rename", on_source_renamed, this);
	host_signals.emplace_back(signals, "source_remove", on_source_removed, this);
	host_signals.emplace_back(signals, "source_create", on_source_created, this);
}

void VerticalCanvas::stop_following_host()
{
	// Each disconnect waits for a handler that is running on another thread to finish.
	host_signals.clear();
}

void VerticalCanvas::on_source_renamed(void *data, calldata_t *params)
{
	static_cast<VerticalCanvas *>(data)->follow_rename(static_cast<obs_source_t *>(calldata_ptr(params, "source")),
							   calldata_string(params, "new_name"));
}

void VerticalCanvas::on_source_removed(void *data, calldata_t *params)
{
	static_cast<VerticalCanvas *>(data)->follow_removal(
		static_cast<obs_source_t *>(calldata_ptr(params, "source")));
}

void VerticalCanvas::on_source_created(void *data, calldata_t *params)
{
	static_cast<VerticalCanvas *>(data)->follow_return(static_cast<obs_source_t *>(calldata_ptr(params, "source")));
}

// The host-signal handlers run on whichever thread changed the host's scenes (the user-interface
// thread, a websocket request's thread), holding only the host's lock of that signal. They never
// take the runtime lock: a teardown holds it while it disconnects them.

void VerticalCanvas::follow_rename(obs_source_t *source, const char *new_name)
{
	if (!source || !new_name || !*new_name)
		return;
	bool renamed = false;
	bool returned = false;
	{
		std::lock_guard<std::mutex> lock(mutex);
		if (!is_initialised)
			return;
		for (SceneSlot &slot : scenes) {
			if (slot.source == source && slot.source_name != new_name) {
				log_msg(LOG_INFO, "Scene '%s': host scene renamed '%s' → '%s'", slot.name.c_str(),
					slot.source_name.c_str(), new_name);
				slot.source_name = new_name;
				renamed = true;
			} else if (!slot.source && slot.source_name == new_name && !obs_source_removed(source)) {
				// Another scene took the missing scene's name: the slot shows it.
				attach_source(slot, obs_source_get_ref(source));
				log_msg(LOG_INFO, "Scene '%s': host scene '%s' is back", slot.name.c_str(), new_name);
				returned = true;
			}
		}
		if (returned) {
			publish_active_source();
			sync_track6(true);
		}
	}
	if (renamed || returned)
		notify_host_change(renamed);
}

void VerticalCanvas::follow_removal(obs_source_t *source)
{
	if (!source)
		return;
	bool released = false;
	{
		std::lock_guard<std::mutex> lock(mutex);
		if (!is_initialised)
			return;
		for (SceneSlot &slot : scenes) {
			if (slot.source != source)
				continue;
			// Out of the slot's scene and the slot's hands at once: the host destroys the scene
			// (and closes its capture devices) as soon as its last reference goes. The name stays.
			place_source(slot, nullptr);
			release_source(slot);
			log_msg(LOG_INFO, "Scene '%s': host scene '%s' removed — released", slot.name.c_str(),
				slot.source_name.c_str());
			released = true;
		}
		if (released) {
			publish_active_source();
			sync_track6(true);
		}
	}
	if (released)
		notify_host_change(false);
}

void VerticalCanvas::follow_return(obs_source_t *source)
{
	const char *name = source ? obs_source_get_name(source) : nullptr;
	if (!name || !*name)
		return;
	bool returned = false;
	{
		std::lock_guard<std::mutex> lock(mutex);
		if (!is_initialised)
			return;
		for (SceneSlot &slot : scenes) {
			if (slot.source || slot.source_name != name)
				continue;
			attach_source(slot, obs_source_get_ref(source));
			log_msg(LOG_INFO, "Scene '%s': host scene '%s' is back", slot.name.c_str(), name);
			returned = true;
		}
		if (returned) {
			publish_active_source();
			sync_track6(true);
		}
	}
	if (returned)
		notify_host_change(false);
}

void VerticalCanvas::notify_host_change(bool names_changed)
{
	HostChangeHandler handler;
	{
		std::lock_guard<std::mutex> lock(mutex);
		handler = host_change_handler;
	}
	if (handler)
		handler(names_changed);
}

void VerticalCanvas::set_host_change_handler(HostChangeHandler handler)
{
	std::lock_guard<std::mutex> lock(mutex);
	host_change_handler = std::move(handler);
}

void VerticalCanvas::release_slot_scenes()
{
	std::lock_guard<std::mutex> lock(mutex);
	bool released = false;
	for (SceneSlot &slot : scenes) {
		if (!slot.source)
			continue;
		place_source(slot, nullptr);
		release_source(slot);
		released = true;
	}
	if (released) {
		publish_active_source();
		sync_track6(true);
		log_msg(LOG_INFO, "Host scenes released");
	}
}

bool VerticalCanvas::slot_scene_missing(const std::string &name) const
{
	std::lock_guard<std::mutex> lock(mutex);
	const int index = find_index(name);
	if (index < 0)
		return false;
	const SceneSlot &slot = scenes[static_cast<size_t>(index)];
	return !slot.source && !slot.source_name.empty();
}

void VerticalCanvas::shutdown_locked()
{
	if (!is_initialised)
		return;
	obs_view_set_source(view.get(), 0, nullptr);
	sync_track6(false);
	for (SceneSlot &slot : scenes) {
		release_source(slot);
		slot.scene = nullptr;
	}
	scenes.clear();
	track6_sources.clear();
	active_index = -1;
	publish_active_source();
	view.reset();
	audio_out = nullptr;
	video_mix = nullptr;
	is_initialised = false;
	log_msg(LOG_INFO, "Canvas shut down");
}

OBSSourceAutoRelease VerticalCanvas::active_source() const
{
	std::lock_guard<std::mutex> lock(active_source_mutex);
	return obs_source_get_ref(active_source_ref);
}

void VerticalCanvas::publish_active_source()
{
	OBSSourceAutoRelease next;
	if (active_index >= 0 && static_cast<size_t>(active_index) < scenes.size())
		next = obs_source_get_ref(scenes[static_cast<size_t>(active_index)].source);
	{
		std::lock_guard<std::mutex> lock(active_source_mutex);
		std::swap(next, active_source_ref);
	}
	// `next` now holds the previous reference; releasing it may destroy the source, which needs
	// the graphics context, so it happens outside the small lock the graphics thread takes.
}

SceneSlot *VerticalCanvas::find_slot(const std::string &name)
{
	const int index = find_index(name);
	return index < 0 ? nullptr : &scenes[static_cast<size_t>(index)];
}

int VerticalCanvas::find_index(const std::string &name) const
{
	for (size_t i = 0; i < scenes.size(); ++i)
		if (scenes[i].name == name)
			return static_cast<int>(i);
	return -1;
}

void VerticalCanvas::show_active_slot()
{
	obs_source_t *shown = nullptr;
	if (active_index >= 0)
		shown = obs_scene_get_source(scenes[static_cast<size_t>(active_index)].scene);
	obs_view_set_source(view.get(), 0, shown);
	publish_active_source();
}

bool VerticalCanvas::create_slot(const std::string &name)
{
	if (find_slot(name)) {
		log_msg(LOG_WARNING, "Scene already exists: %s", name.c_str());
		return false;
	}
	OBSSceneAutoRelease scene = obs_scene_create_private(name.c_str());
	if (!scene) {
		log_msg(LOG_ERROR, "obs_scene_create_private failed for: %s", name.c_str());
		return false;
	}
	scenes.push_back(SceneSlot {name, std::string(), std::move(scene), nullptr});
	if (active_index < 0) {
		active_index = static_cast<int32_t>(scenes.size() - 1);
		show_active_slot();
	}
	log_msg(LOG_INFO, "Scene created (private): %s", name.c_str());
	return true;
}

bool VerticalCanvas::add_slot(const std::string &name)
{
	std::lock_guard<std::mutex> lock(mutex);
	if (!is_initialised)
		return false;
	return create_slot(name);
}

void VerticalCanvas::release_source(SceneSlot &slot)
{
	// Its track-6 bits, where this canvas set them, are cleared by the next sync_track6 (every
	// caller runs one), which still reaches them through track6_sources.
	slot.source = nullptr;
}

void VerticalCanvas::attach_source(SceneSlot &slot, OBSSourceAutoRelease source)
{
	place_source(slot, source);
	slot.source = std::move(source);
}

bool VerticalCanvas::remove_slot(const std::string &name)
{
	std::lock_guard<std::mutex> lock(mutex);
	const int index = find_index(name);
	if (index < 0) {
		log_msg(LOG_WARNING, "remove_scene — not found: %s", name.c_str());
		return false;
	}
	bool shown_changed = false;
	if (index == active_index) {
		obs_view_set_source(view.get(), 0, nullptr);
		active_index = -1;
		shown_changed = true;
	}
	SceneSlot &slot = scenes[static_cast<size_t>(index)];
	release_source(slot);
	slot.scene = nullptr;
	scenes.erase(scenes.begin() + index);
	if (active_index > index)
		--active_index;
	// The first remaining slot takes over, not the removed one's neighbour.
	if (active_index < 0 && !scenes.empty())
		active_index = 0;
	if (shown_changed)
		show_active_slot();
	sync_track6(true);
	log_msg(LOG_INFO, "Scene removed: %s", name.c_str());
	return true;
}

bool VerticalCanvas::rename_slot(const std::string &old_name, const std::string &new_name)
{
	if (old_name == new_name)
		return true;
	std::lock_guard<std::mutex> lock(mutex);
	if (find_slot(new_name)) {
		log_msg(LOG_WARNING, "rename_scene — name already in use: %s", new_name.c_str());
		return false;
	}
	SceneSlot *slot = find_slot(old_name);
	if (!slot) {
		log_msg(LOG_WARNING, "rename_scene — not found: %s", old_name.c_str());
		return false;
	}
	obs_source_set_name(obs_scene_get_source(slot->scene), new_name.c_str());
	slot->name = new_name;
	log_msg(LOG_INFO, "Scene renamed: %s -> %s", old_name.c_str(), new_name.c_str());
	return true;
}

bool VerticalCanvas::set_active_slot(const std::string &name)
{
	std::lock_guard<std::mutex> lock(mutex);
	const int index = find_index(name);
	if (index < 0) {
		log_msg(LOG_WARNING, "set_active_scene — not found: %s", name.c_str());
		return false;
	}
	if (index == active_index)
		return true;
	active_index = index;
	show_active_slot();
	sync_track6(true);
	log_msg(LOG_INFO, "Active scene: %s", name.c_str());
	return true;
}

bool VerticalCanvas::assign_slot_scene(const std::string &slot_name, const std::string &source_name)
{
	std::lock_guard<std::mutex> lock(mutex);
	SceneSlot *slot = find_slot(slot_name);
	if (!slot) {
		log_msg(LOG_WARNING, "assign_scene_source — scene not found: %s", slot_name.c_str());
		return false;
	}
	release_source(*slot);
	slot->source_name.clear();

	if (source_name.empty()) {
		place_source(*slot, nullptr);
		publish_active_source();
		sync_track6(true);
		log_msg(LOG_INFO, "Scene '%s': source cleared", slot_name.c_str());
		return true;
	}

	OBSSourceAutoRelease source = obs_get_source_by_name(source_name.c_str());
	// A removed scene can outlive its removal while someone still holds it; the host no longer
	// lists it, so neither does a slot.
	if (source && obs_source_removed(source))
		source = nullptr;
	if (!source) {
		log_msg(LOG_WARNING, "assign_scene_source — OBS source not found: %s", source_name.c_str());
		slot->source_name = source_name;
		publish_active_source();
		sync_track6(true);
		return false;
	}
	attach_source(*slot, std::move(source));
	slot->source_name = source_name;
	publish_active_source();
	sync_track6(true);
	log_msg(LOG_INFO, "Scene '%s': source assigned → '%s'", slot_name.c_str(), source_name.c_str());
	return true;
}

void VerticalCanvas::place_source(SceneSlot &slot, obs_source_t *source)
{
	if (!slot.scene)
		return;
	// The items are removed after the walk, not inside it: the walk holds the scene's lock, and
	// the last release of a scaled item needs the graphics context, which the graphics thread
	// holds while it waits for that same lock to render the scene (a deadlock when a slot is
	// reassigned while the vertical mix or the preview renders). Each item is kept alive by a
	// reference of our own until it is out of the scene.
	std::vector<obs_sceneitem_t *> items;
	obs_scene_enum_items(
		slot.scene,
		[](obs_scene_t *, obs_sceneitem_t *item, void *param) {
			obs_sceneitem_addref(item);
			static_cast<std::vector<obs_sceneitem_t *> *>(param)->push_back(item);
			return true;
		},
		&items);
	for (obs_sceneitem_t *item : items) {
		obs_sceneitem_remove(item);
		obs_sceneitem_release(item);
	}
	if (!source)
		return;

	obs_sceneitem_t *item = obs_scene_add(slot.scene, source);
	if (!item) {
		log_msg(LOG_WARNING, "obs_scene_add failed for source: %s", obs_source_get_name(source));
		return;
	}
	const uint32_t w = obs_source_get_width(source);
	const uint32_t h = obs_source_get_height(source);
	const CoverFit fit = cover_fit(w, h, cfg.width, cfg.height);

	obs_transform_info info = {};
	info.pos.x = fit.pos_x;
	info.pos.y = fit.pos_y;
	info.rot = 0.0f;
	info.scale.x = fit.scale;
	info.scale.y = fit.scale;
	info.alignment = OBS_ALIGN_LEFT | OBS_ALIGN_TOP;
	info.bounds_type = OBS_BOUNDS_NONE;
	info.bounds_alignment = 0;
	info.bounds.x = 0.0f;
	info.bounds.y = 0.0f;
#if LIBOBS_API_MAJOR_VER >= 30
	info.crop_to_bounds = false;
	obs_sceneitem_set_info2(item, &info);
#else
	obs_sceneitem_set_info(item, &info);
#endif
	log_msg(LOG_INFO, "Source '%s' placed: src=%ux%u scale=%.4f pos=(%.1f,%.1f)", obs_source_get_name(source), w, h,
		fit.scale, fit.pos_x, fit.pos_y);
}

void VerticalCanvas::sync_track6(bool route)
{
	// Track 6 goes on the audio inside the active slot's host scene, and only while the option
	// is on.
	AudioWalk wanted;
	if (route && cfg.use_active_scene_audio && active_index >= 0 &&
	    static_cast<size_t>(active_index) < scenes.size())
		walk_audio_sources(scenes[static_cast<size_t>(active_index)].source, wanted);

	// It comes off only where this module put it: the sources it set it on in this run (held or
	// not), and marked ones inside any slot's scene (set in an earlier run, saved with the
	// scene collection). A track-6 bit of the user's own is never cleared, and never marked.
	AudioWalk held;
	for (const SceneSlot &slot : scenes)
		walk_audio_sources(slot.source, held);
	for (const OBSWeakSourceAutoRelease &weak : track6_sources) {
		OBSSourceAutoRelease source = obs_weak_source_get_source(weak);
		if (source)
			held.add(source);
	}

	std::vector<OBSWeakSourceAutoRelease> still_set;
	for (const OBSSourceAutoRelease &source : wanted.audio) {
		if (!(obs_source_get_audio_mixers(source) & kVerticalMixerBit))
			set_track6(source, true);
		if (has_track6_mark(source))
			still_set.emplace_back(obs_source_get_weak_source(source));
	}
	for (const OBSSourceAutoRelease &source : held.audio)
		if (!wanted.has(source) && has_track6_mark(source))
			set_track6(source, false);
	track6_sources = std::move(still_set);
}

std::string VerticalCanvas::active_slot_name() const
{
	std::lock_guard<std::mutex> lock(mutex);
	if (active_index < 0 || static_cast<size_t>(active_index) >= scenes.size())
		return {};
	return scenes[static_cast<size_t>(active_index)].name;
}

std::string VerticalCanvas::slot_scene_name(const std::string &name) const
{
	std::lock_guard<std::mutex> lock(mutex);
	const int index = find_index(name);
	return index < 0 ? std::string() : scenes[static_cast<size_t>(index)].source_name;
}

std::vector<std::string> VerticalCanvas::slot_names() const
{
	std::lock_guard<std::mutex> lock(mutex);
	std::vector<std::string> names;
	names.reserve(scenes.size());
	for (const SceneSlot &slot : scenes)
		names.push_back(slot.name);
	return names;
}

} // namespace brasslight
