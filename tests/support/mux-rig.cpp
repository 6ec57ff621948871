#include "mux-rig.hpp"

#include <algorithm>
#include <cstring>

#include <gtest/gtest.h>
#include "log-capture.hpp"

#include "mux/mux-output-data.hpp"

namespace bltest {

constexpr auto kStopTimeout = std::chrono::seconds(10);

MuxRig::MuxRig(RigOptions options) : view_(obs_view_create())
{
	OBSDataAutoRelease color = obs_data_create();
	obs_data_set_int(color, "color", 0xff3366cc);
	obs_data_set_int(color, "width", 360);
	obs_data_set_int(color, "height", 640);
	source_ = obs_source_create_private("color_source_v3", "bl_test_color", color);

	obs_view_set_source(view_, 0, source_);
	obs_video_info ovi = {};
	obs_get_video_info(&ovi);
	ovi.base_width = ovi.output_width = 360;
	ovi.base_height = ovi.output_height = 640;
	video_t *view_video = obs_view_add2(view_, &ovi);

	OBSDataAutoRelease video_settings = obs_data_create();
	obs_data_set_string(video_settings, "rate_control", "CBR");
	obs_data_set_int(video_settings, "bitrate", options.video_kbps);
	obs_data_set_int(video_settings, "keyint_sec", 1);
	obs_data_set_string(video_settings, "preset", "veryfast");
	video_encoder_ = obs_video_encoder_create("obs_x264", "bl_test_video", video_settings, nullptr);
	obs_encoder_set_video(video_encoder_, view_video);

	OBSDataAutoRelease audio_settings = obs_data_create();
	obs_data_set_int(audio_settings, "bitrate", 160);
	audio_encoder_ = obs_audio_encoder_create("ffmpeg_aac", "bl_test_audio", audio_settings, 0, nullptr);
	obs_encoder_set_audio(audio_encoder_, obs_get_audio());

	output_ = obs_output_create(options.output_type, "bl_test_mux", nullptr, nullptr);
	obs_output_set_video_encoder(output_, video_encoder_);
	obs_output_set_audio_encoder(output_, audio_encoder_, 0);
	signal_handler_connect(obs_output_get_signal_handler(output_), "stop", &MuxRig::on_stop, this);
}

MuxRig::~MuxRig()
{
	if (obs_output_active(output_))
		stop();
	// Capture may still be ending after an output stopped itself.
	wait_inactive(kStopTimeout);
	signal_handler_disconnect(obs_output_get_signal_handler(output_), "stop", &MuxRig::on_stop, this);
	// The encoders go before the view's mix they encode; obs_view_destroy alone would leave the
	// mix running.
	output_ = nullptr;
	video_encoder_ = nullptr;
	audio_encoder_ = nullptr;
	obs_view_remove(view_);
	obs_view_set_source(view_, 0, nullptr);
	obs_view_destroy(view_);
}

brasslight::MuxOutputData &MuxRig::record() const
{
	return *static_cast<brasslight::MuxOutputData *>(obs_obj_get_data(output_));
}

void MuxRig::set_target(const std::string &server, const std::string &key)
{
	OBSDataAutoRelease settings = obs_data_create();
	obs_data_set_string(settings, "server", server.c_str());
	obs_data_set_string(settings, "key", key.c_str());
	obs_data_set_int(settings, "fps_num", 30);
	obs_data_set_int(settings, "fps_den", 1);
	obs_output_update(output_, settings);
}

bool MuxRig::start()
{
	{
		std::lock_guard<std::mutex> lock(stop_mutex_);
		stop_codes_.clear();
	}
	return obs_output_start(output_);
}

void MuxRig::stop()
{
	obs_output_stop(output_);
	EXPECT_TRUE(wait_inactive(kStopTimeout)) << "the output is still active after stop";
}

bool MuxRig::wait_inactive(std::chrono::milliseconds timeout)
{
	return poll_until([this] { return !obs_output_active(output_); }, timeout);
}

std::string MuxRig::last_error() const
{
	const char *text = obs_output_get_last_error(output_);
	return text ? text : "";
}

std::vector<long long> MuxRig::stop_codes() const
{
	std::lock_guard<std::mutex> lock(stop_mutex_);
	return stop_codes_;
}

bool MuxRig::wait_stop_signals(size_t count, std::chrono::milliseconds timeout) const
{
	return poll_until([&] { return stop_codes().size() >= count; }, timeout);
}

void MuxRig::on_stop(void *param, calldata_t *data)
{
	auto *rig = static_cast<MuxRig *>(param);
	std::lock_guard<std::mutex> lock(rig->stop_mutex_);
	rig->stop_codes_.push_back(calldata_int(data, "code"));
}

encoder_packet host_packet(obs_encoder_type type, int64_t ts, int32_t timebase_den, bool keyframe)
{
	static const uint8_t key[] = {0, 0, 0, 1, 0x65, 1}, delta[] = {0, 0, 0, 1, 0x41, 2}, aac[] = {0x21, 1};
	const bool video = type == OBS_ENCODER_VIDEO;
	const size_t size = video ? sizeof(key) : sizeof(aac);
	auto *refs = static_cast<long *>(bmalloc(sizeof(long) + size));
	*refs = 1;
	encoder_packet p = {};
	p.data = reinterpret_cast<uint8_t *>(refs + 1);
	memcpy(p.data, video ? (keyframe ? key : delta) : aac, size);
	p.size = size;
	p.pts = p.dts = ts;
	p.timebase_num = 1;
	p.timebase_den = timebase_den;
	p.dts_usec = ts * 1000000 / timebase_den;
	p.type = type;
	p.keyframe = keyframe;
	return p;
}

void AudioTicks::tick(void *param, size_t, audio_data *)
{
	auto *self = static_cast<AudioTicks *>(param);
	const int64_t now = std::chrono::steady_clock::now().time_since_epoch().count();
	const int64_t last = self->last.exchange(now);
	if (last)
		self->longest = std::max<int64_t>(self->longest, now - last);
	++self->count;
}

bool AudioTicks::wait_more(int64_t n, std::chrono::milliseconds timeout)
{
	const int64_t target = count + n;
	return poll_until([&] { return count >= target; }, timeout);
}

} // namespace bltest
