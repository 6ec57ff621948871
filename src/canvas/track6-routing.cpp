// The vertical stream's audio: the host's track 6 on the sources that the active slot plays, and
// off again only where this module put it, never on a bit of the user's own.

#include "canvas/vertical-canvas.hpp"
#include "canvas/vertical-only-audio.hpp"

#include <algorithm>
#include <utility>
#include <vector>

namespace brasslight {

namespace {

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
	// Only what plays: the visible items of each scene.
	bool visible_only = false;
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
	auto &walk = *static_cast<AudioWalk *>(param);
	if (!walk.visible_only || obs_sceneitem_visible(item))
		walk_audio_sources(obs_sceneitem_get_source(item), walk);
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

void VerticalCanvas::sync_track6(bool route)
{
	// Track 6 goes on the audio inside the active slot's host scene, and only while the option
	// is on.
	AudioWalk wanted;
	if (route && cfg.use_active_scene_audio && active_index >= 0 &&
	    static_cast<size_t>(active_index) < slot_list.size())
		walk_audio_sources(slot_list[static_cast<size_t>(active_index)].source, wanted);

	// It comes off only where this module put it: the sources it set it on in this run (held or
	// not), and marked ones inside any slot's scene (set in an earlier run, saved with the
	// scene collection). A track-6 bit of the user's own is never cleared, and never marked.
	AudioWalk held;
	for (const SceneSlot &slot : slot_list)
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
	sync_vertical_only_audio(route);
}

void VerticalCanvas::refresh_vertical_only_audio()
{
	std::lock_guard<std::mutex> lock(mutex);
	if (is_initialised)
		sync_vertical_only_audio(true);
}

void VerticalCanvas::sync_vertical_only_audio(bool route)
{
	if (!vertical_only_audio)
		return;
	AudioWalk playing;
	playing.visible_only = true;
	if (route && active_index >= 0 && static_cast<size_t>(active_index) < slot_list.size())
		walk_audio_sources(slot_list[static_cast<size_t>(active_index)].source, playing);
	// What the host mixes anyway: the main view's channels and what they reach, as the host's own
	// audio tick gathers them. A source in both canvases is heard from there, once.
	AudioWalk mixed;
	for (int channel = 0; channel < MAX_CHANNELS && !playing.audio.empty(); ++channel) {
		if (channel == vertical_only_audio->channel())
			continue;
		OBSSourceAutoRelease root = obs_get_output_source(static_cast<uint32_t>(channel));
		if (!root)
			continue;
		mixed.add(root);
		obs_source_enum_active_tree(
			root,
			[](obs_source_t *, obs_source_t *child, void *walk) {
				static_cast<AudioWalk *>(walk)->add(child);
			},
			&mixed);
	}
	std::vector<obs_source_t *> only_here;
	for (const OBSSourceAutoRelease &source : playing.audio)
		if (!mixed.has(source) && !obs_source_removed(source))
			only_here.push_back(source);
	vertical_only_audio->set_sources(only_here);
}

} // namespace brasslight
