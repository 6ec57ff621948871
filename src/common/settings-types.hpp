#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace brasslight {

// Canvas settings of the current profile; copied by the canvas and fixed for its life.
struct CanvasConfig {
	uint32_t width = 1080;
	uint32_t height = 1920;
	uint32_t fps_num = 30;
	uint32_t fps_den = 1;
	bool use_active_scene_audio = true;
};

// One place the vertical stream goes: a platform's ingest and the stream key it gave the user.
struct Destination {
	std::string name;
	std::string url;
	std::string key;
	bool enabled = true;
};

// One encode feeds at most this many destinations at once.
inline constexpr size_t kMaxDestinations = 8;

// The vertical recording and replay buffer. An empty folder is the host's own recording folder.
struct RecordingConfig {
	std::string folder;
	std::string format = "mkv"; // "mkv" survives a crash of the app; "mp4" is offered too
	bool with_main = false;     // start and stop with the host's recording
	uint32_t replay_seconds = 30;
	bool replay_with_main = false; // start the replay buffer with the main stream
};

// Stream settings of the current profile; copied by the output controller.
struct OutputConfig {
	std::vector<Destination> destinations;
	uint32_t video_bitrate_kbps = 4000;
	std::string encoder_preset = "veryfast";
	RecordingConfig recording;
	// Lower the video bitrate while the slowest destination cannot carry it, and raise it again
	// once it can (output/adaptive-bitrate.hpp).
	bool adaptive_bitrate = true;
};

// The host's own bounds for each part of a frame rate (its settings accept 1 to 1000000 for the
// numerator and the denominator alike), and the rates the canvas accepts: 1 to 240 fps.
inline constexpr uint32_t kFpsPartMax = 1000000;
inline constexpr uint32_t kFpsMin = 1;
inline constexpr uint32_t kFpsMax = 240;

// True when num/den is a rate the canvas can run at as it is: both parts within the host's
// bounds and the rate itself between kFpsMin and kFpsMax fps (30000/1001, 24000/1001 included).
inline bool frame_rate_in_range(uint32_t num, uint32_t den)
{
	if (num < 1 || num > kFpsPartMax || den < 1 || den > kFpsPartMax)
		return false;
	// The rate, not its parts: compared in 64 bits, where no product of two parts overflows.
	const uint64_t n = num;
	const uint64_t d = den;
	return n >= kFpsMin * d && n <= kFpsMax * d;
}

} // namespace brasslight
