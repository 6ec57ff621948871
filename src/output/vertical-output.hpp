#pragma once

#include <functional>
#include <mutex>
#include <string>

#include <obs.hpp>

#include "common/settings-types.hpp"
#include "mux/mux-output.hpp"

namespace brasslight {

class VerticalCanvas;

// The vertical stream: a video encoder on the canvas's own mix, an AAC encoder on the host's
// audio, and one output of the module's RTMP mux type fed by both.
class VerticalOutput {
public:
	// Told why a running stream failed (the output's last error; empty when it set none), on the host
	// thread that stopped it: it must not block, and it must not call back into the controller.
	using FailureHandler = std::function<void(const std::string &reason)>;

	// first_encoder_id: where the encoder search begins (a candidate id), so that a rebuilt
	// runtime goes on with the encoder that worked rather than one that failed before.
	VerticalOutput(VerticalCanvas *canvas, const OutputConfig &config, const std::string &first_encoder_id = {},
		       FailureHandler on_failure = {});
	~VerticalOutput();
	VerticalOutput(const VerticalOutput &) = delete;
	VerticalOutput &operator=(const VerticalOutput &) = delete;

	bool init();
	bool start();
	void stop();
	bool is_active() const;
	// The stream's state and health (no output yet: Stopped), for the dock and remote control.
	MuxStatus stream_status() const;
	// Replaces the stored settings. URL and key reach the output at its next start; bitrate and
	// preset go to the video encoder at once, which applies what it can while it runs (x264: the
	// bitrate) and the rest at its next start.
	void update_config(const OutputConfig &config);

	// The encoder id the video encoder was created with (empty before init), for the log and tests.
	std::string video_encoder_id() const;
	// Why the last start was refused, for the dock's status line: empty after a start that went
	// through and after a settings change.
	std::string refusal_reason() const;
	obs_output_t *output_handle() const { return output; }

	// The host's H.264 encoders in order of preference: hardware first (the ids of Windows
	// hosts, then those Linux hosts register), software x264 last. Only ids the host has
	// registered are tried.
	static constexpr const char *kVideoEncoderCandidates[] = {"jim_nvenc",    "h264_texture_amf", "obs_qsv11",
								  "ffmpeg_nvenc", "ffmpeg_vaapi_tex", "ffmpeg_vaapi",
								  "obs_qsv11_v2", "obs_x264"};
	static constexpr const char *kAudioEncoderId = "ffmpeg_aac";

private:
	// Creates the first registered candidate at index from or after it; its index, or -1.
	int create_video_encoder(size_t from);
	// After a start that failed because the video encoder could not be initialised: the next
	// registered candidate replaces it on the output. False when there is none left.
	bool switch_to_next_video_encoder();
	bool create_mux_output();
	OBSDataAutoRelease output_settings() const;
	// Runs on the host thread that emits the output's "stop" signal; reads only the output and
	// the failure handler, which never change while the signal is connected.
	static void on_output_stop(void *data, calldata_t *params);

	VerticalCanvas *canvas;
	const FailureHandler on_failure;
	OutputConfig config;
	std::string first_encoder_id;
	int encoder_index = -1;
	std::string refusal;
	OBSEncoderAutoRelease video_encoder;
	OBSEncoderAutoRelease audio_encoder;
	OBSOutputAutoRelease output;
	bool initialised = false;
	// Guards everything above, held across the host calls of each operation, so that the controller
	// is safe on any thread (in the module only the user-interface thread drives it). The mux
	// output's own lock is taken inside the host's calls, after this one.
	mutable std::mutex mutex;
};

// The settings one video encoder of the candidate list understands: rate control, bitrate and
// keyframe interval for all, then each encoder's own preset and profile keys. The preset names
// of the settings ("veryfast" ...) are x264's and go to x264 only.
OBSDataAutoRelease video_encoder_settings(const char *id, const OutputConfig &config);

// base + "_" + the current time in whole seconds since the epoch: the host names of our objects.
std::string unique_name(const char *base);

} // namespace brasslight
