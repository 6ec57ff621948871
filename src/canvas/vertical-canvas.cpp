#include "canvas/vertical-canvas.hpp"

#include <utility>

#include <obs-config.h>

#include "canvas/cover-fit.hpp"
#include "canvas/vertical-only-audio.hpp"
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
	if (cfg.use_active_scene_audio)
		vertical_only_audio = std::make_unique<VerticalOnlyAudio>();

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

void VerticalCanvas::shutdown_locked()
{
	if (!is_initialised)
		return;
	obs_view_set_source(view.get(), 0, nullptr);
	sync_track6(false);
	vertical_only_audio.reset();
	for (SceneSlot &slot : slot_list) {
		release_source(slot);
		slot.scene = nullptr;
	}
	slot_list.clear();
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
	if (active_index >= 0 && static_cast<size_t>(active_index) < slot_list.size())
		next = obs_source_get_ref(slot_list[static_cast<size_t>(active_index)].source);
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
	return index < 0 ? nullptr : &slot_list[static_cast<size_t>(index)];
}

int VerticalCanvas::find_index(const std::string &name) const
{
	for (size_t i = 0; i < slot_list.size(); ++i)
		if (slot_list[i].name == name)
			return static_cast<int>(i);
	return -1;
}

void VerticalCanvas::show_active_slot()
{
	obs_source_t *shown = nullptr;
	if (active_index >= 0)
		shown = obs_scene_get_source(slot_list[static_cast<size_t>(active_index)].scene);
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
	slot_list.push_back(SceneSlot {name, std::string(), std::move(scene), nullptr});
	if (active_index < 0) {
		active_index = static_cast<int32_t>(slot_list.size() - 1);
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
	SceneSlot &slot = slot_list[static_cast<size_t>(index)];
	release_source(slot);
	slot.scene = nullptr;
	slot_list.erase(slot_list.begin() + index);
	if (active_index > index)
		--active_index;
	// The first remaining slot takes over, not the removed one's neighbour.
	if (active_index < 0 && !slot_list.empty())
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

std::string VerticalCanvas::active_slot_name() const
{
	std::lock_guard<std::mutex> lock(mutex);
	if (active_index < 0 || static_cast<size_t>(active_index) >= slot_list.size())
		return {};
	return slot_list[static_cast<size_t>(active_index)].name;
}

std::string VerticalCanvas::slot_scene_name(const std::string &name) const
{
	std::lock_guard<std::mutex> lock(mutex);
	const int index = find_index(name);
	return index < 0 ? std::string() : slot_list[static_cast<size_t>(index)].source_name;
}

std::vector<std::string> VerticalCanvas::slot_names() const
{
	std::lock_guard<std::mutex> lock(mutex);
	std::vector<std::string> names;
	names.reserve(slot_list.size());
	for (const SceneSlot &slot : slot_list)
		names.push_back(slot.name);
	return names;
}

} // namespace brasslight
