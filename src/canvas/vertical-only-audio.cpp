#include "canvas/vertical-only-audio.hpp"

#include <algorithm>
#include <memory>
#include <mutex>

#include <obs-module.h>
#include <util/util_uint64.h>

#include "common/log.hpp"

namespace brasslight {

namespace {

constexpr const char *kSourceId = "bl_vertical_only_audio";
// Track 6, the vertical stream's (kVerticalMixerBit of vertical-canvas.hpp).
constexpr size_t kVerticalMix = 5;
// The host's front end uses channels 0 (the program) to 6 (its audio devices).
constexpr int kFirstSpareChannel = 7;

// The source's own data. Its children change under the canvas's lock (as a rule on the
// user-interface thread); the host's audio thread reads them in every tick (enum_active_sources,
// then audio_render), so they change under a lock of their own, held only to change the list, to
// copy it, or to sum the children's samples.
struct Mix {
	obs_source_t *self = nullptr; // not owned: the source this is the data of
	std::mutex mutex;
	std::vector<OBSSourceAutoRelease> children;

	std::vector<OBSSourceAutoRelease> copy()
	{
		std::lock_guard<std::mutex> lock(mutex);
		std::vector<OBSSourceAutoRelease> held;
		for (const OBSSourceAutoRelease &child : children)
			held.emplace_back(obs_source_get_ref(child));
		return held;
	}
};

void *mix_create(obs_data_t *, obs_source_t *source)
{
	auto mix = std::make_unique<Mix>();
	mix->self = source;
	return mix.release(); // the host's from here, until mix_destroy
}

void mix_destroy(void *data)
{
	std::unique_ptr<Mix> mix(static_cast<Mix *>(data));
}

// The host calls this to activate and deactivate the children with the source, and, in each audio
// tick, to render their audio before the source's own. The callbacks run on a copy: they may
// activate a source, which runs code of its own.
void mix_enum_active_sources(void *data, obs_source_enum_proc_t callback, void *param)
{
	auto *mix = static_cast<Mix *>(data);
	for (const OBSSourceAutoRelease &child : mix->copy())
		callback(mix->self, child, param);
}

// As the host's scenes mix their items: each child's track-6 sound (after its volume and mute)
// placed at its own timestamp against the earliest of them.
bool mix_audio_render(void *data, uint64_t *ts_out, obs_source_audio_mix *out, uint32_t mixers, size_t channels,
		      size_t sample_rate)
{
	auto *mix = static_cast<Mix *>(data);
	// Held while the samples are summed: the user-interface thread only ever swaps the list.
	std::lock_guard<std::mutex> lock(mix->mutex);
	uint64_t earliest = 0;
	for (const OBSSourceAutoRelease &child : mix->children) {
		const uint64_t ts = obs_source_audio_pending(child) ? 0 : obs_source_get_audio_timestamp(child);
		if (ts && (!earliest || ts < earliest))
			earliest = ts;
	}
	if (!earliest || !(mixers & (1u << kVerticalMix)))
		return false;
	for (const OBSSourceAutoRelease &child : mix->children) {
		const uint64_t ts = obs_source_audio_pending(child) ? 0 : obs_source_get_audio_timestamp(child);
		const size_t offset =
			ts ? static_cast<size_t>(util_mul_div64(ts - earliest, sample_rate, 1000000000ULL))
			   : AUDIO_OUTPUT_FRAMES;
		if (offset >= AUDIO_OUTPUT_FRAMES)
			continue;
		obs_source_audio_mix in;
		obs_source_get_audio_mix(child, &in);
		for (size_t ch = 0; ch < channels; ++ch) {
			float *to = out->output[kVerticalMix].data[ch] + offset;
			const float *from = in.output[kVerticalMix].data[ch];
			for (size_t i = 0; i < AUDIO_OUTPUT_FRAMES - offset; ++i)
				to[i] += from[i];
		}
	}
	*ts_out = earliest;
	return true;
}

void register_source_type()
{
	if (obs_source_get_display_name(kSourceId))
		return;
	obs_source_info info = {};
	info.id = kSourceId;
	info.type = OBS_SOURCE_TYPE_INPUT;
	// No video: the main view draws nothing for it. Composite: its sound is what audio_render
	// makes of its children's, on track 6 only (the host refuses a composite that also outputs
	// audio of its own). Not offered to the user.
	info.output_flags = OBS_SOURCE_COMPOSITE | OBS_SOURCE_CAP_DISABLED | OBS_SOURCE_DO_NOT_DUPLICATE;
	info.get_name = [](void *) {
		return "Vertical-only audio";
	};
	info.create = mix_create;
	info.destroy = mix_destroy;
	info.enum_active_sources = mix_enum_active_sources;
	info.audio_render = mix_audio_render;
	obs_register_source(&info);
}

} // namespace

VerticalOnlyAudio::VerticalOnlyAudio()
{
	register_source_type();
	source = obs_source_create_private(kSourceId, "Vertical-only audio", nullptr);
	// The host hands back a placeholder without data for a type it refused.
	if (!source || !obs_obj_get_data(source)) {
		log_msg(LOG_WARNING, "Vertical-only audio: the source could not be created");
		source = nullptr;
		return;
	}
	take_free_channel();
}

VerticalOnlyAudio::~VerticalOnlyAudio()
{
	if (!source)
		return;
	// Deactivates the children with it: they stay balanced whatever the list holds now.
	if (on_channel >= 0) {
		OBSSourceAutoRelease there = obs_get_output_source(static_cast<uint32_t>(on_channel));
		if (there.Get() == source.Get())
			obs_set_output_source(static_cast<uint32_t>(on_channel), nullptr);
	}
	auto *mix = static_cast<Mix *>(obs_obj_get_data(source));
	std::vector<OBSSourceAutoRelease> gone;
	{
		// Released after the lock: the last reference of a source may destroy it.
		std::lock_guard<std::mutex> lock(mix->mutex);
		gone.swap(mix->children);
	}
}

void VerticalOnlyAudio::take_free_channel()
{
	on_channel = -1;
	for (int channel = MAX_CHANNELS - 1; channel >= kFirstSpareChannel; --channel) {
		OBSSourceAutoRelease there = obs_get_output_source(static_cast<uint32_t>(channel));
		if (there)
			continue;
		// Activates the source and, through it, the children it lists now.
		obs_set_output_source(static_cast<uint32_t>(channel), source);
		on_channel = channel;
		return;
	}
	log_msg(LOG_WARNING, "Vertical-only audio: no free output channel; sources only in the vertical scene "
			     "stay silent");
}

void VerticalOnlyAudio::set_sources(const std::vector<obs_source_t *> &sources)
{
	if (!source)
		return;
	OBSSourceAutoRelease there =
		on_channel >= 0 ? obs_get_output_source(static_cast<uint32_t>(on_channel)) : nullptr;
	if (there.Get() != source.Get())
		take_free_channel();
	auto *mix = static_cast<Mix *>(obs_obj_get_data(source));
	const std::vector<OBSSourceAutoRelease> had = mix->copy();
	const auto in = [](const auto &list, obs_source_t *wanted) {
		return std::any_of(list.begin(), list.end(), [wanted](const auto &s) { return s == wanted; });
	};
	// Each child counts as active once for every activation of this source: a child joins the list
	// and is activated, or leaves it and is deactivated, while the source is on its channel; off
	// it, the host deactivated what the list held then, and activates what it holds when it is
	// back.
	for (const OBSSourceAutoRelease &child : had) {
		if (in(sources, child))
			continue;
		{
			std::lock_guard<std::mutex> lock(mix->mutex);
			mix->children.erase(std::find(mix->children.begin(), mix->children.end(), child.Get()));
		}
		obs_source_remove_active_child(source, child);
	}
	for (obs_source_t *wanted : sources) {
		if (in(had, wanted))
			continue;
		{
			std::lock_guard<std::mutex> lock(mix->mutex);
			mix->children.emplace_back(obs_source_get_ref(wanted));
		}
		obs_source_add_active_child(source, wanted);
	}
}

} // namespace brasslight
