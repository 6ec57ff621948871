// The output controller inside a headless host, on the host's own encoders and a real nginx-rtmp:
// the encoder candidates when some fail to start, the box that says why a stream stopped, and the
// adaptive bitrate on a link that slows down. The stream's picture, sound and the main stream's
// start and stop: the real app's tests (tests/host).

#include <chrono>
#include <algorithm>
#include <csignal>
#include <map>
#include <thread>

#include <QJsonDocument>
#include <gtest/gtest.h>

#include "module/plugin.hpp"
#include "mux/mux-output.hpp"
#include "output/vertical-output.hpp"
#include "host-fixture.hpp"
#include "qt-app.hpp"
#include "rtmp-server.hpp"

using namespace brasslight;
using namespace std::chrono_literals;
using namespace bltest;

BL_HOST_ENVIRONMENT();

namespace {

constexpr const char *kKey = "vertical";

// Fault injector: an H.264 encoder type under a hardware candidate's id that never initialises
// (a busy session limit, a driver fault; no GPU here). It keeps the settings each id was created
// with (the output starts on the test's thread), as JSON with its keys in order: the host writes
// them sorted up to 30, in the order they were set from 31 on.
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
		injected_settings[obs_encoder_get_id(encoder)] = QJsonDocument::fromJson(obs_data_get_json(settings))
									 .toJson(QJsonDocument::Compact)
									 .toStdString();
		return nullptr;
	};
	info.destroy = [](void *) {
	};
	info.encode = [](void *, encoder_frame *, encoder_packet *, bool *) {
		return false;
	};
	obs_register_encoder(&info);
}

class VerticalStreamTest : public ::testing::Test {
protected:
	void SetUp() override
	{
		ensure_qt_application();
		register_mux_output_type();
		ASSERT_TRUE(server.start());
		profile().open(dir.file("brasslight-vertical-canvas.ini"));
		profile().set_stream_key(kKey);
		profile().set_video_bitrate(800);
		profile().set_encoder_preset("ultrafast");
		profile().set_canvas_width(240);
		profile().set_canvas_height(428);
	}

	ProfileConfig &profile() { return plugin.runtime().profile_config(); }
	long long encoder_kbps()
	{
		OBSDataAutoRelease settings = obs_encoder_get_settings(output()->video_encoder_handle());
		return obs_data_get_int(settings, "bitrate");
	}
	VerticalOutput *output() { return plugin.runtime().output(); }

	TempDir dir;
	RtmpServer server;
	Plugin plugin {nullptr};
};

} // namespace

TEST_F(VerticalStreamTest, StartsOnTheFirstEncoderThatInitialisesAndSaysWhyAFailedStartStopped)
{
	register_failing_encoder("ffmpeg_nvenc");
	register_failing_encoder("ffmpeg_vaapi");
	// First a server that refuses: the error dialog.
	profile().set_rtmp_url(("rtmp://127.0.0.1:" + std::to_string(free_loopback_port()) + "/live").c_str());
	const size_t from = LogCapture::get().mark();
	ASSERT_TRUE(plugin.runtime().create_runtime_from_current_profile());
	ASSERT_TRUE(output()->start()); // the connection is made by the first packet
	const ShownBox box = capture_message_box(20s);
	EXPECT_EQ(box.title + "\n" + box.text,
		  "Vertical Canvas — Stream Error\nStream rejected — check server URL and stream key");
	ASSERT_TRUE(poll_until([this] { return !output()->is_active(); }, 10s));

	// The candidate list in order: only registered ids are created (never the placeholder the
	// host hands out for an unknown one), each that fails gives way to the next, down to x264.
	const std::pair<std::string, size_t> candidates[] = {
		{"jim_nvenc", 0},        {"h264_texture_amf", 0}, {"obs_qsv11", 0},    {"ffmpeg_nvenc", 1},
		{"ffmpeg_vaapi_tex", 0}, {"ffmpeg_vaapi", 1},     {"obs_qsv11_v2", 0}, {"obs_x264", 1}};
	for (const auto &[id, used] : candidates) {
		EXPECT_EQ(LogCapture::get().count("Using video encoder: " + id, from), used) << id;
		EXPECT_EQ(LogCapture::get().count("'" + id + "' not found", from), 0u) << id;
	}
	for (const char *line : {"Video encoder ffmpeg_nvenc could not be initialised — switching to ffmpeg_vaapi",
				 "Video encoder ffmpeg_vaapi could not be initialised — switching to obs_x264"})
		EXPECT_EQ(LogCapture::get().count(line, from), 1u) << line;
	EXPECT_EQ(output()->video_encoder_id(), "obs_x264");
	// Each got the settings it understands; x264's preset names went to neither.
	EXPECT_EQ(injected_settings["ffmpeg_nvenc"], R"({"bitrate":800,"keyint_sec":2,"preset2":"p5",)"
						     R"("profile":"high","rate_control":"CBR","tune":"hq"})");
	EXPECT_EQ(injected_settings["ffmpeg_vaapi"],
		  R"({"bitrate":800,"keyint_sec":2,"profile":100,"rate_control":"CBR"})");

	// The controller stays usable: the user fixes the URL, and the main stream's start starts it
	// on the encoder that worked, with the profile's bitrate and preset.
	profile().set_rtmp_url(server.rtmp_url().c_str());
	plugin.runtime().apply_output_config();
	const size_t again = LogCapture::get().mark();
	plugin.handle_event(OBS_FRONTEND_EVENT_STREAMING_STARTING);
	ASSERT_TRUE(server.wait_publishing(kKey, 15s));
	EXPECT_EQ(LogCapture::get().count("switching", again), 0u);
	OBSDataAutoRelease video = obs_encoder_get_settings(obs_output_get_video_encoder(output()->output_handle()));
	EXPECT_EQ(obs_data_get_int(video, "bitrate"), 800);
	EXPECT_STREQ(obs_data_get_string(video, "preset"), "ultrafast");

	// The host's exit ends it. A normal stop is no error: no dialog.
	plugin.handle_event(OBS_FRONTEND_EVENT_EXIT);
	EXPECT_TRUE(poll_until([this] { return !output()->is_active(); }, 10s));
	EXPECT_TRUE(server.wait_not_publishing(kKey, 10s));
	EXPECT_FALSE(capture_message_box(1s).shown);
}

