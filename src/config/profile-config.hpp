#pragma once

#include <cstdint>
#include <string>

#include <util/util.hpp>

namespace brasslight {

// Canvas settings of the current profile; copied by the canvas and fixed for its life.
struct CanvasConfig {
	uint32_t width = 1080;
	uint32_t height = 1920;
	uint32_t fps_num = 30;
	uint32_t fps_den = 1;
	bool use_active_scene_audio = true;
};

// Stream settings of the current profile; copied by the output controller.
struct OutputConfig {
	std::string rtmp_url;
	std::string stream_key;
	uint32_t video_bitrate_kbps = 4000;
	std::string encoder_preset = "veryfast";
};

// The host's own bounds for each part of a frame rate (its settings accept 1 to 1000000 for the
// numerator and the denominator alike), and the rates the canvas accepts: 1 to 240 fps.
inline constexpr uint32_t kFpsPartMax = 1000000;
inline constexpr uint32_t kFpsMin = 1;
inline constexpr uint32_t kFpsMax = 240;

// True when num/den is a rate the canvas can run at as it is: both parts within the host's
// bounds and the rate itself between kFpsMin and kFpsMax fps (30000/1001, 24000/1001 included).
bool frame_rate_in_range(uint32_t num, uint32_t den);

inline constexpr const char *kProfileSection = "VerticalCanvas";
inline constexpr const char *kProfileFileName = "brasslight-vertical-canvas.ini";

// The per-profile ini store; closed (null) while no profile file is open.
extern ConfigFile profile_config;

// The current profile's settings file, or "" when the host names no profile folder.
std::string profile_config_path();

// Creates the folder that holds a settings file (every missing level).
void ensure_parent_directory(const std::string &path);

// Writes a whole ini store with the host's safe save ("tmp" temporary file); true on success.
// A store without a single key is already on disk as the empty file its open created, and the
// host's writer fails on empty content, so that case writes nothing and succeeds.
bool save_config_file(config_t *config);

// Closes any open profile store without saving and opens the current profile's file.
void load_profile_config();

// Closes any open profile store without saving and opens the file at path, creating it (and its
// folder) when missing. load_profile_config resolves the path; tests name one directly.
void open_profile_config(const std::string &path);

// Getters give the built-in default while the store is closed; the string getters return the
// store's own string, valid until the key changes or the store closes.
const char *get_rtmp_url();
const char *get_stream_key();
uint32_t get_video_bitrate();
uint32_t get_canvas_width();
uint32_t get_canvas_height();
uint32_t get_fps_num();
uint32_t get_fps_den();
bool get_auto_start_with_main();
const char *get_encoder_preset();
bool get_use_active_scene_audio();

// Setters change the in-memory store only; they do nothing while it is closed, and the string
// setters ignore a null string.
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

CanvasConfig read_canvas_config();
OutputConfig read_output_config();

} // namespace brasslight
