#pragma once

#include <mutex>
#include <string>

#include <obs.hpp>

#include "config/profile-config.hpp"

namespace brasslight {

class VerticalCanvas;

// The vertical stream: a video encoder on the canvas's own mix, an AAC encoder on the host's
// audio, and one output of the module's RTMP mux type fed by both.
class VerticalOutput {
public:
	VerticalOutput(VerticalCanvas *canvas, const OutputConfig &config);
	~VerticalOutput();
	VerticalOutput(const VerticalOutput &) = delete;
	VerticalOutput &operator=(const VerticalOutput &) = delete;

	bool init();
	bool start();
	void stop();
	bool is_active() const;
	void update_config(const OutputConfig &config);

	// The encoder id the video encoder was created with (empty before init), for the log and tests.
	std::string video_encoder_id() const;
	obs_output_t *output_handle() const { return output; }
	obs_encoder_t *audio_encoder_handle() const { return audio_encoder; }

	// The host's H.264 encoders in order of preference: hardware first, software x264 last.
	static constexpr const char *kVideoEncoderCandidates[] = {"jim_nvenc", "h264_texture_amf", "obs_qsv11",
								  "obs_x264"};
	static constexpr const char *kAudioEncoderId = "ffmpeg_aac";

private:
	bool create_video_encoder();
	bool create_mux_output();
	OBSDataAutoRelease output_settings() const;
	// Runs on the host thread that emits the output's "stop" signal; touches nothing of the
	// controller, only the output handle it is given.
	static void on_output_stop(void *data, calldata_t *params);

	VerticalCanvas *canvas;
	OutputConfig config;
	OBSEncoderAutoRelease video_encoder;
	OBSEncoderAutoRelease audio_encoder;
	OBSOutputAutoRelease output;
	bool initialised = false;
	// Guards everything above, held across the host calls of each operation. Taken after the
	// runtime lock, never before; the mux output's own lock is taken inside the host's calls.
	mutable std::mutex mutex;
};

// base + "_" + the current time in whole seconds since the epoch: the host names of our objects.
std::string unique_name(const char *base);

} // namespace brasslight
