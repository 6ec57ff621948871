#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <obs.hpp>

#include "common/settings-types.hpp"
#include "mux/mux-output.hpp"
#include "output/adaptive-bitrate.hpp"
#include "output/destination-output.hpp"
#include "output/file-outputs.hpp"

namespace brasslight {

class VerticalCanvas;

// The vertical canvas's one encode and everything it feeds: a video encoder on the canvas's own
// mix and an AAC encoder on the host's audio, shared by up to eight destinations (each an output
// of the module's RTMP type with its own connection, reconnect and statistics), a recording and a
// replay buffer. The encoders run while any of them runs.
class VerticalOutput {
public:
	using FailureHandler = DestinationOutput::FailureHandler;

	// first_encoder_id: where the encoder search begins (a candidate id), so that a rebuilt
	// runtime goes on with the encoder that worked rather than one that failed before.
	VerticalOutput(VerticalCanvas *canvas, const OutputConfig &config, const std::string &first_encoder_id = {},
		       FailureHandler on_failure = {}, VerticalReplayBuffer::SavedHandler on_replay_saved = {});
	~VerticalOutput();
	VerticalOutput(const VerticalOutput &) = delete;
	VerticalOutput &operator=(const VerticalOutput &) = delete;

	bool init();
	// Starts every enabled destination that has an address and a key; true when at least one
	// streams. A destination that could not start is named in refusal_reason().
	bool start();
	// Stops every destination; the recording and the replay buffer go on.
	void stop();
	// One destination alone; false for an unknown name or a refused start (refusal_reason()).
	bool start_destination(const std::string &name);
	bool stop_destination(const std::string &name);
	// Whether any destination streams.
	bool is_active() const;
	// The stream's state and health, for the dock and remote control: the first destination that
	// streams, else the first one (no destination: Stopped).
	MuxStatus stream_status() const;

	struct DestinationState {
		Destination destination;
		bool active = false;
		MuxStatus status;
	};
	std::vector<DestinationState> destination_states() const;

	bool start_recording(const RecordingPlace &place);
	void stop_recording();
	bool recording_active() const;
	std::string recording_path() const;
	bool start_replay_buffer(const RecordingPlace &place);
	void stop_replay_buffer();
	bool replay_buffer_active() const;
	bool save_replay();
	std::string last_replay() const;
	obs_output_t *recording_handle() const { return recording.handle(); }
	obs_output_t *replay_handle() const { return replay.handle(); }

	// The adaptive bitrate's look at the destinations, about twice a second on the user-interface
	// thread: while one of them streams, the video encoder's bitrate follows the slowest that is
	// connected; with none active, or the option off, it is the set bitrate.
	void tick();
	// The bitrate the video encoder runs at now, kbit/s.
	uint32_t video_bitrate_kbps() const;

	// Replaces the stored settings. Destinations that stream keep theirs until they stop; the
	// others take the new list at once. Bitrate and preset go to the video encoder at once, which
	// applies what it can while it runs (x264: the bitrate) and the rest at its next start.
	void update_config(const OutputConfig &config);

	// The encoder id the video encoder was created with (empty before init), for the log and tests.
	std::string video_encoder_id() const;
	// Why the last start was refused, for the dock's status line: empty after a start that went
	// through and after a settings change.
	std::string refusal_reason() const;
	// The first destination's output, or null.
	obs_output_t *output_handle() const;
	obs_encoder_t *video_encoder_handle() const { return video_encoder; }

	// The host's H.264 encoders in order of preference: hardware first (the ids of Windows
	// hosts, then those Linux hosts register), software x264 last. Only ids the host has
	// registered are tried.
	static constexpr const char *kVideoEncoderCandidates[] = {"jim_nvenc",    "h264_texture_amf", "obs_qsv11",
								  "ffmpeg_nvenc", "ffmpeg_vaapi_tex", "ffmpeg_vaapi",
								  "obs_qsv11_v2", "obs_x264"};
	static constexpr const char *kAudioEncoderId = "ffmpeg_aac";

private:
	static constexpr const char *kNoTargetReason = "no server URL or stream key";

	// Creates the first registered candidate at index from or after it; its index, or -1.
	int create_video_encoder(size_t from);
	// After a start that failed because the video encoder could not be initialised: the next
	// registered candidate replaces it on every output. False when there is none left.
	bool switch_to_next_video_encoder();
	void attach_encoders();
	void apply_video_bitrate(uint32_t from_kbps, uint32_t to_kbps, const std::string &why);
	// Makes the outputs of the configured destinations that are not streaming anew.
	void rebuild_destinations();
	bool anything_active() const;
	bool start_one(DestinationOutput &destination, std::string &why);
	DestinationOutput *find(const std::string &name) const;

	VerticalCanvas *canvas;
	const FailureHandler on_failure;
	OutputConfig config;
	std::string first_encoder_id;
	int encoder_index = -1;
	std::string refusal;
	OBSEncoderAutoRelease video_encoder;
	OBSEncoderAutoRelease audio_encoder;
	AdaptiveBitrate adaptive;
	// Declared after the encoders, so that the outputs let go of them first.
	std::vector<std::unique_ptr<DestinationOutput>> destinations;
	VerticalRecording recording;
	VerticalReplayBuffer replay;
	bool initialised = false;
	// Guards everything above, held across the host calls of each operation, so that the controller
	// is safe on any thread (in the module only the user-interface thread drives it). The mux
	// outputs' own locks are taken inside the host's calls, after this one.
	mutable std::mutex mutex;
};

// The settings one video encoder of the candidate list understands: rate control, bitrate and
// keyframe interval for all, then each encoder's own preset and profile keys. The preset names
// of the settings ("veryfast" ...) are x264's and go to x264 only.
OBSDataAutoRelease video_encoder_settings(const char *id, const OutputConfig &config);

} // namespace brasslight
