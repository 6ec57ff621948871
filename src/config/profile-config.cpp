#include "config/profile-config.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "common/log.hpp"

namespace brasslight {

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
constexpr const char *kKeyAdaptiveBitrate = "adaptivebitrate";
constexpr const char *kKeyDestinationCount = "destinationcount";
constexpr const char *kKeyRecordFolder = "recordfolder";
constexpr const char *kKeyRecordFormat = "recordformat";
constexpr const char *kKeyRecordWithMain = "recordwithmain";
constexpr const char *kKeyReplaySeconds = "replayseconds";
constexpr const char *kKeyReplayWithMain = "replaywithmain";
constexpr const char *kFirstDestinationName = "Stream";

// The keys of destination `index` (0-based): the first one's address is stored where the only
// one's was.
std::string destination_key(size_t index, const char *field)
{
	if (index == 0 && strcmp(field, "url") == 0)
		return kKeyUrl;
	if (index == 0 && strcmp(field, "key") == 0)
		return kKeyStreamKey;
	return "destination" + std::to_string(index + 1) + field;
}

const CanvasConfig kCanvasDefaults;
const OutputConfig kOutputDefaults;
constexpr bool kAutoStartDefault = true;

void register_defaults(config_t *config)
{
	config_set_default_string(config, kProfileSection, kKeyUrl, "");
	config_set_default_string(config, kProfileSection, kKeyStreamKey, "");
	config_set_default_uint(config, kProfileSection, kKeyBitrate, kOutputDefaults.video_bitrate_kbps);
	config_set_default_uint(config, kProfileSection, kKeyWidth, kCanvasDefaults.width);
	config_set_default_uint(config, kProfileSection, kKeyHeight, kCanvasDefaults.height);
	config_set_default_uint(config, kProfileSection, kKeyFpsNum, kCanvasDefaults.fps_num);
	config_set_default_uint(config, kProfileSection, kKeyFpsDen, kCanvasDefaults.fps_den);
	config_set_default_bool(config, kProfileSection, kKeyAutoStart, kAutoStartDefault);
	config_set_default_string(config, kProfileSection, kKeyPreset, kOutputDefaults.encoder_preset.c_str());
	config_set_default_bool(config, kProfileSection, kKeyActiveAudio, kCanvasDefaults.use_active_scene_audio);
	config_set_default_bool(config, kProfileSection, kKeyAdaptiveBitrate, kOutputDefaults.adaptive_bitrate);
	const RecordingConfig recording;
	config_set_default_uint(config, kProfileSection, kKeyDestinationCount, 1);
	config_set_default_string(config, kProfileSection, kKeyRecordFolder, recording.folder.c_str());
	config_set_default_string(config, kProfileSection, kKeyRecordFormat, recording.format.c_str());
	config_set_default_bool(config, kProfileSection, kKeyRecordWithMain, recording.with_main);
	config_set_default_uint(config, kProfileSection, kKeyReplaySeconds, recording.replay_seconds);
	config_set_default_bool(config, kProfileSection, kKeyReplayWithMain, recording.replay_with_main);
}

// A whole number within [low, high]; the host's own reader takes "abc" as 0 and wraps "-1".
bool whole_number_in(const char *text, uint64_t low, uint64_t high)
{
	if (!text || !*text || *text == '-')
		return false;
	char *end = nullptr;
	errno = 0;
	const unsigned long long value = strtoull(text, &end, 10);
	return end && !*end && errno == 0 && value >= low && value <= high;
}

// A hand-edited number that is no number, or a bitrate no encoder takes, is dropped from the
// store with a warning: the default then holds everywhere it is read (the canvas, the encoders,
// the dialog, the summary), and the next save does not write it back. Sizes and rates that are
// numbers are bounded later, by the canvas, which says so itself.
void drop_invalid_numbers(config_t *config)
{
	const struct {
		const char *key;
		uint64_t low, high, fallback;
	} numbers[] = {
		{kKeyWidth, 0, UINT32_MAX, kCanvasDefaults.width},
		{kKeyHeight, 0, UINT32_MAX, kCanvasDefaults.height},
		{kKeyFpsNum, 0, UINT32_MAX, kCanvasDefaults.fps_num},
		{kKeyFpsDen, 0, UINT32_MAX, kCanvasDefaults.fps_den},
		{kKeyBitrate, kVideoBitrateMin, kVideoBitrateMax, kOutputDefaults.video_bitrate_kbps},
		{kKeyDestinationCount, 0, kMaxDestinations, 1},
		{kKeyReplaySeconds, kReplaySecondsMin, kReplaySecondsMax, RecordingConfig().replay_seconds},
	};
	for (const auto &number : numbers) {
		if (!config_has_user_value(config, kProfileSection, number.key))
			continue;
		const char *text = config_get_string(config, kProfileSection, number.key);
		if (whole_number_in(text, number.low, number.high))
			continue;
		log_msg(LOG_WARNING, "Profile setting %s=%s is not a number from %llu to %llu — using %llu", number.key,
			text ? text : "", static_cast<unsigned long long>(number.low),
			static_cast<unsigned long long>(number.high), static_cast<unsigned long long>(number.fallback));
		config_remove_value(config, kProfileSection, number.key);
	}
}

} // namespace

