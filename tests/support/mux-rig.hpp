#pragma once

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <obs.hpp>

#include "log-capture.hpp"
#include "mux/mux-output-data.hpp"

namespace bltest {

struct RigOptions {
	int video_kbps = 400;
	// The output type to create: the module's own, or a wrapper of it (the benchmark's).
	const char *output_type = "bl_vertical_mux_rtmp";
};

// One output of the mux type fed by the host's real encoders: a colour source in a 360x640 host view
// (a mix of its own, as the module's canvas makes), obs_x264 "veryfast" (B-frames: the first dts is
// negative) with a keyframe a second, ffmpeg_aac on the host's first audio mix. The destructor
// releases all of it: the host fixture's leak check covers the output type too.
class MuxRig {
public:
	explicit MuxRig(RigOptions options = {});
	~MuxRig();

	obs_output_t *output() const { return output_; }
	brasslight::MuxOutputData &record() const
	{
		return *static_cast<brasslight::MuxOutputData *>(obs_obj_get_data(output_));
	}

	// Writes "server", "key", "fps_num" (30) and "fps_den" (1) the way the output controller does.
	void set_target(const std::string &server, const std::string &key)
	{
		OBSDataAutoRelease settings = obs_data_create_from_json(R"({"fps_num": 30, "fps_den": 1})");
		obs_data_set_string(settings, "server", server.c_str());
		obs_data_set_string(settings, "key", key.c_str());
		obs_output_update(output_, settings);
	}
	bool start()
	{
		std::unique_lock<std::mutex> lock(stop_mutex_);
		stop_codes_.clear();
		lock.unlock();
		return obs_output_start(output_);
	}
	void stop()
	{
		obs_output_stop(output_);
		EXPECT_TRUE(wait_inactive(kStopTimeout)) << "the output is still active after stop";
	}
	bool wait_inactive(std::chrono::milliseconds timeout)
	{
		return poll_until([this] { return !obs_output_active(output_); }, timeout);
	}

	std::string last_error() const
	{
		const char *text = obs_output_get_last_error(output_);
		return text ? text : "";
	}
	// Codes of every "stop" signal the output raised since start(), in order.
	std::vector<long long> stop_codes() const
	{
		std::lock_guard<std::mutex> lock(stop_mutex_);
		return stop_codes_;
	}
	bool wait_stop_signals(size_t count, std::chrono::milliseconds timeout) const
	{
		return poll_until([&] { return stop_codes().size() >= count; }, timeout);
	}

private:
	static constexpr auto kStopTimeout = std::chrono::seconds(10);

	static void on_stop(void *param, calldata_t *data)
	{
		auto *rig = static_cast<MuxRig *>(param);
		std::lock_guard<std::mutex> lock(rig->stop_mutex_);
		rig->stop_codes_.push_back(calldata_int(data, "code"));
	}

	struct ViewDeleter {
		void operator()(obs_view_t *view) const
		{
			// obs_view_destroy alone would leave the view's mix running.
			obs_view_remove(view);
			obs_view_set_source(view, 0, nullptr);
			obs_view_destroy(view);
		}
	};

	// Released in reverse: the output, then the encoders, then the view's mix they encode.
	OBSSourceAutoRelease source_;
	std::unique_ptr<obs_view_t, ViewDeleter> view_;
	OBSEncoderAutoRelease video_encoder_, audio_encoder_;
	OBSOutputAutoRelease output_;

	mutable std::mutex stop_mutex_; // the stop signal comes on host threads
	std::vector<long long> stop_codes_;
};

// A packet laid out as the host's own (a reference count before the payload), timed in 1/timebase_den:
// an H.264 IDR or non-IDR reference slice, or an AAC frame, padded to size bytes if that is more.
// Release it with obs_encoder_packet_release.
encoder_packet host_packet(obs_encoder_type type, int64_t ts, int32_t timebase_den, bool keyframe = false,
			   size_t size = 0);

// The host's audio thread ticking (a raw audio callback on it) while this lives: how often, and
// its longest pause in ns (the test may reset it).
struct AudioTicks {
	std::atomic<int64_t> count {0}, last {0}, longest {0};
	AudioTicks() { obs_add_raw_audio_callback(0, nullptr, tick, this); }
	~AudioTicks() { obs_remove_raw_audio_callback(0, tick, this); }
	bool wait_more(int64_t n, std::chrono::milliseconds timeout)
	{
		const int64_t target = count + n;
		return poll_until([&] { return count >= target; }, timeout);
	}
	static void tick(void *param, size_t, audio_data *)
	{
		auto *self = static_cast<AudioTicks *>(param);
		const int64_t now = std::chrono::steady_clock::now().time_since_epoch().count();
		const int64_t last = self->last.exchange(now);
		if (last)
			self->longest = std::max<int64_t>(self->longest, now - last);
		++self->count;
	}
};

} // namespace bltest
