#include "output/vertical-output.hpp"

#include <ctime>

#include "canvas/vertical-canvas.hpp"
#include "module/log.hpp"
#include "mux/mux-output.hpp"
#include "ui/message-boxes.hpp"

namespace brasslight {

namespace {

constexpr int kAudioBitrateKbps = 160;
constexpr int kKeyframeIntervalSec = 2;
// The host's audio track 6 carries the active vertical scene's audio; track 1 is the main mix.
constexpr size_t kVerticalAudioMixer = 5;
constexpr size_t kMainAudioMixer = 0;
constexpr const char *kStreamErrorTitle = "Vertical Canvas — Stream Error";
constexpr const char *kStreamErrorFallback = "Vertical output failed to connect.\nCheck your RTMP URL and stream key.";

} // namespace

std::string unique_name(const char *base)
{
	return std::string(base) + "_" + std::to_string(static_cast<long long>(time(nullptr)));
}

VerticalOutput::VerticalOutput(VerticalCanvas *canvas_, const OutputConfig &config_) : canvas(canvas_), config(config_)
{
}

VerticalOutput::~VerticalOutput()
{
	std::lock_guard<std::mutex> lock(mutex);
	if (!initialised)
		return;
	if (output) {
		if (obs_output_active(output))
			obs_output_stop(output);
		signal_handler_disconnect(obs_output_get_signal_handler(output), "stop",
					  &VerticalOutput::on_output_stop, output.Get());
		output = nullptr;
	}
	audio_encoder = nullptr;
	video_encoder = nullptr;
	initialised = false;
	log_msg(LOG_INFO, "VerticalOutput destroyed");
}

bool VerticalOutput::create_video_encoder()
{
	OBSDataAutoRelease settings = obs_data_create();
	if (!settings)
		return false;
	obs_data_set_int(settings, "bitrate", config.video_bitrate_kbps);
	obs_data_set_string(settings, "rate_control", "CBR");
	obs_data_set_string(settings, "preset", config.encoder_preset.c_str());
	obs_data_set_int(settings, "keyint_sec", kKeyframeIntervalSec);

	const std::string name = unique_name("bl_video_enc");
	for (const char *id : kVideoEncoderCandidates) {
		// The host hands back a placeholder that can never start for an id it has not
		// registered, so only registered encoders count as created.
		if (!obs_get_encoder_codec(id))
			continue;
		OBSEncoderAutoRelease encoder = obs_video_encoder_create(id, name.c_str(), settings, nullptr);
		if (!encoder)
			continue;
		log_msg(LOG_INFO, "Using video encoder: %s", id);
		obs_encoder_set_video(encoder, canvas->video());
		video_encoder = std::move(encoder);
		return true;
	}
	log_msg(LOG_ERROR, "No suitable video encoder found");
	return false;
}

OBSDataAutoRelease VerticalOutput::output_settings() const
{
	OBSDataAutoRelease settings = obs_data_create();
	if (!settings)
		return settings;
	obs_data_set_string(settings, "server", config.rtmp_url.c_str());
	obs_data_set_string(settings, "key", config.stream_key.c_str());
	obs_data_set_int(settings, "fps_num", canvas->config().fps_num);
	obs_data_set_int(settings, "fps_den", canvas->config().fps_den);
	return settings;
}

bool VerticalOutput::create_mux_output()
{
	OBSDataAutoRelease settings = output_settings();
	if (!settings)
		return false;
	// As with encoders, the host hands back a placeholder that can never start for an output
	// type it does not know, so an unregistered type counts as a failed creation.
	OBSOutputAutoRelease created;
	if (obs_output_get_display_name(kMuxOutputId))
		created = obs_output_create(kMuxOutputId, unique_name("bl_mux_output").c_str(), settings, nullptr);
	if (!created) {
		log_msg(LOG_ERROR, "obs_output_create(%s) failed", kMuxOutputId);
		return false;
	}
	obs_output_set_video_encoder(created, video_encoder);
	obs_output_set_audio_encoder(created, audio_encoder, 0);
	signal_handler_connect(obs_output_get_signal_handler(created), "stop", &VerticalOutput::on_output_stop,
			       created.Get());
	output = std::move(created);
	return true;
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
	if (!create_video_encoder()) {
		log_msg(LOG_ERROR, "Failed to create vertical video encoder");
		return false;
	}

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

	if (!create_mux_output()) {
		log_msg(LOG_ERROR, "Failed to create vertical mux output");
		audio_encoder = nullptr;
		video_encoder = nullptr;
		return false;
	}
	initialised = true;
	log_msg(LOG_INFO, "VerticalOutput initialised (bitrate: %u kbps, preset: %s)", config.video_bitrate_kbps,
		config.encoder_preset.c_str());
	return true;
}

bool VerticalOutput::start()
{
	std::lock_guard<std::mutex> lock(mutex);
	if (!initialised) {
		log_msg(LOG_ERROR, "VerticalOutput::start — not initialised");
		return false;
	}
	if (obs_output_active(output)) {
		log_msg(LOG_WARNING, "VerticalOutput::start — already active");
		return true;
	}
	if (config.rtmp_url.empty() || config.stream_key.empty()) {
		log_msg(LOG_ERROR, "Vertical output start failed: RTMP URL or key is empty. Configure them in Tools → "
				   "Brasslight Vertical Streaming Settings.");
		return false;
	}
	OBSDataAutoRelease settings = output_settings();
	obs_output_update(output, settings);

	log_msg(LOG_INFO, "Vertical output starting: %s", config.rtmp_url.c_str());
	if (obs_output_start(output)) {
		log_msg(LOG_INFO, "Vertical output started");
		return true;
	}
	const char *error = obs_output_get_last_error(output);
	log_msg(LOG_ERROR, "obs_output_start failed: %s", error ? error : "unknown");
	return false;
}

void VerticalOutput::stop()
{
	std::lock_guard<std::mutex> lock(mutex);
	if (!output)
		return;
	if (obs_output_active(output)) {
		obs_output_stop(output);
		log_msg(LOG_INFO, "Vertical output stop requested");
	} else {
		log_msg(LOG_INFO, "VerticalOutput::stop — not active, nothing to do");
	}
}

bool VerticalOutput::is_active() const
{
	std::lock_guard<std::mutex> lock(mutex);
	return output && obs_output_active(output);
}

void VerticalOutput::update_config(const OutputConfig &new_config)
{
	std::lock_guard<std::mutex> lock(mutex);
	config = new_config;
	log_msg(LOG_INFO, "VerticalOutput config updated (url: %s)", config.rtmp_url.c_str());
}

std::string VerticalOutput::video_encoder_id() const
{
	std::lock_guard<std::mutex> lock(mutex);
	return video_encoder ? obs_encoder_get_id(video_encoder) : std::string();
}

void VerticalOutput::on_output_stop(void *data, calldata_t *params)
{
	const long long code = calldata_int(params, "code");
	if (code != OBS_OUTPUT_ERROR && code != OBS_OUTPUT_ENCODE_ERROR)
		return;
	const char *error = obs_output_get_last_error(static_cast<obs_output_t *>(data));
	post_critical_box(kStreamErrorTitle, error && *error ? error : kStreamErrorFallback);
}

} // namespace brasslight