void ProfileConfig::open(const std::string &path)
{
	if (ini.open(path)) {
		register_defaults(ini);
		log_msg(LOG_INFO, "Profile config loaded from: %s", path.c_str());
		drop_invalid_numbers(ini);
	} else {
		log_msg(LOG_WARNING, "Failed to open profile config: %s", path.c_str());
	}
}

const char *ProfileConfig::get_string(const char *key, const char *fallback) const
{
	if (!ini)
		return fallback;
	const char *value = config_get_string(ini, kProfileSection, key);
	return value ? value : fallback;
}

uint32_t ProfileConfig::get_uint(const char *key, uint32_t fallback) const
{
	return ini ? static_cast<uint32_t>(config_get_uint(ini, kProfileSection, key)) : fallback;
}

bool ProfileConfig::get_bool(const char *key, bool fallback) const
{
	return ini ? config_get_bool(ini, kProfileSection, key) : fallback;
}

void ProfileConfig::set_string(const char *key, const char *value)
{
	if (ini && value)
		config_set_string(ini, kProfileSection, key, value);
}

void ProfileConfig::set_uint(const char *key, uint32_t value)
{
	if (ini)
		config_set_uint(ini, kProfileSection, key, value);
}

void ProfileConfig::set_bool(const char *key, bool value)
{
	if (ini)
		config_set_bool(ini, kProfileSection, key, value);
}

const char *ProfileConfig::rtmp_url() const
{
	return get_string(kKeyUrl, "");
}

const char *ProfileConfig::stream_key() const
{
	return get_string(kKeyStreamKey, "");
}

uint32_t ProfileConfig::video_bitrate() const
{
	return get_uint(kKeyBitrate, kOutputDefaults.video_bitrate_kbps);
}

uint32_t ProfileConfig::canvas_width() const
{
	return get_uint(kKeyWidth, kCanvasDefaults.width);
}

uint32_t ProfileConfig::canvas_height() const
{
	return get_uint(kKeyHeight, kCanvasDefaults.height);
}

uint32_t ProfileConfig::fps_num() const
{
	return get_uint(kKeyFpsNum, kCanvasDefaults.fps_num);
}

uint32_t ProfileConfig::fps_den() const
{
	return get_uint(kKeyFpsDen, kCanvasDefaults.fps_den);
}

bool ProfileConfig::auto_start_with_main() const
{
	return get_bool(kKeyAutoStart, kAutoStartDefault);
}

const char *ProfileConfig::encoder_preset() const
{
	return get_string(kKeyPreset, kOutputDefaults.encoder_preset.c_str());
}

bool ProfileConfig::use_active_scene_audio() const
{
	return get_bool(kKeyActiveAudio, kCanvasDefaults.use_active_scene_audio);
}

bool ProfileConfig::adaptive_bitrate() const
{
	return get_bool(kKeyAdaptiveBitrate, kOutputDefaults.adaptive_bitrate);
}

void ProfileConfig::set_rtmp_url(const char *value)
{
	set_string(kKeyUrl, value);
}

void ProfileConfig::set_stream_key(const char *value)
{
	set_string(kKeyStreamKey, value);
}

void ProfileConfig::set_video_bitrate(uint32_t value)
{
	set_uint(kKeyBitrate, value);
}

void ProfileConfig::set_canvas_width(uint32_t value)
{
	set_uint(kKeyWidth, value);
}

