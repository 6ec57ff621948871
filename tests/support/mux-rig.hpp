#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <obs.hpp>

namespace brasslight {
struct MuxOutputData;
}

namespace bltest {

struct RigOptions {
	// The output type to create: the module's own, or a wrapper of it (the benchmark's).
	const char *output_type = "bl_vertical_mux_rtmp";
	// A vertical mix of its own beside the host's main mix, as the module's canvas makes.
	uint32_t width = 360;
	uint32_t height = 640;
	// x264 "veryfast" uses B-frames: pts and dts differ and the first dts is negative.
	const char *preset = "veryfast";
	int video_kbps = 400;
	int keyint_sec = 1;
};

// One output of the mux type fed by the host's real encoders: a colour source shown in a host
// view at the rig's size, obs_x264 on that view's mix, ffmpeg_aac on the host's first audio mix.
// The destructor stops the output and releases every host object it made, so that the host
// fixture's leak check at shutdown covers the output type too.
class MuxRig {
public:
	explicit MuxRig(RigOptions options = {});
	MuxRig(const MuxRig &) = delete;
	MuxRig &operator=(const MuxRig &) = delete;
	~MuxRig();

	obs_output_t *output() const { return output_; }
	obs_encoder_t *video_encoder() const { return video_encoder_; }
	obs_encoder_t *audio_encoder() const { return audio_encoder_; }
	video_t *view_video() const { return view_video_; }
	brasslight::MuxOutputData &record() const;

	// Writes "server", "key", "fps_num" and "fps_den" the way the output controller does.
	void set_target(const std::string &server, const std::string &key, int fps_num = 30, int fps_den = 1);
	bool start();
	// obs_output_stop, then waits until the host reports the output inactive.
	void stop();
	bool wait_inactive(std::chrono::milliseconds timeout);

	std::string last_error() const;
	// Codes of every "stop" signal the output raised, in order.
	std::vector<long long> stop_codes() const;
	// Polls until at least count stop signals arrived.
	bool wait_stop_signals(size_t count, std::chrono::milliseconds timeout) const;
	void clear_stop_codes();

private:
	static void on_stop(void *param, calldata_t *data);
	struct ViewDeleter {
		void operator()(obs_view_t *view) const;
	};

	RigOptions options_;
	OBSSourceAutoRelease source_;
	std::unique_ptr<obs_view_t, ViewDeleter> view_;
	video_t *view_video_ = nullptr;
	OBSEncoderAutoRelease video_encoder_;
	OBSEncoderAutoRelease audio_encoder_;
	OBSOutputAutoRelease output_;

	mutable std::mutex stop_mutex_; // the stop signal comes on host threads
	std::vector<long long> stop_codes_;
};

} // namespace bltest
