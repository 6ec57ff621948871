// A hardware encoder that the host registers but that fails when the stream starts (a busy
// session limit, a driver fault): the vertical output moves down the candidate list to x264 and
// streams. No GPU here, so a fault injector stands in for the hardware encoders.

#include <map>
#include <thread>

#include <gtest/gtest.h>
#include <obs-module.h>

#include "config/profile-config.hpp"
#include "module/runtime.hpp"
#include "mux/mux-output.hpp"
#include "output/vertical-output.hpp"
#include "host-fixture.hpp"
#include "rtmp-server.hpp"
#include "stream-probe.hpp"

using namespace brasslight;
using namespace std::chrono_literals;
using bltest::LogCapture;

BL_HOST_ENVIRONMENT();

namespace {

// Fault injector: an H.264 encoder type under a hardware candidate's id that never initialises.
// It keeps the settings each id was created with (the output starts on the test's thread).
std::map<std::string, std::string> injected_settings;

void register_failing_encoder(const char *id)
{
	obs_encoder_info info = {};
	info.id = id;
	info.type = OBS_ENCODER_VIDEO;
	info.codec = "h264";
	info.get_name = [](void *) {
		return "Fault injector: H.264 encoder that fails to initialise";
	};
	info.create = [](obs_data_t *settings, obs_encoder_t *encoder) -> void * {
		injected_settings[obs_encoder_get_id(encoder)] = obs_data_get_json(settings);
		return nullptr;
	};
	info.destroy = [](void *) {
	};
	info.encode = [](void *, encoder_frame *, encoder_packet *, bool *) {
		return false;
	};
	obs_register_encoder(&info);
}

struct EncoderFallback : ::testing::Test {
	void TearDown() override
	{
		std::lock_guard<std::recursive_mutex> lock(runtime_lock);
		destroy_runtime(false);
		profile_config.Close();
	}
};

} // namespace

TEST_F(EncoderFallback, AHardwareEncoderThatFailsAtStartGivesWayDownToX264)
{
	register_mux_output_type();
	register_failing_encoder("ffmpeg_nvenc");
	register_failing_encoder("ffmpeg_vaapi");
	bltest::TempDir dir;
	bltest::RtmpServer server;
	ASSERT_TRUE(server.start());
	open_profile_config(dir.file("brasslight-vertical-canvas.ini"));
	set_rtmp_url(server.rtmp_url().c_str());
	set_stream_key("fallback");
	set_video_bitrate(800);
	set_encoder_preset("ultrafast");
	set_canvas_width(360);
	set_canvas_height(640);
	std::lock_guard<std::recursive_mutex> lock(runtime_lock);
	const size_t from = LogCapture::get().mark();
	ASSERT_TRUE(create_runtime_from_current_profile());
	ASSERT_TRUE(output->start());
	std::string last;
	ASSERT_TRUE(server.wait_publishing("fallback", 15s, &last)) << last;
	EXPECT_TRUE(
		bltest::carries_h264_and_aac(bltest::probe_stream(server.play_url("fallback"), 20s), 360, 640, "30/1"));

	// The candidate list in order: only registered ids are created (never the placeholder the
	// host hands out for an unknown one), each that fails gives way to the next, down to x264.
	const std::pair<const char *, bool> candidates[] = {{"jim_nvenc", false},        {"h264_texture_amf", false},
							    {"obs_qsv11", false},        {"ffmpeg_nvenc", true},
							    {"ffmpeg_vaapi_tex", false}, {"ffmpeg_vaapi", true},
							    {"obs_qsv11_v2", false},     {"obs_x264", true}};
	ASSERT_EQ(std::size(candidates), std::size(VerticalOutput::kVideoEncoderCandidates));
	for (size_t i = 0; i < std::size(candidates); ++i) {
		const std::string id = candidates[i].first;
		EXPECT_EQ(id, VerticalOutput::kVideoEncoderCandidates[i]);
		EXPECT_EQ(LogCapture::get().count("Using video encoder: " + id, from), candidates[i].second ? 1u : 0u)
			<< id;
		EXPECT_EQ(LogCapture::get().count("'" + id + "' not found", from), 0u) << id;
	}
	for (const char *line : {"Video encoder ffmpeg_nvenc could not be initialised — switching to ffmpeg_vaapi",
				 "Video encoder ffmpeg_vaapi could not be initialised — switching to obs_x264"})
		EXPECT_EQ(LogCapture::get().count(line, from), 1u) << line;
	EXPECT_EQ(output->video_encoder_id(), "obs_x264");
	// Each got the settings it understands; x264's preset names went to neither.
	EXPECT_EQ(injected_settings["ffmpeg_nvenc"], R"({"bitrate":800,"keyint_sec":2,"preset2":"p5",)"
						     R"("profile":"high","rate_control":"CBR","tune":"hq"})");
	EXPECT_EQ(injected_settings["ffmpeg_vaapi"],
		  R"({"bitrate":800,"keyint_sec":2,"profile":100,"rate_control":"CBR"})");

	// The encoder that worked stays: the next start tries no other.
	output->stop();
	const auto deadline = std::chrono::steady_clock::now() + 10s;
	while (output->is_active() && std::chrono::steady_clock::now() < deadline)
		std::this_thread::sleep_for(20ms);
	const size_t again = LogCapture::get().mark();
	ASSERT_TRUE(output->start());
	EXPECT_EQ(LogCapture::get().count("switching", again), 0u);
}