void ProfileConfig::set_canvas_height(uint32_t value)
{
	set_uint(kKeyHeight, value);
}

void ProfileConfig::set_fps_num(uint32_t value)
{
	set_uint(kKeyFpsNum, value);
}

void ProfileConfig::set_fps_den(uint32_t value)
{
	set_uint(kKeyFpsDen, value);
}

void ProfileConfig::set_auto_start_with_main(bool value)
{
	set_bool(kKeyAutoStart, value);
}

void ProfileConfig::set_encoder_preset(const char *value)
{
	set_string(kKeyPreset, value);
}

void ProfileConfig::set_use_active_scene_audio(bool value)
{
	set_bool(kKeyActiveAudio, value);
}

void ProfileConfig::set_adaptive_bitrate(bool value)
{
	set_bool(kKeyAdaptiveBitrate, value);
}

std::vector<Destination> ProfileConfig::destinations() const
{
	std::vector<Destination> list;
	const size_t count = std::min<size_t>(get_uint(kKeyDestinationCount, 1), kMaxDestinations);
	for (size_t i = 0; i < count; ++i) {
		Destination destination;
		const std::string fallback = i == 0 ? kFirstDestinationName : "Destination " + std::to_string(i + 1);
		destination.name = get_string(destination_key(i, "name").c_str(), "");
		if (destination.name.empty())
			destination.name = fallback;
		destination.url = get_string(destination_key(i, "url").c_str(), "");
		destination.key = get_string(destination_key(i, "key").c_str(), "");
		const std::string enabled = destination_key(i, "enabled");
		destination.enabled = !ini || !config_has_user_value(ini, kProfileSection, enabled.c_str()) ||
				      config_get_bool(ini, kProfileSection, enabled.c_str());
		list.push_back(std::move(destination));
	}
	return list;
}

void ProfileConfig::set_destinations(const std::vector<Destination> &list)
{
	if (!ini)
		return;
	const size_t count = std::min(list.size(), kMaxDestinations);
	set_uint(kKeyDestinationCount, static_cast<uint32_t>(count));
	for (size_t i = 0; i < count; ++i) {
		set_string(destination_key(i, "name").c_str(), list[i].name.c_str());
		set_string(destination_key(i, "url").c_str(), list[i].url.c_str());
		set_string(destination_key(i, "key").c_str(), list[i].key.c_str());
		set_bool(destination_key(i, "enabled").c_str(), list[i].enabled);
	}
	// A shorter list leaves no address or key behind; the first one's keys stay, empty.
	for (size_t i = count; i < kMaxDestinations; ++i)
		for (const char *field : {"name", "url", "key", "enabled"}) {
			const std::string key = destination_key(i, field);
			if (i == 0 && (key == kKeyUrl || key == kKeyStreamKey))
				set_string(key.c_str(), "");
			else
				config_remove_value(ini, kProfileSection, key.c_str());
		}
}

RecordingConfig ProfileConfig::recording() const
{
	RecordingConfig recording;
	recording.folder = get_string(kKeyRecordFolder, "");
	const std::string format = get_string(kKeyRecordFormat, "mkv");
	recording.format = format == "mp4" ? "mp4" : "mkv";
	recording.with_main = get_bool(kKeyRecordWithMain, false);
	recording.replay_seconds = get_uint(kKeyReplaySeconds, recording.replay_seconds);
	recording.replay_with_main = get_bool(kKeyReplayWithMain, false);
	return recording;
}

void ProfileConfig::set_recording(const RecordingConfig &recording)
{
	set_string(kKeyRecordFolder, recording.folder.c_str());
	set_string(kKeyRecordFormat, recording.format.c_str());
	set_bool(kKeyRecordWithMain, recording.with_main);
	set_uint(kKeyReplaySeconds, recording.replay_seconds);
	set_bool(kKeyReplayWithMain, recording.replay_with_main);
}

CanvasConfig ProfileConfig::read_canvas_config() const
{
	return {canvas_width(), canvas_height(), fps_num(), fps_den(), use_active_scene_audio()};
}

OutputConfig ProfileConfig::read_output_config() const
{
	return {destinations(), video_bitrate(), encoder_preset(), recording(), adaptive_bitrate()};
}

} // namespace brasslight
