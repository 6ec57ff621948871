#include "mux-rig.hpp"

#include <cstring>

namespace bltest {

MuxRig::MuxRig(RigOptions options) : view_(obs_view_create())
{
	OBSDataAutoRelease color = obs_data_create_from_json(R"({"color": 4281558732, "width": 360, "height": 640})");
	source_ = obs_source_create_private("color_source_v3", "bl_test_color", color);

	obs_view_set_source(view_.get(), 0, source_);
	obs_video_info ovi = {};
	obs_get_video_info(&ovi);
	ovi.base_width = ovi.output_width = 360;
	ovi.base_height = ovi.output_height = 640;
	video_t *view_video = obs_view_add2(view_.get(), &ovi);

	OBSDataAutoRelease video_settings =
		obs_data_create_from_json(R"({"rate_control": "CBR", "keyint_sec": 1, "preset": "veryfast"})");
	obs_data_set_int(video_settings, "bitrate", options.video_kbps);
	video_encoder_ = obs_video_encoder_create("obs_x264", "bl_test_video", video_settings, nullptr);
	obs_encoder_set_video(video_encoder_, view_video);

	OBSDataAutoRelease audio_settings = obs_data_create_from_json(R"({"bitrate": 160})");
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
}

encoder_packet host_packet(obs_encoder_type type, int64_t ts, int32_t timebase_den, bool keyframe, size_t size)
{
	static const uint8_t key[] = {0, 0, 0, 1, 0x65, 1}, delta[] = {0, 0, 0, 1, 0x41, 2}, aac[] = {0x21, 1};
	const bool video = type == OBS_ENCODER_VIDEO;
	const size_t header = video ? sizeof(key) : sizeof(aac);
	size = std::max(size, header);
	auto *refs = static_cast<long *>(bmalloc(sizeof(long) + size));
	*refs = 1;
	encoder_packet p = {};
	p.data = reinterpret_cast<uint8_t *>(refs + 1);
	// No zero bytes in the padding: three of them would read as the start of another NAL unit.
	memset(p.data, 0xFF, size);
	memcpy(p.data, video ? (keyframe ? key : delta) : aac, header);
	p.size = size;
	p.pts = p.dts = ts;
	p.timebase_num = 1;
	p.timebase_den = timebase_den;
	p.dts_usec = ts * 1000000 / timebase_den;
	p.type = type;
	p.keyframe = keyframe;
	return p;
}

} // namespace bltest
