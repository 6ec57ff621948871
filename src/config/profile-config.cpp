#include "config/profile-config.hpp"

#include <obs-frontend-api.h>
#include <util/platform.h>

#include "common/log.hpp"

namespace brasslight {

ConfigFile profile_config;

namespace {

constexpr const char *kKeyUrl = "rtmpurl";
constexpr const char *kKeyStreamKey = "streamkey";
constexpr const char *kKeyBitrate = "videobitrate";
constexpr const char *kKeyWidth = "canvaswidth";
constexpr const char *kKeyHeight = "canvasheight";
constexpr const char *kKeyFpsNum = "fpsnum";
constexpr const char *kKeyFpsDen = "fpsden";
constexpr const char *kKeyAutoStart = "autostartwithmain";
constexpr const char *kKeyPreset = "encoderpreset";
constexpr const char *kKeyActiveAudio = "useactivesceneaudio";

const CanvasConfig kCanvasDefaults;
const OutputConfig kOutputDefaults;
constexpr bool kAutoStartDefault = true;

void register_defaults(config_t *config)
{
	config_set_default_string(config, kProfileSection, kKeyUrl, kOutputDefaults.rtmp_url.c_str());
	config_set_default_string(config, kProfileSection, kKeyStreamKey, kOutputDefaults.stream_key.c_str());
	config_set_default_uint(config, kProfileSection, kKeyBitrate, kOutputDefaults.video_bitrate_kbps);
	config_set_default_uint(config, kProfileSection, kKeyWidth, kCanvasDefaults.width);
	config_set_default_uint(config, kProfileSection, kKeyHeight, kCanvasDefaults.height);
	config_set_default_uint(config, kProfileSection, kKeyFpsNum, kCanvasDefaults.fps_num);
	config_set_default_uint(config, kProfileSection, kKeyFpsDen, kCanvasDefaults.fps_den);
	config_set_default_bool(config, kProfileSection, kKeyAutoStart, kAutoStartDefault);
	config_set_default_string(config, kProfileSection, kKeyPreset, kOutputDefaults.encoder_preset.c_str());
	config_set_default_bool(config, kProfileSection, kKeyActiveAudio, kCanvasDefaults.use_active_scene_audio);
}

const char *get_string(const char *key, const char *fallback)
{
	if (!profile_config)
		return fallback;
	const char *value = config_get_string(profile_config, kProfileSection, key);
	return value ? value : fallback;
}

uint32_t get_uint(const char *key, uint32_t fallback)
{
	return profile_config ? static_cast<uint32_t>(config_get_uint(profile_config, kProfileSection, key)) : fallback;
}

bool get_bool(const char *key, bool fallback)
{
	return profile_config ? config_get_bool(profile_config, kProfileSection, key) : fallback;
}

void set_string(const char *key, const char *value)
{
	if (profile_config && value)
		config_set_string(profile_config, kProfileSection, key, value);
}

void set_uint(const char *key, uint32_t value)
{
	if (profile_config)
		config_set_uint(profile_config, kProfileSection, key, value);
}

void set_bool(const char *key, bool value)
{
	if (profile_config)
		config_set_bool(profile_config, kProfileSection, key, value);
}

} // namespace

bool frame_rate_in_range(uint32_t num, uint32_t den)
{
	if (num < 1 || num > kFpsPartMax || den < 1 || den > kFpsPartMax)
		return false;
	// The rate, not its parts: compared in 64 bits, where no product of two parts overflows.
	const uint64_t n = num;
	const uint64_t d = den;
	return n >= kFpsMin * d && n <= kFpsMax * d;
}

std::string profile_config_path()
{
	BPtr<char> dir = obs_frontend_get_current_profile_path();
	if (!dir || !*dir.Get())
		return {};
	return std::string(dir.Get()) + "/" + kProfileFileName;
}

void ensure_parent_directory(const std::string &path)
{
	const size_t cut = path.find_last_of("/\\");
	if (cut == std::string::npos || cut == 0)
		return;
	os_mkdirs(path.substr(0, cut).c_str());
}

bool save_config_file(config_t *config)
{
	if (config_num_sections(config) == 0)
		return true;
	return config_save_safe(config, "tmp", nullptr) == CONFIG_SUCCESS;
}

void open_profile_config(const std::string &path)
{
	profile_config.Close();
	ensure_parent_directory(path);
	if (profile_config.Open(path.c_str(), CONFIG_OPEN_ALWAYS) == CONFIG_SUCCESS) {
		register_defaults(profile_config);
		log_msg(LOG_INFO, "Profile config loaded from: %s", path.c_str());
	} else {
		profile_config.Close();
		log_msg(LOG_WARNING, "Failed to open profile config: %s", path.c_str());
	}
}

void load_profile_config()
{
	profile_config.Close();
	const std::string path = profile_config_path();
	if (path.empty()) {
		log_msg(LOG_WARNING, "Could not resolve profile config path");
		return;
	}
	open_profile_config(path);
}

const char *get_rtmp_url()
{
	return get_string(kKeyUrl, "");
}

const char *get_stream_key()
{
	return get_string(kKeyStreamKey, "");
}

uint32_t get_video_bitrate()
{
	return get_uint(kKeyBitrate, kOutputDefaults.video_bitrate_kbps);
}

uint32_t get_canvas_width()
{
	return get_uint(kKeyWidth, kCanvasDefaults.width);
}

uint32_t get_canvas_height()
{
	return get_uint(kKeyHeight, kCanvasDefaults.height);
}

uint32_t get_fps_num()
{
	return get_uint(kKeyFpsNum, kCanvasDefaults.fps_num);
}

uint32_t get_fps_den()
{
	return get_uint(kKeyFpsDen, kCanvasDefaults.fps_den);
}

bool get_auto_start_with_main()
{
	return get_bool(kKeyAutoStart, kAutoStartDefault);
}

const char *get_encoder_preset()
{
	return get_string(kKeyPreset, kOutputDefaults.encoder_preset.c_str());
}

bool get_use_active_scene_audio()
{
	return get_bool(kKeyActiveAudio, kCanvasDefaults.use_active_scene_audio);
}

void set_rtmp_url(const char *value)
{
	set_string(kKeyUrl, value);
}

void set_stream_key(const char *value)
{
	set_string(kKeyStreamKey, value);
}

void set_video_bitrate(uint32_t value)
{
	set_uint(kKeyBitrate, value);
}

void set_canvas_width(uint32_t value)
{
	set_uint(kKeyWidth, value);
}

void set_canvas_height(uint32_t value)
{
	set_uint(kKeyHeight, value);
}

void set_fps_num(uint32_t value)
{
	set_uint(kKeyFpsNum, value);
}

void set_fps_den(uint32_t value)
{
	set_uint(kKeyFpsDen, value);
}

void set_auto_start_with_main(bool value)
{
	set_bool(kKeyAutoStart, value);
}

void set_encoder_preset(const char *value)
{
	set_string(kKeyPreset, value);
}

void set_use_active_scene_audio(bool value)
{
	set_bool(kKeyActiveAudio, value);
}

CanvasConfig read_canvas_config()
{
	CanvasConfig config;
	config.width = get_canvas_width();
	config.height = get_canvas_height();
	config.fps_num = get_fps_num();
	config.fps_den = get_fps_den();
	config.use_active_scene_audio = get_use_active_scene_audio();
	return config;
}

OutputConfig read_output_config()
{
	OutputConfig config;
	config.rtmp_url = get_rtmp_url();
	config.stream_key = get_stream_key();
	config.video_bitrate_kbps = get_video_bitrate();
	config.encoder_preset = get_encoder_preset();
	return config;
}

} // namespace brasslight
