#pragma once

#include <functional>
#include <string>

#include <obs.hpp>

#include "common/settings-types.hpp"

namespace brasslight {

// Where the host puts its own recordings, read from its profile: the vertical files go beside them.
struct RecordingPlace {
	std::string folder;
	std::string filename_format; // the host's, e.g. "%CCYY-%MM-%DD %hh-%mm-%ss"
};

// The vertical canvas in a file, through the host's own file output ("ffmpeg_muxer") on the
// encoders the destinations share. On the user-interface thread.
class VerticalRecording {
public:
	VerticalRecording();
	~VerticalRecording();
	VerticalRecording(const VerticalRecording &) = delete;
	VerticalRecording &operator=(const VerticalRecording &) = delete;

	void set_encoders(obs_encoder_t *video, obs_encoder_t *audio);
	// Starts a new file at path; false with the reason in `refusal`.
	bool start(const std::string &path, std::string &refusal);
	// Ends the file and returns once the host has closed it, or after a few seconds (it is then
	// closed once active() is false).
	void stop();
	bool active() const;
	// The file of the current or last recording.
	const std::string &path() const { return file; }
	obs_output_t *handle() const { return output; }

private:
	OBSOutputAutoRelease output;
	std::string file;
};

// The last seconds of the vertical canvas in memory, through the host's own replay buffer
// ("replay_buffer") on the shared encoders; a save writes them to a file.
class VerticalReplayBuffer {
public:
	// Told on the host's thread that wrote a clip, once it is written: must not block.
	using SavedHandler = std::function<void()>;

	explicit VerticalReplayBuffer(SavedHandler on_saved = {});
	~VerticalReplayBuffer();
	VerticalReplayBuffer(const VerticalReplayBuffer &) = delete;
	VerticalReplayBuffer &operator=(const VerticalReplayBuffer &) = delete;

	void set_encoders(obs_encoder_t *video, obs_encoder_t *audio);
	bool start(const RecordingPlace &place, const RecordingConfig &config, std::string &refusal);
	// Returns once the host has let go of the buffer, as the recording's stop.
	void stop();
	bool active() const;
	// Asks for a clip; the host signals "saved" on its own thread once the file is written.
	bool save();
	// The path of the last clip written, or "".
	std::string last_replay() const;
	obs_output_t *handle() const { return output; }

private:
	static void on_saved_signal(void *data, calldata_t *params);

	const SavedHandler on_saved;
	OBSOutputAutoRelease output;
};

// A path in folder for a new file of the host's file-name format with "-vertical" before the
// extension, made unique if a file of that name exists.
std::string vertical_file_path(const RecordingPlace &place, const std::string &extension);

} // namespace brasslight
