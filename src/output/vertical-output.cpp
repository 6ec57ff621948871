#include "output/vertical-output.hpp"

#include <algorithm>

#include <util/platform.h>

#include "canvas/vertical-canvas.hpp"
#include "common/log.hpp"
#include "mux/mux-output.hpp"
#include "output/output-names.hpp"

namespace brasslight {

namespace {

constexpr int kAudioBitrateKbps = 160;
// The host's audio track 6 carries the active vertical scene's audio; track 1 is the main mix.
constexpr size_t kVerticalAudioMixer = 5;
constexpr size_t kMainAudioMixer = 0;

// The host's file muxer, which also writes the replay buffer's clips, times the video by the main
// canvas's frame rate and not by the encoder's (host 29, read from its plug-in): it takes each
// timestamp as a count of the main rate's frames. A file at another vertical rate would play at
// the wrong speed (29.97 fps against a main 30 fps: a thousand times too long), so it is refused
// while the rates differ. Empty when the file will be timed right.
std::string file_rate_refusal(const CanvasConfig &canvas)
{
	obs_video_info main = {};
	if (!obs_get_video_info(&main) ||
	    uint64_t(canvas.fps_num) * main.fps_den == uint64_t(main.fps_num) * canvas.fps_den)
		return {};
	const std::string refusal = "OBS writes vertical files only at the main canvas's frame rate (" +
				    std::to_string(main.fps_num) + "/" + std::to_string(main.fps_den) +
				    "); the vertical canvas runs at " + std::to_string(canvas.fps_num) + "/" +
				    std::to_string(canvas.fps_den);
	log_msg(LOG_WARNING, "Vertical file refused: %s", refusal.c_str());
	return refusal;
}

} // namespace

VerticalOutput::VerticalOutput(VerticalCanvas *canvas_, const OutputConfig &config_, const std::string &first_encoder,
			       FailureHandler failure_handler, VerticalReplayBuffer::SavedHandler on_replay_saved)
	: canvas(canvas_),
	  on_failure(std::move(failure_handler)),
	  config(config_),
	  first_encoder_id(first_encoder),
	  adaptive(config_.video_bitrate_kbps, kAudioBitrateKbps),
	  replay(std::move(on_replay_saved))
{
}

VerticalOutput::~VerticalOutput()
{
	std::lock_guard<std::mutex> lock(mutex);
	if (!initialised)
		return;
	// Every output stops and goes before the encoders it holds.
	destinations.clear();
	recording.stop();
	replay.stop();
	log_msg(LOG_INFO, "VerticalOutput destroyed");
}

void VerticalOutput::rebuild_destinations()
{
	std::vector<std::unique_ptr<DestinationOutput>> kept;
	for (auto &destination : destinations)
		if (destination->active())
			kept.push_back(std::move(destination));
	destinations.clear();
	const CanvasConfig &canvas_config = canvas->config();
	for (size_t i = 0; i < config.destinations.size(); ++i) {
		const Destination &wanted = config.destinations[i];
		auto running = std::find_if(kept.begin(), kept.end(), [&wanted](const auto &destination) {
			return destination->destination().name == wanted.name;
		});
		if (running != kept.end()) {
			destinations.push_back(std::move(*running));
			kept.erase(running);
			continue;
		}
		auto created = std::make_unique<DestinationOutput>(wanted, static_cast<int>(i), canvas_config.fps_num,
								   canvas_config.fps_den, on_failure);
		created->set_encoders(video_encoder, audio_encoder);
		destinations.push_back(std::move(created));
	}
	// Removed from the list while streaming: they stream on until stopped, listed last.
	for (auto &destination : kept)
		destinations.push_back(std::move(destination));
}

bool VerticalOutput::init()
{
	std::lock_guard<std::mutex> lock(mutex);
	if (initialised) {
		log_msg(LOG_WARNING, "VerticalOutput already initialised");
		return true;
	}
	if (!canvas || !canvas->initialised()) {
		log_msg(LOG_ERROR, "VerticalOutput::init — canvas not ready");
		return false;
	}
	size_t first = 0;
	while (first < std::size(kVideoEncoderCandidates) && first_encoder_id != kVideoEncoderCandidates[first])
		++first;
	encoder_index = create_video_encoder(first < std::size(kVideoEncoderCandidates) ? first : 0);
	if (encoder_index < 0) {
		log_msg(LOG_ERROR, "No suitable video encoder found");
		log_msg(LOG_ERROR, "Failed to create vertical video encoder");
		return false;
	}
	log_msg(LOG_INFO, "Using video encoder: %s", kVideoEncoderCandidates[encoder_index]);

	OBSDataAutoRelease audio_settings = obs_data_create();
	if (audio_settings) {
		obs_data_set_int(audio_settings, "bitrate", kAudioBitrateKbps);
		const size_t mixer = canvas->config().use_active_scene_audio ? kVerticalAudioMixer : kMainAudioMixer;
		audio_encoder = obs_audio_encoder_create(kAudioEncoderId, unique_name("bl_audio_enc").c_str(),
							 audio_settings, mixer, nullptr);
		if (!audio_encoder)
			log_msg(LOG_ERROR, "Failed to create ffmpeg_aac encoder");
	}
	if (!audio_encoder) {
		log_msg(LOG_ERROR, "Failed to create vertical audio encoder");
		video_encoder = nullptr;
		return false;
	}
	obs_encoder_set_audio(audio_encoder, canvas->audio());

	rebuild_destinations();
	if (std::any_of(destinations.begin(), destinations.end(), [](const auto &d) { return !d->created(); })) {
		log_msg(LOG_ERROR, "Failed to create vertical mux output");
		destinations.clear();
		audio_encoder = nullptr;
		video_encoder = nullptr;
		return false;
	}
	recording.set_encoders(video_encoder, audio_encoder);
	replay.set_encoders(video_encoder, audio_encoder);
	initialised = true;
	log_msg(LOG_INFO, "VerticalOutput initialised (bitrate: %u kbps, preset: %s)", config.video_bitrate_kbps,
		config.encoder_preset.c_str());
	return true;
}

bool VerticalOutput::anything_active() const
{
	return recording.active() || replay.active() ||
	       std::any_of(destinations.begin(), destinations.end(), [](const auto &d) { return d->active(); });
}

bool VerticalOutput::start()
{
	std::lock_guard<std::mutex> lock(mutex);
	refusal.clear();
	if (!initialised) {
		log_msg(LOG_ERROR, "VerticalOutput::start — not initialised");
		return false;
	}
	bool any_target = false;
	bool any_enabled = false;
	bool streaming = false;
	std::string refused;
	for (const auto &destination : destinations) {
		any_target = any_target || destination->has_target();
		if (!destination->destination().enabled || !destination->has_target())
			continue;
		any_enabled = true;
		if (destination->active()) {
			streaming = true;
			continue;
		}
		std::string why;
		if (start_one(*destination, why))
			streaming = true;
		else
			refused += (refused.empty() ? "" : "; ") + destination->destination().name + ": " + why;
	}
	if (!any_target) {
		log_msg(LOG_ERROR, "Vertical output start failed: RTMP URL or key is empty. Configure them in Tools → "
				   "Brasslight Vertical Streaming Settings.");
		refusal = kNoTargetReason;
		return false;
	}
	if (!any_enabled) {
		refusal = "every destination is switched off";
		return false;
	}
	// With one destination the reason alone, as the dock has always shown it.
	refusal = destinations.size() == 1 && !refused.empty() ? refused.substr(refused.find(": ") + 2) : refused;
	return streaming;
}

void VerticalOutput::stop()
{
	std::lock_guard<std::mutex> lock(mutex);
	bool any = false;
	for (const auto &destination : destinations) {
		any = any || destination->active();
		destination->stop();
	}
	if (!any)
		log_msg(LOG_INFO, "VerticalOutput::stop — not active, nothing to do");
}

DestinationOutput *VerticalOutput::find(const std::string &name) const
{
	for (const auto &destination : destinations)
		if (destination->destination().name == name)
			return destination.get();
	return nullptr;
}

bool VerticalOutput::start_destination(const std::string &name)
{
	std::lock_guard<std::mutex> lock(mutex);
	refusal.clear();
	DestinationOutput *destination = find(name);
	if (!destination) {
		refusal = "unknown destination \"" + name + "\"";
		return false;
	}
	if (destination->active())
		return true;
	return start_one(*destination, refusal);
}

bool VerticalOutput::stop_destination(const std::string &name)
{
	std::lock_guard<std::mutex> lock(mutex);
	DestinationOutput *destination = find(name);
	if (!destination)
		return false;
	destination->stop();
	return true;
}

bool VerticalOutput::is_active() const
{
	std::lock_guard<std::mutex> lock(mutex);
	return std::any_of(destinations.begin(), destinations.end(), [](const auto &d) { return d->active(); });
}

MuxStatus VerticalOutput::stream_status() const
{
	std::lock_guard<std::mutex> lock(mutex);
	for (const auto &destination : destinations)
		if (destination->active())
			return destination->status();
	return destinations.empty() ? MuxStatus() : destinations.front()->status();
}

std::vector<VerticalOutput::DestinationState> VerticalOutput::destination_states() const
{
	std::lock_guard<std::mutex> lock(mutex);
	std::vector<DestinationState> states;
	for (const auto &destination : destinations)
		states.push_back({destination->destination(), destination->active(), destination->status()});
	return states;
}

bool VerticalOutput::start_recording(const RecordingPlace &place)
{
	std::lock_guard<std::mutex> lock(mutex);
	refusal.clear();
	if (!initialised || recording.active())
		return recording.active();
	refusal = file_rate_refusal(canvas->config());
	if (!refusal.empty())
		return false;
	const std::string folder = config.recording.folder.empty() ? place.folder : config.recording.folder;
	const std::string path = vertical_file_path({folder, place.filename_format}, config.recording.format);
	return recording.start(path, refusal);
}

void VerticalOutput::stop_recording()
{
	std::lock_guard<std::mutex> lock(mutex);
	recording.stop();
}

bool VerticalOutput::recording_active() const
{
	std::lock_guard<std::mutex> lock(mutex);
	return recording.active();
}

std::string VerticalOutput::recording_path() const
{
	std::lock_guard<std::mutex> lock(mutex);
	return recording.path();
}

bool VerticalOutput::start_replay_buffer(const RecordingPlace &place)
{
	std::lock_guard<std::mutex> lock(mutex);
	refusal.clear();
	if (!initialised || replay.active())
		return replay.active();
	refusal = file_rate_refusal(canvas->config());
	if (!refusal.empty())
		return false;
	const std::string folder = config.recording.folder.empty() ? place.folder : config.recording.folder;
	return replay.start({folder, place.filename_format}, config.recording, refusal);
}

void VerticalOutput::stop_replay_buffer()
{
	std::lock_guard<std::mutex> lock(mutex);
	replay.stop();
}

bool VerticalOutput::replay_buffer_active() const
{
	std::lock_guard<std::mutex> lock(mutex);
	return replay.active();
}

bool VerticalOutput::save_replay()
{
	std::lock_guard<std::mutex> lock(mutex);
	return replay.save();
}

std::string VerticalOutput::last_replay() const
{
	std::lock_guard<std::mutex> lock(mutex);
	return replay.last_replay();
}

void VerticalOutput::apply_video_bitrate(uint32_t from_kbps, uint32_t to_kbps, const std::string &why)
{
	OBSDataAutoRelease settings = obs_data_create();
	obs_data_set_int(settings, "bitrate", to_kbps);
	// x264 takes a new bitrate while it runs, from its next frame on.
	obs_encoder_update(video_encoder, settings);
	log_msg(LOG_INFO, "Adaptive bitrate: %u → %u kbps (%s)", from_kbps, to_kbps, why.c_str());
}

void VerticalOutput::tick()
{
	// The destinations and the settings stay as they are for the look; their outputs' status is
	// read without a lock of theirs.
	std::lock_guard<std::mutex> lock(mutex);
	if (!initialised)
		return;
	std::vector<LinkReading> links;
	for (const auto &destination : destinations) {
		if (!destination->active())
			continue;
		const MuxStatus status = destination->status();
		links.push_back({destination->destination().name, status.state == MuxState::Streaming,
				 status.bytes_sent, status.queue_ms, status.write_ms, status.frames_dropped,
				 status.video_paused});
	}
	if (!config.adaptive_bitrate || links.empty()) {
		if (adaptive.current_kbps() != config.video_bitrate_kbps)
			apply_video_bitrate(adaptive.current_kbps(), config.video_bitrate_kbps,
					    config.adaptive_bitrate ? "no destination streams" : "turned off");
		adaptive.reset(config.video_bitrate_kbps);
		return;
	}
	if (const auto change = adaptive.tick(os_gettime_ns() / 1000000, links))
		apply_video_bitrate(change->from_kbps, change->to_kbps, change->why);
}

uint32_t VerticalOutput::video_bitrate_kbps() const
{
	std::lock_guard<std::mutex> lock(mutex);
	return adaptive.current_kbps();
}

void VerticalOutput::update_config(const OutputConfig &new_config)
{
	std::lock_guard<std::mutex> lock(mutex);
	const bool encoding_changed = new_config.video_bitrate_kbps != config.video_bitrate_kbps ||
				      new_config.encoder_preset != config.encoder_preset;
	config = new_config;
	refusal.clear();
	const std::string first = config.destinations.empty() ? std::string() : config.destinations.front().url;
	log_msg(LOG_INFO, "VerticalOutput config updated (url: %s)", url_for_log(first).c_str());
	if (encoding_changed && video_encoder) {
		obs_encoder_update(video_encoder, video_encoder_settings(obs_encoder_get_id(video_encoder), config));
		adaptive.reset(config.video_bitrate_kbps);
	}
	if (initialised)
		rebuild_destinations();
}

std::string VerticalOutput::video_encoder_id() const
{
	std::lock_guard<std::mutex> lock(mutex);
	return video_encoder ? obs_encoder_get_id(video_encoder) : std::string();
}

std::string VerticalOutput::refusal_reason() const
{
	std::lock_guard<std::mutex> lock(mutex);
	return refusal;
}

obs_output_t *VerticalOutput::output_handle() const
{
	std::lock_guard<std::mutex> lock(mutex);
	return destinations.empty() ? nullptr : destinations.front()->handle();
}

} // namespace brasslight