// A link that slows to a fifth of the stream, through a throttling relay (scripts/host/throttle.py,
// a fault injector), and comes back: the encoder's bitrate goes down until no frame is dropped,
// then back up to the one set. Ticks as the module's timer gives them. The scene is silent: the
// sound takes a few kbit/s of the 160 it is set to.
TEST_F(VerticalStreamTest, TheBitrateFollowsASlowLinkDownAndBackUp)
{
	ChildProcess relay;
	// A fifth of 2400 kbit/s of video and 160 of audio, in bytes per second.
	const uint16_t port = start_relay(relay, server.rtmp_port(), (2400 + 160) * 1000 / 8 / 5, dir);
	profile().set_rtmp_url(("rtmp://127.0.0.1:" + std::to_string(port) + "/live").c_str());
	profile().set_video_bitrate(2400);
	ASSERT_TRUE(plugin.runtime().create_runtime_from_current_profile());
	ASSERT_TRUE(output()->start());
	ASSERT_TRUE(server.wait_publishing(kKey, 15s));
	long long lowest = 2400;
	const auto ticking = [&] {
		std::this_thread::sleep_for(500ms);
		plugin.tick();
		lowest = std::min(lowest, encoder_kbps());
	};
	const size_t from = LogCapture::get().mark();
	relay.signal(SIGUSR2);
	ASSERT_TRUE(poll_until([&] { return encoder_kbps() < 2400; }, 20s, ticking));
	using Clock = std::chrono::steady_clock;
	uint64_t dropped = output()->stream_status().frames_dropped;
	auto calm_since = Clock::now();
	EXPECT_TRUE(poll_until(
		[&] {
			const uint64_t now = output()->stream_status().frames_dropped;
			if (now != dropped) {
				dropped = now;
				calm_since = Clock::now();
			}
			return Clock::now() - calm_since > 8s;
		},
		40s, ticking))
		<< "still dropping frames at " << encoder_kbps() << " kbps";
	// Lower than the link at least until then; it probes the link from time to time.
	EXPECT_LT(lowest, 512) << "more than the link carries";
	EXPECT_EQ(output()->video_bitrate_kbps(), encoder_kbps());

	relay.signal(SIGUSR1);
	EXPECT_TRUE(poll_until([&] { return encoder_kbps() == 2400; }, 90s, ticking)) << encoder_kbps() << " kbps";
	EXPECT_TRUE(LogCapture::get().contains("Adaptive bitrate: 2400 → ", from));
	EXPECT_TRUE(LogCapture::get().contains(" → 2400 kbps (every link kept up for ", from));
	output()->stop();
}
