#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
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
	int video_kbps = 400;
};

// One output of the mux type fed by the host's real encoders: a colour source shown in a 360x640
// host view (a vertical mix of its own beside the host's main one, as the module's canvas makes),
// obs_x264 "veryfast" (B-frames: pts and dts differ, the first dts is negative) with a keyframe a
// second on that view's mix, ffmpeg_aac on the host's first audio mix.
// The destructor releases all of it: the host fixture's leak check covers the output type too.
class MuxRig {
public:
	explicit MuxRig(RigOptions options = {});
	MuxRig(const MuxRig &) = delete;
	MuxRig &operator=(const MuxRig &) = delete;
	~MuxRig();

	obs_output_t *output() const { return output_; }
	brasslight::MuxOutputData &record() const;

	// Writes "server", "key", "fps_num" (30) and "fps_den" (1) the way the output controller does.
	void set_target(const std::string &server, const std::string &key);
	// Forgets the stop codes of earlier runs, then obs_output_start.
	bool start();
	// obs_output_stop, then waits until the host reports the output inactive.
	void stop();
	bool wait_inactive(std::chrono::milliseconds timeout);

	std::string last_error() const;
	// Codes of every "stop" signal the output raised since start(), in order.
	std::vector<long long> stop_codes() const;
	bool wait_stop_signals(size_t count, std::chrono::milliseconds timeout) const;

private:
	static void on_stop(void *param, calldata_t *data);

	OBSSourceAutoRelease source_;
	obs_view_t *view_;
	OBSEncoderAutoRelease video_encoder_;
	OBSEncoderAutoRelease audio_encoder_;
	OBSOutputAutoRelease output_;

	mutable std::mutex stop_mutex_; // the stop signal comes on host threads
	std::vector<long long> stop_codes_;
};

// A packet laid out as the host's own (a reference count before the payload), timed in units of
// 1/timebase_den: an H.264 IDR or non-IDR reference slice, or an AAC frame. Release it with
// obs_encoder_packet_release.
encoder_packet host_packet(obs_encoder_type type, int64_t ts, int32_t timebase_den, bool keyframe = false);

// The host's audio thread ticking (a raw audio callback on it) while this lives: how often, and
// its longest pause in ns (the test may reset it).
struct AudioTicks {
	std::atomic<int64_t> count {0}, last {0}, longest {0};
	AudioTicks() { obs_add_raw_audio_callback(0, nullptr, tick, this); }
	~AudioTicks() { obs_remove_raw_audio_callback(0, tick, this); }
	bool wait_more(int64_t n, std::chrono::milliseconds timeout);
	static void tick(void *param, size_t, audio_data *);
};

} // namespace bltest
