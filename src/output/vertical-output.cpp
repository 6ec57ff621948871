#include "output/vertical-output.hpp"

#include <cstring>
#include <ctime>
#include <initializer_list>

#include <util/platform.h>

#include "canvas/vertical-canvas.hpp"
#include "common/log.hpp"
#include "mux/mux-output.hpp"

namespace brasslight {

namespace {

constexpr int kAudioBitrateKbps = 160;
constexpr int kKeyframeIntervalSec = 2;
// The host's audio track 6 carries the active vertical scene's audio; track 1 is the main mix.
constexpr size_t kVerticalAudioMixer = 5;
constexpr size_t kMainAudioMixer = 0;
constexpr const char *kSoftwareEncoderId = "obs_x264";
// The host's VAAPI encoders take FFmpeg's numeric H.264 profile: High.
constexpr int kVaapiProfileHigh = 100;
constexpr const char *kNoTargetReason = "no server URL or stream key";
constexpr uint64_t kStopSettleNs = 2000000000ULL;

bool is_one_of(const char *id, std::initializer_list<const char *> ids)
{
	for (const char *candidate : ids)
		if (strcmp(id, candidate) == 0)
			return true;
	return false;
}

// An encoder that could not be initialised has no codec data: every H.264 encoder of the
// candidate list hands out its headers once it is initialised, and the output's start
// initialises the video encoder before anything else of the stream.
bool failed_to_initialise(obs_encoder_t *encoder)
{
	uint8_t *data = nullptr;
	size_t size = 0;
	return !obs_encoder_get_extra_data(encoder, &data, &size);
}

} // namespace

std::string unique_name(const char *base)
{
	return std::string(base) + "_" + std::to_string(static_cast<long long>(time(nullptr)));
}

OBSDataAutoRelease video_encoder_settings(const char *id, const OutputConfig &config)
{
	OBSDataAutoRelease settings = obs_data_create();
	obs_data_set_int(settings, "bitrate", config.video_bitrate_kbps);
	obs_data_set_string(settings, "rate_control", "CBR");
	obs_data_set_int(settings, "keyint_sec", kKeyframeIntervalSec);
	if (strcmp(id, kSoftwareEncoderId) == 0) {
		obs_data_set_string(settings, "preset", config.encoder_preset.c_str());
	} else if (is_one_of(id, {"jim_nvenc", "ffmpeg_nvenc"})) {
		obs_data_set_string(settings, "preset2", "p5");
		obs_data_set_string(settings, "tune", "hq");
		obs_data_set_string(settings, "profile", "high");
	} else if (strcmp(id, "h264_texture_amf") == 0) {
		obs_data_set_string(settings, "preset", "quality");
		obs_data_set_string(settings, "profile", "high");
	} else if (is_one_of(id, {"ffmpeg_vaapi", "ffmpeg_vaapi_tex"})) {
		obs_data_set_int(settings, "profile", kVaapiProfileHigh);
	} else {
		// Intel's encoders: their speed presets differ between host versions, so theirs stay.
		obs_data_set_string(settings, "profile", "high");
	}
	return settings;
}

VerticalOutput::VerticalOutput(VerticalCanvas *canvas_, const OutputConfig &config_, const std::string &first_encoder,
			       FailureHandler failure_handler)
	: canvas(canvas_), on_failure(std::move(failure_handler)), config(config_), first_encoder_id(first_encoder)
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
					  &VerticalOutput::on_output_stop, this);
		output = nullptr;
	}
	audio_encoder = nullptr;
	video_encoder = nullptr;
	initialised = false;
	log_msg(LOG_INFO, "VerticalOutput destroyed");
}

int VerticalOutput::create_video_encoder(size_t from)
{
	const std::string name = unique_name("bl_video_enc");
	for (size_t i = from; i < std::size(kVideoEncoderCandidates); ++i) {
		const char *id = kVideoEncoderCandidates[i];
		// The host hands back a placeholder that can never start for an id it has not
		// registered, so only registered encoders count as created.
		if (!obs_get_encoder_codec(id))
			continue;
		OBSEncoderAutoRelease encoder =
			obs_video_encoder_create(id, name.c_str(), video_encoder_settings(id, config), nullptr);
		if (!encoder)
			continue;
		obs_encoder_set_video(encoder, canvas->video());
		video_encoder = std::move(encoder);
		return static_cast<int>(i);
	}
	return -1;
}

