// The choice of the video encoder: the settings each candidate understands, the first that the
// host has registered, and the next one when a start finds it cannot be initialised.

#include "output/vertical-output.hpp"

#include <cstring>
#include <initializer_list>

#include "canvas/vertical-canvas.hpp"
#include "common/log.hpp"
#include "output/output-names.hpp"

namespace brasslight {

namespace {

constexpr int kKeyframeIntervalSec = 2;
constexpr const char *kSoftwareEncoderId = "obs_x264";
// The host's VAAPI encoders take FFmpeg's numeric H.264 profile: High.
constexpr int kVaapiProfileHigh = 100;

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

void VerticalOutput::attach_encoders()
{
	for (const auto &destination : destinations)
		destination->set_encoders(video_encoder, audio_encoder);
	recording.set_encoders(video_encoder, audio_encoder);
	replay.set_encoders(video_encoder, audio_encoder);
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
	attach_encoders();
	return true;
}

// A hardware encoder can be registered and still fail when it starts (a busy session limit, a
// driver fault): each later candidate gets one try, down to x264, and the one that works stays
// for the rest of the runtime. Only while nothing else runs on the encoder.
bool VerticalOutput::start_one(DestinationOutput &destination, std::string &why)
{
	if (!destination.has_target()) {
		why = kNoTargetReason;
		return false;
	}
	for (;;) {
		const bool alone = !anything_active();
		if (destination.start(why))
			return true;
		if (!alone || !failed_to_initialise(video_encoder) || !switch_to_next_video_encoder())
			return false;
	}
}

} // namespace brasslight
