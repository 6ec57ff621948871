#include "output/file-outputs.hpp"

#include <callback/calldata.h>
#include <callback/proc.h>
#include <util/platform.h>
#include <util/util.hpp>

#include "common/log.hpp"
#include "output/output-names.hpp"

namespace brasslight {

namespace {

// A clip is bounded by its length; this only keeps a buffer from growing without end when the
// bitrate is set far higher than a vertical stream needs.
constexpr int kReplayMaxSizeMb = 2048;
// The host's file outputs end on the first packet after the stop time. At the app's exit the host
// stops its video before it unloads the module, and releasing a file output that is still
// stopping then waits forever for that packet (the app hung at exit with the replay buffer on):
// a stop waits for the end while packets still come. Ending a file takes well under this.
constexpr uint64_t kFileStopBoundNs = 5000000000ULL;

void stop_and_wait(obs_output_t *output)
{
	obs_output_stop(output);
	const uint64_t deadline = os_gettime_ns() + kFileStopBoundNs;
	while (obs_output_active(output) && os_gettime_ns() < deadline)
		os_sleep_ms(5);
}

bool start_output(obs_output_t *output, const char *what, std::string &refusal)
{
	if (!output) {
		refusal = std::string("the host has no ") + what;
		return false;
	}
	if (obs_output_start(output))
		return true;
	const char *error = obs_output_get_last_error(output);
	refusal = error && *error ? error : "the host refused to start it";
	log_msg(LOG_ERROR, "Vertical %s failed to start: %s", what, refusal.c_str());
	return false;
}

} // namespace

std::string vertical_file_path(const RecordingPlace &place, const std::string &extension)
{
	const std::string format = place.filename_format.empty() ? "%CCYY-%MM-%DD %hh-%mm-%ss" : place.filename_format;
	BPtr<char> base = os_generate_formatted_filename("", true, format.c_str());
	std::string name = base ? base.Get() : "vertical";
	// The host's helper adds a trailing dot for the empty extension it was given.
	while (!name.empty() && name.back() == '.')
		name.pop_back();
	std::string folder = place.folder;
	while (folder.size() > 1 && folder.back() == '/')
		folder.pop_back();
	std::string path = folder + "/" + name + "-vertical." + extension;
	for (int n = 2; os_file_exists(path.c_str()); ++n)
		path = folder + "/" + name + "-vertical (" + std::to_string(n) + ")." + extension;
	return path;
}

VerticalRecording::VerticalRecording()
{
	output = obs_output_create("ffmpeg_muxer", unique_name("bl_record_output").c_str(), nullptr, nullptr);
}

VerticalRecording::~VerticalRecording()
{
	if (output && obs_output_active(output))
		obs_output_stop(output);
}

void VerticalRecording::set_encoders(obs_encoder_t *video, obs_encoder_t *audio)
{
	if (!output)
		return;
	obs_output_set_video_encoder(output, video);
	obs_output_set_audio_encoder(output, audio, 0);
}

bool VerticalRecording::start(const std::string &path, std::string &refusal)
{
	if (output) {
		const size_t slash = path.find_last_of('/');
		if (slash != std::string::npos && slash > 0)
			os_mkdirs(path.substr(0, slash).c_str());
		OBSDataAutoRelease settings = obs_data_create();
		obs_data_set_string(settings, "path", path.c_str());
		// An MKV file survives a crash up to its last cluster on disk. FFmpeg's Matroska muxer
		// ends a cluster at a keyframe (every 2 s here) and keeps the open one in memory, so a
		// crash lost the last 2 s and more; clusters of at most a second, each handed on at once,
		// lose about one. An MP4 file is lost whole anyway.
		if (path.size() > 4 && path.compare(path.size() - 4, 4, ".mkv") == 0)
			obs_data_set_string(settings, "muxer_settings", "cluster_time_limit=1000 flush_packets=1");
		obs_output_update(output, settings);
	}
	if (!start_output(output, "recording", refusal))
		return false;
	file = path;
	log_msg(LOG_INFO, "Vertical recording started: %s", path.c_str());
	return true;
}

void VerticalRecording::stop()
{
	if (!active())
		return;
	log_msg(LOG_INFO, "Vertical recording stop requested");
	stop_and_wait(output);
}

bool VerticalRecording::active() const
{
	return output && obs_output_active(output);
}

VerticalReplayBuffer::VerticalReplayBuffer(SavedHandler saved_handler) : on_saved(std::move(saved_handler))
{
	output = obs_output_create("replay_buffer", unique_name("bl_replay_output").c_str(), nullptr, nullptr);
	if (output)
		signal_handler_connect(obs_output_get_signal_handler(output), "saved", on_saved_signal, this);
}

VerticalReplayBuffer::~VerticalReplayBuffer()
{
	if (!output)
		return;
	if (obs_output_active(output))
		obs_output_stop(output);
	// Waits for a handler running on another thread.
	signal_handler_disconnect(obs_output_get_signal_handler(output), "saved", on_saved_signal, this);
}

void VerticalReplayBuffer::on_saved_signal(void *data, calldata_t *)
{
	const auto *self = static_cast<const VerticalReplayBuffer *>(data);
	if (self->on_saved)
		self->on_saved();
}

void VerticalReplayBuffer::set_encoders(obs_encoder_t *video, obs_encoder_t *audio)
{
	if (!output)
		return;
	obs_output_set_video_encoder(output, video);
	obs_output_set_audio_encoder(output, audio, 0);
}

bool VerticalReplayBuffer::start(const RecordingPlace &place, const RecordingConfig &config, std::string &refusal)
{
	if (output) {
		os_mkdirs(place.folder.c_str());
		OBSDataAutoRelease settings = obs_data_create();
		obs_data_set_string(settings, "directory", place.folder.c_str());
		const std::string format =
			place.filename_format.empty() ? "%CCYY-%MM-%DD %hh-%mm-%ss" : place.filename_format;
		obs_data_set_string(settings, "format", ("Replay " + format + "-vertical").c_str());
		obs_data_set_string(settings, "extension", config.format.c_str());
		obs_data_set_bool(settings, "allow_spaces", true);
		obs_data_set_int(settings, "max_time_sec", config.replay_seconds);
		obs_data_set_int(settings, "max_size_mb", kReplayMaxSizeMb);
		obs_output_update(output, settings);
	}
	if (!start_output(output, "replay buffer", refusal))
		return false;
	log_msg(LOG_INFO, "Vertical replay buffer started (%u s)", config.replay_seconds);
	return true;
}

void VerticalReplayBuffer::stop()
{
	if (!active())
		return;
	log_msg(LOG_INFO, "Vertical replay buffer stop requested");
	stop_and_wait(output);
}

bool VerticalReplayBuffer::active() const
{
	return output && obs_output_active(output);
}

bool VerticalReplayBuffer::save()
{
	if (!active())
		return false;
	calldata_t data = {};
	proc_handler_call(obs_output_get_proc_handler(output), "save", &data);
	calldata_free(&data);
	log_msg(LOG_INFO, "Vertical replay save requested");
	return true;
}

std::string VerticalReplayBuffer::last_replay() const
{
	if (!output)
		return {};
	calldata_t data = {};
	proc_handler_call(obs_output_get_proc_handler(output), "get_last_replay", &data);
	const char *path = calldata_string(&data, "path");
	std::string result = path ? path : "";
	calldata_free(&data);
	return result;
}

} // namespace brasslight
