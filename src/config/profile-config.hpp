#pragma once

#include <cstdint>
#include <string>

#include "common/ini-file.hpp"
#include "common/settings-types.hpp"

namespace brasslight {

inline constexpr const char *kProfileSection = "VerticalCanvas";
inline constexpr const char *kProfileFileName = "brasslight-vertical-canvas.ini";
// The video bitrates the encoders are given, in kbps: a stored value outside makes every encoder
// refuse to start, one after the other.
inline constexpr uint32_t kVideoBitrateMin = 100;
inline constexpr uint32_t kVideoBitrateMax = 100000;
inline constexpr uint32_t kReplaySecondsMin = 5;
inline constexpr uint32_t kReplaySecondsMax = 3600;

// The current profile's settings file, brasslight-vertical-canvas.ini in the profile's folder.
// Getters give the built-in default while it is closed; setters change the in-memory store only
// (saved by save()) and do nothing while it is closed; the string setters ignore a null string.
class ProfileConfig {
public:
	// Closes any open store without saving and opens the file at path, creating it (and its
	// folder) when missing, with the defaults registered. A stored number that is no number (or
	// a bitrate out of bounds) is dropped with a warning, so that the default holds.
	void open(const std::string &path);
	void close() { ini.close(); }
	bool save() { return ini.save(); }
	bool is_open() const { return static_cast<bool>(ini); }

	// The string getters return the store's own string, valid until the key changes or the store closes.
	const char *rtmp_url() const;
	const char *stream_key() const;
	uint32_t video_bitrate() const;
	uint32_t canvas_width() const;
	uint32_t canvas_height() const;
	uint32_t fps_num() const;
	uint32_t fps_den() const;
	bool auto_start_with_main() const;
	const char *encoder_preset() const;
	bool use_active_scene_audio() const;
	bool adaptive_bitrate() const;

	void set_rtmp_url(const char *value);
	void set_stream_key(const char *value);
	void set_video_bitrate(uint32_t value);
	void set_canvas_width(uint32_t value);
	void set_canvas_height(uint32_t value);
	void set_fps_num(uint32_t value);
	void set_fps_den(uint32_t value);
	void set_auto_start_with_main(bool value);
	void set_encoder_preset(const char *value);
	void set_use_active_scene_audio(bool value);
	void set_adaptive_bitrate(bool value);

	// The destinations in their order. The first is stored under "rtmpurl" and "streamkey", as
	// the only one was before, so that an old profile streams to it unchanged and an older
	// version still finds it; the others under "destination<N>url" and so on.
	std::vector<Destination> destinations() const;
	void set_destinations(const std::vector<Destination> &destinations);
	RecordingConfig recording() const;
	void set_recording(const RecordingConfig &recording);

	CanvasConfig read_canvas_config() const;
	OutputConfig read_output_config() const;

private:
	const char *get_string(const char *key, const char *fallback) const;
	uint32_t get_uint(const char *key, uint32_t fallback) const;
	bool get_bool(const char *key, bool fallback) const;
	void set_string(const char *key, const char *value);
	void set_uint(const char *key, uint32_t value);
	void set_bool(const char *key, bool value);

	IniFile ini;
};

} // namespace brasslight