bool VerticalOutput::switch_to_next_video_encoder()
{
	const std::string failed = obs_encoder_get_id(video_encoder);
	OBSEncoderAutoRelease previous = std::move(video_encoder);
	const int next = create_video_encoder(static_cast<size_t>(encoder_index) + 1);
	if (next < 0) {
		video_encoder = std::move(previous);
		return false;
	}
	log_msg(LOG_WARNING, "Video encoder %s could not be initialised — switching to %s", failed.c_str(),
		kVideoEncoderCandidates[next]);
	log_msg(LOG_INFO, "Using video encoder: %s", kVideoEncoderCandidates[next]);
	encoder_index = next;
	obs_output_set_video_encoder(output, video_encoder);
	return true;
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
	signal_handler_connect(obs_output_get_signal_handler(created), "stop", &VerticalOutput::on_output_stop, this);
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
	refusal.clear();
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
		refusal = kNoTargetReason;
		return false;
	}
	OBSDataAutoRelease settings = output_settings();
	obs_output_update(output, settings);

	log_msg(LOG_INFO, "Vertical output starting: %s", url_for_log(config.rtmp_url).c_str());
	// A hardware encoder can be registered and still fail when it starts (a busy session limit,
	// a driver fault): each later candidate gets one try, down to x264, and the one that works
	// stays for the rest of the runtime.
	for (;;) {
		if (obs_output_start(output)) {
			log_msg(LOG_INFO, "Vertical output started");
			return true;
		}
		if (!failed_to_initialise(video_encoder) || !switch_to_next_video_encoder())
			break;
	}
	const char *error = obs_output_get_last_error(output);
	log_msg(LOG_ERROR, "obs_output_start failed: %s", error ? error : "unknown");
	refusal = error && *error ? error : "unknown";
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
		// The output's own stop is bounded (the sender ends within a second), but the host
		// detaches the encoders on a thread of its own afterwards, and the output counts as
		// active until that is done: a start in the meantime would be refused as "already
		// running" although everything said stopped. A few frames' time at most.
		const uint64_t deadline = os_gettime_ns() + kStopSettleNs;
		while (obs_output_active(output) && os_gettime_ns() < deadline)
			os_sleep_ms(5);
	} else {
		log_msg(LOG_INFO, "VerticalOutput::stop — not active, nothing to do");
	}
}

bool VerticalOutput::is_active() const
{
	std::lock_guard<std::mutex> lock(mutex);
	return output && obs_output_active(output);
}

MuxStatus VerticalOutput::stream_status() const
{
	std::lock_guard<std::mutex> lock(mutex);
	return mux_output_status(output);
}

void VerticalOutput::update_config(const OutputConfig &new_config)
{
	std::lock_guard<std::mutex> lock(mutex);
	const bool encoding_changed = new_config.video_bitrate_kbps != config.video_bitrate_kbps ||
				      new_config.encoder_preset != config.encoder_preset;
	config = new_config;
	refusal.clear();
	log_msg(LOG_INFO, "VerticalOutput config updated (url: %s)", url_for_log(config.rtmp_url).c_str());
	if (encoding_changed && video_encoder)
		obs_encoder_update(video_encoder, video_encoder_settings(obs_encoder_get_id(video_encoder), config));
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

void VerticalOutput::on_output_stop(void *data, calldata_t *params)
{
	const long long code = calldata_int(params, "code");
	if (code != OBS_OUTPUT_ERROR && code != OBS_OUTPUT_ENCODE_ERROR)
		return;
	const auto *controller = static_cast<const VerticalOutput *>(data);
	if (!controller->on_failure)
		return;
	const char *error = obs_output_get_last_error(static_cast<obs_output_t *>(calldata_ptr(params, "output")));
	controller->on_failure(error ? error : "");
}

} // namespace brasslight
